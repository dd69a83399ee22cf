// Frame data: distance and gray through the driver's decode (buffer use,
// size checks, conversion), point clouds along pixel rays, colouring of float
// images and the filter switches, over a scripted device whose driver
// operations the tests choose.
#include <gtest/gtest.h>
#include <torvi/kx_cmap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_frame.h>
#include <torvi/torvi_log.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/point_cloud.h"
#include "imgproc/lens_rays.h"
#include "tests/api/capture/fake_link.h"

using torvi::test::bind_fake;
using torvi::test::fake;
using torvi::test::FakeCamera;

namespace {

// What the scripted driver saw and answers.
struct FakeDriver {
  int decode_calls = 0;
  uint16_t *decode_dst = nullptr;
  int decode_dst_len = 0;
  int decode_kind = 0;
  int decode_result = 0;  // < 0: fail; else bytes written, filled with value(i)
  bool lens_ok = true;
  torvi_lens_param_t lens{};
  int filter_id = -1;
  int filter_arg = -1;
  int filter_reserved = -1;
  bool filter_answer = true;
  static uint16_t value(size_t i) { return static_cast<uint16_t>(1000 + 7 * i); }
};
FakeDriver *g_drv = nullptr;

int fake_decode(torvi_drv_t *, uint16_t *dst, int dst_len, int kind, const uint16_t *, unsigned,
                const torvi_frame_info_t *) {
  ++g_drv->decode_calls;
  g_drv->decode_dst = dst;
  g_drv->decode_dst_len = dst_len;
  g_drv->decode_kind = kind;
  for (int i = 0; i < g_drv->decode_result / 2; ++i)
    dst[i] = FakeDriver::value(static_cast<size_t>(i));
  return g_drv->decode_result;
}

bool fake_lens(torvi_drv_t *, torvi_lens_param_t *out, int w, int h) {
  if (!g_drv->lens_ok) return false;
  *out = g_drv->lens;
  out->img_w = w;
  out->img_h = h;
  return true;
}

bool fake_enable(torvi_drv_t *, int id, void *arg, int reserved) {
  g_drv->filter_id = id;
  g_drv->filter_arg = arg ? *static_cast<uint16_t *>(arg) : -1;
  g_drv->filter_reserved = reserved;
  return g_drv->filter_answer;
}

bool fake_disable(torvi_drv_t *, int id) {
  g_drv->filter_id = id;
  return g_drv->filter_answer;
}

torvi_drv_ops_t make_ops(bool with_lens, bool with_filters) {
  torvi_drv_ops_t ops{};
  ops.frame_decode = fake_decode;
  if (with_lens) ops.lens_param_get = fake_lens;
  if (with_filters) {
    ops.filter_enable = fake_enable;
    ops.filter_disable = fake_disable;
  }
  return ops;
}
const torvi_drv_ops_t kFullOps = make_ops(true, true);
const torvi_drv_ops_t kBareOps = make_ops(false, false);

class FrameDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake() = &cam;
    g_drv = &drv;
    bind_fake(dev);
    ASSERT_EQ(torvi_dev_open(&dev), &dev);
    record = torvi_dev_get_drv(&dev);
    ASSERT_NE(record, nullptr);
    saved_ops = record->ops;
    record->ops = &kFullOps;
    if (g_torvi_cmap.table == nullptr) {
      ASSERT_NE(kx_cmap_init(&g_torvi_cmap, 30000), nullptr);
    }
  }
  void TearDown() override {
    record->ops = saved_ops;
    torvi_dev_close(&dev);
    std::free(dev.priv);
    fake() = nullptr;
    g_drv = nullptr;
    kx_log_enable(0, KX_LOG_WRN, nullptr);
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

  FakeCamera cam;
  FakeDriver drv;
  torvi_dev_t dev{};
  torvi_drv_t *record = nullptr;
  const torvi_drv_ops_t *saved_ops = nullptr;
};

