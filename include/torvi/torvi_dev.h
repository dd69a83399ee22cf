/* Library lifecycle, the device record, registers and parameters.
 *
 * Ownership: the application owns every torvi_dev_t record it passes in
 * (except g_kx_dev, a library global) and every buffer; an open record holds
 * a library-owned part (`priv`) that torvi_dev_close frees. The record must
 * stay at its address from open to close.
 *
 * Threads: every call runs on the caller's thread. Register, parameter and
 * reset calls on one open device may come from different threads (the
 * transport serialises the commands), and torvi_dev_close may be called
 * while another call on the device is in progress. Open and close of one
 * record must not overlap each other. torvi_init, torvi_uninit and torvi_path_cfg change process
 * globals: call them from one thread while no device is in use.
 *
 * Failures are logged with an ERR line (or WRN where noted); bool calls
 * return false, pointer calls NULL. */
#ifndef TORVI_DEV_H
#define TORVI_DEV_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <torvi/torvi_drv.h>
#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

struct torvi_dev_priv;

/* Capture error codes: returned by the frame getters and passed to the error
 * callback (torvi_error_name gives their names). Negative codes mean that the
 * capture has been stopped; TORVI_ERR_CAP_FRAME_DISCARD only reports frames
 * that the stream parser threw away, and the capture goes on. */
enum {
  TORVI_ERR_CAP_UNKNOWN = -10,
  TORVI_ERR_CAP_ERROR = -8,
  TORVI_ERR_CAP_STALL = -7,
  TORVI_ERR_CAP_TIMEOUT = -5,
  TORVI_ERR_CAP_FRAME_DISCARD = 3
};

/* The public device record. The application owns the memory: an element of
 * the array filled by torvi_dev_list, or a record it allocates itself (zero
 * filled). The library writes the link descriptor, product, vendor, info5,
 * info6 and path_prefix at open; the application only reads them. */
typedef struct torvi_dev {
  struct torvi_dev_priv *priv; /* library-owned; NULL while closed */
  /* link descriptor (44 bytes) */
  uint32_t if_type; /* 0 = USB */
  uint8_t bus;
  uint8_t port;
  uint8_t addr;
  uint8_t speed;
  uint8_t link_reserved[36];
  char product[32]; /* "%16[^-]-%16[^-]-%16[^-]"; the middle field picks the driver */
  char vendor[32];
  uint8_t info5[32];       /* raw value of parameter 5 at open */
  uint8_t info6[8];        /* raw value of parameter 6 at open */
  const char *path_prefix; /* where the driver finds calibration files: the library's path
                              prefix (static storage, see torvi_path_get); for a replayed
                              recording, its own folder (valid until close) */
  uint8_t reserved[12];
  uint8_t located;       /* bus and port name one particular camera; 0: open takes the first */
  uint8_t free_on_close; /* set by the application for a malloc'ed record: close (and a
                            failed open) then free()s the record itself */
  uint8_t api_busy;      /* library-owned: public calls working on the device now */
} torvi_dev_t;
TORVI_STATIC_ASSERT(offsetof(torvi_dev_t, if_type) == sizeof(void *), "link descriptor after priv");
TORVI_STATIC_ASSERT(offsetof(torvi_dev_t, product) - offsetof(torvi_dev_t, if_type) == 44,
                    "44-byte link descriptor");
TORVI_STATIC_ASSERT(offsetof(torvi_dev_t, vendor) == offsetof(torvi_dev_t, product) + 32,
                    "product is 32 bytes");
TORVI_STATIC_ASSERT(offsetof(torvi_dev_t, info5) == offsetof(torvi_dev_t, vendor) + 32,
                    "vendor is 32 bytes");
TORVI_STATIC_ASSERT(offsetof(torvi_dev_t, info6) == offsetof(torvi_dev_t, info5) + 32,
                    "info5 is 32 bytes");
TORVI_STATIC_ASSERT(offsetof(torvi_dev_t, reserved) ==
                        offsetof(torvi_dev_t, path_prefix) + sizeof(void *),
                    "reserved after path_prefix");
TORVI_STATIC_ASSERT(offsetof(torvi_dev_t, located) == offsetof(torvi_dev_t, reserved) + 12,
                    "12 reserved bytes");
TORVI_STATIC_ASSERT(offsetof(torvi_dev_t, free_on_close) == offsetof(torvi_dev_t, located) + 1,
                    "free_on_close after located");
TORVI_STATIC_ASSERT(offsetof(torvi_dev_t, api_busy) == offsetof(torvi_dev_t, located) + 2,
                    "api_busy after free_on_close");
TORVI_STATIC_ASSERT(sizeof(void *) != 8 || sizeof(torvi_dev_t) == 184,
                    "184 bytes with 64-bit pointers");

/* A parameter item: number (only its low byte travels), value length and
 * value (little-endian for numbers; 18 bytes travel). 24 bytes, packed. */
typedef struct torvi_param {
  uint32_t number;
  uint8_t len;
  uint8_t value[19];
} torvi_param_t;
TORVI_STATIC_ASSERT(sizeof(torvi_param_t) == 24, "24 bytes, packed");
TORVI_STATIC_ASSERT(offsetof(torvi_param_t, len) == 4 && offsetof(torvi_param_t, value) == 5,
                    "number, len, value");

/* The default device, used by torvi_dev_open(NULL): a library global that
 * the application may read and pass to the other calls, and closes with
 * torvi_dev_close(&g_kx_dev). */
