# Per-user registration and registration-free activation on Wine's registry.
# The program removes the build's machine-wide registration while it runs
# and restores it at the end, so it holds the registration lock.
if(WIN32 AND TARGET ryn)
  string(REPLACE "/" "\\\\" RYN_MANIFEST_C_LITERAL "Z:${CMAKE_SOURCE_DIR}/resources/ryn.manifest")
  string(REPLACE "/" "\\\\" RYN_HOST_C_LITERAL "Z:${CMAKE_BINARY_DIR}/host/rynhost.exe")
  ryn_add_test(component_installation_tests LABELS wine
    SOURCES
      component/InstallationTest.cpp
      component/RegistrySnapshot.cpp
    LIBS ryn_component_test_support ryn_child_process
    FIXTURES ryn_registered)
  target_compile_definitions(component_installation_tests PRIVATE
    "RYN_MANIFEST_PATH=L\"${RYN_MANIFEST_C_LITERAL}\"" "RYN_HOST_PATH=L\"${RYN_HOST_C_LITERAL}\"")
  add_dependencies(component_installation_tests ryn rynhost)
  set_tests_properties(component_installation_tests PROPERTIES
    RESOURCE_LOCK ryn_registration ENVIRONMENT "${RYN_NO_SOUND_SERVER}")
endif()
