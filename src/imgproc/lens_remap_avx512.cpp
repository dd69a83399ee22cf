// Remap sixteen pixels at a time (built with AVX-512 F/BW enabled; called
// only when the CPU has them). Same arithmetic as the AVX2 code, with mask
// registers for the range checks.
// GCC 12's AVX-512 intrinsics use deliberately undefined vectors, which
// -Wmaybe-uninitialized reports once they are inlined (GCC bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "imgproc/lens_remap.h"

namespace torvi::lens {

namespace {

inline __m512 divide(__m512 m, const Divisor &d) {
  switch (d.kind) {
    case Divisor::kOne:
      return m;
    case Divisor::kPow2:
      return _mm512_mul_ps(m, _mm512_set1_ps(d.rd));
    default:
      return _mm512_div_ps(m, _mm512_set1_ps(d.d));
  }
}

// trunc(q + 0.5) as floor(q) + (q - floor(q) >= 0.5), clamped at 0; ok marks
// -1.5 < q < n - 0.5, exactly the lanes whose result lies in 0 .. n-1.
inline __m512i coord16(__m512 q, __m512 n_half, __mmask16 &ok) {
  const __m512 fl = _mm512_roundscale_ps(q, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  const __mmask16 up = _mm512_cmp_ps_mask(_mm512_sub_ps(q, fl), _mm512_set1_ps(0.5f), _CMP_GE_OQ);
  ok = _mm512_cmp_ps_mask(q, _mm512_set1_ps(-1.5f), _CMP_GT_OQ) &
       _mm512_cmp_ps_mask(q, n_half, _CMP_LT_OQ);
  const __m512i r = _mm512_cvttps_epi32(fl);
  return _mm512_max_epi32(_mm512_mask_add_epi32(r, up, r, _mm512_set1_epi32(1)),
                          _mm512_setzero_si512());
}

// Where the map is locally a mild stretch of the source, the 16 lanes read
// from at most two neighbouring source rows (a curved row crossing over)
// within 32 columns from lane 0's: two loads and 16-bit lane permutations
// then replace the gather, which is slow. Returns false when that does not
// hold; lanes outside `ok` are don't-care.
inline bool window32(__m512i sx, __m512i sy, __mmask16 ok, int32_t w, int32_t total,
                     const uint16_t *src, __m256i &out) {
  if (ok != 0xFFFF) return false;
  const int32_t sx0 = _mm_cvtsi128_si32(_mm512_castsi512_si128(sx));
  const int32_t sy0 = _mm_cvtsi128_si32(_mm512_castsi512_si128(sy));
  const int32_t sy15 = _mm_extract_epi32(_mm512_extracti32x4_epi32(sy, 3), 3);
  if (sy15 - sy0 > 1 || sy0 - sy15 > 1) return false;
  const int32_t a = sy0 * w + sx0, b = sy15 * w + sx0;
  if (a > total - 32 || b > total - 32) return false;
  const __m512i dc = _mm512_sub_epi32(sx, _mm512_set1_epi32(sx0));
  const __mmask16 in_b = _mm512_cmpeq_epi32_mask(sy, _mm512_set1_epi32(sy15));
  const __mmask16 in_a = _mm512_cmpeq_epi32_mask(sy, _mm512_set1_epi32(sy0));
  if (static_cast<__mmask16>(in_a | in_b) != 0xFFFF ||
      _mm512_cmpgt_epu32_mask(dc, _mm512_set1_epi32(31)) != 0)
    return false;
  const __m512i pos = _mm512_castsi256_si512(_mm512_cvtepi32_epi16(dc));
  const __m256i va =
      _mm512_castsi512_si256(_mm512_permutexvar_epi16(pos, _mm512_loadu_si512(src + a)));
  const __m256i vb =
      _mm512_castsi512_si256(_mm512_permutexvar_epi16(pos, _mm512_loadu_si512(src + b)));
  out = _mm256_mask_blend_epi16(in_b, va, vb);
  return true;
}

}  // namespace

void remap_row_u16_avx512(const float *mx, const float *my, int n, const Divisor &dy,
                          const uint16_t *src, int32_t w, int32_t h, uint16_t invalid,
                          uint16_t *dst) {
  const __m512i vw = _mm512_set1_epi32(w);
  const __m512 w_half = _mm512_set1_ps(static_cast<float>(w) - 0.5f),
               h_half = _mm512_set1_ps(static_cast<float>(h) - 0.5f);
  // A 32-bit gather at a 16-bit element reads two bytes past it, so the
  // image's last element is never gathered: those lanes take its value.
  const int32_t last = w * h - 1;
  const __m512i vlast = _mm512_set1_epi32(last), last_value = _mm512_set1_epi32(src[last]);
  const __m256i inv = _mm256_set1_epi16(static_cast<short>(invalid));
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    __mmask16 okx, oky;
    const __m512i sx = coord16(_mm512_loadu_ps(mx + i), w_half, okx);
    const __m512i sy = coord16(divide(_mm512_loadu_ps(my + i), dy), h_half, oky);
    const __mmask16 ok = okx & oky;
    const __m512i idx = _mm512_add_epi32(_mm512_mullo_epi32(sy, vw), sx);
    const __mmask16 load = ok & _mm512_cmpneq_epi32_mask(idx, vlast);
    __m256i v16 = inv;  // lanes without source get the invalid value below
    if (ok != 0 && !window32(sx, sy, ok, w, last + 1, src, v16)) {
      const __m512i v = _mm512_mask_i32gather_epi32(last_value, load, idx, src, 2);
      v16 = _mm512_cvtepi32_epi16(v);  // keeps the low 16 bits
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + i),
                        _mm256_mask_blend_epi16(ok, inv, v16));
  }
  remap_row_tail(mx, my, i, n, dy, src, w, h, invalid, dst);
}

}  // namespace torvi::lens
