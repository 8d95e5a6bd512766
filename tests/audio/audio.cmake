# Real audio through a private PulseAudio server (fixture "pulse", one per
# build folder) with a virtual microphone and speaker recorded on one clock;
# see scripts/pulse-fixture.sh. Audio tests run alone (RUN_SERIAL): on a small
# shared machine a parallel build or test would disturb their timing.
set(RYN_PULSE_FIXTURE ${CMAKE_SOURCE_DIR}/scripts/pulse-fixture.sh)
set(RYN_PULSE_DIR ${CMAKE_BINARY_DIR}/pulse)
set(RYN_PULSE_ENVIRONMENT
  XDG_RUNTIME_DIR=${RYN_PULSE_DIR}/xdg
  PULSE_SERVER=unix:${RYN_PULSE_DIR}/xdg/pulse/native
  RYN_AUDIO_OUT=${CMAKE_BINARY_DIR}/audio-out)

add_test(NAME pulse.up COMMAND ${RYN_PULSE_FIXTURE} start ${RYN_PULSE_DIR})
add_test(NAME pulse.down COMMAND ${RYN_PULSE_FIXTURE} stop ${RYN_PULSE_DIR})
set_tests_properties(pulse.up PROPERTIES FIXTURES_SETUP pulse LABELS audio)
set_tests_properties(pulse.down PROPERTIES FIXTURES_CLEANUP pulse LABELS audio)

# Makes an existing test a real-audio test: label, fixture, environment, alone.
function(ryn_use_pulse name)
  set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED pulse)
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT ${RYN_PULSE_ENVIRONMENT})
  set_property(TEST ${name} PROPERTY LABELS audio)
  set_property(TEST ${name} PROPERTY RUN_SERIAL TRUE)
  # The rig's own check comes first: it shows that the fixture works before
  # any other check relies on it.
  if(WIN32 AND NOT name STREQUAL "audio_rig_tests")
    set_property(TEST ${name} APPEND PROPERTY DEPENDS audio_rig_tests)
  endif()
endfunction()

# ryn_add_audio_test(<name> SOURCES ... LIBS ... [TIMEOUT s]): a test program
# (under Wine in the Windows build) that plays and records through the fixture.
function(ryn_add_audio_test name)
  ryn_add_test(${name} LABELS audio ${ARGN})
  if(WIN32)
    target_link_libraries(${name} PRIVATE ryn_virtual_audio_rig)
  endif()
  target_link_libraries(${name} PRIVATE ryn_audio_analysis)
  ryn_use_pulse(${name})
endfunction()

if(WIN32)
  ryn_add_audio_test(audio_rig_tests
    SOURCES audio/VirtualAudioRigTest.cpp
    LIBS dsound dxguid
    TIMEOUT 120)
  # About a minute and a half; measurements lost to the platform are taken again.
  ryn_add_audio_test(engine_real_audio_tests
    SOURCES engine/RealAudioTest.cpp
    LIBS ryn_engine ryn_passthrough
    TIMEOUT 400)
else()
  # The scripts' side of the fixture: recorder, player and loopback
  # calibration, measured with the command-line tool.
  add_test(NAME audio_routing
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/routing_test.sh ${RYN_PULSE_FIXTURE} ${RYN_PULSE_DIR} $<TARGET_FILE:audiotool>
            ${CMAKE_BINARY_DIR}/audio-out)
  set_tests_properties(audio_routing PROPERTIES TIMEOUT 120)
  ryn_use_pulse(audio_routing)
endif()
