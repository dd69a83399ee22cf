// The EPC decode kernels: per-pixel arithmetic, the vectorised versions
// against the plain ones on random frames, and the per-frame steps.
#include "drivers/epc/decode_kernels.h"

#include <gtest/gtest.h>
#include <torvi/kx_math.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/test_hooks.h"
#include "epc/chip.h"

namespace torvi::epc {
namespace {

constexpr uint32_t kRange12MHz = 12491;

// Four planes of `pixels` samples.
struct Frame {
  size_t pixels;
  std::vector<uint16_t> s;
  explicit Frame(size_t n) : pixels(n), s(4 * n) {}
  void set(size_t i, uint16_t d0, uint16_t d1, uint16_t d2, uint16_t d3) {
    s[i] = d0;
    s[pixels + i] = d1;
    s[2 * pixels + i] = d2;
    s[3 * pixels + i] = d3;
  }
};

// Samples of a target at `mm` for the modulation range, as the sensor makes them.
void set_distance(Frame &f, size_t i, double mm, double range, double amp = 800) {
  const double theta = 2 * std::numbers::pi * (std::fmod(mm / range, 1.0) - 0.5);
  const auto at = [](double v) { return static_cast<uint16_t>(std::lround(v)); };
  f.set(i, at(2048 - amp * std::cos(theta)), at(2048 - amp * std::sin(theta)),
        at(2048 + amp * std::cos(theta)), at(2048 + amp * std::sin(theta)));
}

// Random samples: mostly mid-range, with zeros, saturation and high bits set.
Frame random_frame(size_t pixels, std::mt19937 &rng) {
  Frame f(pixels);
  std::uniform_int_distribution<int> pick(0, 99), any(0, 65535), mid(1, 4094);
  for (uint16_t &v : f.s) {
    const int k = pick(rng);
    v = k < 3   ? 0
        : k < 6 ? 4095
        : k < 9 ? static_cast<uint16_t>(any(rng))
                : static_cast<uint16_t>(mid(rng));
  }
  return f;
}

// Per-pixel tables: rising, with flat and falling stretches and garbage mixed in.
std::vector<uint16_t> random_tables(size_t pixels, int n, std::mt19937 &rng) {
  std::vector<uint16_t> t(pixels * static_cast<size_t>(n));
  std::uniform_int_distribution<int> kind(0, 9), start(0, 4000), inc(0, 1400), any(0, 65535);
  for (size_t p = 0; p < pixels; ++p) {
    const int k = kind(rng);
    int v = start(rng);
    for (int e = 0; e < n; ++e) {
      uint16_t &x = t[p * static_cast<size_t>(n) + static_cast<size_t>(e)];
      if (k == 0) {
        x = static_cast<uint16_t>(any(rng));
      } else if (k == 1) {
        x = static_cast<uint16_t>(40000 - 1000 * e);  // falling: not a table
      } else {
        v += (k == 2 && e % 3 == 1) ? 0 : inc(rng);  // k == 2: flat segments
        x = static_cast<uint16_t>(std::min(v, 65535));
      }
    }
  }
  return t;
}

TEST(DecodePixel, MidScaleSamplesAreValidWithHalfTurnPhase) {
  int phase = -1, amp = -1;
  ASSERT_TRUE(pixel_phase_amp(2048, 2048, 2048, 2048, phase, amp));
  EXPECT_EQ(phase, 15000);
  EXPECT_EQ(amp, 0);
  const SimpleParams p{kRange12MHz, 1010, 20};
  EXPECT_EQ(simple_distance(phase, p), (12491 / 2) * 1010 / 1000 + 20);
}

TEST(DecodePixel, SaturatedOrZeroSampleIsInvalid) {
  int phase = 0, amp = 0;
  EXPECT_FALSE(pixel_phase_amp(4095, 2000, 2000, 2000, phase, amp));
  EXPECT_FALSE(pixel_phase_amp(2000, 2000, 0, 2000, phase, amp));
  EXPECT_TRUE(pixel_phase_amp(2000, 4094, 1, 2000, phase, amp));
  // Only the low 12 bits are the sample: 0x1000 reads as 0.
  EXPECT_FALSE(pixel_phase_amp(0x1000, 2000, 2000, 2000, phase, amp));

  Frame f(8);
  for (size_t i = 0; i < 8; ++i) f.set(i, 2048, 2048, 2048, 2048);
  f.set(3, 4095, 2048, 2048, 2048);
  std::vector<uint16_t> dist(8), amp_s(8), amp_d(8);
  dist_simple_ref(dist.data(), amp_s.data(), f.s.data(), 8, {kRange12MHz, 1000, 0});
  EXPECT_EQ(dist[3], kDistInvalid);
  EXPECT_EQ(amp_s[3], kDistInvalid);
  dist_drnu_ref(dist.data(), amp_d.data(), f.s.data(), 8, {kRange12MHz, 0, 0, 0, nullptr, 0});
  EXPECT_EQ(dist[3], kDistInvalid);
  EXPECT_EQ(amp_d[3], 0);
  EXPECT_NE(dist[2], kDistInvalid);
}

TEST(DecodePixel, AmplitudeIsHalfTheSampleSwing) {
  int phase = 0, amp = 0;
  ASSERT_TRUE(pixel_phase_amp(1248, 2048, 2848, 2048, phase, amp));  // a = 1600, b = 0
  EXPECT_EQ(amp, 800);
}

TEST(DecodeSimple, DistanceFollowsThePhaseOfTheTarget) {
  for (double mm : {300.0, 1000.0, 2500.0, 4000.0, 6000.0, 11000.0}) {
    Frame f(1);
    set_distance(f, 0, mm, 149896229.0 / 12000.0);
    int phase = 0, amp = 0;
    ASSERT_TRUE(pixel_phase_amp(f.s[0], f.s[1], f.s[2], f.s[3], phase, amp));
    EXPECT_NEAR(simple_distance(phase, {kRange12MHz, 1000, 0}), mm, 6.0) << mm;
    EXPECT_NEAR(amp, 800, 2);
  }
}

TEST(DecodeSimple, WrapsOnceAroundTheRange) {
  // phase 0 gives 0 mm; the offset then moves the result below 0 or past the range.
  EXPECT_EQ(simple_distance(0, {kRange12MHz, 1000, -5}), 12486);
  EXPECT_EQ(simple_distance(0, {kRange12MHz, 1000, 12500}), 9);
  EXPECT_EQ(simple_distance(0, {kRange12MHz, 1000, 12491}), 12491);
  // A calibration that lands beyond one more range gives no distance, not a wrapped number.
  EXPECT_EQ(simple_distance(0, {kRange12MHz, 1000, -30000}), kDistInvalid);
}

TEST(DecodeDrnu, LinearTableMapsCalibrationPhasesToTheirDistances) {
  // Pixel phases at calibration distances 0, 1, ... steps from the base.
  constexpr int kN = 30;
  std::vector<uint16_t> lut(kN);
  for (int k = 0; k < kN; ++k) lut[k] = static_cast<uint16_t>(1000 + 700 * k);
  DrnuParams p{kRange12MHz, 0, 708, 716.0f, lut.data(), kN};
  // A phase at entry k maps to base + k steps.
  EXPECT_EQ(drnu_distance(1000 + 700 * 5, lut.data(), p),
            static_cast<uint16_t>((708 + 5 * 716) * kRange12MHz / 30000));
  // Half way between two entries: half a step on.
  EXPECT_EQ(drnu_distance(1000 + 700 * 5 + 350, lut.data(), p),
            static_cast<uint16_t>((708 + 5 * 716 + 358) * kRange12MHz / 30000));
  // Below the first entry the first segment extrapolates.
  EXPECT_EQ(drnu_distance(1000 - 70, lut.data(), p),
            static_cast<uint16_t>((708 - 71) * kRange12MHz / 30000));
}

TEST(DecodeDrnu, TemperatureCompensationShiftsThePhase) {
  constexpr int kN = 2;
  const uint16_t lut[kN] = {0, 30000};
  DrnuParams p{kRange12MHz, 0, 0, 30000.0f, lut, kN};
  const uint16_t cold = drnu_distance(12000, lut, p);
  p.phase_comp = 120.0f;  // the camera warmed: its phases read 120 units late
  EXPECT_EQ(drnu_distance(12120, lut, p), cold);
}

TEST(DecodeDrnu, NegativeCompensatedPhaseWrapsIntoTheTurn) {
  // No table: the compensated phase is used directly. 100 - 300 = -200 units
  // is the same point of the turn as 29800.
  DrnuParams p{kRange12MHz, 300.0f, 0, 0, nullptr, 0};
  EXPECT_EQ(drnu_distance(100, nullptr, p), static_cast<uint16_t>(29800u * kRange12MHz / 30000));
  // With a table whose correction lands below zero.
  const uint16_t lut[2] = {1000, 2000};
  DrnuParams q{kRange12MHz, 0, -500, 100.0f, lut, 2};
  EXPECT_EQ(drnu_distance(1000, lut, q), static_cast<uint16_t>(29500u * kRange12MHz / 30000));
}

TEST(DecodeDrnu, FlatOrFallingTablesStaySound) {
  const uint16_t flat[4] = {5000, 6000, 6000, 7000};
  DrnuParams p{kRange12MHz, 0, 700, 700.0f, flat, 4};
  // Phase 6000 falls in the flat segment 1: one step on, no division by zero.
  EXPECT_EQ(drnu_distance(6000, flat, p), static_cast<uint16_t>((700 + 700) * kRange12MHz / 30000));
  const uint16_t falling[4] = {9000, 8000, 7000, 6000};
  // Not a usable table: the phase is used unchanged.
  EXPECT_EQ(drnu_distance(15000, falling, p), static_cast<uint16_t>(15000u * kRange12MHz / 30000));
}

// The vectorised kernels of one instruction set.
struct FastKernels {
  const char *name;
  DecodeIsa isa;
  void (*simple)(uint16_t *, uint16_t *, const uint16_t *, size_t, const SimpleParams &);
  void (*drnu)(uint16_t *, uint16_t *, const uint16_t *, size_t, const DrnuParams &);
  void (*gray)(uint16_t *, const uint16_t *, size_t);
  void (*amplitude)(uint16_t *, const int32_t *, size_t);
};

const FastKernels kFastKernels[] = {
    {"avx2", DecodeIsa::kAvx2, dist_simple_avx2, dist_drnu_avx2, gray_avx2,
     amplitude_of_squares_avx2},
    {"avx512", DecodeIsa::kAvx512, dist_simple_avx512, dist_drnu_avx512, gray_avx512,
     amplitude_of_squares_avx512},
};

// Names the instruction set in test messages.
void PrintTo(const FastKernels &k, std::ostream *os) { *os << k.name; }

class DecodeKernelEquality : public ::testing::TestWithParam<FastKernels> {
 protected:
  void SetUp() override {
    if (!cpu_runs(GetParam().isa)) GTEST_SKIP() << "no " << GetParam().name << " on this CPU";
  }
  static const FastKernels &k() { return GetParam(); }
};

TEST_P(DecodeKernelEquality, SimpleVectorMatchesPlainOnRandomFrames) {
  std::mt19937 rng(11);
  const SimpleParams params[] = {{kRange12MHz, 1000, 0},  {kRange12MHz, 1013, -37},
                                 {kRange12MHz, 987, 300}, {kRange12MHz, 1000, -12000},
                                 {18737, 2500, 9000},     {kRange12MHz, -700, 50},
                                 {60000, 32767, 999999},  {70000, 40000, 5},  // reference path
                                 {4164, 1000, 12},        {0, 1000, 0}};
  for (size_t pixels : {size_t{8}, size_t{76800}, size_t{1003}}) {
    for (const SimpleParams &p : params) {
      const Frame f = random_frame(pixels, rng);
      std::vector<uint16_t> d_ref(pixels), a_ref(pixels), d_vec(pixels, 1), a_vec(pixels, 1);
      dist_simple_ref(d_ref.data(), a_ref.data(), f.s.data(), pixels, p);
      k().simple(d_vec.data(), a_vec.data(), f.s.data(), pixels, p);
      ASSERT_EQ(d_vec, d_ref) << pixels << " px, range " << p.range_mm << " scale " << p.scale;
      ASSERT_EQ(a_vec, a_ref);
    }
  }
}

TEST_P(DecodeKernelEquality, DrnuVectorMatchesPlainOnRandomFramesAndTables) {
  std::mt19937 rng(12);
  for (size_t pixels : {size_t{76800}, size_t{1001}, size_t{16}}) {
    for (int n : {30, 12, 2, 1, 0}) {
      const std::vector<uint16_t> table = random_tables(pixels, std::max(n, 1), rng);
      for (float comp : {0.0f, 35.7f, -812.25f, 20000.0f, 1e9f, std::nanf("")}) {
        for (float step : {716.3f, 0.0f, -40.5f}) {
          const Frame f = random_frame(pixels, rng);
          const DrnuParams p{kRange12MHz, comp, 708, step, n > 0 ? table.data() : nullptr, n};
          std::vector<uint16_t> d_ref(pixels), a_ref(pixels), d_vec(pixels, 1), a_vec(pixels, 1);
          dist_drnu_ref(d_ref.data(), a_ref.data(), f.s.data(), pixels, p);
          k().drnu(d_vec.data(), a_vec.data(), f.s.data(), pixels, p);
          ASSERT_EQ(d_vec, d_ref) << pixels << " px, n " << n << " comp " << comp << " step "
                                  << step;
          ASSERT_EQ(a_vec, a_ref);
        }
      }
    }
  }
}

TEST_P(DecodeKernelEquality, DrnuFromSegmentCopiesMatchesPlain) {
  std::mt19937 rng(14);
  for (size_t pixels : {size_t{76800}, size_t{1003}, size_t{24}}) {
    for (int n : {30, 7, 2}) {
      const std::vector<uint16_t> table = random_tables(pixels, n, rng);
      DrnuSegmentTable segments;
      drnu_segments(segments, table, pixels, n);
      for (float comp : {0.0f, 35.7f, -812.25f, 1e9f}) {
        const Frame f = random_frame(pixels, rng);
        DrnuParams p{kRange12MHz, comp, 708, 716.3f, table.data(), n};
        std::vector<uint16_t> d_ref(pixels), a_ref(pixels), d_vec(pixels, 1), a_vec(pixels, 1);
        dist_drnu_ref(d_ref.data(), a_ref.data(), f.s.data(), pixels, p);
        p.segments = segments.data();
        k().drnu(d_vec.data(), a_vec.data(), f.s.data(), pixels, p);
        ASSERT_EQ(d_vec, d_ref) << pixels << " px, n " << n << " comp " << comp;
        ASSERT_EQ(a_vec, a_ref);
      }
    }
  }
}

TEST_P(DecodeKernelEquality, AmplitudeMatchesTheRootForEverySumOfSquares) {
  // Every value (a^2 + b^2) >> 2 can take, and a little beyond.
  constexpr int32_t kLast = int32_t{1} << 23;
  std::vector<int32_t> v(static_cast<size_t>(kLast) + 1);
  for (int32_t i = 0; i <= kLast; ++i) v[static_cast<size_t>(i)] = i;
  std::vector<uint16_t> amp(v.size(), 0xFFFF);
  k().amplitude(amp.data(), v.data(), v.size());
  size_t wrong = 0;
  int32_t first_wrong = -1;
  for (int32_t i = 0; i <= kLast; ++i) {
    const auto want = static_cast<uint16_t>(kx_math_sqrtf(static_cast<float>(i)));
    if (amp[static_cast<size_t>(i)] != want && wrong++ == 0) first_wrong = i;
  }
  EXPECT_EQ(wrong, 0u) << "first at " << first_wrong;
}

TEST_P(DecodeKernelEquality, PhasesOnTheAxesAndDiagonalsMatch) {
  // The quadrant and octant borders: a or b zero, |a| = |b| and one off.
  std::vector<std::array<int, 2>> ab;
  for (int t = -4093; t <= 4093; ++t)
    for (int e : {-1, 0, 1}) {
      ab.push_back({t, 0});
      ab.push_back({0, t});
      if (std::abs(t + e) <= 4093) {
        ab.push_back({t, t + e});
        ab.push_back({t, -(t + e)});
      }
    }
  const size_t pixels = ab.size();
  Frame f(pixels);
  for (size_t i = 0; i < pixels; ++i) {
    const int a = ab[i][0], b = ab[i][1];
    const int d0 = a < 0 ? 1 - a : 1, d1 = b < 0 ? 1 - b : 1;
    f.set(i, static_cast<uint16_t>(d0), static_cast<uint16_t>(d1), static_cast<uint16_t>(d0 + a),
          static_cast<uint16_t>(d1 + b));
  }
  const DrnuParams p{kRange12MHz, 0, 0, 0, nullptr, 0};  // distance = phase scaled
  std::vector<uint16_t> d_ref(pixels), a_ref(pixels), d_vec(pixels), a_vec(pixels);
  dist_drnu_ref(d_ref.data(), a_ref.data(), f.s.data(), pixels, p);
  k().drnu(d_vec.data(), a_vec.data(), f.s.data(), pixels, p);
  for (size_t i = 0; i < pixels; ++i) {
    ASSERT_EQ(d_vec[i], d_ref[i]) << "a " << ab[i][0] << " b " << ab[i][1];
    ASSERT_EQ(a_vec[i], a_ref[i]) << "a " << ab[i][0] << " b " << ab[i][1];
  }
}

TEST_P(DecodeKernelEquality, EveryPhaseAndAmplitudeMatches) {
  // Every pair of sample differences a, b on a grid through the whole range.
  std::vector<uint16_t> samples;
  for (int a = -4093; a <= 4093; a += 37)
    for (int b = -4093; b <= 4093; b += 41) {
      const int d0 = a < 0 ? 1 - a : 1, d1 = b < 0 ? 1 - b : 1;
      samples.insert(samples.end(), {static_cast<uint16_t>(d0), static_cast<uint16_t>(d1),
                                     static_cast<uint16_t>(d0 + a), static_cast<uint16_t>(d1 + b)});
    }
  const size_t pixels = samples.size() / 4;
  Frame f(pixels);
  for (size_t i = 0; i < pixels; ++i)
    f.set(i, samples[4 * i], samples[4 * i + 1], samples[4 * i + 2], samples[4 * i + 3]);
  std::vector<uint16_t> g_ref(pixels), g_vec(pixels, 7), d_ref(pixels), d_vec(pixels), a(pixels);
  gray_ref(g_ref.data(), f.s.data(), pixels);
  k().gray(g_vec.data(), f.s.data(), pixels);
  EXPECT_EQ(g_vec, g_ref);
  const DrnuParams p{kRange12MHz, 0, 0, 0, nullptr, 0};  // distance = phase scaled
  dist_drnu_ref(d_ref.data(), a.data(), f.s.data(), pixels, p);
  k().drnu(d_vec.data(), a.data(), f.s.data(), pixels, p);
  EXPECT_EQ(d_vec, d_ref);
}

TEST_P(DecodeKernelEquality, GrayVectorMatchesPlainOnRandomFrames) {
  std::mt19937 rng(13);
  for (size_t pixels : {size_t{76800}, size_t{7}, size_t{1}}) {
    const Frame f = random_frame(pixels, rng);
    std::vector<uint16_t> ref(pixels), vec(pixels, 3);
    gray_ref(ref.data(), f.s.data(), pixels);
    k().gray(vec.data(), f.s.data(), pixels);
    ASSERT_EQ(vec, ref);
  }
}

INSTANTIATE_TEST_SUITE_P(EachInstructionSet, DecodeKernelEquality,
                         ::testing::ValuesIn(kFastKernels),
                         [](const auto &param) { return std::string(param.param.name); });

TEST(DecodeDispatch, EveryCappedLevelGivesThePlainResult) {
  std::mt19937 rng(15);
  constexpr size_t kPixels = 4099;
  constexpr int kN = 30;
  const Frame f = random_frame(kPixels, rng);
  const std::vector<uint16_t> table = random_tables(kPixels, kN, rng);
  DrnuSegmentTable segments;
  drnu_segments(segments, table, kPixels, kN);
  DrnuParams dp{kRange12MHz, 35.7f, 708, 716.3f, table.data(), kN};
  const SimpleParams sp{kRange12MHz, 1013, -37};
  std::vector<uint16_t> d_ref(kPixels), a_ref(kPixels), s_ref(kPixels), sa_ref(kPixels),
      g_ref(kPixels);
  dist_drnu_ref(d_ref.data(), a_ref.data(), f.s.data(), kPixels, dp);
  dist_simple_ref(s_ref.data(), sa_ref.data(), f.s.data(), kPixels, sp);
  gray_ref(g_ref.data(), f.s.data(), kPixels);
  for (const DecodeIsa cap : {DecodeIsa::kReference, DecodeIsa::kAvx2, DecodeIsa::kAvx512}) {
    const hooks::ScopedKnob knob(hooks::Knob::kDecodeIsaCap, static_cast<int>(cap));
    const DecodeIsa used = active_decode_isa();
    EXPECT_LE(static_cast<int>(used), static_cast<int>(cap));
    EXPECT_TRUE(cpu_runs(used));
    if (cpu_runs(cap)) {
      EXPECT_EQ(used, cap);
    }
    const uint32_t *no_copy = nullptr;
    for (const uint32_t *seg : {no_copy, static_cast<const uint32_t *>(segments.data())}) {
      dp.segments = seg;
      std::vector<uint16_t> d(kPixels, 1), a(kPixels, 1);
      dist_drnu(d.data(), a.data(), f.s.data(), kPixels, dp);
      EXPECT_EQ(d, d_ref) << "level " << static_cast<int>(used);
      EXPECT_EQ(a, a_ref) << "level " << static_cast<int>(used);
    }
    std::vector<uint16_t> d(kPixels, 1), a(kPixels, 1), g(kPixels, 1);
    dist_simple(d.data(), a.data(), f.s.data(), kPixels, sp);
    gray(g.data(), f.s.data(), kPixels);
    EXPECT_EQ(d, s_ref) << "level " << static_cast<int>(used);
    EXPECT_EQ(a, sa_ref) << "level " << static_cast<int>(used);
    EXPECT_EQ(g, g_ref) << "level " << static_cast<int>(used);
  }
}

TEST(DecodeDrnu, LargeTablesGetAlignedMemoryAndAbsurdSizesAreRefused) {
  for (const size_t bytes : {size_t{0}, size_t{100}, size_t{3} << 20, (size_t{2} << 20) + 1}) {
    auto *p = static_cast<uint8_t *>(large_page_alloc(bytes));
    ASSERT_NE(p, nullptr);
    const size_t align = bytes >= (size_t{2} << 20) ? size_t{2} << 20 : 64;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u) << bytes << " bytes";
    if (bytes > 0) {
      p[0] = 1;
      p[bytes - 1] = 2;  // the whole size is usable
      EXPECT_EQ(p[0] + p[bytes - 1], 3);
    }
    large_page_free(p);
  }
  // A size whose rounding up would wrap around.
  EXPECT_THROW(large_page_alloc(SIZE_MAX - 16), std::bad_alloc);
}

TEST(DecodeDrnu, SegmentCopyHoldsEverySegmentOfEveryPixel) {
  constexpr size_t kPixels = 5;
  constexpr int kN = 3;
  std::vector<uint16_t> table(kPixels * kN);
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint16_t>(100 + 1000 * i);
  DrnuSegmentTable segments;
  drnu_segments(segments, table, kPixels, kN);
  ASSERT_EQ(segments.size(), kPixels * kN);
  for (size_t i = 0; i < kPixels; ++i) {
    for (size_t j = 0; j + 1 < kN; ++j) {
      EXPECT_EQ(segments[j * kPixels + i] & 0xFFFF, table[i * kN + j]) << i << " " << j;
      EXPECT_EQ(segments[j * kPixels + i] >> 16, table[i * kN + j + 1]) << i << " " << j;
    }
    // After the segments: the first and the last entry.
    EXPECT_EQ(segments[(kN - 1) * kPixels + i] & 0xFFFF, table[i * kN]) << i;
    EXPECT_EQ(segments[(kN - 1) * kPixels + i] >> 16, table[i * kN + kN - 1]) << i;
  }
  // A table too short for the pixels, or of one entry per pixel, gives no copy.
  drnu_segments(segments, table, kPixels, 1);
  EXPECT_TRUE(segments.empty());
  table.pop_back();
  drnu_segments(segments, table, kPixels, kN);
  EXPECT_TRUE(segments.empty());
}

TEST(DecodeRows, RawRowsGoToTheirImageRows) {
  constexpr int kW = 3, kH = 240;
  std::vector<uint16_t> raw(kW * kH), img(kW * kH);
  for (int r = 0; r < kH; ++r)
    for (int c = 0; c < kW; ++c) raw[r * kW + c] = static_cast<uint16_t>(r * 10 + c);
  dcs_sort(img.data(), raw.data(), kW, kH);
  EXPECT_EQ(img[119 * kW], 0);       // raw row 0
  EXPECT_EQ(img[120 * kW + 2], 12);  // raw row 1
  EXPECT_EQ(img[0], 2380);           // raw row 238 -> top
  EXPECT_EQ(img[239 * kW], 2390);    // raw row 239 -> bottom
  std::vector<int> seen(kH, 0);
  for (int r = 0; r < kH; ++r) ++seen[img[r * kW] / 10];
  for (int r = 0; r < kH; ++r) EXPECT_EQ(seen[r], 1) << r;
}

TEST(DecodeHdr, EachRowPairTakesTheStrongerRow) {
  constexpr int kW = 3, kH = 2;
  std::vector<uint16_t> amp = {100, 50, 70, 90, 60, 70};
  std::vector<uint16_t> dist = {1, 2, 3, 4, 5, 6};
  hdr_merge(amp.data(), dist.data(), kW, kH);
  EXPECT_EQ(amp, (std::vector<uint16_t>{100, 60, 70, 100, 60, 70}));
  EXPECT_EQ(dist, (std::vector<uint16_t>{1, 5, 6, 1, 5, 6}));  // tie: the lower row
  // Amplitudes compare as signed: 0x8000 is weaker than 1.
  std::vector<uint16_t> a2 = {0x8000, 1};
  hdr_merge(a2.data(), nullptr, 1, 2);
  EXPECT_EQ(a2, (std::vector<uint16_t>{1, 1}));
}

TEST(DecodeMinAmp, HysteresisKeepsThePixelStateInTheBand) {
  uint8_t mask = 0;
  const uint16_t amps[] = {120, 95, 85, 95, 105};
  const uint16_t expect[] = {1000, 1000, kDistFiltered, kDistFiltered, 1000};
  for (int f = 0; f < 5; ++f) {
    uint16_t d = 1000;
    min_amp_hysteresis(&d, &amps[f], &mask, 1, 100, 10);
    EXPECT_EQ(d, expect[f]) << "frame " << f;
  }
  // A new pixel starts invalid inside the band.
  uint8_t fresh = 0;
  uint16_t d = 1000, a = 95;
  min_amp_hysteresis(&d, &a, &fresh, 1, 100, 10);
  EXPECT_EQ(d, kDistFiltered);
  uint16_t d2[2] = {1, 2}, a2[2] = {99, 100};
  min_amp_plain(d2, a2, 2, 100);
  EXPECT_EQ(d2[0], kDistFiltered);
  EXPECT_EQ(d2[1], 2);
}

TEST(DecodeMinAmp, EveryPixelOfLongRowsKeepsItsOwnState) {
  // Long enough for the vector loops; each pixel checked against its own
  // history over several frames, with bands that reach below zero.
  std::mt19937 rng(16);
  constexpr size_t kPixels = 1003;
  for (const auto &[min_amp, hyst] :
       {std::pair<uint16_t, uint16_t>{100, 10}, {5, 10}, {0, 0}, {65535, 1}, {300, 300}}) {
    std::vector<uint8_t> mask(kPixels, 0);
    std::vector<int> state(kPixels, 0);  // 1: the pixel's amplitude counts
    std::uniform_int_distribution<int> near(std::max(0, min_amp - hyst - 3),
                                            std::min(65535, min_amp + 3));
    for (int frame = 0; frame < 6; ++frame) {
      std::vector<uint16_t> amp(kPixels), dist(kPixels), plain(kPixels);
      for (size_t i = 0; i < kPixels; ++i) {
        amp[i] = static_cast<uint16_t>(i % 5 == 0 ? rng() % 65536 : near(rng));
        dist[i] = plain[i] = static_cast<uint16_t>(1000 + i);
      }
      min_amp_hysteresis(dist.data(), amp.data(), mask.data(), kPixels, min_amp, hyst);
      min_amp_plain(plain.data(), amp.data(), kPixels, min_amp);
      for (size_t i = 0; i < kPixels; ++i) {
        if (amp[i] >= min_amp) state[i] = 1;
        if (amp[i] + hyst < min_amp) state[i] = 0;
        const auto kept = static_cast<uint16_t>(1000 + i);
        ASSERT_EQ(dist[i], state[i] ? kept : kDistFiltered)
            << "pixel " << i << " frame " << frame << " amp " << amp[i] << " min " << min_amp;
        ASSERT_EQ(mask[i], state[i]);
        ASSERT_EQ(plain[i], amp[i] < min_amp ? kDistFiltered : kept) << "pixel " << i;
      }
    }
  }
}

// Amplitudes, distances and masks with values at and around the limits the
// steps compare with.
struct FilterInputs {
  std::vector<uint16_t> amp, dist;
  std::vector<uint8_t> mask;
};

FilterInputs random_filter_inputs(size_t pixels, std::mt19937 &rng) {
  static constexpr uint16_t kEdges[] = {0,     1,     99,    100,   101,   109,   110,
                                        111,   12490, 12491, 12492, 59999, 60000, 60001,
                                        65300, 65500, 65535, 32767, 32768, 300};
  FilterInputs in;
  const auto value = [&] {
    return rng() % 2 ? kEdges[rng() % std::size(kEdges)] : static_cast<uint16_t>(rng());
  };
  for (size_t i = 0; i < pixels; ++i) {
    in.amp.push_back(value());
    in.dist.push_back(value());
    in.mask.push_back(static_cast<uint8_t>(rng() % 3));  // 2: a state the steps keep as it is
  }
  return in;
}

TEST(DecodeFilterEquality, VectorStepsMatchThePlainOnesOnRandomImages) {
  if (!cpu_has_avx512()) GTEST_SKIP() << "no avx512 on this CPU";
  std::mt19937 rng(17);
  const std::pair<uint16_t, uint16_t> bands[] = {
      {100, 10}, {5, 10}, {0, 0}, {65535, 1}, {300, 300}};
  const uint32_t ranges[] = {12491, 0, 100, 60000, 60001, 70000, 4164};
  for (size_t pixels : {size_t{76800}, size_t{1003}, size_t{31}, size_t{33}, size_t{0}}) {
    for (const auto &[min_amp, hyst] : bands) {
      FilterInputs ref = random_filter_inputs(pixels, rng), vec = ref;
      min_amp_hysteresis_ref(ref.dist.data(), ref.amp.data(), ref.mask.data(), pixels, min_amp,
                             hyst);
      min_amp_hysteresis_avx512(vec.dist.data(), vec.amp.data(), vec.mask.data(), pixels, min_amp,
                                hyst);
      ASSERT_EQ(vec.dist, ref.dist) << pixels << " px, min " << min_amp << " hyst " << hyst;
      ASSERT_EQ(vec.mask, ref.mask) << pixels << " px, min " << min_amp << " hyst " << hyst;
      FilterInputs plain_ref = random_filter_inputs(pixels, rng), plain_vec = plain_ref;
      min_amp_plain_ref(plain_ref.dist.data(), plain_ref.amp.data(), pixels, min_amp);
      min_amp_plain_avx512(plain_vec.dist.data(), plain_vec.amp.data(), pixels, min_amp);
      ASSERT_EQ(plain_vec.dist, plain_ref.dist) << pixels << " px, min " << min_amp;
    }
    for (const uint32_t range : ranges) {
      FilterInputs ref = random_filter_inputs(pixels, rng), vec = ref;
      range_clip_ref(ref.dist.data(), pixels, range);
      range_clip_avx512(vec.dist.data(), pixels, range);
      ASSERT_EQ(vec.dist, ref.dist) << pixels << " px, range " << range;
    }
  }
}

TEST(DecodeFilterEquality, EveryCappedLevelGivesThePlainResult) {
  std::mt19937 rng(18);
  constexpr size_t kPixels = 4099;
  const FilterInputs in = random_filter_inputs(kPixels, rng);
  FilterInputs want = in;
  min_amp_hysteresis_ref(want.dist.data(), want.amp.data(), want.mask.data(), kPixels, 110, 12);
  min_amp_plain_ref(want.dist.data(), want.amp.data(), kPixels, 30000);
  range_clip_ref(want.dist.data(), kPixels, kRange12MHz);
  for (const DecodeIsa cap : {DecodeIsa::kReference, DecodeIsa::kAvx2, DecodeIsa::kAvx512}) {
    const hooks::ScopedKnob knob(hooks::Knob::kDecodeIsaCap, static_cast<int>(cap));
    FilterInputs got = in;
    min_amp_hysteresis(got.dist.data(), got.amp.data(), got.mask.data(), kPixels, 110, 12);
    min_amp_plain(got.dist.data(), got.amp.data(), kPixels, 30000);
    range_clip(got.dist.data(), kPixels, kRange12MHz);
    EXPECT_EQ(got.dist, want.dist) << "level " << static_cast<int>(cap);
    EXPECT_EQ(got.mask, want.mask) << "level " << static_cast<int>(cap);
  }
}

TEST(DecodeRangeClip, ClipsNearAndFarButKeepsMarkers) {
  std::vector<uint16_t> d = {100, 101, 5000, 12490, 12491, 60000, 60001, kDistInvalid};
  range_clip(d.data(), d.size(), kRange12MHz);
  EXPECT_EQ(d, (std::vector<uint16_t>{kDistFiltered, 101, 5000, 12490, kDistFiltered, kDistFiltered,
                                      60001, kDistInvalid}));
}

TEST(DecodeBalance, SharesOfBalancedSamplePairs) {
  Frame f(10);
  for (size_t i = 0; i < 10; ++i) f.set(i, 2000, 2000, 2100, 2100);  // both sums 4100
  f.set(0, 1000, 2000, 1000, 2100);                                  // even sum off
  f.set(1, 2000, 100, 2100, 100);                                    // odd sum off
  const BalanceShares s = dcs_balance(f.s.data(), 10, 10);
  EXPECT_EQ(s.even_pct, 90);
  EXPECT_EQ(s.odd_pct, 90);
  EXPECT_TRUE(dcs_balanced(s));
  // Only the first pixels counted, over all pixels: 6 of 10 is not above 60.
  EXPECT_FALSE(dcs_balanced(dcs_balance(f.s.data(), 10, 7)));
  EXPECT_TRUE(dcs_balanced(dcs_balance(f.s.data(), 10, 8)));
}

TEST(DecodeAutoIntg, StepFollowsTheBadShare) {
  std::vector<uint16_t> s(1000, 2000);
  for (int i = 0; i < 37; ++i) s[static_cast<size_t>(i)] = 4095;
  IntgStats st = intg_stats(s.data(), s.size());
  EXPECT_EQ(st.bad_permille, 37);
  EXPECT_EQ(intg_step(st, 20), -30);
  EXPECT_EQ(intg_next(60, -30), 50);
  EXPECT_EQ(intg_next(1490, 50), 1500);
  // Under the threshold with mid-range samples: more light; with some bright
  // samples: no change.
  EXPECT_EQ(intg_step(st, 40), 50);
  for (size_t i = 100; i < 111; ++i) s[i] = 3700;
  EXPECT_EQ(intg_step(intg_stats(s.data(), s.size()), 40), 0);
  // Few bad but many high samples: a small step down.
  std::vector<uint16_t> h(1000, 3600);
  h[0] = 0;
  h[1] = 1;
  st = intg_stats(h.data(), h.size());
  EXPECT_EQ(st.bad_permille, 2);
  EXPECT_EQ(st.high, 998u);
  EXPECT_EQ(intg_step(st, 1), -10);
  // A dark frame asks for more light; so does an empty one.
  std::vector<uint16_t> dark(1000, 300);
  EXPECT_EQ(intg_step(intg_stats(dark.data(), 400), 5), 50);
  EXPECT_EQ(intg_step(intg_stats(dark.data(), 1000), 5), 0);  // 1000 low samples: too many
  EXPECT_EQ(intg_step(intg_stats(nullptr, 0), 5), 50);
}

}  // namespace
}  // namespace torvi::epc
