// The EPC decode kernels vectorised for AVX2, eight pixels at a time, bit for
// bit equal to the reference versions. The phase -> distance steps read
// per-phase tables made by the reference functions (kept per thread, rebuilt
// when the constants change; building may throw std::bad_alloc); the
// remaining integer divisions become a float quotient corrected by one
// integer multiply (exact for the ranges used here); the square root is the
// exactly rounded one, corrected by a table of the points where the
// reference's bit-trick root steps to the next integer. Compiled with AVX2
// enabled (and no FMA, so that no product and sum are fused); called only on
// CPUs that have it.
#include <immintrin.h>
#include <torvi/kx_math.h>

#include "drivers/epc/decode_kernels.h"
#include "drivers/epc/decode_math.h"
#include "drivers/epc/decode_tables.h"

namespace torvi::epc {
namespace {

constexpr int kLanes = 8;

inline size_t smaller(size_t a, size_t b) { return a < b ? a : b; }
inline __m256i set1(int v) { return _mm256_set1_epi32(v); }
inline __m256i select(__m256i mask, __m256i yes, __m256i no) {
  return _mm256_blendv_epi8(no, yes, mask);
}
inline __m256i not_(__m256i m) { return _mm256_xor_si256(m, _mm256_set1_epi32(-1)); }

// floor(n / d) from q = trunc(n / d rounded to a float), for 0 <= n < 2^24
// and 0 < d < 2^24 (both exact in a float) and q * d < 2^31. The rounded
// quotient never falls below the integer floor(n / d) (a float, not above
// n / d), and never passes floor(n / d) + 1 (a float, above n / d), so q is
// floor(n / d) or one more.
inline __m256i fix_quotient(__m256i q, __m256i n, __m256i d) {
  return _mm256_add_epi32(q, _mm256_cmpgt_epi32(_mm256_mullo_epi32(q, d), n));  // too large: -1
}

// trunc_clamped of eight floats.
inline __m256i trunc_clamped8(__m256 x) {
  x = _mm256_max_ps(x, _mm256_set1_ps(-kClampLimit));  // NaN -> the bound, as in the reference
  x = _mm256_min_ps(x, _mm256_set1_ps(kClampLimit));
  return _mm256_cvttps_epi32(x);
}

// kx_math_atan2_i32(y, x) for sample differences (|x|, |y| < 4096). Its
// four quadrants, y > 0 < x, y > 0 >= x, y < 0 > x and y < 0 <= x, start at
// 0, 1/4, 1/2 and 3/4 turn and take the ratio |y| / |x|, |x| / |y|, |y| / |x|
// and |x| / |y|: the second and fourth (x = 0, or x and y of opposite signs)
// swap the two. y = 0 is 0 or half a turn by the sign of x.
inline __m256i atan2_8(__m256i y, __m256i x, const int *atan_table) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i yneg = _mm256_cmpgt_epi32(zero, y);
  const __m256i swap = _mm256_or_si256(_mm256_cmpgt_epi32(zero, _mm256_xor_si256(x, y)),
                                       _mm256_cmpeq_epi32(x, zero));
  const __m256i ax = _mm256_abs_epi32(x), ay = _mm256_abs_epi32(y);
  __m256i a = select(swap, ax, ay), b = select(swap, ay, ax);
  __m256i base = _mm256_add_epi32(_mm256_and_si256(yneg, set1(kPhaseHalfTurn)),
                                  _mm256_and_si256(swap, set1(7500)));
  // Fold the upper octant: tan(t - pi/8 turn) = (a - b) / (a + b).
  const __m256i fold = not_(_mm256_cmpgt_epi32(b, a));
  const __m256i diff = _mm256_sub_epi32(a, b), sum = _mm256_add_epi32(a, b);
  a = select(fold, diff, a);
  b = select(fold, sum, b);
  base = _mm256_add_epi32(base, _mm256_and_si256(fold, set1(3750)));
  // Table index (a * 4096) / b; q and b below 2^15, so one 16-bit multiply
  // and add per lane gives q * b. Lanes with y = 0 (possibly 0 / 0) are kept
  // inside the table and replaced below.
  const __m256i n = _mm256_slli_epi32(a, 12);
  __m256i q = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(n), _mm256_cvtepi32_ps(b)));
  q = _mm256_min_epi32(_mm256_max_epi32(q, zero), set1(ARCTAN2_LUT_NUM));
  q = _mm256_add_epi32(q, _mm256_cmpgt_epi32(_mm256_madd_epi16(q, b), n));
  q = _mm256_min_epi32(q, set1(ARCTAN2_LUT_NUM - 1));
  const __m256i angle = _mm256_add_epi32(base, _mm256_i32gather_epi32(atan_table, q, 4));
  const __m256i xneg = _mm256_cmpgt_epi32(zero, x);
  return select(_mm256_cmpeq_epi32(y, zero), _mm256_and_si256(xneg, set1(kPhaseHalfTurn)), angle);
}

