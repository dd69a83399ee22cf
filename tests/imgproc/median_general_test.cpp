// The general median (sorted list over a serpentine walk) against sorting.
#include <gtest/gtest.h>
#include <torvi/kx_filter.h>

#include <random>
#include <string>

#include "core/test_hooks.h"
#include "image_util.h"
#include "imgproc/filter_ref.h"

using torvi::test::console_of;
using torvi::test::Image;
using torvi::test::random_image;

namespace {

TEST(MedianGeneral, MatchesSortingOnRandomImages) {
  std::mt19937 rng(99);
  for (int trial = 0; trial < 60; ++trial) {
    const int k = 7 + 2 * static_cast<int>(rng() % 4);  // 7 .. 13
    const int w = k / 2 + 1 + static_cast<int>(rng() % 30),
              h = k / 2 + 1 + static_cast<int>(rng() % 12);
    const Image src = random_image(rng, w, h);
    Image got(src.size(), 1), want(src.size(), 2);
    kx_median2d_u16(got.data(), src.data(), w, h, k);
    torvi::ref::median(want.data(), src.data(), w, h, k);
    ASSERT_EQ(got, want) << w << "x" << h << " k" << k << " trial " << trial;
  }
}

TEST(MedianGeneral, KernelLimits) {
  std::mt19937 rng(5);
  const Image src = random_image(rng, 4, 4);
  Image out(16, 0xEEEE), want(16);
  kx_median2d_u16(out.data(), src.data(), 4, 4, 7);  // 7 < 8: runs
  torvi::ref::median(want.data(), src.data(), 4, 4, 7);
  EXPECT_EQ(out, want);
  for (int k : {9, 4, 1, -3, 0}) {
    Image untouched(16, 0xEEEE);
    const std::string log =
        console_of([&] { kx_median2d_u16(untouched.data(), src.data(), 4, 4, k); });
    EXPECT_NE(
        log.find("[kx_median2d_u16]  wrong parameter:w/h/kernel=4/4/" + std::to_string(k) + "\n"),
        std::string::npos)
        << log;
    EXPECT_EQ(untouched, Image(16, 0xEEEE)) << k;
  }
}

TEST(MedianGeneral, FixedKernelsGoToFixedVersions) {
  std::mt19937 rng(6);
  const Image src = random_image(rng, 40, 9);
  Image got(src.size()), want(src.size());
  kx_median2d_u16(got.data(), src.data(), 40, 9, 3);
  torvi::ref::median3(want.data(), src.data(), 40, 9);
  EXPECT_EQ(got, want);
  // Kernel 5 is accepted even on a 2 x 2 image (fixed version, clamping).
  const Image tiny = {4, 3, 2, 1};
  Image out(4);
  kx_median2d_u16(out.data(), tiny.data(), 2, 2, 5);
  EXPECT_EQ(out, (Image{3, 3, 2, 2}));  // own pixel x9, beside x6, opposite x4
}

TEST(MedianGeneral, AllocationFailureFailsTheCall) {
  std::mt19937 rng(8);
  const Image src = random_image(rng, 12, 10);
  Image want(src.size());
  torvi::ref::median(want.data(), src.data(), 12, 10, 7);
  // First allocation: the node table; second: the nodes.
  const std::pair<int, const char *> cases[] = {{1, "[kx_median2d_u16] malloc failed\n"},
                                                {2, "[_median2d_u16_add_val] malloc failed\n"}};
  for (const auto &[nth, line] : cases) {
    Image out(src.size(), 0x5555);
    std::string log;
    {
      torvi::hooks::ScopedKnob fail(torvi::hooks::Knob::kImgprocFailNthAlloc, nth);
      log = console_of([&] { kx_median2d_u16(out.data(), src.data(), 12, 10, 7); });
    }
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(out, Image(src.size(), 0x5555)) << nth;
    // The next call works again.
    kx_median2d_u16(out.data(), src.data(), 12, 10, 7);
    EXPECT_EQ(out, want) << nth;
  }
}

}  // namespace
