// Hostile and damaged archives: nothing may land outside the target folder,
// and every failure is a plain -1.
#include <gtest/gtest.h>
#include <torvi/torvi_zip.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/common/temp_dir.h"
#include "tests/support/zip/zip_test_util.h"

using namespace torvi::test;
namespace fs = std::filesystem;

namespace {

class ZipSafety : public ::testing::Test {
 protected:
  // The target folder lives in "work"; "outside" is its sibling, to detect escapes.
  void SetUp() override {
    fs::create_directories(dir_.path() / "work");
    fs::create_directories(dir_.path() / "outside");
  }
  std::string zip_of(const std::vector<RawEntry> &entries) {
    const std::string p = dir_.file("in.zip");
    write_file(p, build_zip(entries));
    return p;
  }
  int extract(const std::string &zip) {
    return zip_extract(zip.c_str(), target().c_str(), nullptr, nullptr);
  }
  std::string target() const { return dir_.file("work/target"); }
  // Everything in the test folder except the archive and the target folder.
  std::map<std::string, std::string> escaped() const {
    auto all = tree_of(dir_.path());
    std::map<std::string, std::string> out;
    for (auto &[k, v] : all) {
      if (k != "in.zip" && k.rfind("work/target/", 0) != 0) out[k] = v;
    }
    return out;
  }

