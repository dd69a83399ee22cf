/* Data blocks and firmware: writing a file into one of the camera's data
 * blocks, reading a block back into a file, and upgrading the firmware.
 *
 * The camera keeps data blocks (firmware images, calibration data) under a
 * numeric data type, each with a version, a size and an address. A write
 * announces the new block, lets the camera erase its flash, sends the file in
 * CRC-protected chunks of 1018 bytes that the camera acknowledges one by one,
 * and then waits for the camera to restart (types 0 and 1 are reset and
 * waited for up to 20 s, types 2 and 3 up to 7 s, other types not at all; the
 * wait ends as soon as the camera has been seen to leave and come back). A
 * read asks for the block's information and fetches it in pieces of 450
 * bytes.
 *
 * Results: 1 on success, -1 on failure, always with a log line. A write the
 * camera refuses (same or newer version stored, empty file) sends nothing; a
 * write that fails after the announcement may leave the camera's block of
 * that type erased or partly written (it then reports no valid data). A read
 * that fails leaves no file behind: the data goes to a temporary file next to
 * the target that replaces the target only when every byte has arrived.
 *
 * Threads: every call runs on the calling thread and blocks it for the whole
 * transfer and restart wait; the progress callback runs on that thread too.
 * The device calls mark the device busy and refuse to run during a capture.
 * During the restart wait the link to the camera is closed and opened again
 * when the camera leaves the bus. */
#ifndef TORVI_TRANSFER_H
#define TORVI_TRANSFER_H

#include <stdbool.h>
#include <stdint.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_export.h>
#include <torvi/torvi_ll.h>

TORVI_BEGIN_DECLS

/* Actions: the wValue of the data-transfer command (bRequest 0xCC). */
enum {
  TORVI_DATA_ACT_GET_INFO = 0,  /* data information record, both ways */
  TORVI_DATA_ACT_ANNOUNCE = 1,  /* INFO: a new block comes */
  TORVI_DATA_ACT_ACK = 4,       /* acknowledgement, 13 bytes */
  TORVI_DATA_ACT_ACK_SHORT = 5, /* acknowledgement, 9 bytes */
  TORVI_DATA_ACT_CHUNK = 6,     /* one chunk of the block */
  TORVI_DATA_ACT_ERASE = 7,     /* erase / prepare the flash */
  TORVI_DATA_ACT_PAYLOAD = 17   /* payload piece of a read */
};

/* Acknowledgement states (status byte of torvi_data_ack_t). */
enum {
  TORVI_DATA_ACK_READY = 1,   /* ready for (more) data */
  TORVI_DATA_ACK_INFO_OK = 3, /* INFO accepted */
  TORVI_DATA_ACK_ERASING = 4  /* flash erase in progress */
};

#define TORVI_DATA_CHUNK_BYTES 1018u        /* data bytes of a full chunk */
#define TORVI_DATA_PIECE_BYTES 450u         /* most bytes of one payload piece */
#define TORVI_DATA_NO_DATA 0xFFFFFFFFu      /* size meaning "no valid block" */
#define TORVI_DATA_DEFAULT_PATH "calib.bin" /* read target when the path is NULL */

/* Wire records: little-endian, packed without gaps. */
#pragma pack(push, 1)
/* Data information (action 0, 16 bytes). Request: only `type` set. */
typedef struct torvi_data_info {
  uint8_t type;
  uint8_t reserved0;
  uint16_t version; /* of the stored block */
  uint32_t size;    /* bytes; TORVI_DATA_NO_DATA: no valid block */
  uint32_t addr;    /* where the block lies in the camera's memory */
  uint32_t reserved1;
} torvi_data_info_t;

/* INFO payload (action 1, 12 bytes). */
typedef struct torvi_data_announce {
  uint8_t type;
  uint8_t reserved0;
  uint16_t version; /* of the new block */
  uint32_t size;    /* of the new block */
  uint32_t reserved1;
} torvi_data_announce_t;

/* Erase / prepare payload (action 7, 13 bytes). */
typedef struct torvi_data_erase {
  uint8_t type;
  uint32_t size;       /* of the new block */
  uint32_t chunk_size; /* TORVI_DATA_CHUNK_BYTES */
  uint32_t zero;
} torvi_data_erase_t;

/* Head of a chunk (action 6): the n data bytes follow it on the wire. */
typedef struct torvi_data_chunk {
  uint16_t crc; /* CRC-16/XMODEM of the data bytes */
  uint32_t len; /* n: TORVI_DATA_CHUNK_BYTES, or fewer in the last chunk */
} torvi_data_chunk_t;

