// Integer atan2 over a look-up table, and bit-trick square roots.
#include <torvi/kx_math.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "core/c_entry.h"

namespace {

constexpr int kHalfTurn = 15000;
constexpr int kQuarterTurn = 7500;
constexpr int kEighthTurn = 3750;

// Table index of a / b for 0 <= a < b: (a * 4096) / b, so 0 <= index <= 4095.
// Within the designed input range b < 2^20, so a * 4096 < 2^32 and one 32-bit
// division does; larger inputs take the 64-bit division.
inline uint32_t ratio_index(uint64_t a, uint64_t b) {
  if (b < (uint64_t{1} << 20)) return static_cast<uint32_t>(a << 12) / static_cast<uint32_t>(b);
  return static_cast<uint32_t>((a << 12) / b);
}

}  // namespace

extern "C" {

TORVI_API int kx_math_atan2_i32(int y, int x) {
  return torvi::c_entry<int>(__func__, 0, [&]() -> int {
    if (y == 0) return x < 0 ? kHalfTurn : 0;
    // Rotate the point into the first quadrant; 64-bit so that negating the
    // most negative int is defined.
    const int64_t y64 = y, x64 = x;
    int base;
    uint64_t a, b;
    if (y64 > 0) {
      if (x64 > 0) {
        base = 0, a = static_cast<uint64_t>(y64), b = static_cast<uint64_t>(x64);
      } else {
        base = kQuarterTurn, a = static_cast<uint64_t>(-x64), b = static_cast<uint64_t>(y64);
      }
    } else if (x64 < 0) {
      base = kHalfTurn, a = static_cast<uint64_t>(-y64), b = static_cast<uint64_t>(-x64);
    } else {
      base = kHalfTurn + kQuarterTurn, a = static_cast<uint64_t>(x64),
      b = static_cast<uint64_t>(-y64);
    }
    // Fold the upper octant: tan(t - pi/4) = (a - b) / (a + b).
    if (a >= b) {
      base += kEighthTurn;
      const uint64_t d = a - b, s = a + b;
      a = d, b = s;
    }
    return base + g_atan2_LUT[ratio_index(a, b)];
  });
}

TORVI_API float kx_math_sqrtf(float v) {
  return torvi::c_entry<float>(__func__, std::nanf(""), [&]() -> float {
    const uint32_t bits = std::bit_cast<uint32_t>(v);
    float g = std::bit_cast<float>((bits >> 1) + 0x1FBFFB72u);
    for (int step = 0; step < 2; ++step) {
      const double gd = static_cast<double>(g), vd = static_cast<double>(v);
      g = static_cast<float>(0.5 * gd + 0.5 * vd / gd);
    }
    return g;
  });
}

TORVI_API float kx_math_inv_sqrtf(float v) {
  return torvi::c_entry<float>(__func__, std::nanf(""), [&]() -> float {
    const int32_t bits = std::bit_cast<int32_t>(v);
    const float y0 = std::bit_cast<float>(static_cast<int32_t>(0x5F375A86 - (bits >> 1)));
    const float h = static_cast<float>(0.5 * static_cast<double>(v));
    const double yd = static_cast<double>(y0), hd = static_cast<double>(h);
    return static_cast<float>(yd * (1.5 - hd * yd * yd));
  });
}

TORVI_API void kx_math_lut_print_arctan2(int lut_num) {
  torvi::c_entry_void(__func__, [&] {
    std::printf("#define ARCTAN2_LUT_NUM %d\n", lut_num);
    std::puts("static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {");
    if (lut_num > 0) {
      const double den = static_cast<double>(lut_num) - 1.0;
      for (int i = 0; i < lut_num; ++i) {
        const long units =
            std::lround(std::atan2(static_cast<double>(i), den) * 30000.0 / 6.283185307179586);
        std::printf("%u, ", static_cast<unsigned>(static_cast<uint16_t>(units)));
        if (i >= 1 && (i & 0xF) == 0xF) std::printf("\n    ");
      }
      if (lut_num % 16 != 0) std::printf("\n");
    }
    std::puts("};");
  });
}

}  // extern "C"
