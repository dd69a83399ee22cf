// The EPC frame decode over a driver state made by the test: formats and
// sizes, row order, the feature switches in their order, gray, and the
// exported kernels.
#include "drivers/epc/epc_decode.h"

#include <gtest/gtest.h>
#include <torvi/epc_decode.h>
#include <torvi/kx_lens.h>
#include <torvi/torvi_log.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "core/test_hooks.h"
#include "drivers/lens_view.h"
#include "epc/chip.h"

namespace torvi::epc {
namespace {

constexpr uint32_t kRange = 12491;
constexpr double kRangeExact = 149896229.0 / 12000.0;

// A 4-DCS frame in raw row order from per-image-pixel distances and amplitudes.
std::vector<uint16_t> make_frame(int w, int h, const std::vector<double> &mm,
                                 const std::vector<double> &amp) {
  const size_t p = static_cast<size_t>(w) * static_cast<size_t>(h);
  std::vector<uint16_t> f(4 * p);
  for (int v = 0; v < h; ++v) {
    const int raw_row = v < h / 2 ? 2 * (h / 2 - 1 - v) : 2 * (v - h / 2) + 1;
    for (int u = 0; u < w; ++u) {
      const size_t i = static_cast<size_t>(v * w + u), q = static_cast<size_t>(raw_row * w + u);
      const double theta = 2 * std::numbers::pi * (std::fmod(mm[i] / kRangeExact, 1.0) - 0.5);
      const auto at = [](double x) { return static_cast<uint16_t>(std::lround(x)); };
      f[q] = at(2048 - amp[i] * std::cos(theta));
      f[p + q] = at(2048 - amp[i] * std::sin(theta));
      f[2 * p + q] = at(2048 + amp[i] * std::cos(theta));
      f[3 * p + q] = at(2048 + amp[i] * std::sin(theta));
    }
  }
  return f;
}

class EpcDecodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    st = static_cast<epc_drv_state_t *>(std::calloc(1, sizeof(epc_drv_state_t)));
    st->min_amp_en = 1;
    st->depth_filter_en = 1;
    st->flypix_en = 1;
    st->min_amp_hyst_en = 1;
    st->flypix_thr = 90000;
    st->min_amp_hyst = 10;
    st->depth_filter_level = 5;
    st->calib_scale = 1000;
    st->range_mm = kRange;
    st->temp_coef = 1.7f;
    st->ib_temp_coef = 0.33765f;
    st->t_sensor = st->t_sensor_cal = 361;
    st->t_ib = st->t_ib_cal = 341;
    drv.name = "EPC chip driver";
    drv.ops = &g_torvi_driver_op_epc;
    drv.priv = st;
  }
  void TearDown() override {
    decode_release(*st);
    kx_calib_len_uninit_map(&st->lens_map);
    std::free(st->min_amp_mask);
    std::free(st);
    kx_log_enable(0, KX_LOG_WRN, nullptr);
  }
  torvi_frame_info_t info(int w, int h, uint16_t format = 2) const {
    torvi_frame_info_t fi{};
    fi.width = static_cast<uint32_t>(w);
    fi.height = static_cast<uint32_t>(h);
    fi.frame_size = static_cast<uint32_t>(8 * w * h);
    fi.frame_format = format;
    return fi;
  }
  int decode(std::vector<uint16_t> &out, const std::vector<uint16_t> &frame, int w, int h,
             int kind = TORVI_DECODE_DIST) {
    out.assign(static_cast<size_t>(w * h), 0xABCD);
    const torvi_frame_info_t fi = info(w, h);
    return epc_frame_decode(&drv, out.data(), static_cast<int>(2 * out.size()), kind, frame.data(),
                            static_cast<unsigned>(2 * frame.size()), &fi);
  }
  template <typename Fn>
  std::string console_of(Fn fn) {
    kx_log_enable(0, KX_LOG_TRC, nullptr);
    ::testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    std::string text = ::testing::internal::GetCapturedStdout();
    kx_log_enable(0, KX_LOG_WRN, nullptr);
    return text;
  }

  epc_drv_state_t *st = nullptr;
  torvi_drv_t drv{};
};

