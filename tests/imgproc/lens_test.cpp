// Lens map construction against an independent computation of the model,
// and the remap against the plain reference and at its edges.
#include <gtest/gtest.h>
#include <torvi/kx_lens.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/test_hooks.h"
#include "image_util.h"
#include "imgproc/filter_ref.h"
#include "imgproc/lens_remap.h"

using torvi::hooks::Knob;
using torvi::test::console_of;

namespace {

static_assert(sizeof(torvi_lens_param_t) == 80);
static_assert(offsetof(torvi_lens_param_t, dcoeff) == 32);
static_assert(offsetof(torvi_lens_param_t, img_w) == 72);
static_assert(offsetof(kx_calib_len_map_t, count) == 16);
static_assert(offsetof(kx_calib_len_map_t, valid_rect) == 28);
static_assert(offsetof(kx_calib_len_map_t, ready) == 44);

const torvi_lens_param_t kLens = {158.7, 123.1, 214.0, 213.2, {-0.31, 0.12, 0.0015, -0.0009, -0.02},
                                  320,   240};

struct Map {
  kx_calib_len_map_t m{};
  ~Map() { kx_calib_len_uninit_map(&m); }
};

// A hand-made map of w x h whose tables the test owns.
struct HandMap {
  std::vector<float> x, y;
  kx_calib_len_map_t m{};
  HandMap(int w, int h) : x(static_cast<std::size_t>(w * h)), y(static_cast<std::size_t>(w * h)) {
    m.mapx = x.data();
    m.mapy = y.data();
    m.count = w * h;
    m.width = w;
    m.height = h;
    m.ready = 1;
  }
};

// Brown-Conrady forward model on normalised coordinates.
void distort(const double *c, double x, double y, double &xd, double &yd) {
  const double r2 = x * x + y * y;
  const double radial = 1 + c[0] * r2 + c[1] * r2 * r2 + c[4] * r2 * r2 * r2;
  xd = x * radial + 2 * c[2] * x * y + c[3] * (r2 + 2 * x * x);
  yd = y * radial + c[2] * (r2 + 2 * y * y) + 2 * c[3] * x * y;
}

// Bounding box of the 9 x 9 grid, each point undistorted by 5 fixed-point
// steps x <- (x0 - tangential(x)) / radial(x).
void outer_box(const torvi_lens_param_t &l, double &x0, double &y0, double &bw, double &bh) {
  double lo_x = 1e300, hi_x = -1e300, lo_y = 1e300, hi_y = -1e300;
  for (int i = 0; i <= 8; ++i)
    for (int j = 0; j <= 8; ++j) {
      const double px = (l.img_w * j / 8.0 - l.cx) / l.fx, py = (l.img_h * i / 8.0 - l.cy) / l.fy;
      double x = px, y = py;
      for (int it = 0; it < 5; ++it) {
        double xd, yd;
        distort(l.dcoeff, x, y, xd, yd);
        const double r2 = x * x + y * y;
        const double radial =
            1 + l.dcoeff[0] * r2 + l.dcoeff[1] * r2 * r2 + l.dcoeff[4] * r2 * r2 * r2;
        // xd = x * radial + t(x)  =>  x = (px - t(x)) / radial
        x = (px - (xd - x * radial)) / radial;
        y = (py - (yd - y * radial)) / radial;
      }
      lo_x = std::min(lo_x, static_cast<double>(static_cast<float>(x)));
      hi_x = std::max(hi_x, static_cast<double>(static_cast<float>(x)));
      lo_y = std::min(lo_y, static_cast<double>(static_cast<float>(y)));
      hi_y = std::max(hi_y, static_cast<double>(static_cast<float>(y)));
    }
  x0 = lo_x;
  y0 = lo_y;
  bw = hi_x - lo_x;
  bh = hi_y - lo_y;
}

TEST(LensMap, MatchesIndependentModel) {
  Map map;
  ASSERT_EQ(kx_calib_len_init_map(&map.m, &kLens), 320 * 240);
  ASSERT_EQ(map.m.ready, 1);
  EXPECT_EQ(map.m.count, 320 * 240);
  EXPECT_EQ(map.m.width, 320);
  EXPECT_EQ(map.m.height, 240);
  double ox, oy, ow, oh;
  outer_box(kLens, ox, oy, ow, oh);
  // Output pixel (u, v) is the undistorted normalised point
  // (ox + u * ow / 319, oy + v * oh / 239) pushed through the lens model.
  double worst = 0;
  for (int v = 0; v < 240; v += 7)
    for (int u = 0; u < 320; u += 5) {
      double xd, yd;
      distort(kLens.dcoeff, ox + u * ow / 319.0, oy + v * oh / 239.0, xd, yd);
      const double ex = kLens.cx + kLens.fx * xd, ey = kLens.cy + kLens.fy * yd;
      worst = std::max(worst, std::fabs(ex - static_cast<double>(map.m.mapx[v * 320 + u])));
      worst = std::max(worst, std::fabs(ey - static_cast<double>(map.m.mapy[v * 320 + u])));
    }
  EXPECT_LT(worst, 2e-3);
  // Barrel distortion: the undistorted corners stretch furthest, so the
  // output corners come from the source corners and the output's edge
  // midpoints from outside the source.
  EXPECT_NEAR(map.m.mapx[0], 0.0f, 2.0f);
  EXPECT_NEAR(map.m.mapy[0], 0.0f, 2.0f);
  EXPECT_LT(map.m.mapx[120 * 320], -1.0f);
  EXPECT_GT(map.m.mapx[120 * 320 + 319], 321.0f);
  EXPECT_LT(map.m.mapy[160], -1.0f);
  // The valid rectangle lies inside the output and is not empty.
  EXPECT_GE(map.m.valid_rect[0], 0);
  EXPECT_GE(map.m.valid_rect[1], 0);
  EXPECT_GT(map.m.valid_rect[2], 200);
  EXPECT_GT(map.m.valid_rect[3], 150);
  EXPECT_LE(map.m.valid_rect[0] + map.m.valid_rect[2], 320);
  EXPECT_LE(map.m.valid_rect[1] + map.m.valid_rect[3], 240);
}

TEST(LensMap, ZeroCoefficientsGiveAPureRescale) {
  torvi_lens_param_t lens = kLens;
  for (double &c : lens.dcoeff) c = 0;
  Map map;
  ASSERT_EQ(kx_calib_len_init_map(&map.m, &lens), 320 * 240);
  for (int v = 0; v < 240; v += 13)
    for (int u = 0; u < 320; u += 11) {
      EXPECT_NEAR(map.m.mapx[v * 320 + u], u * 320.0 / 319.0, 1e-3) << u << "," << v;
      EXPECT_NEAR(map.m.mapy[v * 320 + u], v * 240.0 / 239.0, 1e-3) << u << "," << v;
    }
  EXPECT_EQ(map.m.valid_rect[0], 0);
  EXPECT_EQ(map.m.valid_rect[1], 0);
  EXPECT_EQ(map.m.valid_rect[2], 319);
  EXPECT_EQ(map.m.valid_rect[3], 239);
  // The last column and row map to 320 and 240: outside, so invalid.
  std::vector<uint16_t> src(320 * 240, 1000), dst(src.size(), 0);
  ASSERT_EQ(kx_calib_len_undistort_u16(&map.m, dst.data(), static_cast<int>(dst.size()), src.data(),
                                       320, 240, 65500),
            1);
  EXPECT_EQ(dst[0], 1000);
  EXPECT_EQ(dst[100 * 320 + 318], 1000);
  EXPECT_EQ(dst[100 * 320 + 319], 65500);
  EXPECT_EQ(dst[239 * 320 + 5], 65500);
}

TEST(LensMap, ReinitFreesAndFailedAllocationLeavesMapClear) {
  Map map;
  ASSERT_EQ(kx_calib_len_init_map(&map.m, &kLens), 320 * 240);
  // Again on a ready map: the old tables are released (the leak checker of
  // the sanitizer build would report them otherwise).
  ASSERT_EQ(kx_calib_len_init_map(&map.m, &kLens), 320 * 240);
  for (int nth : {1, 2}) {
    std::string log;
    {
      torvi::hooks::ScopedKnob fail(Knob::kImgprocFailNthAlloc, nth);
      log = console_of([&] { EXPECT_EQ(kx_calib_len_init_map(&map.m, &kLens), 0); });
    }
    EXPECT_NE(log.find("malloc failed"), std::string::npos) << log;
    EXPECT_EQ(map.m.ready, 0);
    EXPECT_EQ(map.m.mapx, nullptr);
    EXPECT_EQ(map.m.mapy, nullptr);
  }
  kx_calib_len_uninit_map(&map.m);  // not ready: nothing happens
  EXPECT_EQ(map.m.ready, 0);
  std::vector<uint16_t> img(4, 1);
  const std::string log = console_of([&] {
    EXPECT_EQ(kx_calib_len_undistort_u16(&map.m, img.data(), 4, img.data() + 0, 2, 2, 0), 0);
  });
  EXPECT_NE(log.find("not ready"), std::string::npos);
  // Degenerate lenses are refused rather than producing a garbage map.
  torvi_lens_param_t bad = kLens;
  bad.fx = 0;
  console_of([&] { EXPECT_EQ(kx_calib_len_init_map(&map.m, &bad), 0); });
  EXPECT_EQ(map.m.ready, 0);
  bad = kLens;
  bad.img_w = 0;
  console_of([&] { EXPECT_EQ(kx_calib_len_init_map(&map.m, &bad), 0); });
  EXPECT_EQ(map.m.ready, 0);
}

TEST(LensRemap, RoundingAndBinning) {
  HandMap hm(8, 4);
  // Source 4 x 2 (binning 2): output (x, y) reads map (2x, 2y) divided by 2.
  std::vector<uint16_t> src = {10, 11, 12, 13, 20, 21, 22, 23};
  auto set = [&](int x, int y, float mx, float my) {
    hm.x[static_cast<std::size_t>(y * 8 + x)] = mx;
    hm.y[static_cast<std::size_t>(y * 8 + x)] = my;
  };
  set(0, 0, -1.2f, 0.0f);   // -0.6 after division: rounds to 0, valid
  set(2, 0, -3.2f, 0.0f);   // -1.6: rounds to -1, invalid
  set(4, 0, 6.98f, 1.0f);   // 3.49 -> 3, row 0.5 -> 1
  set(6, 0, 6.99f, 2.98f);  // 3.495 -> 3, row 1.49 -> 1
  set(0, 2, 7.0f, 0.0f);    // 3.5 -> 4: outside
  set(2, 2, 2.0f, 3.0f);    // 1, row 1.5 -> 2: outside
  set(4, 2, std::numeric_limits<float>::quiet_NaN(), 0.0f);
  set(6, 2, 1e30f, 0.0f);
  hm.x[1] = 2.0f;  // odd map columns are never read
  std::vector<uint16_t> dst(8, 0), ref(8, 1);
  ASSERT_EQ(kx_calib_len_undistort_u16(&hm.m, dst.data(), 8, src.data(), 4, 2, 999), 1);
  EXPECT_EQ(dst, (std::vector<uint16_t>{10, 999, 23, 23, 999, 999, 999, 999}));
  torvi::ref::undistort_u16(hm.m, ref.data(), src.data(), 4, 2, 999);
  EXPECT_EQ(ref, dst);
  // Full resolution: 0.49999997 rounds to 0 (not up through float
  // rounding), -1.4999999 to 0 (valid), -1.5 to -1 (invalid).
  HandMap one(2, 2);
  one.x = {0.49999997f, -1.4999999f, 1.4999999f, -1.5f};
  one.y = {0.0f, 0.0f, 1.0f, 0.0f};
  one.m.mapx = one.x.data();
  one.m.mapy = one.y.data();
  std::vector<uint16_t> s2 = {1, 2, 3, 4}, d2(4);
  ASSERT_EQ(kx_calib_len_undistort_u16(&one.m, d2.data(), 4, s2.data(), 2, 2, 0), 1);
  EXPECT_EQ(d2, (std::vector<uint16_t>{1, 1, 4, 0}));
  // The same through the vector code: 16 copies of the four cases in a row.
  HandMap wide(64, 1);
  for (int i = 0; i < 64; ++i) {
    wide.x[static_cast<std::size_t>(i)] = one.x[static_cast<std::size_t>(i % 4)];
    wide.y[static_cast<std::size_t>(i)] = i % 4 == 2 ? 0.4999999f : -1.4999999f;
  }
  std::vector<uint16_t> s3(64), d3(64);
  for (int i = 0; i < 64; ++i) s3[static_cast<std::size_t>(i)] = static_cast<uint16_t>(100 + i);
  ASSERT_EQ(kx_calib_len_undistort_u16(&wide.m, d3.data(), 64, s3.data(), 64, 1, 0), 1);
  for (int i = 0; i < 64; ++i)
    EXPECT_EQ(d3[static_cast<std::size_t>(i)], (std::array<uint16_t, 4>{100, 100, 101, 0}[i % 4]))
        << i;
}

TEST(LensRemap, SizeChecks) {
  HandMap hm(320, 240);
  std::vector<uint16_t> src(320 * 240, 5), dst(320 * 240, 7);
  std::string log = console_of([&] {
    EXPECT_EQ(kx_calib_len_undistort_u16(&hm.m, dst.data(), 320 * 240, src.data(), 300, 240, 0), 0);
  });
  EXPECT_NE(
      log.find(
          "[kx_calib_len_undistort_u16] Wrong parameter: calib_map: 320x240, src_img: 300x240\n"),
      std::string::npos)
      << log;
  log = console_of([&] {
    EXPECT_EQ(kx_calib_len_undistort_u16(&hm.m, dst.data(), 320 * 240 - 1, src.data(), 320, 240, 0),
              0);
  });
  EXPECT_NE(log.find("[kx_calib_len_undistort_u16] Wrong parameter: 320x240 > dst_len=76799\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(dst, std::vector<uint16_t>(320 * 240, 7));
  std::vector<float> fs(4, 1.0f), fd(4, 2.0f);
  log = console_of([&] {
    EXPECT_EQ(kx_calib_len_undistort_f32(&hm.m, fd.data(), 4, fs.data(), 3, 240, 0.0f), 0);
  });
  EXPECT_NE(
      log.find(
          "[kx_calib_len_undistort_f32] Wrong parameter: calib_map: 320x240, src_img: 3x240\n"),
      std::string::npos)
      << log;
  // Zero and negative sizes succeed without writing.
  EXPECT_EQ(kx_calib_len_undistort_u16(&hm.m, dst.data(), 0, src.data(), 0, 240, 0), 1);
  EXPECT_EQ(kx_calib_len_undistort_u16(&hm.m, dst.data(), 0, src.data(), 320, 0, 0), 1);
  EXPECT_EQ(kx_calib_len_undistort_u16(&hm.m, dst.data(), 0, src.data(), -320, 240, 0), 1);
  EXPECT_EQ(dst, std::vector<uint16_t>(320 * 240, 7));
  // dst_len exactly w x h succeeds.
  EXPECT_EQ(kx_calib_len_undistort_u16(&hm.m, dst.data(), 320 * 240, src.data(), 320, 240, 0), 1);
}

TEST(LensRemap, MatchesReferenceOnRandomMaps) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> coord(-3.0f, 100.0f);
  for (int trial = 0; trial < 40; ++trial) {
    const int bw = 1 + static_cast<int>(rng() % 3), bh = 1 + static_cast<int>(rng() % 3);
    const int w = 1 + static_cast<int>(rng() % 70), h = 1 + static_cast<int>(rng() % 20);
    HandMap hm(w * bw, h * bh);
    for (std::size_t i = 0; i < hm.x.size(); ++i) {
      const uint32_t pick = rng() % 50;
      hm.x[i] = pick == 0   ? std::numeric_limits<float>::quiet_NaN()
                : pick == 1 ? 3e9f
                : pick == 2 ? -std::numeric_limits<float>::infinity()
                : pick < 10 ? static_cast<float>(static_cast<int>(rng() % 80)) +
                                  0.5f * static_cast<float>(rng() % 3) - 0.5f
                            : coord(rng);
      hm.y[i] = pick == 3 ? std::numeric_limits<float>::quiet_NaN() : coord(rng) * 0.3f;
    }
    std::vector<uint16_t> src(static_cast<std::size_t>(w * h));
    std::vector<float> fsrc(src.size());
    for (std::size_t i = 0; i < src.size(); ++i) {
      src[i] = static_cast<uint16_t>(rng());
      fsrc[i] = static_cast<float>(src[i]) * 0.001f;
    }
    for (int isa : {2, 1, 0}) {
      torvi::hooks::ScopedKnob cap(Knob::kRemapIsaCap, isa);
      std::vector<uint16_t> got(src.size(), 1), want(src.size(), 2);
      ASSERT_EQ(kx_calib_len_undistort_u16(&hm.m, got.data(), w * h, src.data(), w, h, 65500), 1);
      torvi::ref::undistort_u16(hm.m, want.data(), src.data(), w, h, 65500);
      ASSERT_EQ(got, want) << w << "x" << h << " bin " << bw << "x" << bh << " isa " << isa;
      std::vector<float> fgot(src.size(), 1), fwant(src.size(), 2);
      ASSERT_EQ(kx_calib_len_undistort_f32(&hm.m, fgot.data(), w * h, fsrc.data(), w, h, 65.5f), 1);
      torvi::ref::undistort_f32(hm.m, fwant.data(), fsrc.data(), w, h, 65.5f);
      ASSERT_EQ(fgot, fwant) << w << "x" << h << " isa " << isa;
    }
  }
}

TEST(LensRemap, RealMapMatchesReferenceAtEveryBinning) {
  Map map;
  ASSERT_GT(kx_calib_len_init_map(&map.m, &kLens), 0);
  std::mt19937 rng(3);
  for (int isa : {2, 1, 0}) {
    torvi::hooks::ScopedKnob cap(Knob::kRemapIsaCap, isa);
    for (auto [w, h] :
         {std::pair{320, 240}, std::pair{160, 120}, std::pair{80, 60}, std::pair{64, 48}}) {
      std::vector<uint16_t> src = torvi::test::random_image(rng, w, h), got(src.size()),
                            want(src.size());
      ASSERT_EQ(kx_calib_len_undistort_u16(&map.m, got.data(), w * h, src.data(), w, h, 65500), 1);
      torvi::ref::undistort_u16(map.m, want.data(), src.data(), w, h, 65500);
      EXPECT_EQ(got, want) << w << "x" << h << " isa " << isa;
      std::vector<float> fsrc(src.begin(), src.end()), fgot(src.size()), fwant(src.size());
      ASSERT_EQ(kx_calib_len_undistort_f32(&map.m, fgot.data(), w * h, fsrc.data(), w, h, -1.0f),
                1);
      torvi::ref::undistort_f32(map.m, fwant.data(), fsrc.data(), w, h, -1.0f);
      EXPECT_EQ(fgot, fwant) << w << "x" << h << " isa " << isa;
    }
  }
  // Many pixels reading the image's very last element (a 32-bit gather
  // there would read past the buffer).
  HandMap hm(40, 2);
  for (std::size_t i = 0; i < hm.x.size(); ++i) {
    hm.x[i] = i % 3 == 0 ? 39.0f : static_cast<float>(i % 40);
    hm.y[i] = 1.0f;
  }
  std::vector<uint16_t> s(80), got(80), want(80);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint16_t>(7 * i);
  for (int isa : {2, 1, 0}) {
    torvi::hooks::ScopedKnob cap(Knob::kRemapIsaCap, isa);
    ASSERT_EQ(kx_calib_len_undistort_u16(&hm.m, got.data(), 80, s.data(), 40, 2, 1), 1);
    torvi::ref::undistort_u16(hm.m, want.data(), s.data(), 40, 2, 1);
    EXPECT_EQ(got, want) << isa;
    EXPECT_EQ(got[0], 7 * 79);
  }
}

}  // namespace
