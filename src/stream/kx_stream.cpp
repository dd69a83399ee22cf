// C entry points of the stream parser: check arguments, log, call the core.
#include <torvi/kx_stream.h>

#include <memory>
#include <new>

#include "core/log_internal.h"
#include "stream/parser.h"

extern "C" {

TORVI_API kx_stream_t *kx_stream_create(const kx_stream_cfg_t *cfg) {
  if (cfg == nullptr) {
    KX_ERR("invalid argument: cfg is NULL\n");
    return nullptr;
  }
  try {
    return std::make_unique<kx_stream>(cfg->capacity).release();
  } catch (const std::bad_alloc &) {
    KX_ERR("out of memory\n");
    return nullptr;
  }
}

TORVI_API void kx_stream_destroy(kx_stream_t *s) { std::unique_ptr<kx_stream> owned(s); }

TORVI_API void kx_stream_set_cfg(kx_stream_t *s, const kx_stream_cfg_t *cfg) {
  if (s == nullptr || cfg == nullptr) {
    KX_ERR("invalid argument\n");
    return;
  }
  s->set_capacity(cfg->capacity);
}

TORVI_API kx_stream_cfg_t *kx_stream_get_cfg(kx_stream_t *s, kx_stream_cfg_t *cfg) {
  if (s == nullptr || cfg == nullptr) {
    KX_ERR("invalid argument\n");
    return nullptr;
  }
  cfg->capacity = s->capacity();
  return cfg;
}

TORVI_API void kx_stream_reset(kx_stream_t *s) {
  if (s == nullptr) {
    KX_ERR("invalid argument: stream is NULL\n");
    return;
  }
  s->reset();
}

TORVI_API bool kx_stream_feed_input(kx_stream_t *s, const char *data, int len) {
  if (s == nullptr || len < 0 || (data == nullptr && len > 0)) {
    KX_ERR("invalid argument: stream=%p data=%p len=%d\n", static_cast<void *>(s),
           static_cast<const void *>(data), len);
    return false;
  }
  try {
    return s->feed(reinterpret_cast<const uint8_t *>(data), static_cast<std::size_t>(len));
  } catch (const std::exception &e) {
    KX_ERR("%s\n", e.what());
    return false;
  }
}

TORVI_API int kx_stream_fetch_frames(kx_stream_t *s, char *dst, unsigned dst_len,
                                     unsigned max_frames, torvi_frame_hdr_t *first, bool peek) {
  if (s == nullptr) {
    KX_ERR("invalid argument: stream is NULL\n");
    return -1;
  }
  try {
    return static_cast<int>(
        s->fetch(reinterpret_cast<uint8_t *>(dst), dst_len, max_frames, first, peek));
  } catch (const std::exception &e) {
    KX_ERR("%s\n", e.what());
    return -1;
  }
}

TORVI_API kx_stream_state_t *kx_stream_get_state(kx_stream_t *s, kx_stream_state_t *st) {
  if (s == nullptr || st == nullptr) {
    KX_ERR("invalid argument\n");
    return nullptr;
  }
  *st = s->state();
  return st;
}

TORVI_API int _fr_node_add_data(kx_stream_t *s, const char *src, int size) {
  if (s == nullptr || size < 0 || (src == nullptr && size > 0)) {
    KX_ERR("invalid argument\n");
    return -1;
  }
  if (size > 0 && !s->header_known()) {
    KX_ERR("no stream header yet: %d bytes dropped\n", size);
    return 0;
  }
  return static_cast<int>(
      s->add_data(reinterpret_cast<const uint8_t *>(src), static_cast<std::size_t>(size), nullptr));
}

}  // extern "C"
