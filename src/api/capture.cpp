// The capture engine: streaming start and stop, the transport's event
// handler, and the hand-over of ready frames on the application's threads.
#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_dev_priv.h>
#include <torvi/torvi_ll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>

#include "api/dev_internal.h"
#include "core/c_entry.h"
#include "core/clock.h"
#include "core/log_internal.h"
#include "stream/parser.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr uint32_t kMaxTimeouts = 32;  // tolerated over a whole capture
constexpr uint32_t kMaxStalls = 16;    // tolerated in a row without data
constexpr size_t kScratchBytes = 0x400000;
constexpr uint32_t kNoLimit = 0x7FFFFFFF;
constexpr uint32_t kParamFrameRate = 12;
constexpr uint32_t kDefaultFrameRate = 20;
constexpr unsigned kDefaultFrameMs = 50;

void signal_waiters(torvi_dev_priv_t *p) {
  std::lock_guard lock(p->mutex->mu);
  p->cond->cv.notify_all();
}

// Clears the pending error only if it still holds `seen`, so that an error
// reported meanwhile by the event thread is not lost.
void clear_pending(torvi_dev_priv_t *p, int32_t seen) {
  std::atomic_ref<int32_t>(p->pending_err).compare_exchange_strong(seen, 0);
}

void stop_with_error(torvi_dev_priv_t *p, int32_t err) {
  torvi::store(p->stop, 1);
  torvi::store(p->pending_err, err);
  torvi::store(p->err_param, 0);
  torvi_ll_cap_abort(&p->ll);
}

// Reports frames that the parser discarded since the last event. A discard
// report never replaces an error that stopped the capture.
void report_discards(torvi_dev_priv_t *p) {
  static_assert(sizeof(kx_stream_state_t) == sizeof p->stream_state);
  const kx_stream_state_t st = p->stream->state();
  kx_stream_state_t last{};
  std::memcpy(&last, p->stream_state, sizeof last);
  const uint32_t seen = last.frames_discarded;
  const uint32_t now = st.frames_discarded;
  if (now > seen) {
    kx_log(KX_LOG_DBG, "DBG", "[%s] trans discard %d frames\n", "on_capture_event",
           static_cast<int>(now - seen));
    torvi::store(p->discard_cnt, now);
    torvi::store(p->err_param, static_cast<int32_t>(now));
    int32_t expected = 0;
    if (!std::atomic_ref<int32_t>(p->pending_err).compare_exchange_strong(expected, 3) &&
        expected > 0) {
      torvi::store(p->pending_err, int32_t{TORVI_ERR_CAP_FRAME_DISCARD});
    }
  }
  std::memcpy(p->stream_state, &st, sizeof st);
}

// Runs on the transport's event thread for every completed transfer.
int on_capture_event(torvi_ll_t *ll, int32_t event, uint8_t *data, int len, void * /*dev*/) {
  auto *p = reinterpret_cast<torvi_dev_priv_t *>(ll);
  switch (event) {
    case TORVI_LL_CAP_OK:
      torvi::store(p->stall_cnt, 0u);
      if (data != nullptr && len > 0 && p->stream->feed(data, static_cast<size_t>(len)))
        signal_waiters(p);
      break;
    case TORVI_LL_CAP_CANCELLED:
      torvi::store(p->stop, 1);
      torvi_ll_cap_abort(ll);
      break;
    case TORVI_LL_CAP_TIMEOUT: {
      // A timed-out transfer may still carry the bytes received before the
      // time ran out: they belong to the stream.
      if (data != nullptr && len > 0 && p->stream->feed(data, static_cast<size_t>(len)))
        signal_waiters(p);
      const uint32_t n = std::atomic_ref<uint32_t>(p->timeout_cnt).fetch_add(1) + 1;
      if (torvi::load(p->stop) == 0 && n > kMaxTimeouts) {
        kx_log(KX_LOG_WRN, "WRN", "[%s] trans timeout -> stop\n", "on_capture_event");
        stop_with_error(p, TORVI_ERR_CAP_TIMEOUT);
      }
      break;
    }
    case TORVI_LL_CAP_STALL: {
      const uint32_t n = std::atomic_ref<uint32_t>(p->stall_cnt).fetch_add(1) + 1;
      if (torvi::load(p->stop) == 0 && n > kMaxStalls) {
        kx_log(KX_LOG_WRN, "WRN", "[%s] trans stall -> stop\n", "on_capture_event");
        stop_with_error(p, TORVI_ERR_CAP_STALL);
      }
      break;
    }
    default:
      torvi::store(p->pending_err, event);
      torvi::store(p->err_param, 0);
      if (std::atomic_ref<int32_t>(p->stop).exchange(1) == 0) torvi_ll_cap_abort(ll);
      signal_waiters(p);
      return 0;
  }
  report_discards(p);
  if (torvi::load(p->pending_err) != 0) signal_waiters(p);
  return 0;
}

