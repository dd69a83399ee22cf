// The virtual camera's flash store, driven through control transfers as a
// host would send them: information, INFO, erase, chunks, acks, reads, the
// restart after firmware, and the C calls that reach the store.
#include <gtest/gtest.h>
#include <torvi/torvi_log.h>
#include <torvi/torvi_vcam.h>

#include <array>
#include <vector>

#include "core/byte_order.h"
#include "core/crc16.h"
#include "vcam/camera.h"

namespace torvi::vcam {
namespace {

constexpr uint8_t kOut = 0x22, kIn = 0xA2;

class Flash : public ::testing::Test {
 protected:
  Flash() {
    CameraConfig c;
    c.product = "VCAM-E2-1.4.3";
    c.reset_absence = std::chrono::milliseconds(100);
    cam = std::make_unique<Camera>(c);
  }
  int out(uint16_t action, std::vector<uint8_t> data) {
    return cam->control(kOut, 0xCC, action, 0, data, now);
  }
  std::vector<uint8_t> in(uint16_t action, size_t n, int *rc = nullptr) {
    std::vector<uint8_t> d(n);
    const int r = cam->control(kIn, 0xCC, action, 0, d, now);
    if (rc != nullptr) *rc = r;
    return d;
  }
  // Verdict on the last command: status byte of the status query.
  uint8_t verdict() {
    std::array<uint8_t, 63> s{};
    cam->control(kIn, 0xB0, 0, 0, s, now);
    return s[0];
  }
  std::vector<uint8_t> info(uint8_t type) {
    std::vector<uint8_t> req(16, 0);
    req[0] = type;
    out(0, req);
    return in(0, 16);
  }
  std::pair<uint32_t, uint8_t> ack() {
    out(4, std::vector<uint8_t>(13, 0));
    const auto a = in(4, 13);
    return {get_le32(a.data()), a[4]};
  }
  void announce(uint8_t type, uint16_t version, uint32_t size) {
    std::vector<uint8_t> a(12, 0);
    a[0] = type;
    put_le16(&a[2], version);
    put_le32(&a[4], size);
    out(1, a);
  }
  void erase(uint8_t type, uint32_t size) {
    std::vector<uint8_t> e(13, 0);
    e[0] = type;
    put_le32(&e[1], size);
    put_le32(&e[5], 1018);
    out(7, e);
  }
  int chunk(const std::vector<uint8_t> &body, int crc_delta = 0) {
    std::vector<uint8_t> c(6 + body.size());
    put_le16(&c[0], static_cast<uint16_t>(crc16_xmodem(body) + crc_delta));
    put_le32(&c[2], static_cast<uint32_t>(body.size()));
    std::copy(body.begin(), body.end(), c.begin() + 6);
    return out(6, c);
  }
  // Announce and erase through to "ready".
  void start_write(uint8_t type, uint16_t version, uint32_t size) {
    announce(type, version, size);
    ASSERT_EQ(verdict(), kStatusOk);
    ASSERT_EQ(ack(), std::make_pair(0u, uint8_t{3}));
    erase(type, size);
    ASSERT_EQ(verdict(), kStatusOk);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(ack().second, 4);
    ASSERT_EQ(ack(), std::make_pair(0u, uint8_t{1}));
  }

