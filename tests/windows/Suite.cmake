# The agent's tests under Wine: a Linux test program that runs the cross-built agent and helper
# programs. It needs the Windows build, so ctest does not list it; scripts/test-windows.sh builds
# and runs it.
if(NOT WIN32)
  add_executable(tunelight_wine_tests EXCLUDE_FROM_ALL ${CMAKE_CURRENT_LIST_DIR}/wine_suite.cpp)
  target_link_libraries(tunelight_wine_tests PRIVATE tunelight_test_support GTest::gtest_main)
endif()
