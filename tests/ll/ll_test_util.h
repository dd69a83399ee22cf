// Helpers shared by the transport tests: an open link on the fake USB, a
// recorder of streaming callbacks, and console capture of log lines.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "fake_usb.h"
#include "ll/usb/usb_ll.h"
#include "torvi_ll.h"
#include "torvi_log.h"

namespace torvi::test {

// Captures what the logger prints to the console at every level.
class LogCapture {
 public:
  LogCapture() {
    kx_log_enable(0, KX_LOG_TRC, nullptr);
    ::testing::internal::CaptureStdout();
  }
  ~LogCapture() {
    if (!taken_) text();
  }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;
  const std::string &text() {
    if (!taken_) {
      std::fflush(stdout);
      text_ = ::testing::internal::GetCapturedStdout();
      kx_log_enable(0, KX_LOG_OFF, nullptr);
      taken_ = true;
    }
    return text_;
  }
  bool has(const std::string &needle) { return text().find(needle) != std::string::npos; }
  size_t count(const std::string &needle) {
    size_t n = 0;
    for (size_t pos = text().find(needle); pos != std::string::npos; pos = text_.find(needle, pos + 1)) ++n;
    return n;
  }

 private:
  bool taken_ = false;
  std::string text_;
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
    return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return got_.size() >= n; });
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
    kx_log_enable(0, KX_LOG_OFF, nullptr);
    usb.devices.push_back(FakeDevice{});
  }
  void TearDown() override {
    if (ll.priv != nullptr) torvi_ll_dev_close(&ll);
  }
  bool open() { return torvi_ll_dev_open(&ll) == &ll; }
  usb_ll_dev_priv_t *priv() { return static_cast<usb_ll_dev_priv_t *>(ll.priv); }

  FakeUsb usb;
  torvi_ll_t ll{};
};

}  // namespace torvi::test
