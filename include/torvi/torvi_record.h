/* Recording a camera's raw frames into an MCAP file, and replaying such a
 * file as a camera.
 *
 * A recording holds, in the ros2 profile with CDR messages:
 *  - topic "/torvi/raw_frame" (torvi_msgs/msg/RawFrame): every frame the
 *    stream parser completed, with its frame record (length, index, format,
 *    width, height, temperatures, frame word), the host time at which it was
 *    complete and its bytes exactly as delivered;
 *  - topic "/torvi/depth" (sensor_msgs/msg/Image, 16UC1, millimetres): the
 *    distance image of each frame, when the camera's driver decodes
 *    distances;
 *  - metadata "torvi.device" (identity, link, driver), "torvi.parameters"
 *    (the camera parameters readable at the start, "param.<n>" = hex bytes),
 *    "torvi.filters" (the filter switches made since the device was opened,
 *    "filter.<id>" = "off", "on" or "on:<hex argument>"),
 *    "torvi.registers" (the sensor's 256 registers at the start, "target.1"
 *    = eight hex digits per register) and "torvi.recording" (start time,
 *    frame rate, options);
 *  - attachments: the lens parameter and calibration files found under the
 *    path prefix ("lens_param.txt", "*_10.bin") and the driver's lens
 *    parameters ("lens_param", text) when it has them.
 * Raw frames sit in chunks of their own (a frame of 64 KB or more alone
 * in its chunk, written straight from the frame buffer), stored as
 * they are (unless compress_raw); the other chunks are zstd-compressed.
 *
 * Threads: a recording takes frames on the transport's event thread (one
 * copy into a queue) and writes them on its own writer thread, so the
 * capture never waits for the disk; when the queue is full, frames are
 * dropped and counted. The application keeps taking frames with the
 * torvi_cap_ calls as usual. Start, stats and stop may be called from any
 * application thread, one at a time per recording.
 *
 * Ownership: torvi_record_start returns a library-owned record that
 * torvi_record_stop frees. A replayed camera is an ordinary open device:
 * torvi_dev_close ends the replay and frees everything. */
#ifndef TORVI_RECORD_H
#define TORVI_RECORD_H

#include <stdbool.h>
#include <stdint.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

typedef struct torvi_record torvi_record_t;

/* Options of a recording; a zeroed record (or NULL) gives the defaults. */
typedef struct torvi_record_opts {
  uint32_t queue_frames; /* frames waiting for the writer at most; 0: 64 */
  uint8_t no_depth;      /* 1: no distance images */
  uint8_t no_compress;   /* 1: chunks stored without zstd */
  int8_t zstd_level;     /* zstd level, -7 (fastest) .. 19 (smallest); 0: the default, -1 */
  uint8_t compress_raw;  /* 1: raw frames zstd-compressed too (about half their size, for
                            about a tenth of a core more at 30 frames/s); 0: raw frames in
                            chunks of their own stored as they are, the rest compressed */
} torvi_record_opts_t;
TORVI_STATIC_ASSERT(sizeof(torvi_record_opts_t) == 8, "record options are 8 bytes");

typedef struct torvi_record_stats {
  uint64_t frames_seen;    /* frames the stream completed since the start */
  uint64_t frames_written; /* raw frames in the file */
  uint64_t frames_dropped; /* frames lost because the writer fell behind */
  uint64_t depth_written;  /* distance images in the file */
  uint64_t bytes_written;  /* file size so far */
  int32_t failed;          /* 1: writing failed (see the log); later frames are dropped */
  uint32_t reserved;
} torvi_record_stats_t;

/* Starts recording an open device into a new file at `path` (replaced when
 * it exists). Frames are recorded from now on, while a capture runs; start
 * the capture before or after. Reads the device's identity and parameters
 * once for the metadata. Returns the recording, or NULL with an ERR line for
 * a closed device, a device already being recorded, or a file that cannot
 * be created. Stop it before closing the device. */
TORVI_API torvi_record_t *torvi_record_start(torvi_dev_t *dev, const char *path,
                                             const torvi_record_opts_t *opts);
/* Counters so far. False with an ERR line for NULL arguments. */
TORVI_API bool torvi_record_get_stats(const torvi_record_t *rec, torvi_record_stats_t *stats);
/* Stops taking frames, writes every queued frame, completes the file
 * (summary, indexes, footer) and frees the recording; `stats` (may be NULL)
 * receives the final counters. True when the file is complete; false with
 * an ERR line when writing failed (the file then holds what was written
 * before the failure). A WRN line reports dropped frames. NULL: false. */
TORVI_API bool torvi_record_stop(torvi_record_t *rec, torvi_record_stats_t *stats);

/* Link kind of a replayed camera (torvi_dev_t.if_type). */
enum { TORVI_LL_IF_REPLAY = 1 };

/* Replay flags. */
enum {
  TORVI_REPLAY_PACED =
      0, /* frames at the recorded pace; a slow reader loses frames as with a camera */
  TORVI_REPLAY_FAST = 1, /* as fast as the application takes them; none is lost */
  TORVI_REPLAY_LOOP = 2  /* start again at the end instead of ending the capture */
};

/* Opens the recording at `path` as a camera in the application's zeroed
 * record `dev` (as torvi_dev_open would: identity, driver, frame buffer).
 * A capture then streams the recorded frames through the ordinary path
 * (stream parser, capture engine, decode), from the first frame at every
 * capture start. At the end (without TORVI_REPLAY_LOOP) the capture stops:
 * getters hand out what is left and then return 0, torvi_cap_wait returns
 * true. A damaged or truncated file replays every intact frame; where
 * reading stopped is logged (WRN) and reported by torvi_replay_get_info.
 * Returns dev, or NULL with an ERR line when the file cannot be read, is not
 * an MCAP file, or holds no raw frames of this library. Parameter and
 * register reads are answered from the recording (registers it does not hold
 * fail); register writes within the recorded ones are read back, other
 * writes are accepted and ignored; data transfers fail. The recording's
 * calibration files are written into a private folder under the system's
 * temporary folder, which becomes dev->path_prefix, so the driver decodes with
 * the recorded calibration wherever the library's path prefix points; the
 * folder is removed at close. The recorded filter switches are made again,
 * so distances come out as they did on the recorded camera. */
TORVI_API torvi_dev_t *torvi_replay_open(const char *path, unsigned flags, torvi_dev_t *dev);

typedef struct torvi_replay_info {
  uint64_t frames_in_file;  /* intact raw frames found in the file */
  uint64_t frames_replayed; /* frames sent since the device was opened */
  uint64_t stop_offset;     /* byte where reading stopped; the file size when intact */
  uint32_t loops;           /* times the replay started again at the first frame */
  uint8_t intact;           /* 1: complete file without damage */
  uint8_t ended;            /* 1: the last capture reached the end of what is intact */
  uint8_t reserved[2];
  char reason[128]; /* why reading stopped or what was damaged; "" when intact */
} torvi_replay_info_t;

/* What a replayed camera has found and sent. False with an ERR line for
 * NULL arguments or a device that is not an open replay. */
TORVI_API bool torvi_replay_get_info(torvi_dev_t *dev, torvi_replay_info_t *info);

TORVI_END_DECLS

#endif /* TORVI_RECORD_H */
