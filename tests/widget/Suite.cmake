# Browser tests of the card: Debian's headless Chromium driven by playwright-core (installed in
# tests/widget by `npm ci` from the committed lock file).
find_program(TUNELIGHT_NODE node)
if(TUNELIGHT_NODE)
  set(_widget_dir ${CMAKE_CURRENT_LIST_DIR})
  add_test(NAME widget_browser_scripted
    COMMAND ${TUNELIGHT_NODE} --test --test-concurrency=1 card_scripted.test.js
    WORKING_DIRECTORY ${_widget_dir})
  set_tests_properties(widget_browser_scripted PROPERTIES LABELS browser TIMEOUT 300)
  add_test(NAME widget_browser_agent
    COMMAND ${TUNELIGHT_NODE} --test --test-concurrency=1 card_agent.test.js
    WORKING_DIRECTORY ${_widget_dir})
  set_tests_properties(widget_browser_agent PROPERTIES LABELS browser TIMEOUT 180
    RESOURCE_LOCK agent_ports
    ENVIRONMENT "TUNELIGHT_AGENT=$<TARGET_FILE:tunelight-agent>")
endif()
