// How a capture ends when its camera goes away, and how capture errors
// reach the application while it handles an earlier one.
#include <utility>
#include <vector>

#include "tests/api/capture/fake_link.h"
#include "tests/api/teardown/vcam_device.h"

namespace torvi::test {
namespace {

using namespace std::chrono_literals;

using CaptureEnd = VcamDevice;

// The camera leaves the bus during a capture: its stream ends with the
// device-gone error, the stop command cannot reach it, and the capture still
// counts as stopped, before and after the camera comes back.
TEST_F(CaptureEnd, VanishedCameraCountsAsStopped) {
  ASSERT_TRUE(open());
  ASSERT_TRUE(torvi_cap_start(&dev));
  std::vector<uint8_t> buf(kFrameBytes);
  ASSERT_EQ(torvi_cap_get_frames(&dev, 1, buf.data(), kFrameBytes, nullptr), 1);
  ASSERT_EQ(torvi_vcam_unplug(cam), 0);
  // Frames still buffered come first, then the error.
  ASSERT_TRUE(eventually([&] {
    return torvi_cap_get_frame(&dev, buf.data(), kFrameBytes, nullptr) == TORVI_ERR_CAP_UNKNOWN;
  }));
  EXPECT_TRUE(torvi_cap_stop(&dev));
  EXPECT_FALSE(torvi_cap_is_ongoing(&dev));
  ASSERT_EQ(torvi_vcam_plug(cam), 0);
  EXPECT_FALSE(torvi_cap_is_ongoing(&dev));
  // The link still names the vanished device: a restart fails and keeps the
  // error that ended the capture.
  EXPECT_FALSE(torvi_cap_start(&dev));
  EXPECT_FALSE(torvi_cap_is_ongoing(&dev));
  EXPECT_EQ(torvi_cap_get_frame(&dev, buf.data(), kFrameBytes, nullptr), TORVI_ERR_CAP_UNKNOWN);
  EXPECT_EQ(torvi_cap_get_frames(&dev, 1, buf.data(), kFrameBytes, nullptr), TORVI_ERR_CAP_UNKNOWN);
  finishes_within(15000ms, "close", [&] { torvi_dev_close(&dev); });
  // Opened again, the camera captures.
  ASSERT_TRUE(open());
  ASSERT_TRUE(torvi_cap_start(&dev));
  EXPECT_EQ(torvi_cap_get_frames(&dev, 1, buf.data(), kFrameBytes, nullptr), 1);
  EXPECT_TRUE(torvi_cap_stop(&dev));
}

// A camera that refuses the stop while its stream still runs keeps the
// capture going: the refusal is reported and the capture can be stopped
// later.
TEST_F(CaptureEnd, RefusedStopOfAPresentCameraKeepsTheCapture) {
  ASSERT_TRUE(open());
  ASSERT_TRUE(torvi_cap_start(&dev));
  ASSERT_EQ(torvi_vcam_fail_next(cam, "stop refused"), 0);
  EXPECT_FALSE(torvi_cap_stop(&dev));
  EXPECT_TRUE(torvi_cap_is_ongoing(&dev));
  EXPECT_TRUE(torvi_cap_stop(&dev));
  EXPECT_FALSE(torvi_cap_is_ongoing(&dev));
}

// Discard reports: the error callback gets every report, also one that
// arrives while the callback handles the previous one.
struct DiscardReports {
  static inline std::vector<std::pair<int, int>> seen;
  static inline StreamWriter *writer = nullptr;
  static inline uint16_t next_idx = 0;
  static bool on_error(torvi_dev_t *, int err, int param) {
    seen.emplace_back(err, param);
    if (seen.size() == 1) {
      // Two more damaged frames come in while the first report is handled.
      deliver(0, writer->frame(next_idx++, true));
      deliver(0, writer->frame(next_idx++, true));
    }
    return true;
  }
};

TEST(CaptureErrorReports, DiscardArrivingDuringTheErrorCallbackIsNotLost) {
  FakeCamera cam;
  fake() = &cam;
  torvi_dev_t dev{};
  bind_fake(dev);
  ASSERT_EQ(torvi_dev_open(&dev), &dev);
  StreamWriter writer(4096);
  DiscardReports::seen.clear();
  DiscardReports::writer = &writer;
  DiscardReports::next_idx = 0;
  torvi_cap_set_callback_on_error(&dev, DiscardReports::on_error);
  ASSERT_TRUE(torvi_cap_start(&dev));
  deliver(0, writer.frame(DiscardReports::next_idx++, true));
  std::vector<uint8_t> buf(4096);
  EXPECT_EQ(torvi_cap_get_frame(&dev, buf.data(), 4096, nullptr), 0);
  EXPECT_EQ(torvi_cap_get_frame(&dev, buf.data(), 4096, nullptr), 0);
  const std::vector<std::pair<int, int>> expected = {{TORVI_ERR_CAP_FRAME_DISCARD, 1},
                                                     {TORVI_ERR_CAP_FRAME_DISCARD, 3}};
  EXPECT_EQ(DiscardReports::seen, expected);
  // Nothing more is pending.
  EXPECT_EQ(torvi_cap_get_frame(&dev, buf.data(), 4096, nullptr), 0);
  EXPECT_EQ(DiscardReports::seen.size(), 2u);
  ASSERT_TRUE(torvi_cap_stop(&dev));
  torvi_dev_close(&dev);
  fake() = nullptr;
}

}  // namespace
}  // namespace torvi::test
