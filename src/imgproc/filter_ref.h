// Plain reference versions of the depth filters and the remap: straight
// loops over the definitions, pixel by pixel, for tests and benchmarks to
// hold the optimised versions against. Same contracts as the public calls,
// without argument checks.
#pragma once

#include <torvi/kx_lens.h>

#include <cstdint>

namespace torvi::ref {

void median(uint16_t *dst, const uint16_t *src, int w, int h, int k);  // any odd k, by sorting
void median3(uint16_t *dst, const uint16_t *src, int w, int h);
void median5(uint16_t *dst, const uint16_t *src, int w, int h);
void box3(uint16_t *dst, const uint16_t *src, int w, int h);
void gauss3(uint16_t *dst, const uint16_t *src, int w, int h);
void flypix3(uint16_t *dst, const uint16_t *src, int w, int h, uint32_t threshold);
void fhole3(uint16_t *dst, const uint16_t *src, int w, int h);
void fhole5(uint16_t *dst, const uint16_t *src, int w, int h);

// Remap of a w x h image through `map` (sizes already checked).
void undistort_u16(const kx_calib_len_map_t &map, uint16_t *dst, const uint16_t *src, int w, int h,
                   uint16_t invalid);
void undistort_f32(const kx_calib_len_map_t &map, float *dst, const float *src, int w, int h,
                   float invalid);

}  // namespace torvi::ref
