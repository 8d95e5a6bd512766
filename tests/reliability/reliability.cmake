# Reliability suites: churn, concurrency, fault injection, long sessions and
# hostile input, each printing its figures ("[ figures  ]" lines). The long
# versions run with RYN_LONG_TESTS=1; make test runs the short ones.

if(WIN32 AND TARGET ryn_component)
  add_library(ryn_process_resources STATIC support/ProcessResources.cpp)
  target_include_directories(ryn_process_resources PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)

  # The component inside the test program, on scripted devices; the module
  # state is set up as DllMain would (component/ModuleEnvironment.cpp).
  set(RYN_RELIABILITY_LIBS ryn_component ryn_fake_dsound ryn_process_resources)

  ryn_add_test(reliability_churn_tests LABELS wine
    SOURCES component/ModuleEnvironment.cpp reliability/ProcessResourcesTest.cpp reliability/ChurnTest.cpp
    LIBS ${RYN_RELIABILITY_LIBS}
    FIXTURES ryn_registered
    TIMEOUT 1800)
  ryn_add_test(reliability_fault_tests LABELS wine
    SOURCES component/ModuleEnvironment.cpp reliability/FaultInjectionTest.cpp
    LIBS ${RYN_RELIABILITY_LIBS}
    FIXTURES ryn_registered
    TIMEOUT 600)

  # Error objects name the registered ProgID. Registered, as in a real host:
  # Wine's ProgIDFromCLSID keeps a registry handle open for every lookup of
  # a class that is not registered, which would count as the component's.
  set_tests_properties(reliability_churn_tests reliability_fault_tests PROPERTIES RESOURCE_LOCK ryn_registration)
endif()