torvi_frame_info_t info(uint32_t w, uint32_t h) {
  torvi_frame_info_t fi{};
  fi.width = w;
  fi.height = h;
  fi.frame_size = 8 * w * h;
  fi.frame_format = 2;
  return fi;
}

TEST_F(FrameDataTest, DistanceUsesTheBufferSecondHalfAndConvertsToMetres) {
  const torvi_frame_info_t fi = info(4, 3);
  std::vector<uint8_t> raw(fi.frame_size);
  std::vector<float> dst(12, -1.0f);
  drv.decode_result = 24;
  ASSERT_EQ(
      torvi_frame_get_distance(&dev, dst.data(), 12, raw.data(), static_cast<int>(raw.size()), &fi),
      12);
  EXPECT_EQ(drv.decode_kind, TORVI_DECODE_DIST);
  EXPECT_EQ(reinterpret_cast<float *>(drv.decode_dst), dst.data() + 6);
  EXPECT_EQ(drv.decode_dst_len, 24);
  for (size_t i = 0; i < 12; ++i)
    EXPECT_FLOAT_EQ(dst[i], static_cast<float>(FakeDriver::value(i)) / 1000.0f) << i;
}

TEST_F(FrameDataTest, GrayKeepsTheValues) {
  const torvi_frame_info_t fi = info(5, 3);  // odd count: the scratch starts at float 7
  std::vector<uint8_t> raw(fi.frame_size);
  std::vector<float> dst(15);
  drv.decode_result = 30;
  ASSERT_EQ(
      torvi_frame_get_gray(&dev, dst.data(), 15, raw.data(), static_cast<int>(raw.size()), &fi),
      15);
  EXPECT_EQ(reinterpret_cast<float *>(drv.decode_dst), dst.data() + 7);
  EXPECT_EQ(drv.decode_kind, TORVI_DECODE_GRAY);
  for (size_t i = 0; i < 15; ++i) EXPECT_EQ(dst[i], static_cast<float>(FakeDriver::value(i)));
}

TEST_F(FrameDataTest, ShortBuffersAndFailedDecodesGiveNoPixels) {
  const torvi_frame_info_t fi = info(4, 3);
  std::vector<uint8_t> raw(fi.frame_size);
  std::vector<float> dst(12);
  drv.decode_result = 24;
  const std::string log = console_of(
      [&] { EXPECT_EQ(torvi_frame_get_distance(&dev, dst.data(), 11, raw.data(), 96, &fi), 0); });
  EXPECT_NE(log.find("[torvi_frame_get_distance] wrong dst_len: 11 (wxh=4x3)"), std::string::npos)
      << log;
  EXPECT_EQ(drv.decode_calls, 0);
  const std::string log2 = console_of(
      [&] { EXPECT_EQ(torvi_frame_get_distance(&dev, dst.data(), 12, raw.data(), 95, &fi), 0); });
  EXPECT_NE(log2.find("[_torvi_frame_get_u16] raw frame length too small: datalen=95, frlen=96"),
            std::string::npos)
      << log2;
  EXPECT_EQ(drv.decode_calls, 0);
  // A negative length is not a huge one.
  const std::string log_neg = console_of(
      [&] { EXPECT_EQ(torvi_frame_get_distance(&dev, dst.data(), 12, raw.data(), -1, &fi), 0); });
  EXPECT_NE(log_neg.find("raw frame length too small: datalen=-1"), std::string::npos) << log_neg;
  EXPECT_EQ(drv.decode_calls, 0);
  drv.decode_result = -1;
  const std::string log3 = console_of(
      [&] { EXPECT_EQ(torvi_frame_get_gray(&dev, dst.data(), 12, raw.data(), 96, &fi), 0); });
  EXPECT_NE(log3.find("raw frame decode to 2 failed: -1"), std::string::npos) << log3;
  record->ops = &kBareOps;
  drv.decode_result = 24;
  torvi_dev_t closed{};
  EXPECT_EQ(torvi_frame_get_distance(&closed, dst.data(), 12, raw.data(), 96, &fi), 0);
}