  TempDir dir_;
};

TEST_F(ZipSafety, EscapingNamesAreRefusedBeforeAnythingIsWritten) {
  const std::string abs = dir_.file("outside/abs.txt");
  for (const std::string &bad :
       {std::string("../escape.txt"), std::string("../../escape.txt"),
        std::string("a/../../escape.txt"), std::string("..\\escape.txt"),
        std::string("a\\..\\..\\escape.txt"), abs, std::string("C:\\escape.txt"),
        std::string("C:escape.txt"), std::string("..")}) {
    SCOPED_TRACE(bad);
    // A harmless entry comes first: it must not be written either.
    const std::string zip = zip_of({stored("first.txt", "ok"), stored(bad, "evil")});
    EXPECT_EQ(extract(zip), -1);
    EXPECT_TRUE(escaped().empty());
    EXPECT_FALSE(fs::exists(target() + "/first.txt"));
  }
}

TEST_F(ZipSafety, SymlinkEntriesAreRefused) {
  RawEntry link = stored("link", dir_.file("outside"));
  link.made_by = (3 << 8) | 20;
  link.external_attr = 0120777u << 16;
  const std::string zip = zip_of({link, stored("link/planted.txt", "evil")});
  EXPECT_EQ(extract(zip), -1);
  EXPECT_TRUE(escaped().empty());
  EXPECT_FALSE(fs::is_symlink(target() + "/link"));
}

TEST_F(ZipSafety, LinksAlreadyInTheFolderAreNotFollowed) {
  fs::create_directories(target());
  fs::create_directory_symlink(dir_.path() / "outside", target() + "/dirlink");
  write_file(dir_.path() / "outside" / "victim.txt", "precious");
  fs::create_symlink(dir_.path() / "outside" / "victim.txt", target() + "/filelink");
  ASSERT_EQ(
      ::link((dir_.path() / "outside" / "victim.txt").c_str(), (target() + "/hardlink").c_str()),
      0);

  EXPECT_EQ(extract(zip_of({stored("dirlink/planted.txt", "evil")})), -1);
  EXPECT_FALSE(fs::exists(dir_.path() / "outside" / "planted.txt"));

  // A link where a file goes is replaced, never written through.
  ASSERT_EQ(extract(zip_of({stored("filelink", "new"), stored("hardlink", "new too")})), 0);
  EXPECT_EQ(read_file(dir_.file("outside/victim.txt")), "precious");
  EXPECT_FALSE(fs::is_symlink(target() + "/filelink"));
  EXPECT_EQ(read_file(target() + "/filelink"), "new");
  EXPECT_EQ(read_file(target() + "/hardlink"), "new too");
}

TEST_F(ZipSafety, NamesWithDotsInsideStayInside) {
  const std::string zip = zip_of({stored("a/./b/../c..d/..e", "x"), stored("./top", "y")});
  // ".." as a component is refused even when it would stay inside.
  EXPECT_EQ(extract(zip), -1);
  ASSERT_EQ(extract(zip_of({stored("a/./c..d/..e", "x"), stored("./top", "y")})), 0);
  EXPECT_EQ(read_file(target() + "/a/c..d/..e"), "x");
  EXPECT_EQ(read_file(target() + "/top"), "y");
  EXPECT_TRUE(escaped().empty());
}

TEST_F(ZipSafety, FileWhereAFolderIsNeededFails) {
  EXPECT_EQ(extract(zip_of({stored("a", "file"), stored("a/b", "under a file")})), -1);
  EXPECT_EQ(read_file(target() + "/a"), "file");
}

TEST_F(ZipSafety, EntriesThatCannotBeTrustedAreRefused) {
  RawEntry crypt = stored("enc", "secret");
  crypt.flags = 1;
  RawEntry bzip = stored("bz", "data");
  bzip.method = 12;
  RawEntry bad_crc = deflated("crc", std::string(1000, 'c'));
  bad_crc.crc = 0x12345678;
  RawEntry lying_stored = stored("stored", "0123456789");
  lying_stored.uncompressed = 20;
  RawEntry bomb = deflated("bomb", "tiny");
  bomb.uncompressed = 0xFFFFFF00u;  // far more than a few deflated bytes can hold
  RawEntry short_deflate = deflated("short", std::string(5000, 's'));
  short_deflate.uncompressed = 6000;  // the stream ends before this
  RawEntry long_deflate = deflated("long", std::string(5000, 'l'));
  long_deflate.uncompressed = 4000;  // the stream holds more than this
  RawEntry cut_deflate = deflated("cut", random_bytes(3000, 1));
  cut_deflate.data.resize(cut_deflate.data.size() / 2);
  for (const RawEntry &e :
       {crypt, bzip, bad_crc, lying_stored, bomb, short_deflate, long_deflate, cut_deflate}) {
    SCOPED_TRACE(e.name);
    const std::string zip = zip_of({e});
    EXPECT_EQ(extract(zip), -1);
    // A failed extraction leaves no partial file behind.
    EXPECT_FALSE(fs::exists(target() + "/" + e.name));
    zip_t *z = zip_open(zip.c_str(), 0, 'r');
    ASSERT_NE(z, nullptr);
    ASSERT_EQ(zip_entry_open(z, e.name.c_str()), 0);
    void *buf = nullptr;
    size_t size = 0;
    EXPECT_EQ(zip_entry_read(z, &buf, &size), -1);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(zip_entry_fread(z, dir_.file("fread.out").c_str()), -1);
    EXPECT_FALSE(fs::exists(dir_.file("fread.out")));
    zip_close(z);
  }
}

TEST_F(ZipSafety, NonArchivesFail) {
  for (const std::string &content :
       {std::string(), std::string("PK"), std::string("hello world\n"), random_bytes(5000, 9),
        std::string(22, '\0'), std::string("PK\x05\x06", 4) + std::string(18, '\0')}) {
    write_file(dir_.file("in.zip"), content);
    const std::string zip = dir_.file("in.zip");
    int rc = extract(zip);
    // An empty end record is a valid archive with nothing in it.
    if (content.size() == 22 && content[0] == 'P') {
      EXPECT_EQ(rc, 0);
      zip_t *z = zip_open(zip.c_str(), 0, 'r');
      EXPECT_EQ(zip_total_entries(z), 0);
      zip_close(z);
      continue;
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(zip_open(zip.c_str(), 0, 'r'), nullptr);
    EXPECT_EQ(zip_open(zip.c_str(), 0, 'a'), nullptr);
    EXPECT_EQ(read_file(zip), content);
  }
  // A folder is not an archive either.
  EXPECT_EQ(extract(dir_.file("outside")), -1);
}

TEST_F(ZipSafety, EntryCountBeyondTheFileIsRefused) {
  std::string bytes = build_zip({stored("a", "1")});
  // Claim 60000 entries in the end record: there is room for one.
  bytes[bytes.size() - 22 + 8] = static_cast<char>(0x60);
  bytes[bytes.size() - 22 + 9] = static_cast<char>(0xEA);
  bytes[bytes.size() - 22 + 10] = static_cast<char>(0x60);
  bytes[bytes.size() - 22 + 11] = static_cast<char>(0xEA);
  write_file(dir_.file("in.zip"), bytes);
  EXPECT_EQ(zip_open(dir_.file("in.zip").c_str(), 0, 'r'), nullptr);
  EXPECT_EQ(extract(dir_.file("in.zip")), -1);
}

TEST_F(ZipSafety, EntriesSharingTheirDataAreRefused) {
  // Several central records pointing at one deflated block multiply its
  // output far beyond what the file holds.
  const std::string one = build_zip({deflated("k0", std::string(200000, 'k'))});
  const size_t cd = get32(one, one.size() - 22 + 16);
  const std::string record = one.substr(cd, one.size() - 22 - cd);
  std::string bytes = one.substr(0, cd);
  std::string directory;
  for (char n : {'0', '1', '2'}) {
    std::string r = record;
    r[46 + 1] = n;
    directory += r;
  }
  bytes += directory;
  put32(bytes, 0x06054b50);
  put32(bytes, 0);
  put16(bytes, 3);
  put16(bytes, 3);
  put32(bytes, static_cast<uint32_t>(directory.size()));
  put32(bytes, static_cast<uint32_t>(cd));
  put16(bytes, 0);
  write_file(dir_.file("in.zip"), bytes);
  EXPECT_EQ(zip_open(dir_.file("in.zip").c_str(), 0, 'r'), nullptr);
  EXPECT_EQ(extract(dir_.file("in.zip")), -1);
  EXPECT_TRUE(tree_of(target()).empty());
  // The same data under one record is fine.
  write_file(dir_.file("in.zip"), one);
  EXPECT_EQ(extract(dir_.file("in.zip")), 0);
  EXPECT_EQ(read_file(target() + "/k0"), std::string(200000, 'k'));
}

// A valid archive of several entries, cut short at every 11th byte and with
// single bytes flipped: never a crash, and a success only with exact content.
TEST_F(ZipSafety, TruncatedAndFlippedArchives) {
  const std::map<std::string, std::string> files = {{"a.txt", std::string(3000, 'a') + "end"},
                                                    {"dir/b.bin", random_bytes(2000, 4)},
                                                    {"dir/sub/c.txt", "short"},
                                                    {"empty", ""}};
  std::vector<RawEntry> entries;
  for (const auto &[name, content] : files) {
    entries.push_back(name == "dir/b.bin" ? stored(name, content) : deflated(name, content));
  }
  const std::string good = build_zip(entries);
  ASSERT_EQ(extract(zip_of(entries)), 0);
  ASSERT_EQ(tree_of(target()), files);

  auto check = [&](const std::string &bytes, const std::string &what) {
    SCOPED_TRACE(what);
    fs::remove_all(target());
    write_file(dir_.file("in.zip"), bytes);
    const int rc = extract(dir_.file("in.zip"));
    ASSERT_TRUE(rc == 0 || rc == -1);
    if (rc == 0) {
      // Whatever came out is one of the original contents.
      for (const auto &[name, content] : tree_of(target())) {
        bool known = false;
        for (const auto &[n, c] : files) known = known || c == content;
        EXPECT_TRUE(known) << name;
      }
    }
    zip_t *z = zip_open(dir_.file("in.zip").c_str(), 0, 'r');
    if (z != nullptr) {
      for (const auto &[name, content] : files) {
        if (zip_entry_open(z, name.c_str()) != 0) continue;
        void *buf = nullptr;
        size_t size = 0;
        if (zip_entry_read(z, &buf, &size) == 0) {
          EXPECT_EQ(std::string(static_cast<char *>(buf), size), content) << name;
          std::free(buf);
        }
      }
      zip_close(z);
    }
    EXPECT_TRUE(escaped().empty());
  };
  for (size_t cut = 0; cut < good.size(); cut += 11) {
    check(good.substr(0, cut), "cut at " + std::to_string(cut));
    fs::remove_all(target());
    EXPECT_EQ(extract(dir_.file("in.zip")), -1) << cut;
  }
  // Sparse flips everywhere, and every byte of the central directory and
  // end record, where the sizes and offsets live.
  const size_t directory = good.size() - 22 - 4 * 46 - 33;
  const uint8_t masks[] = {0x01, 0x80, 0xFF};
  for (size_t at = 0; at < good.size(); at += at < directory ? 5 : 1) {
    std::string bad = good;
    const uint8_t mask = masks[at % 3];
    bad[at] = static_cast<char>(bad[at] ^ mask);
    check(bad, "flip " + std::to_string(mask) + " at " + std::to_string(at));
  }
}

}  // namespace
