# The reference host: its portable parts natively (and under Wine).
ryn_add_test(host_options_tests LABELS ${RYN_TEST_LABEL}
  SOURCES host/HostOptionsTest.cpp host/LiveControlsTest.cpp host/LoopbackAnalysisTest.cpp host/PanelTextTest.cpp
  LIBS ryn_host_portable ryn_panel_portable)

# rynhost itself under Wine: its command line and error paths with no sound
# server, and a short session on the PulseAudio fixture. Both use the build's
# registration of ryn.dll, which the installation tests take away for a while.
if(WIN32 AND TARGET rynhost)
  add_test(NAME rynhost.command_line
    COMMAND ${RYN_WINE_ENV} ${CMAKE_CURRENT_LIST_DIR}/rynhost_cli_test.sh
            ${RYN_WINE_RUN} $<TARGET_FILE:rynhost> ${CMAKE_BINARY_DIR}/host-test)
  set_tests_properties(rynhost.command_line PROPERTIES
    LABELS wine
    FIXTURES_REQUIRED "wine;ryn_registered"
    RESOURCE_LOCK ryn_registration
    ENVIRONMENT "${RYN_NO_SOUND_SERVER}"
    TIMEOUT 180)

  add_test(NAME rynhost.audio_session
    COMMAND ${RYN_WINE_ENV} ${CMAKE_CURRENT_LIST_DIR}/rynhost_audio_test.sh
            ${RYN_WINE_RUN} $<TARGET_FILE:rynhost> ${CMAKE_BINARY_DIR}/host-test)
  set_tests_properties(rynhost.audio_session PROPERTIES
    FIXTURES_REQUIRED "wine;ryn_registered"
    RESOURCE_LOCK ryn_registration
    TIMEOUT 120)
  ryn_use_pulse(rynhost.audio_session)

  # rynhost --measure through the fixture's echo route, against the
  # pass-through's routing and the fixture's own recording.
  add_test(NAME rynhost.measure
    COMMAND ${RYN_WINE_ENV} ${CMAKE_CURRENT_LIST_DIR}/rynhost_measure_test.sh
            ${RYN_WINE_RUN} $<TARGET_FILE:rynhost> $<TARGET_FILE:passthrough>
            ${RYN_PULSE_FIXTURE} ${RYN_PULSE_DIR} ${CMAKE_BINARY_DIR}/host-test)
  set_tests_properties(rynhost.measure PROPERTIES
    FIXTURES_REQUIRED "wine;ryn_registered"
    RESOURCE_LOCK ryn_registration
    TIMEOUT 300)
  ryn_use_pulse(rynhost.measure)
endif()

# rynpanel under Wine on a virtual X display, driven through window messages:
# its controls without a sound server, and a session on the PulseAudio
# fixture. Both use the ryn.dll beside the panel, and share a Wine prefix of
# their own with a display.
if(WIN32 AND TARGET rynpanel)
  add_executable(panel_driver host/PanelDriver.cpp)
  target_include_directories(panel_driver PRIVATE ${CMAKE_SOURCE_DIR})
  ryn_windows_pch(panel_driver)
  foreach(mode controls audio)
    add_test(NAME rynpanel.${mode}
      COMMAND ${CMAKE_CURRENT_LIST_DIR}/rynpanel_test.sh
              $<TARGET_FILE:rynpanel> $<TARGET_FILE:panel_driver> ${CMAKE_BINARY_DIR}/panel-test ${mode}
              ${RYN_PULSE_FIXTURE} ${RYN_PULSE_DIR})
    set_tests_properties(rynpanel.${mode} PROPERTIES LABELS wine RESOURCE_LOCK rynpanel_prefix TIMEOUT 240)
  endforeach()
  set_tests_properties(rynpanel.controls PROPERTIES ENVIRONMENT "${RYN_NO_SOUND_SERVER}")
  ryn_use_pulse(rynpanel.audio)
endif()