TEST_F(EpcDecodeTest, DistanceComesOutInImageRowOrder) {
  constexpr int kW = 8, kH = 6;
  std::vector<double> mm(kW * kH), amp(kW * kH, 600);
  for (int i = 0; i < kW * kH; ++i) mm[static_cast<size_t>(i)] = 1000 + 100 * (i / kW) + i % kW;
  st->depth_filter_en = 0;
  std::vector<uint16_t> out;
  ASSERT_EQ(decode(out, make_frame(kW, kH, mm, amp), kW, kH), 2 * kW * kH);
  for (size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], mm[i], 5.0) << i;
}

TEST_F(EpcDecodeTest, DefaultChainKeepsAWallAndClipsTheNearEdge) {
  constexpr int kW = 32, kH = 24;
  std::vector<double> mm(kW * kH, 2500), amp(kW * kH, 500);
  std::vector<uint16_t> out;
  ASSERT_EQ(decode(out, make_frame(kW, kH, mm, amp), kW, kH), 2 * kW * kH);
  for (int v = 2; v < kH - 2; ++v)
    for (int u = 2; u < kW - 2; ++u) EXPECT_NEAR(out[static_cast<size_t>(v * kW + u)], 2500, 5);
  // A wall nearer than 100 mm is clipped.
  std::fill(mm.begin(), mm.end(), 60.0);
  ASSERT_EQ(decode(out, make_frame(kW, kH, mm, amp), kW, kH), 2 * kW * kH);
  EXPECT_EQ(out[static_cast<size_t>(12 * kW + 16)], kDistFiltered);
}

TEST_F(EpcDecodeTest, SensorWarmingIsCompensated) {
  constexpr int kW = 8, kH = 4;
  std::vector<double> mm(kW * kH, 3000), amp(kW * kH, 600);
  st->depth_filter_en = 0;
  std::vector<uint16_t> cold, warm;
  ASSERT_GT(decode(cold, make_frame(kW, kH, mm, amp), kW, kH), 0);
  // 1 degree warmer: the sensor reads 17 mm (1.7 mm per tenth) long.
  std::fill(mm.begin(), mm.end(), 3017.0);
  st->t_sensor = 371;
  ASSERT_GT(decode(warm, make_frame(kW, kH, mm, amp), kW, kH), 0);
  for (size_t i = 0; i < cold.size(); ++i) EXPECT_NEAR(warm[i], cold[i], 2) << i;
}

TEST_F(EpcDecodeTest, MinimumAmplitudeHysteresisAcrossFrames) {
  constexpr int kW = 4, kH = 2;
  st->depth_filter_en = 0;
  st->min_amp = 100;
  std::vector<double> mm(kW * kH, 1500);
  const double amps[] = {120, 95, 85, 95, 105};
  const bool passes[] = {true, true, false, false, true};
  for (int f = 0; f < 5; ++f) {
    std::vector<double> amp(kW * kH, amps[f] + 0.4);
    std::vector<uint16_t> out;
    ASSERT_GT(decode(out, make_frame(kW, kH, mm, amp), kW, kH), 0);
    EXPECT_EQ(out[5] != kDistFiltered, passes[f]) << "frame " << f << " got " << out[5];
  }
  // Without hysteresis the threshold alone decides.
  st->min_amp_hyst_en = 0;
  std::vector<double> amp(kW * kH, 95.4);
  std::vector<uint16_t> out;
  ASSERT_GT(decode(out, make_frame(kW, kH, mm, amp), kW, kH), 0);
  EXPECT_EQ(out[5], kDistFiltered);
}

TEST_F(EpcDecodeTest, MinimumAmplitudeJudgesEachPixelByItsOwnAmplitude) {
  // Weak pixels scattered over every row: each one, and only those, is
  // filtered, with and without hysteresis and at every kernel level.
  constexpr int kW = 40, kH = 6;
  st->depth_filter_en = 0;
  st->min_amp = 100;
  std::vector<double> mm(kW * kH, 1500), amp(kW * kH);
  for (size_t i = 0; i < amp.size(); ++i) amp[i] = (i * 7 + i / kW) % 5 == 0 ? 60.4 : 600.4;
  const std::vector<uint16_t> frame = make_frame(kW, kH, mm, amp);
  for (const int hyst : {1, 0}) {
    for (const int isa : {0, 1, 2}) {
      const hooks::ScopedKnob cap(hooks::Knob::kDecodeIsaCap, isa);
      st->min_amp_hyst_en = static_cast<uint8_t>(hyst);
      std::vector<uint16_t> out;
      ASSERT_EQ(decode(out, frame, kW, kH), 2 * kW * kH);
      for (size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i] == kDistFiltered, amp[i] < 100)
            << "pixel " << i << " hysteresis " << hyst << " level " << isa;
    }
  }
}

