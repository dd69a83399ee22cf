// The EPC decode kernels vectorised for AVX-512, sixteen pixels at a time,
// bit for bit equal to the reference versions. As in the AVX2 kernels, the
// root steps and the atan2 table come from gathers and phase to millimetres
// is done in double; the integer quotients and the integer root start from
// the approximate reciprocal (root) and are made exact by one step each way;
// mask registers make the lane choices. The DRNU kernel works on blocks of
// pixels in two passes: phases, amplitudes and the calibration segment of
// each pixel (its entries prefetched), then, one block later, the
// distances, so that the entries arrive while other pixels are worked on.
// Compiled with AVX-512 enabled (and no contraction of products and sums);
// called only on CPUs that have it.
//
// GCC 12's AVX-512 intrinsics use deliberately undefined vectors, which
// -Wmaybe-uninitialized (and, depending on the inlining, -Wuninitialized)
// reports once they are inlined (GCC bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#include <torvi/kx_math.h>

#include "drivers/epc/decode_kernels.h"
#include "drivers/epc/decode_math.h"
#include "drivers/epc/decode_tables.h"

namespace torvi::epc {
namespace {

constexpr int kLanes = 16;
using Mask = __mmask16;

inline size_t smaller(size_t a, size_t b) { return a < b ? a : b; }
inline __m512i set1(int v) { return _mm512_set1_epi32(v); }
// yes where the mask is set, else no.
inline __m512i select(Mask m, __m512i yes, __m512i no) {
  return _mm512_mask_blend_epi32(m, no, yes);
}

// floor(n / d) for 0 <= n, 0 < d where it is below cap, else at least cap
// (cap < 2^15). The quotient from the approximate reciprocal (relative
// error below 2^-14; n exact in a float wherever the quotient is below cap)
// limited to 0 ... cap lies within one of the floor whenever the floor is
// below cap, and one step each way makes it exact.
//
// kNarrow (d < 2^15): q * d in one 16-bit multiply and add per lane.
// Otherwise (d < 2^16, cap < 2^7): q * d < 2^23 is exact in a float, and
// the float comparison with n is exact where n < 2^24 and right anyway
// above (q * d stays far below n there).
template <bool kNarrow>
inline __m512i floor_quotient(__m512i n, __m512i d, __m512i cap) {
  const __m512 nf = _mm512_cvtepi32_ps(n), df = _mm512_cvtepi32_ps(d);
  const __m512 approx = _mm512_mul_ps(nf, _mm512_rcp14_ps(df));
  __m512i q =
      _mm512_min_epi32(_mm512_max_epi32(_mm512_cvttps_epi32(approx), _mm512_setzero_si512()), cap);
  const __m512i up = _mm512_add_epi32(q, set1(1));
  Mask above, within;  // q * d > n, (q + 1) * d <= n
  if constexpr (kNarrow) {
    above = _mm512_cmpgt_epi32_mask(_mm512_madd_epi16(q, d), n);
    within = _mm512_cmple_epi32_mask(_mm512_madd_epi16(up, d), n);
  } else {
    above = _mm512_cmp_ps_mask(_mm512_mul_ps(_mm512_cvtepi32_ps(q), df), nf, _CMP_GT_OQ);
    within = _mm512_cmp_ps_mask(_mm512_mul_ps(_mm512_cvtepi32_ps(up), df), nf, _CMP_LE_OQ);
  }
  // Never both: q * d > n and (q + 1) * d <= n contradict each other.
  return _mm512_mask_mov_epi32(_mm512_mask_sub_epi32(q, above, q, set1(1)), within, up);
}

inline __m512i trunc_clamped16(__m512 x) {
  x = _mm512_max_ps(x, _mm512_set1_ps(-kClampLimit));  // NaN -> the bound, as in the reference
  x = _mm512_min_ps(x, _mm512_set1_ps(kClampLimit));
  return _mm512_cvttps_epi32(x);
}

// kx_math_atan2_i32(y, x) for sample differences (|x|, |y| < 4096), by
// quadrant and octant as in the AVX2 kernels.
inline __m512i atan2_16(__m512i y, __m512i x, const int *atan_table) {
  const __m512i zero = _mm512_setzero_si512();
  const Mask yneg = _mm512_cmplt_epi32_mask(y, zero);
  const Mask swap = static_cast<Mask>(_mm512_cmplt_epi32_mask(_mm512_xor_si512(x, y), zero) |
                                      _mm512_cmpeq_epi32_mask(x, zero));
  const __m512i ax = _mm512_abs_epi32(x), ay = _mm512_abs_epi32(y);
  __m512i a = select(swap, ax, ay), b = select(swap, ay, ax);
  __m512i base = _mm512_maskz_mov_epi32(yneg, set1(kPhaseHalfTurn));
  base = _mm512_mask_add_epi32(base, swap, base, set1(7500));
  // Fold the upper octant: tan(t - pi/8 turn) = (a - b) / (a + b).
  const Mask fold = _mm512_cmple_epi32_mask(b, a);
  const __m512i diff = _mm512_sub_epi32(a, b), sum = _mm512_add_epi32(a, b);
  a = select(fold, diff, a);
  b = select(fold, sum, b);
  base = _mm512_mask_add_epi32(base, fold, base, set1(3750));
  // Table index (a * 4096) / b (a <= b, b < 2^13). Lanes with y = 0
  // (possibly 0 / 0) stay inside the table and are replaced below.
  const __m512i n = _mm512_slli_epi32(a, 12);
  const __m512i q = _mm512_min_epi32(floor_quotient<true>(n, b, set1(ARCTAN2_LUT_NUM)),
                                     set1(ARCTAN2_LUT_NUM - 1));
  const __m512i angle = _mm512_add_epi32(base, _mm512_i32gather_epi32(q, atan_table, 4));
  const __m512i on_axis =
      _mm512_maskz_mov_epi32(_mm512_cmplt_epi32_mask(x, zero), set1(kPhaseHalfTurn));
  return select(_mm512_cmpeq_epi32_mask(y, zero), on_axis, angle);
}

// trunc(kx_math_sqrtf(v)) for 0 <= v <= 2^23.
// The integer root first: v times the approximate reciprocal root
// (relative error below 2^-14, so within 0.2 of the root for v <= 2^23; v = 0
// gives NaN, which becomes 0) is within one of isqrt(v), and one step each
// way makes it exact.
inline __m512i amplitude_of_squares16(__m512i v, const int *root_steps) {
  const __m512 f = _mm512_cvtepi32_ps(v);
  __m512i r = _mm512_max_epi32(_mm512_cvttps_epi32(_mm512_mul_ps(f, _mm512_rsqrt14_ps(f))),
                               _mm512_setzero_si512());
  r = _mm512_mask_sub_epi32(r, _mm512_cmpgt_epi32_mask(_mm512_madd_epi16(r, r), v), r, set1(1));
  const __m512i r1 = _mm512_add_epi32(r, set1(1));
  r = _mm512_mask_mov_epi32(r, _mm512_cmple_epi32_mask(_mm512_madd_epi16(r1, r1), v), r1);
  const __m512i next = _mm512_add_epi32(r, set1(1));
  const __m512i step = _mm512_i32gather_epi32(next, root_steps, 4);
  return _mm512_mask_sub_epi32(next, _mm512_cmpgt_epi32_mask(step, v), next, set1(1));
}

// (a^2 + b^2) >> 2 for |a|, |b| < 2^12, the two as 16-bit halves of a lane.
inline __m512i squares16(__m512i a, __m512i b) {
  const __m512i ab = _mm512_mask_blend_epi16(0xAAAAAAAAu, a, _mm512_slli_epi32(b, 16));
  return _mm512_srli_epi32(_mm512_madd_epi16(ab, ab), 2);
}

inline __m512i load_plane(const uint16_t *p) {
  return _mm512_and_si512(
      _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p))),
      set1(kSampleMask));
}

