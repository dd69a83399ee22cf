#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <torvi/torvi_log.h>
#include <torvi/torvi_zip.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <regex>

#include "tests/common/temp_dir.h"
#include "tests/support/zip/zip_test_util.h"

using namespace torvi::test;
namespace fs = std::filesystem;

namespace {

// Offsets in a local header and in a central directory record.
constexpr size_t kLocalFlags = 6, kLocalMethod = 8, kLocalTime = 10, kLocalCrc = 14;
constexpr size_t kLocalCompressed = 18, kLocalUncompressed = 22;

struct ZipCloser {
  void operator()(zip_t *z) const { zip_close(z); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipCloser>;

class ZipApi : public ::testing::Test {
 protected:
  std::string path(const std::string &name) const { return dir_.file(name); }

  // Writes one archive with the given (name, content) entries at a level.
  void write_archive(const std::string &zip, int level,
                     const std::vector<std::pair<std::string, std::string>> &entries) {
    ZipPtr z(zip_open(zip.c_str(), level, 'w'));
    ASSERT_NE(z, nullptr);
    for (const auto &[name, content] : entries) {
      ASSERT_EQ(zip_entry_open(z.get(), name.c_str()), 0) << name;
      ASSERT_EQ(zip_entry_write(z.get(), content.data(), content.size()), 0);
      ASSERT_EQ(zip_entry_close(z.get()), 0);
    }
  }

  // The content of one entry, read through zip_entry_read.
  std::optional<std::string> read_entry(const std::string &zip, const std::string &name) {
    ZipPtr z(zip_open(zip.c_str(), 0, 'r'));
    if (!z || zip_entry_open(z.get(), name.c_str()) != 0) return std::nullopt;
    void *buf = nullptr;
    size_t size = 0;
    if (zip_entry_read(z.get(), &buf, &size) != 0) return std::nullopt;
    std::string out(static_cast<const char *>(buf), size);
    std::free(buf);
    return out;
  }

  TempDir dir_;
};

TEST_F(ZipApi, OpenRefusesBadArguments) {
  EXPECT_EQ(zip_open(nullptr, 0, 'w'), nullptr);
  EXPECT_EQ(zip_open("", 0, 'w'), nullptr);
  EXPECT_EQ(zip_open(path("a.zip").c_str(), 11, 'w'), nullptr);
  EXPECT_EQ(zip_open(path("x.zip").c_str(), 6, 'x'), nullptr);
  EXPECT_FALSE(fs::exists(path("x.zip")));
  EXPECT_FALSE(fs::exists(path("a.zip")));
  EXPECT_EQ(zip_open(path("missing.zip").c_str(), 0, 'r'), nullptr);
  EXPECT_EQ(zip_open(path("missing.zip").c_str(), 0, 'a'), nullptr);
  EXPECT_FALSE(fs::exists(path("missing.zip")));
  EXPECT_EQ(zip_open(path("no/such/folder.zip").c_str(), 0, 'w'), nullptr);
  zip_close(nullptr);
  EXPECT_EQ(zip_total_entries(nullptr), -1);
  EXPECT_EQ(zip_entry_open(nullptr, "a"), -1);
  EXPECT_EQ(zip_entry_close(nullptr), -1);
  EXPECT_EQ(zip_entry_write(nullptr, "a", 1), -1);
  EXPECT_EQ(zip_extract(nullptr, "d", nullptr, nullptr), -1);
  EXPECT_EQ(zip_extract(path("a.zip").c_str(), nullptr, nullptr, nullptr), -1);
}

TEST_F(ZipApi, RoundTripAtEveryLevel) {
  const std::string text(100000, 'x');
  const std::string noise = random_bytes(70000, 7);
  for (int level : {-1, 0, 1, 3, 6, 9, 10}) {
    SCOPED_TRACE(level);
    // Built in steps: GCC 12 at -O3 misreports operator+ on a literal (-Wrestrict).
    std::string name = "l";
    name += std::to_string(level + 1);
    const std::string zip = path(name + ".zip");
    write_archive(zip, level, {{"text.txt", text}, {"noise.bin", noise}, {"empty", ""}});
    EXPECT_EQ(read_entry(zip, "text.txt"), text);
    EXPECT_EQ(read_entry(zip, "noise.bin"), noise);
    EXPECT_EQ(read_entry(zip, "empty"), "");
    ZipPtr z(zip_open(zip.c_str(), 0, 'r'));
    EXPECT_EQ(zip_total_entries(z.get()), 3);
  }
}

TEST_F(ZipApi, LargeArchivesReadBackAcrossTheReadWindow) {
  // A central directory of thousands of records (it spans several 64 KB read
  // windows), entries on both sides of each window edge, and stored and
  // deflated entries larger than a window (read past it).
  std::mt19937 rng(21);
  std::vector<std::pair<std::string, std::string>> entries;
  for (int i = 0; i < 3000; ++i) {
    std::string content(rng() % 90, '\0');
    for (auto &c : content) c = static_cast<char>(rng());
    entries.emplace_back("small/entry_" + std::to_string(i) + ".bin", std::move(content));
  }
  std::string big(300000, '\0');
  for (auto &c : big) c = static_cast<char>(rng());
  entries.emplace_back("big_random.bin", big);
  entries.emplace_back("big_text.txt", std::string(200000, 'x') + "end");
  for (int level : {0, 6}) {
    const std::string zip = path("large_" + std::to_string(level) + ".zip");
    write_archive(zip, level, entries);
    ZipPtr z(zip_open(zip.c_str(), 0, 'r'));
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(zip_total_entries(z.get()), static_cast<int>(entries.size()));
    for (size_t i = 0; i < entries.size(); i += (i < 2990 ? 37 : 1)) {
      const auto &[name, content] = entries[i];
      ASSERT_EQ(zip_entry_open(z.get(), name.c_str()), 0) << name;
      void *buf = nullptr;
      size_t size = 0;
      ASSERT_EQ(zip_entry_read(z.get(), &buf, &size), 0) << name;
      const std::string got(static_cast<const char *>(buf), size);
      std::free(buf);
      EXPECT_TRUE(got == content) << name << " at level " << level;
      zip_entry_close(z.get());
    }
  }
}

TEST_F(ZipApi, LevelChoosesMethodAndStrength) {
  const std::string text(50000, 'y');
  write_archive(path("stored.zip"), 0, {{"t", text}});
  write_archive(path("fast.zip"), 1, {{"t", text}});
  write_archive(path("dflt.zip"), -1, {{"t", text}});
  const std::string stored = read_file(path("stored.zip"));
  const std::string fast = read_file(path("fast.zip"));
  const std::string dflt = read_file(path("dflt.zip"));
  EXPECT_EQ(get16(stored, kLocalMethod), 0);
  EXPECT_EQ(get32(stored, kLocalCompressed), text.size());
  EXPECT_EQ(get16(fast, kLocalMethod), 8);
  EXPECT_LT(get32(fast, kLocalCompressed), text.size() / 10);
  // Level 1 is marked as the fastest deflate in the general-purpose bits.
  EXPECT_EQ(get16(fast, kLocalFlags) & 6, 6);
  EXPECT_EQ(get16(dflt, kLocalFlags) & 6, 0);
  EXPECT_EQ(get16(dflt, kLocalMethod), 8);
  EXPECT_EQ(get32(stored, kLocalUncompressed), text.size());
}

TEST_F(ZipApi, EmptyWriteChangesNothing) {
  {
    ZipPtr z(zip_open(path("e.zip").c_str(), 0, 'w'));
    ASSERT_EQ(zip_entry_open(z.get(), "a"), 0);
    ASSERT_EQ(zip_entry_write(z.get(), "abc", 3), 0);
    EXPECT_EQ(zip_entry_write(z.get(), "zzz", 0), 0);
    EXPECT_EQ(zip_entry_write(z.get(), nullptr, 5), 0);
    ASSERT_EQ(zip_entry_close(z.get()), 0);
  }
  const std::string bytes = read_file(path("e.zip"));
  EXPECT_EQ(get32(bytes, kLocalCrc), crc_of("abc"));
  EXPECT_EQ(get32(bytes, kLocalUncompressed), 3u);
}

TEST_F(ZipApi, WriteNeedsAnOpenEntry) {
  ZipPtr z(zip_open(path("w.zip").c_str(), 6, 'w'));
  EXPECT_EQ(zip_entry_write(z.get(), "a", 1), -1);
  EXPECT_EQ(zip_entry_close(z.get()), -1);
  EXPECT_EQ(zip_entry_open(z.get(), ""), -1);
  ASSERT_EQ(zip_entry_open(z.get(), "one"), 0);
  EXPECT_EQ(zip_entry_open(z.get(), "two"), -1);
  EXPECT_EQ(zip_entry_fwrite(z.get(), path("missing").c_str()), -1);
  ASSERT_EQ(zip_entry_close(z.get()), 0);
  EXPECT_EQ(zip_total_entries(z.get()), 1);
  // Reading calls refuse a write handle.
  void *buf = nullptr;
  size_t size = 0;
  EXPECT_EQ(zip_entry_read(z.get(), &buf, &size), -1);
}

TEST_F(ZipApi, EntryTimeComesFromTheLocalClock) {
  const time_t before = time(nullptr);
  write_archive(path("t.zip"), 6, {{"a", "x"}});
  const time_t after = time(nullptr);
  const std::string bytes = read_file(path("t.zip"));
  const uint32_t dos = get32(bytes, kLocalTime);
  struct tm tmv {};
  tmv.tm_year = static_cast<int>((dos >> 25) + 80);
  tmv.tm_mon = static_cast<int>((dos >> 21) & 0xF) - 1;
  tmv.tm_mday = static_cast<int>((dos >> 16) & 0x1F);
  tmv.tm_hour = static_cast<int>((dos >> 11) & 0x1F);
  tmv.tm_min = static_cast<int>((dos >> 5) & 0x3F);
  tmv.tm_sec = static_cast<int>((dos & 0x1F) * 2);
  tmv.tm_isdst = -1;
  const time_t stamp = mktime(&tmv);
  EXPECT_GE(stamp, before - 2);
  EXPECT_LE(stamp, after);
}

TEST_F(ZipApi, BackslashNamesAndLookup) {
  write_archive(path("n.zip"), 6,
                {{"dir\\sub\\f.txt", "one"}, {"Upper.TXT", "two"}, {"upper.txt", "three"}});
  EXPECT_EQ(read_entry(path("n.zip"), "dir/sub/f.txt"), "one");
  EXPECT_EQ(read_entry(path("n.zip"), "dir\\sub\\f.txt"), "one");
  // Exact match first, then a match that ignores case.
  EXPECT_EQ(read_entry(path("n.zip"), "upper.txt"), "three");
  EXPECT_EQ(read_entry(path("n.zip"), "UPPER.txt"), "two");
  EXPECT_EQ(read_entry(path("n.zip"), "missing"), std::nullopt);
  ZipPtr z(zip_open(path("n.zip").c_str(), 0, 'r'));
  EXPECT_EQ(zip_entry_open(z.get(), "missing"), -1);
  // A failed lookup leaves nothing located.
  void *buf = nullptr;
  size_t size = 0;
  EXPECT_EQ(zip_entry_read(z.get(), &buf, &size), -1);
  EXPECT_EQ(zip_entry_close(z.get()), 0);
}

TEST_F(ZipApi, DirectoryEntriesAreRefusedByReaders) {
  write_archive(path("d.zip"), 6, {{"folder/", ""}, {"folder/f", "data"}});
  write_file(path("dosdir.zip"), [] {
    RawEntry e = stored("plain", "");
    e.external_attr = 0x10;
    return build_zip({e});
  }());
  for (const auto &[zip, name] :
       {std::pair{path("d.zip"), "folder/"}, {path("dosdir.zip"), "plain"}}) {
    ZipPtr z(zip_open(zip.c_str(), 0, 'r'));
    ASSERT_EQ(zip_entry_open(z.get(), name), 0);
    void *buf = nullptr;
    size_t size = 0;
    EXPECT_EQ(zip_entry_read(z.get(), &buf, &size), -1);
    EXPECT_EQ(zip_entry_fread(z.get(), path("out").c_str()), -1);
    EXPECT_FALSE(fs::exists(path("out")));
  }
  EXPECT_EQ(read_entry(path("d.zip"), "folder/f"), "data");
}

size_t collect(void *arg, uint64_t offset, const void *data, size_t size) {
  auto *out = static_cast<std::string *>(arg);
  if (offset != out->size()) return 0;
  out->append(static_cast<const char *>(data), size);
  return size;
}
size_t refuse(void *, uint64_t, const void *, size_t) { return 0; }

TEST_F(ZipApi, ExtractThroughCallbackAndToFile) {
  const std::string big = random_bytes(300000, 3);
  write_archive(path("c.zip"), 6, {{"big", big}});
  ZipPtr z(zip_open(path("c.zip").c_str(), 0, 'r'));
  ASSERT_EQ(zip_entry_open(z.get(), "big"), 0);
  std::string got;
  ASSERT_EQ(zip_entry_extract(z.get(), collect, &got), 0);
  EXPECT_EQ(got, big);
  EXPECT_EQ(zip_entry_extract(z.get(), refuse, nullptr), -1);
  EXPECT_EQ(zip_entry_extract(z.get(), nullptr, nullptr), -1);
  ASSERT_EQ(zip_entry_fread(z.get(), path("big.out").c_str()), 0);
  EXPECT_EQ(read_file(path("big.out")), big);
}

TEST_F(ZipApi, FwriteAddsWholeFiles) {
  const std::string content = random_bytes(200000, 5);  // more than one read chunk
  write_file(path("src.bin"), content);
  {
    ZipPtr z(zip_open(path("f.zip").c_str(), 3, 'w'));
    ASSERT_EQ(zip_entry_open(z.get(), "src.bin"), 0);
    ASSERT_EQ(zip_entry_write(z.get(), "head", 4), 0);
    ASSERT_EQ(zip_entry_fwrite(z.get(), path("src.bin").c_str()), 0);
    ASSERT_EQ(zip_entry_close(z.get()), 0);
  }
  EXPECT_EQ(read_entry(path("f.zip"), "src.bin"), "head" + content);
}

TEST_F(ZipApi, AppendKeepsOldEntries) {
  write_archive(path("a.zip"), 6, {{"one", "1"}, {"two", "22"}});
  {
    ZipPtr z(zip_open(path("a.zip").c_str(), 0, 'a'));
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(zip_total_entries(z.get()), 2);
    ASSERT_EQ(zip_entry_open(z.get(), "three"), 0);
    ASSERT_EQ(zip_entry_write(z.get(), "333", 3), 0);
    ASSERT_EQ(zip_entry_close(z.get()), 0);
    EXPECT_EQ(zip_total_entries(z.get()), 3);
  }
  EXPECT_EQ(read_entry(path("a.zip"), "one"), "1");
  EXPECT_EQ(read_entry(path("a.zip"), "two"), "22");
  EXPECT_EQ(read_entry(path("a.zip"), "three"), "333");
  // Appending refuses what is not an archive, and leaves it alone.
  write_file(path("text.zip"), "just text");
  EXPECT_EQ(zip_open(path("text.zip").c_str(), 6, 'a'), nullptr);
  EXPECT_EQ(read_file(path("text.zip")), "just text");
}

TEST_F(ZipApi, EmptyArchiveIsReadableAndAppendable) {
  zip_close(zip_open(path("e.zip").c_str(), 6, 'w'));
  {
    ZipPtr z(zip_open(path("e.zip").c_str(), 0, 'r'));
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(zip_total_entries(z.get()), 0);
    EXPECT_EQ(zip_entry_open(z.get(), "any"), -1);
  }
  EXPECT_EQ(zip_extract(path("e.zip").c_str(), path("out").c_str(), nullptr, nullptr), 0);
  {
    ZipPtr z(zip_open(path("e.zip").c_str(), 6, 'a'));
    ASSERT_NE(z, nullptr);
    ASSERT_EQ(zip_entry_open(z.get(), "first"), 0);
    ASSERT_EQ(zip_entry_write(z.get(), "1", 1), 0);
    ASSERT_EQ(zip_entry_close(z.get()), 0);
  }
  EXPECT_EQ(read_entry(path("e.zip"), "first"), "1");
}

TEST_F(ZipApi, EntryLeftOpenIsCompletedByClose) {
  {
    zip_t *z = zip_open(path("o.zip").c_str(), 6, 'w');
    ASSERT_EQ(zip_entry_open(z, "done"), 0);
    ASSERT_EQ(zip_entry_write(z, "d", 1), 0);
    ASSERT_EQ(zip_entry_close(z), 0);
    ASSERT_EQ(zip_entry_open(z, "open"), 0);
    ASSERT_EQ(zip_entry_write(z, "oo", 2), 0);
    zip_close(z);
  }
  EXPECT_EQ(read_entry(path("o.zip"), "done"), "d");
  EXPECT_EQ(read_entry(path("o.zip"), "open"), "oo");
}

TEST_F(ZipApi, CreateNamesEntriesByFileName) {
  ScopedChdir cd(dir_.path());
  write_file(dir_.path() / "C:\\data\\a.txt", "drive file");
  write_file(dir_.path() / "sub" / "b.txt", "nested file");
  const char *files[] = {"C:\\data\\a.txt", "sub/b.txt"};
  ASSERT_EQ(zip_create("c.zip", files, 2), 0);
  EXPECT_EQ(read_entry(path("c.zip"), "a.txt"), "drive file");
  EXPECT_EQ(read_entry(path("c.zip"), "b.txt"), "nested file");
  ZipPtr z(zip_open("c.zip", 0, 'r'));
  EXPECT_EQ(zip_total_entries(z.get()), 2);
}

TEST_F(ZipApi, CreateStopsAtFirstMissingFileButCompletesTheArchive) {
  write_file(path("a"), "A");
  write_file(path("c"), "C");
  const std::string a = path("a"), b = path("missing"), c = path("c");
  const char *files[] = {a.c_str(), b.c_str(), c.c_str()};
  EXPECT_EQ(zip_create(path("p.zip").c_str(), files, 3), -1);
  ZipPtr z(zip_open(path("p.zip").c_str(), 0, 'r'));
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(zip_total_entries(z.get()), 1);
  EXPECT_EQ(read_entry(path("p.zip"), "a"), "A");
  EXPECT_EQ(zip_create(nullptr, files, 1), -1);
}

TEST_F(ZipApi, CreateKeepsTheFileTimeAndExtractRestoresIt) {
  write_file(path("old.txt"), "old");
  struct tm tmv {};
  tmv.tm_year = 2015 - 1900;
  tmv.tm_mon = 3;
  tmv.tm_mday = 9;
  tmv.tm_hour = 8;
  tmv.tm_min = 30;
  tmv.tm_sec = 20;
  tmv.tm_isdst = -1;
  const time_t when = mktime(&tmv);
  const timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path("old.txt").c_str(), times, 0), 0);
  const std::string src = path("old.txt");
  const char *files[] = {src.c_str()};
  ASSERT_EQ(zip_create(path("t.zip").c_str(), files, 1), 0);
  ASSERT_EQ(zip_extract(path("t.zip").c_str(), path("out").c_str(), nullptr, nullptr), 0);
  struct stat st {};
  ASSERT_EQ(stat(path("out/old.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, when);
  EXPECT_EQ(st.st_atime, when);
}

struct Seen {
  std::vector<std::string> paths;
  int stop_after = -1;
};
int record(const char *filename, void *arg) {
  auto *seen = static_cast<Seen *>(arg);
  seen->paths.emplace_back(filename);
  return static_cast<int>(seen->paths.size()) == seen->stop_after ? -1 : 0;
}

TEST_F(ZipApi, ExtractCreatesFoldersAndReportsEachEntry) {
  write_archive(path("x.zip"), 6,
                {{"top.txt", "T"}, {"d1/", ""}, {"d1/d2/deep.txt", "D"}, {"e\\f.txt", "F"}});
  ScopedChdir cd(dir_.path());
  Seen seen;
  ASSERT_EQ(zip_extract("x.zip", "out", record, &seen), 0);
  EXPECT_EQ(seen.paths, (std::vector<std::string>{"out/top.txt", "out/d1/", "out/d1/d2/deep.txt",
                                                  "out/e/f.txt"}));
  EXPECT_EQ(tree_of("out"), (std::map<std::string, std::string>{
                                {"top.txt", "T"}, {"d1/d2/deep.txt", "D"}, {"e/f.txt", "F"}}));
  EXPECT_TRUE(fs::is_directory("out/d1"));
  // A folder given with its slash (or a backslash) is not doubled.
  Seen again;
  ASSERT_EQ(zip_extract("x.zip", "out2\\", record, &again), 0);
  EXPECT_EQ(again.paths.front(), "out2/top.txt");
  EXPECT_EQ(read_file("out2/e/f.txt"), "F");
  // An existing file is replaced.
  write_file("out3/top.txt", std::string(100, 'z'));
  ASSERT_EQ(zip_extract("x.zip", "out3/", nullptr, nullptr), 0);
  EXPECT_EQ(read_file("out3/top.txt"), "T");
  EXPECT_EQ(zip_extract("x.zip", "", nullptr, nullptr), -1);
}

TEST_F(ZipApi, ExtractIntoTheArchivesOwnFolder) {
  // The archive is unpacked next to itself and holds an entry of its own
  // name: replacing that file must not disturb the entries read after it.
  const std::string tail = random_bytes(100000, 8);
  write_archive(path("self.zip"), 6, {{"self.zip", "replaced"}, {"after.bin", tail}});
  ASSERT_EQ(zip_extract(path("self.zip").c_str(), dir_.path().string().c_str(), nullptr, nullptr),
            0);
  EXPECT_EQ(read_file(path("self.zip")), "replaced");
  EXPECT_EQ(read_file(path("after.bin")), tail);
}

TEST_F(ZipApi, NegativeCallbackStopsTheExtraction) {
  write_archive(path("s.zip"), 6, {{"a", "1"}, {"b", "2"}, {"c", "3"}});
  Seen seen;
  seen.stop_after = 1;
  EXPECT_EQ(zip_extract(path("s.zip").c_str(), path("out").c_str(), record, &seen), -1);
  EXPECT_EQ(seen.paths.size(), 1u);
  EXPECT_TRUE(fs::exists(path("out/a")));
  EXPECT_FALSE(fs::exists(path("out/b")));
}

TEST_F(ZipApi, ProgressCounterRunsOnAcrossCalls) {
  write_archive(path("p.zip"), 6, {{"a", "1"}, {"b", "2"}});
  kx_log_enable(0, KX_LOG_DBG, nullptr);
  int total = 2;
  ::testing::internal::CaptureStdout();
  const int r1 =
      zip_extract(path("p.zip").c_str(), path("o1").c_str(), on_extract_to_folder_entry, &total);
  const int r2 =
      zip_extract(path("p.zip").c_str(), path("o2").c_str(), on_extract_to_folder_entry, &total);
  std::fflush(stdout);
  const std::string out = ::testing::internal::GetCapturedStdout();
  kx_log_enable(0, KX_LOG_WRN, nullptr);
  ASSERT_EQ(r1, 0);
  ASSERT_EQ(r2, 0);
  const std::regex line(R"(\[on_extract_to_folder_entry\] Extracted: (\S+) \((\d+) of 2\))");
  std::vector<std::string> paths;
  std::vector<int> counts;
  for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) {
    paths.push_back((*it)[1]);
    counts.push_back(std::stoi((*it)[2]));
  }
  ASSERT_EQ(counts.size(), 4u) << out;
  EXPECT_GE(counts[0], 1);
  for (size_t i = 1; i < counts.size(); ++i) EXPECT_EQ(counts[i], counts[0] + static_cast<int>(i));
  EXPECT_EQ(paths[0], path("o1") + "/a");
  EXPECT_EQ(paths[3], path("o2") + "/b");
}

}  // namespace
