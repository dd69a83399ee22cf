/* Low-level transport calls (torvi_ll_).
 *
 * The device API and the data transfer reach the camera only through these
 * calls. Each call on an open link is forwarded through the operation table
 * stored in the link's connection record; calls made before a link is open
 * (init, debug level, listing, first open) go to the USB table `ll_op_usb`.
 *
 * Threads: the streaming callback runs on the link's event thread; every
 * other call runs on the caller's thread. Commands on one link are
 * serialised by the transport (a command and its status query never
 * interleave with another thread's command). */
#ifndef TORVI_LL_H
#define TORVI_LL_H

#include <stdbool.h>
#include <stdint.h>

#include "torvi_export.h"

TORVI_BEGIN_DECLS

/* Kinds of link (`if_type`). */
enum { TORVI_LL_IF_USB = 0 };

/* Completion codes of the streaming callback. */
enum {
  TORVI_LL_CAP_OK = 0,         /* data */
  TORVI_LL_CAP_CANCELLED = -3, /* transfer cancelled */
  TORVI_LL_CAP_TIMEOUT = -5,   /* transfer timed out (bytes may have arrived) */
  TORVI_LL_CAP_STALL = -7,     /* endpoint stalled; the halt has been cleared */
  TORVI_LL_CAP_UNKNOWN = -10   /* any other transfer error (device gone, ...) */
};

typedef struct torvi_ll_op torvi_ll_op_t;

/* Connection record: the first member of a device's private record. The
 * fields from `if_type` to `reserved` form the 44-byte link descriptor. */
typedef struct torvi_ll {
  void *priv;          /* transport's private record; NULL while closed */
  uint32_t if_type;    /* 0 = USB */
  uint8_t bus;         /* USB bus number */
  uint8_t port;        /* USB port number on that bus */
  uint8_t addr;        /* USB device address */
  uint8_t speed;       /* 0 unknown, 1 low, 2 full, 3 high, 4 super */
  uint8_t reserved[36];
  const torvi_ll_op_t *ops; /* table of the transport that opened the link */
  uint8_t located;     /* nonzero: bus and port name one camera */
} torvi_ll_t;

/* Wire parameter record: ID, value length, 18 value bytes. */
typedef struct torvi_ll_param {
  uint8_t id;
  uint8_t len;
  uint8_t val[18];
} torvi_ll_param_t;

/* Streaming callback: (link, completion code, received bytes, their count,
 * argument). Runs on the event thread; the bytes are valid only during the
 * call. The return value is ignored. */
typedef int (*torvi_ll_cap_cb_t)(torvi_ll_t *ll, int32_t code, uint8_t *data, int len, void *arg);

/* Transport operation table: 17 operations, then a NULL end slot. */
struct torvi_ll_op {
  bool (*init)(void);
  void (*uninit)(void);
  unsigned (*set_debug)(unsigned level);
  torvi_ll_t *(*dev_open)(torvi_ll_t *ll);
  torvi_ll_t *(*dev_open_by_fd)(torvi_ll_t *ll);
  void (*dev_close)(torvi_ll_t *ll);
  int (*dev_list)(torvi_ll_t *list, int max);
  bool (*exe_cmd)(torvi_ll_t *ll, uint8_t dir, uint8_t request, uint16_t value, void *buf, int len,
                  unsigned timeout_ms);
  bool (*check_last_cmd)(torvi_ll_t *ll, uint8_t t, uint8_t v);
  void (*cap_abort)(torvi_ll_t *ll);
  bool (*cap_start)(torvi_ll_t *ll, uint32_t cap_arg, torvi_ll_cap_cb_t cb, void *cb_arg);
  bool (*cap_stop)(torvi_ll_t *ll);
  bool (*dev_reset)(torvi_ll_t *ll, uint8_t target);
  bool (*reg_write)(torvi_ll_t *ll, uint8_t target, uint32_t reg_base, const uint32_t *vals,
                    uint16_t cnt);
  bool (*reg_read)(torvi_ll_t *ll, uint8_t target, uint32_t reg_base, uint32_t *vals, uint16_t cnt);
  bool (*param_set)(torvi_ll_t *ll, torvi_ll_param_t *records, uint32_t cnt);
  bool (*param_get)(torvi_ll_t *ll, torvi_ll_param_t *records, uint32_t cnt);
  void (*end)(void); /* always NULL */
};

/* The USB transport's table. */
TORVI_API extern const torvi_ll_op_t ll_op_usb;

/* Initialises the transports; false (with an ERR line) when one fails. */
TORVI_API bool torvi_ll_init(void);
TORVI_API void torvi_ll_uninit(void);

/* Maps the library log level (0 TRC .. 5 off) to a libusb log level, stores
 * it for contexts created later and returns the stored libusb level. */
TORVI_API unsigned torvi_ll_set_debug(unsigned level);

/* Fills up to `max` listing entries; returns their count (0 when max <= 0). */
TORVI_API int torvi_ll_dev_list(torvi_ll_t *list, int max);

/* Opens the camera the record names (or the first one found when the record
 * is not located); returns `ll` or NULL. */
TORVI_API torvi_ll_t *torvi_ll_dev_open(torvi_ll_t *ll);
TORVI_API torvi_ll_t *torvi_ll_dev_open_by_fd(torvi_ll_t *ll);
TORVI_API void torvi_ll_dev_close(torvi_ll_t *ll);

/* One command: dir nonzero sends `len` bytes of `buf`, zero receives up to
 * `len` bytes into it. True only when exactly `len` bytes moved. */
TORVI_API bool torvi_ll_exe_cmd(torvi_ll_t *ll, unsigned dir, unsigned request, unsigned value,
                                void *buf, int len, unsigned timeout_ms);
/* Queries the camera's verdict on its last command (request t, value v). */
TORVI_API bool torvi_ll_check_last_cmd(torvi_ll_t *ll, unsigned t, unsigned v);

TORVI_API void torvi_ll_cap_abort(torvi_ll_t *ll);
TORVI_API bool torvi_ll_cap_start(torvi_ll_t *ll, uint32_t cap_arg, torvi_ll_cap_cb_t cb,
                                  void *cb_arg);
TORVI_API bool torvi_ll_cap_stop(torvi_ll_t *ll);
TORVI_API bool torvi_ll_dev_reset(torvi_ll_t *ll, unsigned target);

/* Register values are 32-bit words; `target` is cut to 8 bits, `cnt` to 16. */
TORVI_API bool torvi_ll_reg_write(torvi_ll_t *ll, unsigned target, uint32_t reg_base,
                                  const uint32_t *vals, unsigned cnt);
TORVI_API bool torvi_ll_reg_read(torvi_ll_t *ll, unsigned target, uint32_t reg_base, uint32_t *vals,
                                 unsigned cnt);
TORVI_API bool torvi_ll_param_set(torvi_ll_t *ll, torvi_ll_param_t *records, uint32_t cnt);
/* On entry each record holds its ID; on success each record is filled. */
TORVI_API bool torvi_ll_param_get(torvi_ll_t *ll, torvi_ll_param_t *records, uint32_t cnt);

TORVI_END_DECLS

#endif /* TORVI_LL_H */