struct Samples16 {
  Mask valid;
  __m512i a, b;  // d2 - d0, d3 - d1
};

inline Samples16 samples16(const uint16_t *src, size_t pixels, size_t i) {
  const __m512i d0 = load_plane(src + i), d1 = load_plane(src + pixels + i),
                d2 = load_plane(src + 2 * pixels + i), d3 = load_plane(src + 3 * pixels + i);
  const __m512i lo = _mm512_min_epi32(_mm512_min_epi32(d0, d1), _mm512_min_epi32(d2, d3));
  const __m512i hi = _mm512_max_epi32(_mm512_max_epi32(d0, d1), _mm512_max_epi32(d2, d3));
  const Mask valid = static_cast<Mask>(_mm512_cmpge_epi32_mask(lo, set1(1)) &
                                       _mm512_cmple_epi32_mask(hi, set1(kSampleMax)));
  return {valid, _mm512_sub_epi32(d2, d0), _mm512_sub_epi32(d3, d1)};
}

struct Pixels16 {
  Mask valid;
  __m512i phase, amp;
};

inline Pixels16 phase_amp16(const uint16_t *src, size_t pixels, size_t i, const DecodeLuts &luts) {
  const Samples16 s = samples16(src, pixels, i);
  __m512i phase = _mm512_add_epi32(atan2_16(s.b, s.a, luts.atan), set1(kPhaseHalfTurn));
  phase = _mm512_mask_sub_epi32(phase, _mm512_cmpgt_epi32_mask(phase, set1(kPhaseTurn - 1)), phase,
                                set1(kPhaseTurn));
  return {s.valid, phase, amplitude_of_squares16(squares16(s.a, s.b), luts.root_steps)};
}

