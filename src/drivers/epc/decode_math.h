// Small arithmetic rules shared by the reference and the vectorised decode
// kernels, so that both round, clamp and wrap the same way. Each file gets
// its own copy (static), so that no file runs a copy compiled for another
// instruction set.
#pragma once

#include <cstdint>

#include "drivers/epc/decode_kernels.h"

namespace torvi::epc {

// Distances above this are markers, never measurements.
inline constexpr int64_t kMaxDistanceMm = 60000;
// Float intermediates are clamped to +-2^23 before they become integers:
// exact in a float, far beyond any phase, and never undefined (NaN -> low).
inline constexpr float kClampLimit = 8388608.0f;

static inline int32_t trunc_clamped(float x) {
  x = x > -kClampLimit ? x : -kClampLimit;
  x = x < kClampLimit ? x : kClampLimit;
  return static_cast<int32_t>(x);
}

// A phase wrapped into 0 ... turn - 1.
static inline int32_t wrap_turn(int64_t pc) {
  int64_t r = pc % kPhaseTurn;
  if (r < 0) r += kPhaseTurn;
  return static_cast<int32_t>(r);
}

// Distance of a phase within one turn: (phase * range) / turn, unsigned.
static inline uint16_t phase_to_mm(int32_t phase, uint32_t range_mm) {
  return static_cast<uint16_t>(static_cast<uint64_t>(phase) * range_mm / kPhaseTurn);
}

}  // namespace torvi::epc
