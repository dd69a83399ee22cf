// Archives written here are read by Info-ZIP's zip and unzip, and theirs by us.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <torvi/torvi_zip.h>

#include <cstdlib>

#include "tests/common/temp_dir.h"
#include "tests/support/zip/zip_test_util.h"

using namespace torvi::test;
namespace fs = std::filesystem;

namespace {

using Tree = std::map<std::string, std::string>;

Tree sample_tree() {
  return {{"readme.txt", std::string(20000, 'r') + "\n"},
          {"data/noise.bin", random_bytes(150000, 11)},
          {"data/deep/er/leaf.txt", "leaf\n"},
          {"data/empty.txt", ""}};
}

class ZipInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_tool("zip") || !have_tool("unzip")) {
      GTEST_SKIP() << "Info-ZIP zip and unzip are not installed (scripts/deps.sh installs them)";
    }
  }
  std::string path(const std::string &name) const { return dir_.file(name); }
  std::string q(const std::string &p) const { return "'" + p + "'"; }

  // Writes the tree with our writer, entry by entry.
  void write_ours(const std::string &zip, int level, const Tree &tree, char mode = 'w') {
    zip_t *z = zip_open(zip.c_str(), level, mode);
    ASSERT_NE(z, nullptr);
    for (const auto &[name, content] : tree) {
      ASSERT_EQ(zip_entry_open(z, name.c_str()), 0);
      ASSERT_EQ(zip_entry_write(z, content.data(), content.size()), 0);
      ASSERT_EQ(zip_entry_close(z), 0);
    }
    zip_close(z);
  }

  // Tests and unpacks an archive with unzip; returns the unpacked tree.
  Tree unzip_tree(const std::string &zip, const std::string &into) {
    std::string out;
    EXPECT_EQ(run_command("unzip -t " + q(zip), &out), 0) << out;
    EXPECT_NE(out.find("No errors detected"), std::string::npos) << out;
    EXPECT_EQ(run_command("unzip -o -q " + q(zip) + " -d " + q(path(into)), &out), 0) << out;
    return tree_of(path(into));
  }

  // Packs the tree with Info-ZIP zip from inside a source folder.
  std::string zip_tree(const Tree &tree, const std::string &flags, const std::string &name) {
    const fs::path src = dir_.path() / ("src_" + name);
    for (const auto &[rel, content] : tree) write_file(src / rel, content);
    std::string out;
    const std::string zip = path(name);
    EXPECT_EQ(
        run_command("cd " + q(src.string()) + " && zip -q -r " + flags + " " + q(zip) + " .", &out),
        0)
        << out;
    return zip;
  }

  // Every file entry read back with zip_entry_read, by name.
  Tree read_ours(const std::string &zip, const Tree &expected) {
    Tree got;
    zip_t *z = zip_open(zip.c_str(), 0, 'r');
    EXPECT_NE(z, nullptr);
    if (z == nullptr) return got;
    for (const auto &[name, content] : expected) {
      if (zip_entry_open(z, name.c_str()) != 0) continue;
      void *buf = nullptr;
      size_t size = 0;
      if (zip_entry_read(z, &buf, &size) == 0) {
        got[name] = std::string(static_cast<char *>(buf), size);
        std::free(buf);
      }
    }
    zip_close(z);
    return got;
  }

  TempDir dir_;
};

TEST_F(ZipInterop, UnzipReadsOurStoredAndDeflatedArchives) {
  const Tree tree = sample_tree();
  for (int level : {0, 1, 6, 10}) {
    SCOPED_TRACE(level);
    const std::string zip = path("ours" + std::to_string(level) + ".zip");
    write_ours(zip, level, tree);
    EXPECT_EQ(unzip_tree(zip, "out" + std::to_string(level)), tree);
    std::string listing;
    ASSERT_EQ(run_command("unzip -v " + q(zip), &listing), 0);
    EXPECT_NE(listing.find(level == 0 ? "Stored" : "Defl:"), std::string::npos) << listing;
  }
}

TEST_F(ZipInterop, UnzipReadsZipCreateOutput) {
  write_file(path("one.txt"), "first file\n");
  write_file(path("nested/two.bin"), random_bytes(4096, 2));
  const std::string a = path("one.txt"), b = path("nested/two.bin");
  const char *files[] = {a.c_str(), b.c_str()};
  ASSERT_EQ(zip_create(path("c.zip").c_str(), files, 2), 0);
  EXPECT_EQ(unzip_tree(path("c.zip"), "out"),
            (Tree{{"one.txt", "first file\n"}, {"two.bin", random_bytes(4096, 2)}}));
}