TORVI_API extern torvi_dev_t g_kx_dev;

/* Starts the library: console threshold 3, path prefix reset to "./", the
 * log file (NULL: "torvi_YYYYMMDD.log" from today's local date, in the
 * current folder) at threshold 1, the start banner, the transport and the
 * default colour map g_torvi_cmap. Call it once, from one thread, before the
 * device and capture calls. Returns 1 when the colour map was created, 0
 * when it was not; a transport that fails to start or a log file that
 * cannot be opened is only reported (ERR line, or a line on stderr). */
TORVI_API int torvi_init(const char *log_file);
/* Logs the end line, releases the colour map, closes logging (every sink
 * silenced) and the transport. Close every device first; call from one
 * thread. */
TORVI_API void torvi_uninit(void);

/* Sets the path prefix (at most 255 characters, longer ones cut; kept as
 * given) under which the library stores its files, and creates every folder
 * of it ('\' is taken as '/' when creating). The string is copied. Returns
 * 0, -1 with an ERR line for NULL, or the failing mkdir's result (-1, errno
 * set). Devices opened earlier see the new prefix through path_prefix
 * (replayed recordings keep their own folder). */
TORVI_API int torvi_path_cfg(const char *path);
/* The path prefix: "./" until torvi_path_cfg. Points to library-owned static
 * storage that stays valid for the life of the process; its content changes
 * with the next torvi_path_cfg or torvi_init. Never free it. */
TORVI_API const char *torvi_path_get(void);

/* Zeroes dev_list_num records of the application's array and fills one per
 * attached camera (link descriptor, located = 1; identity fields stay empty
 * until open). Returns their count, at most dev_list_num; 0 when none is
 * attached and on error (NULL list or dev_list_num <= 0, with an ERR line). */
TORVI_API int torvi_dev_list(torvi_dev_t *dev_list, int dev_list_num);
/* Opens the camera named by the record (NULL: g_kx_dev, the first camera),
 * reads its identity, picks its chip driver and loads its calibration (a
 * failed load is only logged). Allocates the record's library part `priv`
 * and a frame buffer for 10 frames. An already open record is closed and
 * opened again. Returns the record (g_kx_dev for NULL), or NULL with an ERR
 * line when the camera cannot be opened or identified, no driver matches,
 * memory runs out, or g_kx_dev is requested while it is still open. A failed
 * open leaves `priv` NULL and frees the record when free_on_close is set. */
TORVI_API torvi_dev_t *torvi_dev_open(torvi_dev_t *dev);
/* Unsupported on this platform: logs an ERR line and returns NULL. */
TORVI_API torvi_dev_t *torvi_dev_open_by_fd(int fd);
/* Marks the device closed (every call that starts from then on fails at
 * once), stops a running capture (a camera that left the bus counts as
 * stopped), wakes every waiting getter, closes the link (its running
 * commands end first; after this no transport callback runs), waits up to
 * 3 s for the calls that were in progress when the close began, then frees
 * the library's part (priv becomes NULL) and, when free_on_close is set,
 * the record itself. When such a call still runs after 3 s (a callback that
 * does not return), close logs an ERR line and returns: the call frees the
 * library's part and the record when it leaves, and until then an open of
 * the record fails. May be called from another thread than a call in
 * progress. Refused with an ERR line from inside the frame-ready or error
 * callback of the device (the getter that runs the callback could never
 * leave) and while another close of it runs. NULL and closed records are
 * ignored. */
TORVI_API void torvi_dev_close(torvi_dev_t *dev);
/* Resets the camera part named by target (0 to 8). False with an ERR line
 * for a closed device or a target above 8, false when the camera refuses. */
TORVI_API bool torvi_dev_reset(torvi_dev_t *dev, unsigned target);
/* The driver record of an open device, or NULL: the device's own copy of its
 * registry entry (same name, id and ops; dev is this device and priv this
 * device's driver state), owned by the library until the device closes;
 * never free it. NULL also while the device closes. */
TORVI_API torvi_drv_t *torvi_dev_get_drv(torvi_dev_t *dev);
/* Name of a capture error code ("OK" for 0), "**UNKNOWN**" for other values.
 * Returns a static string: never free it. Any thread. */
TORVI_API const char *torvi_error_name(int err);

/* Register runs of reg_cnt 32-bit words from reg_base, written from or read
 * into the application's val_buf (4 * reg_cnt bytes); target is cut to 8
 * bits. reg_cnt must be 1 to 65535 for a read and 1 to 16382 for a write
 * (what one transport call moves). False with an ERR line for a closed
 * device, a NULL val_buf or a count outside those ranges; false when the
 * transfer or the camera fails. */
TORVI_API bool torvi_reg_batch_write(torvi_dev_t *dev, int target, int reg_base, void *val_buf,
                                     int reg_cnt);
TORVI_API bool torvi_reg_batch_read(torvi_dev_t *dev, int target, int reg_base, void *val_buf,
                                    int reg_cnt);
/* Parameters: `count` items of the application's array. A get sends each
 * item's number and len and fills len and value on success; a failed get
 * leaves the items unchanged. False with an ERR line for a closed device,
 * NULL items or count <= 0; false when the transfer or the camera fails. */
TORVI_API bool torvi_param_batch_set(torvi_dev_t *dev, const torvi_param_t *items, int count);
TORVI_API bool torvi_param_batch_get(torvi_dev_t *dev, torvi_param_t *items, int count);

TORVI_END_DECLS

#endif /* TORVI_DEV_H */
