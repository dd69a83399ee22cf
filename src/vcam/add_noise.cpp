// Adding the noise to the noiseless samples and packing them as 12-bit
// samples in 16-bit little-endian words: the per-frame work of the model.
#include <bit>
#include <cstring>

#include "core/byte_order.h"
#include "vcam/tof_model.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace torvi::vcam {

static_assert(std::endian::native == std::endian::little, "samples are written as host words");

namespace {

uint16_t pack_one(float base, float noise) {
  // Clipped as the vector code does: max(v, 0) then min(v, 4095).
  float v = base + noise;
  v = v > 0.0f ? v : 0.0f;
  v = v < 4095.0f ? v : 4095.0f;
  // v is already clipped to 0..4095, so adding 0.5 and truncating rounds half up.
  return static_cast<uint16_t>(
      static_cast<int32_t>(v + 0.5f));  // NOLINT(bugprone-incorrect-roundings)
}

}  // namespace

void add_noise_ref(const float *base, const float *noise, uint8_t *out, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const uint16_t s = pack_one(base[i], noise[i]);
    torvi::put_le16(out + 2 * i, s);
  }
}

void add_noise(const float *base, const float *noise, uint8_t *out, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128 lo = _mm_setzero_ps(), hi = _mm_set1_ps(4095.0f), half = _mm_set1_ps(0.5f);
  for (; i + 8 <= n; i += 8) {
    __m128 a = _mm_add_ps(_mm_loadu_ps(base + i), _mm_loadu_ps(noise + i));
    __m128 b = _mm_add_ps(_mm_loadu_ps(base + i + 4), _mm_loadu_ps(noise + i + 4));
    a = _mm_add_ps(_mm_min_ps(_mm_max_ps(a, lo), hi), half);
    b = _mm_add_ps(_mm_min_ps(_mm_max_ps(b, lo), hi), half);
    // 0..4095.5 truncates to 0..4095, which the signed pack keeps as is.
    const __m128i words = _mm_packs_epi32(_mm_cvttps_epi32(a), _mm_cvttps_epi32(b));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * i), words);
  }
#endif
  for (; i < n; ++i) {
    const uint16_t s = pack_one(base[i], noise[i]);
    std::memcpy(out + 2 * i, &s, 2);
  }
}

}  // namespace torvi::vcam
