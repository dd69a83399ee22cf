/* EPC frame decode: a raw EPC frame (four planes DCS0..DCS3 of 16-bit
 * samples, 12 bits used, pixels in the sensor's raw row order) to a distance
 * image in millimetres or a gray (amplitude) image, with the camera's
 * calibration and the post-processing switched by torvi_filter_enable.
 *
 * Distance values: 0 ... range in mm; 65300 (TORVI_DIST_FILTERED) for a
 * pixel removed by the minimum amplitude or the range clip; 65500
 * (TORVI_DIST_INVALID) where a sample was saturated (4095) or zero. Gray
 * values: the amplitude, 0 for an invalid pixel.
 *
 * `drv` is the device's driver record (torvi_dev_get_drv). One decode at a
 * time per device: the work buffers, the amplitude mask and the timers of
 * the decode belong to the device's driver state. */
#ifndef TORVI_EPC_DECODE_H
#define TORVI_EPC_DECODE_H

#include <stdint.h>
#include <torvi/torvi_drv.h>
#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

/* Decodes `src` (src_len bytes, finfo from the capture getters) into dst
 * (dst_len_bytes) as kind TORVI_DECODE_DIST or TORVI_DECODE_GRAY, in image
 * row order. Returns the bytes written (2 x width x height) or -1 for a
 * frame that is not a distance frame (format other than 2), a short buffer,
 * an unbalanced frame (balance check on) or a failed allocation. */
TORVI_API int epc_frame_decode(torvi_drv_t *drv, uint16_t *dst, int dst_len_bytes, int kind,
                               const uint16_t *src, unsigned src_len,
                               const torvi_frame_info_t *finfo);

/* The per-pixel kernels, outputs in raw row order: `ndcs` must be 4 and
 * width x height a multiple of 4; otherwise they write nothing and return
 * 0. They return 1. */
/* Simple calibration: linear scale and offset with temperature term;
 * invalid pixels get 65500 in both outputs. */
TORVI_API int calc_dist_calib_simple(torvi_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                     const uint16_t *src, int width, int height, int ndcs);
/* Per-pixel DRNU tables of the set loaded for the camera, with temperature
 * compensation; invalid pixels get distance 65500, amplitude 0. */
TORVI_API int calc_dist_calib_drnu(torvi_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                   const uint16_t *src, int width, int height, int ndcs);
/* No calibration: D = offset + scale x measured / 1000. */
TORVI_API int calc_dist_calib_none(torvi_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                   const uint16_t *src, int width, int height, int ndcs, int scale,
                                   int offset);
/* Amplitude of valid pixels, 0 for invalid ones. */
TORVI_API int calc_gray(torvi_drv_t *drv, uint16_t *gray, const uint16_t *src, int width,
                        int height, int ndcs);

TORVI_END_DECLS

#endif /* TORVI_EPC_DECODE_H */
