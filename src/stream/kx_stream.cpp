// C entry points of the stream parser: check arguments, call the core.
#include <torvi/kx_stream.h>

#include <memory>

#include "core/c_entry.h"
#include "stream/parser.h"

using torvi::c_entry;
using torvi::c_entry_void;
using torvi::check_arg;

extern "C" {

TORVI_API kx_stream_t *kx_stream_create(const kx_stream_cfg_t *cfg) {
  return c_entry<kx_stream_t *>(__func__, nullptr, [&] {
    check_arg(cfg != nullptr, "cfg is NULL");
    return std::make_unique<kx_stream>(cfg->capacity).release();
  });
}

TORVI_API void kx_stream_destroy(kx_stream_t *s) {
  c_entry_void(__func__, [&] { std::unique_ptr<kx_stream> owned(s); });
}

TORVI_API void kx_stream_set_cfg(kx_stream_t *s, const kx_stream_cfg_t *cfg) {
  c_entry_void(__func__, [&] {
    check_arg(s != nullptr && cfg != nullptr, "stream=%p cfg=%p", static_cast<void *>(s),
              static_cast<const void *>(cfg));
    s->set_capacity(cfg->capacity);
  });
}

TORVI_API kx_stream_cfg_t *kx_stream_get_cfg(kx_stream_t *s, kx_stream_cfg_t *cfg) {
  return c_entry<kx_stream_cfg_t *>(__func__, nullptr, [&] {
    check_arg(s != nullptr && cfg != nullptr, "stream=%p cfg=%p", static_cast<void *>(s),
              static_cast<void *>(cfg));
    cfg->capacity = s->capacity();
    return cfg;
  });
}

TORVI_API void kx_stream_reset(kx_stream_t *s) {
  c_entry_void(__func__, [&] {
    check_arg(s != nullptr, "stream is NULL");
    s->reset();
  });
}

TORVI_API bool kx_stream_feed_input(kx_stream_t *s, const char *data, int len) {
  return c_entry(__func__, false, [&] {
    check_arg(s != nullptr && len >= 0 && (data != nullptr || len == 0), "stream=%p data=%p len=%d",
              static_cast<void *>(s), static_cast<const void *>(data), len);
    return s->feed(reinterpret_cast<const uint8_t *>(data), static_cast<std::size_t>(len));
  });
}

TORVI_API int kx_stream_fetch_frames(kx_stream_t *s, char *dst, unsigned dst_len,
                                     unsigned max_frames, torvi_frame_hdr_t *first, bool peek) {
  return c_entry(__func__, -1, [&] {
    check_arg(s != nullptr, "stream is NULL");
    return static_cast<int>(
        s->fetch(reinterpret_cast<uint8_t *>(dst), dst_len, max_frames, first, peek));
  });
}

TORVI_API kx_stream_state_t *kx_stream_get_state(kx_stream_t *s, kx_stream_state_t *st) {
  return c_entry<kx_stream_state_t *>(__func__, nullptr, [&] {
    check_arg(s != nullptr && st != nullptr, "stream=%p state=%p", static_cast<void *>(s),
              static_cast<void *>(st));
    *st = s->state();
    return st;
  });
}

TORVI_API int _fr_node_add_data(kx_stream_t *s, const char *src, int size) {
  KX_LOG_NAME("_fr_node_add_data");
  return c_entry(__func__, -1, [&] {
    check_arg(s != nullptr && size >= 0 && (src != nullptr || size == 0),
              "stream=%p src=%p size=%d", static_cast<void *>(s), static_cast<const void *>(src),
              size);
    if (size > 0 && !s->header_known()) {
      KX_ERR("no stream header yet: %d bytes dropped\n", size);
      return 0;
    }
    return static_cast<int>(s->add_data(reinterpret_cast<const uint8_t *>(src),
                                        static_cast<std::size_t>(size), nullptr));
  });
}

}  // extern "C"
