# Recorded stream scheduler inputs: read and replayed by the arithmetic
# tests, written by the trace recorder below.
ryn_add_test_support(ryn_scheduler_trace STATIC engine/SchedulerTrace.cpp LIBS ryn_portable)

# Engine arithmetic: built natively (sanitizers) and for Windows.
ryn_add_test(engine_arithmetic_tests LABELS ${RYN_TEST_LABEL}
  SOURCES
    engine/CaptureGeometryTest.cpp
    engine/ReportedDelayTest.cpp
    engine/DriftResamplerTest.cpp
    engine/SchedulerProperties.cpp
    engine/StreamSchedulerTest.cpp
    engine/SchedulerTraceTest.cpp
  SEPARATE engine/SchedulerPartsTest.cpp
  LIBS ryn_portable ryn_audio_analysis ryn_scheduler_trace)
ryn_test_file_path(RYN_SCHEDULER_TRACES "${CMAKE_CURRENT_LIST_DIR}/traces")
target_compile_definitions(engine_arithmetic_tests PRIVATE "RYN_SCHEDULER_TRACES=\"${RYN_SCHEDULER_TRACES}\"")

# Engine on scripted DirectSound devices.
if(WIN32)
  ryn_add_test(engine_fake_device_tests LABELS wine
    SOURCES engine/PlayerTest.cpp
    SEPARATE engine/RecorderTest.cpp engine/RynManagerTest.cpp
    LIBS ryn_engine ryn_fake_dsound)
  # Replaces the global operator new and delete, so it stays a program of
  # its own.
  ryn_add_test(engine_listener_allocation_tests LABELS wine
    SOURCES engine/ListenerAllocationTest.cpp
    LIBS ryn_engine ryn_fake_dsound)
endif()

# Records traces of the scheduler's inputs from real sessions; run by hand
# with the PulseAudio fixture (see the file's header), never by make test.
if(WIN32)
  add_executable(record_scheduler_trace engine/RecordSchedulerTrace.cpp)
  target_link_libraries(record_scheduler_trace PRIVATE ryn_engine ryn_scheduler_trace ryn_scheduler_input_recorder
    ryn_committed_span_playback ryn_virtual_audio_rig)
  target_compile_definitions(record_scheduler_trace PRIVATE "RYN_VOICE_SAMPLE=\"${RYN_VOICE_SAMPLE}\"")
  ryn_test_build(record_scheduler_trace)
endif()