// Lanes hold 0 ... 65535.
inline void store16(uint16_t *dst, __m512i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst), _mm512_cvtepi32_epi16(v));
}

// Euclidean remainder modulo one turn for |v| < 2^24.
inline __m512i wrap_turn_far16(__m512i v) {
  const __m512 q =
      _mm512_roundscale_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(v), _mm512_set1_ps(1.0f / kPhaseTurn)),
                           _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  __m512i r = _mm512_sub_epi32(v, _mm512_mullo_epi32(_mm512_cvtps_epi32(q), set1(kPhaseTurn)));
  r = _mm512_mask_add_epi32(r, _mm512_cmplt_epi32_mask(r, _mm512_setzero_si512()), r,
                            set1(kPhaseTurn));
  return _mm512_mask_sub_epi32(r, _mm512_cmpgt_epi32_mask(r, set1(kPhaseTurn - 1)), r,
                               set1(kPhaseTurn));
}

// The same; phases within one turn of the turn (nearly all) take one
// correction each way.
inline __m512i wrap_turn16(__m512i v) {
  const __m512i turn = set1(kPhaseTurn), last = set1(kPhaseTurn - 1), zero = _mm512_setzero_si512();
  __m512i near = _mm512_mask_add_epi32(v, _mm512_cmplt_epi32_mask(v, zero), v, turn);
  near = _mm512_mask_sub_epi32(near, _mm512_cmpgt_epi32_mask(v, last), near, turn);
  const Mask out =
      static_cast<Mask>(_mm512_cmplt_epi32_mask(near, zero) | _mm512_cmpgt_epi32_mask(near, last));
  return out == 0 ? near : wrap_turn_far16(v);
}

