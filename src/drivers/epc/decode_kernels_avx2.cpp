// The EPC decode kernels vectorised for AVX2, eight pixels at a time, bit for
// bit equal to the reference versions. The phase -> distance steps read
// per-phase tables made by the reference functions (kept per thread, rebuilt
// when the constants change; building may throw std::bad_alloc); the
// remaining integer divisions become a float quotient corrected by one
// integer multiply each way (exact for the ranges used here); the square root repeats the
// reference's float and double steps lane by lane. Compiled with AVX2 enabled (and no FMA, so that
// no product and sum are fused); called only on CPUs that have it.
#include <immintrin.h>
#include <torvi/kx_math.h>

#include <cstring>
#include <vector>

#include "drivers/epc/decode_kernels.h"
#include "drivers/epc/decode_math.h"

namespace torvi::epc {
namespace {

constexpr int kLanes = 8;

// The atan2 table widened to 32-bit entries for the gather.
struct WideAtanTable {
  alignas(32) int32_t v[ARCTAN2_LUT_NUM];
  WideAtanTable() {
    for (int i = 0; i < ARCTAN2_LUT_NUM; ++i) v[i] = g_atan2_LUT[i];
  }
};

const WideAtanTable &wide_atan_table() {
  static const WideAtanTable t;
  return t;
}

inline __m256i set1(int v) { return _mm256_set1_epi32(v); }
inline __m256i select(__m256i mask, __m256i yes, __m256i no) {
  return _mm256_blendv_epi8(no, yes, mask);
}
inline __m256i not_(__m256i m) { return _mm256_xor_si256(m, _mm256_set1_epi32(-1)); }

// floor(n / d) from an estimate q that is off by at most one, for
// 0 <= n, 0 < d and n + d < 2^31.
inline __m256i fix_quotient(__m256i q, __m256i n, __m256i d) {
  q = _mm256_add_epi32(q, _mm256_cmpgt_epi32(_mm256_mullo_epi32(q, d), n));  // too large: -1
  const __m256i next = _mm256_add_epi32(_mm256_mullo_epi32(q, d), d);
  return _mm256_sub_epi32(q, not_(_mm256_cmpgt_epi32(next, n)));  // too small: +1
}

// trunc_clamped of eight floats.
inline __m256i trunc_clamped8(__m256 x) {
  x = _mm256_max_ps(x, _mm256_set1_ps(-kClampLimit));  // NaN -> the bound, as in the reference
  x = _mm256_min_ps(x, _mm256_set1_ps(kClampLimit));
  return _mm256_cvttps_epi32(x);
}

// kx_math_atan2_i32(y, x) for samples differences (|x|, |y| < 4096).
inline __m256i atan2_8(__m256i y, __m256i x) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i ypos = _mm256_cmpgt_epi32(y, zero), yzero = _mm256_cmpeq_epi32(y, zero);
  const __m256i xpos = _mm256_cmpgt_epi32(x, zero), xneg = _mm256_cmpgt_epi32(zero, x);
  const __m256i nx = _mm256_sub_epi32(zero, x), ny = _mm256_sub_epi32(zero, y);
  // Rotate into the first quadrant.
  __m256i a = select(ypos, select(xpos, y, nx), select(xneg, ny, x));
  __m256i b = select(ypos, select(xpos, x, y), select(xneg, nx, ny));
  __m256i base =
      select(ypos, select(xpos, zero, set1(7500)), select(xneg, set1(15000), set1(22500)));
  a = select(yzero, zero, a);
  b = select(yzero, set1(1), b);
  // Fold the upper octant.
  const __m256i fold = not_(_mm256_cmpgt_epi32(b, a));
  const __m256i fa = _mm256_sub_epi32(a, b), fb = _mm256_add_epi32(a, b);
  a = select(fold, fa, a);
  b = select(fold, fb, b);
  base = _mm256_add_epi32(base, _mm256_and_si256(fold, set1(3750)));
  const __m256i n = _mm256_slli_epi32(a, 12);
  __m256i q = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(n), _mm256_cvtepi32_ps(b)));
  q = fix_quotient(q, n, b);
  q = _mm256_min_epi32(_mm256_max_epi32(q, zero), set1(ARCTAN2_LUT_NUM - 1));
  const __m256i angle = _mm256_add_epi32(base, _mm256_i32gather_epi32(wide_atan_table().v, q, 4));
  return select(yzero, _mm256_and_si256(xneg, set1(kPhaseHalfTurn)), angle);
}

