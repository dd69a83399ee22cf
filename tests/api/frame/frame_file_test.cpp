#include <fcntl.h>
#include <gtest/gtest.h>
#include <torvi/torvi_frame.h>
#include <torvi/torvi_log.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "api/frame_file_internal.h"
#include "tests/common/temp_dir.h"

using torvi::test::read_file;
using torvi::test::TempDir;

namespace {

// An open file descriptor, closed at the end of the scope.
class Fd {
 public:
  Fd(const std::string &path, int flags) : fd_(::open(path.c_str(), flags, 0644)) {}
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

void write_text(const std::string &path, const std::string &bytes) {
  FILE *f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

// A plain reader of the documented layout: the header line, then
// little-endian values of `bytes` each.
struct Parsed {
  std::string header;
  std::vector<uint32_t> values;
};

Parsed parse_file(const std::string &data, size_t bytes) {
  Parsed p;
  const size_t nl = data.find('\n');
  if (nl == std::string::npos) return p;
  p.header = data.substr(0, nl + 1);
  for (size_t i = nl + 1; i + bytes <= data.size(); i += bytes) {
    uint32_t v = 0;
    for (size_t b = 0; b < bytes; ++b)
      v |= static_cast<uint32_t>(static_cast<uint8_t>(data[i + b])) << (8 * b);
    p.values.push_back(v);
  }
  EXPECT_EQ((data.size() - nl - 1) % bytes, 0u) << "trailing partial value";
  return p;
}

class FrameFile : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_log_disable();
    kx_log_enable(0, KX_LOG_ERR, nullptr);
    torvi::frame_file::reset_load_state();
  }
  void TearDown() override {
    kx_log_disable();
    kx_log_enable(0, KX_LOG_WRN, nullptr);
  }

  std::string path(const char *name) const { return dir_.file(name); }

  // Runs fn and returns what it logged on the console.
  static std::string logged(const std::function<void()> &fn) {
    ::testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
  }