TEST_F(ZipInterop, WeReadInfoZipArchives) {
  const Tree tree = sample_tree();
  for (const std::string flags : {"-0", "-1", "-9"}) {
    SCOPED_TRACE(flags);
    const std::string zip = zip_tree(tree, flags, "theirs" + flags + ".zip");
    // Info-ZIP also writes folder entries, which the reader refuses as files.
    EXPECT_EQ(read_ours(zip, tree), tree);
    zip_t *z = zip_open(zip.c_str(), 0, 'r');
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(zip_total_entries(z), 7);  // 4 files and 3 folders
    ASSERT_EQ(zip_entry_open(z, "data/deep/"), 0);
    void *buf = nullptr;
    size_t size = 0;
    EXPECT_EQ(zip_entry_read(z, &buf, &size), -1);
    zip_close(z);
    const std::string out = "x" + flags;
    ASSERT_EQ(zip_extract(zip.c_str(), path(out).c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(tree_of(path(out)), tree);
  }
}

TEST_F(ZipInterop, WeReadStreamedEntriesWithDataDescriptors) {
  // zip reading from a pipe writes sizes after the data.
  std::string out;
  const std::string content = std::string(5000, 'p') + "piped";
  write_file(path("piped.src"), content);
  ASSERT_EQ(
      run_command("cat " + q(path("piped.src")) + " | zip -q " + q(path("p.zip")) + " -", &out), 0)
      << out;
  zip_t *z = zip_open(path("p.zip").c_str(), 0, 'r');
  ASSERT_NE(z, nullptr);
  ASSERT_EQ(zip_entry_open(z, "-"), 0);
  void *buf = nullptr;
  size_t size = 0;
  ASSERT_EQ(zip_entry_read(z, &buf, &size), 0);
  EXPECT_EQ(std::string(static_cast<char *>(buf), size), content);
  std::free(buf);
  zip_close(z);
}

TEST_F(ZipInterop, InfoZipSymlinksAreRefused) {
  write_file(path("src/target.txt"), "target");
  fs::create_symlink("/etc", path("src/link"));
  std::string out;
  ASSERT_EQ(
      run_command("cd " + q(path("src")) + " && zip -q -y " + q(path("l.zip")) + " target.txt link",
                  &out),
      0)
      << out;
  EXPECT_EQ(zip_extract(path("l.zip").c_str(), path("out").c_str(), nullptr, nullptr), -1);
  EXPECT_FALSE(fs::exists(path("out/target.txt")));
  EXPECT_FALSE(fs::is_symlink(path("out/link")));
}

TEST_F(ZipInterop, ExtractRestoresInfoZipTimes) {
  write_file(path("src/stamped.txt"), "time");
  struct tm tmv {};
  tmv.tm_year = 2020 - 1900;
  tmv.tm_mon = 1;
  tmv.tm_mday = 28;
  tmv.tm_hour = 17;
  tmv.tm_min = 45;
  tmv.tm_sec = 10;
  tmv.tm_isdst = -1;
  const time_t when = mktime(&tmv);
  const timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path("src/stamped.txt").c_str(), times, 0), 0);
  std::string out;
  ASSERT_EQ(
      run_command("cd " + q(path("src")) + " && zip -q " + q(path("t.zip")) + " stamped.txt", &out),
      0);
  ASSERT_EQ(zip_extract(path("t.zip").c_str(), path("out").c_str(), nullptr, nullptr), 0);
  struct stat st {};
  ASSERT_EQ(stat(path("out/stamped.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, when);
}

TEST_F(ZipInterop, AppendingKeepsOldEntriesReadable) {
  const Tree tree = sample_tree();
  const Tree extra = {{"added/later.txt", "appended\n"},
                      {"added/big.bin", random_bytes(70000, 21)}};
  Tree all = tree;
  all.insert(extra.begin(), extra.end());
  // To an archive of ours.
  write_ours(path("mine.zip"), 6, tree);
  write_ours(path("mine.zip"), 0, extra, 'a');
  EXPECT_EQ(unzip_tree(path("mine.zip"), "out_mine"), all);
  EXPECT_EQ(read_ours(path("mine.zip"), all), all);
  // To an archive of Info-ZIP's, folder entries included.
  const std::string theirs = zip_tree(tree, "-6", "theirs.zip");
  write_ours(theirs, 9, extra, 'a');
  EXPECT_EQ(unzip_tree(theirs, "out_theirs"), all);
  EXPECT_EQ(read_ours(theirs, all), all);
  zip_t *z = zip_open(theirs.c_str(), 0, 'r');
  EXPECT_EQ(zip_total_entries(z), 7 + 2);
  zip_close(z);
}

}  // namespace
