# The lag estimator, the transform under it and the test signals it is
# measured with (common/signal): native (sanitizers) and under Wine, where
# the hosts' loopback measurement and the real-audio tests use them.
ryn_add_test(signal_tests LABELS ${RYN_TEST_LABEL}
  SOURCES
    common/signal/FftTest.cpp
    common/signal/SignalAnalysisTest.cpp
    common/signal/TestSignalsTest.cpp
  LIBS ryn_signal)