// Runs the error callback for a pending error. False when the callback
// stopped the capture.
bool run_error_callback(torvi_dev_t *dev, torvi_dev_priv_t *p) {
  const int32_t err = torvi::load(p->pending_err);
  if (p->on_error == nullptr || err == 0) return true;
  kx_log(KX_LOG_TRC, "TRC", "[%s] error cb invoke: %s\n", "_cap_handle_rdy_data",
         torvi_error_name(err));
  const bool go_on = p->on_error(dev, err, torvi::load(p->err_param));
  if (!go_on) {
    kx_log(KX_LOG_DBG, "DBG", "[%s] error cb return false to stop capture\n",
           "_cap_handle_rdy_data");
    torvi::store(p->stop, 1);
    torvi::store<uint8_t>(p->forced_stop, 1);
  }
  clear_pending(p, err);
  return go_on;
}

void describe_frame(torvi_dev_priv_t *p, const torvi_frame_hdr_t &hdr) {
  const torvi_drv_ops_t *ops = p->drv != nullptr ? p->drv->ops : nullptr;
  if (ops == nullptr || ops->frame_get_info == nullptr ||
      !ops->frame_get_info(p->drv, &p->frame_info, &hdr)) {
    kx_log(KX_LOG_ERR, "ERR", "[%s]  driver frame_get_info failed!\n", "_cap_handle_rdy_data");
    p->frame_info = torvi_frame_info_t{};
  }
  const std::lock_guard lock(p->mutex->hdr_mu);
  p->mutex->last_hdr = hdr;
  p->mutex->has_hdr = true;
}

void call_frame_ready(torvi_dev_t *dev, torvi_dev_priv_t *p, void *frame_data) {
  torvi_cap_frame frame{p->frame_info, frame_data};
  const unsigned idx = p->frame_info.frame_idx;
  kx_log(KX_LOG_TRC, "TRC", "[%s] frdy cb invoke: %u,%u\n", "_cap_handle_rdy_data", idx, idx);
  const auto t0 = SteadyClock::now();
  p->on_frame_ready(dev, &frame);
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - t0).count();
  kx_log(KX_LOG_DBG, "DBG", "[%s] frdy cb (%u,%u) spends: %d.%03u ms\n", "_cap_handle_rdy_data",
         idx, idx, static_cast<int>(us / 1000), static_cast<unsigned>(us % 1000));
}

// A frame request still waiting for frames.
torvi_cap_req *open_request(torvi_dev_priv_t *p) {
  return p->req != nullptr && p->req->remaining > 0 ? p->req : nullptr;
}

// Whether someone takes the ready frames now: a request that wants frames or
// the frame-ready callback. Frames nobody takes stay in the frame buffer.
bool has_consumer(torvi_dev_priv_t *p) {
  return open_request(p) != nullptr || p->on_frame_ready != nullptr;
}

// The handling call's scratch buffer, grown to hold at least `need` bytes.
// Null (with an ERR line) when memory runs out.
class Scratch {
 public:
  uint8_t *get(size_t need) {
    if (size_ >= need && buf_) return buf_.get();
    const size_t size = std::max(need, kScratchBytes);
    try {
      buf_ = std::make_unique_for_overwrite<uint8_t[]>(size);
    } catch (const std::bad_alloc &) {
      kx_log(KX_LOG_ERR, "ERR", "[%s] malloc failed\n", "_cap_handle_rdy_data");
      buf_.reset();
      size_ = 0;
      return nullptr;
    }
    size_ = size;
    return buf_.get();
  }
  size_t size() const { return size_; }

 private:
  std::unique_ptr<uint8_t[]> buf_;
  size_t size_ = 0;
};

