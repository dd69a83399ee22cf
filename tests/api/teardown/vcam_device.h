// A virtual camera behind the public C API for teardown, concurrency and
// soak tests: one camera on the virtual bus, a device record opened on it,
// the log in a file (the console stays quiet), and a guard for calls that
// must come back.
#pragma once

#include <gtest/gtest.h>
#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_log.h>
#include <torvi/torvi_vcam.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>

#include "tests/common/temp_dir.h"

namespace torvi::test {

// Runs `fn` on its own thread and waits for it with a deadline. A call that
// does not come back is a failure; the process then ends, because the thread
// cannot be joined and still touches the test's objects.
template <typename Fn>
void finishes_within(std::chrono::milliseconds limit, const char *what, Fn fn) {
  auto done = std::async(std::launch::async, fn);
  if (done.wait_for(limit) != std::future_status::ready) {
    ADD_FAILURE() << what << " did not return within " << limit.count() << " ms";
    std::fflush(stdout);
    std::_Exit(1);
  }
  done.get();
}

// Waits for `cond` with a deadline; true when it became true.
template <typename Cond>
bool eventually(Cond cond, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class VcamDevice : public ::testing::Test {
 protected:
  static constexpr uint32_t kFrameBytes = 614400;

  void SetUp() override {
    kx_log_enable(0, KX_LOG_OFF, nullptr);
    log_path_ = tmp_.file("torvi.log");
    kx_log_enable(1, KX_LOG_WRN, log_path_.c_str());
    cam = torvi_vcam_create("VCAM-T0-1.0", 7);
    ASSERT_NE(cam, nullptr);
    torvi_vcam_set_frame_rate(cam, 60);
    torvi_vcam_plug(cam);
    torvi_vcam_enable(1);
  }
  void TearDown() override {
    if (dev.priv != nullptr) torvi_dev_close(&dev);
    torvi_vcam_enable(0);
    torvi_vcam_destroy(cam);
    kx_log_disable();
    kx_log_enable(0, KX_LOG_WRN, nullptr);
  }
  bool open() {
    torvi_dev_t list[1];
    if (torvi_dev_list(list, 1) != 1) return false;
    dev = list[0];
    return torvi_dev_open(&dev) == &dev;
  }
  // Everything logged so far.
  std::string log_text() const {
    std::ifstream in(log_path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  bool logged(const std::string &needle) const {
    return log_text().find(needle) != std::string::npos;
  }

  torvi_vcam_t *cam = nullptr;
  torvi_dev_t dev{};

 private:
  TempDir tmp_;
  std::string log_path_;
};

}  // namespace torvi::test
