# Tests of the COM component. The client tests need ryn.dll registered in the
# build's prefix (fixture ryn_registered); everything that reads or changes
# that registration shares one resource lock.

if(WIN32 AND TARGET ryn)
  set(RYN_DLL ${CMAKE_BINARY_DIR}/component/ryn.dll)
  string(REPLACE "/" "\\" RYN_DLL_WINDOWS "Z:${RYN_DLL}")
  string(REPLACE "/" "\\\\" RYN_DLL_C_LITERAL "Z:${RYN_DLL}")
  # No PulseAudio is reachable: DirectSound finds no device.
  set(RYN_NO_SOUND_SERVER "PULSE_SERVER=unix:${CMAKE_BINARY_DIR}/no-sound-server")

  add_test(NAME component.register COMMAND ${RYN_WINE} ${RYN_WINE_SYSTEM_DIR}\\regsvr32.exe /s ${RYN_DLL_WINDOWS})
  add_test(NAME component.unregister COMMAND ${RYN_WINE} ${RYN_WINE_SYSTEM_DIR}\\regsvr32.exe /u /s ${RYN_DLL_WINDOWS})
  set_tests_properties(component.register PROPERTIES
    FIXTURES_SETUP ryn_registered FIXTURES_REQUIRED wine LABELS wine RESOURCE_LOCK ryn_registration)
  set_tests_properties(component.unregister PROPERTIES
    FIXTURES_CLEANUP ryn_registered FIXTURES_REQUIRED wine LABELS wine RESOURCE_LOCK ryn_registration)

  # The built file itself, read with the toolchain's objdump: machine, exports,
  # stack bytes popped, type library syskind, resources, imported DLLs.
  math(EXPR RYN_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
  add_test(NAME component.pe_static_checks
    COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/pe_static_checks.py ${CMAKE_OBJDUMP} ${RYN_BITS} ${RYN_DLL})
  set_tests_properties(component.pe_static_checks PROPERTIES LABELS static)

  # Both builds registered side by side in the test's own prefix: run by the
  # 32-bit build when it is told where the 64-bit build is (make test does).
  set(RYN_WIN64_BUILD_DIR "" CACHE PATH "64-bit build folder, for the side-by-side registration test")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND RYN_WIN64_BUILD_DIR AND TARGET rynhost)
    add_test(NAME component.side_by_side
      COMMAND ${CMAKE_CURRENT_LIST_DIR}/side_by_side_test.sh ${CMAKE_BINARY_DIR}/side-by-side
              ${RYN_DLL} $<TARGET_FILE:rynhost>
              ${RYN_WIN64_BUILD_DIR}/component/ryn.dll ${RYN_WIN64_BUILD_DIR}/host/rynhost.exe)
    set_tests_properties(component.side_by_side PROPERTIES LABELS wine TIMEOUT 300)
  endif()

  add_library(ryn_component_test_support INTERFACE)
  target_link_libraries(ryn_component_test_support INTERFACE ryn_interface ole32 oleaut32 uuid advapi32)
  target_compile_definitions(ryn_component_test_support INTERFACE "RYN_DLL_PATH=L\"${RYN_DLL_C_LITERAL}\"")

  # The apartment of the client test programs, and the module state of the
  # in-process ones set up as DllMain would.
  ryn_add_test_support(ryn_com_environment OBJECT component/ComEnvironment.cpp LIBS ryn_component_test_support)
  ryn_add_test_support(ryn_module_environment OBJECT component/ModuleEnvironment.cpp LIBS ryn_component)

  ryn_add_test(component_object_tests LABELS wine
    SOURCES
      component/ComErrorTest.cpp
      component/ComValuesTest.cpp
      component/ErrorReportingTest.cpp
      component/VelRynObjectTest.cpp
    LIBS ryn_module_environment ryn_component ryn_fake_dsound
    FIXTURES ryn_registered)
  ryn_add_test(component_client_tests LABELS wine
    SOURCES component/VelRynClientTest.cpp
    SEPARATE component/ModuleExportsTest.cpp
    LIBS ryn_com_environment ryn_component_test_support ryn_process_resources
    FIXTURES ryn_registered)
  ryn_add_test(component_registration_tests LABELS wine
    SOURCES component/RegistrationTest.cpp
    LIBS ryn_com_environment ryn_component_test_support
    FIXTURES ryn_registered)
  add_dependencies(component_client_tests ryn)
  add_dependencies(component_registration_tests ryn)
  set_tests_properties(component_object_tests component_client_tests component_registration_tests PROPERTIES
    RESOURCE_LOCK ryn_registration ENVIRONMENT "${RYN_NO_SOUND_SERVER}")

  # The module freed by COM under a running or just stopped engine, on the
  # fixture's real devices.
  add_test(NAME component_unload_real_audio COMMAND component_client_tests --gtest_filter=ModuleUnload.*)
  set_tests_properties(component_unload_real_audio PROPERTIES
    FIXTURES_REQUIRED "wine;ryn_registered" RESOURCE_LOCK ryn_registration ENVIRONMENT RYN_REAL_AUDIO=1 TIMEOUT 300)
  ryn_use_pulse(component_unload_real_audio)

  # Script hosts of the build's bitness. Wine's cscript reports nothing for an
  # unhandled script error and exits 0, so each script handles its errors and
  # ends with a summary. The runner gives each script the description this
  # system has for a type mismatch.
  add_executable(script_client_runner component/ScriptClientRunner.cpp)
  target_link_libraries(script_client_runner PRIVATE ryn_child_process ryn_component_test_support shell32)
  ryn_test_build(script_client_runner)
  foreach(script VelRynClient.vbs VelRynClient.js)
    string(REPLACE "/" "\\" script_windows "Z:${CMAKE_CURRENT_LIST_DIR}/scripts/${script}")
    add_test(NAME component.script.${script}
      COMMAND script_client_runner ${RYN_WINE_SYSTEM_DIR}\\cscript.exe ${script_windows})
    set_tests_properties(component.script.${script} PROPERTIES
      LABELS script
      FIXTURES_REQUIRED "wine;ryn_registered"
      RESOURCE_LOCK ryn_registration
      ENVIRONMENT "${RYN_NO_SOUND_SERVER}"
      PASS_REGULAR_EXPRESSION "[1-9][0-9]* passed, 0 failed"
      FAIL_REGULAR_EXPRESSION "FAIL:|[1-9][0-9]* failed"
      TIMEOUT 120)
  endforeach()
endif()
