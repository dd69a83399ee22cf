// Closing and resetting a device while other threads run calls on it,
// through the public C API against a virtual camera: no call touches freed
// memory, close comes back within its bound whatever the other threads do,
// a close on a callback's own thread is refused, and every kind of call
// survives a close or a reset of the USB interface beside it.
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/api/teardown/vcam_device.h"

namespace torvi::test {
namespace {

using namespace std::chrono_literals;

using Teardown = VcamDevice;

torvi_param_t param_item(uint32_t number) {
  torvi_param_t p{};
  p.number = number;
  return p;
}

// One thread reads parameters until a call fails while the main thread
// closes the device, at a different moment in every round.
TEST_F(Teardown, CloseUnderAThreadReadingParameters) {
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(open());
    std::atomic<int> ok{0};
    std::thread worker([&] {
      torvi_param_t items[3] = {param_item(2), param_item(3), param_item(12)};
      while (torvi_param_batch_get(&dev, items, 3)) ++ok;
    });
    ASSERT_TRUE(eventually([&] { return ok.load() > round % 4; }));
    finishes_within(15000ms, "close", [&] { torvi_dev_close(&dev); });
    finishes_within(15000ms, "the reading thread", [&] { worker.join(); });
    EXPECT_EQ(dev.priv, nullptr);
  }
}

// Resets of the USB interface while another thread reads parameters: the
// device keeps working after each.
TEST_F(Teardown, ResetOfTheInterfaceUnderAThreadReadingParameters) {
  ASSERT_TRUE(open());
  std::atomic<bool> stop{false};
  std::atomic<int> ok{0};
  std::thread worker([&] {
    torvi_param_t items[2] = {param_item(2), param_item(12)};
    while (!stop.load()) ok += torvi_param_batch_get(&dev, items, 2) ? 1 : 0;
  });
  for (int i = 0; i < 3; ++i) {
    const int before = ok.load();
    finishes_within(15000ms, "reset", [&] { EXPECT_FALSE(torvi_dev_reset(&dev, 3)); });
    EXPECT_TRUE(eventually([&] { return ok.load() > before; })) << i;
  }
  stop = true;
  finishes_within(15000ms, "the reading thread", [&] { worker.join(); });
  torvi_param_t item = param_item(12);
  EXPECT_TRUE(torvi_param_batch_get(&dev, &item, 1));
}

bool keep_going(torvi_dev_t *, int, int) { return true; }
void ignore_frame(torvi_dev_t *, torvi_cap_frame *) {}

// Calls that only look at the device or store a callback race a close on
// another thread: they answer from the open device or refuse the closed one.
TEST_F(Teardown, CallsThatOnlyLookAtTheDeviceRaceACloseSafely) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(open());
    std::atomic<bool> closed{false};
    std::atomic<int> loops{0};
    std::thread worker([&] {
      while (!closed.load()) {
        torvi_cap_is_ongoing(&dev);
        torvi_cap_set_callback_on_frame_ready(&dev, ignore_frame);
        torvi_cap_set_callback_on_error(&dev, keep_going);
        torvi_dev_get_drv(&dev);
        ++loops;
      }
    });
    ASSERT_TRUE(eventually([&] { return loops.load() > round % 5; }));
    finishes_within(15000ms, "close", [&] { torvi_dev_close(&dev); });
    closed = true;
    worker.join();
    EXPECT_FALSE(torvi_cap_is_ongoing(&dev));
    EXPECT_EQ(torvi_dev_get_drv(&dev), nullptr);
  }
  torvi_cap_set_callback_on_error(&dev, keep_going);
  EXPECT_TRUE(logged("[torvi_cap_set_callback_on_error]"));
}

// A thread that polls for frames and threads that poll the frame buffer keep
// calling while the device closes; their calls after the close began are
// refused and do not hold the close up. (One getter at a time per device.)
TEST_F(Teardown, CloseIsNotHeldUpByThreadsPollingForFrames) {
  ASSERT_TRUE(open());
  ASSERT_TRUE(torvi_cap_start(&dev));
  std::atomic<bool> closed{false};
  std::atomic<int> frames{0};
  std::vector<std::thread> pollers;
  pollers.emplace_back([&] {
    std::vector<uint8_t> buf(kFrameBytes);
    while (!closed.load()) {
      if (torvi_cap_get_frame(&dev, buf.data(), kFrameBytes, nullptr) == 1) ++frames;
    }
  });
  for (int i = 0; i < 3; ++i) {
    pollers.emplace_back([&] {
      while (!closed.load()) {
        int size = 0;
        torvi_cap_get_frame_buffer(&dev, nullptr, &size);
      }
    });
  }
  ASSERT_TRUE(eventually([&] { return frames.load() >= 1; }));
  const auto t0 = std::chrono::steady_clock::now();
  finishes_within(15000ms, "close", [&] { torvi_dev_close(&dev); });
  const auto took = std::chrono::steady_clock::now() - t0;
  closed = true;
  for (std::thread &t : pollers) t.join();
  EXPECT_EQ(dev.priv, nullptr);
  EXPECT_LT(took, 5s);  // the bound is 3 s; calls refused after the close began never count
}

