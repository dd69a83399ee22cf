/* Chip drivers: the registry entry, the 16-slot operation table, the
 * per-frame record that the stream parser delivers and the frame
 * information record that a driver fills.
 *
 * Threads: the library calls a driver's operations on the application's
 * thread (init at open, frame_get_info inside the frame getters and
 * torvi_cap_wait, uninit at close), never on the transport's event thread.
 * Records and buffers passed to an operation belong to the caller and are
 * used only during the call. */
#ifndef TORVI_DRV_H
#define TORVI_DRV_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <torvi/torvi_export.h>
#include <torvi/torvi_frame_hdr.h>

TORVI_BEGIN_DECLS

struct torvi_dev;
struct torvi_lens_param;

/* Frame information record that a driver fills for each fetched frame; a
 * plain value the caller owns. The capture engine hands out an all-zero
 * record when the driver cannot describe a frame. */
typedef struct torvi_frame_info {
  uint32_t frame_size;
  uint16_t frame_format;
  uint16_t frame_idx;
  uint32_t width;
  uint32_t height;
  uint8_t pixel_bytes;
  uint8_t reserved0;
  uint16_t reserved1;
} torvi_frame_info_t;
TORVI_STATIC_ASSERT(sizeof(torvi_frame_info_t) == 20, "five 32-bit words");
TORVI_STATIC_ASSERT(offsetof(torvi_frame_info_t, pixel_bytes) == 16, "pixel_bytes offset");

/* Kinds of frame_decode. */
enum { TORVI_DECODE_DIST = 1, TORVI_DECODE_GRAY = 2 };

/* Filter identifiers of torvi_filter_enable / torvi_filter_disable. */
enum {
  TORVI_FILTER_LENS_UNDISTORT = 0,
  TORVI_FILTER_PIXEL_CALIB = 1,
  TORVI_FILTER_DEPTH_SMOOTH = 2,
  TORVI_FILTER_MIN_AMP = 4,
  TORVI_FILTER_AUTO_INTG = 5,
  TORVI_FILTER_SYNC_CHECK = 6,
  TORVI_FILTER_TEMP_MONITOR = 7,
  TORVI_FILTER_HDR = 8
};

struct torvi_drv;

/* Operation table: 16 slots; an empty (NULL) slot is an unsupported
 * operation. Slots 11 to 15 are empty in every driver. The tables are
 * constant data owned by the library. */
typedef struct torvi_drv_ops {
  bool (*init)(struct torvi_drv *drv, struct torvi_dev *dev); /* 0 */
  void (*uninit)(struct torvi_drv *drv);                      /* 1 */
  bool (*frame_get_info)(struct torvi_drv *drv, torvi_frame_info_t *out,
                         const torvi_frame_hdr_t *hdr); /* 2 */
  int (*frame_decode)(struct torvi_drv *drv, uint16_t *dst, int dst_len_bytes, int kind,
                      const uint16_t *src, unsigned src_len_bytes,
                      const torvi_frame_info_t *finfo); /* 3 */
  bool (*lens_param_get)(struct torvi_drv *drv, struct torvi_lens_param *out, int width,
                         int height);                                                   /* 4 */
  int (*reserved5)(struct torvi_drv *drv, ...);                                         /* 5 */
  int (*config_reset)(struct torvi_drv *drv, void *buf, int len, int mode);             /* 6 */
  int (*calib_save)(struct torvi_drv *drv, void *buf, int len, int mode);               /* 7 */
  int (*reserved8)(struct torvi_drv *drv, ...);                                         /* 8 */
  bool (*filter_enable)(struct torvi_drv *drv, int filter_id, void *arg, int arg_size); /* 9 */
  bool (*filter_disable)(struct torvi_drv *drv, int filter_id);                         /* 10 */
  void (*empty[5])(void);                                                               /* 11..15 */
} torvi_drv_ops_t;
TORVI_STATIC_ASSERT(sizeof(torvi_drv_ops_t) == 16 * sizeof(void (*)(void)), "16 slots");

/* Registry entry, owned by the library (static storage, never freed). The
 * entries are process-wide; their dev and priv describe the device whose
 * open ran init last (the default device). Every open device also has its
 * own record of this form (torvi_dev_get_drv), which the library passes to
 * the driver's operations, so that each camera keeps its own driver state.
 * `name` and `id` are static strings. */
typedef struct torvi_drv {
  const char *name;
  const char *id;
  const torvi_drv_ops_t *ops;
  struct torvi_dev *dev;
  void *priv;
} torvi_drv_t;
TORVI_STATIC_ASSERT(offsetof(torvi_drv_t, priv) == 4 * sizeof(void *), "priv is the fifth word");

/* Operation tables of the two drivers. The EPC table's slots are those of
 * the EPC driver; an empty slot is reported as unsupported by its callers. */
TORVI_API extern const torvi_drv_ops_t g_torvi_driver_op_epc;
TORVI_API extern const torvi_drv_ops_t g_torvi_driver_op_ti;

/* Registry entry for the device's product string (middle field of
 * "%16[^-]-%16[^-]-%16[^-]"); a library-owned entry, never free it. NULL
 * for a NULL device, a product string without three fields or a driver
 * that is not known. Reads only the record; any thread. */
TORVI_API torvi_drv_t *torvi_drv_find(struct torvi_dev *dev);

TORVI_END_DECLS

#endif /* TORVI_DRV_H */
