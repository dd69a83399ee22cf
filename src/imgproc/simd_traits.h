// Lane types for the filter kernels. This header is included by one source
// file per instruction set, each of which defines KX_SIMD_NS (its own
// namespace, so nothing here is shared between files compiled for different
// instruction sets) and one of KX_SIMD_SSE2, KX_SIMD_AVX2, KX_SIMD_AVX512.
//
// Every lane type offers the same operations on 16-bit lanes; Scalar has one
// lane and serves narrow images and the columns at the image borders.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace KX_SIMD_NS {

struct Scalar {
  using reg = uint16_t;
  static constexpr int N = 1;
  static reg load(const uint16_t *p) { return *p; }
  static void store(uint16_t *p, reg v) { *p = v; }
  static reg min(reg a, reg b) { return a < b ? a : b; }
  static reg max(reg a, reg b) { return a < b ? b : a; }
  static reg max_s(reg a, reg b) {
    return static_cast<int16_t>(a) < static_cast<int16_t>(b) ? b : a;
  }
  static reg add(reg a, reg b) { return static_cast<reg>(a + b); }
  static reg sub(reg a, reg b) { return static_cast<reg>(a - b); }
  template <int S>
  static reg shr(reg a) {
    return static_cast<reg>(a >> S);
  }
  static reg and_(reg a, reg b) { return static_cast<reg>(a & b); }
  static reg set1(uint16_t v) { return v; }
  static reg absdiff(reg a, reg b) {
    return a < b ? static_cast<reg>(b - a) : static_cast<reg>(a - b);
  }
  // c where c > 0 as signed 16-bit, else alt.
  static reg keep_positive(reg c, reg alt) { return static_cast<int16_t>(c) > 0 ? c : alt; }
  // 0 where ax*ax + ay*ay (32-bit, wrapping) exceeds t unsigned, else c.
  static reg fly(reg ax, reg ay, uint32_t t, reg c) {
    const uint32_t s = static_cast<uint32_t>(ax) * ax + static_cast<uint32_t>(ay) * ay;
    return s > t ? 0 : c;
  }
};