// Length of the next ready frame, without taking it.
uint32_t next_frame_len(torvi_dev_priv_t *p) {
  torvi_frame_hdr_t hdr{};
  uint8_t none = 0;  // a peek copies no byte into a zero-length destination
  return p->stream->fetch(&none, 0, 1, &hdr, true) != 0 ? hdr.frlen : 0;
}

// Hands ready frames to the active request and the frame-ready callback.
// The callback always sees a whole frame: when the request's room left is
// shorter than the frame, the frame goes to the scratch buffer and the
// request receives the part that fits.
void handle_ready(torvi_dev_t *dev, uint32_t limit) {
  torvi_dev_priv_t *p = dev->priv;
  if (!run_error_callback(dev, p) || torvi::load(p->forced_stop) != 0) {
    kx_log(KX_LOG_TRC, "TRC", "[%s] error callback force cap to stop\n", "_cap_handle_rdy_data");
    return;
  }
  if (limit == 0 || p->stream->ready_frames() == 0) return;
  Scratch scratch;
  unsigned taken = 0;
  while (has_consumer(p)) {
    torvi_cap_req *req = open_request(p);
    const bool to_request = req != nullptr && req->pos != nullptr;
    uint8_t *dst = nullptr;
    unsigned dst_len = 0;
    bool via_scratch = false;
    if (p->on_frame_ready != nullptr) {
      const uint32_t need = next_frame_len(p);
      if (!to_request || req->left < need) {
        dst = scratch.get(need);
        if (dst == nullptr) return;  // the frame stays in the parser
        dst_len = static_cast<unsigned>(std::min<size_t>(scratch.size(), UINT32_MAX));
        via_scratch = to_request;
      }
    }
    if (dst == nullptr && to_request) {
      dst = req->pos;
      dst_len = req->left;
    }
    torvi_frame_hdr_t hdr{};
    if (p->stream->fetch(dst, dst_len, 1, &hdr, false) == 0) break;
    ++taken;
    describe_frame(p, hdr);
    if (req != nullptr) {
      if (req->remaining == req->requested && req->first_info != nullptr) {
        *req->first_info = p->frame_info;
      }
      if (req->pos != nullptr) {
        // A frame longer than the room left is cut; later frames of the
        // request are counted but find no room, so nothing is overwritten.
        const uint32_t written = std::min(hdr.frlen, req->left);
        if (via_scratch && written > 0) std::memcpy(req->pos, dst, written);
        req->pos += written;
        req->left -= written;
      }
      --req->remaining;
    }
    if (p->on_frame_ready != nullptr) call_frame_ready(dev, p, dst);
  }
  const torvi_cap_req *req = p->req;
  kx_log(KX_LOG_TRC, "TRC", "[%s] handle %u ready frames (reqmax: %d, rem: %d)\n",
         "_cap_handle_rdy_data", taken, static_cast<int>(limit),
         req != nullptr ? static_cast<int>(req->remaining) : static_cast<int>(limit));
}

// Whether a waiter has something to do without sleeping.
bool wake_reason(torvi_dev_priv_t *p) {
  if (torvi::load(p->stop) != 0) return true;
  if (p->on_error != nullptr && torvi::load(p->pending_err) != 0) return true;
  return has_consumer(p) && p->stream->ready_frames() > 0;
}

// Sleeps until something happens or the deadline passes. False on timeout.
bool wait_event(torvi_dev_priv_t *p, const SteadyClock::time_point *deadline) {
  std::unique_lock lock(p->mutex->mu);
  if (wake_reason(p)) return true;
  if (deadline == nullptr) {
    p->cond->cv.wait(lock);
    return true;
  }
  return p->cond->cv.wait_until(lock, *deadline) == std::cv_status::no_timeout || wake_reason(p);
}

SteadyClock::time_point deadline_after(uint64_t ms) {
  return SteadyClock::now() + std::chrono::milliseconds(ms);
}

// Installs a frame request for the lifetime of a getter.
class RequestScope {
 public:
  RequestScope(torvi_dev_priv_t *p, torvi_cap_req *req) : p_(p) { p_->req = req; }
  ~RequestScope() { p_->req = nullptr; }
  RequestScope(const RequestScope &) = delete;
  RequestScope &operator=(const RequestScope &) = delete;

 private:
  torvi_dev_priv_t *p_;
};

bool capturing(torvi_dev_priv_t *p) { return torvi::load(p->capturing) != 0; }