  TempDir dir_;
};

bool contains(const std::string &hay, const std::string &needle) {
  return hay.find(needle) != std::string::npos;
}

TEST_F(FrameFile, F32TwoSavesWriteOneHeaderAndTwoFramesThenLoadEndsWithZero) {
  const std::string p = path("d.kx");
  const std::vector<float> a = {0.5f, -1.25f, 3.0e-7f, 65.5f, 7.0f, 1.0e6f};
  const std::vector<float> b = {1, 2, 3, 4, 5, std::numeric_limits<float>::infinity()};
  {
    Fd fd(p, O_RDWR | O_CREAT | O_TRUNC);
    ASSERT_TRUE(torvi_frame_save_distance(fd.get(), 0, a.data(), 6, 3, 2));
    ASSERT_TRUE(torvi_frame_save_distance(fd.get(), 0, b.data(), 6, 3, 2));
  }
  const Parsed parsed = parse_file(read_file(p), 4);
  EXPECT_EQ(parsed.header, "KX_DIST,F32,3,2\n");
  ASSERT_EQ(parsed.values.size(), 12u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(parsed.values[i], std::bit_cast<uint32_t>(a[i]));
    EXPECT_EQ(parsed.values[6 + i], std::bit_cast<uint32_t>(b[i]));
  }
  Fd fd(p, O_RDONLY);
  std::vector<float> out(6);
  int w = 0, h = 0;
  ASSERT_EQ(torvi_frame_load_distance(fd.get(), out.data(), 6, &w, &h), 6);
  EXPECT_EQ(w, 3);
  EXPECT_EQ(h, 2);
  EXPECT_EQ(out, a);
  ASSERT_EQ(torvi_frame_load_distance(fd.get(), out.data(), 6, nullptr, nullptr), 6);
  EXPECT_EQ(out, b);
  const std::string log =
      logged([&] { EXPECT_EQ(torvi_frame_load_distance(fd.get(), out.data(), 6, &w, &h), 0); });
  EXPECT_TRUE(contains(log, "[ERR] [torvi_frame_load_distance] read 24 date failed: ret= 0\n"))
      << log;
}

TEST_F(FrameFile, U32AndU16StoreMillimetresTruncatedAndLoadMetres) {
  const std::vector<float> d = {1.2345f, 0.009f, 65.5f,         70.0f,
                                0.0f,    -0.5f,  std::nanf(""), 4294.9673f};
  for (int format : {1, 2}) {
    const std::string p = path(format == 1 ? "u32.kx" : "u16.kx");
    {
      Fd fd(p, O_RDWR | O_CREAT | O_TRUNC);
      ASSERT_TRUE(torvi_frame_save_distance(fd.get(), format, d.data(), 8, 4, 2));
    }
    const Parsed parsed = parse_file(read_file(p), format == 1 ? 4 : 2);
    EXPECT_EQ(parsed.header, format == 1 ? "KX_DIST,U32,4,2\n" : "KX_DIST,U16,4,2\n");
    // Millimetres: 1234, 9, 65500, 70000, 0, -500, NaN stored as 0, 4294967.
    const int64_t mm[] = {1234, 9, 65500, 70000, 0, -500, 0, 4294967};
    ASSERT_EQ(parsed.values.size(), 8u);
    const uint32_t mask = format == 1 ? 0xffffffffu : 0xffffu;
    for (size_t i = 0; i < 8; ++i)
      EXPECT_EQ(parsed.values[i], static_cast<uint32_t>(mm[i]) & mask) << i;
    Fd fd(p, O_RDONLY);
    std::vector<float> out(8);
    ASSERT_EQ(torvi_frame_load_distance(fd.get(), out.data(), 8, nullptr, nullptr), 8);
    for (size_t i = 0; i < 8; ++i)
      EXPECT_EQ(out[i], static_cast<float>(parsed.values[i]) / 1000.0f) << i;
    EXPECT_EQ(out[0], 1.234f);
    EXPECT_EQ(out[2], 65.5f);
  }
}

TEST_F(FrameFile, DistanceArrayOfTwoAndAHalfFramesSavesTwo) {
  const std::string p = path("partial.kx");
  std::vector<float> d(10);
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<float>(i);
  {
    Fd fd(p, O_RDWR | O_CREAT | O_TRUNC);
    ASSERT_TRUE(torvi_frame_save_distance(fd.get(), 0, d.data(), 10, 2, 2));
  }
  const Parsed parsed = parse_file(read_file(p), 4);
  ASSERT_EQ(parsed.values.size(), 8u);
  EXPECT_EQ(std::bit_cast<float>(parsed.values[7]), 7.0f);
}

TEST_F(FrameFile, GrayFormatsKeepOneFrameOfTruncatedLowBits) {
  const std::vector<float> g = {0.0f, 1.9f, 255.0f, 300.7f, 65535.0f, 70000.9f, 99.0f, 100.0f};
  for (int format : {2, 3}) {
    const std::string p = path(format == 2 ? "g16.kx" : "g8.kx");
    {
      Fd fd(p, O_RDWR | O_CREAT | O_TRUNC);
      // Eight values, a 3 x 2 frame: the last two are not saved.
      ASSERT_TRUE(torvi_frame_save_gray(fd.get(), format, g.data(), 8, 3, 2));
    }
    const Parsed parsed = parse_file(read_file(p), format == 2 ? 2 : 1);
    EXPECT_EQ(parsed.header, format == 2 ? "KX_GRAY,U16,3,2\n" : "KX_GRAY,U8,3,2\n");
    const uint32_t whole[] = {0, 1, 255, 300, 65535, 70000};
    const uint32_t mask = format == 2 ? 0xffffu : 0xffu;
    ASSERT_EQ(parsed.values.size(), 6u);
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(parsed.values[i], whole[i] & mask) << i;
    Fd fd(p, O_RDONLY);
    std::vector<float> out(6);
    int w = 0, h = 0;
    ASSERT_EQ(torvi_frame_load_gray(fd.get(), out.data(), 6, &w, &h), 6);
    EXPECT_EQ(w, 3);
    EXPECT_EQ(h, 2);
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(out[i], static_cast<float>(whole[i] & mask)) << i;
  }
}

TEST_F(FrameFile, WrongFormatsAreRefusedAndWriteNothing) {
  const std::string p = path("wrong.kx");
  Fd fd(p, O_RDWR | O_CREAT | O_TRUNC);
  const std::vector<float> v(4, 1.0f);
  std::string log =
      logged([&] { EXPECT_FALSE(torvi_frame_save_distance(fd.get(), 3, v.data(), 4, 2, 2)); });
  EXPECT_TRUE(contains(log, "[ERR] [torvi_frame_save_distance] wrong distance save format: 3\n"))
      << log;
  log = logged([&] {
    EXPECT_FALSE(torvi_frame_save_gray(fd.get(), 0, v.data(), 4, 2, 2));
    EXPECT_FALSE(torvi_frame_save_gray(fd.get(), 1, v.data(), 4, 2, 2));
    EXPECT_FALSE(torvi_frame_save_distance(fd.get(), -1, v.data(), 4, 2, 2));
  });
  EXPECT_TRUE(contains(log, "[torvi_frame_save_gray] wrong gray save format: 0\n")) << log;
  EXPECT_TRUE(contains(log, "[torvi_frame_save_gray] wrong gray save format: 1\n")) << log;
  EXPECT_TRUE(contains(log, "[torvi_frame_save_distance] wrong distance save format: -1\n")) << log;
  EXPECT_TRUE(read_file(p).empty());
  // Also away from the start of the file.
  ASSERT_TRUE(torvi_frame_save_distance(fd.get(), 2, v.data(), 4, 2, 2));
  log = logged([&] { EXPECT_FALSE(torvi_frame_save_distance(fd.get(), 3, v.data(), 4, 2, 2)); });
  EXPECT_TRUE(contains(log, "wrong distance save format: 3")) << log;
  EXPECT_EQ(read_file(p).size(), std::string("KX_DIST,U16,2,2\n").size() + 8);
}

TEST_F(FrameFile, UnknownHeaderReturnsZeroAndClearsTheRememberedSize) {
  const std::string good = path("good.kx"), bad = path("bad.kx"), empty = path("empty.kx");
  std::vector<float> d(8, 2.0f);
  {
    Fd fd(good, O_RDWR | O_CREAT | O_TRUNC);
    ASSERT_TRUE(torvi_frame_save_distance(fd.get(), 0, d.data(), 8, 2, 2));
  }
  write_text(bad, "KX_GRAY,U16,2,2\n01234567");
  write_text(empty, "");
  Fd g(good, O_RDONLY), b(bad, O_RDONLY), e(empty, O_RDONLY);
  std::vector<float> out(4);
  ASSERT_EQ(torvi_frame_load_distance(g.get(), out.data(), 4, nullptr, nullptr), 4);
  std::string log = logged(
      [&] { EXPECT_EQ(torvi_frame_load_distance(b.get(), out.data(), 4, nullptr, nullptr), 0); });
  EXPECT_TRUE(contains(log, "[ERR] [torvi_frame_load_distance] faile to load KX file header\n"))
      << log;
  // The first file's second frame can no longer be read: its size is gone.
  log = logged(
      [&] { EXPECT_EQ(torvi_frame_load_distance(g.get(), out.data(), 4, nullptr, nullptr), 0); });
  EXPECT_TRUE(contains(log, "[torvi_frame_load_distance] no KX_DIST file header has been read"))
      << log;
  log = logged(
      [&] { EXPECT_EQ(torvi_frame_load_distance(e.get(), out.data(), 4, nullptr, nullptr), 0); });
  EXPECT_TRUE(contains(log, "faile to load KX file header")) << log;
}

TEST_F(FrameFile, HeaderLineMustEndWithin255Bytes) {
  const std::string ok = path("ok.kx"), longer = path("long.kx");
  // 255 bytes including the newline: accepted, the text after the numbers ignored.
  std::string line = "KX_GRAY,U8,2,1";
  line += std::string(254 - line.size(), 'x') + "\n";
  ASSERT_EQ(line.size(), 255u);
  write_text(ok, line + "\x07\x09");
  write_text(longer, "KX_GRAY,U8,2,1" + std::string(241, ' ') + "\n\x07\x09");
  std::vector<float> out(2);
  {
    Fd fd(ok, O_RDONLY);
    ASSERT_EQ(torvi_frame_load_gray(fd.get(), out.data(), 2, nullptr, nullptr), 2);
    EXPECT_EQ(out[0], 7.0f);
    EXPECT_EQ(out[1], 9.0f);
  }
  Fd fd(longer, O_RDONLY);
  const std::string log = logged(
      [&] { EXPECT_EQ(torvi_frame_load_gray(fd.get(), out.data(), 2, nullptr, nullptr), 0); });
  EXPECT_TRUE(contains(log, "[torvi_frame_load_gray] faile to load KX file header")) << log;
}

TEST_F(FrameFile, AbsurdOrMalformedSizesAreRefusedWithoutAllocating) {
  struct Case {
    const char *header;
    const char *message;
  };
  const char *refused = "refused KX file header: frame size";
  const char *unknown = "faile to load KX file header\n";
  const Case cases[] = {
      {"KX_DIST,F32,65536,65536\n", refused},  // 2^32 pixels: would overflow 32 bits
      {"KX_DIST,U16,2147483647,2147483647\n", refused},
      {"KX_DIST,U32,-1,5\n", refused},
      {"KX_DIST,F32,0,0\n", refused},
      {"KX_DIST,F32,4097,4096\n", refused},  // one row above the limit
      {"KX_DIST,F32,99999999999,1\n", unknown},
      {"KX_DIST,F32,320\n", unknown},
      {"KX_DIST,F16,2,2\n", unknown},
      {"KX_DIST,F32,a,b\n", unknown},
  };
  std::vector<float> out(4);
  for (const Case &c : cases) {
    const std::string p = path("absurd.kx");
    write_text(p, std::string(c.header) + std::string(64, '\0'));
    Fd fd(p, O_RDONLY);
    const std::string log = logged([&] {
      int w = -7, h = -7;
      EXPECT_EQ(torvi_frame_load_distance(fd.get(), out.data(), 4, &w, &h), 0) << c.header;
      EXPECT_EQ(w, -7);  // outputs untouched on failure
      EXPECT_EQ(h, -7);
    });
    EXPECT_TRUE(contains(log, std::string("[ERR] [torvi_frame_load_distance] ") + c.message))
        << c.header << log;
  }
  // The largest accepted frame: the header is accepted and the missing data
  // is reported as a short read.
  const std::string p = path("max.kx");
  write_text(p, "KX_GRAY,U8,4096,4096\nabc");
  Fd fd(p, O_RDONLY);
  const std::string log = logged(
      [&] { EXPECT_EQ(torvi_frame_load_gray(fd.get(), out.data(), 4, nullptr, nullptr), 0); });
  EXPECT_TRUE(contains(log, "read 16777216 date failed: ret= 3\n")) << log;
}

TEST_F(FrameFile, TruncatedFrameIsRefused) {
  const std::string p = path("trunc.kx");
  std::vector<float> d(12, 1.5f);
  {
    Fd fd(p, O_RDWR | O_CREAT | O_TRUNC);
    ASSERT_TRUE(torvi_frame_save_distance(fd.get(), 0, d.data(), 12, 3, 2));
  }
  const std::string data = read_file(p);
  write_text(p, data.substr(0, data.size() - 10));  // 1 frame and 14 of 24 bytes
  Fd fd(p, O_RDONLY);
  std::vector<float> out(6);
  ASSERT_EQ(torvi_frame_load_distance(fd.get(), out.data(), 6, nullptr, nullptr), 6);
  const std::string log = logged(
      [&] { EXPECT_EQ(torvi_frame_load_distance(fd.get(), out.data(), 6, nullptr, nullptr), 0); });
  EXPECT_TRUE(contains(log, "[ERR] [torvi_frame_load_distance] read 24 date failed: ret= 14\n"))
      << log;
}

TEST_F(FrameFile, ShortDestinationStoresWhatFitsAndConsumesTheWholeFrame) {
  const std::string p = path("short.kx");
  std::vector<float> d = {1, 2, 3, 4, 5, 6, 7, 8};
  {
    Fd fd(p, O_RDWR | O_CREAT | O_TRUNC);
    ASSERT_TRUE(torvi_frame_save_gray(fd.get(), 2, d.data(), 4, 2, 2));
    ASSERT_TRUE(torvi_frame_save_gray(fd.get(), 2, d.data() + 4, 4, 2, 2));
  }
  Fd fd(p, O_RDONLY);
  std::vector<float> out(4, -1.0f);
  ASSERT_EQ(torvi_frame_load_gray(fd.get(), out.data(), 3, nullptr, nullptr), 3);
  EXPECT_EQ(out, (std::vector<float>{1, 2, 3, -1}));
  ASSERT_EQ(torvi_frame_load_gray(fd.get(), out.data(), 4, nullptr, nullptr), 4);
  EXPECT_EQ(out, (std::vector<float>{5, 6, 7, 8}));
}

TEST_F(FrameFile, DistanceAndGrayRememberTheirHeadersSeparately) {
  const std::string dp = path("dist.kx"), gp = path("gray.kx");
  std::vector<float> d = {1, 2, 3, 4, 5, 6}, g = {9, 8, 7, 6, 5, 4, 3, 2, 1};
  {
    Fd df(dp, O_RDWR | O_CREAT | O_TRUNC), gf(gp, O_RDWR | O_CREAT | O_TRUNC);
    ASSERT_TRUE(torvi_frame_save_distance(df.get(), 1, d.data(), 6, 1, 3));
    ASSERT_TRUE(torvi_frame_save_gray(gf.get(), 3, g.data(), 9, 3, 3));
  }
  Fd df(dp, O_RDONLY), gf(gp, O_RDONLY);
  std::vector<float> out(9);
  int w = 0, h = 0;
  ASSERT_EQ(torvi_frame_load_distance(df.get(), out.data(), 9, &w, &h), 3);
  EXPECT_EQ(w * 10 + h, 13);
  ASSERT_EQ(torvi_frame_load_gray(gf.get(), out.data(), 9, &w, &h), 9);
  EXPECT_EQ(w * 10 + h, 33);
  ASSERT_EQ(torvi_frame_load_distance(df.get(), out.data(), 9, &w, &h), 3);
  EXPECT_EQ(out[0], 4.0f);
  EXPECT_EQ(w * 10 + h, 13);
  // A distance loader does not accept a gray file.
  Fd again(gp, O_RDONLY);
  const std::string log =
      logged([&] { EXPECT_EQ(torvi_frame_load_distance(again.get(), out.data(), 9, &w, &h), 0); });
  EXPECT_TRUE(contains(log, "faile to load KX file header")) << log;
}

TEST_F(FrameFile, AppendingDescriptorAddsFramesWithoutASecondHeader) {
  const std::string p = path("append.kx");
  std::vector<float> a = {1, 2}, b = {3, 4};
  {
    Fd fd(p, O_WRONLY | O_CREAT | O_TRUNC);
    ASSERT_TRUE(torvi_frame_save_gray(fd.get(), 3, a.data(), 2, 2, 1));
  }
  {
    Fd fd(p, O_WRONLY | O_APPEND);
    ASSERT_TRUE(torvi_frame_save_gray(fd.get(), 3, b.data(), 2, 2, 1));
  }
  EXPECT_EQ(read_file(p), std::string("KX_GRAY,U8,2,1\n\x01\x02\x03\x04"));
  // A fresh file opened for appending still gets its header.
  const std::string q = path("append_new.kx");
  Fd fd(q, O_WRONLY | O_CREAT | O_APPEND);
  ASSERT_TRUE(torvi_frame_save_gray(fd.get(), 3, b.data(), 2, 2, 1));
  EXPECT_EQ(read_file(q), std::string("KX_GRAY,U8,2,1\n\x03\x04"));
}

TEST_F(FrameFile, BadArgumentsAreRefusedAndTouchNothing) {
  const std::string p = path("args.kx");
  Fd fd(p, O_RDWR | O_CREAT | O_TRUNC);
  std::vector<float> v(16, 1.0f);
  const std::string log = logged([&] {
    EXPECT_FALSE(torvi_frame_save_distance(-1, 0, v.data(), 16, 4, 4));
    EXPECT_FALSE(torvi_frame_save_distance(fd.get(), 0, nullptr, 16, 4, 4));
    EXPECT_FALSE(torvi_frame_save_distance(fd.get(), 0, v.data(), 0, 4, 4));
    EXPECT_FALSE(torvi_frame_save_distance(fd.get(), 0, v.data(), 16, 0, 4));
    EXPECT_FALSE(torvi_frame_save_distance(fd.get(), 0, v.data(), 16, 4, -4));
    EXPECT_FALSE(torvi_frame_save_distance(fd.get(), 0, v.data(), 16, 65536, 65536));
    EXPECT_FALSE(torvi_frame_save_distance(fd.get(), 0, v.data(), 15, 4, 4));  // less than a frame
    EXPECT_FALSE(torvi_frame_save_gray(fd.get(), 2, v.data(), 15, 4, 4));  // would corrupt the file
    EXPECT_FALSE(torvi_frame_save_gray(fd.get(), 2, nullptr, 16, 4, 4));
    float out[4];
    EXPECT_EQ(torvi_frame_load_distance(-1, out, 4, nullptr, nullptr), 0);
    EXPECT_EQ(torvi_frame_load_distance(fd.get(), nullptr, 4, nullptr, nullptr), 0);
    EXPECT_EQ(torvi_frame_load_gray(fd.get(), out, 0, nullptr, nullptr), 0);
  });
  EXPECT_TRUE(read_file(p).empty());
  EXPECT_TRUE(contains(log, "[ERR] [torvi_frame_save_distance] bad argument: ")) << log;
  EXPECT_TRUE(contains(
      log, "[ERR] [torvi_frame_save_gray] bad argument: 15 values are less than one 4 x 4 frame"))
      << log;
  EXPECT_TRUE(contains(log, "[ERR] [torvi_frame_load_gray] bad argument: ")) << log;
  int lines = 0;
  for (char c : log) lines += c == '\n';
  EXPECT_EQ(lines, 12);  // one ERR line per refused call
}

TEST_F(FrameFile, WriteFailuresAndUnseekableDescriptors) {
  std::vector<float> v(4, 1.0f);
  {
    Fd full("/dev/full", O_WRONLY);
    ASSERT_GE(full.get(), 0);
    const std::string log =
        logged([&] { EXPECT_FALSE(torvi_frame_save_distance(full.get(), 0, v.data(), 4, 2, 2)); });
    EXPECT_TRUE(contains(log, "[ERR] [torvi_frame_save_distance] faile to save KX_DIST header\n"))
        << log;
    const std::string glog =
        logged([&] { EXPECT_FALSE(torvi_frame_save_gray(full.get(), 3, v.data(), 4, 2, 2)); });
    EXPECT_TRUE(contains(glog, "[ERR] [torvi_frame_save_gray] faile to save KX_GRAY header\n"))
        << glog;
  }
  {
    // Past the header, on a descriptor that cannot be written.
    const std::string p = path("ro.kx");
    write_text(p, "KX_DIST,U32,2,2\n");
    Fd ro(p, O_RDONLY);
    ASSERT_GT(lseek(ro.get(), 0, SEEK_END), 0);
    std::string log =
        logged([&] { EXPECT_FALSE(torvi_frame_save_distance(ro.get(), 1, v.data(), 4, 2, 2)); });
    EXPECT_TRUE(contains(
        log, "[ERR] [torvi_frame_save_distance] faile to save KX_DIST U32 data: 16 bytes\n"))
        << log;
    log = logged([&] { EXPECT_FALSE(torvi_frame_save_distance(ro.get(), 0, v.data(), 4, 2, 2)); });
    EXPECT_TRUE(contains(log, "faile to save KX_DIST F32 data: 16 bytes\n")) << log;
    log = logged([&] { EXPECT_FALSE(torvi_frame_save_distance(ro.get(), 2, v.data(), 4, 2, 2)); });
    EXPECT_TRUE(contains(log, "faile to save KX_DIST U16 data: 8 bytes\n")) << log;
    log = logged([&] { EXPECT_FALSE(torvi_frame_save_gray(ro.get(), 2, v.data(), 4, 2, 2)); });
    EXPECT_TRUE(contains(log, "faile to save KX_GRAY U16 data: 8 bytes\n")) << log;
    log = logged([&] { EXPECT_FALSE(torvi_frame_save_gray(ro.get(), 3, v.data(), 4, 2, 2)); });
    EXPECT_TRUE(contains(log, "faile to save KX_GRAY U8 data: 4 bytes\n")) << log;
  }
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  Fd rd(fds[0]), wr(fds[1]);
  const std::string log = logged([&] {
    EXPECT_FALSE(torvi_frame_save_distance(wr.get(), 0, v.data(), 4, 2, 2));
    float out[4];
    EXPECT_EQ(torvi_frame_load_distance(rd.get(), out, 4, nullptr, nullptr), 0);
  });
  EXPECT_TRUE(contains(log, "[torvi_frame_save_distance] cannot tell the file position")) << log;
  EXPECT_TRUE(contains(log, "[torvi_frame_load_distance] cannot tell the file position")) << log;
}

TEST_F(FrameFile, LargeSaveIsWrittenInPiecesAndReadsBack) {
  // More values than one conversion chunk, several frames.
  const int w = 320, h = 240, frames = 3;
  std::vector<float> d(static_cast<size_t>(w * h * frames));
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<float>(i % 60000) / 1000.0f;
  const std::string p = path("big.kx");
  {
    Fd fd(p, O_RDWR | O_CREAT | O_TRUNC);
    ASSERT_TRUE(torvi_frame_save_distance(fd.get(), 2, d.data(), static_cast<int>(d.size()), w, h));
  }
  const Parsed parsed = parse_file(read_file(p), 2);
  ASSERT_EQ(parsed.values.size(), d.size());
  for (size_t i = 0; i < d.size(); ++i) {
    ASSERT_EQ(parsed.values[i],
              static_cast<uint32_t>(static_cast<int64_t>(d[i] * 1000.0f)) & 0xffffu)
        << i;
  }
  Fd fd(p, O_RDONLY);
  std::vector<float> out(static_cast<size_t>(w * h));
  for (int f = 0; f < frames; ++f) {
    ASSERT_EQ(torvi_frame_load_distance(fd.get(), out.data(), w * h, nullptr, nullptr), w * h);
    const size_t base = static_cast<size_t>(f * w * h);
    for (size_t i = 0; i < out.size(); i += 997) {
      ASSERT_EQ(out[i], static_cast<float>(parsed.values[base + i]) / 1000.0f);
    }
  }
  EXPECT_EQ(torvi_frame_load_distance(fd.get(), out.data(), w * h, nullptr, nullptr), 0);
}

TEST(FrameFileHeader, ParsesLikeTheDocumentedScanPatterns) {
  using torvi::frame_file::Kind;
  using torvi::frame_file::parse_header;
  auto d = parse_header(Kind::distance, "KX_DIST,U32,320,240");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->format, 1);
  EXPECT_EQ(d->width, 320);
  EXPECT_EQ(d->height, 240);
  auto g8 = parse_header(Kind::gray, "KX_GRAY,U8, 16,+9 trailing text");
  ASSERT_TRUE(g8);
  EXPECT_EQ(g8->format, 3);
  EXPECT_EQ(g8->width, 16);
  EXPECT_EQ(g8->height, 9);
  auto g16 = parse_header(Kind::gray, "KX_GRAY,U16,1,2");
  ASSERT_TRUE(g16);
  EXPECT_EQ(g16->format, 2);
  EXPECT_FALSE(parse_header(Kind::gray, "KX_DIST,U16,1,2"));
  EXPECT_FALSE(parse_header(Kind::distance, "KX_DIST,U8,1,2"));
  EXPECT_FALSE(parse_header(Kind::distance, "KX_DIST,F32,1"));
  EXPECT_FALSE(parse_header(Kind::distance, "KX_DIST,F32,1;2"));
  EXPECT_FALSE(parse_header(Kind::distance, "kx_dist,F32,1,2"));
  EXPECT_EQ(torvi::frame_file::header_line(Kind::gray, 3, 320, 240), "KX_GRAY,U8,320,240\n");
  EXPECT_EQ(torvi::frame_file::header_line(Kind::distance, 2, 1, 2), "KX_DIST,U16,1,2\n");
}

}  // namespace
