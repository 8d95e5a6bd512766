# Registry script interpreter: its tests on the in-memory registry (natively
# under the sanitizers, and for Windows under Wine), and on Wine's registry.

ryn_add_test_support(ryn_regscript_testing STATIC
  registry/InMemoryRegistry.cpp
  registry/DecimalNumberConverter.cpp
  LIBS ryn_regscript)

ryn_add_test(regscript_tests LABELS ${RYN_TEST_LABEL}
  SOURCES registry/RegistryScriptTest.cpp
  SEPARATE
    registry/RegistryScriptTokenizerTest.cpp
    registry/ReplacementTableTest.cpp
    registry/RegistryValueEncodingTest.cpp
  LIBS ryn_regscript_testing)

if(WIN32)
  ryn_add_test(regscript_win32_tests LABELS wine
    SOURCES registry/Win32RegistryAccessTest.cpp
    LIBS ryn_registry_win32 ryn_regscript_testing)
endif()

# Per-user registration: the registry adapter with the module's own script on
# the in-memory registry (natively under the sanitizers, and under Wine).
if(WIN32)
  set(RYN_REGISTRY_SCRIPT_PATH "Z:${CMAKE_SOURCE_DIR}/resources/ryn.rgs")
else()
  set(RYN_REGISTRY_SCRIPT_PATH "${CMAKE_SOURCE_DIR}/resources/ryn.rgs")
endif()
ryn_add_test(peruser_registry_tests LABELS ${RYN_TEST_LABEL}
  SOURCES registry/PerUserRegistryAccessTest.cpp registry/TypeLibraryScriptTest.cpp
  LIBS ryn_regscript_testing)
target_compile_definitions(peruser_registry_tests PRIVATE "RYN_REGISTRY_SCRIPT=\"${RYN_REGISTRY_SCRIPT_PATH}\"")