void log_not_capturing(const char *who) {
  kx_log(KX_LOG_TRC, "TRC", "[%s] device is not capturing\n", who);
}

int get_frames(torvi_dev_t *dev, unsigned frame_num, void *frame_data, unsigned frame_dlen,
               torvi_frame_info_t *first_info) {
  static constexpr const char *kFn = "_torvi_cap_get_frames";
  if (dev == nullptr) {
    kx_log(KX_LOG_DBG, "DBG", "[%s] Wrong params\n", kFn);
    return -1;
  }
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev) || frame_num == 0) {
    kx_log(KX_LOG_DBG, "DBG", "[%s] Wrong params\n", kFn);
    return -1;
  }
  torvi_dev_priv_t *p = dev->priv;
  unsigned per_frame_ms = kDefaultFrameMs;
  std::atomic<uint32_t> &rate = torvi::cached_frame_rate(p);
  const uint32_t fps = rate.load();
  if (fps == 0) {
    rate.store(kDefaultFrameRate);
  } else {
    per_frame_ms = 1000 / fps;
  }
  const uint64_t timeout_ms = uint64_t{frame_num} * 100 + uint64_t{frame_num} * per_frame_ms + 2000;
  const auto deadline = deadline_after(timeout_ms);
  kx_log(KX_LOG_TRC, "TRC", "[%s] frame_num = %d, timeout_msec=%d\n", kFn,
         static_cast<int>(frame_num), static_cast<int>(std::min<uint64_t>(timeout_ms, INT32_MAX)));
  torvi_cap_req req{frame_num, frame_num, static_cast<uint8_t *>(frame_data), frame_dlen,
                    first_info};
  RequestScope scope(p, &req);
  // After a capture error, frames still buffered are delivered first; the
  // error is returned once none is left for this request.
  const int32_t pending = torvi::load(p->pending_err);
  if (pending < 0) {
    handle_ready(dev, frame_num);
    return req.remaining < req.requested ? static_cast<int>(req.requested - req.remaining)
                                         : pending;
  }
  while (torvi::load(p->stop) == 0) {
    if (!wait_event(p, &deadline)) {
      kx_log(KX_LOG_INF, "INF", "[%s]  timeout ... (%s)\n", kFn, std::strerror(ETIMEDOUT));
      break;
    }
    handle_ready(dev, req.remaining);
    if (req.remaining == 0) break;
  }
  if (!capturing(p)) {
    log_not_capturing(kFn);
    handle_ready(dev, req.remaining);
    // Frames handed over before the capture ended are the caller's.
    return req.remaining < req.requested ? static_cast<int>(req.requested - req.remaining) : -2;
  }
  handle_ready(dev, req.remaining);
  const int delivered = static_cast<int>(req.requested - req.remaining);
  // A capture stopped by an error before any frame came reports the error.
  const int32_t err = torvi::load(p->pending_err);
  return delivered == 0 && err < 0 ? err : delivered;
}

}  // namespace

namespace torvi {

std::atomic<uint32_t> &cached_frame_rate(torvi_dev_priv_t *priv) { return priv->mutex->frame_rate; }

bool cap_stop_locked(torvi_dev_t *dev, const char *who) {
  torvi_dev_priv_t *p = dev->priv;
  if (!capturing(p)) return true;
  kx_log(KX_LOG_TRC, "TRC", "[%s] Enter\n", who);
  store(p->stop, 1);
  const bool stopped = torvi_ll_cap_stop(&p->ll);
  // The capturing flag changes before the waiters wake, so that they see it.
  store<uint8_t>(p->capturing, stopped ? 0 : 1);
  {
    std::lock_guard lock(p->mutex->mu);
    p->cond->cv.notify_all();
  }
  kx_log(KX_LOG_TRC, "TRC", "[%s] Exit\n", who);
  return stopped;
}

}  // namespace torvi

extern "C" {

TORVI_API bool torvi_cap_set_frame_buffer(torvi_dev_t *dev, void * /*frame_buf*/,
                                          int frame_buf_size) {
  if (dev == nullptr) return false;
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev) || capturing(dev->priv)) {
    kx_log(KX_LOG_ERR, "ERR",
           "[%s]  Set frame buffer is not allowed when device is not open or is capturing\n",
           "torvi_cap_set_frame_buffer");
    return false;
  }
  if (frame_buf_size < 0) {
    KX_ERR("wrong params: frame_buf_size=%d\n", frame_buf_size);
    return false;
  }
  const auto frames = static_cast<uint32_t>(frame_buf_size) / TORVI_CAP_FRAME_BYTES;
  dev->priv->stream->set_capacity(frames);
  kx_log(KX_LOG_DBG, "DBG", "[%s] frame buffer: %d frames\n", "torvi_cap_set_frame_buffer",
         static_cast<int>(frames));
  dev->priv->cap_arg = 0;
  return true;
}

