// Listing, opening and capturing from virtual cameras through the USB
// transport: the whole path from the camera's bulk endpoint to the getters.
#include <gtest/gtest.h>
#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_log.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "ll/usb/usb_backend.h"
#include "ll/usb/usb_ll.h"
#include "vcam/camera.h"
#include "vcam/usb_virtual.h"
#include "vcam/virtual_bus.h"

using namespace std::chrono_literals;
using torvi::vcam::Camera;
using torvi::vcam::CameraConfig;
using torvi::vcam::VirtualBus;

namespace {

constexpr uint32_t kFrame = 614400;

class VcamCapture : public ::testing::Test {
 protected:
  void SetUp() override { torvi::usb::set_active_backend(&torvi::vcam::usb_backend_virtual()); }
  void TearDown() override {
    if (dev.priv != nullptr) torvi_dev_close(&dev);
    if (g_kx_dev.priv != nullptr) torvi_dev_close(&g_kx_dev);
    VirtualBus::instance().detach_all();
    torvi::usb::set_active_backend(nullptr);
  }
  std::shared_ptr<Camera> plug(const char *product = "VCAM-T0-1.0", uint8_t port = 1) {
    CameraConfig cfg;
    cfg.product = product;
    cfg.identity.port = port;
    cfg.identity.address = static_cast<uint8_t>(port + 1);
    cfg.stream.paced = false;
    auto cam = std::make_shared<Camera>(cfg);
    VirtualBus::instance().attach(cam);
    return cam;
  }
  // The camera sends the bytes of its next `frames` frames (numbered from
  // the capture's start) and then stays silent, so that a frame buffer of at
  // least that many frames never drops one, however late the getters run.
  static void send_only(Camera &cam, uint32_t frames) {
    uint64_t bytes = 0;
    for (uint32_t k = 0; k < frames; ++k) bytes += cam.frame_bytes(k).size();
    torvi::vcam::DeviceFaults f = cam.faults();
    f.silent_after_bytes = bytes;
    cam.set_faults(f);
    VirtualBus::instance().notify();
  }
  bool open_first() {
    torvi_dev_t list[4];
    if (torvi_dev_list(list, 4) < 1) return false;
    dev = list[0];
    return torvi_dev_open(&dev) == &dev;
  }

  torvi_dev_t dev{};
};

TEST_F(VcamCapture, ListFillsAtMostTheGivenRecords) {
  plug("VCAM-T0-1.0", 1);
  plug("VCAM-T0-1.0", 2);
  torvi_dev_t list[4];
  EXPECT_EQ(torvi_dev_list(list, 1), 1);
  ASSERT_EQ(torvi_dev_list(list, 4), 2);
  EXPECT_EQ(list[0].located, 1);
  EXPECT_EQ(list[0].priv, nullptr);
  EXPECT_NE(list[0].port, list[1].port);
  // The second listed camera opens by its descriptor.
  dev = list[1];
  ASSERT_EQ(torvi_dev_open(&dev), &dev);
  EXPECT_EQ(dev.port, list[1].port);
}

TEST_F(VcamCapture, DefaultDeviceOpensOnceUntilClosed) {
  plug();
  ASSERT_EQ(torvi_dev_open(nullptr), &g_kx_dev);
  EXPECT_STREQ(g_kx_dev.product, "VCAM-T0-1.0");
  EXPECT_STREQ(g_kx_dev.vendor, "TORVI");
  EXPECT_EQ(torvi_dev_open(nullptr), nullptr);
  torvi_dev_close(&g_kx_dev);
  ASSERT_EQ(torvi_dev_open(nullptr), &g_kx_dev);
  torvi_dev_close(&g_kx_dev);
  EXPECT_EQ(g_kx_dev.priv, nullptr);
}

TEST_F(VcamCapture, DriverChosenByProductString) {
  auto cam = plug("VCAM-E2-1.4.3");
  ASSERT_TRUE(open_first());
  ASSERT_NE(torvi_dev_get_drv(&dev), nullptr);
  EXPECT_STREQ(torvi_dev_get_drv(&dev)->id, "E2");
  torvi_dev_close(&dev);
  cam->set_product("VCAM-T0-2.0");
  ASSERT_TRUE(open_first());
  EXPECT_STREQ(torvi_dev_get_drv(&dev)->name, "TI OP8241 chip driver");
  torvi_dev_close(&dev);
  cam->set_product("VCAM-Z9-2.0");
  EXPECT_FALSE(open_first());
  EXPECT_EQ(dev.priv, nullptr);
}

TEST_F(VcamCapture, GettersReceiveConsecutiveFrames) {
  auto cam = plug();
  ASSERT_TRUE(open_first());
  send_only(*cam, 8);  // fewer than the 10 frames the buffer holds
  ASSERT_TRUE(torvi_cap_start(&dev));
  std::vector<uint8_t> buf(3 * kFrame);
  torvi_frame_info_t first{};
  ASSERT_EQ(torvi_cap_get_frames(&dev, 3, buf.data(), 3 * kFrame, &first), 3);
  EXPECT_EQ(first.frame_size, kFrame);
  EXPECT_EQ(first.width, 320u);
  // The camera's first frames, byte for byte, one after another.
  for (uint32_t k = 0; k < 3; ++k) {
    const std::vector<uint8_t> raw = cam->raw_frame(first.frame_idx + k);
    ASSERT_EQ(raw.size(), kFrame);
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), buf.begin() + k * kFrame)) << k;
  }
  torvi_frame_info_t next{};
  ASSERT_EQ(torvi_cap_get_frames(&dev, 1, buf.data(), kFrame, &next), 1);
  EXPECT_GT(static_cast<uint16_t>(next.frame_idx - first.frame_idx), 2);
  ASSERT_TRUE(torvi_cap_stop(&dev));
  EXPECT_FALSE(cam->streaming());
  send_only(*cam, 8);
  ASSERT_TRUE(torvi_cap_start(&dev));
  EXPECT_EQ(torvi_cap_get_frames(&dev, 2, buf.data(), 2 * kFrame, nullptr), 2);
  EXPECT_EQ(dev.api_busy, 0);
}

