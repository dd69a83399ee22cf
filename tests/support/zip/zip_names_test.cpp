#include "support/zip_names.h"

#include <gtest/gtest.h>

#include <climits>

using namespace torvi::zip;

namespace {

using Parts = std::vector<std::string>;

TEST(ZipNames, BackslashesBecomeSlashes) {
  EXPECT_EQ(normalize_name("a\\b\\c.txt"), "a/b/c.txt");
  EXPECT_EQ(normalize_name("plain"), "plain");
}

TEST(ZipNames, DirectoryByTrailingSlashOrAttribute) {
  EXPECT_TRUE(is_directory("sub/", 0));
  EXPECT_TRUE(is_directory("sub\\", 0));
  EXPECT_TRUE(is_directory("sub", 0x10));
  EXPECT_FALSE(is_directory("sub", 0x20));
  EXPECT_FALSE(is_directory("", 0));
}

TEST(ZipNames, SymlinkByUnixFileType) {
  EXPECT_TRUE(is_symlink(0120777u << 16));
  EXPECT_FALSE(is_symlink(0100644u << 16));
  EXPECT_FALSE(is_symlink(040755u << 16 | 0x10));
  EXPECT_FALSE(is_symlink(0x20));
}

TEST(ZipNames, SafeComponentsSplitRelativeNames) {
  EXPECT_EQ(safe_components("a/b/c.txt"), (Parts{"a", "b", "c.txt"}));
  EXPECT_EQ(safe_components("a\\b.txt"), (Parts{"a", "b.txt"}));
  EXPECT_EQ(safe_components("./a//b/"), (Parts{"a", "b"}));
  EXPECT_EQ(safe_components("a..b/..c"), (Parts{"a..b", "..c"}));
}

TEST(ZipNames, SafeComponentsRefuseEscapes) {
  for (const char *bad : {"", "/etc/passwd", "\\abs", "../x", "a/../../x", "a/..", "..",
                          "a\\..\\..\\x", "C:\\win.ini", "c:rel", ".", "./", "//"}) {
    EXPECT_FALSE(safe_components(bad).has_value()) << bad;
  }
  EXPECT_FALSE(safe_components(std::string_view("a\0b", 3)).has_value());
}

TEST(ZipNames, ArchiveNameDropsDriveAndFolders) {
  EXPECT_EQ(archive_name_for_path("C:\\data\\a.txt"), "a.txt");
  EXPECT_EQ(archive_name_for_path("/tmp/x/b.bin"), "b.bin");
  EXPECT_EQ(archive_name_for_path("D:c.txt"), "c.txt");
  EXPECT_EQ(archive_name_for_path("mixed/dir\\d.txt"), "d.txt");
  EXPECT_EQ(archive_name_for_path("plain"), "plain");
  EXPECT_EQ(archive_name_for_path("dir/"), "");
}

TEST(ZipNames, LevelMapping) {
  EXPECT_EQ(zlib_level(-1), 6);
  EXPECT_EQ(zlib_level(INT_MIN), 6);
  EXPECT_EQ(zlib_level(0), 0);
  EXPECT_EQ(zlib_level(1), 1);
  EXPECT_EQ(zlib_level(9), 9);
  EXPECT_EQ(zlib_level(10), 9);
  EXPECT_FALSE(zlib_level(11).has_value());
  EXPECT_FALSE(zlib_level(15).has_value());
  // Only the low 4 bits are the level.
  EXPECT_EQ(zlib_level(0x100 | 3), 3);
}

TEST(ZipNames, DosStampLayout) {
  const torvi::LocalTime t{2024, 2, 29, 23, 59, 59, 999};
  const uint32_t dos = dos_date_time(t);
  EXPECT_EQ(dos & 0xFFFF, (23u << 11) | (59u << 5) | 29u);
  EXPECT_EQ(dos >> 16, ((2024u - 1980u) << 9) | (2u << 5) | 29u);
}

TEST(ZipNames, DosStampRoundTripsThroughLocalTime) {
  struct tm tmv {};
  tmv.tm_year = 2019 - 1900;
  tmv.tm_mon = 6;
  tmv.tm_mday = 14;
  tmv.tm_hour = 13;
  tmv.tm_min = 7;
  tmv.tm_sec = 42;
  tmv.tm_isdst = -1;
  const time_t t = mktime(&tmv);
  EXPECT_EQ(dos_to_time_t(dos_date_time_of(t)), t);
  // Odd seconds are rounded down to the 2-second grid.
  EXPECT_EQ(dos_to_time_t(dos_date_time_of(t + 1)), t);
}

TEST(ZipNames, InvalidDosStampsAreRejected) {
  EXPECT_FALSE(dos_to_time_t(0).has_value());                                      // month 0, day 0
  EXPECT_FALSE(dos_to_time_t((13u << 21) | (1u << 16)).has_value());               // month 13
  EXPECT_FALSE(dos_to_time_t((1u << 21) | (1u << 16) | (24u << 11)).has_value());  // hour 24
}

TEST(ZipNames, DeclaredSizesMustFitTheArchive) {
  // Stored: the data is the content.
  EXPECT_TRUE(sizes_plausible(0, 100, 100, 1000));
  EXPECT_FALSE(sizes_plausible(0, 100, 101, 1000));
  // Compressed data cannot be longer than the archive.
  EXPECT_FALSE(sizes_plausible(8, 1001, 10, 1000));
  // Deflate expands at most 1032 times.
  EXPECT_TRUE(sizes_plausible(8, 10, 10 * 1032, 1000));
  EXPECT_FALSE(sizes_plausible(8, 10, 11 * 1032, 1000));
  EXPECT_FALSE(sizes_plausible(8, 10, UINT64_MAX, 1000));
  EXPECT_FALSE(sizes_plausible(12, 10, 10, 1000));
}

}  // namespace