TORVI_API bool torvi_cap_get_frame_buffer(torvi_dev_t *dev, void **frame_buf, int *frame_buf_size) {
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev)) {
    KX_ERR("wrong params: device not open\n");
    return false;
  }
  if (frame_buf != nullptr) *frame_buf = nullptr;
  if (frame_buf_size != nullptr) {
    const uint64_t bytes = uint64_t{dev->priv->stream->capacity()} * TORVI_CAP_FRAME_BYTES;
    *frame_buf_size = static_cast<int>(std::min<uint64_t>(bytes, INT32_MAX));
  }
  return true;
}

TORVI_API void torvi_cap_set_callback_on_frame_ready(torvi_dev_t *dev, torvi_cap_frdy_cb_t cb) {
  if (dev == nullptr || dev->priv == nullptr) {
    KX_ERR("wrong params: device not open\n");
    return;
  }
  dev->priv->on_frame_ready = cb;
  kx_log(KX_LOG_DBG, "DBG", "[%s] set on_cap_frdy to %p\n", "torvi_cap_set_callback_on_frame_ready",
         reinterpret_cast<void *>(cb));
}

TORVI_API void torvi_cap_set_callback_on_error(torvi_dev_t *dev, torvi_cap_err_cb_t cb) {
  if (dev == nullptr || dev->priv == nullptr) {
    KX_ERR("wrong params: device not open\n");
    return;
  }
  dev->priv->on_error = cb;
  kx_log(KX_LOG_DBG, "DBG", "[%s] set on_cap_err to %p\n", "torvi_cap_set_callback_on_error",
         reinterpret_cast<void *>(cb));
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
  return dev != nullptr && dev->priv != nullptr && capturing(dev->priv);
}

TORVI_API bool torvi_cap_start(torvi_dev_t *dev) {
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev) || dev->priv->ll.priv == nullptr) {
    kx_log(KX_LOG_ERR, "ERR", "[%s]  Device handler Is NULL!\r\n", "torvi_cap_start");
    return false;
  }
  torvi_dev_priv_t *p = dev->priv;
  torvi::cap_stop_locked(dev, "_torvi_cap_stop");
  torvi_ll_param_t rate{};
  rate.id = kParamFrameRate;
  if (torvi::param_get_wire(p, &rate, 1)) {
    uint32_t fps = 0;
    std::memcpy(&fps, rate.val, sizeof fps);
    torvi::cached_frame_rate(p).store(fps);
  }
  if (p->stream == nullptr || p->stream->capacity() < 2) {
    kx_log(KX_LOG_ERR, "ERR", "[%s]  capture buffer not set or size is not correct \n",
           "_torvi_cap_start");
    return false;
  }
  kx_log(KX_LOG_TRC, "TRC", "[%s] Enter ... \n", "_torvi_cap_start");
  torvi::store(p->timeout_cnt, 0u);
  torvi::store(p->stall_cnt, 0u);
  torvi::store(p->discard_cnt, 0u);
  torvi::store(p->pending_err, 0);
  torvi::store<uint8_t>(p->forced_stop, 0);
  torvi::store(p->err_param, 0);
  std::memset(p->stream_state, 0, sizeof p->stream_state);
  p->stream->reset();
  torvi::store(p->stop, 0);
  kx_log(KX_LOG_DBG, "DBG", "[%s] issue start cmd\n", "_torvi_cap_start");
  const bool ok = torvi_ll_cap_start(&p->ll, p->cap_arg, on_capture_event, dev);
  if (ok) {
    torvi::store<uint8_t>(p->capturing, 1);
  } else {
    torvi::store(p->stop, 1);
  }
  return ok;
}

