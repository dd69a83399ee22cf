/* Frame data: a raw frame turned into a distance image (metres), a gray
 * image and a point cloud; colouring of float images; the switches of the
 * driver's post-processing filters. Then frame files.
 *
 * Distance and gray (torvi_frame_get_distance, torvi_frame_get_gray): the
 * driver decodes the raw frame `src` (src_len bytes, described by `finfo`
 * from the capture getters) into 16-bit values that it writes into the
 * second half of the caller's float buffer (from float dst_len / 2 on, as
 * scratch: no memory is allocated), which are then converted front to back
 * into dst: distance in metres (millimetres / 1000), gray unchanged. dst_len
 * counts floats and must hold width x height values. Pixels without a
 * distance read 65.3 (removed by a filter or the range clip) or 65.5 (a
 * sample saturated or zero). The result is the number of pixels, 0 on any
 * failure (with a log line); the buffer is then undefined.
 *
 * Point clouds (torvi_frame_get_pcl, _pcl_xyzd): one point per pixel whose
 * distance d (metres) lies in 0 < d < 60, in row-major pixel order, packed:
 * the point is D times the unit ray through the pixel, D = d x dist_scale
 * (x along increasing columns, y along increasing rows, z along the optical
 * axis; d is the length of the ray, so a flat wall gives a flat cloud). With
 * `intr` the rays are those of a pinhole camera with these intrinsics; without
 * it they come from the driver's lens: through the lens distortion for an
 * image as the lens formed it, and of the undistorted camera when the driver
 * undistorted the image (lens undistortion filter on, 320 x 240). The rays
 * are computed once per lens and size. The output stops, without a message,
 * before a point that does not fit whole in pcl_len floats; the result is the
 * number of points written.
 *
 * Device calls mark the device busy while they run (see torvi_dev.h).
 * torvi_cmap_float uses the process-wide default colour map g_torvi_cmap and
 * sets its range: concurrent calls with different ranges interfere.
 *
 * Frame files: distance and gray images stored in a file that the
 * application opened, one text header line followed by raw frames.
 *
 * Layout: a header line written only at the start of the file,
 *   "KX_DIST,F32,<w>,<h>\n", "KX_DIST,U32,<w>,<h>\n", "KX_DIST,U16,<w>,<h>\n",
 *   "KX_GRAY,U16,<w>,<h>\n" or "KX_GRAY,U8,<w>,<h>\n",
 * then frames of w x h values, row after row, little-endian, with no
 * separators. Later saves through the same descriptor append frames (of the
 * header's size and format). Stored values:
 *   F32: the float unchanged;
 *   U32: distance x 1000 truncated toward zero, low 32 bits;
 *   U16: distance x 1000 truncated (gray: the value truncated), low 16 bits;
 *   U8:  gray value truncated, low 8 bits.
 * Loading divides U32 and U16 distances by 1000; gray values load unchanged.
 *
 * The descriptor belongs to the application, which opened it and closes
 * it; the calls only read or write at its current position. It must be
 * seekable (a regular file). Value buffers belong to the caller and are used
 * only during the call. Frames hold at most
 * TORVI_FRAME_FILE_MAX_PIXELS pixels; a file whose header states a larger or
 * non-positive size is refused.
 *
 * The loaders remember the size and format of the last header they read,
 * one record for distance files and one for gray files, process-wide:
 * frames read after the header use it. Reading a file from its start
 * replaces the record, so two files of one kind cannot be read interleaved.
 * The records are not locked: call the loaders from one thread at a time.
 * The save calls keep no state and may run on any thread (one descriptor
 * per thread). */
#ifndef TORVI_FRAME_H
#define TORVI_FRAME_H

#include <stdbool.h>
#include <stdint.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_drv.h>
#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

/* Pinhole intrinsics for the point-cloud calls: principal point and focal
 * lengths in pixels, and a factor applied to every distance. */
typedef struct torvi_lens_intrinsics {
  float cx;
  float cy;
  float fx;
  float fy;
  float dist_scale;
} torvi_lens_intrinsics_t;

/* Argument of torvi_filter_enable: the driver reads an unsigned 8-bit or
 * 16-bit value from its start, depending on the filter. */
typedef union torvi_filter_args {
  uint8_t u8;
  uint16_t u16;
  uint8_t bytes[4];
} torvi_filter_args_t;

