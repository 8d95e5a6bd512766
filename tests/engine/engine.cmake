# Engine arithmetic: built natively (sanitizers) and for Windows.
ryn_add_test(engine_arithmetic_tests LABELS ${RYN_TEST_LABEL}
  SOURCES
    engine/CaptureGeometryTest.cpp
    engine/ReportedDelayTest.cpp
    engine/DriftResamplerTest.cpp
    engine/StreamSchedulerTest.cpp
  SEPARATE engine/SchedulerPartsTest.cpp
  LIBS ryn_portable ryn_audio_analysis)

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
