// The command protocol: setup bytes, status checks, chunking, deadlines.
#include <chrono>
#include <cstring>
#include <thread>

#include "ll_test_util.h"

namespace torvi::test {
namespace {

class UsbCmdTest : public FakeLinkTest {
 protected:
  void SetUp() override {
    FakeLinkTest::SetUp();
    ASSERT_TRUE(open());
  }
  // Control transfers other than status queries.
  std::vector<ControlRecord> commands() {
    std::vector<ControlRecord> out;
    for (const auto &c : usb.controls()) {
      if (c.request != 0xB0) out.push_back(c);
    }
    return out;
  }
  size_t status_queries() { return usb.controls().size() - commands().size(); }
};

TEST_F(UsbCmdTest, SetupBytesOfBothDirections) {
  uint8_t out[5] = {1, 2, 3, 4, 5};
  ASSERT_TRUE(torvi_ll_exe_cmd(&ll, 1, 0x1CC, 0x12345, out, 5, 1000));  // cut to 8 and 16 bits
  usb.cam.params[9] = {};
  uint8_t in[20] = {};
  ASSERT_TRUE(torvi_ll_exe_cmd(&ll, 0, 0xC0, 4, in, 20, 1000));
  const auto c = usb.controls();
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0].type, 0x22);
  EXPECT_EQ(c[0].request, 0xCC);
  EXPECT_EQ(c[0].value, 0x2345);
  EXPECT_EQ(c[0].index, 0);
  EXPECT_EQ(c[0].length, 5);
  EXPECT_EQ(c[0].out, std::vector<uint8_t>(out, out + 5));
  EXPECT_EQ(c[1].type, 0xA2);
  EXPECT_EQ(c[1].length, 20);
}

TEST_F(UsbCmdTest, OversizedAndInvalidCommandsAreRefused) {
  std::vector<uint8_t> big(65536);
  LogCapture log;
  EXPECT_FALSE(torvi_ll_exe_cmd(&ll, 1, 0xC0, 3, big.data(), 65536, 1000));
  EXPECT_FALSE(torvi_ll_exe_cmd(&ll, 1, 0xC0, 3, big.data(), -1, 1000));
  EXPECT_FALSE(torvi_ll_exe_cmd(&ll, 1, 0xC0, 3, nullptr, 4, 1000));
  EXPECT_TRUE(usb.controls().empty());
  EXPECT_EQ(log.count("[usb_ll_exe_cmd] bad command data"), 3u);
  // The largest command still goes.
  EXPECT_TRUE(torvi_ll_exe_cmd(&ll, 1, 0xC0, 3, big.data(), 65535, 1000));
}

TEST_F(UsbCmdTest, RegisterReadGoesInChunksOfSixteen) {
  for (uint32_t r = 0; r < 40; ++r) usb.cam.regs[100 + r] = 0xA0000000u + r;
  uint32_t vals[41];
  vals[40] = 0xDEADBEEF;
  ASSERT_TRUE(torvi_ll_reg_read(&ll, 0x101, 100, vals, 40));  // target cut to 8 bits
  for (uint32_t r = 0; r < 40; ++r) EXPECT_EQ(vals[r], 0xA0000000u + r) << r;
  EXPECT_EQ(vals[40], 0xDEADBEEFu);
  const auto c = usb.controls();
  ASSERT_EQ(c.size(), 12u);  // per chunk: header, status, data, status
  const uint32_t bases[3] = {100, 116, 132};
  const uint16_t sizes[3] = {64, 64, 32};
  for (int k = 0; k < 3; ++k) {
    const ControlRecord &hdr = c[4 * k];
    ASSERT_EQ(hdr.out.size(), 7u);
    EXPECT_EQ(hdr.request, 0xC2);
    EXPECT_EQ(hdr.value, 1);
    EXPECT_EQ(hdr.out[0], 1);
    uint32_t base;
    std::memcpy(&base, &hdr.out[1], 4);
    EXPECT_EQ(base, bases[k]);
    EXPECT_EQ(hdr.out[5] | hdr.out[6] << 8, sizes[k]);
    EXPECT_EQ(c[4 * k + 1].request, 0xB0);
    EXPECT_EQ(c[4 * k + 2].type, 0xA2);
    EXPECT_EQ(c[4 * k + 2].length, sizes[k]);
    EXPECT_EQ(c[4 * k + 3].request, 0xB0);
  }
  usb.cam.regs.clear();
  EXPECT_TRUE(torvi_ll_reg_read(&ll, 0, 0, nullptr, 0));
  EXPECT_EQ(usb.controls().size(), 12u);
}

