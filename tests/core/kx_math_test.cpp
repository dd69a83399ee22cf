#include <gtest/gtest.h>
#include <torvi/kx_math.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Exact angle of (x, y) in phase units, in [0, 30000).
double exact_units(double y, double x) {
  double a = std::atan2(y, x) * 30000.0 / kTwoPi;
  if (a < 0) a += 30000.0;
  return a;
}

// Distance between two angles on the 30000-unit circle.
double circular_error(double got, double want) {
  double d = std::fmod(std::fabs(got - want), 30000.0);
  return std::min(d, 30000.0 - d);
}

TEST(Atan2Table, EveryEntryIsTheRoundedAngleOverDenominator4095) {
  for (int i = 0; i < ARCTAN2_LUT_NUM; ++i) {
    const double exact = std::atan2(static_cast<double>(i), 4095.0) * 30000.0 / kTwoPi;
    ASSERT_EQ(g_atan2_LUT[i], static_cast<uint16_t>(std::lround(exact))) << "entry " << i;
    // No entry sits on a rounding tie, so the order of the factors in the
    // formula cannot change the table.
    ASSERT_GT(std::fabs(exact - std::floor(exact) - 0.5), 1e-6) << "entry " << i;
    if (i > 0) {
      ASSERT_GE(g_atan2_LUT[i], g_atan2_LUT[i - 1]) << "entry " << i;
    }
  }
  EXPECT_EQ(g_atan2_LUT[0], 0);
  EXPECT_EQ(g_atan2_LUT[4095], 3750);
}

TEST(Atan2, AxesAndDiagonals) {
  EXPECT_EQ(kx_math_atan2_i32(0, 5), 0);
  EXPECT_EQ(kx_math_atan2_i32(0, -5), 15000);
  EXPECT_EQ(kx_math_atan2_i32(0, 0), 0);
  EXPECT_EQ(kx_math_atan2_i32(5, 0), 7500);
  EXPECT_EQ(kx_math_atan2_i32(-5, 0), 22500);
  EXPECT_EQ(kx_math_atan2_i32(5, 5), 3750);
  EXPECT_EQ(kx_math_atan2_i32(5, -5), 11250);
  EXPECT_EQ(kx_math_atan2_i32(-5, -5), 18750);
  EXPECT_EQ(kx_math_atan2_i32(-5, 5), 26250);
}

TEST(Atan2, IndexScalesBy4096AndFoldsAtPiOver4) {
  EXPECT_EQ(kx_math_atan2_i32(1, 4096), g_atan2_LUT[1]);
  EXPECT_EQ(kx_math_atan2_i32(1, 4096), 1);
  EXPECT_EQ(kx_math_atan2_i32(4095, 4096), 3750);  // index 4095
  EXPECT_EQ(kx_math_atan2_i32(1, 8193), 0);        // index 0 (4096 / 8193)
  // Just below the positive x axis: 22500 + 3750 + table[4095].
  EXPECT_EQ(kx_math_atan2_i32(-1, 10000), 30000);
  // Upper octant: (3, 1) folds to index (2 * 4096) / 4 = 2048.
  EXPECT_EQ(kx_math_atan2_i32(3, 1), 3750 + g_atan2_LUT[2048]);
}

TEST(Atan2, QuarterTurnRotationAddsExactly7500) {
  // Rotating (x, y) to (-y, x) lands in the next quadrant with the same
  // reduced pair, so the results differ by exactly a quarter turn.
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> d(1, 4095);
  for (int n = 0; n < 20000; ++n) {
    int x = d(rng), y = d(rng);
    int prev = kx_math_atan2_i32(y, x);
    for (int q = 1; q <= 3; ++q) {
      const int nx = -y, ny = x;
      x = nx, y = ny;
      const int now = kx_math_atan2_i32(y, x);
      ASSERT_EQ(now, prev + 7500) << "point " << x << "," << y;
      prev = now;
    }
  }
}

