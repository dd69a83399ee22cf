// libusb semantics of the virtual binding.
#include <algorithm>
#include <thread>

#include "host.h"

namespace torvi::vcam::test {
namespace {

constexpr int kLen = 153600;

class Emulation : public BusFixture {
 protected:
  void open(CameraConfig cfg = {}) {
    cam = plug(std::move(cfg));
    ASSERT_EQ(host.open(), 0);
  }
  void start() {
    ASSERT_TRUE(host.out(0xC2, 4, {0, 0, 0, 0}));
    ASSERT_EQ(host.status().status, kStatusOk);
  }
  static CameraConfig unpaced() {
    CameraConfig cfg;
    cfg.stream.paced = false;
    return cfg;
  }
  CameraPtr cam;
  Host host;
};

size_t count(const std::vector<libusb_transfer_status> &v, libusb_transfer_status s) {
  return static_cast<size_t>(std::count(v.begin(), v.end(), s));
}

TEST_F(Emulation, CompletionsRunOnlyInsideEventHandlingOnItsThread) {
  open(unpaced());
  start();
  Streamer s(host, 4, kLen);
  s.resubmit = false;
  s.submit_all();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(s.statuses.empty());  // data is there, but nobody handled events
  std::thread::id event_thread;
  std::thread t([&] {
    event_thread = std::this_thread::get_id();
    s.collect(4 * kLen, 3000);
  });
  t.join();
  ASSERT_EQ(s.statuses.size(), 4u);
  EXPECT_EQ(s.callback_thread, event_thread);
  for (int len : s.lengths) EXPECT_EQ(len, kLen);  // unpaced: every transfer full
}

TEST_F(Emulation, EveryCancelEndsInExactlyOneCancelledCompletion) {
  open();
  Streamer s(host, 16, kLen, 0);  // not streaming: they would wait for ever
  s.resubmit = false;
  s.submit_all();
  s.pump(20);
  EXPECT_TRUE(s.statuses.empty());
  EXPECT_EQ(usb_virtual_in_flight(host.ctx()), 16);
  int cancelled = 0;
  std::thread other([&] { cancelled = s.cancel_all(); });  // cancel from any thread
  other.join();
  EXPECT_EQ(cancelled, 16);
  EXPECT_EQ(s.cancel_all(), 0);  // already being cancelled
  for (int i = 0; i < 5; ++i) s.pump(10);
  EXPECT_EQ(s.statuses.size(), 16u);
  EXPECT_EQ(count(s.statuses, LIBUSB_TRANSFER_CANCELLED), 16u);
  EXPECT_EQ(usb_virtual_in_flight(host.ctx()), 0);
  EXPECT_EQ(B().cancel_transfer(s.transfer(0)), LIBUSB_ERROR_NOT_FOUND);
}

TEST_F(Emulation, TimeOutCarriesThePartialData) {
  open(unpaced());
  DeviceFaults f;
  f.silent_after_bytes = 1000;
  cam->set_faults(f);
  start();
  Streamer s(host, 2, kLen, 80);
  s.resubmit = false;
  s.submit_all();
  const auto t0 = Clock::now();
  while (s.statuses.size() < 2 && Clock::now() - t0 < std::chrono::seconds(3)) s.pump(20);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(80));
  ASSERT_EQ(s.statuses.size(), 2u);
  EXPECT_EQ(s.statuses[0], LIBUSB_TRANSFER_TIMED_OUT);
  EXPECT_EQ(s.lengths[0], 1000);
  EXPECT_EQ(s.statuses[1], LIBUSB_TRANSFER_TIMED_OUT);
  EXPECT_EQ(s.lengths[1], 0);
  // The stream goes on where it stopped.
  cam->resume_sending();
  s.resubmit = true;
  ASSERT_EQ(s.submit(0), 0);
  s.collect(1000 + kLen, 2000);
  EXPECT_EQ(s.statuses.back(), LIBUSB_TRANSFER_COMPLETED);
  EXPECT_EQ(get_le16(s.data.data()), 0x98FB);
  EXPECT_EQ(get_le32(s.data.data() + 4), 61440u);  // first chunk's length
}

TEST_F(Emulation, InjectedTimeOutsEndAtOnceWithTheirPartialData) {
  open(unpaced());
  DeviceFaults f;
  f.time_out_transfers = 2;
  f.time_out_partial_bytes = 700;
  cam->set_faults(f);
  start();
  // The transfers' own time-out is 10 s: the injected ones must not wait for it.
  Streamer s(host, 3, kLen, 10000);
  s.resubmit = false;
  s.submit_all();
  const auto t0 = Clock::now();
  for (int i = 0; i < 10 && s.statuses.size() < 3; ++i) s.pump(20);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  ASSERT_EQ(s.statuses.size(), 3u);
  EXPECT_EQ(s.statuses[0], LIBUSB_TRANSFER_TIMED_OUT);
  EXPECT_EQ(s.statuses[1], LIBUSB_TRANSFER_TIMED_OUT);
  EXPECT_EQ(s.statuses[2], LIBUSB_TRANSFER_COMPLETED);
  EXPECT_EQ(s.lengths[0], 700);
  EXPECT_EQ(s.lengths[1], 700);
  EXPECT_EQ(s.lengths[2], kLen);
  EXPECT_EQ(cam->stats().bulk_time_outs, 2u);
  EXPECT_EQ(cam->faults().time_out_transfers, 0u);
  // The partial data is the stream itself: the first chunk header, then the
  // stream goes on without a gap into the completed transfer.
  ASSERT_EQ(s.data.size(), size_t{1400} + kLen);
  EXPECT_EQ(get_le16(s.data.data()), 0x98FB);
  EXPECT_EQ(cam->stats().stream_bytes, size_t{1400} + kLen);
}

TEST_F(Emulation, InjectedTimeOutWithoutDataAndTransferStallsDoNotHalt) {
  open(unpaced());
  DeviceFaults f;
  f.time_out_transfers = 1;
  f.stall_transfers = 2;
  cam->set_faults(f);
  start();
  Streamer s(host, 4, kLen, 10000);
  s.resubmit = false;
  s.submit_all();
  for (int i = 0; i < 10 && s.statuses.size() < 4; ++i) s.pump(20);
  ASSERT_EQ(s.statuses.size(), 4u);
  // Stalls are checked first, then the time-out; neither halts the endpoint.
  EXPECT_EQ(s.statuses[0], LIBUSB_TRANSFER_STALL);
  EXPECT_EQ(s.statuses[1], LIBUSB_TRANSFER_STALL);
  EXPECT_EQ(s.statuses[2], LIBUSB_TRANSFER_TIMED_OUT);
  EXPECT_EQ(s.lengths[2], 0);
  EXPECT_EQ(s.statuses[3], LIBUSB_TRANSFER_COMPLETED);
  EXPECT_EQ(s.lengths[3], kLen);
  EXPECT_EQ(cam->stats().bulk_stalls, 2u);
  EXPECT_EQ(cam->stats().clear_halts, 0u);
}

TEST_F(Emulation, StallPersistsUntilTheHaltIsCleared) {
  open(unpaced());
  DeviceFaults f;
  f.stall_bulk = 1;
  cam->set_faults(f);
  start();
  Streamer s(host, 1, kLen);
  s.resubmit = false;
  s.submit_all();
  s.pump(20);
  ASSERT_EQ(s.statuses.size(), 1u);
  EXPECT_EQ(s.statuses[0], LIBUSB_TRANSFER_STALL);
  ASSERT_EQ(s.submit(0), 0);
  s.pump(20);
  ASSERT_EQ(s.statuses.size(), 2u);
  EXPECT_EQ(s.statuses[1], LIBUSB_TRANSFER_STALL);  // still halted
  ASSERT_EQ(B().clear_halt(host.handle(), 0x81), 0);
  ASSERT_EQ(s.submit(0), 0);
  s.pump(20);
  ASSERT_EQ(s.statuses.size(), 3u);
  EXPECT_EQ(s.statuses[2], LIBUSB_TRANSFER_COMPLETED);
  EXPECT_EQ(cam->stats().clear_halts, 1u);
}

TEST_F(Emulation, UnplugMidTransferEndsEverythingWithNoDevice) {
  open(unpaced());
  DeviceFaults f;
  f.unplug_after_bytes = 5000;
  cam->set_faults(f);
  start();
  Streamer s(host, 3, kLen);
  s.resubmit = false;
  s.submit_all();
  for (int i = 0; i < 3 && s.statuses.size() < 3; ++i) s.pump(20);
  ASSERT_EQ(s.statuses.size(), 3u);
  EXPECT_EQ(count(s.statuses, LIBUSB_TRANSFER_NO_DEVICE), 3u);
  EXPECT_EQ(s.lengths[0], 5000);
  EXPECT_EQ(s.submit(0), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(B().set_configuration(host.handle(), 1), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(B().claim_interface(host.handle(), 1), LIBUSB_ERROR_NO_DEVICE);
  // Plugged in again, it is a new device: the old handle stays dead.
  VirtualBus::instance().attach(cam);
  EXPECT_EQ(B().set_configuration(host.handle(), 1), LIBUSB_ERROR_NO_DEVICE);
  Host again;
  EXPECT_EQ(again.open(), 0);
}

TEST_F(Emulation, UnplugFromAnotherThreadWakesTheEventHandler) {
  open();
  Streamer s(host, 2, kLen, 0);
  s.resubmit = false;
  s.submit_all();
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    VirtualBus::instance().detach(cam.get());
  });
  const auto end = Clock::now() + std::chrono::seconds(3);
  while (s.statuses.size() < 2 && Clock::now() < end) s.pump(20);
  t.join();
  EXPECT_EQ(count(s.statuses, LIBUSB_TRANSFER_NO_DEVICE), 2u);
}

TEST_F(Emulation, PacedFramesEndTheirTransferWithAShortPacket) {
  CameraConfig cfg;
  cfg.frame_rate = 100;
  open(cfg);
  start();
  Streamer s(host, 16, kLen);
  s.submit_all();
  const size_t frame = cam->frame_bytes(0).size();
  s.collect(3 * frame, 3000);
  ASSERT_GE(s.data.size(), 3 * frame);
  // Transfers are full inside a frame and short at its end.
  size_t in_frame = 0;
  for (size_t i = 0; i < s.lengths.size() && i < 15; ++i) {
    in_frame += static_cast<size_t>(s.lengths[i]);
    if (in_frame < frame) {
      EXPECT_EQ(s.lengths[i], kLen) << i;
    }
    if (in_frame == frame) in_frame = 0;
    ASSERT_LE(in_frame, frame);
  }
}

TEST_F(Emulation, FreeingATransferInFlightIsRefused) {
  open();
  Streamer s(host, 1, kLen, 0);
  s.resubmit = false;
  s.submit_all();
  B().free_transfer(s.transfer(0));  // refused: still in flight
  EXPECT_EQ(B().cancel_transfer(s.transfer(0)), 0);
  s.pump(20);
  EXPECT_EQ(s.statuses.size(), 1u);
}

}  // namespace
}  // namespace torvi::vcam::test
