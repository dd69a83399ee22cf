/* Low-level transport calls (torvi_ll_).
 *
 * The device API and the data transfer reach the camera only through these
 * calls. Each call on an open link is forwarded through the operation table
 * stored in the link's connection record; calls made before a link is open
 * (init, debug level, listing, first open) go to the USB table `ll_op_usb`.
 *
 * Threads: the streaming callback runs on the link's event thread (started
 * by the open, joined by the close); every other call runs on the caller's
 * thread. Commands on one link are serialised by the transport (a command
 * and its status query never interleave with another thread's command).
 *
 * Ownership: the caller owns every torvi_ll_t record, listing array, buffer
 * and parameter record it passes in; the transport only uses them during
 * the call, except that an open record must stay at its address until
 * closed. The transport owns what hangs off `priv` and the streaming
 * buffers.
 *
 * Failures: bool calls return false and pointer calls NULL, with an ERR or
 * WRN line where the transport detects the fault; a NULL record fails
 * without effect, and so does a record that is not open for every call but
 * the open. */
#ifndef TORVI_LL_H
#define TORVI_LL_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <torvi/torvi_export.h>

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
 * fields from `if_type` to `reserved` form the 44-byte link descriptor. The
 * caller fills the descriptor (or takes it from the listing); the open sets
 * `priv` and `ops`. */
typedef struct torvi_ll {
  void *priv;       /* transport's private record; NULL while closed */
  uint32_t if_type; /* 0 = USB */
  uint8_t bus;      /* USB bus number */
  uint8_t port;     /* USB port number on that bus */
  uint8_t addr;     /* USB device address */
  uint8_t speed;    /* 0 unknown, 1 low, 2 full, 3 high, 4 super */
  uint8_t reserved[36];
  const torvi_ll_op_t *ops; /* table of the transport that opened the link */
  uint8_t located;          /* nonzero: bus and port name one camera */
} torvi_ll_t;
TORVI_STATIC_ASSERT(offsetof(torvi_ll_t, priv) == 0, "priv first");
TORVI_STATIC_ASSERT(offsetof(torvi_ll_t, if_type) == sizeof(void *), "descriptor after priv");
TORVI_STATIC_ASSERT(offsetof(torvi_ll_t, bus) == offsetof(torvi_ll_t, if_type) + 4, "bus");
TORVI_STATIC_ASSERT(offsetof(torvi_ll_t, port) == offsetof(torvi_ll_t, bus) + 1, "port");
TORVI_STATIC_ASSERT(offsetof(torvi_ll_t, addr) == offsetof(torvi_ll_t, port) + 1, "addr");
TORVI_STATIC_ASSERT(offsetof(torvi_ll_t, speed) == offsetof(torvi_ll_t, addr) + 1, "speed");
TORVI_STATIC_ASSERT(offsetof(torvi_ll_t, reserved) == offsetof(torvi_ll_t, speed) + 1, "reserved");
TORVI_STATIC_ASSERT(offsetof(torvi_ll_t, reserved) + 36 - offsetof(torvi_ll_t, if_type) == 44,
                    "the link descriptor is 44 bytes");
TORVI_STATIC_ASSERT(offsetof(torvi_ll_t, ops) ==
                        (offsetof(torvi_ll_t, reserved) + 36 + sizeof(void *) - 1) /
                            sizeof(void *) * sizeof(void *),
                    "ops right after the descriptor");
TORVI_STATIC_ASSERT(offsetof(torvi_ll_t, located) == offsetof(torvi_ll_t, ops) + sizeof(void *),
                    "located after ops");

/* Wire parameter record: ID, value length, 18 value bytes. */
typedef struct torvi_ll_param {
  uint8_t id;
  uint8_t len;
  uint8_t val[18];
} torvi_ll_param_t;
TORVI_STATIC_ASSERT(sizeof(torvi_ll_param_t) == 20, "20-byte wire record");

/* Streaming callback: (link, completion code, received bytes, their count,
 * argument). Runs on the link's event thread, once per completed bulk
 * transfer. The bytes belong to the transport and are valid only during the
 * call: copy what must outlive it. Completions of cancelled transfers still
 * arrive (TORVI_LL_CAP_CANCELLED) after torvi_ll_cap_stop returns, until the
 * transfers have drained; a transfer that can no longer be resubmitted is
 * reported once as TORVI_LL_CAP_UNKNOWN with count 0. Keep it short, and do
 * not close the link from inside it (refused). The return value is ignored. */
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
TORVI_STATIC_ASSERT(sizeof(struct torvi_ll_op) == 18 * sizeof(void (*)(void)),
                    "17 operations and the NULL end slot");

