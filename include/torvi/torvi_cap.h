/* The capture engine: streaming start and stop, frame getters, the wait, and
 * the frame-ready and error callbacks.
 *
 * Threads: the transport's event thread only receives the camera's bytes
 * and fills the device's frame buffer. Frames are handed out on the
 * application's thread: inside torvi_cap_get_frames, torvi_cap_get_frame,
 * torvi_cap_snapshot and torvi_cap_wait, which also run both callbacks. Run
 * at most one of these four at a time per device; torvi_cap_stop and
 * torvi_dev_close may be called from another thread meanwhile (a waiting
 * getter then wakes).
 *
 * Ownership: frame buffers passed to the getters belong to the application
 * and are only written during the call. The frame buffer behind a device
 * (default 10 frames, the oldest frame dropped when full) belongs to the
 * library. */
#ifndef TORVI_CAP_H
#define TORVI_CAP_H

#include <stdbool.h>
#include <stdint.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_drv.h>
#include <torvi/torvi_export.h>
#include <torvi/torvi_frame_hdr.h>

TORVI_BEGIN_DECLS

/* What the frame-ready callback receives: the driver's record of the frame
 * and a pointer to its bytes. info.frame_size is the frame's full length;
 * the bytes at data were cut to the room left in the getter's buffer (none
 * when it was full) or to the 4 MiB scratch buffer, so read no further than
 * the room you gave. The record and the bytes belong to the library or to
 * the getter's caller and are valid only during the callback. */
typedef struct torvi_cap_frame {
  torvi_frame_info_t info;
  void *data;
} torvi_cap_frame;

/* Frame-ready callback: runs on the application's thread inside a getter
 * or torvi_cap_wait, once for every frame taken. With a callback set, a
 * getter hands its own frames to the callback (data points into the
 * caller's buffer) and then every further ready frame to the callback only
 * (data in a library scratch buffer of 4 MiB). The getter waits for it, so
 * keep it short. Do not call getters or torvi_cap_wait from inside it;
 * torvi_dev_close from inside it (or from the error callback) is refused
 * with an ERR line. */
typedef void (*torvi_cap_frdy_cb_t)(torvi_dev_t *dev, torvi_cap_frame *frame);
/* Error callback: runs on the application's thread inside a getter or
 * torvi_cap_wait, before frames are handed out, with a pending capture error
 * (TORVI_ERR_CAP_*) and its parameter (for TORVI_ERR_CAP_FRAME_DISCARD the
 * parser's total of discarded frames). Returns true to go on, false to end
 * the capture for the getters: they hand out no more frames and
 * torvi_cap_wait returns, but the camera keeps streaming (and
 * torvi_cap_is_ongoing stays true) until torvi_cap_stop. */
typedef bool (*torvi_cap_err_cb_t)(torvi_dev_t *dev, int err, int err_param);

/* Bytes per frame of the frame-buffer size (a sizing unit: frames keep their
 * own length in the buffer). */
enum { TORVI_CAP_FRAME_BYTES = 307200 };

/* Frame buffer capacity = frame_buf_size / 307200 frames. frame_buf is not
 * used (the library allocates frames itself; the application's memory is
 * never kept). A capture needs at least 2 frames. False with an ERR line for
 * a closed device, while capturing or for a negative size. */
TORVI_API bool torvi_cap_set_frame_buffer(torvi_dev_t *dev, void *frame_buf, int frame_buf_size);
/* Sets *frame_buf to NULL and *frame_buf_size to capacity x 307200 (capped at
 * INT_MAX); either pointer may be NULL. False with an ERR line for a closed
 * device. */
TORVI_API bool torvi_cap_get_frame_buffer(torvi_dev_t *dev, void **frame_buf, int *frame_buf_size);

/* Store the callback (NULL removes it); takes effect with the next frame
 * handed out. Logs an ERR line and does nothing for a record that is not
 * open (or is closing). Set them while no getter runs on the device; a close forgets them. */
TORVI_API void torvi_cap_set_callback_on_frame_ready(torvi_dev_t *dev, torvi_cap_frdy_cb_t cb);
TORVI_API void torvi_cap_set_callback_on_error(torvi_dev_t *dev, torvi_cap_err_cb_t cb);

