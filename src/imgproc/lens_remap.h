// Pieces of the lens remap shared by the generic and the AVX2 code.
#pragma once

#include <cstdint>

namespace torvi::lens {

// A division by the binning factor: none for 1, a multiplication by the
// exact reciprocal for powers of two, a true division otherwise; all three
// give the correctly rounded quotient.
struct Divisor {
  enum Kind { kOne, kPow2, kOther } kind;
  float d;   // divisor
  float rd;  // reciprocal (powers of two only)
};
Divisor make_divisor(int d);

// Source index of one coordinate: trunc(q + 0.5) with q = m / d, or a value
// outside 0..n-1 when that is out of range or not a number.
int32_t source_coord(float m, const Divisor &d, int32_t n);

// The pixels from..n-1 of a row that the vector code leaves over. Each file
// compiled for its own instruction set keeps a private copy (unnamed
// namespace), so the linker never mixes an AVX-512 copy into the AVX2 path.
namespace {
template <class T>
void remap_row_tail(const float *mx, const float *my, int from, int n, const Divisor &dy,
                    const T *src, int32_t w, int32_t h, T invalid, T *dst) {
  const Divisor one{Divisor::kOne, 1.0f, 1.0f};
  for (int i = from; i < n; ++i) {
    const int32_t x = source_coord(mx[i], one, w), y = source_coord(my[i], dy, h);
    dst[i] = (x >= 0 && x < w && y >= 0 && y < h) ? src[y * w + x] : invalid;
  }
}
}  // namespace

// One output row of n pixels from n contiguous map entries (no column
// binning); the source image is src_w x src_h.
void remap_row_u16_avx2(const float *mx, const float *my, int n, const Divisor &dy,
                        const uint16_t *src, int32_t src_w, int32_t src_h, uint16_t invalid,
                        uint16_t *dst);
void remap_row_f32_avx2(const float *mx, const float *my, int n, const Divisor &dy,
                        const float *src, int32_t src_w, int32_t src_h, float invalid, float *dst);
void remap_row_u16_avx512(const float *mx, const float *my, int n, const Divisor &dy,
                          const uint16_t *src, int32_t src_w, int32_t src_h, uint16_t invalid,
                          uint16_t *dst);
bool remap_avx2_supported();
bool remap_avx512_supported();

}  // namespace torvi::lens