// One Newton step of kx_math_sqrtf on four lanes, in double as the reference.
inline __m128 newton4(__m128 g, __m128 v) {
  const __m256d gd = _mm256_cvtps_pd(g), vd = _mm256_cvtps_pd(v), half = _mm256_set1_pd(0.5);
  return _mm256_cvtpd_ps(
      _mm256_add_pd(_mm256_mul_pd(half, gd), _mm256_div_pd(_mm256_mul_pd(half, vd), gd)));
}

inline __m256i amplitude8(__m256i a, __m256i b) {
  const __m256i sum = _mm256_add_epi32(_mm256_mullo_epi32(a, a), _mm256_mullo_epi32(b, b));
  const __m256 v = _mm256_cvtepi32_ps(_mm256_srai_epi32(sum, 2));
  const __m256 g = _mm256_castsi256_ps(
      _mm256_add_epi32(_mm256_srli_epi32(_mm256_castps_si256(v), 1), set1(0x1FBFFB72)));
  __m128 lo = _mm256_castps256_ps128(g), hi = _mm256_extractf128_ps(g, 1);
  const __m128 vlo = _mm256_castps256_ps128(v), vhi = _mm256_extractf128_ps(v, 1);
  for (int step = 0; step < 2; ++step) {
    lo = newton4(lo, vlo);
    hi = newton4(hi, vhi);
  }
  return _mm256_cvttps_epi32(_mm256_set_m128(hi, lo));
}

struct Pixels8 {
  __m256i valid;  // all ones where valid
  __m256i phase;
  __m256i amp;
};

inline __m256i load_plane(const uint16_t *p) {
  return _mm256_and_si256(
      _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))),
      set1(kSampleMask));
}

inline Pixels8 phase_amp8(const uint16_t *src, size_t pixels, size_t i) {
  const __m256i d0 = load_plane(src + i), d1 = load_plane(src + pixels + i),
                d2 = load_plane(src + 2 * pixels + i), d3 = load_plane(src + 3 * pixels + i);
  const __m256i lo = _mm256_min_epi32(_mm256_min_epi32(d0, d1), _mm256_min_epi32(d2, d3));
  const __m256i hi = _mm256_max_epi32(_mm256_max_epi32(d0, d1), _mm256_max_epi32(d2, d3));
  const __m256i invalid =
      _mm256_or_si256(_mm256_cmpgt_epi32(set1(1), lo), _mm256_cmpgt_epi32(hi, set1(kSampleMax)));
  const __m256i a = _mm256_sub_epi32(d2, d0), b = _mm256_sub_epi32(d3, d1);
  __m256i phase = _mm256_add_epi32(atan2_8(b, a), set1(kPhaseHalfTurn));
  phase = _mm256_sub_epi32(
      phase, _mm256_and_si256(_mm256_cmpgt_epi32(phase, set1(kPhaseTurn - 1)), set1(kPhaseTurn)));
  return {not_(invalid), phase, amplitude8(a, b)};
}

inline void store8(uint16_t *dst, __m256i v) {
  const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(v, v), 0x08);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm256_castsi256_si128(packed));
}

// Euclidean remainder modulo one turn for |v| < 2^24.
inline __m256i wrap_turn8(__m256i v) {
  const __m256 q =
      _mm256_floor_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(v), _mm256_set1_ps(1.0f / kPhaseTurn)));
  __m256i r = _mm256_sub_epi32(v, _mm256_mullo_epi32(_mm256_cvtps_epi32(q), set1(kPhaseTurn)));
  r = _mm256_add_epi32(
      r, _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_setzero_si256(), r), set1(kPhaseTurn)));
  return _mm256_sub_epi32(
      r, _mm256_and_si256(_mm256_cmpgt_epi32(r, set1(kPhaseTurn - 1)), set1(kPhaseTurn)));
}

