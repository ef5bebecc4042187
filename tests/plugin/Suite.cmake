# OBS plugin tests: pure logic and the process seam (unit), then the module inside the real
# libobs (label "obs", under a virtual display), then the real OBS.
if(TARGET tunelight_plugin_logic)
  file(GLOB TUNELIGHT_PLUGIN_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
  tunelight_filter_platform(TUNELIGHT_PLUGIN_UNIT_TESTS)
  add_executable(tunelight_plugin_unit_tests ${TUNELIGHT_PLUGIN_UNIT_TESTS})
  target_link_libraries(tunelight_plugin_unit_tests PRIVATE tunelight_plugin_logic
    tunelight_test_support GTest::gtest GTest::gtest_main)
  gtest_discover_tests(tunelight_plugin_unit_tests DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS unit)
endif()

find_program(TUNELIGHT_XVFB_RUN xvfb-run)
find_package(libobs QUIET)
if(TARGET tunelight AND TARGET OBS::libobs AND TUNELIGHT_XVFB_RUN)
  find_package(X11 REQUIRED)
  find_package(ZLIB REQUIRED)
  # The system's own OBS modules (the FreeType text source of the native card).
  find_path(TUNELIGHT_OBS_PLUGIN_DIR text-freetype2.so
    PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/obs-plugins /usr/lib/obs-plugins NO_DEFAULT_PATH)
  find_path(TUNELIGHT_OBS_DATA_DIR text-freetype2
    PATHS /usr/share/obs/obs-plugins NO_DEFAULT_PATH)
  file(GLOB TUNELIGHT_OBS_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/obs/*_test.cpp)
  add_executable(tunelight_obs_tests ${CMAKE_CURRENT_LIST_DIR}/obs/obs_harness.cpp
    ${TUNELIGHT_OBS_TESTS})
  target_link_libraries(tunelight_obs_tests PRIVATE tunelight_plugin_logic tunelight_test_support
    OBS::libobs tunelight::httplib X11::X11 ZLIB::ZLIB ${CMAKE_DL_LIBS} GTest::gtest
    GTest::gtest_main)
  # The module binds to the harness's stand-ins for a few libobs functions.
  set_target_properties(tunelight_obs_tests PROPERTIES ENABLE_EXPORTS ON)
  target_compile_definitions(tunelight_obs_tests PRIVATE
    TUNELIGHT_MODULE_PATH="$<TARGET_FILE:tunelight>"
    TUNELIGHT_MODULE_DATA_DIR="${CMAKE_SOURCE_DIR}/plugin/data"
    TUNELIGHT_OBS_PLUGIN_DIR="${TUNELIGHT_OBS_PLUGIN_DIR}"
    TUNELIGHT_OBS_DATA_DIR="${TUNELIGHT_OBS_DATA_DIR}"
    TUNELIGHT_RENDER_DIR="${CMAKE_BINARY_DIR}")
  add_dependencies(tunelight_obs_tests tunelight tunelight-agent)

  # One process per case: libobs starts once per process.
  set(TUNELIGHT_OBS_CASES
    CardObsTest.RegistersTheLayoutTheRunningLibobsKnows
    CardObsTest.RegistersTheIconLayoutFrom33
    CardObsTest.RestartsAtMostFiveTimesAMinute
    CardObsTest.SlowFirstStartIsPickedUpWhenItsPortAppears
    CardObsTest.DefaultsFallbackPageAndSwitchToTheAgentUrl
    CardObsTest.WithoutBrowserSourceTheModuleDrawsTheCard
    CardObsTest.PanelWithoutAgent
    CardObsTest.TalksToTheAgent
    GraphicsThreadObsTest.RelaunchNeverStallsTheGraphicsThread
    GraphicsThreadObsTest.RestartNeverShowsTheFallbackPage
    GraphicsThreadObsTest.HotkeysAndButtonsReachTheAgentAndNeverWait
    NativeCardObsTest.DrawsTheCardAndRunsItsBar
    NativeCardObsTest.LooksFollowTheSettings
    NativeCardObsTest.BackSoonAfterTheAgentReturns
    PlacementObsTest.PinsEveryItemOfTheCard
    AgentObsTest.StartsRestartsAndStopsTheAgent)
  foreach(case ${TUNELIGHT_OBS_CASES})
    add_test(NAME obs.${case}
      COMMAND ${TUNELIGHT_XVFB_RUN} -a $<TARGET_FILE:tunelight_obs_tests> --gtest_filter=${case})
    # xvfb-run -a races when several start at once: one display at a time.
    set_tests_properties(obs.${case} PROPERTIES LABELS obs TIMEOUT 60 RESOURCE_LOCK obs_display)
  endforeach()
  # Cases that start the real agent bind its fixed ports.
  set_tests_properties(obs.AgentObsTest.StartsRestartsAndStopsTheAgent
    obs.NativeCardObsTest.BackSoonAfterTheAgentReturns PROPERTIES
    RESOURCE_LOCK "obs_display;agent_ports")
  # It times every frame while the software renderer draws: a test beside it on the other core
  # slows the renderer's own threads past the limit that catches a frame waiting on the agent.
  set_tests_properties(obs.NativeCardObsTest.BackSoonAfterTheAgentReturns PROPERTIES RUN_SERIAL ON)
endif()

# The real OBS with the module installed in a fresh per-user folder.
find_program(TUNELIGHT_OBS obs)
find_program(TUNELIGHT_XVFB Xvfb)
if(TARGET tunelight AND TUNELIGHT_OBS AND TUNELIGHT_XVFB)
  add_test(NAME obs.EndToEnd COMMAND ${CMAKE_CURRENT_LIST_DIR}/obs_e2e.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(obs.EndToEnd PROPERTIES LABELS obs TIMEOUT 120
    RESOURCE_LOCK "obs_display;agent_ports")
endif()