TEST(Atan2, WithinTwoUnitsOfTheMathLibraryOverTheInputRange) {
  double worst = 0;
  auto check = [&](int y, int x) {
    const int got = kx_math_atan2_i32(y, x);
    ASSERT_GE(got, 0);
    ASSERT_LE(got, 30000);
    if (got == 30000) {
      ASSERT_TRUE(y < 0 && x > 0) << y << "," << x;
    }
    const double err = circular_error(got, exact_units(y, x));
    worst = std::max(worst, err);
    ASSERT_LE(err, 2.0) << "y=" << y << " x=" << x << " got " << got;
  };
  for (int y = -80; y <= 80; ++y)
    for (int x = -80; x <= 80; ++x) check(y, x);
  // Differences of 12-bit samples, the decoders' inputs.
  for (int y = -4095; y <= 4095; y += 13)
    for (int x = -4095; x <= 4095; x += 17) check(y, x);
  // Coarse grid over the whole designed range |v| < 2^19.
  const int lim = (1 << 19) - 1;
  for (int y = -lim; y <= lim; y += 4099)
    for (int x = -lim; x <= lim; x += 4111) check(y, x);
  EXPECT_GT(worst, 0.5);  // the grid really exercised the table's coarseness
}

TEST(Atan2, InputsBeyondTheDesignedRangeStayCorrect) {
  const int big[] = {
      std::numeric_limits<int>::min(), -(1 << 30), -(1 << 19), (1 << 19), (1 << 30) + 12345,
      std::numeric_limits<int>::max()};
  for (int y : big)
    for (int x : big) {
      const int got = kx_math_atan2_i32(y, x);
      EXPECT_LE(circular_error(got, exact_units(y, x)), 2.0) << y << "," << x;
    }
  EXPECT_EQ(kx_math_atan2_i32(0, std::numeric_limits<int>::min()), 15000);
  EXPECT_EQ(kx_math_atan2_i32(std::numeric_limits<int>::min(), 0), 22500);
}

// Independent rendering of the documented square-root tricks.
float ref_sqrtf(float v) {
  uint32_t u;
  std::memcpy(&u, &v, 4);
  u = u / 2 + 532675442u;
  float g;
  std::memcpy(&g, &u, 4);
  for (int i = 0; i < 2; ++i) {
    double next =
        static_cast<double>(g) * 0.5 + (static_cast<double>(v) * 0.5) / static_cast<double>(g);
    g = static_cast<float>(next);
  }
  return g;
}

float ref_inv_sqrtf(float v) {
  int32_t i;
  std::memcpy(&i, &v, 4);
  i = 1597463174 - (i >> 1);
  float y;
  std::memcpy(&y, &i, 4);
  const double h = static_cast<double>(v) / 2.0;
  const double yy = static_cast<double>(y);
  return static_cast<float>(yy * (1.5 - h * yy * yy));
}

// Random positive floats spread over many orders of magnitude.
std::vector<float> sample_floats(unsigned seed, int count) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> mant(1.0f, 2.0f);
  std::uniform_int_distribution<int> ex(-60, 60);
  std::vector<float> out;
  for (int n = 0; n < count; ++n) out.push_back(std::ldexp(mant(rng), ex(rng)));
  for (int n = 0; n <= 70000; n += 7) out.push_back(static_cast<float>(n));  // integer amplitudes
  return out;
}

TEST(FastSqrt, BitExactWithTheDocumentedStepsAndCloseToSqrt) {
  for (float v : sample_floats(11, 200000)) {
    const float got = kx_math_sqrtf(v);
    ASSERT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(ref_sqrtf(v))) << v;
    if (v > 0) {
      const double want = std::sqrt(static_cast<double>(v));
      ASSERT_LE(std::fabs(static_cast<double>(got) - want) / want, 1e-5) << v;
    }
  }
}

