#include <gtest/gtest.h>
#include <torvi/kx_cmap.h>

#include <array>
#include <climits>
#include <cstdint>
#include <vector>

#include "imgproc/cmap_default.h"

namespace {

// Independent description of the ramp: each channel is a trapezoid that
// rises from 0 at `up0` to 255 at `up1`, stays there until `down0` and falls
// to 0 at `down1`.
struct Trapezoid {
  double up0, up1, down0, down1;
  uint32_t at(double t) const {
    double v;
    if (t < up0 || t >= down1) {
      v = 0;
    } else if (t < up1) {
      v = (t - up0) * 255 / (up1 - up0);
    } else if (t < down0) {
      v = 255;
    } else {
      v = 255 - (t - down0) * 255 / (down1 - down0);
    }
    return static_cast<uint32_t>(static_cast<float>(v));
  }
};

constexpr Trapezoid kBlue{-0.375, -0.125, 0.125, 0.375};
constexpr Trapezoid kGreen{-0.125, 0.125, 0.375, 0.75};
constexpr Trapezoid kRed{0.125, 0.375, 0.625, 1.125};

std::vector<uint32_t> expected_table(int n) {
  std::vector<uint32_t> out(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const float t = static_cast<float>(i) / static_cast<float>(n) - 0.25f;
    const double td = static_cast<double>(t);
    out[static_cast<size_t>(i)] = kRed.at(td) | kGreen.at(td) << 8 | kBlue.at(td) << 16;
  }
  return out;
}

uint8_t red(uint32_t c) { return c & 0xff; }
uint8_t green(uint32_t c) { return (c >> 8) & 0xff; }
uint8_t blue(uint32_t c) { return (c >> 16) & 0xff; }

// A map that is released at the end of the test.
struct Map {
  explicit Map(int n) { ptr = kx_cmap_init(&m, n); }
  ~Map() { kx_cmap_uninit(&m); }
  kx_cmap_t m{};
  uint32_t *ptr = nullptr;
};

TEST(CmapTable, MatchesAnIndependentRecomputationForManySizes) {
  for (int n : {1, 2, 3, 7, 16, 255, 1000, 4096, 30000, 65537}) {
    Map map(n);
    ASSERT_NE(map.ptr, nullptr);
    ASSERT_EQ(map.ptr, map.m.table);
    const std::vector<uint32_t> want = expected_table(n);
    for (int i = 0; i < n; ++i)
      ASSERT_EQ(map.m.table[i], want[static_cast<size_t>(i)]) << "n=" << n << " i=" << i;
  }
}

TEST(CmapTable, EndsAndShapeOfTheDefaultSizedTable) {
  Map map(30000);
  ASSERT_NE(map.ptr, nullptr);
  const uint32_t *t = map.m.table;
  EXPECT_EQ(t[0], 0x7f0000u);      // dark blue: blue 127
  EXPECT_EQ(t[29999], 0x0000bfu);  // dark red: red 191
  EXPECT_EQ(t[7500], 0xff7f00u);   // t = 0: blue plateau, green half way up (127), no red
  for (int i = 0; i < 30000; ++i) EXPECT_EQ(t[i] >> 24, 0u);
  // Green ramps down over 0.375 of t, red over 0.5: at t = 0.5 green is
  // 255 - 0.125 * 680 = 170 and red still 255.
  EXPECT_EQ(red(t[22500]), 255);
  EXPECT_EQ(green(t[22500]), 170);
  EXPECT_EQ(blue(t[22500]), 0);
  EXPECT_EQ(map.m.count, 30000);
  EXPECT_EQ(map.m.range_min, 0);
  EXPECT_EQ(map.m.range_max, 4000);
  EXPECT_EQ(map.m.index_scale, 7.5f);
  EXPECT_EQ(map.m.gray_scale, 0.06375f);
}

TEST(CmapColor, DefaultRangeLookups) {
  Map map(30000);
  const kx_cmap_t *m = &map.m;
  EXPECT_EQ(kx_cmap_get_color(m, 0), 0u);  // not above range_min
  EXPECT_EQ(kx_cmap_get_color(m, 1), m->table[29993]);
  EXPECT_EQ(kx_cmap_get_color(m, 4000), m->table[0]);
  EXPECT_EQ(kx_cmap_get_color(m, 4000), 0x7f0000u);
  EXPECT_EQ(kx_cmap_get_color(m, 4001), 0u);
  EXPECT_EQ(kx_cmap_get_color(m, -5), 0u);
  // Every millimetre: index 30000 - floor(7.5 v) in integer arithmetic.
  for (int v = 1; v <= 4000; ++v) {
    const int k = 30000 - (15 * v) / 2;
    ASSERT_EQ(kx_cmap_get_color(m, v), m->table[k]) << v;
  }
}

TEST(CmapColor, MarkersKeepTheirColoursWhateverTheRange) {
  Map map(30000);
  for (auto [a, b] :
       std::array<std::pair<int, int>, 3>{{{0, 4000}, {60000, 70000}, {65500, 65500}}}) {
    kx_cmap_set_range(&map.m, a, b);
    EXPECT_EQ(kx_cmap_get_color(&map.m, TORVI_DIST_INVALID), 0xff0ea9u);
    EXPECT_EQ(kx_cmap_get_color(&map.m, TORVI_DIST_SATURATED), 0x8000ffu);
    EXPECT_EQ(kx_cmap_get_color(&map.m, TORVI_DIST_FILTERED), 0u);
    EXPECT_EQ(kx_cmap_get_gray(&map.m, TORVI_DIST_INVALID), 0xff0ea9u);
    EXPECT_EQ(kx_cmap_get_gray(&map.m, TORVI_DIST_SATURATED), 0x8000ffu);
  }
  // The filtered marker has no gray colour of its own: inside 60000..70000
  // it is an ordinary gray level.
  kx_cmap_set_range(&map.m, 60000, 70000);
  const uint32_t g = kx_cmap_get_gray(&map.m, TORVI_DIST_FILTERED);
  EXPECT_EQ(g, 135u * 0x010101u);  // 5300 * 255 / 10000 = 135.15
  EXPECT_NE(kx_cmap_get_color(&map.m, 65301), 0u);
}

TEST(CmapRange, SwappedBoundsAndTheirScales) {
  Map map(30000);
  EXPECT_EQ(kx_cmap_set_range(&map.m, 3000, 1000), 2000);
  EXPECT_EQ(map.m.range_min, 1000);
  EXPECT_EQ(map.m.range_max, 3000);
  EXPECT_EQ(map.m.index_scale, 15.0f);
  EXPECT_EQ(map.m.gray_scale, static_cast<float>(255.0 / 2000));
  EXPECT_EQ(kx_cmap_get_color(&map.m, 1000), 0u);
  EXPECT_EQ(kx_cmap_get_color(&map.m, 1001), map.m.table[29985]);
  EXPECT_EQ(kx_cmap_get_color(&map.m, 3000), map.m.table[0]);
  EXPECT_EQ(kx_cmap_get_color(&map.m, 3001), 0u);
  EXPECT_EQ(kx_cmap_set_range(&map.m, 1000, 3000), 2000);
}

TEST(CmapRange, EqualBoundsKeepTheRangeAndSetFullScales) {
  Map map(30000);
  EXPECT_EQ(kx_cmap_set_range(&map.m, 7, 7), 0);
  EXPECT_EQ(map.m.range_min, 0);
  EXPECT_EQ(map.m.range_max, 4000);
  EXPECT_EQ(map.m.index_scale, 30000.0f);
  EXPECT_EQ(map.m.gray_scale, 255.0f);
  EXPECT_EQ(kx_cmap_get_color(&map.m, 1), map.m.table[0]);  // 1 * 30000 >= N
  EXPECT_EQ(kx_cmap_get_gray(&map.m, 1), 0xffffffu);        // clamped at 255
  EXPECT_EQ(kx_cmap_get_gray(&map.m, 0), 0u);
}

TEST(CmapRange, ExtremeBoundsDoNotOverflow) {
  Map map(1000);
  EXPECT_EQ(kx_cmap_set_range(&map.m, INT_MAX, INT_MIN), INT_MAX);
  EXPECT_EQ(map.m.range_min, INT_MIN);
  EXPECT_EQ(map.m.range_max, INT_MAX);
  // The middle of the range is about half way along the table.
  const uint32_t mid = kx_cmap_get_color(&map.m, 0);
  EXPECT_EQ(mid, map.m.table[500]);
  EXPECT_EQ(kx_cmap_get_color(&map.m, INT_MAX), map.m.table[0]);
  EXPECT_EQ(kx_cmap_get_color(&map.m, INT_MIN), 0u);
  EXPECT_EQ(kx_cmap_get_gray(&map.m, INT_MAX), 0xffffffu);  // 2^32 * 255 / 2^32 rounds up to 255
  EXPECT_EQ(kx_cmap_get_gray(&map.m, INT_MIN), 0u);
}

TEST(CmapGray, RangeEndsAndRamp) {
  Map map(30000);
  ASSERT_EQ(kx_cmap_set_range(&map.m, 500, 4500), 4000);
  EXPECT_EQ(kx_cmap_get_gray(&map.m, 500), 0u);
  // The float scale lies just below 255 / 4000, so 4000 * scale truncates to 254.
  EXPECT_EQ(kx_cmap_get_gray(&map.m, 4500), 0xfefefeu);
  EXPECT_EQ(kx_cmap_get_gray(&map.m, 4501), 0xffffffu);
  EXPECT_EQ(kx_cmap_get_gray(&map.m, 499), 0u);
  uint32_t last = 0;
  for (int v = 500; v <= 4500; ++v) {
    const uint32_t g = kx_cmap_get_gray(&map.m, v);
    ASSERT_EQ(g, (g & 0xff) * 0x010101u) << v;
    ASSERT_GE(g, last) << v;
    // floor((v - 500) * 255 / 4000) or one less where the float scale falls short.
    const uint32_t exact = static_cast<uint32_t>((v - 500) * 255 / 4000);
    ASSERT_TRUE((g & 0xff) == exact || (g & 0xff) + 1 == exact) << v;
    last = g;
  }
}

TEST(CmapLifecycle, BadArgumentsAndRepeatedRelease) {
  kx_cmap_t m{};
  EXPECT_EQ(kx_cmap_init(nullptr, 10), nullptr);
  EXPECT_EQ(kx_cmap_init(&m, 0), nullptr);
  EXPECT_EQ(kx_cmap_init(&m, -4), nullptr);
  EXPECT_EQ(kx_cmap_init(&m, KX_CMAP_MAX_COUNT + 1), nullptr);
  EXPECT_EQ(m.table, nullptr);
  EXPECT_EQ(m.count, 0);
  EXPECT_EQ(kx_cmap_set_range(nullptr, 1, 2), -1);
  // An empty map (never filled, or released) looks everything up as black.
  EXPECT_EQ(kx_cmap_get_color(&m, 100), 0u);
  EXPECT_EQ(kx_cmap_get_color(nullptr, 100), 0u);
  EXPECT_EQ(kx_cmap_get_gray(nullptr, 100), 0u);
  ASSERT_NE(kx_cmap_init(&m, 10), nullptr);
  EXPECT_NE(kx_cmap_get_color(&m, 4000), 0u);
  kx_cmap_uninit(&m);
  EXPECT_EQ(m.table, nullptr);
  EXPECT_EQ(kx_cmap_get_color(&m, 4000), 0u);
  kx_cmap_uninit(&m);
  kx_cmap_uninit(nullptr);
}

TEST(CmapDefault, CreateReleaseAndRecreate) {
  ASSERT_TRUE(torvi::cmap_default_create());
  EXPECT_EQ(g_torvi_cmap.count, 30000);
  ASSERT_NE(g_torvi_cmap.table, nullptr);
  EXPECT_EQ(kx_cmap_get_color(&g_torvi_cmap, 4000), 0x7f0000u);
  kx_cmap_set_range(&g_torvi_cmap, 100, 200);
  // Creating again replaces the table (no leak under the sanitizers) and
  // restores the initial range.
  ASSERT_TRUE(torvi::cmap_default_create());
  EXPECT_EQ(g_torvi_cmap.range_min, 0);
  EXPECT_EQ(g_torvi_cmap.range_max, 4000);
  torvi::cmap_default_release();
  EXPECT_EQ(g_torvi_cmap.table, nullptr);
  torvi::cmap_default_release();
}

}  // namespace
