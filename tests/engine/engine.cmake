# Engine arithmetic: built natively (sanitizers) and for Windows.
ryn_add_test(engine_arithmetic_tests LABELS ${RYN_TEST_LABEL}
  SOURCES
    engine/CaptureGeometryTest.cpp
    engine/ReportedDelayTest.cpp
    engine/WriteAheadTest.cpp
  LIBS ryn_portable)
