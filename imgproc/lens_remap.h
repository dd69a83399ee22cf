// Index computation of the lens remap, shared by the generic and the AVX2
// code. For output pixels whose map entries are mx[i], my[i], idx[i] becomes
// sy * src_w + sx for a source pixel inside the image, or -1.
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

// n contiguous map entries (no column binning).
void remap_index_avx2(const float *mx, const float *my, int n, const Divisor &dy, int32_t src_w,
                      int32_t src_h, int32_t *idx);
bool remap_avx2_supported();

}  // namespace torvi::lens