TORVI_API bool torvi_cap_stop(torvi_dev_t *dev) {
  kx_log(KX_LOG_DBG, "DBG", "[%s] Enter\n", "torvi_cap_stop");
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev)) {
    kx_log(KX_LOG_ERR, "ERR", "[%s]  Device handler Is NULL!\r\n", "torvi_cap_stop");
    return false;
  }
  // A refused stop leaves the capture running (capturing stays set, the
  // stop flag holds the getters) and is reported, so the caller can retry.
  if (!torvi::cap_stop_locked(dev, "_torvi_cap_stop")) {
    kx_log(KX_LOG_ERR, "ERR", "[%s] the camera refused the stop command\n", "torvi_cap_stop");
    return false;
  }
  return true;
}

TORVI_API int torvi_cap_get_frames(torvi_dev_t *dev, unsigned frame_num, void *frame_data,
                                   unsigned frame_dlen, torvi_frame_info_t *first_frame_info) {
  return get_frames(dev, frame_num, frame_data, frame_dlen, first_frame_info);
}

TORVI_API int torvi_cap_get_frame(torvi_dev_t *dev, void *frame_data, unsigned frame_dlen,
                                  torvi_frame_info_t *frame_info) {
  static constexpr const char *kFn = "_torvi_cap_get_frame";
  if (dev == nullptr) {
    kx_log(KX_LOG_ERR, "ERR", "[%s] Wrong params\n", kFn);
    return -1;
  }
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev)) {
    kx_log(KX_LOG_ERR, "ERR", "[%s] Wrong params\n", kFn);
    return -1;
  }
  torvi_dev_priv_t *p = dev->priv;
  kx_log(KX_LOG_TRC, "TRC", "[%s] frame_num = %d, timeout_msec=%d\n", kFn, 1, 0);
  torvi_cap_req req{1, 1, static_cast<uint8_t *>(frame_data), frame_dlen, frame_info};
  RequestScope scope(p, &req);
  const int32_t pending = torvi::load(p->pending_err);
  if (pending < 0) {
    handle_ready(dev, 1);
    return req.remaining == 0 ? 1 : pending;
  }
  { std::lock_guard lock(p->mutex->mu); }
  if (!capturing(p)) {
    log_not_capturing(kFn);
    handle_ready(dev, req.remaining);
    return req.remaining == 0 ? 1 : -2;
  }
  handle_ready(dev, req.remaining);
  return static_cast<int>(1 - req.remaining);
}

TORVI_API bool torvi_cap_snapshot(torvi_dev_t *dev, void *frame_data, unsigned frame_dlen,
                                  torvi_frame_info_t *frame_info) {
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev)) {
    kx_log(KX_LOG_ERR, "ERR", "[%s] wrong parameters\n", "torvi_cap_snapshot");
    return false;
  }
  if (capturing(dev->priv)) return get_frames(dev, 1, frame_data, frame_dlen, frame_info) > 0;
  if (!torvi_cap_start(dev)) return false;
  const int got = get_frames(dev, 1, frame_data, frame_dlen, frame_info);
  torvi_cap_stop(dev);
  return got > 0;
}

TORVI_API bool torvi_cap_wait(torvi_dev_t *dev, int timeout_msec) {
  static constexpr const char *kFn = "torvi_cap_wait";
  kx_log(KX_LOG_DBG, "DBG", "[%s] timeout_msec=%d\n", kFn, timeout_msec);
  // The call stays marked busy while it sleeps: a close from another thread
  // wakes it through the stop and waits until it has left the record.
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev)) {
    kx_log(KX_LOG_DBG, "DBG", "[%s] Wrong params\n", kFn);
    return false;
  }
  torvi_dev_priv_t *p = dev->priv;
  if (!capturing(p)) {
    kx_log(KX_LOG_DBG, "DBG", "[%s] device is not capturing\n", kFn);
    return false;
  }
  const auto deadline = deadline_after(static_cast<uint64_t>(std::max(timeout_msec, 0)));
  bool result = true;
  if (torvi::load(p->pending_err) >= 0 && torvi::load(p->stop) == 0) {
    for (;;) {
      if (!wait_event(p, timeout_msec != 0 ? &deadline : nullptr)) {
        kx_log(KX_LOG_INF, "INF", "[%s]  timeout ...\n", kFn);
        result = false;
        break;
      }
      handle_ready(dev, kNoLimit);
      if (torvi::load(p->stop) != 0) break;
    }
  }
  handle_ready(dev, kNoLimit);
  return result;
}

}  // extern "C"
