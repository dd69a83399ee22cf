// Lookup tables of the vectorised decode kernels. They are built by plain
// code (compiled for every x86-64 CPU) and shared by the kernels of each
// instruction set, so that the kernel files define no inline or template
// code that a file for another instruction set might end up calling.
#pragma once

#include <cstdint>

#include "drivers/epc/decode_kernels.h"

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
  const int *atan;
  const int *root_steps;
};
DecodeLuts decode_luts();

// The simple distance of every phase 0 ... 29999 for the constants, plus one
// spare entry so that a 32-bit gather at the last one stays inside: kept per
// thread and rebuilt only when the constants change. May throw
// std::bad_alloc.
const int *simple_phase_table(const SimpleParams &p);

}  // namespace torvi::epc