/* Acknowledgement (action 4: 13 bytes; action 5: the first 9). */
typedef struct torvi_data_ack {
  uint32_t next;   /* index of the chunk the camera expects next */
  uint8_t status;  /* TORVI_DATA_ACK_ */
  uint8_t rest[8]; /* not interpreted */
} torvi_data_ack_t;
#pragma pack(pop)

/* Stages of a transfer, as the progress callback reports them. */
enum {
  TORVI_XFER_ANNOUNCE = 0, /* announcing the block / asking for its information */
  TORVI_XFER_ERASE = 1,    /* camera erases: done/total are ms waited / most ms */
  TORVI_XFER_TRANSFER = 2, /* data moves: done/total are bytes */
  TORVI_XFER_RESTART = 3   /* waiting for the camera's restart: ms waited / most ms */
};

/* Progress callback: called on the caller's thread at the start of each stage
 * and after every chunk or piece; `done` never exceeds `total`. */
typedef void (*torvi_xfer_progress_cb_t)(uint64_t done, uint64_t total, int stage, void *arg);

/* --- on a link ------------------------------------------------------------ */

/* Writes the file at `path` into the camera's block `type` as `version`.
 * `reserved` is ignored. 1 or -1. */
TORVI_API int torvi_bin_data_write(torvi_ll_t *ll, uint8_t type, uint16_t version,
                                   uint32_t reserved, const char *path);
/* Reads block `type` into the file `path` (NULL: TORVI_DATA_DEFAULT_PATH in the
 * working directory). 1 or -1. */
TORVI_API int torvi_bin_data_read(torvi_ll_t *ll, uint8_t type, const char *path);
/* torvi_bin_data_write with 0 as `reserved`. */
TORVI_API int torvi_ll_firmware_upgrade(torvi_ll_t *ll, uint8_t type, uint16_t version,
                                        const char *path);

/* --- the actions, one at a time --------------------------------------------- */

/* Sends action 1 (record: torvi_data_announce_t), 4 (torvi_data_ack_t, the
 * send form), 6 (torvi_data_chunk_t; `data` holds its len bytes, len > 0) or 7
 * (torvi_data_erase_t) and checks the camera's verdict. 1 or -1 (also for any
 * other action). */
TORVI_API int al_data_send_action_info(torvi_ll_t *ll, uint8_t action, const void *record,
                                       const uint8_t *data);
/* Reads an acknowledgement (action 4: 13 bytes, action 5: 9 bytes) into
 * `record`: 1 on success, 0 when the sending phase failed, -1 when the
 * receiving phase failed. Other actions: 1 without any transfer. */
TORVI_API int al_data_read_action_info(torvi_ll_t *ll, uint8_t action, torvi_data_ack_t *record);
/* Sends `size` bytes of `record` with `action`, then receives `size` bytes
 * into it. */
TORVI_API bool al_get_data_info(torvi_ll_t *ll, uint8_t action, void *record, int size);
/* Asks for the next n (1..450) payload bytes of the block whose information
 * was asked last and receives them into `buffer`. */
TORVI_API bool al_get_data_payload(torvi_ll_t *ll, uint8_t *buffer, int n);
/* CRC-16/XMODEM of `len` bytes; 0 when len is 0. */
TORVI_API uint16_t al_data_calc_crc(const uint8_t *data, uint16_t len);
/* Loads the file to check that it can be read whole; sets *size. 1 or -1.
 * Hands back no buffer. */
TORVI_API int al_data_build_file_buffer(const char *path, int *size);

/* --- on an open device ---------------------------------------------------- */

TORVI_API int torvi_data_download(torvi_dev_t *dev, const char *path, uint8_t type,
                                  uint16_t version, uint32_t reserved);
TORVI_API int torvi_firmware_upgrade(torvi_dev_t *dev, uint8_t type, uint16_t version,
                                     const char *path);
TORVI_API int torvi_data_upload(torvi_dev_t *dev, uint8_t type, const char *path);

/* As the three calls above, reporting progress to `cb` (NULL: none). */
TORVI_API int torvi_data_download_progress(torvi_dev_t *dev, const char *path, uint8_t type,
                                           uint16_t version, torvi_xfer_progress_cb_t cb,
                                           void *arg);
TORVI_API int torvi_firmware_upgrade_progress(torvi_dev_t *dev, uint8_t type, uint16_t version,
                                              const char *path, torvi_xfer_progress_cb_t cb,
                                              void *arg);
TORVI_API int torvi_data_upload_progress(torvi_dev_t *dev, uint8_t type, const char *path,
                                         torvi_xfer_progress_cb_t cb, void *arg);

TORVI_END_DECLS

#endif /* TORVI_TRANSFER_H */
