/* Virtual cameras (torvi_vcam_): cameras simulated inside the process.
 *
 * A virtual camera speaks the camera's USB protocol and streams frames of a
 * synthetic scene (a flat wall, optionally spheres and boxes in front of it)
 * through a time-of-flight model. Use it to try the library without
 * hardware, to develop against, and to reproduce faults.
 *
 * Typical use:
 *   torvi_vcam_t *cam = torvi_vcam_create(NULL, 1);
 *   torvi_vcam_set_wall(cam, 1200.0, 0.6);
 *   torvi_vcam_plug(cam);
 *   torvi_vcam_enable(1);       // the transport now sees the virtual bus
 *   ... torvi_dev_list / torvi_dev_open / capture as with a real camera ...
 *   torvi_vcam_enable(0);
 *   torvi_vcam_destroy(cam);
 *
 * While enabled, enumeration and open see only the virtual cameras that are
 * plugged in, instead of the real USB devices; links that were opened before
 * keep the binding they were opened with. Calls return 0 on success and -1
 * (with an ERR log line) on bad arguments. All calls are thread-safe; a
 * camera may be unplugged or given faults while it streams. */
#ifndef TORVI_VCAM_H
#define TORVI_VCAM_H

#include <stdint.h>
#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

typedef struct torvi_vcam torvi_vcam_t;

/* Creates a camera, not yet plugged in. `product` is its product string
 * ("%16[^-]-%16[^-]-%16[^-]", at most 18 characters; the middle field picks
 * the chip driver) or NULL for "VCAM-E2-1.4.3". `seed` fixes its noise and
 * pixel pattern: equal seeds and settings give equal bytes. */
TORVI_API torvi_vcam_t *torvi_vcam_create(const char *product, uint64_t seed);
/* Unplugs and frees a camera. NULL is ignored. */
TORVI_API void torvi_vcam_destroy(torvi_vcam_t *cam);

/* Where the camera sits: bus, port, device address, libusb speed code
 * (3 = high speed). `address_after_reset` (0: keep) is the address it takes
 * when it comes back from a reset of its USB interface. Before plugging. */
TORVI_API int torvi_vcam_set_location(torvi_vcam_t *cam, uint8_t bus, uint8_t port, uint8_t address,
                                      int speed, uint8_t address_after_reset);
TORVI_API int torvi_vcam_set_product(torvi_vcam_t *cam, const char *product);
/* The serial number that parameter 5 reports (at most 18 characters;
 * default "VC0000000001"). */
TORVI_API int torvi_vcam_set_serial(torvi_vcam_t *cam, const char *serial);
/* Frames per second (1..120), as parameter 12 reports. */
TORVI_API int torvi_vcam_set_frame_rate(torvi_vcam_t *cam, unsigned fps);
/* paced 0: frames as fast as the host reads (for benchmarks). */
TORVI_API int torvi_vcam_set_paced(torvi_vcam_t *cam, int paced);
TORVI_API int torvi_vcam_set_seed(torvi_vcam_t *cam, uint64_t seed);
/* Sample noise (standard deviation, sample units) and the peak of the fixed
 * per-pixel distance pattern (mm). */
TORVI_API int torvi_vcam_set_noise(torvi_vcam_t *cam, double noise_lsb, double pattern_mm);
/* Temperature rise per frame (tenths of a degree C) of sensor and board. */
TORVI_API int torvi_vcam_set_drift(torvi_vcam_t *cam, double sensor_per_frame,
                                   double board_per_frame);

/* Scene: the camera looks along +z, x to the right, y down; units mm. The
 * wall is the plane z = mm. Reflectivity 0..1 (more for retro-reflectors). */
TORVI_API int torvi_vcam_set_wall(torvi_vcam_t *cam, double mm, double reflectivity);
TORVI_API int torvi_vcam_add_sphere(torvi_vcam_t *cam, double x, double y, double z, double radius,
                                    double reflectivity);
TORVI_API int torvi_vcam_add_box(torvi_vcam_t *cam, double x0, double y0, double z0, double x1,
                                 double y1, double z1, double reflectivity);