// phase_to_mm of sixteen phases 0 ... turn - 1 for range_mm <= 60000, in
// double (exact; see the AVX2 kernels).
class PhaseToMm {
 public:
  explicit PhaseToMm(uint32_t range_mm)
      : scale_(_mm512_set1_pd(static_cast<double>(range_mm) / kPhaseTurn)),
        lift_(_mm512_set1_pd(0.5 / kPhaseTurn)) {}
  __m512i operator()(__m512i phase) const {
    const __m256i lo = half(_mm512_castsi512_si256(phase));
    const __m256i hi = half(_mm512_extracti64x4_epi64(phase, 1));
    return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
  }

 private:
  __m256i half(__m256i phase) const {
    const __m512d x = _mm512_mul_pd(_mm512_cvtepi32_pd(phase), scale_);
    return _mm512_cvttpd_epi32(_mm512_add_pd(x, lift_));
  }
  __m512d scale_, lift_;
};

constexpr size_t kBlock = 1024;
constexpr size_t kGroups = kBlock / kLanes;

bool drnu_fits(const DrnuParams &p, size_t pixels) {
  return p.range_mm <= kMaxDistanceMm && p.num_dist <= kMaxDrnuDistances &&
         pixels * static_cast<size_t>(p.num_dist > 0 ? p.num_dist : 1) < (size_t{1} << 30);
}

struct Ends16 {
  __m512i first, last;
};
struct Segment16 {
  __m512i low, high;
};

inline Segment16 split_pair(__m512i pair) {
  return {_mm512_and_si512(pair, set1(0xFFFF)), _mm512_srli_epi32(pair, 16)};
}

// Entries in one row per pixel (entry k of pixel i at [i * n + k]); a 32-bit
// gather at a 16-bit index brings an entry and its successor.
class RowEntries {
 public:
  RowEntries(const uint16_t *table, int n)
      : table_(reinterpret_cast<const int *>(table)),
        n_(n),
        lanes_(_mm512_mullo_epi32(
            _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), set1(n))) {}
  Ends16 ends(size_t i) const {
    const __m512i row = this->row(i);
    const __m512i first = _mm512_i32gather_epi32(row, table_, 2);
    const __m512i last = _mm512_i32gather_epi32(_mm512_add_epi32(row, set1(n_ - 2)), table_, 2);
    return {_mm512_and_si512(first, set1(0xFFFF)), _mm512_srli_epi32(last, 16)};
  }
  void prefetch(size_t, __m512i) const {}
  Segment16 segment(size_t i, __m512i j) const {
    return split_pair(_mm512_i32gather_epi32(_mm512_add_epi32(row(i), j), table_, 2));
  }

 private:
  __m512i row(size_t i) const { return _mm512_add_epi32(set1(static_cast<int>(i) * n_), lanes_); }
  const int *table_;
  int n_;
  __m512i lanes_;
};

// Entries as segments, segment by segment (segment j of pixel i at
// [j * pixels + i], the first and last entries after the last segment).
class SegmentEntries {
 public:
  SegmentEntries(const uint32_t *segments, size_t pixels, int n)
      : segments_(segments),
        ends_(segments + static_cast<size_t>(n - 1) * pixels),
        pixels_(pixels),
        image_(set1(static_cast<int>(pixels))) {}
  Ends16 ends(size_t i) const {
    const __m512i ends = _mm512_loadu_si512(ends_ + i);
    return {_mm512_and_si512(ends, set1(0xFFFF)), _mm512_srli_epi32(ends, 16)};
  }
  // The cache lines of the first and the last lane's segment (one line when
  // all sixteen lie in one image and the images start on whole lines).
  void prefetch(size_t i, __m512i j) const {
    const auto first = static_cast<size_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(j)));
    const auto last = static_cast<size_t>(_mm_extract_epi32(_mm512_extracti32x4_epi32(j, 3), 3));
    const auto *a = reinterpret_cast<const char *>(segments_ + first * pixels_ + i);
    const auto *b = reinterpret_cast<const char *>(segments_ + last * pixels_ + i + kLanes - 1);
    _mm_prefetch(a, _MM_HINT_T0);
    if ((reinterpret_cast<uintptr_t>(a) ^ reinterpret_cast<uintptr_t>(b)) >= 64)
      _mm_prefetch(b, _MM_HINT_T0);
  }
  Segment16 segment(size_t i, __m512i j) const {
    const __m512i lanes =
        _mm512_add_epi32(set1(static_cast<int>(i)),
                         _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    return split_pair(_mm512_i32gather_epi32(_mm512_add_epi32(lanes, _mm512_mullo_epi32(j, image_)),
                                             reinterpret_cast<const int *>(segments_), 4));
  }

 private:
  const uint32_t *segments_, *ends_;
  size_t pixels_;
  __m512i image_;
};