struct CallbackClose {
  static inline std::atomic<int> closes{0};
  static void on_frame(torvi_dev_t *dev, torvi_cap_frame *) {
    if (closes.load() == 0) {
      ++closes;
      torvi_dev_close(dev);
    }
  }
  static bool on_error(torvi_dev_t *dev, int, int) {
    if (closes.load() == 0) {
      ++closes;
      torvi_dev_close(dev);
    }
    return true;
  }
};

// A close from inside the frame-ready callback would wait for the getter
// that runs the callback: it is refused with an ERR line instead.
TEST_F(Teardown, CloseFromInsideTheFrameReadyCallbackIsRefused) {
  CallbackClose::closes = 0;
  ASSERT_TRUE(open());
  torvi_cap_set_callback_on_frame_ready(&dev, CallbackClose::on_frame);
  ASSERT_TRUE(torvi_cap_start(&dev));
  std::vector<uint8_t> buf(kFrameBytes);
  finishes_within(15000ms, "a getter whose callback closes", [&] {
    EXPECT_EQ(torvi_cap_get_frames(&dev, 1, buf.data(), kFrameBytes, nullptr), 1);
  });
  EXPECT_EQ(CallbackClose::closes.load(), 1);
  ASSERT_NE(dev.priv, nullptr);
  EXPECT_TRUE(torvi_cap_is_ongoing(&dev));
  EXPECT_TRUE(logged("[torvi_dev_close] called from a callback of the device: refused"))
      << log_text();
  finishes_within(15000ms, "close", [&] { torvi_dev_close(&dev); });
  EXPECT_EQ(dev.priv, nullptr);
}

// The same for the error callback (here reporting a damaged frame).
TEST_F(Teardown, CloseFromInsideTheErrorCallbackIsRefused) {
  CallbackClose::closes = 0;
  ASSERT_TRUE(open());
  torvi_cap_set_callback_on_error(&dev, CallbackClose::on_error);
  ASSERT_EQ(torvi_vcam_fault(cam, TORVI_VCAM_FAULT_FLIP_PAYLOAD, 1, 0, 100), 0);
  ASSERT_TRUE(torvi_cap_start(&dev));
  std::vector<uint8_t> buf(kFrameBytes);
  finishes_within(15000ms, "getters whose error callback closes", [&] {
    for (int i = 0; i < 20 && CallbackClose::closes.load() == 0; ++i)
      torvi_cap_get_frames(&dev, 1, buf.data(), kFrameBytes, nullptr);
  });
  EXPECT_EQ(CallbackClose::closes.load(), 1);
  ASSERT_NE(dev.priv, nullptr);
  EXPECT_TRUE(torvi_cap_is_ongoing(&dev));
  EXPECT_TRUE(logged("[torvi_dev_close] called from a callback of the device: refused"));
}

// A call that stays in the frame-ready callback longer than the close is
// willing to wait: the close comes back after its bound, and the device's
// state is released when that call leaves.
TEST_F(Teardown, CloseGivesUpWaitingForACallAfterItsBound) {
  static std::atomic<bool> release{false};
  static std::atomic<bool> inside{false};
  release = false;
  inside = false;
  ASSERT_TRUE(open());
  torvi_cap_set_callback_on_frame_ready(&dev, [](torvi_dev_t *, torvi_cap_frame *) {
    inside = true;
    while (!release.load()) std::this_thread::sleep_for(1ms);
  });
  ASSERT_TRUE(torvi_cap_start(&dev));
  std::atomic<int> got{-100};
  std::thread getter([&] {
    std::vector<uint8_t> buf(kFrameBytes);
    got = torvi_cap_get_frames(&dev, 1, buf.data(), kFrameBytes, nullptr);
  });
  ASSERT_TRUE(eventually([&] { return inside.load(); }));
  // The callback is released only after the close has come back.
  finishes_within(15000ms, "close beside a call stuck in a callback",
                  [&] { torvi_dev_close(&dev); });
  EXPECT_TRUE(logged("[torvi_dev_close]")) << log_text();
  release = true;
  finishes_within(15000ms, "the getter", [&] { getter.join(); });
  EXPECT_EQ(got.load(), 1);
  EXPECT_EQ(dev.priv, nullptr);
}

