// Helpers shared by the transport tests: an open link on the fake USB, a
// recorder of streaming callbacks, and console capture of log lines.
#pragma once

#include <gtest/gtest.h>
#include <torvi/torvi_ll.h>
#include <torvi/torvi_log.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "fake_usb.h"
#include "ll/usb/usb_ll.h"

namespace torvi::test {

// Sends the console log to a file for the length of one test. The logger's
// thresholds are process globals without locks, so they are set only while
// no transport thread runs (before the first open, after the last close);
// what the test then wants to see is read back from the file.
class LogSink {
 public:
  static LogSink &instance() {
    static LogSink sink;
    return sink;
  }
  void begin(unsigned level = KX_LOG_TRC) {
    std::fflush(stdout);
    path_ = "/tmp/torvi-ll-log-XXXXXX";
    const int fd = mkstemp(path_.data());
    saved_ = dup(1);
    dup2(fd, 1);
    close(fd);
    kx_log_enable(0, static_cast<int>(level), nullptr);
  }
  // Restores the console; on failure shows what was logged.
  void end(bool show) {
    kx_log_enable(0, KX_LOG_OFF, nullptr);
    std::fflush(stdout);
    const std::string all = read_from(0);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    unlink(path_.c_str());
    if (show) std::fwrite(all.data(), 1, all.size(), stdout);
  }
  bool active() const { return saved_ >= 0; }
  size_t size() {
    std::fflush(stdout);
    return read_from(0).size();
  }
  std::string read_from(size_t off) {
    std::fflush(stdout);
    std::ifstream in(path_, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return off < all.size() ? all.substr(off) : std::string();
  }

 private:
  std::string path_;
  int saved_ = -1;
};

// What was logged from its construction on (needs an active LogSink).
class LogCapture {
 public:
  LogCapture() : start_(LogSink::instance().size()) { EXPECT_TRUE(LogSink::instance().active()); }
  std::string text() { return LogSink::instance().read_from(start_); }
  bool has(const std::string &needle) { return text().find(needle) != std::string::npos; }
  size_t count(const std::string &needle) {
    const std::string t = text();
    size_t n = 0;
    for (size_t pos = t.find(needle); pos != std::string::npos; pos = t.find(needle, pos + 1)) ++n;
    return n;
  }

 private:
  size_t start_;
};

struct Completion {
  int32_t code;
  int len;
  uint8_t first;
};

// Records every streaming callback; optionally aborts on a given code.
class CbRecorder {
 public:
  static int cb(torvi_ll_t *ll, int32_t code, uint8_t *data, int len, void *arg) {
    auto *self = static_cast<CbRecorder *>(arg);
    std::lock_guard lk(self->mu_);
    self->got_.push_back({code, len, len > 0 ? data[0] : uint8_t{0}});
    if (code == self->abort_on_) torvi_ll_cap_abort(ll);
    self->cv_.notify_all();
    return 0;
  }
  bool wait_count(size_t n, int timeout_ms = 2000) {
    std::unique_lock lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                        [&] { return got_.size() >= n; });
  }
  std::vector<Completion> got() {
    std::lock_guard lk(mu_);
    return got_;
  }
  size_t count_of(int32_t code) {
    std::lock_guard lk(mu_);
    size_t n = 0;
    for (const auto &c : got_) n += c.code == code;
    return n;
  }
  void abort_on(int32_t code) {
    std::lock_guard lk(mu_);
    abort_on_ = code;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Completion> got_;
  int32_t abort_on_ = 1;  // no code is 1
};

// A fake bus with one camera, and a link record for it.
class FakeLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogSink::instance().begin(log_level);
    usb.devices.push_back(FakeDevice{});
  }
  void TearDown() override {
    if (ll.priv != nullptr) torvi_ll_dev_close(&ll);
    LogSink::instance().end(HasFailure());
  }
  bool open() { return torvi_ll_dev_open(&ll) == &ll; }
  usb_ll_dev_priv_t *priv() { return static_cast<usb_ll_dev_priv_t *>(ll.priv); }

  unsigned log_level = KX_LOG_TRC;
  FakeUsb usb;
  torvi_ll_t ll{};
};

}  // namespace torvi::test
