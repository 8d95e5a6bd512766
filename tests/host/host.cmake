ryn_add_test(host_options_tests LABELS ${RYN_TEST_LABEL}
  SOURCES host/HostOptionsTest.cpp
  LIBS ryn_host_portable)
