// CRC-32 (reflected 0xEDB88320). Long inputs are folded 64 bytes per step
// with PCLMULQDQ, then reduced to 32 bits by Barrett reduction; what is left
// (fewer than 16 bytes, or inputs shorter than 64 bytes) goes through the
// 256-entry table. The folding constants are x^k mod P(x) in the
// bit-reflected domain: k1 = x^(4*128+32), k2 = x^(4*128-32) (four blocks
// apart), k3 = x^(128+32), k4 = x^(128-32) (one block apart),
// k5 = x^64 mod P, and mu = x^64 / P for the reduction.
#include "core/crc32.h"

#include <immintrin.h>

#include <array>

namespace torvi {
namespace {

constexpr uint32_t kPoly = 0xEDB88320u;

constexpr uint32_t shift_byte(uint32_t crc) {
  for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) != 0 ? (crc >> 1) ^ kPoly : crc >> 1;
  return crc;
}

constexpr std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) t[i] = shift_byte(i);
  return t;
}

constexpr std::array<uint32_t, 256> kTable = make_table();

// `state` is the running register (the CRC inverted).
uint32_t table_update(const uint8_t *p, std::size_t n, uint32_t state) {
  for (std::size_t i = 0; i < n; ++i) state = kTable[(state ^ p[i]) & 0xFFu] ^ (state >> 8);
  return state;
}

bool has_clmul() {
  static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return yes;
}

#define TORVI_CLMUL __attribute__((target("pclmul,sse4.1")))

TORVI_CLMUL inline __m128i load(const uint8_t *at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
}

// Multiplies the low half by k.lo and the high half by k.hi, and adds.
TORVI_CLMUL inline __m128i fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// Folds `n` bytes (n >= 64, a multiple of 16) into the running register.
TORVI_CLMUL uint32_t clmul_update(const uint8_t *p, std::size_t n, uint32_t state) {
  const __m128i k1k2 = _mm_set_epi64x(0x01C6E41596, 0x0154442BD4);
  const __m128i k3k4 = _mm_set_epi64x(0x00CCAA009E, 0x01751997D0);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163CD6124);
  const __m128i poly_mu = _mm_set_epi64x(0x01F7011641, 0x01DB710641);
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);

  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(state)));
  __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
  p += 64;
  n -= 64;
  for (; n >= 64; p += 64, n -= 64) {
    x1 = _mm_xor_si128(fold(x1, k1k2), load(p));
    x2 = _mm_xor_si128(fold(x2, k1k2), load(p + 16));
    x3 = _mm_xor_si128(fold(x3, k1k2), load(p + 32));
    x4 = _mm_xor_si128(fold(x4, k1k2), load(p + 48));
  }
  // Four lanes into one, then the remaining 16-byte blocks.
  x1 = _mm_xor_si128(fold(x1, k3k4), x2);
  x1 = _mm_xor_si128(fold(x1, k3k4), x3);
  x1 = _mm_xor_si128(fold(x1, k3k4), x4);
  for (; n >= 16; p += 16, n -= 16) x1 = _mm_xor_si128(fold(x1, k3k4), load(p));
  // 128 bits to 64.
  __m128i t = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
  t = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), t);
  // Barrett reduction to 32 bits.
  t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly_mu, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly_mu, 0x00);
  x1 = _mm_xor_si128(x1, t);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

#undef TORVI_CLMUL

}  // namespace

uint32_t crc32_ieee(std::span<const uint8_t> data, uint32_t crc) {
  uint32_t state = ~crc;
  const uint8_t *p = data.data();
  std::size_t n = data.size();
  if (n >= 64 && has_clmul()) {
    const std::size_t bulk = n & ~std::size_t{15};
    state = clmul_update(p, bulk, state);
    p += bulk;
    n -= bulk;
  }
  return ~table_update(p, n, state);
}

uint32_t crc32_ieee_bytewise(std::span<const uint8_t> data, uint32_t crc) {
  return ~table_update(data.data(), data.size(), ~crc);
}

}  // namespace torvi