#if defined(KX_SIMD_SSE2)
struct Vec {
  using reg = __m128i;
  static constexpr int N = 8;
  static reg load(const uint16_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  }
  static void store(uint16_t *p, reg v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }
  // SSE2 has no unsigned 16-bit min/max: use saturating subtraction.
  static reg min(reg a, reg b) { return _mm_sub_epi16(a, _mm_subs_epu16(a, b)); }
  static reg max(reg a, reg b) { return _mm_add_epi16(b, _mm_subs_epu16(a, b)); }
  static reg max_s(reg a, reg b) { return _mm_max_epi16(a, b); }
  static reg add(reg a, reg b) { return _mm_add_epi16(a, b); }
  static reg sub(reg a, reg b) { return _mm_sub_epi16(a, b); }
  template <int S>
  static reg shr(reg a) {
    return _mm_srli_epi16(a, S);
  }
  static reg and_(reg a, reg b) { return _mm_and_si128(a, b); }
  static reg set1(uint16_t v) { return _mm_set1_epi16(static_cast<short>(v)); }
  static reg absdiff(reg a, reg b) {
    return _mm_or_si128(_mm_subs_epu16(a, b), _mm_subs_epu16(b, a));
  }
  static reg keep_positive(reg c, reg alt) {
    const reg m = _mm_cmpgt_epi16(c, _mm_setzero_si128());
    return _mm_or_si128(_mm_and_si128(m, c), _mm_andnot_si128(m, alt));
  }
  static reg fly(reg ax, reg ay, uint32_t t, reg c) {
    const reg bias = _mm_set1_epi32(INT32_MIN);
    const reg tb = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(t)), bias);
    const reg xl = _mm_mullo_epi16(ax, ax), xh = _mm_mulhi_epu16(ax, ax);
    const reg yl = _mm_mullo_epi16(ay, ay), yh = _mm_mulhi_epu16(ay, ay);
    const reg s0 = _mm_add_epi32(_mm_unpacklo_epi16(xl, xh), _mm_unpacklo_epi16(yl, yh));
    const reg s1 = _mm_add_epi32(_mm_unpackhi_epi16(xl, xh), _mm_unpackhi_epi16(yl, yh));
    const reg m0 = _mm_cmpgt_epi32(_mm_xor_si128(s0, bias), tb);
    const reg m1 = _mm_cmpgt_epi32(_mm_xor_si128(s1, bias), tb);
    return _mm_andnot_si128(_mm_packs_epi32(m0, m1), c);
  }
};
#elif defined(KX_SIMD_AVX2)
struct Vec {
  using reg = __m256i;
  static constexpr int N = 16;
  static reg load(const uint16_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
  }
  static void store(uint16_t *p, reg v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }
  static reg min(reg a, reg b) { return _mm256_min_epu16(a, b); }
  static reg max(reg a, reg b) { return _mm256_max_epu16(a, b); }
  static reg max_s(reg a, reg b) { return _mm256_max_epi16(a, b); }
  static reg add(reg a, reg b) { return _mm256_add_epi16(a, b); }
  static reg sub(reg a, reg b) { return _mm256_sub_epi16(a, b); }
  template <int S>
  static reg shr(reg a) {
    return _mm256_srli_epi16(a, S);
  }
  static reg and_(reg a, reg b) { return _mm256_and_si256(a, b); }
  static reg set1(uint16_t v) { return _mm256_set1_epi16(static_cast<short>(v)); }
  static reg absdiff(reg a, reg b) {
    return _mm256_or_si256(_mm256_subs_epu16(a, b), _mm256_subs_epu16(b, a));
  }
  static reg keep_positive(reg c, reg alt) {
    return _mm256_blendv_epi8(alt, c, _mm256_cmpgt_epi16(c, _mm256_setzero_si256()));
  }
  static reg fly(reg ax, reg ay, uint32_t t, reg c) {
    const reg bias = _mm256_set1_epi32(INT32_MIN);
    const reg tb = _mm256_xor_si256(_mm256_set1_epi32(static_cast<int>(t)), bias);
    const reg xl = _mm256_mullo_epi16(ax, ax), xh = _mm256_mulhi_epu16(ax, ax);
    const reg yl = _mm256_mullo_epi16(ay, ay), yh = _mm256_mulhi_epu16(ay, ay);
    // unpack and pack work within 128-bit halves alike, so lane order returns.
    const reg s0 = _mm256_add_epi32(_mm256_unpacklo_epi16(xl, xh), _mm256_unpacklo_epi16(yl, yh));
    const reg s1 = _mm256_add_epi32(_mm256_unpackhi_epi16(xl, xh), _mm256_unpackhi_epi16(yl, yh));
    const reg m0 = _mm256_cmpgt_epi32(_mm256_xor_si256(s0, bias), tb);
    const reg m1 = _mm256_cmpgt_epi32(_mm256_xor_si256(s1, bias), tb);
    return _mm256_andnot_si256(_mm256_packs_epi32(m0, m1), c);
  }
};
#elif defined(KX_SIMD_AVX512)
struct Vec {
  using reg = __m512i;
  static constexpr int N = 32;
  static reg load(const uint16_t *p) { return _mm512_loadu_si512(p); }
  static void store(uint16_t *p, reg v) { _mm512_storeu_si512(p, v); }
  static reg min(reg a, reg b) { return _mm512_min_epu16(a, b); }
  static reg max(reg a, reg b) { return _mm512_max_epu16(a, b); }
  static reg max_s(reg a, reg b) { return _mm512_max_epi16(a, b); }
  static reg add(reg a, reg b) { return _mm512_add_epi16(a, b); }
  static reg sub(reg a, reg b) { return _mm512_sub_epi16(a, b); }
  template <int S>
  static reg shr(reg a) {
    return _mm512_srli_epi16(a, S);
  }
  static reg and_(reg a, reg b) { return _mm512_and_si512(a, b); }
  static reg set1(uint16_t v) { return _mm512_set1_epi16(static_cast<short>(v)); }
  static reg absdiff(reg a, reg b) {
    return _mm512_or_si512(_mm512_subs_epu16(a, b), _mm512_subs_epu16(b, a));
  }
  static reg keep_positive(reg c, reg alt) {
    return _mm512_mask_blend_epi16(_mm512_cmpgt_epi16_mask(c, _mm512_setzero_si512()), alt, c);
  }
  static reg fly(reg ax, reg ay, uint32_t t, reg c) {
    const reg tv = _mm512_set1_epi32(static_cast<int>(t));
    const reg xl = _mm512_mullo_epi16(ax, ax), xh = _mm512_mulhi_epu16(ax, ax);
    const reg yl = _mm512_mullo_epi16(ay, ay), yh = _mm512_mulhi_epu16(ay, ay);
    // unpack and pack work within 128-bit quarters alike, so lane order returns.
    const reg s0 = _mm512_add_epi32(_mm512_unpacklo_epi16(xl, xh), _mm512_unpacklo_epi16(yl, yh));
    const reg s1 = _mm512_add_epi32(_mm512_unpackhi_epi16(xl, xh), _mm512_unpackhi_epi16(yl, yh));
    const reg ones = _mm512_set1_epi32(-1);
    const reg m0 = _mm512_maskz_mov_epi32(_mm512_cmpgt_epu32_mask(s0, tv), ones);
    const reg m1 = _mm512_maskz_mov_epi32(_mm512_cmpgt_epu32_mask(s1, tv), ones);
    return _mm512_andnot_si512(_mm512_packs_epi32(m0, m1), c);
  }
};
#else
#error "define KX_SIMD_SSE2, KX_SIMD_AVX2 or KX_SIMD_AVX512"
#endif

}  // namespace KX_SIMD_NS
