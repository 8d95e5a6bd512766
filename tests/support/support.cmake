# Support code shared by the Windows test programs: scripted DirectSound
# devices, the PulseAudio fixture's devices, wrappers of the platform's
# devices at the device seam, child processes and the counts of what a
# process holds.
if(WIN32)
  ryn_add_test_support(ryn_fake_dsound STATIC support/FakeDirectSound.cpp LIBS ryn_engine)
  ryn_add_test_support(ryn_virtual_audio_rig STATIC support/VirtualAudioRig.cpp
    LIBS ryn_audio_analysis dsound dxguid)
  ryn_add_test_support(ryn_forwarding_devices STATIC support/ForwardingDevices.cpp LIBS ryn_engine)
  ryn_add_test_support(ryn_committed_span_playback STATIC support/CommittedSpanPlayback.cpp
    LIBS ryn_forwarding_devices)
  ryn_add_test_support(ryn_scheduler_input_recorder STATIC support/SchedulerInputRecorder.cpp
    LIBS ryn_forwarding_devices ryn_scheduler_trace)
  ryn_add_test_support(ryn_child_process STATIC support/ChildProcess.cpp)
  ryn_add_test_support(ryn_process_resources STATIC support/ProcessResources.cpp)
endif()

if(WIN32)
  ryn_add_test(support_tests LABELS wine
    SOURCES support/ChildProcessTest.cpp
    LIBS ryn_child_process)
endif()
