// Remap eight pixels at a time (built with AVX2 enabled; called only when the
// CPU has it): indices from the map, then gathers.
#include <immintrin.h>

#include "imgproc/lens_remap.h"

namespace torvi::lens {

namespace {

inline __m256 divide(__m256 m, const Divisor &d) {
  switch (d.kind) {
    case Divisor::kOne:
      return m;
    case Divisor::kPow2:
      return _mm256_mul_ps(m, _mm256_set1_ps(d.rd));
    default:
      return _mm256_div_ps(m, _mm256_set1_ps(d.d));
  }
}

// Source coordinate trunc(q + 0.5), computed exactly in float as
// floor(q) + (q - floor(q) >= 0.5) (the subtraction is exact), and whether it
// lies in 0 .. n-1: exactly when -1.5 < q < n - 0.5.
inline __m256i coord8(__m256 q, __m256 n_half, __m256i &ok) {
  const __m256 fl = _mm256_floor_ps(q);
  const __m256 up = _mm256_cmp_ps(_mm256_sub_ps(q, fl), _mm256_set1_ps(0.5f), _CMP_GE_OQ);
  ok = _mm256_castps_si256(_mm256_and_ps(_mm256_cmp_ps(q, _mm256_set1_ps(-1.5f), _CMP_GT_OQ),
                                         _mm256_cmp_ps(q, n_half, _CMP_LT_OQ)));
  // In range, floor(q) + 1 for q in (-1.5, -0.5) is -1 or 0; trunc gives 0.
  const __m256i r = _mm256_sub_epi32(_mm256_cvttps_epi32(fl), _mm256_castps_si256(up));
  return _mm256_max_epi32(r, _mm256_setzero_si256());
}

// Source index of 8 pixels, -1 where the source lies outside the image.
inline __m256i index8(const float *mx, const float *my, const Divisor &dy, __m256i w, __m256 w_half,
                      __m256 h_half) {
  __m256i okx, oky;
  const __m256i sx = coord8(_mm256_loadu_ps(mx), w_half, okx);
  const __m256i sy = coord8(divide(_mm256_loadu_ps(my), dy), h_half, oky);
  return _mm256_blendv_epi8(_mm256_set1_epi32(-1), _mm256_add_epi32(_mm256_mullo_epi32(sy, w), sx),
                            _mm256_and_si256(okx, oky));
}

}  // namespace

void remap_row_u16_avx2(const float *mx, const float *my, int n, const Divisor &dy,
                        const uint16_t *src, int32_t w, int32_t h, uint16_t invalid,
                        uint16_t *dst) {
  const __m256i vw = _mm256_set1_epi32(w);
  const __m256 w_half = _mm256_set1_ps(static_cast<float>(w) - 0.5f),
               h_half = _mm256_set1_ps(static_cast<float>(h) - 0.5f);
  // A 32-bit gather at a 16-bit element reads two bytes past it, so the
  // image's last element is never gathered: those lanes take its value.
  const int32_t last = w * h - 1;
  const __m256i vlast = _mm256_set1_epi32(last), last_value = _mm256_set1_epi32(src[last]);
  const __m256i inv = _mm256_set1_epi32(invalid), low16 = _mm256_set1_epi32(0xFFFF);
  const int *base = reinterpret_cast<const int *>(src);
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    __m256i out[2];
    for (int half = 0; half < 2; ++half) {
      const __m256i idx = index8(mx + i + 8 * half, my + i + 8 * half, dy, vw, w_half, h_half);
      const __m256i bad = _mm256_cmpgt_epi32(_mm256_setzero_si256(), idx);
      const __m256i at_last = _mm256_cmpeq_epi32(idx, vlast);
      const __m256i skip = _mm256_or_si256(bad, at_last);
      __m256i v = _mm256_mask_i32gather_epi32(last_value, base, _mm256_andnot_si256(skip, idx),
                                              _mm256_andnot_si256(skip, _mm256_set1_epi32(-1)), 2);
      v = _mm256_and_si256(v, low16);
      out[half] = _mm256_blendv_epi8(v, inv, bad);
    }
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(out[0], out[1]), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + i), packed);
  }
  remap_row_tail(mx, my, i, n, dy, src, w, h, invalid, dst);
}

void remap_row_f32_avx2(const float *mx, const float *my, int n, const Divisor &dy,
                        const float *src, int32_t w, int32_t h, float invalid, float *dst) {
  const __m256i vw = _mm256_set1_epi32(w);
  const __m256 w_half = _mm256_set1_ps(static_cast<float>(w) - 0.5f),
               h_half = _mm256_set1_ps(static_cast<float>(h) - 0.5f);
  const __m256 inv = _mm256_set1_ps(invalid);
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i idx = index8(mx + i, my + i, dy, vw, w_half, h_half);
    const __m256i bad = _mm256_cmpgt_epi32(_mm256_setzero_si256(), idx);
    const __m256 v = _mm256_mask_i32gather_ps(
        inv, src, _mm256_andnot_si256(bad, idx),
        _mm256_castsi256_ps(_mm256_andnot_si256(bad, _mm256_set1_epi32(-1))), 4);
    _mm256_storeu_ps(dst + i, v);
  }
  remap_row_tail(mx, my, i, n, dy, src, w, h, invalid, dst);
}

}  // namespace torvi::lens