TEST_F(VcamCapture, FrameHeaderOfTheLastFrameCarriesIndexSizeAndTemperatures) {
  CameraConfig cfg;
  cfg.product = "VCAM-T0-1.0";
  cfg.stream.paced = false;
  cfg.sensor.sensor_drift_per_frame = 1.0;  // one tenth of a degree per frame
  auto cam = std::make_shared<Camera>(cfg);
  VirtualBus::instance().attach(cam);
  ASSERT_TRUE(open_first());
  torvi_frame_hdr_t hdr{};
  // Nothing handed out yet: no header, and no ERR line is due.
  EXPECT_FALSE(torvi_cap_get_frame_hdr(&dev, &hdr));
  EXPECT_FALSE(torvi_cap_get_frame_hdr(&dev, nullptr));
  EXPECT_FALSE(torvi_cap_get_frame_hdr(nullptr, &hdr));
  ASSERT_TRUE(torvi_cap_start(&dev));
  std::vector<uint8_t> buf(kFrame);
  int16_t previous_temp = 0;
  for (int k = 0; k < 3; ++k) {
    torvi_frame_info_t info{};
    ASSERT_EQ(torvi_cap_get_frames(&dev, 1, buf.data(), kFrame, &info), 1);
    ASSERT_TRUE(torvi_cap_get_frame_hdr(&dev, &hdr));
    EXPECT_EQ(hdr.fridx, info.frame_idx);
    EXPECT_EQ(hdr.frlen, info.frame_size);
    EXPECT_EQ(hdr.width, 320);
    // The sensor warms by the drift with every frame; the board does not.
    EXPECT_GE(hdr.sensor_temp, cfg.sensor.sensor_temp);
    EXPECT_EQ(hdr.illum_temp, cfg.sensor.board_temp);
    if (k > 0) {
      EXPECT_GT(hdr.sensor_temp, previous_temp);
    }
    previous_temp = hdr.sensor_temp;
  }
  torvi_dev_close(&dev);
  EXPECT_FALSE(torvi_cap_get_frame_hdr(&dev, &hdr));
}

TEST_F(VcamCapture, ShortStallPassesLongStallStops) {
  auto cam = plug();
  ASSERT_TRUE(open_first());
  torvi::vcam::DeviceFaults faults;
  faults.stall_bulk = 1;
  cam->set_faults(faults);
  ASSERT_TRUE(torvi_cap_start(&dev));
  EXPECT_EQ(torvi_cap_get_frames(&dev, 2, nullptr, 0, nullptr), 2);
  EXPECT_EQ(cam->stats().bulk_stalls, 1u);  // one halt fails the 16 transfers in flight
  ASSERT_TRUE(torvi_cap_stop(&dev));
  faults.stall_bulk = 1000;
  cam->set_faults(faults);
  ASSERT_TRUE(torvi_cap_start(&dev));
  EXPECT_EQ(torvi_cap_get_frames(&dev, 1, nullptr, 0, nullptr), TORVI_ERR_CAP_STALL);
}

