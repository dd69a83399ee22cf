// Cycles of open -> capture -> one random fault -> stop -> close against a
// virtual camera, through the public C API and the USB transport. Every
// delivered frame is checked byte for byte against what the camera sent,
// frame indexes rise within a capture, every getter comes back within its
// documented deadline, and the device ends each cycle closed. The number of
// cycles comes from TORVI_SOAK_CYCLES (default 12), the random seed from
// TORVI_SOAK_SEED.
#include <gtest/gtest.h>
#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_log.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ll/usb/usb_backend.h"
#include "vcam/camera.h"
#include "vcam/usb_virtual.h"
#include "vcam/virtual_bus.h"

namespace {

using namespace std::chrono_literals;
using torvi::vcam::Camera;
using torvi::vcam::CameraConfig;
using torvi::vcam::VirtualBus;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kFrame = 614400;
constexpr uint32_t kFps = 60;

unsigned env_or(const char *name, unsigned fallback) {
  const char *v = std::getenv(name);
  return v != nullptr && *v != '\0' ? static_cast<unsigned>(std::strtoul(v, nullptr, 10))
                                    : fallback;
}

enum class Fault { none, stall, time_out, unplug, corruption, refused_command, count };

const char *fault_name(Fault f) {
  static const char *kNames[] = {"none",   "stall",      "time-out",
                                 "unplug", "corruption", "refused command"};
  return kNames[static_cast<int>(f)];
}

// Errors reported to the error callback during one cycle.
struct Errors {
  static inline std::vector<int> codes;
  static bool note(torvi_dev_t *, int err, int) {
    codes.push_back(err);
    return true;
  }
};

struct Totals {
  unsigned cycles = 0, frames = 0, faults[static_cast<int>(Fault::count)] = {};
};

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    kx_log_enable(0, KX_LOG_OFF, nullptr);
    torvi::usb::set_active_backend(&torvi::vcam::usb_backend_virtual());
    CameraConfig cfg;
    cfg.product = "VCAM-T0-1.0";
    cfg.frame_rate = kFps;
    cam = std::make_shared<Camera>(cfg);
    VirtualBus::instance().attach(cam);
  }
  void TearDown() override {
    if (dev.priv != nullptr) torvi_dev_close(&dev);
    VirtualBus::instance().detach_all();
    torvi::usb::set_active_backend(nullptr);
    kx_log_enable(0, KX_LOG_WRN, nullptr);
  }

  bool open() {
    torvi_dev_t list[1];
    if (torvi_dev_list(list, 1) != 1) return false;
    dev = list[0];
    return torvi_dev_open(&dev) == &dev;
  }

  // Takes one frame with the getter and checks it: its bytes are those the
  // camera sent for its index, the index rises, and the call kept its
  // deadline. Returns the getter's result.
  int take_and_check(std::vector<uint8_t> &buf, int &last_no) {
    const auto deadline = std::chrono::milliseconds(100 + 1000 / kFps + 2000);
    torvi_frame_info_t info{};
    const auto t0 = Clock::now();
    const int rc = torvi_cap_get_frames(&dev, 1, buf.data(), kFrame, &info);
    EXPECT_LE(Clock::now() - t0, deadline + 1000ms) << "getter outlived its deadline";
    if (rc != 1) return rc;
    EXPECT_EQ(info.frame_size, kFrame);
    // The frame index runs on over captures; the camera numbers the frames
    // of each capture from 0.
    const int no = static_cast<uint16_t>(info.frame_idx - first_idx_);
    EXPECT_GT(no, last_no) << "frame index went back";
    last_no = no;
    const std::vector<uint8_t> sent = cam->raw_frame(static_cast<uint32_t>(no));
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buf.begin()))
        << "frame " << no << " of the capture differs from what the camera sent";
    return rc;
  }

  void inject(Fault fault, std::mt19937 &rng) {
    torvi::vcam::DeviceFaults f = cam->faults();
    switch (fault) {
      case Fault::stall:
        f.stall_transfers = std::uniform_int_distribution<uint32_t>(1, 12)(rng);
        cam->set_faults(f);
        break;
      case Fault::time_out:
        f.time_out_transfers = std::uniform_int_distribution<uint32_t>(1, 20)(rng);
        f.time_out_partial_bytes = std::uniform_int_distribution<uint32_t>(0, 70000)(rng);
        cam->set_faults(f);
        break;
      case Fault::unplug:
        // Pulled out while it streams: every transfer in flight ends.
        cam->unplug();
        break;
      case Fault::corruption: {
        torvi::vcam::StreamFault s;
        s.kind = torvi::vcam::StreamFault::Kind::flip_payload_bit;
        s.frame = std::uniform_int_distribution<uint32_t>(1, 6)(rng);
        s.chunk = std::uniform_int_distribution<uint32_t>(0, 9)(rng);
        s.byte = std::uniform_int_distribution<uint32_t>(0, 60000)(rng);
        cam->add_stream_fault(s);
        break;
      }
      case Fault::refused_command: {
        f.fail_next_command = true;
        f.fail_message = "refused by the soak";
        cam->set_faults(f);
        // A register read while frames stream: the camera refuses it, and
        // the capture goes on unharmed.
        uint32_t regs[4] = {};
        EXPECT_FALSE(torvi_reg_batch_read(&dev, 2, 0, regs, 4));
        break;
      }
      default:
        break;
    }
    VirtualBus::instance().notify();
  }

  std::shared_ptr<Camera> cam;
  torvi_dev_t dev{};
  uint16_t first_idx_ = 0;  // frame index of the capture's first frame
};