TEST_F(EpcDecodeTest, HdrTakesTheStrongerRowOfEachPair) {
  constexpr int kW = 4, kH = 4;
  st->depth_filter_en = 0;
  st->hdr_en = 1;
  std::vector<double> mm(kW * kH), amp(kW * kH);
  for (int i = 0; i < kW * kH; ++i) {
    mm[static_cast<size_t>(i)] = 1000 + 500 * (i / kW);
    amp[static_cast<size_t>(i)] = (i / kW) % 2 == 0 ? 300 : 900;
  }
  std::vector<uint16_t> out, gray;
  ASSERT_GT(decode(out, make_frame(kW, kH, mm, amp), kW, kH), 0);
  EXPECT_NEAR(out[0], 1500, 5);   // row 0 takes row 1
  EXPECT_NEAR(out[kW], 1500, 5);  // row 1 keeps its own
  EXPECT_NEAR(out[2 * kW], 2500, 5);
  ASSERT_GT(decode(gray, make_frame(kW, kH, mm, amp), kW, kH, TORVI_DECODE_GRAY), 0);
  EXPECT_NEAR(gray[0], 900, 2);
}

TEST_F(EpcDecodeTest, GrayIsTheAmplitudeInImageOrder) {
  constexpr int kW = 4, kH = 4;
  std::vector<double> mm(kW * kH, 2000), amp(kW * kH);
  for (int i = 0; i < kW * kH; ++i) amp[static_cast<size_t>(i)] = 100 + 50 * i;
  std::vector<uint16_t> frame = make_frame(kW, kH, mm, amp), gray;
  frame[0] = 4095;  // raw pixel 0 is image row 1, column 0: saturated
  ASSERT_EQ(decode(gray, frame, kW, kH, TORVI_DECODE_GRAY), 2 * kW * kH);
  for (size_t i = 0; i < gray.size(); ++i) {
    if (i == kW) {
      EXPECT_EQ(gray[i], 0);
    } else {
      EXPECT_NEAR(gray[i], amp[i], 2) << i;
    }
  }
}

TEST_F(EpcDecodeTest, UndistortionRemapsThroughTheLensMap) {
  constexpr int kW = 320, kH = 240;
  torvi_lens_param_t lens{157.262,
                          122.083,
                          210.783,
                          204.817,
                          {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954},
                          kW,
                          kH};
  ASSERT_EQ(kx_calib_len_init_map(&st->lens_map, &lens), kW * kH);
  std::vector<double> mm(kW * kH), amp(kW * kH, 700);
  for (int i = 0; i < kW * kH; ++i) mm[static_cast<size_t>(i)] = 800 + (i % kW) * 10 + (i / kW);
  const std::vector<uint16_t> frame = make_frame(kW, kH, mm, amp);
  std::vector<uint16_t> plain, undist, expect(kW * kH);
  ASSERT_GT(decode(plain, frame, kW, kH), 0);
  st->len_calib_en = 1;
  ASSERT_GT(decode(undist, frame, kW, kH), 0);
  ASSERT_EQ(
      kx_calib_len_undistort_u16(&st->lens_map, expect.data(), kW * kH, plain.data(), kW, kH, 0),
      1);
  EXPECT_EQ(undist, expect);
  EXPECT_NE(undist, plain);
  EXPECT_TRUE(torvi::drv_undistorts(&drv, kW, kH));
  EXPECT_FALSE(torvi::drv_undistorts(&drv, 160, 120));
}

