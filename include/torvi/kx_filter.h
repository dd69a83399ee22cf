/* Neighbourhood filters over 16-bit images (distance images in millimetres).
 *
 * Every call reads `src` and writes `dst`, two distinct caller-owned buffers of
 * width x height values, row-major without gaps. A neighbour outside the
 * image is replaced by the nearest pixel inside it (row and column indices
 * clamped), so every output pixel sees a full window.
 *
 * The fixed-size filters refuse width <= 1 or height <= 1 (and null or equal
 * buffers) with an ERR log line and leave `dst` untouched; they allocate
 * nothing. The general median
 * allocates working memory; when that fails it logs an ERR line and returns.
 * No call keeps state: calls on different images may run in parallel. */
#ifndef KX_FILTER_H
#define KX_FILTER_H

#include <stdint.h>
#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

/* Median over a kernel x kernel window. Kernels 3 and 5 use the fixed
 * versions; any other odd kernel > 2 with kernel < 2*width and
 * kernel < 2*height uses an incremental sorted list. */
TORVI_API void kx_median2d_u16(uint16_t *dst, const uint16_t *src, int width, int height,
                               int kernel);
/* Exact median of the 3 x 3 window. */
TORVI_API void kx_median2d_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height);
/* Exact median of the 5 x 5 window. */
TORVI_API void kx_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int width, int height);
/* Mean of the 8 neighbours (centre excluded): their sum shifted right by 3. */
TORVI_API void kx_box2d_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height);
/* Gaussian 3 x 3 with weights 1 2 1 / 2 4 2 / 1 2 1, sum shifted right by 4. */
TORVI_API void kx_gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height);
/* Flying-pixel removal: each neighbour is divided by 4, a Sobel gradient
 * (gx, gy) is formed and the pixel becomes 0 when gx*gx + gy*gy (32-bit,
 * unsigned) exceeds threshold >> 4; otherwise it is copied. */
TORVI_API void kx_flypix_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height,
                                uint32_t threshold);
/* Hole filling, values read as signed 16-bit: a centre above 0 is copied,
 * any other centre becomes the largest of its 8 neighbours (signed). */
TORVI_API void kx_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height);
/* As kx_fhole_u16_k3 with the 24 neighbours of the 5 x 5 window. */
TORVI_API void kx_fhole_u16_k5(uint16_t *dst, const uint16_t *src, int width, int height);

TORVI_END_DECLS

#endif /* KX_FILTER_H */