// A flat wall at z = 2 m seen along pinhole rays: its distance image.
std::vector<float> wall_image(int w, int h, float cx, float cy, float fx, float fy, float z) {
  std::vector<float> d(static_cast<size_t>(w) * static_cast<size_t>(h));
  for (int v = 0; v < h; ++v)
    for (int u = 0; u < w; ++u) {
      const double x = (u - cx) / fx, y = (v - cy) / fy;
      d[static_cast<size_t>(v * w + u)] =
          static_cast<float>(static_cast<double>(z) * std::sqrt(x * x + y * y + 1.0));
    }
  return d;
}

TEST_F(FrameDataTest, FlatWallGivesAFlatCloudOnThePixelRays) {
  constexpr int kW = 320, kH = 240;
  const torvi_lens_intrinsics_t intr{157.262f, 122.083f, 210.783f, 204.817f, 1.0f};
  const std::vector<float> d = wall_image(kW, kH, intr.cx, intr.cy, intr.fx, intr.fy, 4.0f);
  std::vector<float> pcl(3 * kW * kH);
  ASSERT_EQ(torvi_frame_get_pcl(&dev, pcl.data(), static_cast<int>(pcl.size()), d.data(), 0, kW, kH,
                                &intr),
            kW * kH);
  for (int v = 0; v < kH; v += 7)
    for (int u = 0; u < kW; u += 5) {
      const float *p = &pcl[3 * static_cast<size_t>(v * kW + u)];
      ASSERT_NEAR(p[2], 4.0f, 4e-4f)
          << u << "," << v;  // a point on the sphere of radius D would be 0.35 m off here
      EXPECT_NEAR(p[0], 4.0f * (static_cast<float>(u) - intr.cx) / intr.fx, 4e-4f);
      EXPECT_NEAR(p[1], 4.0f * (static_cast<float>(v) - intr.cy) / intr.fy, 4e-4f);
    }
}

TEST_F(FrameDataTest, DriverLensRaysInvertTheDistortion) {
  constexpr int kW = 320, kH = 240;
  drv.lens = {157.262,
              122.083,
              210.783,
              204.817,
              {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954},
              kW,
              kH};
  std::vector<float> d(kW * kH, 2.5f);
  std::vector<float> pcl(4 * kW * kH);
  ASSERT_EQ(torvi_frame_get_pcl_xyzd(&dev, pcl.data(), static_cast<int>(pcl.size()), d.data(), 0,
                                     kW, kH, false, nullptr),
            kW * kH);
  for (int v = 0; v < kH; v += 3)
    for (int u = 0; u < kW; u += 3) {
      const float *p = &pcl[4 * static_cast<size_t>(v * kW + u)];
      EXPECT_NEAR(std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]), 2.5f, 1e-4f);
      EXPECT_EQ(p[3], 2.5f);
      // Through the lens model, the point lands on its own pixel.
      double xd = 0, yd = 0;
      torvi::lens::distort_point(drv.lens.dcoeff, p[0] / p[2], p[1] / p[2], xd, yd);
      ASSERT_NEAR(drv.lens.fx * xd + drv.lens.cx, u, 2e-3) << u << "," << v;
      ASSERT_NEAR(drv.lens.fy * yd + drv.lens.cy, v, 2e-3) << u << "," << v;
    }
}

