// Plain reference versions of the EPC decode kernels: one pixel at a time,
// straight from the formulas. The vectorised versions must match them bit for
// bit.
#include <torvi/kx_math.h>

#include "drivers/epc/decode_kernels.h"
#include "drivers/epc/decode_math.h"

namespace torvi::epc {

bool pixel_phase_amp(uint16_t d0, uint16_t d1, uint16_t d2, uint16_t d3, int &phase, int &amp) {
  const int s0 = d0 & kSampleMask, s1 = d1 & kSampleMask, s2 = d2 & kSampleMask,
            s3 = d3 & kSampleMask;
  if (s0 < 1 || s1 < 1 || s2 < 1 || s3 < 1) return false;
  if (s0 > kSampleMax || s1 > kSampleMax || s2 > kSampleMax || s3 > kSampleMax) return false;
  const int a = s2 - s0, b = s3 - s1;
  amp = static_cast<int>(kx_math_sqrtf(static_cast<float>((a * a + b * b) >> 2)));
  phase = kx_math_atan2_i32(b, a) + kPhaseHalfTurn;
  if (phase >= kPhaseTurn) phase -= kPhaseTurn;
  return true;
}

uint16_t simple_distance(int phase, const SimpleParams &p) {
  const uint32_t measured = static_cast<uint32_t>(phase) * p.range_mm / kPhaseTurn;
  int64_t d = static_cast<int64_t>(measured) * p.scale / 1000 + p.offset_mm;
  const auto range = static_cast<int64_t>(p.range_mm);
  if (d < 0)
    d += range;
  else if (d > range)
    d -= range;
  // Only a nonsensical calibration lands outside one range after one wrap.
  if (d < 0 || d > range || d > kMaxDistanceMm) return kDistInvalid;
  return static_cast<uint16_t>(d);
}

uint16_t drnu_distance(int phase, const uint16_t *lut, const DrnuParams &p) {
  int64_t pc = trunc_clamped(static_cast<float>(phase) - p.phase_comp);
  const int n = p.num_dist;
  if (n >= 2 && lut[0] < lut[n - 1]) {
    const int64_t k = (pc - lut[0]) * (n - 1) / (lut[n - 1] - lut[0]);
    const int j = k < 0 ? 0 : (k > n - 2 ? n - 2 : static_cast<int>(k));
    const int32_t seg = static_cast<int32_t>(lut[j + 1]) - lut[j];
    float x = p.step_phase * static_cast<float>(j);
    // A flat segment (two equal calibration phases) adds no fraction.
    if (seg != 0) x = x + static_cast<float>(pc - lut[j]) * p.step_phase / static_cast<float>(seg);
    pc = int64_t{p.base_phase} + trunc_clamped(x);
  }
  // A compensated phase below zero or beyond a turn wraps around the turn.
  return phase_to_mm(wrap_turn(pc), p.range_mm);
}

void dist_simple_from(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                      size_t first, const SimpleParams &p) {
  const uint16_t *s0 = src, *s1 = src + pixels, *s2 = src + 2 * pixels, *s3 = src + 3 * pixels;
  for (size_t i = first; i < pixels; ++i) {
    int phase = 0, a = 0;
    if (!pixel_phase_amp(s0[i], s1[i], s2[i], s3[i], phase, a)) {
      dist[i] = kDistInvalid;
      amp[i] = kDistInvalid;
      continue;
    }
    amp[i] = static_cast<uint16_t>(a);
    dist[i] = simple_distance(phase, p);
  }
}

void dist_drnu_from(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels, size_t first,
                    const DrnuParams &p) {
  const uint16_t *s0 = src, *s1 = src + pixels, *s2 = src + 2 * pixels, *s3 = src + 3 * pixels;
  const size_t n = p.num_dist > 0 ? static_cast<size_t>(p.num_dist) : 0;
  for (size_t i = first; i < pixels; ++i) {
    int phase = 0, a = 0;
    if (!pixel_phase_amp(s0[i], s1[i], s2[i], s3[i], phase, a)) {
      dist[i] = kDistInvalid;
      amp[i] = 0;
      continue;
    }
    amp[i] = static_cast<uint16_t>(a);
    dist[i] = drnu_distance(phase, p.table + i * n, p);
  }
}

void gray_from(uint16_t *gray, const uint16_t *src, size_t pixels, size_t first) {
  const uint16_t *s0 = src, *s1 = src + pixels, *s2 = src + 2 * pixels, *s3 = src + 3 * pixels;
  for (size_t i = first; i < pixels; ++i) {
    int phase = 0, a = 0;
    gray[i] = pixel_phase_amp(s0[i], s1[i], s2[i], s3[i], phase, a) ? static_cast<uint16_t>(a) : 0;
  }
}

void amplitude_of_squares_from(uint16_t *out, const int32_t *v, size_t count, size_t first) {
  for (size_t i = first; i < count; ++i)
    out[i] = static_cast<uint16_t>(kx_math_sqrtf(static_cast<float>(v[i])));
}

void dist_simple_ref(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                     const SimpleParams &p) {
  dist_simple_from(dist, amp, src, pixels, 0, p);
}

void dist_drnu_ref(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                   const DrnuParams &p) {
  dist_drnu_from(dist, amp, src, pixels, 0, p);
}

void gray_ref(uint16_t *gray, const uint16_t *src, size_t pixels) {
  gray_from(gray, src, pixels, 0);
}

}  // namespace torvi::epc
