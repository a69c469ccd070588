// The committed fuzz corpora, replayed through the fuzz targets' entry points:
// every input the fuzzers found interesting (and every input that once was a
// finding) is read again by the regular build, so the protection stays without
// the fuzzing compiler. Each input must end in an orderly answer of its reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/test_support.h"
#include "targets.h"

namespace fs = std::filesystem;

TEST(FuzzCorpus, EveryCommittedInputIsReadWithoutAFault) {
  zeb::test::TempDir dir;
  zeb::fuzz::write_support_files();
  for (const zeb::fuzz::Target& target : zeb::fuzz::targets()) {
    const fs::path corpus = fs::path(ZEB_SOURCE_DIR) / "fuzz" / "corpus" / target.name;
    std::vector<fs::path> inputs;
    for (const auto& e : fs::directory_iterator(corpus))
      if (e.is_regular_file()) inputs.push_back(e.path());
    std::sort(inputs.begin(), inputs.end());
    // Every target keeps its seeds at least.
    EXPECT_GE(inputs.size(), 3u) << target.name;
    for (const fs::path& p : inputs) {
      const std::string bytes = zeb::test::read_file(p.string());
      EXPECT_NO_THROW(target.run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
          << target.name << " " << p.filename().string();
    }
  }
}