TEST_F(FrameDataTest, RaysAreComputedOncePerLensAndSize) {
  const torvi_lens_intrinsics_t intr{80.5f, 60.25f, 100.0f, 101.0f, 1.0f};
  std::vector<float> d(160 * 120, 1.0f), pcl(3 * 160 * 120);
  ASSERT_GT(torvi_frame_get_pcl(&dev, pcl.data(), 3 * 160 * 120, d.data(), 0, 160, 120, &intr), 0);
  const size_t before = torvi::pcl::rays_computed();
  for (int i = 0; i < 3; ++i)
    ASSERT_GT(torvi_frame_get_pcl(&dev, pcl.data(), 3 * 160 * 120, d.data(), 0, 160, 120, &intr),
              0);
  EXPECT_EQ(torvi::pcl::rays_computed(), before);
  ASSERT_GT(torvi_frame_get_pcl(&dev, pcl.data(), 3 * 80 * 60, d.data(), 0, 80, 60, &intr), 0);
  EXPECT_EQ(torvi::pcl::rays_computed(), before + 1);
}

TEST_F(FrameDataTest, OnlyDistancesInsideTheWindowBecomePoints) {
  const torvi_lens_intrinsics_t intr{1.5f, 0.5f, 10.0f, 10.0f, 2.0f};
  const std::vector<float> d = {0.0f, 60.0f, 59.999f, 65.3f, 65.5f, -1.0f, 1.0f, NAN};
  std::vector<float> pcl(24, -7.0f);
  ASSERT_EQ(torvi_frame_get_pcl_xyzd(&dev, pcl.data(), 24, d.data(), 0, 4, 2, false, &intr), 2);
  EXPECT_FLOAT_EQ(pcl[3], 59.999f * 2.0f);  // dist_scale applies
  EXPECT_FLOAT_EQ(pcl[7], 2.0f);
  EXPECT_EQ(pcl[8], -7.0f);
  // A buffer of 3n + 2 floats takes n points.
  const std::vector<float> all(8, 1.0f);
  EXPECT_EQ(torvi_frame_get_pcl(&dev, pcl.data(), 3 * 2 + 2, all.data(), 0, 4, 2, &intr), 2);
  EXPECT_EQ(torvi_frame_get_pcl(&dev, pcl.data(), 3 * 2 + 3, all.data(), 0, 4, 2, &intr), 3);
  EXPECT_EQ(
      torvi_frame_get_pcl_xyzd(&dev, pcl.data(), 4 * 2 + 3, all.data(), 0, 4, 2, false, &intr), 2);
}

TEST_F(FrameDataTest, PseudoColourIsTheColourMapWord) {
  const torvi_lens_intrinsics_t intr{0.0f, 0.0f, 10.0f, 10.0f, 1.0f};
  kx_cmap_set_range(&g_torvi_cmap, 0, 5000);
  const std::vector<float> d = {1.234f, 3.5f};
  std::vector<float> pcl(8);
  ASSERT_EQ(torvi_frame_get_pcl_xyzd(&dev, pcl.data(), 8, d.data(), 0, 2, 1, true, &intr), 2);
  EXPECT_EQ(pcl[3], static_cast<float>(kx_cmap_get_color(&g_torvi_cmap, 1234)));
  EXPECT_EQ(pcl[7], static_cast<float>(kx_cmap_get_color(&g_torvi_cmap, 3500)));
  EXPECT_NE(pcl[3], pcl[7]);
}

TEST_F(FrameDataTest, CloudWithoutLensOrDeviceFails) {
  std::vector<float> d(4, 1.0f), pcl(12);
  drv.lens_ok = false;
  EXPECT_EQ(torvi_frame_get_pcl(&dev, pcl.data(), 12, d.data(), 0, 2, 2, nullptr), 0);
  record->ops = &kBareOps;
  const std::string log = console_of(
      [&] { EXPECT_EQ(torvi_frame_get_pcl(&dev, pcl.data(), 12, d.data(), 0, 2, 2, nullptr), 0); });
  EXPECT_NE(log.find("[torvi_frame_get_pcl] Cannot generate PCL: no lens parameter in driver."),
            std::string::npos)
      << log;
  EXPECT_EQ(torvi_frame_get_pcl(nullptr, pcl.data(), 12, d.data(), 0, 2, 2, nullptr), 0);
}

