// Every optimised filter, for every instruction set the CPU runs, equals the
// plain reference bit for bit on random images; plus the behaviour at sizes
// and values that matter.
#include <gtest/gtest.h>
#include <torvi/kx_filter.h>

#include <random>
#include <string>

#include "image_util.h"
#include "imgproc/filter_ref.h"
#include "imgproc/filter_set.h"

using torvi::FilterSet;
using torvi::test::console_of;
using torvi::test::Image;
using torvi::test::random_image;

namespace {

struct Kernel {
  const char *name;
  torvi::FilterFn FilterSet::*fast;
  void (*ref)(uint16_t *, const uint16_t *, int, int, uint32_t);
};

const Kernel kKernels[] = {
    {"median3", &FilterSet::median3,
     [](uint16_t *d, const uint16_t *s, int w, int h, uint32_t) {
       torvi::ref::median3(d, s, w, h);
     }},
    {"median5", &FilterSet::median5,
     [](uint16_t *d, const uint16_t *s, int w, int h, uint32_t) {
       torvi::ref::median5(d, s, w, h);
     }},
    {"box3", &FilterSet::box3,
     [](uint16_t *d, const uint16_t *s, int w, int h, uint32_t) { torvi::ref::box3(d, s, w, h); }},
    {"gauss3", &FilterSet::gauss3,
     [](uint16_t *d, const uint16_t *s, int w, int h, uint32_t) {
       torvi::ref::gauss3(d, s, w, h);
     }},
    {"flypix3", &FilterSet::flypix3,
     [](uint16_t *d, const uint16_t *s, int w, int h, uint32_t t) {
       torvi::ref::flypix3(d, s, w, h, t);
     }},
    {"fhole3", &FilterSet::fhole3,
     [](uint16_t *d, const uint16_t *s, int w, int h, uint32_t) {
       torvi::ref::fhole3(d, s, w, h);
     }},
    {"fhole5", &FilterSet::fhole5,
     [](uint16_t *d, const uint16_t *s, int w, int h, uint32_t) {
       torvi::ref::fhole5(d, s, w, h);
     }},
};

uint32_t random_threshold(std::mt19937 &rng) {
  static constexpr uint32_t kFixed[] = {0, 16, 90000, 0xFFFFFFFFu, 0x10000000u};
  return rng() % 2 ? kFixed[rng() % std::size(kFixed)] : static_cast<uint32_t>(rng());
}

// Sizes: tiny (scalar path), around every vector width, and across the
// column chunks.
int random_width(std::mt19937 &rng) {
  static constexpr int kEdges[] = {2,   3,   4,   5,   7,   8,   9,   15,  16,  17,
                                   31,  32,  33,  36,  37,  63,  64,  65,  255, 256,
                                   257, 259, 260, 300, 320, 511, 512, 513, 530, 1030};
  return rng() % 3 == 0 ? kEdges[rng() % std::size(kEdges)] : 2 + static_cast<int>(rng() % 90);
}

TEST(FilterExact, EverySetMatchesReferenceOnRandomImages) {
  std::mt19937 rng(20261208);
  const auto sets = torvi::supported_filter_sets();
  ASSERT_FALSE(sets.empty());
  for (int trial = 0; trial < 150; ++trial) {
    const int w = random_width(rng), h = 2 + static_cast<int>(rng() % 12);
    const Image src = random_image(rng, w, h);
    for (const Kernel &k : kKernels) {
      const uint32_t arg = random_threshold(rng);
      Image want(src.size(), 0xABCD);
      k.ref(want.data(), src.data(), w, h, arg);
      for (const FilterSet *set : sets) {
        Image got(src.size(), 0x1234);
        (set->*k.fast)(got.data(), src.data(), w, h, arg);
        ASSERT_EQ(got, want) << k.name << " on " << set->name << ", " << w << "x" << h << ", arg "
                             << arg << ", trial " << trial;
      }
    }
  }
}

TEST(FilterExact, PublicCallsMatchReference) {
  std::mt19937 rng(7);
  const int w = 320, h = 240;
  const Image src = random_image(rng, w, h);
  Image got(src.size()), want(src.size());
  auto check = [&](const char *what) { EXPECT_EQ(got, want) << what; };
  kx_median2d_u16_k3(got.data(), src.data(), w, h);
  torvi::ref::median3(want.data(), src.data(), w, h);
  check("median k3");
  kx_median2d_u16(got.data(), src.data(), w, h, 5);
  torvi::ref::median5(want.data(), src.data(), w, h);
  check("median k5 through the general call");
  kx_box2d_u16_k3(got.data(), src.data(), w, h);
  torvi::ref::box3(want.data(), src.data(), w, h);
  check("box");
  kx_gauss2d_u16_k3(got.data(), src.data(), w, h);
  torvi::ref::gauss3(want.data(), src.data(), w, h);
  check("gauss");
  kx_flypix_u16_k3(got.data(), src.data(), w, h, 90000);
  torvi::ref::flypix3(want.data(), src.data(), w, h, 90000);
  check("flypix");
  kx_fhole_u16_k3(got.data(), src.data(), w, h);
  torvi::ref::fhole3(want.data(), src.data(), w, h);
  check("fhole k3");
  kx_fhole_u16_k5(got.data(), src.data(), w, h);
  torvi::ref::fhole5(want.data(), src.data(), w, h);
  check("fhole k5");
}

// The reference itself against values worked out by hand.
TEST(FilterReference, HandWorkedWindows) {
  // Column-major thinking avoided: rows of a 3 x 3 image.
  const Image src = {10, 20, 30,  //
                     40, 50, 60,  //
                     70, 80, 90};
  Image out(9);
  torvi::ref::box3(out.data(), src.data(), 3, 3);
  EXPECT_EQ(out[4], (10 + 20 + 30 + 40 + 60 + 70 + 80 + 90) >> 3);
  // Corner (0, 0): clamped window rows {10,10,20},{10,10,20},{40,40,50}.
  EXPECT_EQ(out[0], (10 + 10 + 20 + 10 + 20 + 40 + 40 + 50) >> 3);
  torvi::ref::gauss3(out.data(), src.data(), 3, 3);
  EXPECT_EQ(out[4], (10 + 2 * 20 + 30 + 2 * 40 + 4 * 50 + 2 * 60 + 70 + 2 * 80 + 90) >> 4);
  torvi::ref::median3(out.data(), src.data(), 3, 3);
  EXPECT_EQ(out[4], 50);
  EXPECT_EQ(out[0], 20);  // {10,10,20,10,10,20,40,40,50}
  EXPECT_EQ(out[8], 80);  // {50,60,60,80,90,90,80,90,90}
}

TEST(FilterSizes, TwoByTwoIsFilteredAndOneRowIsRefused) {
  const Image src = {1, 2, 3, 4};
  Image out(4, 0);
  kx_median2d_u16_k5(out.data(), src.data(), 2, 2);
  // A 5 x 5 window of a 2 x 2 image holds its own pixel 9 times, the two
  // beside it 6 times and the opposite one 4 times; at (0, 0): 1 x9, 2 x6,
  // 3 x6, 4 x4, so the 13th value is 2.
  EXPECT_EQ(out, (Image{2, 2, 3, 3}));

  Image row(5, 7);
  const Image line = {1, 2, 3, 4, 5};
  const std::string log = console_of([&] {
    kx_gauss2d_u16_k3(row.data(), line.data(), 5, 1);
    kx_median2d_u16_k3(row.data(), line.data(), 1, 5);
  });
  EXPECT_NE(log.find("[kx_gauss2d_u16_k3]  wrong parameter:w/h=5/1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[kx_median2d_u16_k3]  wrong parameter:w/h=1/5\n"), std::string::npos) << log;
  EXPECT_EQ(row, Image(5, 7));
}

TEST(FilterValues, MedianRemovesLoneMarker) {
  Image src(8 * 6, 1000), out(src.size());
  src[2 * 8 + 3] = 65300;
  kx_median2d_u16_k3(out.data(), src.data(), 8, 6);
  EXPECT_EQ(out, Image(src.size(), 1000));
}

TEST(FilterValues, HoleFillingReadsSignedValues) {
  for (uint16_t centre : {uint16_t{0}, uint16_t{65300}, uint16_t{32768}, uint16_t{65535}}) {
    Image src(5 * 5, 1000), out(src.size());
    src[12] = centre;
    kx_fhole_u16_k3(out.data(), src.data(), 5, 5);
    EXPECT_EQ(out[12], 1000) << centre;
    kx_fhole_u16_k5(out.data(), src.data(), 5, 5);
    EXPECT_EQ(out[12], 1000) << centre;
  }
  // Among holes only: 0 beats every marker, a larger marker beats a smaller.
  Image src(3 * 3, 65300), out(9);
  src[0] = 65500;
  kx_fhole_u16_k3(out.data(), src.data(), 3, 3);
  EXPECT_EQ(out[4], 65500);
  src[8] = 0;
  kx_fhole_u16_k3(out.data(), src.data(), 3, 3);
  EXPECT_EQ(out[4], 0);
  // A valid centre is kept whatever its neighbours.
  src[4] = 5;
  kx_fhole_u16_k3(out.data(), src.data(), 3, 3);
  EXPECT_EQ(out[4], 5);
}

TEST(FilterValues, BoxExcludesCentre) {
  Image flat(6 * 4, 4321), out(flat.size());
  kx_box2d_u16_k3(out.data(), flat.data(), 6, 4);
  EXPECT_EQ(out, flat);
  Image spike(6 * 4, 0);
  spike[1 * 6 + 2] = 60000;
  kx_box2d_u16_k3(out.data(), spike.data(), 6, 4);
  EXPECT_EQ(out[1 * 6 + 2], 0);
  EXPECT_EQ(out[1 * 6 + 3], 60000 >> 3);
  // Eight maximal neighbours: the 16-bit result is the full 65535.
  Image high(3 * 3, 65535), out3(9);
  high[4] = 0;
  kx_box2d_u16_k3(out3.data(), high.data(), 3, 3);
  EXPECT_EQ(out3[4], 65535);
}

TEST(FilterValues, FlyingPixelThresholds) {
  // A plane rising by 4 per column: after the division by 4 the right and
  // left columns differ by 2, so gx = 2 * (1 + 2 + 1) = 8, gy = 0, s = 64.
  const int w = 8, h = 5;
  Image ramp(w * h), out(ramp.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) ramp[y * w + x] = static_cast<uint16_t>(1000 + 4 * x);
  kx_flypix_u16_k3(out.data(), ramp.data(), w, h, 64 << 4);
  EXPECT_EQ(out, ramp);  // s == bound is kept
  kx_flypix_u16_k3(out.data(), ramp.data(), w, h, (64 << 4) - 16);
  EXPECT_EQ(out[2 * w + 3], 0);  // s > bound removes interior pixels
  // Border columns see half the slope (clamped), s = 16 there.
  EXPECT_EQ(out[2 * w + 0], ramp[2 * w + 0]);
  // Threshold 0 keeps only pixels whose quartered neighbours are balanced.
  Image flat(w * h, 777);
  kx_flypix_u16_k3(out.data(), flat.data(), w, h, 0);
  EXPECT_EQ(out, flat);
  Image bumps = flat;
  bumps[2 * w + 4] = 781;  // +4 is +1 after the division
  kx_flypix_u16_k3(out.data(), bumps.data(), w, h, 0);
  EXPECT_EQ(out[2 * w + 4], 781);  // its own value does not enter its gradient
  EXPECT_EQ(out[2 * w + 3], 0);
  EXPECT_EQ(out[1 * w + 4], 0);
  EXPECT_EQ(out[0 * w + 0], 777);
}

TEST(FilterValues, FlyingPixelSumWrapsIn32Bits) {
  // Quartered neighbours: T = L = 1404, R = B = BR = 16383, the rest 0, so
  // gx = gy = 49149 - 2 * 1404 = 46341 and gx^2 + gy^2 = 4294976562, which
  // wraps to 9266 in 32 bits.
  const Image src = {0,    5616,  0,      //
                     5616, 9,     65535,  //
                     0,    65535, 65535};
  Image out(9), want(9);
  kx_flypix_u16_k3(out.data(), src.data(), 3, 3, 9266u << 4);
  EXPECT_EQ(out[4], 9);
  kx_flypix_u16_k3(out.data(), src.data(), 3, 3, 9265u << 4);
  EXPECT_EQ(out[4], 0);
  for (const torvi::FilterSet *set : torvi::supported_filter_sets()) {
    for (uint32_t t : {9266u << 4, 9265u << 4, 0xFFFFFFFFu}) {
      set->flypix3(out.data(), src.data(), 3, 3, t);
      torvi::ref::flypix3(want.data(), src.data(), 3, 3, t);
      EXPECT_EQ(out, want) << set->name << " " << t;
    }
  }
}

}  // namespace