TORVI_API int torvi_vcam_clear_shapes(torvi_vcam_t *cam);
/* The block that the data-upload mode (parameter 0 = 9) sends as one frame
 * of format 171; parameter 8 reports its size. Copied. Without one (len 0)
 * the camera sends its calibration package, made from its own model: the
 * distance images of a flat target at 295 + k x 298.2 mm (k < 30, 12 MHz),
 * the DRNU parameter file and lens_param.txt of its lens, zipped. */
TORVI_API int torvi_vcam_set_upload_block(torvi_vcam_t *cam, const void *data, uint32_t len);
/* Sensor identity that parameter 7 reports (part version, chip id, wafer
 * id); the calibration file names follow from chip and wafer id. */
TORVI_API int torvi_vcam_set_chip(torvi_vcam_t *cam, uint16_t part_version, uint16_t chip_id,
                                  uint16_t wafer_id);
/* The camera's lens: cx, cy, fx, fy (pixels of the 320 x 240 image) and the
 * distortion coefficients k1, k2, p1, p2, k3. Rays are cast through it and
 * its package carries it. NULL restores the library's default lens. */
TORVI_API int torvi_vcam_set_lens(torvi_vcam_t *cam, const double intrinsics[4],
                                  const double dcoeff[5]);
/* Peak (mm, 0..1000) of the periodic phase non-linearity, a distance error
 * that repeats four times per unambiguous range; 0 turns it off. */
TORVI_API int torvi_vcam_set_nonlinearity(torvi_vcam_t *cam, double peak_mm);
/* Faults of the calibration package, for tests. */
enum {
  TORVI_VCAM_CALIB_OK = 0,
  TORVI_VCAM_CALIB_NONE = 1,            /* parameter 8 says: no valid calibration */
  TORVI_VCAM_CALIB_NOT_ZIPPED = 2,      /* zip flag 0 */
  TORVI_VCAM_CALIB_TRUNCATED = 3,       /* payload length runs past the frame */
  TORVI_VCAM_CALIB_CORRUPT_ARCHIVE = 4, /* archive bytes damaged */
  TORVI_VCAM_CALIB_HOSTILE_NAMES = 5,   /* an entry named outside the folder */
  TORVI_VCAM_CALIB_EMPTY_SPLIT = 6      /* parameter part of the split empty */
};
TORVI_API int torvi_vcam_set_calib_fault(torvi_vcam_t *cam, int fault);

/* Faults. Stream faults (FLIP_*, DROP_CHUNK, DUP_CHUNK, SKIP_SIDX,
 * SKIP_FRIDX) hit frame `a` of each capture (counted from 0 at stream start)
 * and its chunk `b`; the flips xor byte `c` with 0x01. The others: */
enum {
  TORVI_VCAM_FAULT_CLEAR = 0,        /* remove every fault */
  TORVI_VCAM_FAULT_STALL_BULK = 1,   /* a: the bulk endpoint halts a times */
  TORVI_VCAM_FAULT_SILENT_AFTER = 2, /* a: stop sending after a more bytes */
  TORVI_VCAM_FAULT_RESUME = 3,       /* send again */
  TORVI_VCAM_FAULT_UNPLUG_AFTER = 4, /* a: leave the bus after a more bytes */
  TORVI_VCAM_FAULT_BUSY = 5,         /* a: status 0xFE for a queries */
  TORVI_VCAM_FAULT_NO_ANSWER = 6,    /* a: leave a control transfers unanswered */
  TORVI_VCAM_FAULT_FAIL_CLAIM0 = 7,  /* a: 1 = claiming interface 0 fails */
  TORVI_VCAM_FAULT_HELD = 8,         /* a: 1 = open fails (held elsewhere) */
  TORVI_VCAM_FAULT_FLIP_HEADER = 9,
  TORVI_VCAM_FAULT_FLIP_PAYLOAD = 10,
  TORVI_VCAM_FAULT_DROP_CHUNK = 11,
  TORVI_VCAM_FAULT_DUP_CHUNK = 12,
  TORVI_VCAM_FAULT_SKIP_SIDX = 13,
  TORVI_VCAM_FAULT_SKIP_FRIDX = 14,
  /* a: the next a bulk transfers end at once as timed out, each after
   * receiving up to b bytes of the stream */
  TORVI_VCAM_FAULT_TIME_OUT = 15,
  /* a: the next a bulk transfers each end with a stall (the endpoint does
   * not stay halted) */
  TORVI_VCAM_FAULT_STALL_XFER = 16
};
TORVI_API int torvi_vcam_fault(torvi_vcam_t *cam, int kind, uint32_t a, uint32_t b, uint32_t c);
/* The next command fails: status 0xFF with `message` (at most 60 bytes). */
TORVI_API int torvi_vcam_fail_next(torvi_vcam_t *cam, const char *message);