// Per block: the compensated phase of each pixel, its segment, whether its
// table rises (only rising tables correct the phase) and whether its samples
// are valid.
struct BlockSegments {
  alignas(64) int32_t pc[kBlock];
  alignas(64) int32_t j[kBlock];
  Mask rising[kGroups];
  Mask valid[kGroups];
};

// The DRNU distances of all pixels with the calibration entries from
// `entries` (null: no usable table, the compensated phase is used as is).
template <typename Entries>
void drnu_loop(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
               const DrnuParams &p, const Entries *entries) {
  const DecodeLuts luts = decode_luts();
  const int n = p.num_dist;
  const __m512i zero = _mm512_setzero_si512();
  const __m512i last_seg = set1(n - 2), last = set1(n - 1);
  const __m512i base = set1(wrap_turn(p.base_phase));
  const __m512 comp = _mm512_set1_ps(p.phase_comp), step = _mm512_set1_ps(p.step_phase);
  // A phase (0 ... 29999) less such a compensation stays far inside the
  // clamp limits (NaN is not small).
  const bool small_comp = p.phase_comp > -kClampLimit / 2 && p.phase_comp < kClampLimit / 2;
  const PhaseToMm to_mm(p.range_mm);
  // Phases, compensated phases and segments of one block, the segment
  // entries prefetched.
  const auto prepare = [&](size_t i, size_t count, BlockSegments &bs) {
    for (size_t k = 0; k < count; k += kLanes) {
      const Pixels16 px = phase_amp16(src, pixels, i + k, luts);
      store16(amp + i + k, _mm512_maskz_mov_epi32(px.valid, px.amp));
      bs.valid[k / kLanes] = px.valid;
      const __m512 shifted = _mm512_sub_ps(_mm512_cvtepi32_ps(px.phase), comp);
      const __m512i pc = small_comp ? _mm512_cvttps_epi32(shifted) : trunc_clamped16(shifted);
      _mm512_store_si512(bs.pc + k, pc);
      if (entries == nullptr) continue;
      const Ends16 e = entries->ends(i + k);
      const Mask rising = _mm512_cmpgt_epi32_mask(e.last, e.first);
      const __m512i den = _mm512_mask_sub_epi32(set1(1), rising, e.last, e.first);
      // |pc| <= 2^23, so the product stays in 32 bits; where it passes 2^24
      // (not exact in a float) the quotient is far above n - 1 either way.
      // Segment: floor(num / den) limited to 0 ... n - 2.
      const __m512i num =
          _mm512_max_epi32(_mm512_mullo_epi32(_mm512_sub_epi32(pc, e.first), last), zero);
      const __m512i j = _mm512_min_epi32(floor_quotient<false>(num, den, last), last_seg);
      _mm512_store_si512(bs.j + k, j);
      bs.rising[k / kLanes] = rising;
      entries->prefetch(i + k, j);
    }
  };
  // The distances of a prepared block.
  const auto finish = [&](size_t i, size_t count, const BlockSegments &bs) {
    for (size_t k = 0; k < count; k += kLanes) {
      __m512i pc = _mm512_load_si512(bs.pc + k);
      if (entries != nullptr) {
        const __m512i j = _mm512_load_si512(bs.j + k);
        const Segment16 sg = entries->segment(i + k, j);
        const __m512i seg = _mm512_sub_epi32(sg.high, sg.low);
        const __m512 whole = _mm512_mul_ps(step, _mm512_cvtepi32_ps(j));
        const __m512 part =
            _mm512_div_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_sub_epi32(pc, sg.low)), step),
                          _mm512_cvtepi32_ps(seg));
        // A flat segment adds no fraction.
        const __m512 x =
            _mm512_mask_add_ps(whole, _mm512_cmpneq_epi32_mask(seg, zero), whole, part);
        pc = _mm512_mask_add_epi32(pc, bs.rising[k / kLanes], base, trunc_clamped16(x));
      }
      const __m512i d = to_mm(wrap_turn16(pc));
      store16(dist + i + k, _mm512_mask_mov_epi32(set1(kDistInvalid), bs.valid[k / kLanes], d));
    }
  };
  // Each block is prepared one block ahead of its distances, so that its
  // prefetched entries have the time of a whole block to arrive.
  BlockSegments blocks[2];
  const size_t full = pixels / kLanes * kLanes;
  if (full > 0) prepare(0, smaller(kBlock, full), blocks[0]);
  for (size_t i = 0, b = 0; i < full; i += kBlock, b ^= 1) {
    const size_t next = i + kBlock;
    if (next < full) prepare(next, smaller(kBlock, full - next), blocks[b ^ 1]);
    finish(i, smaller(kBlock, full - i), blocks[b]);
  }
  dist_drnu_from(dist, amp, src, pixels, full, p);
}

}  // namespace

