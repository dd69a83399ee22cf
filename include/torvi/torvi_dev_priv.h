/* The library's private record behind an open device. Applications never
 * allocate, change or free it; it is public so that its layout is fixed and
 * can be inspected by tools. torvi_dev_open allocates it (torvi_dev_t.priv)
 * and torvi_dev_close frees it: read it only while the device is open. The
 * transport's event thread updates the capture counters and the pending
 * error while a capture runs, so values read then are snapshots. */
#ifndef TORVI_DEV_PRIV_H
#define TORVI_DEV_PRIV_H

#include <stddef.h>
#include <stdint.h>
#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_drv.h>
#include <torvi/torvi_export.h>
#include <torvi/torvi_ll.h>

TORVI_BEGIN_DECLS

struct kx_stream;
struct torvi_cond;  /* the frames-ready condition */
struct torvi_mutex; /* its mutex */
struct torvi_cap_req;

typedef struct torvi_dev_priv {
  torvi_ll_t ll;     /* connection record; its address is the record's address */
  torvi_drv_t *drv;  /* chip driver entry */
  uint8_t open;      /* 1 from a successful transport open until close */
  uint8_t capturing; /* 1 from a successful capture start until a successful stop */
  struct kx_stream *stream;
  uint32_t stream_state[10];     /* parser state at the last capture event */
  torvi_frame_info_t frame_info; /* driver's record of the last fetched frame */
  uint32_t cap_arg;              /* capture start word; always 0 */
  int32_t stop;                  /* 1 while stopping or stopped */
  uint32_t timeout_cnt;          /* transport timeouts since the start */
  uint32_t stall_cnt;            /* transport stalls since the last data */
  uint32_t discard_cnt;          /* parser's discarded frames at the last report */
  int32_t pending_err;           /* capture error waiting for the error callback */
  uint8_t forced_stop;           /* the error callback asked to stop */
  int32_t err_param;             /* second value for the error callback */
  torvi_cap_frdy_cb_t on_frame_ready;
  torvi_cap_err_cb_t on_error;
  struct torvi_cond *cond;
  struct torvi_mutex *mutex;
  struct torvi_cap_req *req; /* the active getter's frame request */
} torvi_dev_priv_t;
TORVI_STATIC_ASSERT(offsetof(torvi_dev_priv_t, ll) == 0,
                    "the connection record's address is the record's address");
TORVI_STATIC_ASSERT(offsetof(torvi_dev_priv_t, drv) == sizeof(torvi_ll_t), "driver after ll");
TORVI_STATIC_ASSERT(offsetof(torvi_dev_priv_t, capturing) == offsetof(torvi_dev_priv_t, open) + 1,
                    "capturing after open");

TORVI_END_DECLS

#endif /* TORVI_DEV_PRIV_H */
