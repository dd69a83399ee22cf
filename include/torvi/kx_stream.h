/* Stream parser: cuts the camera's bulk byte stream into verified frames.
 *
 * The camera sends chunks, each a 36-byte little-endian stream header and a
 * payload:
 *   0  u16 magic 0x98FB (bytes FB 98)      2  u16 stream header index (sidx)
 *   4  u32 payload length (len <= 0xFFFFF)  8  u32 frame length (1..0x7FFFFFF)
 *   12 u16 frame index (fridx)              14 u16 frame format (<= 1023)
 *   16 u16 width, 18 u16 height, 20 i16 sensor temperature,
 *   22 i16 illumination temperature, 24 u32 further word (copied to the frame record)
 *   28 u32 payload checksum                 32 flags A: bit 0 start of frame
 *   33 flags B: bit 0 payload checksum present
 *   34 u16 Fletcher-16 over bytes 0..33 (sum2 * 256 + sum1, both mod 255)
 * The payload checksum is the sum modulo 2^32 of the payload's whole 32-bit
 * little-endian words, counted from the start of the chunk's payload (1 to 3
 * trailing bytes of a payload whose length is not a multiple of 4 are not
 * summed). It does not depend on how the stream is cut into input pieces.
 *
 * A frame of frlen bytes spans chunks (continuations repeat its fridx with
 * the start-of-frame bit clear), or one chunk carries several whole frames
 * (fridx, fridx + 1, ...). The result never depends on where the stream was
 * cut: bytes that are not a valid header are skipped and counted; a failed
 * payload checksum, a stream index out of sequence, a continuation of
 * another frame or a new frame while one is unfinished discard the frame
 * being built, and the parser resumes at the next start-of-frame header.
 * Frames of a chunk with a payload checksum are handed out only after the
 * checksum matched.
 *
 * Threads: one thread feeds (kx_stream_feed_input, kx_stream_reset); any
 * number of threads may fetch (kx_stream_fetch_frames) and read the state at
 * the same time. kx_stream_set_cfg may be called only while nobody feeds. */
#ifndef KX_STREAM_H
#define KX_STREAM_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <torvi/torvi_export.h>
#include <torvi/torvi_frame_hdr.h>

TORVI_BEGIN_DECLS

/* The parser record: allocated by kx_stream_create and freed only by
 * kx_stream_destroy; the caller holds the handle in between. The frames it
 * holds belong to the parser. */
typedef struct kx_stream kx_stream_t;

/* Configuration: the frame buffer's capacity in frames. */
typedef struct kx_stream_cfg {
  uint32_t capacity;
} kx_stream_cfg_t;
TORVI_STATIC_ASSERT(sizeof(kx_stream_cfg_t) == 4, "one 32-bit word");

/* Counters, ten 32-bit words in this order. */
typedef struct kx_stream_state {
  uint32_t frames_assembled; /* 0: a frame's buffer became full */
  uint32_t frames_completed; /* 1: moved to the ready list, total */
  uint32_t frames_discarded; /* 2: damaged or incomplete frames thrown away */
  uint32_t frames_dropped;   /* 3: oldest frames dropped because the buffer was full */
  uint32_t frames_ready;     /* 4: frames in the buffer now */
  uint32_t reserved5;        /* 5: zero */
  uint32_t
      bytes_discarded; /* 6: skipped while searching, plus bytes of discarded and dropped frames */
  uint32_t reserved7;  /* 7: zero */
  uint32_t time_sec;   /* 8: creation or last reset, seconds */
  uint32_t time_usec;  /* 9: and microseconds */
} kx_stream_state_t;

TORVI_STATIC_ASSERT(sizeof(kx_stream_state_t) == 40, "ten 32-bit words");
TORVI_STATIC_ASSERT(offsetof(kx_stream_state_t, frames_discarded) == 8, "word 2");
TORVI_STATIC_ASSERT(offsetof(kx_stream_state_t, bytes_discarded) == 24, "word 6");
TORVI_STATIC_ASSERT(offsetof(kx_stream_state_t, time_usec) == 36, "word 9");

/* Creates a parser with the configured capacity (cfg is only read). NULL
 * when cfg is NULL or memory runs out. */
TORVI_API kx_stream_t *kx_stream_create(const kx_stream_cfg_t *cfg);

/* Frees the parser, every frame it holds and its lock. NULL is ignored. No
 * other thread may use the parser during or after the call. */
TORVI_API void kx_stream_destroy(kx_stream_t *s);

/* Sets the capacity (takes effect with the next completed frame). */
TORVI_API void kx_stream_set_cfg(kx_stream_t *s, const kx_stream_cfg_t *cfg);

/* Reads the capacity into cfg and returns cfg (NULL on bad arguments). */
TORVI_API kx_stream_cfg_t *kx_stream_get_cfg(kx_stream_t *s, kx_stream_cfg_t *cfg);

/* Back to the initial state: counters cleared, every frame freed, header
 * search from scratch, time stamp now. A parser that was discarding keeps
 * discarding until the next start-of-frame header. */
TORVI_API void kx_stream_reset(kx_stream_t *s);

/* Parses the next len bytes of the stream. Returns true when at least one
 * frame is ready after this input; false also on bad arguments. */
TORVI_API bool kx_stream_feed_input(kx_stream_t *s, const char *data, int len);

/* Takes (peek false) or copies without taking (peek true) up to max_frames
 * ready frames, oldest first. Their bytes go to the caller's dst one after
 * another, cut to dst_len in all; dst may be NULL (frames taken without a
 * copy are dropped). The first frame's record goes to first when given.
 * Peek with dst NULL only counts. Returns the number of frames taken or
 * peeked, -1 on bad arguments. */
TORVI_API int kx_stream_fetch_frames(kx_stream_t *s, char *dst, unsigned dst_len,
                                     unsigned max_frames, torvi_frame_hdr_t *first, bool peek);

/* Copies the counters into st and returns st (NULL on bad arguments). */
TORVI_API kx_stream_state_t *kx_stream_get_state(kx_stream_t *s, kx_stream_state_t *st);

/* Appends payload bytes of the current chunk to the frames being built,
 * cutting them into frames of the current header's frame length. Meant for
 * the parser itself. Returns the number of bytes stored (fewer when memory
 * runs out; 0 before any header was accepted), -1 on bad arguments. */
TORVI_API int _fr_node_add_data(kx_stream_t *s, const char *src, int size);

TORVI_END_DECLS

#endif /* KX_STREAM_H */
