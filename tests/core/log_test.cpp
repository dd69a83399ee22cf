#include <gtest/gtest.h>
#include <sys/stat.h>
#include <torvi/torvi_log.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/log_internal.h"
#include "tests/common/temp_dir.h"

using torvi::test::read_file;
using torvi::test::ScopedChdir;
using torvi::test::TempDir;

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_log_disable();
    // The initial thresholds: console WRN and up, file DBG and up.
    kx_log_enable(0, 3, nullptr);
    kx_log_enable(2, 5, nullptr);
  }
  void TearDown() override {
    kx_log_disable();
    kx_log_enable(0, 3, nullptr);
    kx_log_enable(2, 5, nullptr);
  }

  // Runs fn with standard output captured; returns what it printed.
  template <typename Fn>
  std::string console_of(Fn fn) {
    ::testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
  }

  TempDir dir_;
};

TEST_F(LogTest, LineHasDateTimeThreadAndTagPrefix) {
  const std::string out = console_of([] { kx_log(3, "WRN", "[%s] hello %d\n", "fn", 7); });
  const std::regex line(
      R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\[(\d+)\]\[WRN\] \[fn\] hello 7\n)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(out, m, line)) << out;
  EXPECT_EQ(std::stoul(m[1]), torvi::os_thread_id());
}

TEST_F(LogTest, InitialThresholdsRouteLevelsToSinks) {
  ASSERT_EQ(kx_log_enable(1, 1, dir_.file("a.log").c_str()), 1);
  const std::string console = console_of([] {
    kx_log(2, "INF", "[t] info\n");
    kx_log(3, "WRN", "[t] warn\n");
    kx_log(0, "TRC", "[t] trace\n");
  });
  EXPECT_EQ(console.find("info"), std::string::npos);
  EXPECT_NE(console.find("[WRN] [t] warn"), std::string::npos);
  const std::string file = read_file(dir_.file("a.log"));
  EXPECT_NE(file.find("[INF] [t] info"), std::string::npos);
  EXPECT_NE(file.find("[WRN] [t] warn"), std::string::npos);
  EXPECT_EQ(file.find("trace"), std::string::npos);
}

TEST_F(LogTest, RawLinesHaveNoPrefix) {
  ASSERT_EQ(kx_log_enable(1, 1, dir_.file("raw.log").c_str()), 1);
  const std::string console = console_of([] { kx_log_raw(4, "plain %s\n", "text"); });
  EXPECT_EQ(console, "plain text\n");
  EXPECT_EQ(read_file(dir_.file("raw.log")), "plain text\n");
}

TEST_F(LogTest, SinkAboveTwoIsRefusedAndChangesNothing) {
  EXPECT_EQ(kx_log_enable(3, 1, nullptr), 0);
  EXPECT_EQ(torvi::log_threshold(0), 3u);
  EXPECT_EQ(torvi::log_threshold(1), 5u);  // disabled in SetUp
  EXPECT_FALSE(torvi::log_file_open());
  EXPECT_EQ(kx_log_enable(2, 0, nullptr), 1);
  EXPECT_EQ(torvi::log_threshold(2), 0u);
}

TEST_F(LogTest, NullPathKeepsOpenFileAndLowersThreshold) {
  const std::string dated = dir_.file("torvi_20260101.log");
  ASSERT_EQ(kx_log_enable(1, 1, dated.c_str()), 1);
  ASSERT_EQ(kx_log_enable(1, 0, nullptr), 1);
  EXPECT_EQ(torvi::log_file_path(), dated);
  kx_log(0, "TRC", "[t] now traced\n");
  EXPECT_NE(read_file(dated).find("[TRC] [t] now traced"), std::string::npos);
}