TEST_F(VcamCapture, UnplugMidCaptureGivesMinusTen) {
  auto cam = plug();
  ASSERT_TRUE(open_first());
  ASSERT_TRUE(torvi_cap_start(&dev));
  ASSERT_EQ(torvi_cap_get_frames(&dev, 2, nullptr, 0, nullptr), 2);
  // The camera leaves the bus in the middle of a transfer.
  torvi::vcam::DeviceFaults faults;
  faults.unplug_after_bytes = 100000;
  cam->set_faults(faults);
  VirtualBus::instance().notify();
  int rc = 1;
  for (int i = 0; i < 40 && rc > 0; ++i) rc = torvi_cap_get_frames(&dev, 1, nullptr, 0, nullptr);
  EXPECT_EQ(rc, TORVI_ERR_CAP_UNKNOWN);
  EXPECT_EQ(torvi_cap_get_frame(&dev, nullptr, 0, nullptr), TORVI_ERR_CAP_UNKNOWN);
  torvi_dev_close(&dev);  // the stop command cannot reach the camera
  EXPECT_EQ(dev.priv, nullptr);
}

bool g_discard_seen = false;
int g_discard_param = 0;
bool note_discard(torvi_dev_t *, int err, int param) {
  if (err == TORVI_ERR_CAP_FRAME_DISCARD) {
    g_discard_seen = true;
    g_discard_param = param;
  }
  return true;
}

TEST_F(VcamCapture, DamagedFramesAreReported) {
  auto cam = plug();
  ASSERT_TRUE(open_first());
  for (uint32_t f : {1u, 2u}) {
    torvi::vcam::StreamFault fault;
    fault.kind = torvi::vcam::StreamFault::Kind::flip_payload_bit;
    fault.frame = f;
    fault.chunk = 1;
    fault.byte = 100;
    cam->add_stream_fault(fault);
  }
  g_discard_seen = false;
  torvi_cap_set_callback_on_error(&dev, note_discard);
  ASSERT_TRUE(torvi_cap_start(&dev));
  std::vector<uint8_t> buf(4 * kFrame);
  torvi_frame_info_t first{};
  ASSERT_EQ(torvi_cap_get_frames(&dev, 4, buf.data(), 4 * kFrame, &first), 4);
  EXPECT_TRUE(g_discard_seen);
  EXPECT_EQ(g_discard_param, 2);
}

std::vector<int> g_errors;
bool note_error(torvi_dev_t *, int err, int param) {
  if (err < 0 && err != TORVI_ERR_CAP_FRAME_DISCARD) g_errors.push_back(err * 1000 + param);
  return true;
}

// Injects more faulted transfers into a camera, and waits (bounded) until a
// running capture has met them all.
void inject(torvi_dev_t &dev, Camera &cam, uint32_t timeouts, uint32_t stalls, bool wait = true) {
  torvi::vcam::DeviceFaults f = cam.faults();
  f.time_out_transfers += timeouts;
  f.stall_transfers += stalls;
  cam.set_faults(f);
  VirtualBus::instance().notify();
  // Frames already buffered hold the ring back until a getter takes them.
  for (int i = 0; wait && i < 100; ++i) {
    f = cam.faults();
    if (f.time_out_transfers == 0 && f.stall_transfers == 0) break;
    if (torvi_cap_get_frames(&dev, 1, nullptr, 0, nullptr) <= 0) break;
  }
}

// Reads frames until the capture ends them (or `tries` getters); returns the
// getter's last result.
int drain(torvi_dev_t &dev, int tries = 200) {
  int rc = 1;
  for (int i = 0; i < tries && rc > 0; ++i) rc = torvi_cap_get_frames(&dev, 1, nullptr, 0, nullptr);
  return rc;
}

// More frames than the capture can hold, so that some surely came after the
// faults.
constexpr unsigned kPastBuffer = 10;

TEST_F(VcamCapture, ThirtyTwoTimeOutsPassTheThirtyThirdStops) {
  auto cam = plug();
  ASSERT_TRUE(open_first());
  inject(dev, *cam, 32, 0, false);
  ASSERT_TRUE(torvi_cap_start(&dev));
  std::vector<uint8_t> buf(2 * kFrame);
  torvi_frame_info_t first{};
  ASSERT_EQ(torvi_cap_get_frames(&dev, 2, buf.data(), 2 * kFrame, &first), 2);
  EXPECT_EQ(cam->stats().bulk_time_outs, 32u);
  // The time-outs carried nothing: the frames are the camera's, intact.
  const std::vector<uint8_t> raw = cam->raw_frame(first.frame_idx);
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), buf.begin()));
  // The limit holds over the whole capture, not in a row: one more time-out,
  // after many good transfers, stops it.
  ASSERT_EQ(torvi_cap_get_frames(&dev, kPastBuffer, nullptr, 0, nullptr), int{kPastBuffer});
  inject(dev, *cam, 1, 0, false);
  EXPECT_EQ(drain(dev), TORVI_ERR_CAP_TIMEOUT);
  EXPECT_EQ(cam->stats().bulk_time_outs, 33u);
  // The error stays (transfers still in flight when the capture stopped may
  // bring a few more frames first).
  EXPECT_EQ(drain(dev), TORVI_ERR_CAP_TIMEOUT);
  ASSERT_TRUE(torvi_cap_stop(&dev));
  // A new capture counts afresh.
  inject(dev, *cam, 32, 0, false);
  ASSERT_TRUE(torvi_cap_start(&dev));
  EXPECT_EQ(torvi_cap_get_frames(&dev, kPastBuffer, nullptr, 0, nullptr), int{kPastBuffer});
  EXPECT_EQ(cam->stats().bulk_time_outs, 65u);
}

