/* Lens undistortion by a precomputed remapping table.
 *
 * The distortion model is Brown-Conrady with radial coefficients k1, k2, k3
 * and tangential coefficients p1, p2. A map is built once at the lens's full
 * resolution W x H; it remaps any image whose size divides W x H evenly
 * (binned frames) by nearest-neighbour lookup, so invalid-pixel markers stay
 * intact.
 *
 * The caller owns the map record and the images; kx_calib_len_init_map
 * allocates the map's two tables, which belong to the map until
 * kx_calib_len_uninit_map frees them (never free mapx or mapy yourself).
 *
 * A map is read-only once built: remapping may run on any thread, but building
 * and releasing a map must not overlap a remapping of the same map. */
#ifndef KX_LENS_H
#define KX_LENS_H

#include <stddef.h>
#include <stdint.h>
#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

/* Lens intrinsics (pixels; column 0, row 0 at the top left) and distortion
 * coefficients k1, k2, p1, p2, k3 in this order; img_w x img_h is the lens's
 * full resolution. */
typedef struct torvi_lens_param {
  double cx;
  double cy;
  double fx;
  double fy;
  double dcoeff[5];
  int32_t img_w;
  int32_t img_h;
} torvi_lens_param_t;
TORVI_STATIC_ASSERT(offsetof(torvi_lens_param_t, dcoeff) == 32, "cx, cy, fx, fy first");
TORVI_STATIC_ASSERT(offsetof(torvi_lens_param_t, img_w) == 72 &&
                        offsetof(torvi_lens_param_t, img_h) == 76,
                    "image size after the five coefficients");
TORVI_STATIC_ASSERT(sizeof(torvi_lens_param_t) == 80, "80 bytes");

/* Remapping table. mapx/mapy hold, for each output pixel (row-major), the
 * source column and row in full-resolution lens pixels. valid_rect is the
 * region (x, y, w, h) of output pixels that every lens pixel row and column
 * covers. ready is 1 while the map owns its two tables. */
typedef struct kx_calib_len_map {
  float *mapx;
  float *mapy;
  int32_t count;
  int32_t width;
  int32_t height;
  int32_t valid_rect[4];
  uint8_t ready;
} kx_calib_len_map_t;
TORVI_STATIC_ASSERT(offsetof(kx_calib_len_map_t, count) == 2 * sizeof(void *), "two tables first");
TORVI_STATIC_ASSERT(offsetof(kx_calib_len_map_t, valid_rect) ==
                        offsetof(kx_calib_len_map_t, count) + 12,
                    "count, width, height");
TORVI_STATIC_ASSERT(offsetof(kx_calib_len_map_t, ready) == offsetof(kx_calib_len_map_t, count) + 28,
                    "ready after the valid rectangle");

/* Builds the map for `lens` and returns W x H. A map that is already ready is
 * released first. Returns 0, with `ready` clear and no table kept, when the
 * arguments are null, the lens size is not positive or memory runs out. */
TORVI_API int kx_calib_len_init_map(kx_calib_len_map_t *map, const torvi_lens_param_t *lens);
/* Frees the tables of a ready map and clears `ready`; does nothing otherwise,
 * so it may be called twice. */
TORVI_API void kx_calib_len_uninit_map(kx_calib_len_map_t *map);
/* Remaps the src_w x src_h image `src` into `dst` (dst_len elements). Pixels
 * whose source lies outside the image get invalid_value. Returns 1 on success
 * (also when src_w or src_h is 0 or negative: nothing is written) and 0, with
 * an ERR line and `dst` untouched, when the image size does not divide the
 * map's size, dst_len is too small or a pointer is null. */
TORVI_API int kx_calib_len_undistort_u16(const kx_calib_len_map_t *map, uint16_t *dst, int dst_len,
                                         const uint16_t *src, int src_w, int src_h,
                                         uint16_t invalid_value);
/* As kx_calib_len_undistort_u16 for float images. */
TORVI_API int kx_calib_len_undistort_f32(const kx_calib_len_map_t *map, float *dst, int dst_len,
                                         const float *src, int src_w, int src_h,
                                         float invalid_value);

TORVI_END_DECLS

#endif /* KX_LENS_H */