TEST_F(LogTest, NullPathOpensKxLogInAppendMode) {
  ScopedChdir cd(dir_.path());
  {
    FILE *f = std::fopen("kx.log", "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("old contents\n", f);
    std::fclose(f);
  }
  ASSERT_EQ(kx_log_enable(1, 1, nullptr), 1);
  kx_log(2, "INF", "[t] appended\n");
  kx_log_disable();
  const std::string file = read_file("kx.log");
  EXPECT_EQ(file.rfind("old contents\n", 0), 0u);
  EXPECT_NE(file.find("appended"), std::string::npos);
}

TEST_F(LogTest, SamePathReopensAfterDisable) {
  const std::string p = dir_.file("same.log");
  ASSERT_EQ(kx_log_enable(1, 1, p.c_str()), 1);
  EXPECT_EQ(kx_log_disable(), 0);  // fclose result
  kx_log(4, "ERR", "[t] silenced\n");
  ASSERT_EQ(kx_log_enable(1, 1, p.c_str()), 1);
  kx_log(4, "ERR", "[t] back\n");
  const std::string file = read_file(p);
  EXPECT_EQ(file.find("silenced"), std::string::npos);
  EXPECT_NE(file.find("back"), std::string::npos);
}

TEST_F(LogTest, DisableSilencesEveryLevel) {
  ASSERT_EQ(kx_log_enable(1, 0, dir_.file("d.log").c_str()), 1);
  kx_log_disable();
  EXPECT_EQ(kx_log_disable(), 0);  // nothing open any more
  const std::string console = console_of([] {
    for (unsigned lvl = 0; lvl <= 4; ++lvl) kx_log(lvl, "X", "[t] level %u\n", lvl);
  });
  EXPECT_TRUE(console.empty());
  EXPECT_TRUE(read_file(dir_.file("d.log")).empty());
}

TEST_F(LogTest, UnwritablePathReportsOnStderrAndConsoleStillWorks) {
  ::testing::internal::CaptureStderr();
  const std::string bad = dir_.file("no/such/folder/x.log");
  EXPECT_EQ(kx_log_enable(1, 1, bad.c_str()), 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "cannot open file " + bad + " for write\n");
  EXPECT_FALSE(torvi::log_file_open());
  EXPECT_EQ(torvi::log_threshold(1), 1u);
  const std::string console = console_of([] { kx_log(4, "ERR", "[t] still here\n"); });
  EXPECT_NE(console.find("still here"), std::string::npos);
}

TEST_F(LogTest, SwitchingPathClosesTheOldFile) {
  const std::string a = dir_.file("a.log"), b = dir_.file("b.log");
  ASSERT_EQ(kx_log_enable(1, 1, a.c_str()), 1);
  ASSERT_EQ(kx_log_enable(1, 1, b.c_str()), 1);
  kx_log(2, "INF", "[t] to b\n");
  EXPECT_EQ(read_file(a).find("to b"), std::string::npos);
  EXPECT_NE(read_file(b).find("to b"), std::string::npos);
}

TEST_F(LogTest, LogCfgSetsBothThresholdsAndMapsUsbLevel) {
  ScopedChdir cd(dir_.path());
  EXPECT_EQ(torvi_log_cfg(4, 2, 7), 0);  // above 5 maps to libusb's "none"
  EXPECT_EQ(torvi::log_threshold(0), 4u);
  EXPECT_EQ(torvi::log_threshold(1), 2u);
  EXPECT_EQ(torvi::log_file_path(), "kx.log");
  EXPECT_EQ(torvi_log_cfg(3, 1, 1), 4);
  EXPECT_EQ(torvi_log_cfg(3, 1, 3), 2);
  kx_log_disable();
}

// What the callback sink received, one entry per call.
struct Received {
  std::vector<std::pair<unsigned, std::string>> lines;
  static void record(void *user, unsigned level, const char *line) {
    static_cast<Received *>(user)->lines.emplace_back(level, line);
  }
};

TEST_F(LogTest, CallbackGetsLinesAtItsThresholdWithoutPrefix) {
  Received got;
  kx_log_set_callback(&Received::record, &got);
  kx_log_enable(0, 5, nullptr);
  kx_log_enable(2, 3, nullptr);
  kx_log(2, "INF", "[f] quiet %d\n", 1);
  kx_log(4, "ERR", "[f] failed %d\n", 2);
  kx_log_raw(3, "raw %s\n", "text");
  kx_log_set_callback(nullptr, nullptr);
  kx_log(4, "ERR", "[f] after removal\n");
  ASSERT_EQ(got.lines.size(), 2u);
  EXPECT_EQ(got.lines[0], std::make_pair(4u, std::string("[f] failed 2\n")));
  EXPECT_EQ(got.lines[1], std::make_pair(3u, std::string("raw text\n")));
}

TEST_F(LogTest, CallbackIsSilencedByDisableAndCutsLongLines) {
  Received got;
  kx_log_set_callback(&Received::record, &got);
  kx_log_enable(0, 5, nullptr);
  kx_log_enable(2, 0, nullptr);
  const std::string long_text(3000, 'x');
  kx_log(0, "TRC", "%s", long_text.c_str());
  kx_log_disable();
  kx_log(4, "ERR", "[f] silenced\n");
  kx_log_set_callback(nullptr, nullptr);
  ASSERT_EQ(got.lines.size(), 1u);
  EXPECT_EQ(got.lines[0].second, std::string(1023, 'x'));
}

TEST_F(LogTest, CallbackSeesEveryLineFromManyThreads) {
  std::atomic<int> count{0};
  auto counter = [](void *user, unsigned, const char *) {
    ++*static_cast<std::atomic<int> *>(user);
  };
  kx_log_set_callback(counter, &count);
  kx_log_enable(0, 5, nullptr);
  kx_log_enable(2, 4, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 500; ++i) kx_log(4, "ERR", "[t] line %d\n", i);
    });
  for (auto &th : threads) th.join();
  kx_log_set_callback(nullptr, nullptr);
  EXPECT_EQ(count.load(), 2000);
}