// trunc(kx_math_sqrtf(v)) for 0 <= v <= 2^23.
inline __m256i amplitude_of_squares8(__m256i v, const int *root_steps) {
  __m256i r = _mm256_cvttps_epi32(_mm256_sqrt_ps(_mm256_cvtepi32_ps(v)));   // isqrt(v) or one more
  r = _mm256_add_epi32(r, _mm256_cmpgt_epi32(_mm256_madd_epi16(r, r), v));  // r < 2^15: r * r
  const __m256i step = _mm256_i32gather_epi32(root_steps, _mm256_add_epi32(r, set1(1)), 4);
  return _mm256_add_epi32(_mm256_add_epi32(r, set1(1)), _mm256_cmpgt_epi32(step, v));
}

// (a^2 + b^2) >> 2 for |a|, |b| < 2^12: the two differences as the 16-bit
// halves of one lane, multiplied and added pairwise in one step.
inline __m256i squares8(__m256i a, __m256i b) {
  const __m256i ab = _mm256_blend_epi16(a, _mm256_slli_epi32(b, 16), 0xAA);
  return _mm256_srli_epi32(_mm256_madd_epi16(ab, ab), 2);
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

// The samples of eight pixels, their validity and their amplitudes.
struct Samples8 {
  __m256i valid;  // all ones where valid
  __m256i a, b;   // d2 - d0, d3 - d1
};

inline Samples8 samples8(const uint16_t *src, size_t pixels, size_t i) {
  const __m256i d0 = load_plane(src + i), d1 = load_plane(src + pixels + i),
                d2 = load_plane(src + 2 * pixels + i), d3 = load_plane(src + 3 * pixels + i);
  const __m256i lo = _mm256_min_epi32(_mm256_min_epi32(d0, d1), _mm256_min_epi32(d2, d3));
  const __m256i hi = _mm256_max_epi32(_mm256_max_epi32(d0, d1), _mm256_max_epi32(d2, d3));
  const __m256i invalid =
      _mm256_or_si256(_mm256_cmpgt_epi32(set1(1), lo), _mm256_cmpgt_epi32(hi, set1(kSampleMax)));
  return {not_(invalid), _mm256_sub_epi32(d2, d0), _mm256_sub_epi32(d3, d1)};
}

inline Pixels8 phase_amp8(const uint16_t *src, size_t pixels, size_t i, const DecodeLuts &luts) {
  const Samples8 s = samples8(src, pixels, i);
  __m256i phase = _mm256_add_epi32(atan2_8(s.b, s.a, luts.atan), set1(kPhaseHalfTurn));
  phase = _mm256_sub_epi32(
      phase, _mm256_and_si256(_mm256_cmpgt_epi32(phase, set1(kPhaseTurn - 1)), set1(kPhaseTurn)));
  return {s.valid, phase, amplitude_of_squares8(squares8(s.a, s.b), luts.root_steps)};
}

inline void store8(uint16_t *dst, __m256i v) {
  const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(v, v), 0x08);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm256_castsi256_si128(packed));
}

// Euclidean remainder modulo one turn for |v| < 2^24.
inline __m256i wrap_turn_far8(__m256i v) {
  const __m256 q =
      _mm256_floor_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(v), _mm256_set1_ps(1.0f / kPhaseTurn)));
  __m256i r = _mm256_sub_epi32(v, _mm256_mullo_epi32(_mm256_cvtps_epi32(q), set1(kPhaseTurn)));
  r = _mm256_add_epi32(
      r, _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_setzero_si256(), r), set1(kPhaseTurn)));
  return _mm256_sub_epi32(
      r, _mm256_and_si256(_mm256_cmpgt_epi32(r, set1(kPhaseTurn - 1)), set1(kPhaseTurn)));
}

