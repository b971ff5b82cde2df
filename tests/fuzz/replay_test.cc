// Runs the fuzz target's checks, in the ordinary test build, over the
// committed corpus: the seeds and every input that once failed them. A broken
// check aborts, so each input is replayed in a process of its own: a failure
// names the file and shows the check's message, and the other files still run
// (a death test: gtest runs these first, before any test starts a thread).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

TEST(FuzzCorpusDeathTest, EveryInputKeepsTheEditsContract) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(KAVRO_FUZZ_CORPUS)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EXIT(
        {
          LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
          std::exit(0);
        },
        testing::ExitedWithCode(0), "")
        << "corpus file " << entry.path().string();
    ++replayed;
  }
  EXPECT_GT(replayed, 10);
}

}  // namespace
