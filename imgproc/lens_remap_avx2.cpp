// Remap indices eight pixels at a time (built with AVX2 enabled; called only
// when the CPU has it).
#include <immintrin.h>

#include "imgproc/lens_remap.h"

namespace torvi::lens {

namespace {

// trunc(double(q) + 0.5) for 8 floats; out-of-range values give INT32_MIN.
inline __m256i round_half_up(__m256 q) {
  const __m256d half = _mm256_set1_pd(0.5);
  const __m128i lo = _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(q)), half));
  const __m128i hi = _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(q, 1)), half));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

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

}  // namespace

void remap_index_avx2(const float *mx, const float *my, int n, const Divisor &dy, int32_t src_w,
                      int32_t src_h, int32_t *idx) {
  const __m256i w = _mm256_set1_epi32(src_w), h = _mm256_set1_epi32(src_h);
  const __m256i minus1 = _mm256_set1_epi32(-1);
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i sx = round_half_up(_mm256_loadu_ps(mx + i));
    const __m256i sy = round_half_up(divide(_mm256_loadu_ps(my + i), dy));
    const __m256i ok = _mm256_and_si256(
        _mm256_and_si256(_mm256_cmpgt_epi32(sx, minus1), _mm256_cmpgt_epi32(w, sx)),
        _mm256_and_si256(_mm256_cmpgt_epi32(sy, minus1), _mm256_cmpgt_epi32(h, sy)));
    const __m256i at = _mm256_add_epi32(_mm256_mullo_epi32(sy, w), sx);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(idx + i), _mm256_blendv_epi8(minus1, at, ok));
  }
  const Divisor one{Divisor::kOne, 1.0f, 1.0f};
  for (; i < n; ++i) {
    const int32_t x = source_coord(mx[i], one, src_w), y = source_coord(my[i], dy, src_h);
    idx[i] = (x >= 0 && x < src_w && y >= 0 && y < src_h) ? y * src_w + x : -1;
  }
}

}  // namespace torvi::lens
