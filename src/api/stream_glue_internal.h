// The capture engine's view of the stream parser: the few calls it makes.
#pragma once

#include <torvi/torvi_drv.h>

#include <cstdint>

struct kx_stream;

namespace torvi::stream {

// A parser with a frame buffer of `capacity` frames, or nullptr.
kx_stream *create(uint32_t capacity);
void destroy(kx_stream *s);
void set_capacity(kx_stream *s, uint32_t capacity);
uint32_t capacity(kx_stream *s);
void reset(kx_stream *s);
// True when frames are ready after this input.
bool feed(kx_stream *s, const uint8_t *data, int len);
// Takes (or with `peek` copies) up to `max_frames` ready frames into dst.
unsigned fetch(kx_stream *s, uint8_t *dst, unsigned dst_len, unsigned max_frames,
               torvi_frame_hdr_t *first, bool peek);
// Frames ready now.
unsigned ready(kx_stream *s);
// The ten-word state record.
void state(kx_stream *s, uint32_t (&out)[10]);

// Index of the discarded-frames word of the state record.
inline constexpr int kStateDiscarded = 2;

}  // namespace torvi::stream
