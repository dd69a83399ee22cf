/* Frame files: distance and gray images stored in a file that the
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
#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

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
