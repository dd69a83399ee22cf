// The exported capture calls: frame buffer and callbacks, start and stop,
// and the doors to the getters and the wait (capture_handout.cpp).
#include <algorithm>
#include <cstring>
#include <mutex>

#include "api/capture_internal.h"
#include "core/c_entry.h"
#include "core/log_internal.h"
#include "ll/usb/protocol.h"
#include "stream/parser.h"

namespace torvi::capture {

bool stop_if_capturing(torvi_dev_priv_t *p) {
  KX_LOG_NAME("_torvi_cap_stop");
  if (!capturing(p)) return true;
  KX_TRC("Enter\n");
  torvi::store(p->stop, 1);
  bool stopped = torvi_ll_cap_stop(&p->ll);
  const int32_t ended_by = p->mutex->stream_end.load();
  if (!stopped && ended_by == TORVI_ERR_CAP_UNKNOWN) {
    // The transport ended the stream (the camera left the bus): no transfer
    // cycles any more, and a stop command can never reach the camera.
    KX_WRN("the stream already ended (%s): capture counted as stopped\n",
           torvi_error_name(ended_by));
    stopped = true;
  }
  // The capturing flag changes before the waiters wake, so that they see it.
  torvi::store<uint8_t>(p->capturing, stopped ? 0 : 1);
  wake_waiters(p);
  KX_TRC("Exit\n");
  return stopped;
}

namespace {

using torvi::usb::kParamFrameRate;

// Caches the camera's frame rate for the getters' deadlines; a failed read
// keeps the cache.
void read_frame_rate(torvi_dev_priv_t *p) {
  torvi_ll_param_t rate{};
  rate.id = kParamFrameRate;
  if (torvi::param_get_wire(p, &rate, 1)) {
    uint32_t fps = 0;
    std::memcpy(&fps, rate.val, sizeof fps);
    torvi::cached_frame_rate(p).store(fps);
  }
}

// Clears the capture state of the last capture and the parser, and numbers
// the next capture; returns its number.
uintptr_t reset_capture_state(torvi_dev_priv_t *p) {
  const std::lock_guard lock(p->mutex->event_mu);
  torvi::store(p->timeout_cnt, 0u);
  torvi::store(p->stall_cnt, 0u);
  torvi::store(p->discard_cnt, 0u);
  torvi::store(p->pending_err, 0);
  torvi::store<uint8_t>(p->forced_stop, 0);
  torvi::store(p->err_param, 0);
  std::memset(p->stream_state, 0, sizeof p->stream_state);
  p->stream->reset();
  return ++p->mutex->capture_gen;
}

// The start steps after the device checks.
bool start(torvi_dev_t *dev) {
  KX_LOG_NAME("_torvi_cap_start");
  torvi_dev_priv_t *p = dev->priv;
  stop_if_capturing(p);
  read_frame_rate(p);
  if (p->stream == nullptr || p->stream->capacity() < 2) {
    KX_ERR(" capture buffer not set or size is not correct \n");
    return false;
  }
  KX_TRC("Enter ... \n");
  // A start that fails keeps the error that ended the last capture.
  const int32_t last_err = torvi::load(p->pending_err);
  const int32_t last_param = torvi::load(p->err_param);
  const int32_t last_end = p->mutex->stream_end.load();
  const uintptr_t capture = reset_capture_state(p);
  p->mutex->stream_end.store(0);
  torvi::store(p->stop, 0);
  KX_DBG("issue start cmd\n");
  const bool ok =
      torvi_ll_cap_start(&p->ll, p->cap_arg, on_capture_event, reinterpret_cast<void *>(capture));
  if (ok) {
    torvi::store<uint8_t>(p->capturing, 1);
  } else {
    torvi::store(p->stop, 1);
    if (last_err < 0) {
      torvi::store(p->err_param, last_param);
      torvi::store(p->pending_err, last_err);
      p->mutex->stream_end.store(last_end);
    }
  }
  return ok;
}

}  // namespace
}  // namespace torvi::capture

using torvi::capture::capturing;