void dist_simple_avx512(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                        const SimpleParams &p) {
  const DecodeLuts luts = decode_luts();
  const int *table = simple_phase_table(p);
  const size_t full = pixels / kLanes * kLanes;
  for (size_t i = 0; i < full; i += kLanes) {
    const Pixels16 px = phase_amp16(src, pixels, i, luts);
    const __m512i d = _mm512_and_si512(
        _mm512_mask_i32gather_epi32(set1(kDistInvalid), px.valid, px.phase, table, 2),
        set1(0xFFFF));
    store16(dist + i, d);
    store16(amp + i, _mm512_mask_mov_epi32(set1(kDistInvalid), px.valid, px.amp));
  }
  dist_simple_from(dist, amp, src, pixels, full, p);
}

void dist_drnu_avx512(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                      const DrnuParams &p) {
  if (!drnu_fits(p, pixels)) return dist_drnu_ref(dist, amp, src, pixels, p);
  const int n = p.num_dist;
  if (n >= 2 && p.segments != nullptr) {
    const SegmentEntries segments(p.segments, pixels, n);
    return drnu_loop(dist, amp, src, pixels, p, &segments);
  }
  if (n >= 2 && p.table != nullptr) {
    const RowEntries rows(p.table, n);
    return drnu_loop(dist, amp, src, pixels, p, &rows);
  }
  drnu_loop<RowEntries>(dist, amp, src, pixels, p, nullptr);
}

void gray_avx512(uint16_t *gray, const uint16_t *src, size_t pixels) {
  const DecodeLuts luts = decode_luts();
  size_t i = 0;
  for (; i + kLanes <= pixels; i += kLanes) {
    const Samples16 s = samples16(src, pixels, i);
    store16(gray + i, _mm512_maskz_mov_epi32(
                          s.valid, amplitude_of_squares16(squares16(s.a, s.b), luts.root_steps)));
  }
  gray_from(gray, src, pixels, i);
}

void amplitude_of_squares_avx512(uint16_t *out, const int32_t *v, size_t count) {
  const int *root_steps = amp_root_steps();
  size_t i = 0;
  for (; i + kLanes <= count; i += kLanes)
    store16(out + i, amplitude_of_squares16(_mm512_loadu_si512(v + i), root_steps));
  amplitude_of_squares_from(out, v, count, i);
}