// The same; phases within one turn of the turn (nearly all) take one
// correction each way.
inline __m256i wrap_turn8(__m256i v) {
  const __m256i turn = set1(kPhaseTurn), last = set1(kPhaseTurn - 1), zero = _mm256_setzero_si256();
  const __m256i near =
      _mm256_sub_epi32(_mm256_add_epi32(v, _mm256_and_si256(_mm256_cmpgt_epi32(zero, v), turn)),
                       _mm256_and_si256(_mm256_cmpgt_epi32(v, last), turn));
  const __m256i out =
      _mm256_or_si256(_mm256_cmpgt_epi32(zero, near), _mm256_cmpgt_epi32(near, last));
  return _mm256_testz_si256(out, out) ? near : wrap_turn_far8(v);
}

// phase_to_mm of eight phases 0 ... turn - 1 for range_mm <= 60000, in
// double: the product is exact, and a quotient that is not a whole number
// lies at least 1 / turn below the next one, far more than the rounding of
// the scaled product (under 2^-35 here); half of that margin added keeps
// whole quotients from rounding below themselves.
class PhaseToMm {
 public:
  explicit PhaseToMm(uint32_t range_mm)
      : scale_(_mm256_set1_pd(static_cast<double>(range_mm) / kPhaseTurn)),
        lift_(_mm256_set1_pd(0.5 / kPhaseTurn)) {}
  __m256i operator()(__m256i phase) const {
    const __m128i lo = half(_mm256_castsi256_si128(phase));
    const __m128i hi = half(_mm256_extracti128_si256(phase, 1));
    return _mm256_set_m128i(hi, lo);
  }

 private:
  __m128i half(__m128i phase) const {
    const __m256d x = _mm256_mul_pd(_mm256_cvtepi32_pd(phase), scale_);
    return _mm256_cvttpd_epi32(_mm256_add_pd(x, lift_));
  }
  __m256d scale_, lift_;
};

// The 16-bit entries of `table` at eight indices.
inline __m256i gather16(const int *table, __m256i index) {
  return _mm256_and_si256(_mm256_i32gather_epi32(table, index, 2), set1(0xFFFF));
}

// The kernels run in two passes over blocks of pixels: phases and
// amplitudes first, then the phase -> distance step. Two short chains of
// dependent steps let the CPU work on more pixel groups at once than one
// long chain does.
constexpr size_t kBlock = 512;

// Phases of pixels i0 ... i0 + count - 1 (count a multiple of eight) into
// `phase`, -1 for an invalid pixel; their amplitudes into amp (amp_invalid
// for an invalid pixel).
inline void phases_of_block(int32_t *phase, uint16_t *amp, const uint16_t *src, size_t pixels,
                            size_t i0, size_t count, int amp_invalid, const DecodeLuts &luts) {
  for (size_t k = 0; k < count; k += kLanes) {
    const Pixels8 px = phase_amp8(src, pixels, i0 + k, luts);
    _mm256_store_si256(reinterpret_cast<__m256i *>(phase + k),
                       _mm256_or_si256(px.phase, not_(px.valid)));
    store8(amp + i0 + k, select(px.valid, px.amp, set1(amp_invalid)));
  }
}

inline __m256i load_phase8(const int32_t *phase) {
  return _mm256_load_si256(reinterpret_cast<const __m256i *>(phase));
}

// The DRNU path's arithmetic holds within these bounds; other constants take
// the reference path.
bool drnu_fits(const DrnuParams &p, size_t pixels) {
  return p.range_mm <= kMaxDistanceMm && p.num_dist <= kMaxDrnuDistances &&
         pixels * static_cast<size_t>(p.num_dist > 0 ? p.num_dist : 1) < (size_t{1} << 30);
}

// Calibration entries of eight pixels: the first and last of each pixel,
// and the two that bound segment j.
struct Ends8 {
  __m256i first, last;
};
struct Segment8 {
  __m256i low, high;
};