TEST(FastSqrt, ZeroGivesATinyPositiveValueThatTruncatesToZero) {
  const float r = kx_math_sqrtf(0.0f);
  EXPECT_GT(r, 0.0f);
  EXPECT_LT(r, 1e-18f);
  EXPECT_EQ(static_cast<int>(r), 0);
  // The decoders' amplitude: sqrt((a^2 + b^2) / 4) truncated.
  EXPECT_EQ(static_cast<int>(kx_math_sqrtf(static_cast<float>((300 * 300 + 400 * 400) >> 2))), 250);
}

TEST(FastInvSqrt, BitExactWithTheDocumentedStepAndCloseToInverseSqrt) {
  for (float v : sample_floats(12, 200000)) {
    if (v == 0) continue;
    const float got = kx_math_inv_sqrtf(v);
    ASSERT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(ref_inv_sqrtf(v))) << v;
    const double want = 1.0 / std::sqrt(static_cast<double>(v));
    ASSERT_LE(std::fabs(static_cast<double>(got) - want) / want, 2e-3) << v;
  }
  EXPECT_NEAR(kx_math_inv_sqrtf(4.0f), 0.5f, 0.5f * 2e-3f);
}

std::string printed(int lut_num) {
  ::testing::internal::CaptureStdout();
  kx_math_lut_print_arctan2(lut_num);
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

// The expected text, composed independently of the library.
std::string expected_text(int n) {
  std::ostringstream s;
  s << "#define ARCTAN2_LUT_NUM " << n << "\n"
    << "static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n";
  for (int i = 0; i < n; ++i) {
    s << std::lround(std::atan2(i, n - 1.0) / kTwoPi * 30000.0) << ", ";
    if (i % 16 == 15) s << "\n    ";
  }
  if (n > 0 && n % 16 != 0) s << "\n";
  s << "};\n";
  return s.str();
}

TEST(LutPrint, FullTablePrintsExactlyTheLibraryTable) {
  const std::string out = printed(4096);
  EXPECT_EQ(out, expected_text(4096));
  // Reading the numbers back gives g_atan2_LUT.
  std::istringstream in(out.substr(out.find('{') + 1));
  for (int i = 0; i < ARCTAN2_LUT_NUM; ++i) {
    unsigned v = 0;
    char comma = 0;
    ASSERT_TRUE(in >> v >> comma) << "entry " << i;
    ASSERT_EQ(v, g_atan2_LUT[i]) << "entry " << i;
  }
  EXPECT_TRUE(out.ends_with("3749, 3750, \n    };\n"));
}

TEST(LutPrint, EmptyAndSmallTables) {
  EXPECT_EQ(
      printed(0),
      "#define ARCTAN2_LUT_NUM 0\nstatic const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n};\n");
  EXPECT_EQ(
      printed(-3),
      "#define ARCTAN2_LUT_NUM -3\nstatic const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n};\n");
  EXPECT_EQ(printed(1),
            "#define ARCTAN2_LUT_NUM 1\nstatic const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n0, "
            "\n};\n");
  // atan2(i, 4) for i = 0..4: 0, 0.2450, 0.4636, 0.6435, pi/4 radians.
  EXPECT_EQ(printed(5),
            "#define ARCTAN2_LUT_NUM 5\nstatic const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n"
            "0, 1170, 2214, 3072, 3750, \n};\n");
}

TEST(LutPrint, SizeNotAMultipleOf16BreaksLinesAfterEvery16thValue) {
  const std::string out = printed(20);
  EXPECT_EQ(out, expected_text(20));
  const size_t brk = out.find("\n    ");
  ASSERT_NE(brk, std::string::npos);
  // 16 values before the first break, 4 after it, then the closing line.
  const std::string first = out.substr(out.find("{\n") + 2, brk - out.find("{\n") - 2);
  EXPECT_EQ(std::count(first.begin(), first.end(), ','), 16);
  const std::string rest = out.substr(brk + 5);
  EXPECT_EQ(std::count(rest.begin(), rest.end(), ','), 4);
  EXPECT_TRUE(rest.ends_with(", \n};\n")) << rest;
}

}  // namespace
