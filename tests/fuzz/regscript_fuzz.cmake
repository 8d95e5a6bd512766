# Registry script fuzzing: the libFuzzer target (clang, RYN_FUZZ=ON; run it
# with scripts/fuzz-registry-script.sh) and, in every native test run, a replay
# of its committed corpus and regression inputs under the sanitizers.
if(NOT WIN32)
  ryn_add_test_support(ryn_regscript_fuzz_target STATIC fuzz/RegistryScriptFuzzTarget.cpp LIBS ryn_regscript_testing)

  ryn_add_test(regscript_corpus_tests LABELS native
    SOURCES fuzz/RegistryScriptCorpusTest.cpp
    LIBS ryn_regscript_fuzz_target)
  target_compile_definitions(regscript_corpus_tests PRIVATE
    RYN_REGISTRY_SCRIPT_CORPUS="${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus/registry_script"
    RYN_REGISTRY_SCRIPT_REGRESSIONS="${CMAKE_CURRENT_SOURCE_DIR}/fuzz/regressions/registry_script")

  if(RYN_FUZZ)
    add_executable(registry_script_fuzzer fuzz/RegistryScriptFuzzer.cpp)
    target_link_libraries(registry_script_fuzzer PRIVATE ryn_regscript_fuzz_target)
    target_link_options(registry_script_fuzzer PRIVATE -fsanitize=fuzzer)
  endif()
endif()