/* True from a successful start until a successful stop (or close); any
 * thread, also while another thread closes the device. False for NULL or a
 * closed or closing device. */
TORVI_API bool torvi_cap_is_ongoing(torvi_dev_t *dev);
/* Reads the frame rate (parameter 12, for the getters' deadlines), clears the
 * capture's counters, pending error and the frame buffer, and starts
 * streaming. A capture already running is stopped first. False with an ERR
 * line for a closed device or a frame buffer under 2 frames; false when the
 * camera refuses the start (or is gone). A start that fails keeps the error
 * that ended the previous capture: the getters go on returning it. */
TORVI_API bool torvi_cap_start(torvi_dev_t *dev);
/* Stops streaming and wakes every waiting getter. A restart clears frames
 * still in the frame buffer. True also when no capture ran; false with an
 * ERR line for a closed device. When the camera refuses the stop command
 * while its stream still runs, the call returns false with an ERR line and
 * the capture still counts as ongoing (torvi_cap_is_ongoing stays true):
 * call it again. When the transport has already ended the stream because
 * the camera left the bus (the getters report TORVI_ERR_CAP_UNKNOWN), no
 * stop command can reach it: the capture counts as stopped and the call
 * returns true, before and after the camera comes back. */
TORVI_API bool torvi_cap_stop(torvi_dev_t *dev);

/* Waits for frame_num frames (deadline frame_num x (100 ms + one frame
 * period) + 2 s) and copies them one after another into the caller's
 * frame_data (frame_dlen bytes in all; a frame that does not fit is cut and
 * later frames are counted but not written; NULL copies nothing). The first
 * frame's record goes to *first_frame_info when given. Returns the number
 * delivered (fewer on timeout or when an error stopped the capture), -1 for
 * NULL, a closed device or frame_num 0, -2 when not capturing and no frame
 * was copied (when torvi_cap_stop or a close ends the capture during the
 * wait, the frames copied before are counted and returned), or a negative
 * capture error when the capture stopped on an error before any frame came.
 * Frames still buffered when the capture ended are delivered first. */
TORVI_API int torvi_cap_get_frames(torvi_dev_t *dev, unsigned frame_num, void *frame_data,
                                   unsigned frame_dlen, torvi_frame_info_t *first_frame_info);
/* One frame without waiting, copied as by torvi_cap_get_frames: 1, 0 when
 * none was ready, -1 for NULL or a closed device, -2 when not capturing, or
 * a negative capture error after the capture stopped on an error. A frame
 * still buffered when the capture has ended (stopped or by an error) is
 * still copied and the call returns 1; -2 or the error come once none is
 * left. */
TORVI_API int torvi_cap_get_frame(torvi_dev_t *dev, void *frame_data, unsigned frame_dlen,
                                  torvi_frame_info_t *frame_info);
/* One frame as torvi_cap_get_frames(dev, 1, ...), starting the capture
 * before and stopping it after when none runs. True only when a frame was
 * delivered; false with an ERR line for a closed device. */
TORVI_API bool torvi_cap_snapshot(torvi_dev_t *dev, void *frame_data, unsigned frame_dlen,
                                  torvi_frame_info_t *frame_info);
/* Runs the callbacks on the calling thread: delivers every ready frame to
 * the frame-ready callback until
 * the capture stops (by torvi_cap_stop or torvi_dev_close from another
 * thread, by transport trouble or by the error callback) and returns true,
 * or returns false when timeout_msec runs out first; 0 waits without a
 * deadline. Without a frame-ready callback the frames stay in the frame
 * buffer for the getters. False at once for a closed device or when not
 * capturing. */
TORVI_API bool torvi_cap_wait(torvi_dev_t *dev, int timeout_msec);

/* The stream header record (length, index, format, size and the sensor and
 * illumination temperatures) of the frame last handed out on this device by
 * a getter or torvi_cap_wait, copied into *hdr. Call it after the getter
 * returns, or from inside the frame-ready callback for the frame it
 * receives. False when no frame has been handed out since the open; false
 * with an ERR line for NULL arguments or a closed device. Any thread. */
TORVI_API bool torvi_cap_get_frame_hdr(torvi_dev_t *dev, torvi_frame_hdr_t *hdr);

TORVI_END_DECLS

#endif /* TORVI_CAP_H */