// Entries in one row per pixel (entry k of pixel i at [i * n + k]). Each
// 32-bit gather at a 16-bit index brings an entry and its successor.
class RowEntries {
 public:
  RowEntries(const uint16_t *table, int n)
      : table_(reinterpret_cast<const int *>(table)),
        n_(n),
        lanes_(_mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), set1(n))) {}
  void at(size_t i) { row_ = _mm256_add_epi32(set1(static_cast<int>(i) * n_), lanes_); }
  Ends8 ends() const {
    const __m256i first = _mm256_i32gather_epi32(table_, row_, 2);
    const __m256i last = _mm256_i32gather_epi32(table_, _mm256_add_epi32(row_, set1(n_ - 2)), 2);
    return {_mm256_and_si256(first, set1(0xFFFF)), _mm256_srli_epi32(last, 16)};
  }
  Segment8 segment(__m256i j) const {
    const __m256i pair = _mm256_i32gather_epi32(table_, _mm256_add_epi32(row_, j), 2);
    return {_mm256_and_si256(pair, set1(0xFFFF)), _mm256_srli_epi32(pair, 16)};
  }

 private:
  const int *table_;
  int n_;
  __m256i lanes_, row_ = _mm256_setzero_si256();
};

// Entries as segments, segment by segment (segment j of pixel i at
// [j * pixels + i], the first and last entries after the last segment): the
// first and last entries of eight pixels are one plain load, a segment's two
// bounds one gather from an image that neighbouring pixels mostly share.
class SegmentEntries {
 public:
  SegmentEntries(const uint32_t *segments, size_t pixels, int n)
      : ends_(segments + static_cast<size_t>(n - 1) * pixels),
        base_(reinterpret_cast<const int *>(segments)),
        image_(set1(static_cast<int>(pixels))) {}
  void at(size_t i) {
    i_ = i;
    lanes_ = _mm256_add_epi32(set1(static_cast<int>(i)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  }
  Ends8 ends() const {
    const __m256i ends = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(ends_ + i_));
    return {_mm256_and_si256(ends, set1(0xFFFF)), _mm256_srli_epi32(ends, 16)};
  }
  Segment8 segment(__m256i j) const {
    const __m256i pair =
        _mm256_i32gather_epi32(base_, _mm256_add_epi32(lanes_, _mm256_mullo_epi32(j, image_)), 4);
    return {_mm256_and_si256(pair, set1(0xFFFF)), _mm256_srli_epi32(pair, 16)};
  }

 private:
  const uint32_t *ends_;
  const int *base_;
  __m256i image_;
  size_t i_ = 0;
  __m256i lanes_ = _mm256_setzero_si256();
};

// The DRNU distances of all pixels with the calibration entries from
// `entries` (null: no usable table, the compensated phase is used as is).
template <typename Entries>
void drnu_loop(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
               const DrnuParams &p, Entries *entries) {
  const DecodeLuts luts = decode_luts();
  const int n = p.num_dist;
  const __m256i zero = _mm256_setzero_si256();
  const __m256i last_seg = set1(n - 2), last = set1(n - 1);
  const __m256i base = set1(wrap_turn(p.base_phase));
  const __m256 comp = _mm256_set1_ps(p.phase_comp), step = _mm256_set1_ps(p.step_phase);
  // A phase (-1 ... 29999) less such a compensation stays far inside the
  // clamp limits (NaN is not small).
  const bool small_comp = p.phase_comp > -kClampLimit / 2 && p.phase_comp < kClampLimit / 2;
  const PhaseToMm to_mm(p.range_mm);
  alignas(32) int32_t phases[kBlock];
  const size_t full = pixels / kLanes * kLanes;
  size_t i = 0;
  for (; i < full; i += kBlock) {
    const size_t count = smaller(kBlock, full - i);
    phases_of_block(phases, amp, src, pixels, i, count, 0, luts);
    for (size_t k = 0; k < count; k += kLanes) {
      const __m256i phase = load_phase8(phases + k);
      const __m256 shifted = _mm256_sub_ps(_mm256_cvtepi32_ps(phase), comp);
      __m256i pc = small_comp ? _mm256_cvttps_epi32(shifted) : trunc_clamped8(shifted);
      if (entries != nullptr) {
        entries->at(i + k);
        const Ends8 e = entries->ends();
        const __m256i rising = _mm256_cmpgt_epi32(e.last, e.first);
        const __m256i den = select(rising, _mm256_sub_epi32(e.last, e.first), set1(1));
        // |pc| <= 2^23, so the product stays in 32 bits; where it passes 2^24
        // (not exact in a float) the quotient is far above n - 1 either way.
        const __m256i num =
            _mm256_max_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(pc, e.first), last), zero);
        // Segment: floor(num / den) limited to 0 ... n - 2 (limited to n - 1
        // before the correction, so that the product stays small).
        __m256i j =
            _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(num), _mm256_cvtepi32_ps(den)));
        j = fix_quotient(_mm256_min_epi32(j, last), num, den);
        j = _mm256_min_epi32(j, last_seg);
        const Segment8 sg = entries->segment(j);
        const __m256i seg = _mm256_sub_epi32(sg.high, sg.low);
        const __m256 whole = _mm256_mul_ps(step, _mm256_cvtepi32_ps(j));
        const __m256 part =
            _mm256_div_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_sub_epi32(pc, sg.low)), step),
                          _mm256_cvtepi32_ps(seg));
        const __m256 flat = _mm256_castsi256_ps(_mm256_cmpeq_epi32(seg, zero));
        const __m256 x = _mm256_blendv_ps(_mm256_add_ps(whole, part), whole, flat);
        pc = select(rising, _mm256_add_epi32(base, trunc_clamped8(x)), pc);
      }
      const __m256i d = to_mm(wrap_turn8(pc));
      store8(dist + i + k, select(_mm256_cmpgt_epi32(phase, set1(-1)), d, set1(kDistInvalid)));
    }
  }
  dist_drnu_from(dist, amp, src, pixels, full, p);
}

}  // namespace