extern "C" {

TORVI_API bool torvi_cap_set_frame_buffer(torvi_dev_t *dev, void * /*frame_buf*/,
                                          int frame_buf_size) {
  return torvi::c_entry(__func__, false, [&] {
    KX_LOG_NAME("torvi_cap_set_frame_buffer");
    if (dev == nullptr) return false;
    torvi::BusyScope busy(dev);
    if (!torvi::dev_is_open(dev) || capturing(dev->priv)) {
      KX_ERR(" Set frame buffer is not allowed when device is not open or is capturing\n");
      return false;
    }
    torvi::check_arg(frame_buf_size >= 0, "frame_buf_size=%d", frame_buf_size);
    const auto frames = static_cast<uint32_t>(frame_buf_size) / TORVI_CAP_FRAME_BYTES;
    dev->priv->stream->set_capacity(frames);
    KX_DBG("frame buffer: %d frames\n", static_cast<int>(frames));
    dev->priv->cap_arg = 0;
    return true;
  });
}

TORVI_API bool torvi_cap_get_frame_buffer(torvi_dev_t *dev, void **frame_buf, int *frame_buf_size) {
  return torvi::c_entry(__func__, false, [&] {
    torvi::BusyScope busy(dev);
    torvi::check_arg(torvi::dev_is_open(dev), "device not open");
    if (frame_buf != nullptr) *frame_buf = nullptr;
    if (frame_buf_size != nullptr) {
      const uint64_t bytes = uint64_t{dev->priv->stream->capacity()} * TORVI_CAP_FRAME_BYTES;
      *frame_buf_size = static_cast<int>(std::min<uint64_t>(bytes, INT32_MAX));
    }
    return true;
  });
}

TORVI_API void torvi_cap_set_callback_on_frame_ready(torvi_dev_t *dev, torvi_cap_frdy_cb_t cb) {
  torvi::c_entry_void(__func__, [&] {
    KX_LOG_NAME("torvi_cap_set_callback_on_frame_ready");
    torvi::BusyScope busy(dev);
    torvi::check_arg(torvi::dev_is_open(dev), "device not open");
    dev->priv->on_frame_ready = cb;
    KX_DBG("set on_cap_frdy to %p\n", reinterpret_cast<void *>(cb));
  });
}

TORVI_API void torvi_cap_set_callback_on_error(torvi_dev_t *dev, torvi_cap_err_cb_t cb) {
  torvi::c_entry_void(__func__, [&] {
    KX_LOG_NAME("torvi_cap_set_callback_on_error");
    torvi::BusyScope busy(dev);
    torvi::check_arg(torvi::dev_is_open(dev), "device not open");
    dev->priv->on_error = cb;
    KX_DBG("set on_cap_err to %p\n", reinterpret_cast<void *>(cb));
  });
}

TORVI_API bool torvi_cap_get_frame_hdr(torvi_dev_t *dev, torvi_frame_hdr_t *hdr) {
  return torvi::c_entry(__func__, false, [&] {
    torvi::check_arg(dev != nullptr && hdr != nullptr, "dev=%p, hdr=%p", static_cast<void *>(dev),
                     static_cast<void *>(hdr));
    torvi::BusyScope busy(dev);
    torvi::check_arg(torvi::dev_is_open(dev), "device not open");
    torvi_mutex *m = dev->priv->mutex;
    const std::lock_guard lock(m->hdr_mu);
    if (!m->has_hdr) return false;
    *hdr = m->last_hdr;
    return true;
  });
}

TORVI_API bool torvi_cap_is_ongoing(torvi_dev_t *dev) {
  return torvi::c_entry(__func__, false, [&] {
    torvi::BusyScope busy(dev);
    return torvi::dev_is_open(dev) && capturing(dev->priv);
  });
}

TORVI_API bool torvi_cap_start(torvi_dev_t *dev) {
  return torvi::c_entry(__func__, false, [&] {
    KX_LOG_NAME("torvi_cap_start");
    torvi::BusyScope busy(dev);
    if (!torvi::dev_is_open(dev)) {
      KX_ERR(" Device handler Is NULL!\r\n");
      return false;
    }
    return torvi::capture::start(dev);
  });
}

TORVI_API bool torvi_cap_stop(torvi_dev_t *dev) {
  return torvi::c_entry(__func__, false, [&] {
    KX_LOG_NAME("torvi_cap_stop");
    KX_DBG("Enter\n");
    torvi::BusyScope busy(dev);
    if (!torvi::dev_is_open(dev)) {
      KX_ERR(" Device handler Is NULL!\r\n");
      return false;
    }
    // A refused stop leaves the capture running (capturing stays set, the
    // stop flag holds the getters) and is reported, so the caller can retry.
    if (!torvi::capture::stop_if_capturing(dev->priv)) {
      KX_ERR("the camera refused the stop command\n");
      return false;
    }
    return true;
  });
}

TORVI_API int torvi_cap_get_frames(torvi_dev_t *dev, unsigned frame_num, void *frame_data,
                                   unsigned frame_dlen, torvi_frame_info_t *first_frame_info) {
  return torvi::c_entry(__func__, -1, [&] {
    return torvi::capture::get_frames(dev, frame_num, frame_data, frame_dlen, first_frame_info);
  });
}

TORVI_API int torvi_cap_get_frame(torvi_dev_t *dev, void *frame_data, unsigned frame_dlen,
                                  torvi_frame_info_t *frame_info) {
  return torvi::c_entry(__func__, -1, [&] {
    return torvi::capture::get_frame_now(dev, frame_data, frame_dlen, frame_info);
  });
}

TORVI_API bool torvi_cap_snapshot(torvi_dev_t *dev, void *frame_data, unsigned frame_dlen,
                                  torvi_frame_info_t *frame_info) {
  return torvi::c_entry(__func__, false, [&] {
    KX_LOG_NAME("torvi_cap_snapshot");
    torvi::BusyScope busy(dev);
    if (!torvi::dev_is_open(dev)) {
      KX_ERR("wrong parameters\n");
      return false;
    }
    using torvi::capture::get_frames;
    if (capturing(dev->priv)) return get_frames(dev, 1, frame_data, frame_dlen, frame_info) > 0;
    if (!torvi_cap_start(dev)) return false;
    const int got = get_frames(dev, 1, frame_data, frame_dlen, frame_info);
    torvi_cap_stop(dev);
    return got > 0;
  });
}

TORVI_API bool torvi_cap_wait(torvi_dev_t *dev, int timeout_msec) {
  return torvi::c_entry(__func__, false,
                        [&] { return torvi::capture::wait_for_stop(dev, timeout_msec); });
}

}  // extern "C"