TEST_F(EpcDecodeTest, WorkBuffersAreKeptFromFrameToFrame) {
  constexpr int kW = 16, kH = 8;
  std::vector<double> mm(kW * kH, 1200), amp(kW * kH, 400);
  const std::vector<uint16_t> frame = make_frame(kW, kH, mm, amp);
  std::vector<uint16_t> out;
  ASSERT_GT(decode(out, frame, kW, kH), 0);
  const uint16_t *a = st->decode->image_a.data(), *b = st->decode->image_b.data();
  const uint8_t *mask = st->min_amp_mask;
  for (int f = 0; f < 3; ++f) ASSERT_GT(decode(out, frame, kW, kH), 0);
  EXPECT_EQ(st->decode->image_a.data(), a);
  EXPECT_EQ(st->decode->image_b.data(), b);
  EXPECT_EQ(st->min_amp_mask, mask);
  // A larger frame replaces the mask with a fresh all-zero one.
  std::vector<double> mm2(2 * kW * kH, 1200), amp2(2 * kW * kH, 400);
  ASSERT_GT(decode(out, make_frame(kW, 2 * kH, mm2, amp2), kW, 2 * kH), 0);
  EXPECT_EQ(st->min_amp_mask_len, 2 * kW * kH);
}

TEST_F(EpcDecodeTest, FormatsAndSizesThatAreNotDistanceFramesAreRefused) {
  constexpr int kW = 320, kH = 240;
  std::vector<uint16_t> frame(4 * kW * kH, 2048), out(kW * kH);
  torvi_frame_info_t fi = info(kW, kH, 171);
  st->frame_pending = 1;
  const std::string log = console_of([&] {
    EXPECT_EQ(epc_frame_decode(&drv, out.data(), 2 * kW * kH, TORVI_DECODE_GRAY, frame.data(),
                               8 * kW * kH, &fi),
              -1);
  });
  EXPECT_NE(log.find("[epc_frame_decode] Calibration data frame,size:614400"), std::string::npos)
      << log;
  EXPECT_EQ(st->frame_pending, 0);
  fi = info(kW, kH, 0);
  EXPECT_EQ(epc_frame_decode(&drv, out.data(), 2 * kW * kH, 1, frame.data(), 8 * kW * kH, &fi), -1);
  fi = info(kW, kH, 8);
  EXPECT_EQ(epc_frame_decode(&drv, out.data(), 2 * kW * kH, 1, frame.data(), 8 * kW * kH, &fi), -1);
  fi = info(kW, kH);
  const std::string log2 = console_of([&] {
    EXPECT_EQ(epc_frame_decode(&drv, out.data(), 153599, 1, frame.data(), 8 * kW * kH, &fi), -1);
  });
  EXPECT_NE(log2.find("wrong data len: src=614400, dst=153599"), std::string::npos) << log2;
  EXPECT_EQ(epc_frame_decode(&drv, out.data(), 153600, 1, frame.data(), 8 * kW * kH - 1, &fi), -1);
  EXPECT_EQ(epc_frame_decode(&drv, out.data(), 153600, 3, frame.data(), 8 * kW * kH, &fi), -1);
  EXPECT_EQ(epc_frame_decode(&drv, out.data(), 153600, 1, frame.data(), 8 * kW * kH, &fi), 153600);
  torvi_drv_t no_state{};
  EXPECT_EQ(epc_frame_decode(&no_state, out.data(), 153600, 1, frame.data(), 8 * kW * kH, &fi), -1);
}

TEST_F(EpcDecodeTest, UnbalancedFramesAreDroppedWhileTheCheckIsOn) {
  constexpr int kW = 8, kH = 4;
  std::vector<double> mm(kW * kH, 2000), amp(kW * kH, 500);
  std::vector<uint16_t> frame = make_frame(kW, kH, mm, amp), out;
  st->sync_check_en = 1;
  EXPECT_GT(decode(out, frame, kW, kH), 0);  // sums of opposite samples are 4096
  for (size_t i = 0; i < frame.size() / 4; ++i) frame[i] = 100;  // DCS0 far off
  EXPECT_EQ(decode(out, frame, kW, kH), -1);
  st->sync_check_en = 0;
  EXPECT_GT(decode(out, frame, kW, kH), 0);
}

