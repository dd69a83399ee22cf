// Driver registry, the TI entry and the capture error names.
#include <gtest/gtest.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_drv.h>
#include <torvi/torvi_log.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "drivers/registry_internal.h"

namespace {

torvi_drv_t *find_for(const char *product) {
  torvi_dev_t dev{};
  std::snprintf(dev.product, sizeof dev.product, "%s", product);
  return torvi_drv_find(&dev);
}

std::string console_of(const char *product, torvi_drv_t **out) {
  kx_log_enable(0, KX_LOG_TRC, nullptr);
  ::testing::internal::CaptureStdout();
  *out = find_for(product);
  std::fflush(stdout);
  std::string text = ::testing::internal::GetCapturedStdout();
  kx_log_enable(0, KX_LOG_WRN, nullptr);
  return text;
}

TEST(Registry, FourEntriesInSearchOrder) {
  auto reg = torvi::driver_registry();
  ASSERT_EQ(reg.size(), 4u);
  const char *ids[] = {"T0", "E1", "E2", "E3"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_STREQ(reg[i].id, ids[i]);
    EXPECT_STREQ(reg[i].name, i == 0 ? "TI OP8241 chip driver" : "EPC chip driver");
    EXPECT_EQ(reg[i].ops, i == 0 ? &g_torvi_driver_op_ti : &g_torvi_driver_op_epc);
  }
}

TEST(Registry, MiddleFieldSelectsTheEntry) {
  auto reg = torvi::driver_registry();
  EXPECT_EQ(find_for("ABC-E2-2.0"), &reg[2]);
  EXPECT_EQ(find_for("X-E1-1"), &reg[1]);
  EXPECT_EQ(find_for("X-E3-1"), &reg[3]);
  EXPECT_EQ(find_for("VCAM-T0-1.0"), &reg[0]);
  EXPECT_EQ(find_for("ABC-E4-2.0"), nullptr);
  EXPECT_EQ(find_for("ABC-e1-2.0"), nullptr);
  EXPECT_EQ(find_for("ABC-E1 -2.0"), nullptr);
  EXPECT_EQ(find_for("-E1-2.0"), nullptr);  // empty first field
  // A first field of 17 characters ends the scan before the middle field.
  EXPECT_EQ(find_for("ABCDEFGHIJKLMNOPQ-E1-2"), nullptr);
  EXPECT_EQ(find_for("ABCDEFGHIJKLMNOP-E1-2"), &reg[1]);
  EXPECT_EQ(torvi_drv_find(nullptr), nullptr);
}

TEST(Registry, ProductFillingTheWholeFieldIsReadSafely) {
  torvi_dev_t dev{};
  std::memset(dev.product, 'A', sizeof dev.product);  // no terminator
  std::memcpy(dev.product, "ABCDEFGHIJKLMNO-E2-", 19);
  EXPECT_EQ(torvi_drv_find(&dev), &torvi::driver_registry()[2]);
}

TEST(Registry, LogsOnlyAMatch) {
  torvi_drv_t *drv = nullptr;
  const std::string hit = console_of("ABC-E2-2.0", &drv);
  EXPECT_NE(hit.find("[torvi_drv_find]  find driver for device ABC-E2-2.0 : EPC chip driver\n"),
            std::string::npos)
      << hit;
  const std::string two_fields = console_of("ABC-E2", &drv);
  EXPECT_EQ(drv, nullptr);
  EXPECT_EQ(two_fields, "");
  const std::string miss = console_of("ABC-E9-1", &drv);
  EXPECT_EQ(drv, nullptr);
  EXPECT_EQ(miss, "");
}

TEST(TiDriver, TableSlots) {
  const torvi_drv_ops_t &ti = g_torvi_driver_op_ti;
  torvi_drv_t drv{"ti", "T0", &ti, nullptr, nullptr};
  torvi_dev_t dev{};
  EXPECT_TRUE(ti.init(&drv, &dev));
  EXPECT_EQ(drv.dev, &dev);
  EXPECT_EQ(ti.lens_param_get, nullptr);
  EXPECT_EQ(ti.filter_enable, nullptr);
  EXPECT_EQ(ti.filter_disable, nullptr);
  for (auto *slot : ti.empty) EXPECT_EQ(slot, nullptr);
  EXPECT_EQ(ti.reserved5(&drv), 0);
  EXPECT_EQ(ti.reserved8(&drv), 1);
  EXPECT_EQ(ti.calib_save(&drv, nullptr, 0, 2), 0);
  EXPECT_EQ(ti.config_reset(&drv, nullptr, 7, 2), 7);
}

TEST(TiDriver, FrameInfoFromTheHeader) {
  torvi_frame_hdr_t hdr{};
  hdr.frlen = 307200;
  hdr.fridx = 0xBEEF;
  hdr.frfmt = 17;
  hdr.width = 11;  // the TI frame size is fixed
  torvi_frame_info_t info;
  std::memset(&info, 0x5A, sizeof info);
  ASSERT_TRUE(g_torvi_driver_op_ti.frame_get_info(nullptr, &info, &hdr));
  EXPECT_EQ(info.frame_size, 307200u);
  EXPECT_EQ(info.frame_idx, 0xBEEF);
  EXPECT_EQ(info.frame_format, 17);
  EXPECT_EQ(info.width, 320u);
  EXPECT_EQ(info.height, 240u);
  EXPECT_EQ(info.pixel_bytes, 4);
  EXPECT_EQ(info.reserved0, 0);
  EXPECT_EQ(info.reserved1, 0);
  EXPECT_FALSE(g_torvi_driver_op_ti.frame_get_info(nullptr, nullptr, &hdr));
}

TEST(TiDriver, DecodeWrites16BitValuesAndReturnsBytes) {
  // Three pixels: (amplitude word, phase word).
  const std::vector<uint16_t> src = {0x0123, 0x0000, 0xF456, 0x0800, 0x0FFF, 0xFFFF};
  torvi_frame_info_t info{};
  info.width = 3;
  info.height = 1;
  std::vector<uint16_t> dst(8, 0xAAAA);
  const int dist = g_torvi_driver_op_ti.frame_decode(nullptr, dst.data(), 16, TORVI_DECODE_DIST,
                                                     src.data(), 12, &info);
  EXPECT_EQ(dist, 6);
  EXPECT_EQ(dst[0], 0);
  EXPECT_EQ(dst[1], 1561);  // 2048 / 4096 * 3122.838 mm
  EXPECT_EQ(dst[2], 3122);  // 4095 / 4096 * 3122.838 mm, upper bits ignored
  EXPECT_EQ(dst[3], 0xAAAA);
  const int gray = g_torvi_driver_op_ti.frame_decode(nullptr, dst.data(), 16, TORVI_DECODE_GRAY,
                                                     src.data(), 12, &info);
  EXPECT_EQ(gray, 6);
  EXPECT_EQ(dst[0], 0x123);
  EXPECT_EQ(dst[1], 0x456);
  EXPECT_EQ(dst[2], 0xFFF);
}

TEST(TiDriver, DecodeStopsAtTheSmallestLimit) {
  const std::vector<uint16_t> src(2 * 10, 0x0100);
  std::vector<uint16_t> dst(10, 0xAAAA);
  torvi_frame_info_t info{};
  info.width = 10;
  info.height = 1;
  // Room for 3 pixels (7 bytes rounds down).
  EXPECT_EQ(g_torvi_driver_op_ti.frame_decode(nullptr, dst.data(), 7, TORVI_DECODE_GRAY, src.data(),
                                              40, &info),
            6);
  EXPECT_EQ(dst[3], 0xAAAA);
  // The source holds 2 whole pixels.
  EXPECT_EQ(g_torvi_driver_op_ti.frame_decode(nullptr, dst.data(), 20, TORVI_DECODE_GRAY,
                                              src.data(), 11, &info),
            4);
  info.width = 1;  // the frame holds one pixel
  EXPECT_EQ(g_torvi_driver_op_ti.frame_decode(nullptr, dst.data(), 20, TORVI_DECODE_GRAY,
                                              src.data(), 40, &info),
            2);
  EXPECT_LT(g_torvi_driver_op_ti.frame_decode(nullptr, dst.data(), 20, 3, src.data(), 40, &info),
            0);
  EXPECT_LT(g_torvi_driver_op_ti.frame_decode(nullptr, nullptr, 20, 1, src.data(), 40, &info), 0);
  EXPECT_LT(g_torvi_driver_op_ti.frame_decode(nullptr, dst.data(), 20, 1, nullptr, 40, &info), 0);
}

TEST(ErrorNames, TableAndUnknownValues) {
  EXPECT_STREQ(torvi_error_name(-10), "TORVI_ERR_CAP_UNKNOWN");
  EXPECT_STREQ(torvi_error_name(-8), "TORVI_ERR_CAP_ERROR");
  EXPECT_STREQ(torvi_error_name(-7), "TORVI_ERR_CAP_STALL");
  EXPECT_STREQ(torvi_error_name(-5), "TORVI_ERR_CAP_TIMEOUT");
  EXPECT_STREQ(torvi_error_name(0), "OK");
  EXPECT_STREQ(torvi_error_name(3), "TORVI_ERR_CAP_FRAME_DISCARD");
  for (int v : {-11, -9, -6, -4, -3, -2, -1, 1, 2, 4, 1000, -1000}) {
    EXPECT_STREQ(torvi_error_name(v), "**UNKNOWN**") << v;
  }
}

}  // namespace
