// The transport against the virtual camera behind the in-process libusb
// binding: the edge cases of discovery, commands and streaming.
#include <bit>
#include <chrono>
#include <cstring>
#include <thread>

#include "ll_test_util.h"
#include "vcam/camera.h"
#include "vcam/usb_virtual.h"
#include "vcam/virtual_bus.h"

namespace torvi::test {
namespace {

using vcam::Camera;
using vcam::CameraConfig;
using vcam::VirtualBus;

class VcamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogSink::instance().begin();
    usb::set_active_backend(&vcam::usb_backend_virtual());
  }
  void TearDown() override {
    if (ll.priv != nullptr) torvi_ll_dev_close(&ll);
    VirtualBus::instance().detach_all();
    usb::set_active_backend(nullptr);
    LogSink::instance().end(HasFailure());
  }
  std::shared_ptr<Camera> plug(CameraConfig cfg = {}) {
    auto cam = std::make_shared<Camera>(std::move(cfg));
    VirtualBus::instance().attach(cam);
    return cam;
  }
  std::shared_ptr<Camera> plug_and_open(CameraConfig cfg = {}) {
    auto cam = plug(std::move(cfg));
    EXPECT_EQ(torvi_ll_dev_open(&ll), &ll);
    return cam;
  }
  usb_ll_dev_priv_t *priv() { return static_cast<usb_ll_dev_priv_t *>(ll.priv); }
  // Transfers of the link that have not had their last completion yet.
  int in_flight() {
    std::lock_guard lk(priv()->mu);
    return std::popcount(priv()->stream_inflight) + static_cast<int>(priv()->cmd_inflight);
  }
  bool wait_in_flight(int n, int ms = 2000) {
    for (int i = 0; i < ms / 5; ++i) {
      if (in_flight() == n) return true;
      torvi::sleep_ms(5);
    }
    return in_flight() == n;
  }

  torvi_ll_t ll{};
  CbRecorder rec;
};

TEST_F(VcamTest, TwoCamerasCapacityOneAndFullSpeedWarning) {
  CameraConfig a, b;
  a.identity.port = 2;
  a.identity.speed = LIBUSB_SPEED_FULL;
  b.identity.port = 5;
  b.identity.address = 7;
  plug(a);
  plug(b);
  torvi_ll_t list[2] = {};
  ASSERT_EQ(torvi_ll_dev_list(list, 1), 1);
  EXPECT_EQ(list[0].port, 2);
  ASSERT_EQ(torvi_ll_dev_list(list, 2), 2);
  EXPECT_EQ(list[1].port, 5);
  EXPECT_EQ(list[1].addr, 7);

  LogCapture log;
  ASSERT_EQ(torvi_ll_dev_open(&ll), &ll);  // unlocated: the first camera
  EXPECT_EQ(ll.port, 2);
  EXPECT_EQ(ll.speed, LIBUSB_SPEED_FULL);
  EXPECT_TRUE(
      log.has("[_usb_ll_dev_open] found torvi device not in HS mode (speed=2) @ 002:001:002\n"));
}

TEST_F(VcamTest, LocatedRecordOpensAfterANewAddress) {
  CameraConfig cfg;
  cfg.identity.port = 4;
  cfg.identity.address = 3;
  auto cam = plug(cfg);
  torvi_ll_t entry{};
  ASSERT_EQ(torvi_ll_dev_list(&entry, 1), 1);
  VirtualBus::instance().detach_all();
  cfg.identity.address = 12;  // the camera enumerated again
  plug(cfg);
  ll = entry;
  ASSERT_EQ(torvi_ll_dev_open(&ll), &ll);
  EXPECT_EQ(ll.addr, 12);
  torvi_ll_dev_close(&ll);

  torvi_ll_t gone = entry;
  gone.port = 6;  // nothing there
  EXPECT_EQ(torvi_ll_dev_open(&gone), nullptr);
  EXPECT_EQ(gone.priv, nullptr);
}