TEST(FrameCmap, FormatsCountsAndRanges) {
  if (g_torvi_cmap.table == nullptr) {
    ASSERT_NE(kx_cmap_init(&g_torvi_cmap, 30000), nullptr);
  }
  const std::vector<float> src = {0.5f, 1.0f, 2.0f, 65.5f};
  std::vector<uint8_t> rgb(12), bgr(12), rgb32(16);
  ASSERT_EQ(torvi_cmap_float(rgb.data(), 12, src.data(), 4, TORVI_CMAP_OUTFMT_RGB, 3.0f, 0.1f), 4);
  EXPECT_EQ(g_torvi_cmap.range_min, 100);  // swapped bounds
  EXPECT_EQ(g_torvi_cmap.range_max, 3000);
  ASSERT_EQ(torvi_cmap_float(bgr.data(), 12, src.data(), 4, TORVI_CMAP_OUTFMT_BGR, 0.1f, 3.0f), 4);
  ASSERT_EQ(torvi_cmap_float(rgb32.data(), 16, src.data(), 4, TORVI_CMAP_OUTFMT_RGB32, 0.1f, 3.0f),
            4);
  for (size_t i = 0; i < 4; ++i) {
    const uint32_t c = kx_cmap_get_color(&g_torvi_cmap, static_cast<int>(src[i] * 1000.0f));
    EXPECT_EQ(rgb[3 * i], c & 0xFF);
    EXPECT_EQ(rgb[3 * i + 2], (c >> 16) & 0xFF);
    EXPECT_EQ(bgr[3 * i], (c >> 16) & 0xFF);
    EXPECT_EQ(bgr[3 * i + 1], (c >> 8) & 0xFF);
    uint32_t w = 0;
    std::memcpy(&w, &rgb32[4 * i], 4);
    EXPECT_EQ(w, c);
  }
  EXPECT_EQ(rgb32[12], KX_CMAP_COLOR_INVALID & 0xFF);
  // The count is bounded by the output.
  EXPECT_EQ(torvi_cmap_float(rgb.data(), 8, src.data(), 4, TORVI_CMAP_OUTFMT_RGB, 0.1f, 3.0f), 2);
  EXPECT_EQ(torvi_cmap_float(rgb.data(), 12, src.data(), 4, 3, 0.1f, 3.0f), 0);
}

TEST_F(FrameDataTest, FilterSwitchesReachTheDriver) {
  torvi_filter_args_t arg{};
  arg.u16 = 321;
  EXPECT_EQ(torvi_filter_enable(&dev, TORVI_FILTER_MIN_AMP, &arg, 9), 1);
  EXPECT_EQ(drv.filter_id, TORVI_FILTER_MIN_AMP);
  EXPECT_EQ(drv.filter_arg, 321);
  EXPECT_EQ(drv.filter_reserved, static_cast<int>(sizeof(torvi_filter_args_t)));  // its size
  drv.filter_answer = false;
  EXPECT_EQ(torvi_filter_disable(&dev, TORVI_FILTER_HDR), 0);
  EXPECT_EQ(drv.filter_id, TORVI_FILTER_HDR);
  record->ops = &kBareOps;  // no filter operations: refused, not called
  drv.filter_id = -1;
  EXPECT_EQ(torvi_filter_enable(&dev, TORVI_FILTER_HDR, nullptr, 0), 0);
  EXPECT_EQ(torvi_filter_disable(&dev, TORVI_FILTER_HDR), 0);
  EXPECT_EQ(drv.filter_id, -1);
  EXPECT_EQ(torvi_filter_enable(nullptr, 0, nullptr, 0), -1);
  torvi_dev_t unknown{};
  std::strcpy(unknown.product, "A-ZZ-1");
  EXPECT_EQ(torvi_filter_disable(&unknown, 0), -1);
}

}  // namespace
