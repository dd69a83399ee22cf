// Dispatch of the torvi_ll_ calls, enumeration, open and close.
#include <cstring>

#include "ll_test_util.h"

namespace torvi::test {
namespace {

TEST(LlDispatch, NullLinksAndEmptyListsDoNothing) {
  FakeUsb usb;
  usb.devices.push_back(FakeDevice{});
  torvi_ll_t one{};
  EXPECT_EQ(torvi_ll_dev_list(&one, 0), 0);
  EXPECT_EQ(torvi_ll_dev_list(&one, -3), 0);
  EXPECT_EQ(usb.contexts_created(), 0);
  EXPECT_EQ(one.located, 0);

  EXPECT_EQ(torvi_ll_dev_open(nullptr), nullptr);
  EXPECT_EQ(torvi_ll_dev_open_by_fd(nullptr), nullptr);
  torvi_ll_dev_close(nullptr);
  torvi_ll_cap_abort(nullptr);
  uint8_t b[4] = {};
  uint32_t regs[2] = {};
  torvi_ll_param_t rec{};
  EXPECT_FALSE(torvi_ll_exe_cmd(nullptr, 1, 0xC2, 0, b, 4, 1000));
  EXPECT_FALSE(torvi_ll_check_last_cmd(nullptr, 0xC2, 0));
  EXPECT_FALSE(torvi_ll_cap_start(nullptr, 0, nullptr, nullptr));
  EXPECT_FALSE(torvi_ll_cap_stop(nullptr));
  EXPECT_FALSE(torvi_ll_dev_reset(nullptr, 0));
  EXPECT_FALSE(torvi_ll_reg_write(nullptr, 0, 0, regs, 2));
  EXPECT_FALSE(torvi_ll_reg_read(nullptr, 0, 0, regs, 2));
  EXPECT_FALSE(torvi_ll_param_set(nullptr, &rec, 1));
  EXPECT_FALSE(torvi_ll_param_get(nullptr, &rec, 1));
  EXPECT_EQ(usb.contexts_created(), 0);
  EXPECT_TRUE(usb.controls().empty());
}

TEST(LlDispatch, InitAndDebugLevels) {
  EXPECT_TRUE(torvi_ll_init());
  torvi_ll_uninit();
  const unsigned expect[8] = {4, 4, 3, 2, 1, 0, 0, 0};
  for (unsigned level = 0; level < 8; ++level)
    EXPECT_EQ(torvi_ll_set_debug(level), expect[level]) << level;
  EXPECT_EQ(torvi_ll_set_debug(1000), 0u);
  EXPECT_EQ(usb_ll_debug_level(), 0u);
}

TEST(LlDispatch, TableHasSeventeenSlotsAndNullEnd) {
  const auto *slots = reinterpret_cast<void (*const *)()>(&ll_op_usb);
  for (int i = 0; i < 17; ++i) EXPECT_NE(slots[i], nullptr) << i;
  EXPECT_EQ(slots[17], nullptr);
  EXPECT_EQ(reinterpret_cast<const void *>(ll_op_usb.reg_read),
            reinterpret_cast<const void *>(&usb_ll_reg_read));
}

using UsbConnTest = FakeLinkTest;

TEST_F(UsbConnTest, ListStopsAtCapacityAndFillsRecords) {
  usb.devices.clear();
  FakeDevice other;
  other.pid = 0x0001;
  FakeDevice broken;
  broken.desc_rc = LIBUSB_ERROR_IO;
  FakeDevice cam1;
  cam1.bus = 2, cam1.port = 4, cam1.addr = 9, cam1.speed = LIBUSB_SPEED_HIGH;
  FakeDevice cam2;
  cam2.bus = 3, cam2.port = 1, cam2.addr = 5, cam2.speed = LIBUSB_SPEED_FULL;
  usb.devices = {other, broken, cam1, cam2};

  torvi_ll_t list[4];
  std::memset(list, 0xEE, sizeof list);
  LogCapture log;
  ASSERT_EQ(torvi_ll_dev_list(list, 1), 1);
  EXPECT_EQ(list[0].priv, nullptr);
  EXPECT_EQ(list[0].if_type, 0u);
  EXPECT_EQ(list[0].bus, 2);
  EXPECT_EQ(list[0].port, 4);
  EXPECT_EQ(list[0].addr, 9);
  EXPECT_EQ(list[0].speed, LIBUSB_SPEED_HIGH);
  EXPECT_EQ(list[0].ops, &ll_op_usb);
  EXPECT_EQ(list[0].located, 1);
  EXPECT_TRUE(log.has("[usb_ll_dev_list]   Failed to get device desc of device 1\n"));
  EXPECT_TRUE(log.has("[usb_ll_dev_list] probe torvi device (max=1) in 4 usb device\n"));
  EXPECT_TRUE(log.has("[usb_ll_dev_list]   TORVI device (speed=3) found @ 004:002:009,"));
  // The scan stopped at the first match: the second camera was never traced.
  EXPECT_FALSE(log.has("@ 001:003:005"));

  ASSERT_EQ(torvi_ll_dev_list(list, 4), 2);
  EXPECT_EQ(list[1].bus, 3);
  EXPECT_EQ(list[1].speed, LIBUSB_SPEED_FULL);
  EXPECT_EQ(list[2].located, 0);  // cleared, not filled
  EXPECT_EQ(list[3].ops, nullptr);
  EXPECT_EQ(usb.live_contexts(), 0);
}

TEST_F(UsbConnTest, UnlocatedOpenTakesFirstOpenableCameraAndBecomesLocated) {
  usb.devices.clear();
  FakeDevice held;
  held.open_rc = LIBUSB_ERROR_ACCESS;
  held.bus = 1, held.port = 2;
  FakeDevice slow;
  slow.bus = 1, slow.port = 7, slow.addr = 11, slow.speed = LIBUSB_SPEED_FULL;
  usb.devices = {held, slow};
  torvi_ll_set_debug(2);
  LogCapture log;
  ASSERT_TRUE(open());
  EXPECT_EQ(ll.located, 1);
  EXPECT_EQ(ll.port, 7);
  EXPECT_EQ(ll.bus, 1);
  EXPECT_EQ(ll.addr, 11);
  EXPECT_EQ(ll.speed, LIBUSB_SPEED_FULL);
  EXPECT_EQ(ll.ops, &ll_op_usb);
  EXPECT_EQ(usb.last_debug_level(), 3);
  EXPECT_TRUE(log.has(
      "[_usb_ll_dev_open]   failed to open this device: LIBUSB_ERROR_ACCESS, try next ...\n"));
  EXPECT_TRUE(
      log.has("[_usb_ll_dev_open] found torvi device not in HS mode (speed=2) @ 007:001:011\n"));
  torvi_ll_set_debug(5);
}

TEST_F(UsbConnTest, LocatedOpenMatchesBusAndPortNotAddress) {
  usb.devices[0].bus = 2, usb.devices[0].port = 3, usb.devices[0].addr = 40;
  ll.located = 1, ll.bus = 2, ll.port = 3, ll.addr = 7;
  ASSERT_TRUE(open());
  EXPECT_EQ(ll.addr, 40);
  torvi_ll_dev_close(&ll);

  torvi_ll_t elsewhere{};
  elsewhere.located = 1, elsewhere.bus = 2, elsewhere.port = 4;
  EXPECT_EQ(torvi_ll_dev_open(&elsewhere), nullptr);
  EXPECT_EQ(elsewhere.priv, nullptr);
  EXPECT_EQ(elsewhere.ops, nullptr);
  EXPECT_EQ(usb.live_transfers(), 0);
  EXPECT_EQ(usb.live_contexts(), 0);
}

TEST_F(UsbConnTest, NonUsbRecordIsNeverOpenedAndItsCloseIsNoOp) {
  ll.if_type = 1;
  EXPECT_EQ(torvi_ll_dev_open(&ll), nullptr);
  EXPECT_EQ(usb.contexts_created(), 0);
  ll.ops = &ll_op_usb;
  LogCapture log;
  torvi_ll_dev_close(&ll);
  EXPECT_EQ(log.text(), "");
  ll.ops = nullptr;
}

TEST_F(UsbConnTest, ClaimFallsBackToInterfaceOne) {
  usb.devices[0].claim_rc[0] = LIBUSB_ERROR_BUSY;
  ASSERT_TRUE(open());
  torvi_ll_dev_close(&ll);

  usb.devices[0].claim_rc[1] = LIBUSB_ERROR_NOT_FOUND;
  LogCapture log;
  EXPECT_EQ(torvi_ll_dev_open(&ll), nullptr);
  EXPECT_TRUE(log.has("[usb_ll_dev_open] libusb_claim_interface failed: LIBUSB_ERROR_NOT_FOUND\n"));
  EXPECT_EQ(ll.priv, nullptr);
  EXPECT_EQ(usb.open_handles(), 0);
  EXPECT_EQ(usb.live_transfers(), 0);
  EXPECT_EQ(usb.live_contexts(), 0);
}

TEST_F(UsbConnTest, ConfigurationFailureClosesTheLink) {
  usb.devices[0].config_rc = LIBUSB_ERROR_BUSY;
  LogCapture log;
  EXPECT_EQ(torvi_ll_dev_open(&ll), nullptr);
  EXPECT_TRUE(log.has("[usb_ll_dev_open] libusb_set_configuration failed: LIBUSB_ERROR_BUSY\n"));
  EXPECT_EQ(usb.open_handles(), 0);
  EXPECT_EQ(usb.live_contexts(), 0);
}

TEST_F(UsbConnTest, CloseReleasesEverythingAndSecondCloseWarns) {
  ASSERT_TRUE(open());
  EXPECT_EQ(usb.live_transfers(), 16);
  EXPECT_EQ(usb.open_handles(), 1);
  torvi_ll_dev_close(&ll);
  EXPECT_EQ(ll.priv, nullptr);
  EXPECT_EQ(ll.ops, &ll_op_usb);  // kept for a later reopen
  EXPECT_EQ(usb.live_transfers(), 0);
  EXPECT_EQ(usb.open_handles(), 0);
  EXPECT_EQ(usb.live_contexts(), 0);
  LogCapture log;
  torvi_ll_dev_close(&ll);
  EXPECT_TRUE(log.has("[usb_ll_dev_close] device no need to closed!\n"));
  // Reopen through the stored table.
  EXPECT_TRUE(open());
}

TEST_F(UsbConnTest, EventThreadEndsOnHardErrorsOnly) {
  ASSERT_TRUE(open());
  LogCapture log;
  usb.set_events_rc(LIBUSB_ERROR_BUSY);
  // BUSY is survived: a later command still completes.
  uint8_t word[4] = {};
  EXPECT_TRUE(torvi_ll_exe_cmd(&ll, 1, 0xC0, 0, word, 4, 1000));
  for (int i = 0; i < 4000 && !log.has("LIBUSB_ERROR_BUSY"); ++i) torvi::sleep_ms(5);
  EXPECT_TRUE(torvi_ll_exe_cmd(&ll, 1, 0xC0, 0, word, 4, 1000));
  EXPECT_EQ(priv()->evt_running.load(), 1);
  usb.set_events_rc(LIBUSB_ERROR_IO);
  for (int i = 0; i < 4000 && priv()->evt_running.load() != 0; ++i) torvi::sleep_ms(5);
  EXPECT_EQ(priv()->evt_running.load(), 0);
  EXPECT_TRUE(log.has("[_ll_event_loop] libusb reports error: LIBUSB_ERROR_BUSY\n"));
  EXPECT_TRUE(log.has("[_ll_event_loop] libusb reports error: LIBUSB_ERROR_IO\n"));
  EXPECT_TRUE(log.has("[_ll_event_loop] Exit ll event loop...\n"));
}

}  // namespace
}  // namespace torvi::test