TEST(WallClock, MicrosecondsAreWholeMilliseconds) {
  for (int i = 0; i < 200; ++i) {
    timeval tv{};
    ASSERT_EQ(torvi::wall_clock(&tv), 0);
    EXPECT_EQ(tv.tv_usec % 1000, 0);
    EXPECT_LT(tv.tv_usec, 1000000);
  }
}

TEST(WallClock, AgreesWithSystemClockAndNeverGoesBack) {
  timeval sys{};
  ::gettimeofday(&sys, nullptr);
  const int64_t ours = torvi::wall_clock_ms();
  const int64_t theirs = static_cast<int64_t>(sys.tv_sec) * 1000 + sys.tv_usec / 1000;
  EXPECT_LE(std::llabs(ours - theirs), 50);
  int64_t last = ours;
  for (int i = 0; i < 1000; ++i) {
    const int64_t now = torvi::wall_clock_ms();
    ASSERT_GE(now, last);
    last = now;
  }
}

}  // namespace

namespace {

// The event thread logs while the application reconfigures and closes the
// log file: no write may reach a closed stream (ASan/TSan watch this).
TEST(LogConcurrency, LoggingWhileTheFileIsReopenedAndClosed) {
  TempDir dir;
  const std::string a = dir.file("a.log"), b = dir.file("b.log");
  kx_log_enable(0, 5, nullptr);  // keep the console quiet
  ASSERT_EQ(kx_log_enable(1, 0, a.c_str()), 1);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) kx_log(2, "INF", "[writer] line %d\n", i);
  });
  for (int round = 0; round < 200; ++round) {
    kx_log_enable(1, 0, (round % 2) != 0 ? a.c_str() : b.c_str());
    if (round % 7 == 0) kx_log_disable();
    kx_log_enable(0, 5, nullptr);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  stop = true;
  writer.join();
  kx_log_disable();
  kx_log_enable(0, 3, nullptr);
  kx_log_enable(2, 5, nullptr);
  // Every line that reached a file is whole: prefix, tag and message.
  std::size_t lines = 0;
  for (const std::string &p : {a, b}) {
    const std::string text = read_file(p);
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      ASSERT_NE(end, std::string::npos);
      const std::string line = text.substr(start, end - start);
      EXPECT_NE(line.find("[INF] [writer] line "), std::string::npos) << line;
      start = end + 1;
      ++lines;
    }
  }
  EXPECT_GT(lines, 0u);
}

}  // namespace
