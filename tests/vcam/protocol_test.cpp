// The camera's side of the command protocol, driven through the USB table.
#include <thread>

#include "core/product_string.h"
#include "host.h"

namespace torvi::vcam::test {
namespace {

using Param = Host::Param;

class Protocol : public BusFixture {
 protected:
  void SetUp() override {
    cam = plug();
    ASSERT_EQ(host.open(), 0);
  }
  CameraPtr cam;
  Host host;
};

TEST_F(BusFixture, ListsEveryCameraWithItsIdentityAndDescriptor) {
  CameraConfig a, b;
  a.identity.bus = 1;
  a.identity.port = 3;
  a.identity.address = 5;
  b.identity.bus = 2;
  b.identity.port = 1;
  b.identity.address = 9;
  b.identity.speed = LIBUSB_SPEED_FULL;
  plug(a);
  plug(b);
  Host host;
  libusb_device **list = nullptr;
  ASSERT_EQ(B().get_device_list(host.ctx(), &list), 2);
  EXPECT_EQ(list[2], nullptr);
  libusb_device_descriptor d{};
  ASSERT_EQ(B().get_device_descriptor(list[0], &d), 0);
  EXPECT_EQ(d.idVendor, 0x111B);
  EXPECT_EQ(d.idProduct, 0x1238);
  EXPECT_EQ(B().get_bus_number(list[0]), 1);
  EXPECT_EQ(B().get_port_number(list[0]), 3);
  EXPECT_EQ(B().get_device_address(list[0]), 5);
  EXPECT_EQ(B().get_device_speed(list[0]), LIBUSB_SPEED_HIGH);
  EXPECT_EQ(B().get_bus_number(list[1]), 2);
  EXPECT_EQ(B().get_device_address(list[1]), 9);
  EXPECT_EQ(B().get_device_speed(list[1]), LIBUSB_SPEED_FULL);
  B().free_device_list(list, 1);
  // Unplugged cameras are not listed.
  VirtualBus::instance().cameras()[0]->unplug();
  ASSERT_EQ(B().get_device_list(host.ctx(), &list), 1);
  EXPECT_EQ(B().get_port_number(list[0]), 1);
  B().free_device_list(list, 1);
}

TEST_F(Protocol, StatusQueryReportsLastCommandAndIsNotItselfRecorded) {
  ASSERT_TRUE(host.reg_write(1, 200, {7}));
  Host::Status s = host.status();
  EXPECT_EQ(s.status, kStatusOk);
  EXPECT_EQ(s.t, 0xC2);
  EXPECT_EQ(s.v, 0);
  EXPECT_EQ(s.message, "");
  // A status query shorter than 63 bytes gets what fits.
  EXPECT_EQ(host.in(0xB0, 0, 10).size(), 10u);
  EXPECT_EQ(host.status().t, 0xC2);
}

TEST_F(Protocol, SensorRegistersGiveTheModulationFrequencyTable) {
  std::vector<uint32_t> r(2);
  ASSERT_TRUE(host.reg_read(1, 129, r));
  const uint32_t r129 = r[0], r130 = r[1];
  std::vector<uint32_t> table{36000};
  for (int i = 1; i <= 6; ++i)
    table.push_back((((r130 & 0x1F) + 1) * 4000 >> ((r129 >> 4) & 3)) / (4u << (i - 1)));
  EXPECT_EQ(table, (std::vector<uint32_t>{36000, 24000, 12000, 6000, 3000, 1500, 750}));
  // The divider code in register 133 picks the frequency the stream uses.
  EXPECT_EQ(cam->modulation_khz(), 12000u);
  ASSERT_TRUE(host.reg_write(1, 133, {3}));
  EXPECT_EQ(cam->modulation_khz(), 6000u);
  ASSERT_TRUE(host.reg_write(1, 133, {0}));
  ASSERT_TRUE(host.reg_write(1, 128, {127}));
  EXPECT_EQ(cam->modulation_khz(), 36000u);
  ASSERT_TRUE(host.reg_write(1, 128, {63}));
  EXPECT_EQ(cam->modulation_khz(), 24000u);
}

TEST_F(Protocol, RegisterReadInChunksAndBoardTargets) {
  std::vector<uint32_t> vals(40);
  for (size_t i = 0; i < vals.size(); ++i) vals[i] = 0x1000u * static_cast<uint32_t>(i) + 7;
  ASSERT_TRUE(host.reg_write(2, 100, vals));
  std::vector<uint32_t> back(40);
  ASSERT_TRUE(host.reg_read(2, 100, back));
  EXPECT_EQ(back, vals);
  // Sensor registers are 8 bits wide: a wider value is refused, nothing changes.
  EXPECT_FALSE(host.reg_write(1, 10, {5, 0x100}));
  Host::Status s = host.status();
  EXPECT_EQ(s.status, kStatusFailed);
  EXPECT_NE(s.message.find("too wide"), std::string::npos);
  EXPECT_EQ(cam->reg(1, 10), 0u);
}

TEST_F(Protocol, MalformedCommandsGetFailedStatusAndAMessage) {
  struct Case {
    uint8_t req;
    uint16_t val;
    std::vector<uint8_t> data;
    const char *text;
  };
  const std::vector<Case> cases = {
      {0xC2, 0, {1, 0, 0}, "short header"},
      {0xC2, 0, Host::reg_header(1, 0, 8), "data bytes"},  // no values
      {0xC2, 0,
       [] {
         auto d = Host::reg_header(1, 255, 8);  // registers 255 and 256
         d.resize(d.size() + 8);
         return d;
       }(),
       "out of range"},
      {0xC2, 1, Host::reg_header(1, 0, 6), "bad byte count"},
      {0xC2, 1, Host::reg_header(9, 0, 4), "unknown target"},
      {0xC2, 4, {0, 0}, "want 4"},
      {0xC2, 5, {0x00}, "bad payload"},
      {0xC0, 0, {9, 0, 0, 0}, "unknown target"},
      {0xC0, 3, std::vector<uint8_t>(19, 0), "no whole record"},
      {0xC0, 4, std::vector<uint8_t>(80, 2), "at most 3"},
      {0xC7, 2, {1}, "unknown command"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_TRUE(host.out(c.req, c.val, c.data));  // the data stage is accepted
    const Host::Status s = host.status();
    EXPECT_EQ(s.status, kStatusFailed);
    EXPECT_EQ(s.t, c.req);
    EXPECT_EQ(s.v, c.val & 0xFF);
    EXPECT_NE(s.message.find(c.text), std::string::npos) << s.message;
  }
  // A read phase with nothing requested moves no bytes and fails.
  EXPECT_TRUE(host.in(0xC2, 1, 8).empty());
  EXPECT_EQ(host.status().status, kStatusFailed);
  // A request that is not a class request to an endpoint stalls.
  std::vector<uint8_t> none;
  EXPECT_EQ(host.control(0x40, 0xC2, 0, none).status, LIBUSB_TRANSFER_STALL);
  // The camera still works afterwards.
  EXPECT_TRUE(host.reg_write(1, 20, {1}));
}

TEST_F(Protocol, ParametersInGroupsOfThree) {
  std::vector<Param> ps(7);
  const uint8_t ids[7] = {2, 3, 5, 6, 7, 12, 13};
  for (size_t i = 0; i < 7; ++i) ps[i].id = ids[i];
  ASSERT_TRUE(host.param_get(ps));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(ps[0].value.data()), ps[0].len), "TORVI");
  const std::string product(reinterpret_cast<char *>(ps[1].value.data()), ps[1].len);
  const auto fields = torvi::parse_product(product);
  ASSERT_TRUE(fields.has_value()) << product;
  EXPECT_EQ(fields->chip, "E2");
  EXPECT_EQ(ps[3].len, 8);
  EXPECT_EQ(ps[4].len, 6);
  EXPECT_EQ(get_le16(&ps[4].value[2]), 17);  // chip id
  EXPECT_EQ(get_le16(&ps[4].value[4]), 42);  // wafer id
  EXPECT_EQ(ps[5].len, 4);
  EXPECT_EQ(get_le32(ps[5].value.data()), 30u);
  EXPECT_EQ(ps[6].len, 2);
  EXPECT_EQ(get_le16(ps[6].value.data()), 1000);
}

TEST_F(Protocol, ParameterSetChecksEveryRecordBeforeChangingAny) {
  ASSERT_TRUE(host.param_set({Host::u32_param(12, 15), Host::u32_param(13, 700, 2)}));
  std::vector<Param> ps(2);
  ps[0].id = 12;
  ps[1].id = 13;
  ASSERT_TRUE(host.param_get(ps));
  EXPECT_EQ(get_le32(ps[0].value.data()), 15u);
  EXPECT_EQ(get_le16(ps[1].value.data()), 700);
  // Frame rate 0 in the second record: the first record is not applied either.
  EXPECT_FALSE(host.param_set({Host::u32_param(13, 900, 2), Host::u32_param(12, 0)}));
  EXPECT_NE(host.status().message.find("frame rate"), std::string::npos);
  EXPECT_FALSE(host.param_set({Host::u32_param(3, 1)}));
  EXPECT_NE(host.status().message.find("read-only"), std::string::npos);
  EXPECT_FALSE(host.param_set({Host::u32_param(99, 1)}));
  EXPECT_NE(host.status().message.find("unknown"), std::string::npos);
  ASSERT_TRUE(host.param_get(ps));
  EXPECT_EQ(get_le32(ps[0].value.data()), 15u);
  EXPECT_EQ(get_le16(ps[1].value.data()), 700);
  // Getting an unknown parameter fails at the write phase.
  std::vector<Param> bad(1);
  bad[0].id = 77;
  EXPECT_FALSE(host.param_get(bad));
}

TEST_F(Protocol, ModeTemperaturesAndCalibrationInformation) {
  cam->set_upload_block(std::vector<uint8_t>(1000, 3));
  ASSERT_TRUE(host.param_set({Host::u32_param(0, 9, 1)}));
  EXPECT_EQ(cam->mode(), 9);
  EXPECT_FALSE(host.param_set({Host::u32_param(0, 5, 1)}));
  std::vector<Param> ps(3);
  ps[0].id = 8;
  ps[1].id = 15;
  ps[2].id = 0;
  ASSERT_TRUE(host.param_get(ps));
  EXPECT_EQ(ps[0].value[0], 1);
  EXPECT_EQ(get_le32(&ps[0].value[7]), 1000u);
  EXPECT_EQ(get_le16(&ps[0].value[15]), 3000);
  EXPECT_EQ(static_cast<int16_t>(get_le16(ps[1].value.data())), 361);
  EXPECT_EQ(static_cast<int16_t>(get_le16(&ps[1].value[2])), 341);
  EXPECT_EQ(ps[2].value[0], 9);
}

TEST_F(Protocol, BusyThenDoneAndInjectedFailure) {
  DeviceFaults f;
  f.busy_queries = 2;
  cam->set_faults(f);
  ASSERT_TRUE(host.out(0xC2, 0, [] {
    auto d = Host::reg_header(1, 1, 4);
    d.insert(d.end(), {1, 0, 0, 0});
    return d;
  }()));
  EXPECT_EQ(host.status().status, kStatusBusy);
  EXPECT_EQ(host.status().status, kStatusBusy);
  const Host::Status s = host.status();
  EXPECT_EQ(s.status, kStatusOk);
  EXPECT_EQ(s.t, 0xC2);
  f = {};
  f.fail_next_command = true;
  f.fail_message = "sensor not ready";
  cam->set_faults(f);
  EXPECT_FALSE(host.reg_write(1, 1, {2}));
  EXPECT_EQ(host.status().message, "sensor not ready");
  EXPECT_EQ(cam->reg(1, 1), 1u);  // the failed command changed nothing
  EXPECT_TRUE(host.reg_write(1, 1, {2}));
}

TEST_F(Protocol, UnansweredControlTimesOutOrIsCancelled) {
  DeviceFaults f;
  f.unanswered_controls = 2;
  cam->set_faults(f);
  std::vector<uint8_t> data(63);
  const auto t0 = Clock::now();
  const Completion c = host.control(0xA2, 0xB0, 0, data, 100);
  EXPECT_EQ(c.calls, 1);
  EXPECT_EQ(c.status, LIBUSB_TRANSFER_TIMED_OUT);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(100));