  std::unique_ptr<Camera> cam;
  Clock::time_point now = Clock::now();
};

TEST_F(Flash, InformationReportsVersionSizeAndAddressByType) {
  auto r = info(0);
  EXPECT_EQ(r[0], 0);
  EXPECT_EQ(get_le16(&r[2]), 0x0143);  // the product's firmware field
  EXPECT_EQ(get_le32(&r[4]), 32u * 1024);
  EXPECT_EQ(get_le32(&r[8]), 0x08020000u);
  r = info(5);
  EXPECT_EQ(get_le32(&r[4]), kFlashNoData);
  r = info(200);  // unknown type: no data
  EXPECT_EQ(r[0], 200);
  EXPECT_EQ(get_le32(&r[4]), kFlashNoData);
}

TEST_F(Flash, InformationReplyWithoutRequestIsRefused) {
  int rc = 0;
  in(0, 16, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(verdict(), kStatusFailed);
}

TEST_F(Flash, WriteStepsOutOfOrderAreRefused) {
  erase(4, 10);  // no INFO yet
  EXPECT_EQ(verdict(), kStatusFailed);
  EXPECT_EQ(chunk({1, 2, 3}), 9);
  EXPECT_EQ(verdict(), kStatusFailed);
  announce(4, 1, 0);  // empty block
  EXPECT_EQ(verdict(), kStatusFailed);
  announce(4, 1, 5u << 20);  // larger than the slot
  EXPECT_EQ(verdict(), kStatusFailed);
  announce(4, 1, 100);
  EXPECT_EQ(verdict(), kStatusOk);
  erase(4, 99);  // does not match INFO
  EXPECT_EQ(verdict(), kStatusFailed);
  std::vector<uint8_t> a(13);
  EXPECT_EQ(cam->control(kIn, 0xCC, 4, 0, a, now), 0);  // ack without request
  EXPECT_EQ(verdict(), kStatusFailed);
}

TEST_F(Flash, ChunksAreCheckedByCrcLengthAndIndex) {
  const std::vector<uint8_t> data(1019, 0xAB);
  start_write(4, 2, 1019);
  EXPECT_TRUE(cam->flash_block(4).version == kFlashErasedVersion && !cam->flash_block(4).valid);
  const std::vector<uint8_t> first(data.begin(), data.begin() + 1018);
  chunk(first, 1);  // bad CRC
  EXPECT_EQ(ack().first, 0u);
  chunk({0xAB});  // wrong length for chunk 0
  EXPECT_EQ(ack().first, 0u);
  chunk(first);
  EXPECT_EQ(ack().first, 1u);
  EXPECT_FALSE(cam->flash_block(4).valid);  // not complete yet
  chunk({0xAB});
  EXPECT_EQ(ack(), std::make_pair(2u, uint8_t{1}));
  const FlashBlock b = cam->flash_block(4);
  EXPECT_TRUE(b.valid);
  EXPECT_EQ(b.version, 2);
  EXPECT_EQ(b.data, data);
  EXPECT_EQ(cam->flash_stats().chunks_refused, 2u);
  EXPECT_EQ(cam->flash_stats().restarts, 0u);
  EXPECT_TRUE(cam->attached(now));
}

TEST_F(Flash, PayloadReadsFollowTheLastInformationRequest) {
  cam->set_flash_block(6, 1, {1, 2, 3, 4, 5});
  info(6);
  std::vector<uint8_t> req(12, 0);
  put_le32(&req[4], 3);
  out(17, req);
  EXPECT_EQ(in(17, 3), (std::vector<uint8_t>{1, 2, 3}));
  put_le32(&req[4], 3);  // only 2 left
  out(17, req);
  EXPECT_EQ(verdict(), kStatusFailed);
  put_le32(&req[4], 2);
  out(17, req);
  int rc = 0;
  in(17, 1, &rc);  // not what was asked for
  EXPECT_EQ(rc, 0);
  info(6);  // starts over
  put_le32(&req[4], 451);
  out(17, req);
  EXPECT_EQ(verdict(), kStatusFailed);
  put_le32(&req[4], 5);
  out(17, req);
  EXPECT_EQ(in(17, 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

TEST_F(Flash, FirmwareTakesEffectAtTheResetAfterItsVerdictIsRead) {
  const std::vector<uint8_t> image(100, 7);
  start_write(0, 0x0215, 100);
  chunk(image);
  EXPECT_EQ(ack().first, 1u);
  EXPECT_EQ(cam->firmware_version(), 0x0143);  // still the old one
  std::vector<uint8_t> target(4, 0);
  ASSERT_EQ(cam->control(kOut, 0xC0, 0, 0, target, now), 4);
  EXPECT_TRUE(cam->attached(now));  // answers the reset's verdict first
  EXPECT_EQ(verdict(), kStatusOk);
  EXPECT_FALSE(cam->attached(now));
  const uint64_t gen = cam->generation(now);
  const auto later = now + std::chrono::milliseconds(150);
  EXPECT_TRUE(cam->attached(later));
  EXPECT_GT(cam->generation(later), gen);
  EXPECT_EQ(cam->firmware_version(), 0x0215);
  EXPECT_EQ(cam->config().product, "VCAM-E2-2.1.5");
  EXPECT_EQ(cam->config().info6[0], 2);
  EXPECT_EQ(cam->config().info6[2], 5);
  EXPECT_EQ(cam->reg(0, 0), 0x00020105u);
  EXPECT_EQ(cam->flash_stats().restarts, 1u);
}

TEST_F(Flash, DataTypesTwoAndThreeRestartAfterTheLastAck) {
  start_write(3, 1, 10);
  chunk(std::vector<uint8_t>(10, 1));
  EXPECT_TRUE(cam->attached(now));
  out(4, std::vector<uint8_t>(13, 0));
  in(4, 13);
  EXPECT_EQ(verdict(), kStatusOk);
  EXPECT_FALSE(cam->attached(now));
  EXPECT_EQ(cam->firmware_version(), 0x0143);
}

TEST_F(Flash, FaultsFireOnceAtTheirChunk) {
  FlashFaults f;
  f.refuse_chunk = 0;
  f.skip_after_chunk = 1;
  cam->set_flash_faults(f);
  start_write(5, 1, 3000);
  const std::vector<uint8_t> c(1018, 3);
  chunk(c);
  EXPECT_EQ(ack().first, 0u);  // refused once
  chunk(c);
  EXPECT_EQ(ack().first, 1u);
  chunk(c);
  EXPECT_EQ(ack().first, 3u);  // skips
  EXPECT_FALSE(cam->flash_faults().refuse_chunk.has_value());
  f = {};
  f.unplug_at_chunk = 2;
  cam->set_flash_faults(f);
  EXPECT_EQ(chunk(std::vector<uint8_t>(964, 3)), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_FALSE(cam->attached(now));
}

TEST(FlashCalls, BlocksAndFaultsThroughTheCInterface) {
  kx_log_enable(0, KX_LOG_OFF, nullptr);
  torvi_vcam_t *cam = torvi_vcam_create("VCAM-E2-1.4.3", 1);
  ASSERT_NE(cam, nullptr);
  EXPECT_EQ(torvi_vcam_firmware_version(cam), 0x0143);
  const uint8_t data[5] = {9, 8, 7, 6, 5};
  EXPECT_EQ(torvi_vcam_set_block(cam, 4, 12, data, 5), 0);
  uint8_t back[8] = {};
  uint16_t version = 0;
  EXPECT_EQ(torvi_vcam_get_block(cam, 4, &version, back, sizeof back), 5);
  EXPECT_EQ(version, 12);
  EXPECT_EQ(back[4], 5);
  EXPECT_EQ(torvi_vcam_erase_block(cam, 4), 0);
  EXPECT_EQ(torvi_vcam_get_block(cam, 4, &version, nullptr, 0), int64_t{0xFFFFFFFF});
  EXPECT_EQ(version, 0xFFFF);
  EXPECT_EQ(torvi_vcam_set_block(cam, 8, 1, data, 5), -1);  // no such type
  EXPECT_EQ(torvi_vcam_set_block(cam, 4, 1, nullptr, 5), -1);
  EXPECT_EQ(torvi_vcam_flash_fault(cam, TORVI_VCAM_FLASH_REFUSE_CHUNK, 3), 0);
  EXPECT_EQ(torvi_vcam_flash_fault(cam, 99, 0), -1);
  EXPECT_EQ(torvi_vcam_flash_fault(nullptr, TORVI_VCAM_FLASH_CLEAR, 0), -1);
  EXPECT_EQ(torvi_vcam_get_block(nullptr, 0, nullptr, nullptr, 0), -1);
  torvi_vcam_destroy(cam);
}

}  // namespace
}  // namespace torvi::vcam
