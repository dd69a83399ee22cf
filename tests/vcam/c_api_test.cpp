// The public torvi_vcam_ calls.
#include <torvi/torvi_vcam.h>

#include <cmath>

#include "host.h"

namespace torvi::vcam::test {
namespace {

struct CamDeleter {
  void operator()(torvi_vcam_t *c) const { torvi_vcam_destroy(c); }
};
using CamPtr = std::unique_ptr<torvi_vcam_t, CamDeleter>;

int listed(Host &host) {
  libusb_device **list = nullptr;
  const auto n = static_cast<int>(B().get_device_list(host.ctx(), &list));
  B().free_device_list(list, 1);
  return n;
}

TEST(VcamApi, ArgumentsAreChecked) {
  EXPECT_EQ(torvi_vcam_create("no-dashes", 1), nullptr);
  EXPECT_EQ(torvi_vcam_create("A-B", 1), nullptr);
  EXPECT_EQ(torvi_vcam_create("AAAAAAAAA-BBBBBBB-CCCCC", 1), nullptr);  // over 18
  CamPtr cam(torvi_vcam_create("X-E1-2.0.1", 1));
  ASSERT_NE(cam, nullptr);
  EXPECT_EQ(torvi_vcam_set_product(cam.get(), nullptr), -1);
  EXPECT_EQ(torvi_vcam_set_serial(cam.get(), nullptr), -1);
  EXPECT_EQ(torvi_vcam_set_serial(cam.get(), "1234567890123456789"), -1);  // over 18
  EXPECT_EQ(torvi_vcam_set_serial(cam.get(), "123456789012345678"), 0);
  EXPECT_EQ(torvi_vcam_set_frame_rate(cam.get(), 0), -1);
  EXPECT_EQ(torvi_vcam_set_frame_rate(cam.get(), 121), -1);
  EXPECT_EQ(torvi_vcam_set_wall(cam.get(), -5, 0.5), -1);
  EXPECT_EQ(torvi_vcam_add_sphere(cam.get(), 0, 0, 500, 0, 0.5), -1);
  EXPECT_EQ(torvi_vcam_set_upload_block(cam.get(), nullptr, 4), -1);
  EXPECT_EQ(torvi_vcam_fault(cam.get(), 99, 0, 0, 0), -1);
  EXPECT_EQ(torvi_vcam_set_location(cam.get(), 1, 2, 0, 3, 0), -1);
  uint16_t small[4];
  EXPECT_EQ(torvi_vcam_ground_truth(cam.get(), small, 4), -1);
  int not_a_camera = 0;
  EXPECT_EQ(torvi_vcam_plug(reinterpret_cast<torvi_vcam_t *>(&not_a_camera)), -1);
  torvi_vcam_destroy(nullptr);
}

TEST(VcamApi, PlugUnplugAndLocation) {
  CamPtr a(torvi_vcam_create(nullptr, 1)), b(torvi_vcam_create(nullptr, 2));
  ASSERT_EQ(torvi_vcam_set_location(a.get(), 3, 7, 11, LIBUSB_SPEED_HIGH, 0), 0);
  Host host;
  EXPECT_EQ(listed(host), 0);
  ASSERT_EQ(torvi_vcam_plug(a.get()), 0);
  ASSERT_EQ(torvi_vcam_plug(b.get()), 0);
  EXPECT_EQ(torvi_vcam_set_location(a.get(), 3, 7, 12, LIBUSB_SPEED_HIGH, 0), -1);  // plugged
  EXPECT_EQ(listed(host), 2);
  ASSERT_EQ(host.open(7), 0);
  EXPECT_EQ(torvi_vcam_unplug(a.get()), 0);
  EXPECT_EQ(listed(host), 1);
  std::vector<uint8_t> d(63);
  EXPECT_EQ(host.control(0xA2, 0xB0, 0, d).actual, LIBUSB_ERROR_NO_DEVICE);
  b.reset();  // destroying unplugs
  EXPECT_EQ(listed(host), 0);
}

TEST(VcamApi, SceneAndGroundTruth) {
  CamPtr cam(torvi_vcam_create(nullptr, 1));
  const double pinhole[5] = {0, 0, 0, 0, 0};
  ASSERT_EQ(torvi_vcam_set_lens(cam.get(), nullptr, pinhole), 0);
  ASSERT_EQ(torvi_vcam_set_wall(cam.get(), 2000, 0.5), 0);
  ASSERT_EQ(torvi_vcam_add_box(cam.get(), -50, -50, 700, 50, 50, 800, 0.4), 0);
  std::vector<uint16_t> truth(320 * 240);
  ASSERT_EQ(torvi_vcam_ground_truth(cam.get(), truth.data(), static_cast<uint32_t>(truth.size())),
            76800);
  EXPECT_NEAR(truth[122 * 320 + 157], 700, 1);
  EXPECT_NEAR(truth[122 * 320 + 5], 2000 * std::hypot(1.0, (5 - 157.262) / 210.783, 0.0), 2);
  ASSERT_EQ(torvi_vcam_clear_shapes(cam.get()), 0);
  ASSERT_EQ(torvi_vcam_ground_truth(cam.get(), truth.data(), static_cast<uint32_t>(truth.size())),
            76800);
  EXPECT_NEAR(truth[122 * 320 + 157], 2000, 1);
}

TEST(VcamApi, FaultsReachTheDevice) {
  CamPtr cam(torvi_vcam_create(nullptr, 1));
  ASSERT_EQ(torvi_vcam_plug(cam.get()), 0);
  ASSERT_EQ(torvi_vcam_fault(cam.get(), TORVI_VCAM_FAULT_HELD, 1, 0, 0), 0);
  {
    Host host;
    EXPECT_EQ(host.open(), LIBUSB_ERROR_ACCESS);
  }
  ASSERT_EQ(torvi_vcam_fault(cam.get(), TORVI_VCAM_FAULT_CLEAR, 0, 0, 0), 0);
  Host host;
  ASSERT_EQ(host.open(), 0);
  ASSERT_EQ(torvi_vcam_fault(cam.get(), TORVI_VCAM_FAULT_BUSY, 1, 0, 0), 0);
  ASSERT_EQ(torvi_vcam_fail_next(cam.get(), "no calibration"), 0);
  EXPECT_TRUE(host.out(0xC2, 5, {0xC2}));
  EXPECT_EQ(host.status().status, kStatusBusy);
  const Host::Status s = host.status();
  EXPECT_EQ(s.status, kStatusFailed);
  EXPECT_EQ(s.message, "no calibration");
}

TEST(VcamApi, TransferFaultsEndTransfersAtOnce) {
  CamPtr cam(torvi_vcam_create(nullptr, 1));
  ASSERT_EQ(torvi_vcam_set_paced(cam.get(), 0), 0);
  ASSERT_EQ(torvi_vcam_plug(cam.get()), 0);
  Host host;
  ASSERT_EQ(host.open(), 0);
  ASSERT_TRUE(host.out(0xC2, 4, {0, 0, 0, 0}));  // stream start
  ASSERT_EQ(host.status().status, kStatusOk);
  ASSERT_EQ(torvi_vcam_fault(cam.get(), TORVI_VCAM_FAULT_STALL_XFER, 1, 0, 0), 0);
  ASSERT_EQ(torvi_vcam_fault(cam.get(), TORVI_VCAM_FAULT_TIME_OUT, 2, 36, 0), 0);
  Streamer s(host, 4, 4096, 10000);
  s.resubmit = false;
  s.submit_all();
  for (int i = 0; i < 10 && s.statuses.size() < 4; ++i) s.pump(20);
  ASSERT_EQ(s.statuses.size(), 4u);
  EXPECT_EQ(s.statuses[0], LIBUSB_TRANSFER_STALL);
  EXPECT_EQ(s.statuses[1], LIBUSB_TRANSFER_TIMED_OUT);
  EXPECT_EQ(s.statuses[2], LIBUSB_TRANSFER_TIMED_OUT);
  EXPECT_EQ(s.lengths[1], 36);  // 36 bytes of the stream each
  EXPECT_EQ(s.lengths[2], 36);
  EXPECT_EQ(s.statuses[3], LIBUSB_TRANSFER_COMPLETED);
  EXPECT_EQ(s.lengths[3], 4096);
  // CLEAR removes pending transfer faults too.
  ASSERT_EQ(torvi_vcam_fault(cam.get(), TORVI_VCAM_FAULT_TIME_OUT, 5, 0, 0), 0);
  ASSERT_EQ(torvi_vcam_fault(cam.get(), TORVI_VCAM_FAULT_CLEAR, 0, 0, 0), 0);
  ASSERT_EQ(s.submit(0), 0);
  for (int i = 0; i < 10 && s.statuses.size() < 5; ++i) s.pump(20);
  ASSERT_EQ(s.statuses.size(), 5u);
  EXPECT_EQ(s.statuses[4], LIBUSB_TRANSFER_COMPLETED);
}

TEST(VcamApi, EnableBindsTheVirtualBusForTheTransport) {
  ASSERT_EQ(torvi_vcam_enable(1), 0);
  EXPECT_STREQ(usb::active_backend().name, "virtual");
  EXPECT_EQ(&usb::active_backend(), &usb_backend_virtual());
  ASSERT_EQ(torvi_vcam_enable(0), 0);
  EXPECT_STRNE(usb::active_backend().name, "virtual");
}

}  // namespace
}  // namespace torvi::vcam::test

namespace torvi::vcam::test {
namespace {

TEST_F(BusFixture, CamerasOwnedByTheCallerShareTheBus) {
  auto mine = std::make_shared<Camera>();
  VirtualBus::instance().attach(mine);
  Host host;
  ASSERT_EQ(host.open(), 0);
  EXPECT_TRUE(host.reg_write(1, 9, {4}));
  EXPECT_EQ(mine->reg(1, 9), 4u);
  VirtualBus::instance().detach(mine.get());
  EXPECT_FALSE(mine->attached());
}

}  // namespace
}  // namespace torvi::vcam::test
