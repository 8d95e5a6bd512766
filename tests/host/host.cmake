# The reference host: its portable parts natively (and under Wine).
ryn_add_test(host_options_tests LABELS ${RYN_TEST_LABEL}
  SOURCES host/HostOptionsTest.cpp host/LiveControlsTest.cpp
  LIBS ryn_host_portable)
