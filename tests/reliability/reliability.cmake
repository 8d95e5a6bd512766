# Reliability suites: churn, concurrency, fault injection, long sessions and
# hostile input, each printing its figures ("[ figures  ]" lines). make test
# runs the short versions; RYN_LONG_TESTS=1 the long ones, and make soak runs
# the real-time sessions that way (scripts/soak.sh).

if(WIN32 AND TARGET ryn_component)
  # The component inside the test program, on scripted devices; the module
  # state is set up as DllMain would (component/ModuleEnvironment.cpp).
  set(RYN_RELIABILITY_LIBS ryn_module_environment ryn_component ryn_fake_dsound ryn_process_resources)

  ryn_add_test(reliability_churn_tests LABELS wine
    SOURCES reliability/ProcessResourcesTest.cpp reliability/ChurnTest.cpp
    LIBS ${RYN_RELIABILITY_LIBS}
    FIXTURES ryn_registered
    TIMEOUT 1800)
  ryn_add_test(reliability_fault_tests LABELS wine
    SOURCES reliability/FaultInjectionTest.cpp
    LIBS ${RYN_RELIABILITY_LIBS}
    FIXTURES ryn_registered
    TIMEOUT 600)

  ryn_add_test(reliability_concurrency_tests LABELS wine
    SOURCES reliability/ConcurrencyTest.cpp
    LIBS ${RYN_RELIABILITY_LIBS}
    FIXTURES ryn_registered
    TIMEOUT 600)
  ryn_add_test(reliability_hostile_input_tests LABELS wine
    SOURCES reliability/HostileInputTest.cpp
    LIBS ${RYN_RELIABILITY_LIBS}
    FIXTURES ryn_registered
    TIMEOUT 600)

  # regsvr32 on copies of ryn.dll in folders with awkward names. The copies
  # take the machine-wide registration while it runs, so it holds the lock.
  ryn_add_test(reliability_module_path_tests LABELS wine
    SOURCES reliability/ModulePathRegistrationTest.cpp
    LIBS ryn_com_environment ryn_component_test_support ryn_child_process
    FIXTURES ryn_registered
    TIMEOUT 300)
  set_tests_properties(reliability_module_path_tests PROPERTIES RESOURCE_LOCK ryn_registration)
  add_dependencies(reliability_module_path_tests ryn)

  # Real devices of the PulseAudio fixture: churn set against the platform's
  # own calls, and the same host threads as above.
  add_test(NAME reliability_churn_real_audio COMMAND reliability_churn_tests --gtest_filter=RealDeviceChurn.*)
  set_tests_properties(reliability_churn_real_audio PROPERTIES
    FIXTURES_REQUIRED "wine;ryn_registered" ENVIRONMENT RYN_REAL_AUDIO=1 TIMEOUT 900)
  ryn_use_pulse(reliability_churn_real_audio)

  add_test(NAME reliability_concurrency_real_audio
    COMMAND reliability_concurrency_tests --gtest_filter=*RealDevices*)
  set_tests_properties(reliability_concurrency_real_audio PROPERTIES
    FIXTURES_REQUIRED "wine;ryn_registered" ENVIRONMENT RYN_REAL_AUDIO=1 TIMEOUT 600)
  ryn_use_pulse(reliability_concurrency_real_audio)

  ryn_add_test(reliability_long_session_tests LABELS audio
    SOURCES reliability/LongSessionTest.cpp
    SEPARATE reliability/PromptSoundTest.cpp
    LIBS ${RYN_RELIABILITY_LIBS} ryn_virtual_audio_rig ryn_child_process ryn_passthrough ryn_committed_span_playback
    FIXTURES ryn_registered
    TIMEOUT 7200)
  set_tests_properties(reliability_long_session_tests PROPERTIES ENVIRONMENT RYN_REAL_AUDIO=1)
  ryn_use_pulse(reliability_long_session_tests)


  # Error objects name the registered ProgID. Registered, as in a real host:
  # Wine's ProgIDFromCLSID keeps a registry handle open for every lookup of
  # a class that is not registered, which would count as the component's.
  set_tests_properties(reliability_churn_tests reliability_fault_tests reliability_concurrency_tests
    reliability_hostile_input_tests reliability_module_path_tests
    reliability_churn_real_audio reliability_concurrency_real_audio reliability_long_session_tests
    PROPERTIES RESOURCE_LOCK ryn_registration)
endif()