TEST_F(Soak, OpenCaptureFaultStopCloseCycles) {
  const unsigned cycles = env_or("TORVI_SOAK_CYCLES", 12);
  const unsigned seed = env_or("TORVI_SOAK_SEED", 20261208);
  std::mt19937 rng(seed);
  Totals total;
  std::vector<uint8_t> buf(kFrame);
  const auto t_start = Clock::now();
  for (unsigned cycle = 0; cycle < cycles; ++cycle) {
    const auto fault = static_cast<Fault>(
        std::uniform_int_distribution<int>(0, static_cast<int>(Fault::count) - 1)(rng));
    SCOPED_TRACE("cycle " + std::to_string(cycle) + ", fault " + fault_name(fault) + ", seed " +
                 std::to_string(seed));
    ASSERT_TRUE(open());
    Errors::codes.clear();
    torvi_cap_set_callback_on_error(&dev, Errors::note);
    first_idx_ = static_cast<uint16_t>(cam->stats().frames_sent);
    ASSERT_TRUE(torvi_cap_start(&dev));
    int last_idx = -1;
    const unsigned want = std::uniform_int_distribution<unsigned>(3, 8)(rng);
    unsigned got = 0;
    // A few clean frames, the fault, then frames until the cycle's count.
    for (; got < 2; ++got) ASSERT_EQ(take_and_check(buf, last_idx), 1);
    inject(fault, rng);
    ++total.faults[static_cast<int>(fault)];
    int rc = 1;
    while (got < want && rc == 1) {
      rc = take_and_check(buf, last_idx);
      got += rc == 1 ? 1 : 0;
    }
    if (fault == Fault::unplug) {
      // The camera may leave before or after the cycle's frames. Its error
      // reaches the error callback (which consumes it: the getters then
      // come back empty) or, when it is pending as a getter starts, the
      // getter's result.
      const auto seen_gone = [] {
        return std::find(Errors::codes.begin(), Errors::codes.end(), TORVI_ERR_CAP_UNKNOWN) !=
               Errors::codes.end();
      };
      const auto gone_by = Clock::now() + 15s;
      while (rc >= 0 && !seen_gone() && Clock::now() < gone_by) rc = take_and_check(buf, last_idx);
      EXPECT_TRUE(rc == TORVI_ERR_CAP_UNKNOWN || seen_gone()) << rc;
      EXPECT_TRUE(torvi_cap_stop(&dev));  // a vanished camera counts as stopped
    } else {
      EXPECT_EQ(rc, 1);
      EXPECT_EQ(got, want);
      for (int code : Errors::codes) EXPECT_EQ(code, TORVI_ERR_CAP_FRAME_DISCARD);
      EXPECT_TRUE(torvi_cap_stop(&dev));
    }
    EXPECT_FALSE(torvi_cap_is_ongoing(&dev));
    torvi_dev_close(&dev);
    ASSERT_EQ(dev.priv, nullptr);
    if (fault == Fault::unplug) cam->plug();
    cam->set_faults(torvi::vcam::DeviceFaults{});
    cam->clear_stream_faults();
    total.frames += got;
    ++total.cycles;
    if (HasFailure()) break;
  }
  const double secs = std::chrono::duration<double>(Clock::now() - t_start).count();
  std::printf("soak: %u cycles, %u frames checked, faults:", total.cycles, total.frames);
  for (int f = 0; f < static_cast<int>(Fault::count); ++f)
    std::printf(" %s %u,", fault_name(static_cast<Fault>(f)), total.faults[f]);
  std::printf(" %.1f s, seed %u\n", secs, seed);
}

}  // namespace
