// Closing and resetting a link while other threads run transport calls on
// it: the link's record is released only after every running call has left,
// new calls are refused once the close has begun, and a reset of the USB
// interface never releases the record under a waiting call.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "ll_test_util.h"
#include "vcam/camera.h"
#include "vcam/usb_virtual.h"
#include "vcam/virtual_bus.h"

namespace torvi::test {
namespace {

using namespace std::chrono_literals;
using vcam::Camera;
using vcam::CameraConfig;
using vcam::VirtualBus;

// Runs `fn` on its own thread and waits for it with a deadline. A call that
// does not come back is a failure; the process then ends, because the thread
// cannot be joined and still touches the test's objects.
template <typename Fn>
void finishes_within(std::chrono::milliseconds limit, const char *what, Fn fn) {
  auto done = std::async(std::launch::async, fn);
  if (done.wait_for(limit) != std::future_status::ready) {
    ADD_FAILURE() << what << " did not return within " << limit.count() << " ms";
    LogSink::instance().end(true);
    std::fflush(stdout);
    std::_Exit(1);
  }
  done.get();
}

class LinkTeardown : public ::testing::Test {
 protected:
  void SetUp() override {
    LogSink::instance().begin(KX_LOG_WRN);
    usb::set_active_backend(&vcam::usb_backend_virtual());
    CameraConfig cfg;
    cfg.stream.paced = false;
    cfg.reset_absence = 50ms;
    cam = std::make_shared<Camera>(cfg);
    VirtualBus::instance().attach(cam);
  }
  void TearDown() override {
    if (ll.priv != nullptr) torvi_ll_dev_close(&ll);
    VirtualBus::instance().detach_all();
    usb::set_active_backend(nullptr);
    LogSink::instance().end(HasFailure());
  }
  bool open() {
    ll = torvi_ll_t{};
    return torvi_ll_dev_open(&ll) == &ll;
  }

  std::shared_ptr<Camera> cam;
  torvi_ll_t ll{};
};

// One thread reads parameters until a call fails; the main thread closes
// the link under it, at a different moment in every round.
TEST_F(LinkTeardown, CloseUnderACommandingThreadWaitsForItAndRefusesTheNextCall) {
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(open());
    std::atomic<int> ok_calls{0};
    std::atomic<bool> ended{false};
    std::thread worker([&] {
      torvi_ll_param_t recs[3] = {};
      recs[0].id = 2;
      recs[1].id = 3;
      recs[2].id = 12;
      while (torvi_ll_param_get(&ll, recs, 3)) ++ok_calls;
      ended = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (ok_calls.load() < 1 + round % 3 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    ASSERT_GE(ok_calls.load(), 1);
    finishes_within(15000ms, "close", [&] { torvi_ll_dev_close(&ll); });
    finishes_within(15000ms, "the commanding thread", [&] { worker.join(); });
    EXPECT_TRUE(ended.load());
    EXPECT_EQ(ll.priv, nullptr);
  }
  // The camera is still usable afterwards.
  ASSERT_TRUE(open());
  uint32_t v = 0;
  EXPECT_TRUE(torvi_ll_reg_read(&ll, 2, 0, &v, 1));
}

// A camera that keeps answering "busy" holds a call in its status polling;
// the close marks the link closing, the call's next query is refused, and
// the close goes on as soon as the call has left, long before the camera's
// busy limit.
TEST_F(LinkTeardown, ClosingLinkRefusesTheNextCommandOfARunningCall) {
  ASSERT_TRUE(open());
  vcam::DeviceFaults f;
  f.busy_queries = 1000000;
  cam->set_faults(f);
  std::atomic<bool> result{true};
  std::atomic<bool> started{false};
  std::thread worker([&] {
    uint32_t regs[64] = {};
    started = true;
    result = torvi_ll_reg_read(&ll, 2, 0, regs, 64);
  });
  while (!started.load()) std::this_thread::yield();
  // Let the call reach its status polling.
  const auto t_wait = std::chrono::steady_clock::now() + 5s;
  while (cam->stats().status_queries < 3 && std::chrono::steady_clock::now() < t_wait)
    std::this_thread::sleep_for(1ms);
  ASSERT_GE(cam->stats().status_queries, 3u);
  LogCapture log;
  const auto t0 = std::chrono::steady_clock::now();
  finishes_within(15000ms, "close", [&] { torvi_ll_dev_close(&ll); });
  const auto took = std::chrono::steady_clock::now() - t0;
  finishes_within(5000ms, "the polling thread", [&] { worker.join(); });
  EXPECT_FALSE(result.load());
  EXPECT_EQ(ll.priv, nullptr);
  EXPECT_LT(took, 5s);
  EXPECT_TRUE(log.has("[usb_ll_exe_cmd] the link is closing: call refused\n")) << log.text();
  // Nothing was left in flight on the virtual bus either.
  const uint64_t queries = cam->stats().status_queries;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(cam->stats().status_queries, queries);
}

// Resets of the USB interface while another thread reads registers: the
// reader's calls succeed or fail, never touch a released record, and the
// link works after every reset.
TEST_F(LinkTeardown, ResetOfTheInterfaceUnderAReadingThreadKeepsTheLinkUsable) {
  ASSERT_TRUE(open());
  std::atomic<bool> stop{false};
  std::atomic<int> ok_reads{0}, failed_reads{0};
  std::thread reader([&] {
    while (!stop.load()) {
      uint32_t v = 0;
      if (torvi_ll_reg_read(&ll, 2, 0, &v, 1)) {
        ++ok_reads;
      } else {
        ++failed_reads;
      }
    }
  });
  for (int i = 0; i < 4; ++i) {
    const int before = ok_reads.load();
    finishes_within(10000ms, "reset", [&] { EXPECT_FALSE(torvi_ll_dev_reset(&ll, 3)); });
    ASSERT_NE(ll.priv, nullptr);
    // The reader goes on working on the reopened link.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (ok_reads.load() <= before && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    EXPECT_GT(ok_reads.load(), before) << i;
  }
  stop = true;
  finishes_within(5000ms, "the reading thread", [&] { reader.join(); });
  EXPECT_EQ(cam->stats().resets, 4u);
  uint32_t v = 0;
  EXPECT_TRUE(torvi_ll_reg_read(&ll, 2, 0, &v, 1));
}

// A close that comes while a reset of the USB interface waits for the
// camera to come back ends the reset's reopen: no link is left behind.
TEST_F(LinkTeardown, CloseDuringAResetOfTheInterfaceLeavesNoLinkBehind) {
  VirtualBus::instance().detach_all();
  CameraConfig cfg;
  cfg.reset_absence = 10s;  // the camera does not come back while the test runs
  cam = std::make_shared<Camera>(cfg);
  VirtualBus::instance().attach(cam);
  ASSERT_TRUE(open());
  std::thread resetter([&] { EXPECT_FALSE(torvi_ll_dev_reset(&ll, 3)); });
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (cam->stats().resets == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_EQ(cam->stats().resets, 1u);
  const auto t0 = std::chrono::steady_clock::now();
  finishes_within(15000ms, "close", [&] { torvi_ll_dev_close(&ll); });
  finishes_within(15000ms, "reset", [&] { resetter.join(); });
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
  EXPECT_EQ(ll.priv, nullptr);
}

}  // namespace
}  // namespace torvi::test
