// Replays the kept fuzz inputs (seed archives and any input that once broke
// the reader) through the same steps as the fuzz target.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "fuzz/zip_read.h"
#include "tests/common/temp_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(ZipCorpus, KeptInputsRunCleanAndStayContained) {
  const fs::path corpus = fs::path(TORVI_SOURCE_DIR) / "fuzz" / "corpus" / "zip_read";
  ASSERT_TRUE(fs::is_directory(corpus)) << corpus;
  torvi::test::TempDir dir;
  size_t count = 0;
  for (const auto &e : fs::directory_iterator(corpus)) {
    std::ifstream in(e.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(torvi::fuzz::zip_read_one(reinterpret_cast<const uint8_t *>(bytes.data()),
                                          bytes.size(), dir.path() / "run"))
        << e.path();
    ++count;
  }
  EXPECT_GE(count, 5u);
}

}  // namespace
