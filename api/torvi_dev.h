/* Library lifecycle, the device record, registers and parameters. */
#ifndef TORVI_DEV_H
#define TORVI_DEV_H

#include <stdbool.h>
#include <stdint.h>

#include "torvi_drv.h"
#include "torvi_export.h"

TORVI_BEGIN_DECLS

struct torvi_dev_priv;

/* Capture error codes (torvi_error_name gives their names). Negative codes
 * mean that the capture has been stopped. */
enum {
  TORVI_ERR_CAP_UNKNOWN = -10,
  TORVI_ERR_CAP_ERROR = -8,
  TORVI_ERR_CAP_STALL = -7,
  TORVI_ERR_CAP_TIMEOUT = -5,
  TORVI_ERR_CAP_FRAME_DISCARD = 3
};

/* The public device record. The application owns the memory: an element of
 * the array filled by torvi_dev_list, or a record it allocates itself (zero
 * filled). */
typedef struct torvi_dev {
  struct torvi_dev_priv *priv; /* library-owned; NULL while closed */
  /* link descriptor (44 bytes) */
  uint32_t if_type; /* 0 = USB */
  uint8_t bus;
  uint8_t port;
  uint8_t addr;
  uint8_t speed;
  uint8_t link_reserved[36];
  char product[32];   /* "%16[^-]-%16[^-]-%16[^-]"; the middle field picks the driver */
  char vendor[32];
  uint8_t info5[32];  /* raw value of parameter 5 at open */
  uint8_t info6[8];   /* raw value of parameter 6 at open */
  const char *path_prefix; /* the library's path prefix */
  uint8_t reserved[12];
  uint8_t located;        /* bus and port name one particular camera */
  uint8_t free_on_close;  /* close (and a failed open) frees the record itself */
  uint8_t api_busy;       /* a public call works on the device */
} torvi_dev_t;

/* A parameter item: number (only its low byte travels), value length and
 * value (little-endian for numbers; 18 bytes travel). 24 bytes, packed. */
typedef struct torvi_param {
  uint32_t number;
  uint8_t len;
  uint8_t value[19];
} torvi_param_t;

/* The default device, used by torvi_dev_open(NULL). */
TORVI_API extern torvi_dev_t g_kx_dev;

/* Starts the library: console threshold 3, path prefix "./", the log file
 * (NULL: "torvi_YYYYMMDD.log" from today's date) at threshold 1, the start
 * banner, the transport and the default colour map. Returns nonzero when the
 * colour map was created. */
TORVI_API int torvi_init(const char *log_file);
/* Logs the end line, releases the colour map, closes logging and the transport. */
TORVI_API void torvi_uninit(void);

/* Sets the path prefix (at most 255 characters, kept as given) and creates
 * every folder of it. Returns 0, or the failing creation's result. */
TORVI_API int torvi_path_cfg(const char *path);
TORVI_API const char *torvi_path_get(void);

/* Fills up to dev_list_num zeroed records with the attached cameras; returns
 * their count, 0 on error. */
TORVI_API int torvi_dev_list(torvi_dev_t *dev_list, int dev_list_num);
/* Opens the camera named by the record (NULL: g_kx_dev, the first camera).
 * Returns the record or NULL. */
TORVI_API torvi_dev_t *torvi_dev_open(torvi_dev_t *dev);
/* Unsupported on this platform: logs and returns NULL. */
TORVI_API torvi_dev_t *torvi_dev_open_by_fd(int fd);
/* Stops a running capture, closes the camera and frees the library's part.
 * May be called from another thread than a call in progress. */
TORVI_API void torvi_dev_close(torvi_dev_t *dev);
/* Resets the camera part named by target (0 to 8). */
TORVI_API bool torvi_dev_reset(torvi_dev_t *dev, unsigned target);
/* The driver entry of an open device, or NULL. */
TORVI_API torvi_drv_t *torvi_dev_get_drv(torvi_dev_t *dev);
/* Name of a capture error code, "**UNKNOWN**" for other values. */
TORVI_API const char *torvi_error_name(int err);

/* Register runs: target cut to 8 bits, reg_cnt to 16 bits. */
TORVI_API bool torvi_reg_batch_write(torvi_dev_t *dev, int target, int reg_base, void *val_buf,
                                     int reg_cnt);
TORVI_API bool torvi_reg_batch_read(torvi_dev_t *dev, int target, int reg_base, void *val_buf,
                                    int reg_cnt);
/* Parameters. A failed get leaves the items unchanged. */
TORVI_API bool torvi_param_batch_set(torvi_dev_t *dev, const torvi_param_t *items, int count);
TORVI_API bool torvi_param_batch_get(torvi_dev_t *dev, torvi_param_t *items, int count);

TORVI_END_DECLS

#endif /* TORVI_DEV_H */