namespace {

constexpr size_t kWords = 32;  // 16-bit lanes of a vector

inline __m512i load_words(const uint16_t *p) { return _mm512_loadu_si512(p); }
inline void store_words(uint16_t *p, __m512i v) { _mm512_storeu_si512(p, v); }

}  // namespace

void min_amp_hysteresis_avx512(uint16_t *dist, const uint16_t *amp, uint8_t *mask, size_t pixels,
                               uint16_t min_amp, uint16_t hyst) {
  const auto low = static_cast<uint16_t>(min_amp > hyst ? min_amp - hyst : 0);
  const __m512i min_v = _mm512_set1_epi16(static_cast<short>(min_amp));
  const __m512i low_v = _mm512_set1_epi16(static_cast<short>(low));
  const __m512i filtered = _mm512_set1_epi16(static_cast<short>(kDistFiltered));
  const __m256i one = _mm256_set1_epi8(1);
  size_t i = 0;
  for (; i + kWords <= pixels; i += kWords) {
    const __m512i a = load_words(amp + i);
    const __mmask32 set = _mm512_cmpge_epu16_mask(a, min_v);
    const __mmask32 kept = _mm512_cmpge_epu16_mask(a, low_v);
    auto *m_at = reinterpret_cast<__m256i *>(mask + i);
    __m256i m = _mm256_maskz_mov_epi8(kept, _mm256_loadu_si256(m_at));
    m = _mm256_mask_mov_epi8(m, set, one);
    _mm256_storeu_si256(m_at, m);
    const __mmask32 drop = _mm256_cmpeq_epi8_mask(m, _mm256_setzero_si256());
    store_words(dist + i, _mm512_mask_mov_epi16(load_words(dist + i), drop, filtered));
  }
  min_amp_hysteresis_ref(dist + i, amp + i, mask + i, pixels - i, min_amp, hyst);
}

void min_amp_plain_avx512(uint16_t *dist, const uint16_t *amp, size_t pixels, uint16_t min_amp) {
  const __m512i min_v = _mm512_set1_epi16(static_cast<short>(min_amp));
  const __m512i filtered = _mm512_set1_epi16(static_cast<short>(kDistFiltered));
  size_t i = 0;
  for (; i + kWords <= pixels; i += kWords) {
    const __mmask32 drop = _mm512_cmplt_epu16_mask(load_words(amp + i), min_v);
    store_words(dist + i, _mm512_mask_mov_epi16(load_words(dist + i), drop, filtered));
  }
  min_amp_plain_ref(dist + i, amp + i, pixels - i, min_amp);
}

void range_clip_avx512(uint16_t *dist, size_t pixels, uint32_t range_mm) {
  constexpr uint16_t kLastDistance = 60000, kNearLimit = 100;
  const auto far =
      static_cast<uint16_t>(range_mm < kLastDistance + 1u ? range_mm : kLastDistance + 1u);
  const __m512i far_v = _mm512_set1_epi16(static_cast<short>(far));
  const __m512i last_v = _mm512_set1_epi16(static_cast<short>(kLastDistance));
  const __m512i near_v = _mm512_set1_epi16(static_cast<short>(kNearLimit));
  const __m512i filtered = _mm512_set1_epi16(static_cast<short>(kDistFiltered));
  size_t i = 0;
  for (; i + kWords <= pixels; i += kWords) {
    const __m512i v = load_words(dist + i);
    const auto clip = static_cast<__mmask32>(
        _mm512_cmple_epu16_mask(v, near_v) |
        (_mm512_cmpge_epu16_mask(v, far_v) & _mm512_cmple_epu16_mask(v, last_v)));
    store_words(dist + i, _mm512_mask_mov_epi16(v, clip, filtered));
  }
  range_clip_ref(dist + i, pixels - i, range_mm);
}

}  // namespace torvi::epc
