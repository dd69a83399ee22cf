// The capture engine's calls into the stream parser.
#include <torvi/kx_stream.h>

#include <cstring>

#include "api/stream_glue_internal.h"

namespace torvi::stream {

kx_stream *create(uint32_t capacity) {
  const kx_stream_cfg_t cfg{capacity};
  return kx_stream_create(&cfg);
}

void destroy(kx_stream *s) { kx_stream_destroy(s); }

void set_capacity(kx_stream *s, uint32_t capacity) {
  const kx_stream_cfg_t cfg{capacity};
  kx_stream_set_cfg(s, &cfg);
}

uint32_t capacity(kx_stream *s) {
  kx_stream_cfg_t cfg{};
  return kx_stream_get_cfg(s, &cfg) != nullptr ? cfg.capacity : 0;
}

void reset(kx_stream *s) { kx_stream_reset(s); }

bool feed(kx_stream *s, const uint8_t *data, int len) {
  return kx_stream_feed_input(s, reinterpret_cast<const char *>(data), len);
}

unsigned fetch(kx_stream *s, uint8_t *dst, unsigned dst_len, unsigned max_frames,
               torvi_frame_hdr_t *first, bool peek) {
  const int n =
      kx_stream_fetch_frames(s, reinterpret_cast<char *>(dst), dst_len, max_frames, first, peek);
  return n > 0 ? static_cast<unsigned>(n) : 0;
}

unsigned ready(kx_stream *s) {
  const int n = kx_stream_fetch_frames(s, nullptr, 0, 0x7FFFFFFF, nullptr, true);
  return n > 0 ? static_cast<unsigned>(n) : 0;
}

void state(kx_stream *s, uint32_t (&out)[10]) {
  static_assert(sizeof(kx_stream_state_t) == sizeof out);
  kx_stream_state_t st{};
  kx_stream_get_state(s, &st);
  std::memcpy(out, &st, sizeof out);
}

}  // namespace torvi::stream
