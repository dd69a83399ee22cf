// The EPC driver's operations: frame information, the lens file and its
// scaling, the filter switches, the extended-mode flag and the chip set-up
// it leaves on a camera.
#include <gtest/gtest.h>
#include <torvi/epc_chip.h>
#include <torvi/epc_driver.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_vcam.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "drivers/epc/epc_driver_internal.h"
#include "drivers/epc/lens_param.h"
#include "tests/drivers/epc/vcam_fixture.h"

namespace torvi::test {
namespace {

using epc::kDefaultLens;

// A driver record with a fresh state and no camera.
struct Record {
  Record() {
    st = static_cast<epc_drv_state_t *>(std::calloc(1, sizeof(epc_drv_state_t)));
    st->chip = new epc::Chip();
    st->lens = kDefaultLens;
    epc::state_defaults(*st);
    st->temp_mon_en = 0;
    drv.ops = &g_torvi_driver_op_epc;
    drv.id = "E2";
    drv.priv = st;
  }
  ~Record() { epc::release_state(&drv); }
  torvi_drv_t drv{};
  epc_drv_state_t *st;
};

torvi_frame_hdr_t header(uint32_t len, uint16_t fmt, uint16_t w, uint16_t h) {
  torvi_frame_hdr_t hdr{};
  hdr.frlen = len;
  hdr.fridx = 7;
  hdr.frfmt = fmt;
  hdr.width = w;
  hdr.height = h;
  hdr.sensor_temp = 402;
  hdr.illum_temp = 388;
  return hdr;
}

TEST(EpcFrameInfo, ZeroSizeMeans320By240AndPixelBytesFollow) {
  Record r;
  torvi_frame_info_t fi{};
  torvi_frame_hdr_t hdr = header(320 * 240 * 8, 2, 0, 0);
  ASSERT_TRUE(epc_frame_get_info(&r.drv, &fi, &hdr));
  EXPECT_EQ(fi.width, 320u);
  EXPECT_EQ(fi.height, 240u);
  EXPECT_EQ(fi.pixel_bytes, 8);
  EXPECT_EQ(fi.frame_idx, 7);
  EXPECT_EQ(fi.frame_format, 2);
  EXPECT_EQ(fi.frame_size, 320u * 240 * 8);
  EXPECT_EQ(r.st->t_sensor, 402);
  EXPECT_EQ(r.st->t_ib, 388);
  EXPECT_EQ(r.st->frame_pending, 1);
  EXPECT_EQ(r.st->chip->readout().frame_half_height, 0);
  hdr = header(160 * 120 * 8, 2, 160, 120);
  ASSERT_TRUE(epc_frame_get_info(&r.drv, &fi, &hdr));
  EXPECT_EQ(r.st->chip->readout().frame_width, 160);
  EXPECT_EQ(r.st->chip->readout().frame_half_height, 60);
}

TEST(EpcFrameInfo, CalibrationFramesOfAnyLengthAndWrongLengthsRefused) {
  Record r;
  torvi_frame_info_t fi{};
  torvi_frame_hdr_t hdr = header(12345, 171, 0, 0);
  ASSERT_TRUE(epc_frame_get_info(&r.drv, &fi, &hdr));
  EXPECT_EQ(fi.frame_size, 12345u);
  hdr = header(320 * 240 * 8 + 2, 2, 0, 0);
  fi.width = 99;
  EXPECT_FALSE(epc_frame_get_info(&r.drv, &fi, &hdr));
  const torvi_frame_info_t zero{};
  EXPECT_EQ(std::memcmp(&fi, &zero, sizeof fi), 0);
  EXPECT_FALSE(epc_frame_get_info(nullptr, &fi, &hdr));
}

TEST(EpcLens, TenLinesSetAllButTheHeight) {
  torvi_lens_param_t lens = kDefaultLens;
  const int n = epc::parse_lens_param(
      "160.5 cx\n121\n200.25\n199\n-0.1\n0.2\n0.003 x y\n-0.004\n0.05\n640\n", lens);
  EXPECT_EQ(n, 10);
  EXPECT_DOUBLE_EQ(lens.cx, 160.5);
  EXPECT_DOUBLE_EQ(lens.cy, 121);
  EXPECT_DOUBLE_EQ(lens.fx, 200.25);
  EXPECT_DOUBLE_EQ(lens.fy, 199);
  EXPECT_DOUBLE_EQ(lens.dcoeff[2], 0.003);
  EXPECT_DOUBLE_EQ(lens.dcoeff[4], 0.05);
  EXPECT_EQ(lens.img_w, 640);
  EXPECT_EQ(lens.img_h, 240);  // kept
  // Unreadable tokens keep the value they would replace.
  lens = kDefaultLens;
  EXPECT_EQ(epc::parse_lens_param("abc\n\n1e999\n", lens), 3);
  EXPECT_DOUBLE_EQ(lens.cx, kDefaultLens.cx);
  EXPECT_DOUBLE_EQ(lens.fx, kDefaultLens.fx);
}

TEST(EpcLens, ScaledToADividingSizeOnly) {
  Record r;
  torvi_lens_param_t out{};
  ASSERT_TRUE(epc_lens_param_get(&r.drv, &out, 160, 120));
  EXPECT_NEAR(out.cx, 78.631, 1e-9);
  EXPECT_NEAR(out.cy, 61.0415, 1e-9);
  EXPECT_NEAR(out.fx, 105.3915, 1e-9);
  EXPECT_NEAR(out.fy, 102.4085, 1e-9);
  EXPECT_EQ(out.img_w, 160);
  EXPECT_EQ(out.img_h, 120);
  EXPECT_DOUBLE_EQ(out.dcoeff[0], kDefaultLens.dcoeff[0]);
  EXPECT_FALSE(epc_lens_param_get(&r.drv, &out, 300, 240));
  EXPECT_FALSE(epc_lens_param_get(&r.drv, &out, 0, 240));
  EXPECT_FALSE(epc_lens_param_get(&r.drv, &out, 640, 480));  // larger than the lens
  r.st->lens.img_w = 0;                                      // a lens file with a zero width
  EXPECT_FALSE(epc_lens_param_get(&r.drv, &out, 320, 240));
}

TEST(EpcFilters, EnableAndDisableStoreTheirState) {
  Record r;
  epc_drv_state_t &st = *r.st;
  const torvi_drv_ops_t &ops = g_torvi_driver_op_epc;
  uint16_t v = 123;
  EXPECT_TRUE(ops.filter_enable(&r.drv, TORVI_FILTER_MIN_AMP, &v, sizeof v));
  EXPECT_EQ(st.min_amp, 123);
  st.min_amp_mask = static_cast<uint8_t *>(std::malloc(16));
  st.min_amp_mask_len = 16;
  EXPECT_TRUE(ops.filter_disable(&r.drv, TORVI_FILTER_MIN_AMP));
  EXPECT_EQ(st.min_amp_en, 0);
  EXPECT_EQ(st.min_amp_mask, nullptr);
  v = 40;
  EXPECT_TRUE(ops.filter_enable(&r.drv, TORVI_FILTER_AUTO_INTG, &v, sizeof v));
  EXPECT_EQ(st.auto_intg_en, 1);
  EXPECT_EQ(st.auto_intg_thr, 40);
  EXPECT_TRUE(ops.filter_disable(&r.drv, TORVI_FILTER_AUTO_INTG));
  EXPECT_EQ(st.auto_intg_thr, 0);
  uint8_t level = 3;
  EXPECT_TRUE(ops.filter_enable(&r.drv, TORVI_FILTER_DEPTH_SMOOTH, &level, 1));
  EXPECT_EQ(st.depth_filter_level, 3);
  EXPECT_TRUE(ops.filter_disable(&r.drv, TORVI_FILTER_DEPTH_SMOOTH));
  EXPECT_EQ(st.depth_filter_en, 0);
  EXPECT_EQ(st.depth_filter_level, 0);
  v = 0x1234;
  EXPECT_TRUE(ops.filter_enable(&r.drv, TORVI_FILTER_SYNC_CHECK, &v, sizeof v));
  EXPECT_EQ(st.sync_value, 0x1234);
  EXPECT_TRUE(ops.filter_enable(&r.drv, TORVI_FILTER_LENS_UNDISTORT, nullptr, 0));
  EXPECT_EQ(st.len_calib_en, 1);
  EXPECT_TRUE(ops.filter_enable(&r.drv, 3, nullptr, 0));  // unknown: nothing changes
  testing::internal::CaptureStdout();
  EXPECT_TRUE(ops.filter_enable(&r.drv, TORVI_FILTER_HDR, nullptr, 0));
  EXPECT_TRUE(r.st->chip->is_hdr());
  EXPECT_TRUE(ops.filter_disable(&r.drv, TORVI_FILTER_HDR));
  EXPECT_FALSE(r.st->chip->is_hdr());
  testing::internal::GetCapturedStdout();
  // Pixel calibration without files: refused, state 0; a source of 2 or
  // more is written back as 1 and the stored one is kept.
  uint8_t src = 5;
  st.calib_src = 0;
  EXPECT_FALSE(ops.filter_enable(&r.drv, TORVI_FILTER_PIXEL_CALIB, &src, 1));
  EXPECT_EQ(src, 1);
  EXPECT_EQ(st.calib_src, 0);
  EXPECT_EQ(st.calib_state, 0);
  EXPECT_TRUE(ops.filter_disable(&r.drv, TORVI_FILTER_PIXEL_CALIB));
  EXPECT_EQ(st.calib_state, 1);
  EXPECT_EQ(st.drnu_en, 0);
}

using EpcOnCamera = EpcCameras;

TEST_F(EpcOnCamera, ChipSetUpOnTheCamera) {
  torvi_vcam_plug(camera(1, "VCAM-E2-2.0.1"));
  torvi_dev_t *dev = open_port(1);
  ASSERT_NE(dev, nullptr);
  epc_drv_state_t *st = state_of(dev);
  const epc::Config &c = st->chip->config();
  EXPECT_TRUE(c.ext_mode);  // "2.0.1" starts with 2.0
  EXPECT_EQ(c.chip_type, 23);
  EXPECT_EQ(c.sequencer_version, 9);
  const std::array<uint32_t, 7> table{36000, 24000, 12000, 6000, 3000, 1500, 750};
  EXPECT_EQ(c.modulation_frequencies, table);
  EXPECT_TRUE(c.abs_enabled);
  EXPECT_TRUE(st->chip->delay_line().bypassed);
  EXPECT_TRUE(st->chip->adc().channel_open[2]);
  EXPECT_TRUE(st->chip->adc().channel_open[4]);
  EXPECT_TRUE(st->chip->kalman_temperature().initialised);
  // The registers the chip library wrote are on the camera.
  uint32_t regs[4] = {};
  ASSERT_TRUE(torvi_reg_batch_read(dev, 1, 113, regs, 3));
  EXPECT_EQ(regs[0] + regs[1] + regs[2], 0u);
  ASSERT_TRUE(torvi_reg_batch_read(dev, 1, 174, regs, 1));
  EXPECT_EQ(regs[0], 4u);
  ASSERT_TRUE(torvi_reg_batch_read(dev, 1, 150, regs, 4));
  EXPECT_EQ(regs[1], 4u);                   // column 4 ..
  EXPECT_EQ(regs[2] << 8 | regs[3], 323u);  // .. 323
  // Extended mode loads table set 0.
  EXPECT_EQ(st->chip->table(0).size(), 30u * 320 * 240);
  EXPECT_TRUE(st->chip->table(1).empty());
  // The ABS switch reaches the sensor's bits and reads back.
  testing::internal::CaptureStdout();
  EXPECT_EQ(configEnableABS(0, 32), 0);
  EXPECT_EQ(configIsABS(32), 0);
  EXPECT_EQ(configEnableABS(1, 32), 0);
  EXPECT_EQ(configIsABS(32), 1);
  testing::internal::GetCapturedStdout();
}

TEST_F(EpcOnCamera, FrequencyChangeReachesTheCamera) {
  torvi_vcam_t *cam = camera(1, "VCAM-E2-2.1");
  torvi_vcam_plug(cam);
  torvi_dev_t *dev = open_port(1);
  ASSERT_NE(dev, nullptr);
  EXPECT_FALSE(state_of(dev)->chip->config().ext_mode);
  configSetModulationFrequency(1, 32);
  EXPECT_EQ(configGetModulationFrequency(), 24000);
  uint32_t r133 = 99, r128 = 0;
  ASSERT_TRUE(torvi_reg_batch_read(dev, 1, 133, &r133, 1));
  ASSERT_TRUE(torvi_reg_batch_read(dev, 1, 128, &r128, 1));
  EXPECT_EQ(r133, 0u);
  EXPECT_EQ(r128, 63u);
  // The integration time goes to the camera as parameter 13.
  ASSERT_EQ(configSetIntegrationTime3D(700), 0);
  torvi_param_t p{};
  p.number = 13;
  ASSERT_TRUE(torvi_param_batch_get(dev, &p, 1));
  EXPECT_EQ(p.value[0] | p.value[1] << 8, 700);
}

}  // namespace
}  // namespace torvi::test