TEST_F(VcamTest, ClaimOfInterfaceZeroFailingAndDoubleClose) {
  auto cam = plug();
  vcam::DeviceFaults f;
  f.fail_claim_interface0 = true;
  cam->set_faults(f);
  ASSERT_EQ(torvi_ll_dev_open(&ll), &ll);
  torvi_ll_dev_close(&ll);
  LogCapture log;
  torvi_ll_dev_close(&ll);
  EXPECT_TRUE(log.has("[usb_ll_dev_close] device no need to closed!\n"));

  f.fail_claim_interface0 = false;
  f.held_elsewhere = true;
  cam->set_faults(f);
  LogCapture log2;
  EXPECT_EQ(torvi_ll_dev_open(&ll), nullptr);
  EXPECT_TRUE(log2.has("[_usb_ll_dev_open] failed to open this device: LIBUSB_ERROR_ACCESS\n"));
}

TEST_F(VcamTest, RegistersInChunksAndZeroCounts) {
  auto cam = plug_and_open();
  std::vector<uint32_t> vals(40), back(40);
  for (uint32_t i = 0; i < 40; ++i) vals[i] = 0x5000u + i * 3;
  ASSERT_TRUE(torvi_ll_reg_write(&ll, 2, 300, vals.data(), 40));
  const auto before = cam->stats();
  ASSERT_TRUE(torvi_ll_reg_read(&ll, 2, 300, back.data(), 40));
  EXPECT_EQ(back, vals);
  const auto after = cam->stats();
  EXPECT_EQ(after.control_transfers - before.control_transfers, 12u);  // 3 chunks of 4
  EXPECT_EQ(after.status_queries - before.status_queries, 6u);
  EXPECT_EQ(*cam->reg(2, 339), 0x5000u + 39 * 3);

  EXPECT_TRUE(torvi_ll_reg_read(&ll, 2, 300, back.data(), 0));
  EXPECT_TRUE(torvi_ll_param_get(&ll, nullptr, 0));
  EXPECT_EQ(cam->stats().control_transfers, after.control_transfers);
}

TEST_F(VcamTest, ParametersInGroupsOfThree) {
  CameraConfig cfg;
  cfg.frame_rate = 25;
  cfg.serial = "SN-42";
  auto cam = plug_and_open(cfg);
  const uint8_t ids[7] = {2, 5, 6, 7, 12, 13, 3};
  torvi_ll_param_t recs[7] = {};
  for (int i = 0; i < 7; ++i) recs[i].id = ids[i];
  const auto before = cam->stats();
  ASSERT_TRUE(torvi_ll_param_get(&ll, recs, 7));
  EXPECT_EQ(cam->stats().control_transfers - before.control_transfers, 12u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(recs[1].val), 5), "SN-42");
  EXPECT_EQ(recs[4].len, 4);
  EXPECT_EQ(recs[4].val[0], 25);
  EXPECT_EQ(recs[5].len, 2);
  EXPECT_EQ(recs[5].val[0] | recs[5].val[1] << 8, 1000);

  torvi_ll_param_t fps{12, 4, {60}};
  ASSERT_TRUE(torvi_ll_param_set(&ll, &fps, 1));
  EXPECT_EQ(cam->config().frame_rate, 60u);
  fps.val[0] = 200;  // out of range: the camera says so
  LogCapture log;
  EXPECT_FALSE(torvi_ll_param_set(&ll, &fps, 1));
  EXPECT_TRUE(log.has("[usb_ll_check_last_cmd] param 12: frame rate 200 out of 1..120\n"));
}

TEST_F(VcamTest, BusyThenReadyMismatchAndShortReceive) {
  auto cam = plug_and_open();
  vcam::DeviceFaults f;
  f.busy_queries = 1;
  cam->set_faults(f);
  uint32_t v = 9;
  auto before = cam->stats();
  ASSERT_TRUE(torvi_ll_reg_write(&ll, 2, 1, &v, 1));
  EXPECT_EQ(cam->stats().status_queries - before.status_queries, 2u);

  LogCapture log;
  EXPECT_FALSE(torvi_ll_check_last_cmd(&ll, 0xC0, 3));
  EXPECT_TRUE(
      log.has("[usb_ll_check_last_cmd]  last cmd (t=194,v=0) is not as expect(t=192,v=3)\r\n"));

  // Asking for more than the 63-byte status reply: short, but delivered.
  uint8_t reply[70];
  std::memset(reply, 0xEE, sizeof reply);
  EXPECT_FALSE(torvi_ll_exe_cmd(&ll, 0, 0xB0, 0, reply, 70, 1000));
  EXPECT_EQ(reply[1], 0xC2);
  EXPECT_EQ(reply[63], 0xEE);
}

