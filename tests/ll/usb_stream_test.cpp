// The ring of streaming transfers: start, completion codes, stop, close.
#include <thread>

#include "ll_test_util.h"

namespace torvi::test {
namespace {

class UsbStreamTest : public FakeLinkTest {
 protected:
  void SetUp() override {
    FakeLinkTest::SetUp();
    ASSERT_TRUE(open());
  }
  bool start() { return torvi_ll_cap_start(&ll, 0x01020304, CbRecorder::cb, &rec); }
  CbRecorder rec;
};

TEST_F(UsbStreamTest, TransfersAreQueuedBeforeTheStartCommand) {
  ASSERT_TRUE(start());
  EXPECT_EQ(usb.pending_bulk(), 16);
  const auto c = usb.controls();
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0].request, 0xC2);
  EXPECT_EQ(c[0].value, 4);
  EXPECT_EQ(c[0].bulk_pending, 16);
  EXPECT_EQ(c[0].out, (std::vector<uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(usb.cam.start_word, 0x01020304u);
  EXPECT_EQ(usb.clear_halts(), 1);
}

TEST_F(UsbStreamTest, CompletionCodesAndResubmission) {
  ASSERT_TRUE(start());
  LogCapture log;
  ASSERT_TRUE(usb.complete_bulk(153600, LIBUSB_TRANSFER_COMPLETED, 0x11));
  ASSERT_TRUE(usb.complete_bulk(1000, LIBUSB_TRANSFER_TIMED_OUT, 0x22));
  ASSERT_TRUE(usb.complete_bulk(0, LIBUSB_TRANSFER_STALL));
  ASSERT_TRUE(usb.complete_bulk(0, LIBUSB_TRANSFER_OVERFLOW));
  ASSERT_TRUE(usb.complete_bulk(0, LIBUSB_TRANSFER_ERROR));
  ASSERT_TRUE(rec.wait_count(5));
  const auto got = rec.got();
  EXPECT_EQ(got[0].code, 0);
  EXPECT_EQ(got[0].len, 153600);
  EXPECT_EQ(got[0].first, 0x11);
  EXPECT_EQ(got[1].code, -5);
  EXPECT_EQ(got[1].len, 1000);  // bytes before the time-out are reported
  EXPECT_EQ(got[1].first, 0x22);
  EXPECT_EQ(got[2].code, -7);
  EXPECT_EQ(got[3].code, -10);
  EXPECT_EQ(got[4].code, -10);
  // Every one was submitted again; the stall also cleared the halt.
  EXPECT_TRUE(usb.wait_pending_bulk(16, 1000));
  EXPECT_EQ(usb.clear_halts(), 2);
  EXPECT_TRUE(log.has("[on_usb_trans_event] trans[0]: txlen=153600, status = 0\n"));
  EXPECT_TRUE(log.has("[on_usb_trans_event] trans[1] timeout (last_tx=1000)\n"));
  EXPECT_TRUE(log.has("[on_usb_trans_event] trans[2] stall (last_tx=0)\n"));
  EXPECT_TRUE(log.has("[on_usb_trans_event] trans[3] error (6) (last_tx=0)\n"));
  EXPECT_TRUE(log.has("[on_usb_trans_event] trans[0] issue: size=153600 \n"));
}

TEST_F(UsbStreamTest, StopEndsEveryTransferOnceWithCancel) {
  ASSERT_TRUE(start());
  LogCapture log;
  ASSERT_TRUE(torvi_ll_cap_stop(&ll));
  ASSERT_TRUE(rec.wait_count(16));
  EXPECT_EQ(rec.count_of(-3), 16u);
  torvi::sleep_ms(20);
  EXPECT_EQ(rec.got().size(), 16u);
  EXPECT_EQ(usb.pending_bulk(), 0);
  EXPECT_FALSE(usb.cam.streaming);
  const auto c = usb.controls();
  ASSERT_GE(c.size(), 4u);
  EXPECT_EQ(c[2].value, 5);
  EXPECT_EQ(c[2].out, (std::vector<uint8_t>{0xC2}));
  EXPECT_EQ(log.count("[usb_ll_cap_stop] trans["), 16u);
  EXPECT_EQ(log.count("cancelled (last_tx=0)"), 16u);
}

TEST_F(UsbStreamTest, FailedStartCancelsAllSixteen) {
  usb.cam.fail_start = true;
  LogCapture log;
  EXPECT_FALSE(start());
  ASSERT_TRUE(rec.wait_count(16));
  EXPECT_EQ(rec.count_of(-3), 16u);
  torvi::sleep_ms(20);
  EXPECT_EQ(usb.pending_bulk(), 0);  // none cycles on after the cancel
  EXPECT_TRUE(log.has("[usb_ll_cap_start] torvi_ll_cap_start failed\n"));
  EXPECT_EQ(log.count("[usb_ll_cap_start] trans[15] cancel: status="), 1u);
}

TEST_F(UsbStreamTest, WithoutCallbackTransfersStillCycle) {
  ASSERT_TRUE(torvi_ll_cap_start(&ll, 0, nullptr, nullptr));
  for (int i = 0; i < 40; ++i)
    ASSERT_TRUE(usb.complete_bulk(100, LIBUSB_TRANSFER_COMPLETED) ||
                usb.wait_pending_bulk(16, 500));
  EXPECT_TRUE(usb.wait_pending_bulk(16, 1000));
}

TEST_F(UsbStreamTest, AbortFromTheCallbackStopsResubmission) {
  rec.abort_on(-10);
  ASSERT_TRUE(start());
  ASSERT_TRUE(usb.complete_bulk(0, LIBUSB_TRANSFER_ERROR));
  ASSERT_TRUE(rec.wait_count(1));
  EXPECT_TRUE(usb.wait_pending_bulk(15, 1000));
  ASSERT_TRUE(usb.complete_bulk(10, LIBUSB_TRANSFER_COMPLETED));
  ASSERT_TRUE(rec.wait_count(2));
  EXPECT_TRUE(usb.wait_pending_bulk(14, 1000));
}

TEST_F(UsbStreamTest, FailedResubmissionDropsOneTransfer) {
  ASSERT_TRUE(start());
  usb.set_bulk_submit_rc(LIBUSB_ERROR_IO);
  LogCapture log;
  ASSERT_TRUE(usb.complete_bulk(10, LIBUSB_TRANSFER_COMPLETED));
  // The data, then the loss of the transfer as an error with no bytes.
  ASSERT_TRUE(rec.wait_count(2));
  EXPECT_EQ(rec.got()[1].code, -10);
  EXPECT_EQ(rec.got()[1].len, 0);
  EXPECT_TRUE(usb.wait_pending_bulk(15, 1000));
  usb.set_bulk_submit_rc(0);
  ASSERT_TRUE(usb.complete_bulk(10, LIBUSB_TRANSFER_COMPLETED));
  ASSERT_TRUE(rec.wait_count(3));
  EXPECT_TRUE(usb.wait_pending_bulk(15, 1000));
  EXPECT_TRUE(log.has("[on_usb_trans_event] Unable to submit URB. libusb error code: -1\n"));
}

TEST_F(UsbStreamTest, UnplugGivesMinusTen) {
  rec.abort_on(-10);
  ASSERT_TRUE(start());
  usb.unplug();
  ASSERT_TRUE(rec.wait_count(16));
  EXPECT_EQ(rec.count_of(-10), 16u);
  EXPECT_EQ(usb.pending_bulk(), 0);
  EXPECT_FALSE(torvi_ll_cap_stop(&ll));
}

TEST_F(UsbStreamTest, CloseRightAfterStopWaitsForEveryCompletion) {
  ASSERT_TRUE(start());
  ASSERT_TRUE(torvi_ll_cap_stop(&ll));
  torvi_ll_dev_close(&ll);
  EXPECT_EQ(rec.count_of(-3), 16u);
  EXPECT_EQ(usb.freed_in_flight(), 0);
  EXPECT_EQ(usb.live_transfers(), 0);
  EXPECT_EQ(usb.live_contexts(), 0);
}

TEST_F(UsbStreamTest, CloseWhileStreamingCancelsFirst) {
  ASSERT_TRUE(start());
  torvi_ll_dev_close(&ll);
  EXPECT_EQ(rec.count_of(-3), 16u);
  EXPECT_EQ(usb.freed_in_flight(), 0);
  EXPECT_EQ(usb.live_transfers(), 0);
}

// Closing or commanding from the streaming callback would wait for the
// thread that runs it: refused with an error instead of a hang.
TEST_F(UsbStreamTest, CloseAndCommandsFromTheCallbackAreRefused) {
  struct Bad {
    static int cb(torvi_ll_t *link, int32_t, uint8_t *, int, void *arg) {
      auto *self = static_cast<Bad *>(arg);
      uint8_t w[4] = {};
      self->cmd_ok = torvi_ll_exe_cmd(link, 1, 0xC0, 0, w, 4, 1000);
      torvi_ll_dev_close(link);
      self->done.store(true);
      return 0;
    }
    bool cmd_ok = true;
    std::atomic<bool> done{false};
  } bad;
  ASSERT_TRUE(torvi_ll_cap_start(&ll, 0, Bad::cb, &bad));
  LogCapture log;
  ASSERT_TRUE(usb.complete_bulk(10, LIBUSB_TRANSFER_COMPLETED));
  for (int i = 0; i < 4000 && !bad.done.load(); ++i) torvi::sleep_ms(5);
  ASSERT_TRUE(bad.done.load());
  EXPECT_FALSE(bad.cmd_ok);
  EXPECT_NE(ll.priv, nullptr);
  EXPECT_TRUE(log.has("[usb_ll_dev_close] called on the link's event thread: refused\n"));
  EXPECT_TRUE(log.has("[usb_ll_exe_cmd] called on the link's event thread: refused\n"));
  EXPECT_TRUE(torvi_ll_cap_stop(&ll));
  torvi_ll_dev_close(&ll);  // drains the last completions while `bad` lives
  EXPECT_EQ(ll.priv, nullptr);
}

TEST_F(UsbStreamTest, RestartAfterStop) {
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(start()) << round;
    ASSERT_TRUE(usb.complete_bulk(64, LIBUSB_TRANSFER_COMPLETED));
    ASSERT_TRUE(rec.wait_count(static_cast<size_t>(round) * 17 + 1));
    ASSERT_TRUE(usb.wait_pending_bulk(16, 1000));  // resubmitted
    ASSERT_TRUE(torvi_ll_cap_stop(&ll));
    ASSERT_TRUE(rec.wait_count(static_cast<size_t>(round + 1) * 17));
  }
  EXPECT_EQ(rec.count_of(0), 3u);
  EXPECT_EQ(rec.count_of(-3), 48u);
}

class UsbStressTest : public UsbStreamTest {
 protected:
  void SetUp() override {
    log_level = KX_LOG_WRN;  // the ring cycles as fast as it can
    UsbStreamTest::SetUp();
  }
};

// Commands from one thread while the ring streams, with repeated start, stop
// and close from another: run under ThreadSanitizer in CI.
TEST_F(UsbStressTest, CommandsWhileStreaming) {
  usb.set_auto_stream(true);
  for (uint32_t r = 0; r < 16; ++r) usb.cam.regs[r] = r;
  usb.cam.params[1] = {7};
  for (int cycle = 0; cycle < 3; ++cycle) {
    ASSERT_TRUE(open() || ll.priv != nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0}, commands{0};
    std::thread cmd([&] {
      while (!done.load()) {
        uint32_t vals[16];
        torvi_ll_param_t p{};
        p.id = 1;
        if (!torvi_ll_reg_read(&ll, 0, 0, vals, 16) || vals[15] != 15) failures.fetch_add(1);
        if (!torvi_ll_param_get(&ll, &p, 1) || p.len != 1 || p.val[0] != 7) failures.fetch_add(1);
        commands.fetch_add(1);
      }
    });
    for (int i = 0; i < 5; ++i) {
      EXPECT_TRUE(start());
      torvi::sleep_ms(5);
      EXPECT_TRUE(torvi_ll_cap_stop(&ll));
    }
    EXPECT_TRUE(start());
    while (commands.load() < 10) torvi::sleep_ms(1);
    done.store(true);
    cmd.join();
    EXPECT_EQ(failures.load(), 0);
    torvi_ll_dev_close(&ll);
    EXPECT_EQ(usb.freed_in_flight(), 0);
    EXPECT_EQ(usb.live_transfers(), 0);
  }
  EXPECT_GT(rec.count_of(0), 0u);
}

}  // namespace
}  // namespace torvi::test
