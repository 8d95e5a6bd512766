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