TEST_F(VcamTest, CameraFailureMessageReachesTheLog) {
  auto cam = plug_and_open();
  vcam::DeviceFaults f;
  f.fail_next_command = true;
  f.fail_message = "sensor not ready";
  cam->set_faults(f);
  uint32_t v = 1;
  LogCapture log;
  EXPECT_FALSE(torvi_ll_reg_write(&ll, 2, 1, &v, 1));
  EXPECT_TRUE(log.has("[usb_ll_check_last_cmd] sensor not ready\n"));
}

TEST_F(VcamTest, UnansweredCommandTimesOutAndTheLinkRecovers) {
  auto cam = plug_and_open();
  vcam::DeviceFaults f;
  f.unanswered_controls = 1;
  cam->set_faults(f);
  uint32_t v = 1;
  LogCapture log;
  EXPECT_FALSE(torvi_ll_reg_write(&ll, 2, 1, &v, 1));
  EXPECT_TRUE(log.has("[usb_ll_exe_cmd] exe usb cmd failed: LIBUSB_ERROR_"));
  EXPECT_TRUE(torvi_ll_reg_write(&ll, 2, 1, &v, 1));
  EXPECT_EQ(in_flight(), 0);
  EXPECT_EQ(vcam::usb_virtual_in_flight(priv()->ctx), 0);
}

TEST_F(VcamTest, ResetOfTargetThreeReopensAtTheNewAddress) {
  CameraConfig cfg;
  cfg.identity.address_after_reset = 33;
  cfg.reset_absence = std::chrono::milliseconds(300);
  auto cam = plug_and_open(cfg);
  LogCapture log;
  EXPECT_FALSE(torvi_ll_dev_reset(&ll, 3));
  ASSERT_NE(ll.priv, nullptr);
  EXPECT_EQ(ll.addr, 33);
  EXPECT_EQ(cam->stats().resets, 1u);
  EXPECT_FALSE(log.has("reopen device failed"));
  uint32_t v = 0;
  EXPECT_TRUE(torvi_ll_reg_read(&ll, 2, 0, &v, 1));
  // Another target is an ordinary command with its status check.
  EXPECT_TRUE(torvi_ll_dev_reset(&ll, 1));
  EXPECT_EQ(cam->stats().resets, 2u);
}

class VcamStreamTest : public VcamTest {
 protected:
  std::shared_ptr<Camera> open_unpaced() {
    CameraConfig cfg;
    cfg.stream.paced = false;
    return plug_and_open(cfg);
  }
  bool start() { return torvi_ll_cap_start(&ll, 0, CbRecorder::cb, &rec); }
};

// Collects the stream bytes in completion order.
struct ByteSink {
  static int cb(torvi_ll_t *, int32_t code, uint8_t *data, int len, void *arg) {
    auto *self = static_cast<ByteSink *>(arg);
    std::lock_guard lk(self->mu);
    if (code == 0) self->bytes.insert(self->bytes.end(), data, data + len);
    ++self->codes[code == 0 ? 0 : -code];
    return 0;
  }
  size_t size() {
    std::lock_guard lk(mu);
    return bytes.size();
  }
  std::mutex mu;
  std::vector<uint8_t> bytes;
  int codes[11] = {};
};

