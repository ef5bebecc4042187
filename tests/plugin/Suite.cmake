# OBS plugin tests: pure logic and the process seam (unit), then the module inside libobs.
if(TARGET tunelight_plugin_logic)
  file(GLOB TUNELIGHT_PLUGIN_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
  tunelight_filter_platform(TUNELIGHT_PLUGIN_UNIT_TESTS)
  add_executable(tunelight_plugin_unit_tests ${TUNELIGHT_PLUGIN_UNIT_TESTS})
  target_link_libraries(tunelight_plugin_unit_tests PRIVATE tunelight_plugin_logic tunelight_test_support
    GTest::gtest GTest::gtest_main)
  gtest_discover_tests(tunelight_plugin_unit_tests DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS unit)
endif()
