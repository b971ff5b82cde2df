// Runs the fuzz target's checks, in the ordinary test build, over the
// committed corpus: the seeds and every input that once failed them.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

TEST(FuzzCorpusTest, EveryInputKeepsTheEditsContract) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(KAVRO_FUZZ_CORPUS)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().string());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    ++replayed;
  }
  EXPECT_GT(replayed, 10);
}

}  // namespace