TEST_F(UsbCmdTest, RegisterWriteIsOneTransfer) {
  std::vector<uint32_t> vals(40);
  for (uint32_t i = 0; i < 40; ++i) vals[i] = i * 7919u;
  ASSERT_TRUE(torvi_ll_reg_write(&ll, 2, 500, vals.data(), 40));
  const auto cmds = commands();
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(cmds[0].length, 7 + 160);
  EXPECT_EQ(cmds[0].value, 0);
  for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(usb.cam.regs[500 + i], i * 7919u);
  EXPECT_EQ(status_queries(), 1u);
}

TEST_F(UsbCmdTest, ParameterGetGoesInGroupsOfThree) {
  torvi_ll_param_t recs[7];
  std::memset(recs, 0x77, sizeof recs);
  for (uint8_t i = 0; i < 7; ++i) {
    recs[i].id = static_cast<uint8_t>(10 + i);
    usb.cam.params[static_cast<uint8_t>(10 + i)] =
        std::vector<uint8_t>(i + 1u, static_cast<uint8_t>(i));
  }
  ASSERT_TRUE(torvi_ll_param_get(&ll, recs, 7));
  for (uint8_t i = 0; i < 7; ++i) {
    EXPECT_EQ(recs[i].id, 10 + i);
    EXPECT_EQ(recs[i].len, i + 1);
    EXPECT_EQ(recs[i].val[i], i);
    EXPECT_EQ(recs[i].val[17], 0);  // cleared before the request
  }
  const auto cmds = usb.controls();
  ASSERT_EQ(cmds.size(), 12u);
  const uint16_t sizes[3] = {60, 60, 20};
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(cmds[4 * k].length, sizes[k]);
    EXPECT_EQ(cmds[4 * k].out[1], 0);  // the length byte goes out cleared
    EXPECT_EQ(cmds[4 * k + 2].length, sizes[k]);
  }
  EXPECT_TRUE(torvi_ll_param_get(&ll, recs, 0));
  EXPECT_EQ(usb.controls().size(), 12u);
}

TEST_F(UsbCmdTest, ParameterSetIsOneTransfer) {
  torvi_ll_param_t recs[4] = {};
  for (uint8_t i = 0; i < 4; ++i) recs[i] = {static_cast<uint8_t>(20 + i), 2, {i, 9}};
  ASSERT_TRUE(torvi_ll_param_set(&ll, recs, 4));
  ASSERT_EQ(commands().size(), 1u);
  EXPECT_EQ(commands()[0].length, 80);
  EXPECT_EQ(usb.cam.params[23], (std::vector<uint8_t>{3, 9}));
}

