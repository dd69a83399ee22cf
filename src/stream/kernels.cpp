#include "stream/kernels.h"

#include <cstring>

#include "core/byte_order.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "stream/wire_header.h"

namespace torvi::stream {
namespace {

// Feeds single bytes into the unfinished word.
inline void add_byte(PayloadSum &ps, uint8_t b) {
  ps.partial |= static_cast<uint32_t>(b) << (8 * ps.held);
  if (++ps.held == 4) {
    ps.sum += ps.partial;
    ps.partial = 0;
    ps.held = 0;
  }
}

#if defined(__SSE2__)
inline uint32_t lanes_sum(__m128i v) {
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4E));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xB1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}

// Whole words from a word boundary: n is a multiple of 4. Lanes hold
// little-endian words on x86, so the lane sums are the word sums.
template <bool kCopy>
uint32_t bulk_words(uint8_t *dst, const uint8_t *src, std::size_t n) {
  __m128i a0 = _mm_setzero_si128();
  __m128i a1 = _mm_setzero_si128();
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i + 16));
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i + 32));
    const __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i + 48));
    if constexpr (kCopy) {
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), v0);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i + 16), v1);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i + 32), v2);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i + 48), v3);
    }
    a0 = _mm_add_epi32(a0, _mm_add_epi32(v0, v1));
    a1 = _mm_add_epi32(a1, _mm_add_epi32(v2, v3));
  }
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
    if constexpr (kCopy) _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), v);
    a0 = _mm_add_epi32(a0, v);
  }
  uint32_t s = lanes_sum(_mm_add_epi32(a0, a1));
  for (; i < n; i += 4) {
    s += torvi::get_le32(src + i);
    if constexpr (kCopy) std::memcpy(dst + i, src + i, 4);
  }
  return s;
}
#else
template <bool kCopy>
uint32_t bulk_words(uint8_t *dst, const uint8_t *src, std::size_t n) {
  uint32_t s = 0;
  for (std::size_t i = 0; i < n; i += 4) s += torvi::get_le32(src + i);
  if constexpr (kCopy) std::memcpy(dst, src, n);
  return s;
}
#endif

}  // namespace

void copy_sum_ref(uint8_t *dst, const uint8_t *src, std::size_t n, PayloadSum &ps) {
  for (std::size_t i = 0; i < n; ++i) {
    add_byte(ps, src[i]);
    if (dst != nullptr) dst[i] = src[i];
  }
}

void copy_sum(uint8_t *dst, const uint8_t *src, std::size_t n, PayloadSum &ps) {
  std::size_t i = 0;
  // Finish the word left unfinished by the previous piece.
  while (ps.held != 0 && i < n) {
    add_byte(ps, src[i]);
    if (dst != nullptr) dst[i] = src[i];
    ++i;
  }
  const std::size_t words = (n - i) & ~static_cast<std::size_t>(3);
  if (words != 0) {
    ps.sum += dst != nullptr ? bulk_words<true>(dst + i, src + i, words)
                             : bulk_words<false>(nullptr, src + i, words);
    i += words;
  }
  for (; i < n; ++i) {
    add_byte(ps, src[i]);
    if (dst != nullptr) dst[i] = src[i];
  }
}

std::size_t find_magic_ref(const uint8_t *p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] == kMagic0 && (i + 1 == n || p[i + 1] == kMagic1)) return i;
  }
  return n;
}

std::size_t find_magic(const uint8_t *p, std::size_t n) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i m0 = _mm_set1_epi8(static_cast<char>(kMagic0));
  const __m128i m1 = _mm_set1_epi8(static_cast<char>(kMagic1));
  // Pairs (p[j], p[j+1]) for j in [i, i+32) need bytes up to i+32 inclusive.
  for (; i + 33 <= n; i += 32) {
    const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 1));
    const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 16));
    const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 17));
    const unsigned lo = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a0, m0), _mm_cmpeq_epi8(b0, m1))));
    const unsigned hi = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a1, m0), _mm_cmpeq_epi8(b1, m1))));
    const unsigned mask = lo | (hi << 16);
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
#endif
  return i + find_magic_ref(p + i, n - i);
}

}  // namespace torvi::stream