// Per-phase tables (one entry per phase unit, plus one so that a 32-bit
// gather at the last entry stays inside): the simple distance of every phase
// for the constants it was made for, and the plain phase -> mm conversion of
// a range. Kept per thread and rebuilt only when the constants change.
struct PhaseTables {
  std::vector<uint16_t> simple;
  SimpleParams simple_for{0, 0, 0};
  bool simple_ready = false;
  std::vector<uint16_t> mm;
  uint32_t mm_range = 0;
  bool mm_ready = false;
};

PhaseTables &phase_tables() {
  thread_local PhaseTables t;
  return t;
}

const int *simple_table(const SimpleParams &p) {
  PhaseTables &t = phase_tables();
  if (!t.simple_ready || t.simple_for.range_mm != p.range_mm || t.simple_for.scale != p.scale ||
      t.simple_for.offset_mm != p.offset_mm) {
    t.simple.assign(kPhaseTurn + 2, 0);
    for (int ph = 0; ph < kPhaseTurn; ++ph)
      t.simple[static_cast<size_t>(ph)] = simple_distance(ph, p);
    t.simple_for = p;
    t.simple_ready = true;
  }
  return reinterpret_cast<const int *>(t.simple.data());
}

const int *mm_table(uint32_t range_mm) {
  PhaseTables &t = phase_tables();
  if (!t.mm_ready || t.mm_range != range_mm) {
    t.mm.assign(kPhaseTurn + 2, 0);
    for (int ph = 0; ph < kPhaseTurn; ++ph)
      t.mm[static_cast<size_t>(ph)] = phase_to_mm(ph, range_mm);
    t.mm_range = range_mm;
    t.mm_ready = true;
  }
  return reinterpret_cast<const int *>(t.mm.data());
}

// The 16-bit entries of `table` at eight indices.
inline __m256i gather16(const int *table, __m256i index) {
  return _mm256_and_si256(_mm256_i32gather_epi32(table, index, 2), set1(0xFFFF));
}

// The DRNU path's arithmetic holds within these bounds; other constants take
// the reference path.
bool drnu_fits(const DrnuParams &p, size_t pixels) {
  return p.range_mm <= kMaxDistanceMm && p.num_dist <= kMaxDrnuDistances &&
         pixels * static_cast<size_t>(p.num_dist > 0 ? p.num_dist : 1) < (size_t{1} << 30);
}

}  // namespace

void dist_simple_avx2(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                      const SimpleParams &p) {
  const int *table = simple_table(p);
  size_t i = 0;
  for (; i + kLanes <= pixels; i += kLanes) {
    const Pixels8 px = phase_amp8(src, pixels, i);
    const __m256i d = gather16(table, px.phase);
    store8(dist + i, select(px.valid, d, set1(kDistInvalid)));
    store8(amp + i, select(px.valid, px.amp, set1(kDistInvalid)));
  }
  for (; i < pixels; ++i) {
    int phase = 0, a = 0;
    if (pixel_phase_amp(src[i], src[pixels + i], src[2 * pixels + i], src[3 * pixels + i], phase,
                        a)) {
      dist[i] = simple_distance(phase, p);
      amp[i] = static_cast<uint16_t>(a);
    } else {
      dist[i] = amp[i] = kDistInvalid;
    }
  }
}