TEST_F(VcamStreamTest, StreamBytesArriveInOrderAndStopEndsTheRing) {
  auto cam = open_unpaced();
  const std::vector<uint8_t> f0 = cam->frame_bytes(0);
  ByteSink sink;
  ASSERT_TRUE(torvi_ll_cap_start(&ll, 0, ByteSink::cb, &sink));
  EXPECT_TRUE(cam->streaming());
  for (int i = 0; i < 4000 && sink.size() < 3 * f0.size(); ++i) torvi::sleep_ms(5);
  ASSERT_TRUE(torvi_ll_cap_stop(&ll));
  EXPECT_FALSE(cam->streaming());
  // Every transfer ends once more (with data if the camera filled it before
  // the cancel, else cancelled) and none is submitted again.
  ASSERT_TRUE(wait_in_flight(0));
  const size_t after_stop = sink.size();
  torvi::sleep_ms(50);
  EXPECT_EQ(in_flight(), 0);
  std::lock_guard lk(sink.mu);
  EXPECT_EQ(sink.bytes.size(), after_stop);
  ASSERT_GE(sink.bytes.size(), 3 * f0.size());
  EXPECT_TRUE(std::equal(f0.begin(), f0.end(), sink.bytes.begin()));
  EXPECT_EQ(sink.codes[5] + sink.codes[7] + sink.codes[10], 0);
}

TEST_F(VcamStreamTest, FailedStartCancelsAllSixteen) {
  auto cam = open_unpaced();
  vcam::DeviceFaults f;
  f.fail_next_command = true;
  cam->set_faults(f);
  EXPECT_FALSE(start());
  ASSERT_TRUE(wait_in_flight(0));
  ASSERT_TRUE(rec.wait_count(16));
  EXPECT_EQ(rec.count_of(-3), rec.got().size() - rec.count_of(0));
  EXPECT_EQ(rec.count_of(-3) + rec.count_of(0), rec.got().size());
  // Every transfer ended once: the ones the camera filled before the cancel
  // end with data, the rest cancelled; nothing is in flight afterwards.
  torvi::sleep_ms(30);
  EXPECT_EQ(in_flight(), 0);
}

TEST_F(VcamStreamTest, StallClearsTheHaltAndTheRingGoesOn) {
  auto cam = open_unpaced();
  vcam::DeviceFaults f;
  f.stall_bulk = 1;
  cam->set_faults(f);
  ASSERT_TRUE(start());
  for (int i = 0; i < 4000 && rec.count_of(0) < 20; ++i) torvi::sleep_ms(5);
  // The halted endpoint fails the transfers queued on it until the halt is
  // cleared; each is cleared and submitted again, and data flows on.
  EXPECT_GE(rec.count_of(-7), 1u);
  EXPECT_LE(rec.count_of(-7), 16u);
  EXPECT_GE(rec.count_of(0), 20u);
  EXPECT_EQ(cam->stats().bulk_stalls, 1u);
  EXPECT_EQ(cam->stats().clear_halts, 1 + rec.count_of(-7));  // at start and per stall
  ASSERT_TRUE(torvi_ll_cap_stop(&ll));
}

TEST_F(VcamStreamTest, UnplugGivesMinusTen) {
  auto cam = open_unpaced();
  rec.abort_on(-10);
  ASSERT_TRUE(start());
  ASSERT_TRUE(rec.wait_count(3));
  cam->unplug();
  VirtualBus::instance().notify();
  ASSERT_TRUE(wait_in_flight(0, 3000));
  EXPECT_GE(rec.count_of(-10), 1u);
  EXPECT_FALSE(torvi_ll_cap_stop(&ll));
  torvi_ll_dev_close(&ll);
  EXPECT_EQ(ll.priv, nullptr);
}

// A silent camera: the transfer in progress times out after 6 s carrying the
// bytes it had received.
TEST_F(VcamStreamTest, TimeOutReportsPartialBytes) {
  auto cam = open_unpaced();
  vcam::DeviceFaults f;
  f.silent_after_bytes = 153600 + 1000;
  cam->set_faults(f);
  rec.abort_on(-5);
  ASSERT_TRUE(start());
  ASSERT_TRUE(rec.wait_count(2, 8000));
  const auto got = rec.got();
  EXPECT_EQ(got[0].code, 0);
  EXPECT_EQ(got[0].len, 153600);
  EXPECT_EQ(got[1].code, -5);
  EXPECT_EQ(got[1].len, 1000);
  ASSERT_TRUE(torvi_ll_cap_stop(&ll));
}

}  // namespace
}  // namespace torvi::test
