// The transport's production binding (real libusb) against the virtual
// camera model behind an emulated usbdevfs node. Run under umockdev-wrapper;
// "--split" hides scatter-gather so that libusb cuts bulk transfers into
// 16 KiB URBs.
#include <gtest/gtest.h>
#include <torvi/kx_stream.h>
#include <torvi/torvi_ll.h>
#include <torvi/torvi_log.h>
#include <umockdev.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "ll/usb/usb_ll.h"
#include "usbfs_camera.h"
#include "vcam/camera.h"

namespace {

std::shared_ptr<torvi::vcam::Camera> g_cam;
torvi::test::UsbfsCamera *g_usbfs = nullptr;

// Collects stream bytes and completion codes.
struct Sink {
  static int cb(torvi_ll_t *ll, int32_t code, uint8_t *data, int len, void *arg) {
    auto *self = static_cast<Sink *>(arg);
    std::lock_guard lk(self->mu);
    if (code == 0) self->bytes.insert(self->bytes.end(), data, data + len);
    self->codes.push_back(code);
    if (code == -10) torvi_ll_cap_abort(ll);
    return 0;
  }
  size_t size() {
    std::lock_guard lk(mu);
    return bytes.size();
  }
  size_t count(int32_t code) {
    std::lock_guard lk(mu);
    size_t n = 0;
    for (int32_t c : codes) n += c == code;
    return n;
  }
  std::mutex mu;
  std::vector<uint8_t> bytes;
  std::vector<int32_t> codes;
};

bool wait_until(const std::function<bool()> &done, int ms) {
  for (int i = 0; i < ms / 5 && !done(); ++i) torvi::sleep_ms(5);
  return done();
}

bool stream_idle(torvi_ll_t *ll) {
  auto *p = static_cast<usb_ll_dev_priv_t *>(ll->priv);
  std::lock_guard lk(p->mu);
  return p->stream_inflight == 0;
}

// One link per test on the single emulated camera.
class Conformance : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_cam->attached()) << "the camera was unplugged by an earlier test";
    g_cam->set_faults({});
    ASSERT_EQ(torvi_ll_dev_open(&ll), &ll);
  }
  void TearDown() override {
    if (ll.priv != nullptr) torvi_ll_dev_close(&ll);
  }
  torvi_ll_t ll{};
};

TEST(ConformanceList, EnumeratesTheCamera) {
  torvi_ll_t list[4] = {};
  ASSERT_EQ(torvi_ll_dev_list(list, 4), 1);
  EXPECT_EQ(list[0].bus, 1);
  EXPECT_EQ(list[0].port, 3);
  EXPECT_EQ(list[0].addr, 5);
  EXPECT_EQ(list[0].speed, LIBUSB_SPEED_HIGH);
  EXPECT_EQ(list[0].located, 1);
  EXPECT_EQ(list[0].ops, &ll_op_usb);
}

TEST_F(Conformance, CommandsAndReopen) {
  EXPECT_EQ(ll.located, 1);
  EXPECT_EQ(ll.port, 3);
  std::vector<uint32_t> vals(40), back(40);
  for (uint32_t i = 0; i < 40; ++i) vals[i] = 0x700u + i;
  ASSERT_TRUE(torvi_ll_reg_write(&ll, 2, 64, vals.data(), 40));
  ASSERT_TRUE(torvi_ll_reg_read(&ll, 2, 64, back.data(), 40));
  EXPECT_EQ(back, vals);
  torvi_ll_param_t recs[7] = {};
  const uint8_t ids[7] = {2, 3, 5, 6, 7, 12, 13};
  for (int i = 0; i < 7; ++i) recs[i].id = ids[i];
  ASSERT_TRUE(torvi_ll_param_get(&ll, recs, 7));
  const std::string serial = g_cam->config().serial;
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(recs[2].val), serial.size()), serial);
  EXPECT_EQ(recs[5].len, 4);
  torvi_ll_dev_close(&ll);
  ASSERT_EQ(torvi_ll_dev_open(&ll), &ll);
  uint32_t one = 0;
  EXPECT_TRUE(torvi_ll_reg_read(&ll, 2, 64, &one, 1));
  EXPECT_EQ(one, 0x700u);
}

TEST_F(Conformance, UnansweredCommandTimesOut) {
  torvi::vcam::DeviceFaults f;
  f.unanswered_controls = 1;
  g_cam->set_faults(f);
  uint32_t v = 1;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(torvi_ll_reg_write(&ll, 2, 1, &v, 1));
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  // Not before the command's time-out; and it does end (a generous bound, so
  // that a busy machine does not fail it).
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 20000);
  EXPECT_TRUE(torvi_ll_reg_write(&ll, 2, 1, &v, 1));
}

