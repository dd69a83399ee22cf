/* The capture engine: streaming start and stop, frame getters, the wait, and
 * the frame-ready and error callbacks. */
#ifndef TORVI_CAP_H
#define TORVI_CAP_H

#include <stdbool.h>
#include <stdint.h>

#include "torvi_dev.h"
#include "torvi_drv.h"
#include "torvi_export.h"

TORVI_BEGIN_DECLS

/* What the frame-ready callback receives. */
typedef struct torvi_cap_frame {
  torvi_frame_info_t info;
  void *data;
} torvi_cap_frame;

typedef void (*torvi_cap_frdy_cb_t)(torvi_dev_t *dev, torvi_cap_frame *frame);
/* Returns false to stop the capture. */
typedef bool (*torvi_cap_err_cb_t)(torvi_dev_t *dev, int err, int err_param);

/* Bytes per frame of the frame-buffer size. */
enum { TORVI_CAP_FRAME_BYTES = 307200 };

/* Frame buffer capacity = frame_buf_size / 307200 frames (frame_buf unused).
 * Refused while capturing. */
TORVI_API bool torvi_cap_set_frame_buffer(torvi_dev_t *dev, void *frame_buf, int frame_buf_size);
TORVI_API bool torvi_cap_get_frame_buffer(torvi_dev_t *dev, void **frame_buf, int *frame_buf_size);

TORVI_API void torvi_cap_set_callback_on_frame_ready(torvi_dev_t *dev, torvi_cap_frdy_cb_t cb);
TORVI_API void torvi_cap_set_callback_on_error(torvi_dev_t *dev, torvi_cap_err_cb_t cb);

TORVI_API bool torvi_cap_is_ongoing(torvi_dev_t *dev);
TORVI_API bool torvi_cap_start(torvi_dev_t *dev);
TORVI_API bool torvi_cap_stop(torvi_dev_t *dev);

/* Waits for frame_num frames (deadline from the frame rate) and copies them
 * one after another into frame_data. Returns the number delivered, -1 for
 * wrong arguments, -2 when not capturing, or a negative capture error. */
TORVI_API int torvi_cap_get_frames(torvi_dev_t *dev, unsigned frame_num, void *frame_data,
                                   unsigned frame_dlen, torvi_frame_info_t *first_frame_info);
/* One frame without waiting: 1, 0 when none was ready, or a negative code. */
TORVI_API int torvi_cap_get_frame(torvi_dev_t *dev, void *frame_data, unsigned frame_dlen,
                                  torvi_frame_info_t *frame_info);
/* One frame, starting and stopping the capture when none runs. True only
 * when a frame was delivered. */
TORVI_API bool torvi_cap_snapshot(torvi_dev_t *dev, void *frame_data, unsigned frame_dlen,
                                  torvi_frame_info_t *frame_info);
/* Delivers frames to the frame-ready callback until the capture stops (true)
 * or timeout_msec runs out (false); 0 waits without a deadline. */
TORVI_API bool torvi_cap_wait(torvi_dev_t *dev, int timeout_msec);

TORVI_END_DECLS

#endif /* TORVI_CAP_H */
