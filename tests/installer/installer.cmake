# Installer packages: the generator of their registry entries, natively under
# the sanitizers (and under Wine); the packages themselves installed under Wine
# in fresh prefixes (scripts/build-msi.sh builds them from both build folders).
if(WIN32)
  set(RYN_INSTALLER_SCRIPT_PATH "Z:${CMAKE_SOURCE_DIR}/resources/ryn.rgs")
else()
  set(RYN_INSTALLER_SCRIPT_PATH "${CMAKE_SOURCE_DIR}/resources/ryn.rgs")
endif()
ryn_add_test(installer_registry_tests LABELS ${RYN_TEST_LABEL}
  SOURCES installer/WixRegistryFragmentTest.cpp
  LIBS ryn_wix_registry ryn_regscript_testing)
target_compile_definitions(installer_registry_tests PRIVATE "RYN_REGISTRY_SCRIPT=\"${RYN_INSTALLER_SCRIPT_PATH}\"")

# The packages themselves: built from this build and the win32 one, then
# installed, used and removed under Wine, each check group in its own fresh
# prefixes (tests/installer/msi_test.sh).
if(WIN32 AND TARGET ryn AND TARGET wixregistry)
  set(RYN_MSI_TEST ${CMAKE_CURRENT_LIST_DIR}/msi_test.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/installer-test)
  add_test(NAME installer.packages COMMAND ${RYN_MSI_TEST} packages)
  set_tests_properties(installer.packages PROPERTIES FIXTURES_SETUP msi_packages LABELS "wine;installer" TIMEOUT 300)
  foreach(group x64 x86 both)
    add_test(NAME installer.${group} COMMAND ${RYN_MSI_TEST} ${group})
    set_tests_properties(installer.${group} PROPERTIES
      FIXTURES_REQUIRED msi_packages
      LABELS "wine;installer"
      SKIP_RETURN_CODE 77
      FAIL_REGULAR_EXPRESSION "FAIL:"
      TIMEOUT 300)
  endforeach()
endif()