TEST_F(Conformance, StreamFramesThenStop) {
  g_cam->set_paced(false);
  const std::vector<uint8_t> f0 = g_cam->frame_bytes(0);
  Sink sink;
  ASSERT_TRUE(torvi_ll_cap_start(&ll, 0, Sink::cb, &sink));
  EXPECT_TRUE(wait_until([&] { return sink.size() >= 3 * f0.size(); }, 10000));
  ASSERT_TRUE(torvi_ll_cap_stop(&ll));
  EXPECT_TRUE(wait_until([&] { return stream_idle(&ll); }, 3000));
  const size_t after = sink.size();
  torvi::sleep_ms(50);
  EXPECT_EQ(sink.size(), after);
  std::lock_guard lk(sink.mu);
  ASSERT_GE(sink.bytes.size(), f0.size());
  EXPECT_TRUE(std::equal(f0.begin(), f0.end(), sink.bytes.begin()));
  // The stream parser finds, verifies and assembles the frames.
  // Room for every frame the sink holds (the camera streamed on until the
  // stop), so that none is dropped before frame 0 is fetched.
  kx_stream_cfg_t cfg{static_cast<uint32_t>(sink.bytes.size() / f0.size() + 1)};
  kx_stream_t *parser = kx_stream_create(&cfg);
  ASSERT_NE(parser, nullptr);
  EXPECT_TRUE(kx_stream_feed_input(parser, reinterpret_cast<const char *>(sink.bytes.data()),
                                   static_cast<int>(sink.bytes.size())));
  const std::vector<uint8_t> raw0 = g_cam->raw_frame(0);
  std::vector<char> frame(raw0.size());
  torvi_frame_hdr_t hdr{};
  EXPECT_EQ(kx_stream_fetch_frames(parser, frame.data(), static_cast<unsigned>(frame.size()), 1,
                                   &hdr, false),
            1);
  EXPECT_EQ(std::memcmp(frame.data(), raw0.data(), raw0.size()), 0);
  kx_stream_state_t st{};
  kx_stream_get_state(parser, &st);
  EXPECT_GE(st.frames_completed, 2u);
  EXPECT_EQ(st.frames_discarded, 0u);
  kx_stream_destroy(parser);
  size_t errors = 0;
  for (int32_t c : sink.codes) errors += c != 0 && c != -3;
  EXPECT_EQ(errors, 0u);
}

TEST_F(Conformance, StallIsClearedAndStreamingGoesOn) {
  g_cam->set_paced(false);
  const unsigned halts0 = g_usbfs->clear_halts();
  torvi::vcam::DeviceFaults f;
  f.stall_bulk = 1;
  g_cam->set_faults(f);
  Sink sink;
  ASSERT_TRUE(torvi_ll_cap_start(&ll, 0, Sink::cb, &sink));
  EXPECT_TRUE(wait_until([&] { return sink.count(-7) >= 1 && sink.count(0) >= 8; }, 10000));
  ASSERT_TRUE(torvi_ll_cap_stop(&ll));
  EXPECT_TRUE(wait_until([&] { return stream_idle(&ll); }, 3000));
  EXPECT_EQ(g_usbfs->clear_halts() - halts0, 1 + sink.count(-7));
}

// A camera that falls silent: the transfer in progress times out after 6 s
// with the bytes it had received.
TEST_F(Conformance, SilentCameraTimesOutWithPartialBytes) {
  g_cam->set_paced(false);
  torvi::vcam::DeviceFaults f;
  f.silent_after_bytes = 153600 + 1000;
  g_cam->set_faults(f);
  struct Rec {
    static int cb(torvi_ll_t *ll, int32_t code, uint8_t *, int len, void *arg) {
      auto *self = static_cast<Rec *>(arg);
      std::lock_guard lk(self->mu);
      self->got.emplace_back(code, len);
      if (code == -5) torvi_ll_cap_abort(ll);
      return 0;
    }
    std::mutex mu;
    std::vector<std::pair<int32_t, int>> got;
  } rec;
  ASSERT_TRUE(torvi_ll_cap_start(&ll, 0, Rec::cb, &rec));
  EXPECT_TRUE(wait_until(
      [&] {
        std::lock_guard lk(rec.mu);
        return rec.got.size() >= 2;
      },
      9000));
  ASSERT_TRUE(torvi_ll_cap_stop(&ll));
  EXPECT_TRUE(wait_until([&] { return stream_idle(&ll); }, 3000));
  g_cam->resume_sending();
  std::lock_guard lk(rec.mu);
  ASSERT_GE(rec.got.size(), 2u);
  EXPECT_EQ(rec.got[0], std::make_pair(0, 153600));
  EXPECT_EQ(rec.got[1], std::make_pair(-5, 1000));
}

// Runs last: the camera leaves the bus for good.
TEST_F(Conformance, ZzUnplugEndsTheStreamWithMinusTen) {
  g_cam->set_paced(true);
  Sink sink;
  ASSERT_TRUE(torvi_ll_cap_start(&ll, 0, Sink::cb, &sink));
  EXPECT_TRUE(wait_until([&] { return sink.count(0) >= 2; }, 5000));
  g_cam->unplug();
  EXPECT_TRUE(wait_until([&] { return stream_idle(&ll); }, 5000));
  EXPECT_GE(sink.count(-10), 1u);
  EXPECT_FALSE(torvi_ll_cap_stop(&ll));
  torvi_ll_dev_close(&ll);
  EXPECT_EQ(ll.priv, nullptr);
}

}  // namespace

int main(int argc, char **argv) {
  bool split = false;
  for (int i = 1; i < argc; ++i) split |= std::strcmp(argv[i], "--split") == 0;
  UMockdevTestbed *tb = umockdev_testbed_new();
  if (!umockdev_in_mock_environment()) {
    std::fprintf(stderr, "not under the umockdev preload: run through umockdev-wrapper; skipped\n");
    g_object_unref(tb);
    return 77;
  }
  kx_log_enable(0, KX_LOG_OFF, nullptr);
  torvi::vcam::CameraConfig cfg;
  cfg.identity.bus = 1;
  cfg.identity.port = 3;
  cfg.identity.address = 5;
  g_cam = std::make_shared<torvi::vcam::Camera>(cfg);
  int rc = 1;
  {
    torvi::test::UsbfsCamera usbfs(tb, g_cam, split);
    if (usbfs.ok()) {
      g_usbfs = &usbfs;
      std::printf("usbdevfs emulation, %s\n",
                  split ? "16 KiB URBs (no scatter-gather)" : "scatter-gather");
      ::testing::InitGoogleTest(&argc, argv);
      rc = RUN_ALL_TESTS();
      g_usbfs = nullptr;
    }
  }
  g_object_unref(tb);
  g_cam.reset();
  return rc;
}
