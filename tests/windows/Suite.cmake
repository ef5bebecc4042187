# The agent's tests under Wine: a Linux test program that runs the cross-built agent and helper
# programs. It needs the Windows build, so ctest does not list it; scripts/test-windows.sh builds
# and runs it.
#
# Its local HTTPS server needs httplib's TLS build. Only this program compiles httplib so, and it
# must link none of the agent's HTTP code: two builds of httplib's classes in one program would
# break the one-definition rule (its Request differs by a member).
if(NOT WIN32)
  find_package(OpenSSL 3 QUIET)
  if(OPENSSL_FOUND)
    add_executable(tunelight_wine_tests EXCLUDE_FROM_ALL ${CMAKE_CURRENT_LIST_DIR}/wine_suite.cpp)
    target_compile_definitions(tunelight_wine_tests PRIVATE CPPHTTPLIB_OPENSSL_SUPPORT)
    target_link_libraries(tunelight_wine_tests PRIVATE tunelight_test_support OpenSSL::SSL
      OpenSSL::Crypto GTest::gtest_main)
    # A program that fails this check is removed, so that the next build checks it again.
    add_custom_command(TARGET tunelight_wine_tests POST_BUILD
      COMMAND sh -c "if nm -C \"$1\" | grep -E ' [TtWw] tunelight::(Server::|configureListenSocket)'; then rm -f \"$1\"; echo 'tunelight_wine_tests links the agent HTTP code: httplib would be built twice' >&2; exit 1; fi"
        sh $<TARGET_FILE:tunelight_wine_tests>
      VERBATIM)
  endif()
endif()