TEST_F(EpcDecodeTest, DrnuDecodeFollowsTheLoadedTableAndMatchesThePlainKernels) {
  constexpr int kW = 32, kH = 24, kN = 30;
  constexpr size_t kPixels = size_t{kW} * kH;
  auto chip = std::make_unique<Chip>();
  Drnu &cal = chip->drnu();
  cal.num_distances = kN;
  const auto load = [&](int shift) {  // as a reload of the calibration does
    cal.table[1].resize(kPixels * kN);
    for (size_t p = 0; p < kPixels; ++p)
      for (int k = 0; k < kN; ++k)
        cal.table[1][p * kN + static_cast<size_t>(k)] =
            static_cast<uint16_t>(600 + shift + 716 * k + static_cast<int>(p % 13));
    cal.table_stamp[1] = new_table_stamp();
  };
  load(0);
  st->chip = chip.get();
  st->drnu_en = 1;
  st->drnu_base_mm = 295;
  st->temp_coef_phase = 2.0f;
  st->t_sensor = 371;
  std::vector<double> mm(kPixels), amp(kPixels, 600);
  for (size_t i = 0; i < kPixels; ++i) mm[i] = 1500.0 + 15.0 * (i % kW) + 10.0 * (i / kW);
  const std::vector<uint16_t> frame = make_frame(kW, kH, mm, amp);
  const auto plain = [&](std::vector<uint16_t> &out) {
    const hooks::ScopedKnob cap(hooks::Knob::kDecodeIsaCap, 0);
    return decode(out, frame, kW, kH);
  };

  std::vector<uint16_t> fast, ref;
  ASSERT_EQ(decode(fast, frame, kW, kH), 2 * kW * kH);
  ASSERT_EQ(plain(ref), 2 * kW * kH);
  EXPECT_EQ(fast, ref);
  EXPECT_LT(fast[12 * kW + 16], kDistFiltered);  // a measured wall, not a marker
  // The calibration is reloaded with other phases: the next frame uses them.
  load(300);
  std::vector<uint16_t> fast2, ref2;
  ASSERT_EQ(decode(fast2, frame, kW, kH), 2 * kW * kH);
  ASSERT_EQ(plain(ref2), 2 * kW * kH);
  EXPECT_EQ(fast2, ref2);
  EXPECT_NE(fast2, fast);
  // The exported kernel gives the plain kernel's raw-order result.
  std::vector<uint16_t> dist(kPixels), amp_out(kPixels), dist_ref(kPixels), amp_ref(kPixels);
  ASSERT_EQ(calc_dist_calib_drnu(&drv, dist.data(), amp_out.data(), frame.data(), kW, kH, 4), 1);
  DrnuParams p;
  ASSERT_TRUE(drnu_params(*st, kW, kH, p));
  dist_drnu_ref(dist_ref.data(), amp_ref.data(), frame.data(), kPixels, p);
  EXPECT_EQ(dist, dist_ref);
  EXPECT_EQ(amp_out, amp_ref);
  st->chip = nullptr;
}

TEST_F(EpcDecodeTest, ExportedKernelsCheckTheirSizes) {
  std::vector<uint16_t> src(4 * 8, 2048), dist(8, 7), amp(8, 7);
  EXPECT_EQ(calc_dist_calib_simple(&drv, dist.data(), amp.data(), src.data(), 4, 2, 3), 0);
  EXPECT_EQ(calc_dist_calib_simple(&drv, dist.data(), amp.data(), src.data(), 3, 2, 4), 0);
  EXPECT_EQ(dist[0], 7);
  EXPECT_EQ(calc_dist_calib_none(&drv, dist.data(), amp.data(), src.data(), 4, 2, 4, 1000, 10), 1);
  EXPECT_EQ(dist[0], kRange * 15000 / 30000 + 10);
  EXPECT_EQ(calc_dist_calib_simple(&drv, dist.data(), amp.data(), src.data(), 4, 2, 4), 1);
  EXPECT_EQ(dist[0], kRange / 2);
  EXPECT_EQ(calc_gray(&drv, amp.data(), src.data(), 4, 2, 4), 1);
  EXPECT_EQ(amp[0], 0);
  // No chip, so no DRNU table: refused.
  EXPECT_EQ(calc_dist_calib_drnu(&drv, dist.data(), amp.data(), src.data(), 4, 2, 4), 0);
}

}  // namespace
}  // namespace torvi::epc