/* Data blocks in the camera's flash, by type: 0 and 1 firmware (a finished
 * write takes effect at the next reset of target 0: the camera leaves the
 * bus and comes back, type 0 with its new firmware version), 2 and 3 data
 * after which the camera restarts by itself, 4 to 7 plain data. A new camera
 * holds firmware in types 0 and 1 and calibration data in type 2. Firmware
 * versions: major in bits 8..15, minor 4..7, patch 0..3 (0x0143 = "1.4.3"). */
/* Stores a valid block (copied; at most 2 MiB for types 0 and 1, 4 MiB else). */
TORVI_API int torvi_vcam_set_block(torvi_vcam_t *cam, uint8_t type, uint16_t version,
                                   const void *data, uint32_t len);
/* Leaves block `type` erased: no valid data, version 0xFFFF. */
TORVI_API int torvi_vcam_erase_block(torvi_vcam_t *cam, uint8_t type);
/* The block's version into *version (may be NULL) and up to `cap` of its
 * bytes into dst; returns its size, 0xFFFFFFFF when it holds no valid data,
 * -1 on bad arguments. */
TORVI_API int64_t torvi_vcam_get_block(torvi_vcam_t *cam, uint8_t type, uint16_t *version,
                                       void *dst, uint32_t cap);
/* The running firmware's version, or -1. */
TORVI_API int torvi_vcam_firmware_version(torvi_vcam_t *cam);

/* Faults of the data-block protocol; chunk `a` counts from 0 within a write,
 * payload piece `a` from 0 after each information request; each fires once. */
enum {
  TORVI_VCAM_FLASH_CLEAR = 0,           /* remove every flash fault */
  TORVI_VCAM_FLASH_REFUSE_CHUNK = 1,    /* chunk a is not taken (ack next = a) */
  TORVI_VCAM_FLASH_BAD_CRC = 2,         /* chunk a arrives damaged: its CRC fails */
  TORVI_VCAM_FLASH_SKIP_ACK = 3,        /* the ack of chunk a says next = a + 2 */
  TORVI_VCAM_FLASH_UNPLUG_AT_CHUNK = 4, /* the camera leaves the bus when chunk a arrives */
  TORVI_VCAM_FLASH_FAIL_PAYLOAD = 5,    /* payload request a fails */
  TORVI_VCAM_FLASH_ENDLESS_ERASE = 6,   /* a: 1 = the erase never ends */
  TORVI_VCAM_FLASH_ERASE_ACKS = 7,      /* a "erasing" acknowledgements per erase (3) */
  TORVI_VCAM_FLASH_STAY_AWAY = 8        /* a: 1 = after a restart it does not come back */
};
TORVI_API int torvi_vcam_flash_fault(torvi_vcam_t *cam, int kind, uint32_t a);

/* Plugs the camera into the virtual bus / pulls it out (pending transfers
 * end with "no device"). */
TORVI_API int torvi_vcam_plug(torvi_vcam_t *cam);
TORVI_API int torvi_vcam_unplug(torvi_vcam_t *cam);

/* Ground truth: radial distance in mm of every pixel of what the camera
 * sends, image row order (row 0 at the top), `width` x `height` values.
 * Returns the number of pixels, or -1 when `count` is too small. */
TORVI_API int torvi_vcam_ground_truth(torvi_vcam_t *cam, uint16_t *dst, uint32_t count);

/* 1: the USB transport uses the virtual bus from now on; 0: real USB. */
TORVI_API int torvi_vcam_enable(int on);

TORVI_END_DECLS

#endif /* TORVI_VCAM_H */