  Completion c2;
  libusb_transfer *t = B().alloc_transfer(0);
  auto *buf = static_cast<uint8_t *>(std::calloc(8 + 63, 1));
  libusb_fill_control_setup(buf, 0xA2, 0xB0, 0, 0, 63);
  libusb_fill_control_transfer(t, host.handle(), buf, record_completion, &c2, 0);
  t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
  ASSERT_EQ(B().submit_transfer(t), 0);
  EXPECT_EQ(B().submit_transfer(t), LIBUSB_ERROR_BUSY);
  timeval tv{0, 30000};
  B().handle_events_timeout_completed(host.ctx(), &tv, nullptr);
  EXPECT_EQ(c2.calls, 0);  // no time-out: it waits for the cancel
  ASSERT_EQ(B().cancel_transfer(t), 0);
  host.wait(c2);
  EXPECT_EQ(c2.calls, 1);
  EXPECT_EQ(c2.status, LIBUSB_TRANSFER_CANCELLED);
  EXPECT_EQ(B().cancel_transfer(t), LIBUSB_ERROR_NOT_FOUND);
  B().free_transfer(t);
  EXPECT_EQ(host.status().status, kStatusOk);  // answered again
}

TEST_F(BusFixture, ResetOfTheUsbInterfaceReenumeratesAtANewAddress) {
  CameraConfig cfg;
  cfg.identity.port = 4;
  cfg.identity.address = 6;
  cfg.identity.address_after_reset = 7;
  // Long enough that the checks of the absence run inside it even on a busy
  // machine; the return is waited for.
  cfg.reset_absence = std::chrono::milliseconds(1000);
  auto cam = plug(cfg);
  Host host;
  ASSERT_EQ(host.open(), 0);
  ASSERT_TRUE(host.out(0xC0, 0, {3, 0, 0, 0}));
  EXPECT_FALSE(cam->attached());
  // The old handle is gone.
  std::vector<uint8_t> data(63);
  EXPECT_EQ(host.control(0xA2, 0xB0, 0, data).actual, LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(B().clear_halt(host.handle(), 0x81), LIBUSB_ERROR_NO_DEVICE);
  libusb_device **list = nullptr;
  EXPECT_EQ(B().get_device_list(host.ctx(), &list), 0);
  B().free_device_list(list, 1);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  ssize_t found = 0;
  while ((found = B().get_device_list(host.ctx(), &list)) == 0 &&
         std::chrono::steady_clock::now() < give_up) {
    B().free_device_list(list, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(found, 1);
  EXPECT_EQ(B().get_port_number(list[0]), 4);
  EXPECT_EQ(B().get_device_address(list[0]), 7);
  B().free_device_list(list, 1);
  Host again;
  ASSERT_EQ(again.open(4), 0);
  EXPECT_TRUE(again.reg_write(1, 3, {1}));
  // Other targets answer through the status query; target 1 resets the sensor.
  ASSERT_TRUE(again.reg_write(1, 133, {7}));
  ASSERT_TRUE(again.out(0xC0, 0, {1, 0, 0, 0}));
  EXPECT_EQ(again.status().status, kStatusOk);
  EXPECT_EQ(cam->reg(1, 133), 1u);
}

TEST_F(BusFixture, OpenAndClaimFaults) {
  CameraConfig cfg;
  auto cam = plug(cfg);
  DeviceFaults f;
  f.held_elsewhere = true;
  cam->set_faults(f);
  Host a;
  EXPECT_EQ(a.open(), LIBUSB_ERROR_ACCESS);
  f = {};
  f.fail_claim_interface0 = true;
  cam->set_faults(f);
  libusb_device **list = nullptr;
  ASSERT_EQ(B().get_device_list(a.ctx(), &list), 1);
  libusb_device_handle *h = nullptr;
  ASSERT_EQ(B().open(list[0], &h), 0);
  B().free_device_list(list, 1);
  EXPECT_EQ(B().claim_interface(h, 0), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(B().claim_interface(h, 1), 0);
  EXPECT_EQ(B().release_interface(h, 0), LIBUSB_ERROR_NOT_FOUND);
  EXPECT_EQ(B().release_interface(h, 1), 0);
  B().close(h);
}

}  // namespace
}  // namespace torvi::vcam::test

namespace torvi::vcam::test {
namespace {

TEST_F(BusFixture, PluggingInAgainPowersUpFromScratch) {
  auto cam = plug();
  {
    Host host;
    ASSERT_EQ(host.open(), 0);
    ASSERT_TRUE(host.reg_write(1, 133, {7}));
    ASSERT_TRUE(host.param_set({Host::u32_param(0, 9, 1), Host::u32_param(17, 0x010203, 3)}));
    std::vector<Host::Param> p17(1);
    p17[0].id = 17;
    ASSERT_TRUE(host.param_get(p17));
    EXPECT_EQ(p17[0].len, 3);
    EXPECT_EQ(get_le16(p17[0].value.data()), 0x0203);
    EXPECT_EQ(p17[0].value[2], 1);
    ASSERT_TRUE(host.out(0xC2, 4, {0, 0, 0, 0}));
    EXPECT_TRUE(cam->streaming());
  }
  VirtualBus::instance().detach(cam.get());
  EXPECT_FALSE(cam->streaming());
  VirtualBus::instance().attach(cam);
  EXPECT_EQ(cam->reg(1, 133), 1u);
  EXPECT_EQ(cam->mode(), 0);
  EXPECT_EQ(cam->modulation_khz(), 12000u);
}

}  // namespace
}  // namespace torvi::vcam::test
