#include "tests/fuzz/RegistryScriptFuzzTarget.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::size_t ReplayDirectory(const std::filesystem::path& directory) {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> input((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(RunRegistryScriptFuzzInput(input.data(), input.size()), "") << entry.path();
    ++count;
  }
  return count;
}

// Every input the fuzzer kept, and every input that once broke the
// interpreter, still keeps the invariants under the sanitizers.
TEST(RegistryScriptCorpus, EveryKeptInputHoldsTheInvariants) {
  const std::size_t corpus = ReplayDirectory(RYN_REGISTRY_SCRIPT_CORPUS);
  const std::size_t regressions = ReplayDirectory(RYN_REGISTRY_SCRIPT_REGRESSIONS);
  EXPECT_GT(corpus, 0u);
  std::printf("replayed %zu corpus inputs and %zu regression inputs\n", corpus, regressions);
}

}  // namespace