void dist_simple_avx2(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                      const SimpleParams &p) {
  const DecodeLuts luts = decode_luts();
  const int *table = simple_phase_table(p);
  alignas(32) int32_t phases[kBlock];
  const size_t full = pixels / kLanes * kLanes;
  for (size_t i = 0; i < full; i += kBlock) {
    const size_t count = smaller(kBlock, full - i);
    phases_of_block(phases, amp, src, pixels, i, count, kDistInvalid, luts);
    for (size_t k = 0; k < count; k += kLanes) {
      const __m256i phase = load_phase8(phases + k);
      const __m256i valid = _mm256_cmpgt_epi32(phase, set1(-1));
      const __m256i d = gather16(table, _mm256_and_si256(phase, valid));
      store8(dist + i + k, select(valid, d, set1(kDistInvalid)));
    }
  }
  dist_simple_from(dist, amp, src, pixels, full, p);
}

void dist_drnu_avx2(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                    const DrnuParams &p) {
  if (!drnu_fits(p, pixels)) return dist_drnu_ref(dist, amp, src, pixels, p);
  const int n = p.num_dist;
  if (n >= 2 && p.segments != nullptr) {
    SegmentEntries segments(p.segments, pixels, n);
    return drnu_loop(dist, amp, src, pixels, p, &segments);
  }
  if (n >= 2 && p.table != nullptr) {
    RowEntries rows(p.table, n);
    return drnu_loop(dist, amp, src, pixels, p, &rows);
  }
  drnu_loop<RowEntries>(dist, amp, src, pixels, p, nullptr);
}

void gray_avx2(uint16_t *gray, const uint16_t *src, size_t pixels) {
  const DecodeLuts luts = decode_luts();
  size_t i = 0;
  for (; i + kLanes <= pixels; i += kLanes) {
    const Samples8 s = samples8(src, pixels, i);
    store8(gray + i,
           _mm256_and_si256(s.valid, amplitude_of_squares8(squares8(s.a, s.b), luts.root_steps)));
  }
  gray_from(gray, src, pixels, i);
}

void amplitude_of_squares_avx2(uint16_t *out, const int32_t *v, size_t count) {
  const int *root_steps = amp_root_steps();
  size_t i = 0;
  for (; i + kLanes <= count; i += kLanes)
    store8(out + i, amplitude_of_squares8(
                        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(v + i)), root_steps));
  amplitude_of_squares_from(out, v, count, i);
}

}  // namespace torvi::epc
