# Registry script interpreter: its tests on the in-memory registry (natively
# under the sanitizers, and for Windows under Wine), and on Wine's registry.

add_library(ryn_regscript_testing STATIC
  component/InMemoryRegistry.cpp
  component/DecimalNumberConverter.cpp
)
target_include_directories(ryn_regscript_testing PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(ryn_regscript_testing PUBLIC ryn_regscript)

ryn_add_test(regscript_tests LABELS ${RYN_TEST_LABEL}
  SOURCES
    component/RegistryScriptTest.cpp
    component/RegistryScriptTokenizerTest.cpp
    component/ReplacementTableTest.cpp
    component/RegistryValueEncodingTest.cpp
  LIBS ryn_regscript_testing)

if(WIN32)
  ryn_add_test(regscript_win32_tests LABELS wine
    SOURCES component/Win32RegistryAccessTest.cpp
    LIBS ryn_registry_win32 ryn_regscript_testing)
endif()
