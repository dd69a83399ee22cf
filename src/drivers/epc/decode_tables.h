// Lookup tables of the vectorised decode kernels. They are built by plain
// code (compiled for every x86-64 CPU) and shared by the kernels of each
// instruction set, so that no kernel file defines code another one may call.
#pragma once

#include <cstdint>

namespace torvi::epc {

// The atan2 table (g_atan2_LUT) widened to 32-bit entries for gathers;
// ARCTAN2_LUT_NUM entries.
const int32_t *wide_atan_table();

// Steps of the amplitude root: entry k is the smallest v with
// trunc(kx_math_sqrtf(v)) >= k, for k = 0 ... kAmpRootSteps - 1 (covers
// v <= 2^23 with one spare entry).
inline constexpr int kAmpRootMax = 2897;  // isqrt(2^23) + 1
inline constexpr int kAmpRootSteps = kAmpRootMax + 2;
const int32_t *amp_root_steps();

// Both, fetched once per kernel call (the accessors are calls into another
// file, which the kernels keep out of their loops).
struct DecodeLuts {
  const int *atan = wide_atan_table();
  const int *root_steps = amp_root_steps();
};

}  // namespace torvi::epc
