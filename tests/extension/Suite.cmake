# The browser extension: its pure parts under node's test runner, and the whole extension in
# Debian's headless Chromium (playwright-core, installed in tests/extension by `npm ci` from the
# committed lock file) against the real agent.
if(NOT WIN32)
  add_executable(tunelight_upload_agent ${CMAKE_CURRENT_LIST_DIR}/upload_agent.cpp)
  target_link_libraries(tunelight_upload_agent PRIVATE tunelight_core)

  find_program(TUNELIGHT_NODE node)
  if(TUNELIGHT_NODE)
    set(_extension_dir ${CMAKE_CURRENT_LIST_DIR})
    add_test(NAME extension_unit
      COMMAND ${TUNELIGHT_NODE} --test report.test.js pacer.test.js agent_link.test.js
        identity.test.js manifest.test.js
      WORKING_DIRECTORY ${_extension_dir})
    set_tests_properties(extension_unit PROPERTIES LABELS "unit;extension" TIMEOUT 60)
    add_test(NAME extension_browser
      COMMAND ${TUNELIGHT_NODE} --test --test-concurrency=1 chromium_agent.test.js
        chromium_cover.test.js chromium_sites.test.js firefox_agent.test.js
      WORKING_DIRECTORY ${_extension_dir})
    set_tests_properties(extension_browser PROPERTIES LABELS "browser;extension" TIMEOUT 400
      RESOURCE_LOCK agent_ports
      ENVIRONMENT "TUNELIGHT_AGENT=$<TARGET_FILE:tunelight-agent>;TUNELIGHT_UPLOAD_AGENT=$<TARGET_FILE:tunelight_upload_agent>")
  endif()
endif()