TEST_F(VcamCapture, ThirtyThreeTimeOutsReachTheErrorCallbackAtOnce) {
  auto cam = plug();
  ASSERT_TRUE(open_first());
  inject(dev, *cam, 33, 0, false);
  g_errors.clear();
  torvi_cap_set_callback_on_error(&dev, note_error);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(torvi_cap_start(&dev));
  // Transfers completed in the same round as the 33rd may still bring a few
  // frames; then the capture ends. The injected time-outs do not wait for the
  // transfers' own time-out.
  EXPECT_LE(drain(dev), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0,
            std::chrono::milliseconds(torvi::usb::kStreamTimeoutMs));
  EXPECT_EQ(g_errors, std::vector<int>{TORVI_ERR_CAP_TIMEOUT * 1000});
  EXPECT_EQ(cam->stats().bulk_time_outs, 33u);
  EXPECT_LT(cam->stats().frames_sent, 10u);
}

TEST_F(VcamCapture, SixteenStallsInARowPassTheSeventeenthStops) {
  auto cam = plug();
  ASSERT_TRUE(open_first());
  inject(dev, *cam, 0, 16, false);
  ASSERT_TRUE(torvi_cap_start(&dev));
  ASSERT_EQ(torvi_cap_get_frames(&dev, kPastBuffer, nullptr, 0, nullptr), int{kPastBuffer});
  EXPECT_EQ(cam->stats().bulk_stalls, 16u);
  EXPECT_GE(cam->stats().clear_halts, 16u);  // each stall's halt is cleared
  // Data between runs of stalls resets the count.
  for (int round = 0; round < 3; ++round) {
    inject(dev, *cam, 0, 16);
    ASSERT_EQ(cam->faults().stall_transfers, 0u) << round;
    ASSERT_EQ(torvi_cap_get_frames(&dev, kPastBuffer, nullptr, 0, nullptr), int{kPastBuffer})
        << round;
  }
  EXPECT_EQ(cam->stats().bulk_stalls, 64u);
  inject(dev, *cam, 0, 17, false);
  EXPECT_EQ(drain(dev), TORVI_ERR_CAP_STALL);
  EXPECT_EQ(cam->stats().bulk_stalls, 81u);
}

}  // namespace

namespace {

TEST_F(VcamCapture, BytesOfTimedOutTransfersAreKept) {
  auto cam = plug();
  ASSERT_TRUE(open_first());
  // The camera stays silent until the capture runs, so that the faults below
  // meet its first stream bytes and not the transfers submitted before the
  // start command.
  send_only(*cam, 0);
  g_discard_seen = false;
  torvi_cap_set_callback_on_error(&dev, note_discard);
  ASSERT_TRUE(torvi_cap_start(&dev));
  // The first transfers time out part-way through a frame: what they carried
  // is part of the stream and must not be lost. Five frames in all fit the
  // frame buffer, so frame 0 stays there until the getter takes it.
  torvi::vcam::DeviceFaults f = cam->faults();
  f.time_out_transfers = 4;
  f.time_out_partial_bytes = 20000;
  cam->set_faults(f);
  send_only(*cam, 5);
  std::vector<uint8_t> buf(3 * kFrame);
  torvi_frame_info_t first{};
  ASSERT_EQ(torvi_cap_get_frames(&dev, 3, buf.data(), 3 * kFrame, &first), 3);
  EXPECT_EQ(cam->stats().bulk_time_outs, 4u);
  EXPECT_FALSE(g_discard_seen);
  // The capture's first frames (numbered from 0), byte for byte.
  EXPECT_EQ(first.frame_idx, 0u);
  for (uint32_t k = 0; k < 3; ++k) {
    const std::vector<uint8_t> raw = cam->raw_frame(first.frame_idx + k);
    ASSERT_EQ(raw.size(), kFrame);
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), buf.begin() + k * kFrame)) << k;
  }
}

}  // namespace