void dist_drnu_avx2(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                    const DrnuParams &p) {
  if (!drnu_fits(p, pixels)) return dist_drnu_ref(dist, amp, src, pixels, p);
  const int n = p.num_dist;
  const bool use_table = n >= 2 && p.table != nullptr;
  const auto *table = reinterpret_cast<const int *>(p.table);
  const __m256i zero = _mm256_setzero_si256(), low16 = set1(0xFFFF);
  const __m256i last_seg = set1(n - 2), last = set1(n - 1);
  const __m256i base = set1(wrap_turn(p.base_phase));
  const __m256 comp = _mm256_set1_ps(p.phase_comp), step = _mm256_set1_ps(p.step_phase);
  const int *mm = mm_table(p.range_mm);
  const __m256i lane_entries =
      _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), set1(n));
  size_t i = 0;
  for (; i + kLanes <= pixels; i += kLanes) {
    const Pixels8 px = phase_amp8(src, pixels, i);
    __m256i pc = trunc_clamped8(_mm256_sub_ps(_mm256_cvtepi32_ps(px.phase), comp));
    if (use_table) {
      // Each 32-bit gather at a 16-bit index brings an entry and its successor.
      const __m256i first = _mm256_add_epi32(set1(static_cast<int>(i) * n), lane_entries);
      const __m256i l0 = _mm256_and_si256(_mm256_i32gather_epi32(table, first, 2), low16);
      const __m256i ln = _mm256_srli_epi32(
          _mm256_i32gather_epi32(table, _mm256_add_epi32(first, last_seg), 2), 16);
      const __m256i rising = _mm256_cmpgt_epi32(ln, l0);
      const __m256i den = select(rising, _mm256_sub_epi32(ln, l0), set1(1));
      const __m256i num =
          _mm256_max_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(pc, l0), last), zero);
      // Segment: floor(num / den) limited to 0 ... n - 2.
      __m256i j =
          _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(num), _mm256_cvtepi32_ps(den)));
      j = _mm256_min_epi32(_mm256_max_epi32(j, zero), last);
      j = _mm256_add_epi32(j, _mm256_cmpgt_epi32(_mm256_mullo_epi32(j, den), num));
      const __m256i up = _mm256_and_si256(
          _mm256_cmpgt_epi32(last_seg, j),
          not_(_mm256_cmpgt_epi32(_mm256_add_epi32(_mm256_mullo_epi32(j, den), den), num)));
      j = _mm256_min_epi32(_mm256_sub_epi32(j, up), last_seg);
      const __m256i pair = _mm256_i32gather_epi32(table, _mm256_add_epi32(first, j), 2);
      const __m256i lj = _mm256_and_si256(pair, low16), lj1 = _mm256_srli_epi32(pair, 16);
      const __m256i seg = _mm256_sub_epi32(lj1, lj);
      const __m256 whole = _mm256_mul_ps(step, _mm256_cvtepi32_ps(j));
      const __m256 part =
          _mm256_div_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_sub_epi32(pc, lj)), step),
                        _mm256_cvtepi32_ps(seg));
      const __m256 flat = _mm256_castsi256_ps(_mm256_cmpeq_epi32(seg, zero));
      const __m256 x = _mm256_blendv_ps(_mm256_add_ps(whole, part), whole, flat);
      pc = select(rising, _mm256_add_epi32(base, trunc_clamped8(x)), pc);
    }
    const __m256i d = gather16(mm, wrap_turn8(pc));
    store8(dist + i, select(px.valid, d, set1(kDistInvalid)));
    store8(amp + i, select(px.valid, px.amp, zero));
  }
  for (; i < pixels; ++i) {
    int phase = 0, a = 0;
    if (pixel_phase_amp(src[i], src[pixels + i], src[2 * pixels + i], src[3 * pixels + i], phase,
                        a)) {
      dist[i] = drnu_distance(phase, p.table + i * static_cast<size_t>(n > 0 ? n : 0), p);
      amp[i] = static_cast<uint16_t>(a);
    } else {
      dist[i] = kDistInvalid;
      amp[i] = 0;
    }
  }
}

void gray_avx2(uint16_t *gray, const uint16_t *src, size_t pixels) {
  size_t i = 0;
  for (; i + kLanes <= pixels; i += kLanes) {
    const Pixels8 px = phase_amp8(src, pixels, i);
    store8(gray + i, _mm256_and_si256(px.valid, px.amp));
  }
  for (; i < pixels; ++i) {
    int phase = 0, a = 0;
    gray[i] =
        pixel_phase_amp(src[i], src[pixels + i], src[2 * pixels + i], src[3 * pixels + i], phase, a)
            ? static_cast<uint16_t>(a)
            : 0;
  }
}

}  // namespace torvi::epc