/* Output formats of torvi_cmap_float (the colour word: red in bits 0-7,
 * green 8-15, blue 16-23). */
enum {
  TORVI_CMAP_OUTFMT_RGB = 0,   /* 3 bytes: red, green, blue */
  TORVI_CMAP_OUTFMT_RGB32 = 1, /* 4 bytes: the colour word, little-endian */
  TORVI_CMAP_OUTFMT_BGR = 2    /* 3 bytes: blue, green, red */
};

/* Distance image in metres; see above. */
TORVI_API int torvi_frame_get_distance(torvi_dev_t *dev, float *dst, int dst_len,
                                       const uint8_t *src, int src_len,
                                       const torvi_frame_info_t *finfo);
/* Gray (amplitude) image; see above. */
TORVI_API int torvi_frame_get_gray(torvi_dev_t *dev, float *dst, int dst_len, const uint8_t *src,
                                   int src_len, const torvi_frame_info_t *finfo);
/* Point cloud x, y, z (metres) from an img_w x img_h distance image.
 * dist_len is not used; intr may be NULL (the driver's lens). */
TORVI_API int torvi_frame_get_pcl(torvi_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                  int dist_len, int img_w, int img_h,
                                  const torvi_lens_intrinsics_t *intr);
/* Point cloud x, y, z and a fourth value: D, or with pseudo_color the colour
 * word of g_torvi_cmap for D in millimetres, as a float. */
TORVI_API int torvi_frame_get_pcl_xyzd(torvi_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                       int dist_len, int img_w, int img_h, bool pseudo_color,
                                       const torvi_lens_intrinsics_t *intr);
/* Colours min(src_len, dst_len / bytes per pixel) distances (metres) with
 * g_torvi_cmap over range_min ... range_max metres; returns that count, 0 for
 * an unknown outfmt. */
TORVI_API int torvi_cmap_float(uint8_t *dst, int dst_len, const float *src, int src_len, int outfmt,
                               float range_min, float range_max);
/* Switches a post-processing filter of the device's driver (TORVI_FILTER_*;
 * the argument the filter reads, or NULL). 1 when the driver accepted, 0 when
 * it refused (or has no filters), -1 without a device or driver. `reserved`
 * is not used (the driver is given the size of the argument record). */
TORVI_API int torvi_filter_enable(torvi_dev_t *dev, int filter_id, torvi_filter_args_t *arg,
                                  uint32_t reserved);
TORVI_API int torvi_filter_disable(torvi_dev_t *dev, int filter_id);

/* Values of the `format` argument of the save calls. */
enum {
  TORVI_FRAME_FILE_F32 = 0, /* distance only */
  TORVI_FRAME_FILE_U32 = 1, /* distance only */
  TORVI_FRAME_FILE_U16 = 2, /* distance and gray */
  TORVI_FRAME_FILE_U8 = 3   /* gray only */
};

/* Largest frame, in pixels, that the frame-file calls accept (4096 x 4096). */
#define TORVI_FRAME_FILE_MAX_PIXELS (1 << 24)

/* Writes every whole frame in `dist` (dist_len floats, metres): the header
 * first when the file is empty (position 0). False, with an ERR log line, on
 * a format other than F32, U32 or U16, a bad argument (fewer values than one
 * frame included) or a failed write. */
TORVI_API bool torvi_frame_save_distance(int fd, int format, const float *dist, int dist_len,
                                         int img_w, int img_h);

/* Writes one frame from `src` (format U16 or U8); values beyond one frame are
 * ignored, fewer than one frame is refused. False with an ERR line on
 * failure. */
TORVI_API bool torvi_frame_save_gray(int fd, int format, const float *src, int src_len, int img_w,
                                     int img_h);

/* Reads the next frame: at the start of the file the header first. Stores at
 * most dst_len values (the whole frame is consumed from the file either
 * way), sets *img_w and *img_h when given, and returns the number of values
 * stored. 0 at the end of the data and on any error (with an ERR line). */
TORVI_API int torvi_frame_load_distance(int fd, float *dst, int dst_len, int *img_w, int *img_h);

/* As torvi_frame_load_distance for gray files. */
TORVI_API int torvi_frame_load_gray(int fd, float *dst, int dst_len, int *img_w, int *img_h);

TORVI_END_DECLS

#endif /* TORVI_FRAME_H */