TEST_F(UsbCmdTest, BusyStatusIsQueriedAgain) {
  usb.cam.busy_queries = 2;
  EXPECT_TRUE(torvi_ll_dev_reset(&ll, 0));
  EXPECT_EQ(status_queries(), 3u);
  const auto cmds = commands();
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(cmds[0].request, 0xC0);
  EXPECT_EQ(cmds[0].out, (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST_F(UsbCmdTest, MismatchingStatusPairFailsEvenOnSuccess) {
  usb.cam.wrong_tv_once = true;
  uint32_t v = 5;
  LogCapture log;
  EXPECT_FALSE(torvi_ll_reg_write(&ll, 0, 1, &v, 1));
  EXPECT_TRUE(
      log.has("[usb_ll_check_last_cmd]  last cmd (t=194,v=1) is not as expect(t=194,v=0)\r\n"));
}

TEST_F(UsbCmdTest, FailureMessageIsCutAtSixtyCharacters) {
  usb.cam.fail_next = true;
  usb.cam.fail_message = std::string(60, 'x') + "TAIL";
  uint32_t v = 5;
  LogCapture log;
  EXPECT_FALSE(torvi_ll_reg_write(&ll, 0, 1, &v, 1));
  EXPECT_TRUE(log.has("[usb_ll_check_last_cmd] " + std::string(60, 'x') + "\n"));
  EXPECT_FALSE(log.has("TAIL"));

  usb.cam.fail_next = true;
  usb.cam.fail_message = "no such register";
  LogCapture log2;
  EXPECT_FALSE(torvi_ll_reg_write(&ll, 0, 1, &v, 1));
  EXPECT_TRUE(log2.has("[usb_ll_check_last_cmd] no such register\n"));
}

TEST_F(UsbCmdTest, ShortReceiveFailsWithBytesDelivered) {
  for (uint32_t r = 0; r < 4; ++r) usb.cam.regs[r] = 0x11111111u * (r + 1);
  uint32_t vals[4] = {0, 0, 0, 0xCAFEF00D};
  usb.cam.short_receive = 8;
  // The short receive lands on the data phase: header + status come first.
  LogCapture log;
  EXPECT_FALSE(torvi_ll_reg_read(&ll, 0, 0, vals, 4));
  EXPECT_EQ(vals[0], 0x11111111u);
  EXPECT_EQ(vals[1], 0x22222222u);
  EXPECT_TRUE(log.has("[usb_ll_exe_cmd] exe usb cmd failed: **UNKNOWN**\n"));
  EXPECT_TRUE(log.has("[usb_ll_reg_read] read phase failed\n"));
}

TEST_F(UsbCmdTest, UnansweredCommandIsCancelledAfterOneSecond) {
  usb.cam.unanswered = 1;
  uint8_t w[4] = {};
  LogCapture log;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(torvi_ll_exe_cmd(&ll, 1, 0xC0, 0, w, 4, 1000));
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  // Not before its time-out; the log lines below tell the cancel at one
  // second from a second wait (an upper bound in time would fail on a busy
  // machine, so it is only a generous one).
  EXPECT_GE(ms, 990);
  EXPECT_LT(ms, 20000);
  EXPECT_TRUE(log.has("[usb_ll_exe_cmd] contrl trans timeout , cancel it\n"));
  EXPECT_TRUE(log.has("[usb_ll_exe_cmd] exe usb cmd failed: LIBUSB_ERROR_IO\n"));
  EXPECT_FALSE(log.has("control transfer timeout !"));
  // The link still works.
  EXPECT_TRUE(torvi_ll_dev_reset(&ll, 1));
}

TEST_F(UsbCmdTest, LongerTransferTimeOutMovesTheCancel) {
  usb.cam.unanswered = 1;
  uint8_t w[4] = {};
  LogCapture log;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(torvi_ll_exe_cmd(&ll, 1, 0xCC, 1, w, 4, 1500));
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_GE(ms, 1490);
  EXPECT_LT(ms, 20000);
  EXPECT_EQ(log.count("contrl trans timeout , cancel it"), 1u);
}

TEST_F(UsbCmdTest, RegisterWriteBeyondOneTransferIsRefused) {
  std::vector<uint32_t> vals(16383);
  LogCapture log;
  EXPECT_FALSE(torvi_ll_reg_write(&ll, 0, 0, vals.data(), 16383));  // 7 + 65532 bytes
  EXPECT_TRUE(usb.controls().empty());
  EXPECT_TRUE(log.has("[usb_ll_exe_cmd] bad command data: 65539 bytes"));
  EXPECT_TRUE(torvi_ll_reg_write(&ll, 0, 0, vals.data(), 16382));
}

TEST_F(UsbCmdTest, GivenUpCommandsLateCompletionIsHarmless) {
  const int base = usb.live_transfers();
  usb.cam.unanswered = 1;
  usb.cam.late_after_cancel = true;
  uint8_t w[4] = {};
  LogCapture log;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(torvi_ll_exe_cmd(&ll, 0, 0xC0, 4, w, 4, 1000));
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_GE(ms, 1990);
  EXPECT_TRUE(log.has("[usb_ll_exe_cmd] control transfer timeout !\n"));
  EXPECT_TRUE(log.has("[usb_ll_exe_cmd] exe usb cmd failed: LIBUSB_ERROR_TIMEOUT\n"));
  EXPECT_EQ(usb.live_transfers(), base + 1);  // still libusb's
  // The late completion writes into the transfer's own buffer, then frees it.
  ASSERT_TRUE(usb.release_held_control(4, LIBUSB_TRANSFER_COMPLETED));
  for (int i = 0; i < 4000 && usb.live_transfers() != base; ++i) torvi::sleep_ms(5);
  EXPECT_EQ(usb.live_transfers(), base);
  EXPECT_EQ(priv()->cmd_abandoned.load(), 1u);
  torvi_ll_dev_close(&ll);
  EXPECT_EQ(usb.freed_in_flight(), 0);
  EXPECT_EQ(usb.live_transfers(), 0);
}

TEST_F(UsbCmdTest, CloseWaitsForAGivenUpCommand) {
  usb.cam.unanswered = 1;
  usb.cam.late_after_cancel = true;
  uint8_t w[4] = {};
  EXPECT_FALSE(torvi_ll_exe_cmd(&ll, 1, 0xC0, 0, w, 4, 1000));
  std::thread late([&] {
    torvi::sleep_ms(300);
    usb.release_held_control(0, LIBUSB_TRANSFER_CANCELLED);
  });
  torvi_ll_dev_close(&ll);  // must not free the context under the transfer
  late.join();
  EXPECT_EQ(ll.priv, nullptr);
  EXPECT_EQ(usb.freed_in_flight(), 0);
  EXPECT_EQ(usb.live_transfers(), 0);
  EXPECT_EQ(usb.live_contexts(), 0);
}

TEST_F(UsbCmdTest, ResetOfTheUsbInterfaceReopensTheLink) {
  LogCapture log;
  EXPECT_FALSE(torvi_ll_dev_reset(&ll, 3));
  ASSERT_NE(ll.priv, nullptr);
  EXPECT_EQ(usb.cam.resets, 1u);
  EXPECT_EQ(status_queries(), 0u);  // no status check after target 3
  EXPECT_TRUE(log.has("[usb_ll_dev_reset] Reset usb if (timeout = 3000 ms) ...\n"));
  EXPECT_TRUE(log.has("[usb_ll_dev_reset] Reset usb if end. \n"));
  EXPECT_FALSE(log.has("reopen device failed"));
  EXPECT_EQ(usb.open_handles(), 1);
  uint8_t w[4] = {};
  EXPECT_TRUE(torvi_ll_exe_cmd(&ll, 1, 0xC0, 0, w, 4, 1000));
}

TEST_F(UsbCmdTest, CommandsOnAClosedLinkFail) {
  torvi_ll_dev_close(&ll);
  uint32_t v = 0;
  LogCapture log;
  EXPECT_FALSE(torvi_ll_reg_read(&ll, 0, 0, &v, 1));
  EXPECT_FALSE(torvi_ll_check_last_cmd(&ll, 0xC2, 0));
  EXPECT_EQ(log.count("USB handler Is NULL!"), 2u);
}

}  // namespace
}  // namespace torvi::test