// Every kind of call runs in a loop on one thread while the main thread
// closes the device or resets its USB interface.
struct CallKind {
  const char *name;
  bool capture;  // runs with a capture going
  std::function<void(torvi_dev_t *, std::vector<uint8_t> &)> call;
};

std::vector<CallKind> call_kinds() {
  const auto frame = [](std::vector<uint8_t> &b) { return static_cast<unsigned>(b.size()); };
  return {
      {"param_get", false,
       [](torvi_dev_t *d, auto &) {
         torvi_param_t items[2] = {param_item(2), param_item(12)};
         torvi_param_batch_get(d, items, 2);
       }},
      {"param_set", false,
       [](torvi_dev_t *d, auto &) {
         torvi_param_t item = param_item(13);
         item.len = 2;
         item.value[0] = 0xE8;
         item.value[1] = 0x03;
         torvi_param_batch_set(d, &item, 1);
       }},
      {"reg_read", false,
       [](torvi_dev_t *d, auto &) {
         uint32_t v[20] = {};
         torvi_reg_batch_read(d, 2, 0, v, 20);
       }},
      {"reg_write", false,
       [](torvi_dev_t *d, auto &) {
         uint32_t v[4] = {1, 2, 3, 4};
         torvi_reg_batch_write(d, 2, 8, v, 4);
       }},
      {"cap_start_stop", false,
       [](torvi_dev_t *d, auto &) {
         torvi_cap_start(d);
         torvi_cap_stop(d);
       }},
      {"get_frames", true,
       [frame](torvi_dev_t *d, auto &b) {
         torvi_cap_get_frames(d, 2, b.data(), frame(b), nullptr);
       }},
      {"get_frame", true,
       [frame](torvi_dev_t *d, auto &b) { torvi_cap_get_frame(d, b.data(), frame(b), nullptr); }},
      {"snapshot", false,
       [frame](torvi_dev_t *d, auto &b) { torvi_cap_snapshot(d, b.data(), frame(b), nullptr); }},
      {"wait", true, [](torvi_dev_t *d, auto &) { torvi_cap_wait(d, 30); }},
      {"frame_buffer", false,
       [](torvi_dev_t *d, auto &) {
         int size = 0;
         torvi_cap_get_frame_buffer(d, nullptr, &size);
         torvi_cap_set_frame_buffer(d, nullptr, 4 * 307200);
       }},
      {"looks_and_setters", true,
       [](torvi_dev_t *d, auto &) {
         torvi_cap_is_ongoing(d);
         torvi_dev_get_drv(d);
         torvi_cap_set_callback_on_frame_ready(d, ignore_frame);
         torvi_cap_set_callback_on_error(d, keep_going);
       }},
      {"reset_target_1", false, [](torvi_dev_t *d, auto &) { torvi_dev_reset(d, 1); }},
  };
}

TEST_F(Teardown, CloseAndResetBesideEveryKindOfCall) {
  for (const CallKind &kind : call_kinds()) {
    for (const bool reset : {false, true}) {
      SCOPED_TRACE(std::string(kind.name) + (reset ? " / reset 3" : " / close"));
      ASSERT_TRUE(open());
      if (kind.capture) {
        ASSERT_TRUE(torvi_cap_start(&dev));
      }
      std::atomic<bool> done{false};
      std::atomic<int> loops{0};
      std::thread worker([&] {
        std::vector<uint8_t> buf(2 * kFrameBytes);
        while (!done.load()) {
          kind.call(&dev, buf);
          ++loops;
        }
      });
      ASSERT_TRUE(eventually([&] { return loops.load() >= 2; }));
      if (reset) {
        finishes_within(15000ms, "reset", [&] { torvi_dev_reset(&dev, 3); });
        // The device answers again once the interface is back.
        torvi_param_t item = param_item(12);
        EXPECT_TRUE(eventually([&] { return torvi_param_batch_get(&dev, &item, 1); }));
        done = true;
        finishes_within(15000ms, "the calling thread", [&] { worker.join(); });
        finishes_within(15000ms, "close", [&] { torvi_dev_close(&dev); });
      } else {
        finishes_within(15000ms, "close", [&] { torvi_dev_close(&dev); });
        done = true;
        finishes_within(15000ms, "the calling thread", [&] { worker.join(); });
      }
      EXPECT_EQ(dev.priv, nullptr);
    }
  }
}

}  // namespace
}  // namespace torvi::test