/* The USB transport's table (constant data owned by the library). */
TORVI_API extern const torvi_ll_op_t ll_op_usb;

/* Initialises the transports; false (with an ERR line) when one fails.
 * Called by torvi_init; call from one thread. */
TORVI_API bool torvi_ll_init(void);
/* Ends the transports; close every link first. Called by torvi_uninit. */
TORVI_API void torvi_ll_uninit(void);

/* Maps the library log level (0 TRC .. 5 off) to a libusb log level, stores
 * it for contexts created later and returns the stored libusb level. */
TORVI_API unsigned torvi_ll_set_debug(unsigned level);

/* Clears up to `max` entries of the caller's array and fills one per
 * attached camera (descriptor, located = 1, priv NULL). Returns their count;
 * 0 when list is NULL, max <= 0, none is attached or the bus cannot be
 * enumerated (ERR line). */
TORVI_API int torvi_ll_dev_list(torvi_ll_t *list, int max);

/* Opens the camera the record names (or the first one found when the record
 * is not located), claims its interfaces and starts the link's event
 * thread; allocates the transport's part `priv`. Returns `ll` (also when it
 * is already open, with a WRN line) or NULL with an ERR line. */
TORVI_API torvi_ll_t *torvi_ll_dev_open(torvi_ll_t *ll);
/* As torvi_ll_dev_open (no file-descriptor opening on this platform). */
TORVI_API torvi_ll_t *torvi_ll_dev_open_by_fd(torvi_ll_t *ll);
/* Cancels streaming, waits for the transfers to drain, joins the event
 * thread and frees the transport's part; afterwards no callback runs. A link
 * that is not open gets a WRN line. Refused (ERR line) on the link's own
 * event thread. */
TORVI_API void torvi_ll_dev_close(torvi_ll_t *ll);

/* One command: dir nonzero sends `len` bytes of the caller's `buf`, zero
 * receives up to `len` bytes into it. True only when exactly `len` bytes
 * moved within timeout_ms. */
TORVI_API bool torvi_ll_exe_cmd(torvi_ll_t *ll, unsigned dir, unsigned request, unsigned value,
                                void *buf, int len, unsigned timeout_ms);
/* Queries the camera's verdict on its last command (request t, value v):
 * true when it succeeded, false when it failed (the camera's message is
 * logged) or the query itself failed. */
TORVI_API bool torvi_ll_check_last_cmd(torvi_ll_t *ll, unsigned t, unsigned v);

/* Marks the stream as stopping: completed transfers are no longer
 * resubmitted. Does not wait and sends nothing; safe on the event thread
 * (from inside the streaming callback). */
TORVI_API void torvi_ll_cap_abort(torvi_ll_t *ll);
/* Stores the callback and its argument (kept until the next start), submits
 * the streaming transfers and sends the start command with cap_arg. False
 * when the link is not open, transfers of the last capture are still in
 * flight after 3 s, or the camera refuses the start (the transfers are then
 * cancelled). */
TORVI_API bool torvi_ll_cap_start(torvi_ll_t *ll, uint32_t cap_arg, torvi_ll_cap_cb_t cb,
                                  void *cb_arg);
/* Cancels the streaming transfers and sends the stop command; does not wait
 * for the cancellations (see the callback). True when the camera confirmed
 * the stop. */
TORVI_API bool torvi_ll_cap_stop(torvi_ll_t *ll);
/* Resets the camera part named by target (cut to 8 bits). True when the
 * camera confirmed it. */
TORVI_API bool torvi_ll_dev_reset(torvi_ll_t *ll, unsigned target);

/* Register runs of `cnt` 32-bit words from reg_base, from or into the
 * caller's vals; `target` is cut to 8 bits, `cnt` to 16. True when the camera
 * confirmed the transfer. */
TORVI_API bool torvi_ll_reg_write(torvi_ll_t *ll, unsigned target, uint32_t reg_base,
                                  const uint32_t *vals, unsigned cnt);
TORVI_API bool torvi_ll_reg_read(torvi_ll_t *ll, unsigned target, uint32_t reg_base, uint32_t *vals,
                                 unsigned cnt);
TORVI_API bool torvi_ll_param_set(torvi_ll_t *ll, torvi_ll_param_t *records, uint32_t cnt);
/* Parameter records of the caller's array. For a get, on entry each record
 * holds its ID; on success each record's len and val are filled. True when
 * the camera confirmed the transfer. */
TORVI_API bool torvi_ll_param_get(torvi_ll_t *ll, torvi_ll_param_t *records, uint32_t cnt);

TORVI_END_DECLS

#endif /* TORVI_LL_H */
