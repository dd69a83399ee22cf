// The capture engine on the application's threads: the getters and the
// wait sleep on the frames-ready condition, then hand the ready frames to
// the active frame request and the frame-ready callback, and pending errors
// to the error callback. Callbacks never run on the event thread.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "api/capture_internal.h"
#include "core/log_internal.h"
#include "stream/parser.h"

namespace torvi::capture {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr size_t kScratchBytes = 0x400000;
constexpr uint32_t kDefaultFrameRate = 20;
constexpr unsigned kDefaultFrameMs = 50;
// The name the hand-out's log lines carry.
constexpr const char *kHandOut = "_cap_handle_rdy_data";

// Clears the pending error only if it still holds `seen`, so that an error
// reported meanwhile by the event thread is not lost.
void clear_pending(torvi_dev_priv_t *p, int32_t seen) {
  std::atomic_ref<int32_t>(p->pending_err).compare_exchange_strong(seen, 0);
}

// Runs the error callback for a pending error. False when the callback
// stopped the capture.
bool run_error_callback(torvi_dev_t *dev, torvi_dev_priv_t *p) {
  KX_LOG_NAME(kHandOut);
  const int32_t err = torvi::load(p->pending_err);
  if (p->on_error == nullptr || err == 0) return true;
  KX_TRC("error cb invoke: %s\n", torvi_error_name(err));
  const int32_t param = torvi::load(p->err_param);
  bool go_on = true;
  {
    const torvi::CallbackScope in_callback(dev);
    go_on = p->on_error(dev, err, param);
  }
  if (!go_on) {
    KX_DBG("error cb return false to stop capture\n");
    torvi::store(p->stop, 1);
    torvi::store<uint8_t>(p->forced_stop, 1);
  }
  clear_pending(p, err);
  // A discard reported while the callback ran finds the report it saw still
  // pending and is cleared with it: raise it again, so that the callback
  // learns the newer total.
  if (go_on && err == TORVI_ERR_CAP_FRAME_DISCARD &&
      static_cast<int32_t>(torvi::load(p->discard_cnt)) > param) {
    int32_t none = 0;
    std::atomic_ref<int32_t>(p->pending_err).compare_exchange_strong(none, err);
  }
  return go_on;
}

void describe_frame(torvi_dev_priv_t *p, const torvi_frame_hdr_t &hdr) {
  KX_LOG_NAME(kHandOut);
  const torvi_drv_ops_t *ops = p->drv != nullptr ? p->drv->ops : nullptr;
  if (ops == nullptr || ops->frame_get_info == nullptr ||
      !ops->frame_get_info(p->drv, &p->frame_info, &hdr)) {
    KX_ERR(" driver frame_get_info failed!\n");
    p->frame_info = torvi_frame_info_t{};
  }
  const std::lock_guard lock(p->mutex->hdr_mu);
  p->mutex->last_hdr = hdr;
  p->mutex->has_hdr = true;
}

void call_frame_ready(torvi_dev_t *dev, torvi_dev_priv_t *p, void *frame_data) {
  KX_LOG_NAME(kHandOut);
  torvi_cap_frame frame{p->frame_info, frame_data};
  const unsigned idx = p->frame_info.frame_idx;
  KX_TRC("frdy cb invoke: %u,%u\n", idx, idx);
  const auto t0 = SteadyClock::now();
  {
    const torvi::CallbackScope in_callback(dev);
    p->on_frame_ready(dev, &frame);
  }
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - t0).count();
  KX_DBG("frdy cb (%u,%u) spends: %d.%03u ms\n", idx, idx, static_cast<int>(us / 1000),
         static_cast<unsigned>(us % 1000));
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

// The hand-out's scratch buffer, grown to hold at least `need` bytes.
// Null (with an ERR line) when memory runs out.
class Scratch {
 public:
  uint8_t *get(size_t need) {
    KX_LOG_NAME(kHandOut);
    if (size_ >= need && buf_) return buf_.get();
    const size_t size = std::max(need, kScratchBytes);
    try {
      buf_ = std::make_unique_for_overwrite<uint8_t[]>(size);
    } catch (const std::bad_alloc &) {
      KX_ERR("malloc failed\n");
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

// Whether a waiter has something to do without sleeping.
bool wake_reason(torvi_dev_priv_t *p) {
  if (torvi::load(p->stop) != 0) return true;
  if (p->on_error != nullptr && torvi::load(p->pending_err) != 0) return true;
  return has_consumer(p) && p->stream->ready_frames() > 0;
}

// Sleeps until something happens or the deadline passes (no deadline: until
// something happens). False on timeout.
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

// Installs a frame request for the lifetime of a getter. Other threads may
// look whether a getter waits (the pointer is published atomically); only the
// getter's own thread touches the request.
class RequestScope {
 public:
  RequestScope(torvi_dev_priv_t *p, torvi_cap_req *req) : p_(p) { torvi::store(p_->req, req); }
  ~RequestScope() { torvi::store(p_->req, static_cast<torvi_cap_req *>(nullptr)); }
  RequestScope(const RequestScope &) = delete;
  RequestScope &operator=(const RequestScope &) = delete;

 private:
  torvi_dev_priv_t *p_;
};

// Frames the request has received so far.
int delivered(const torvi_cap_req &req) { return static_cast<int>(req.requested - req.remaining); }

// How long a getter for `frame_num` frames waits at most: 100 ms per frame
// plus a frame period each (of the cached rate; 50 ms while none is known,
// and the cache then assumes 20 frames/s) plus two seconds.
uint64_t getter_timeout_ms(torvi_dev_priv_t *p, unsigned frame_num) {
  unsigned per_frame_ms = kDefaultFrameMs;
  std::atomic<uint32_t> &rate = torvi::cached_frame_rate(p);
  const uint32_t fps = rate.load();
  if (fps == 0) {
    rate.store(kDefaultFrameRate);
  } else {
    per_frame_ms = 1000 / fps;
  }
  return uint64_t{frame_num} * 100 + uint64_t{frame_num} * per_frame_ms + 2000;
}

}  // namespace

// Hands ready frames to the active request and the frame-ready callback.
// The callback always sees a whole frame: when the request's room left is
// shorter than the frame, the frame goes to the scratch buffer and the
// request receives the part that fits.
void hand_out_ready(torvi_dev_t *dev, uint32_t limit) {
  KX_LOG_NAME(kHandOut);
  torvi_dev_priv_t *p = dev->priv;
  if (!run_error_callback(dev, p) || torvi::load(p->forced_stop) != 0) {
    KX_TRC("error callback force cap to stop\n");
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
  KX_TRC("handle %u ready frames (reqmax: %d, rem: %d)\n", taken, static_cast<int>(limit),
         req != nullptr ? static_cast<int>(req->remaining) : static_cast<int>(limit));
}

int get_frames(torvi_dev_t *dev, unsigned frame_num, void *frame_data, unsigned frame_dlen,
               torvi_frame_info_t *first_info) {
  KX_LOG_NAME("_torvi_cap_get_frames");
  if (dev == nullptr) {
    KX_DBG("Wrong params\n");
    return -1;
  }
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev) || frame_num == 0) {
    KX_DBG("Wrong params\n");
    return -1;
  }
  torvi_dev_priv_t *p = dev->priv;
  const uint64_t timeout_ms = getter_timeout_ms(p, frame_num);
  const auto deadline = deadline_after(timeout_ms);
  KX_TRC("frame_num = %d, timeout_msec=%d\n", static_cast<int>(frame_num),
         static_cast<int>(std::min<uint64_t>(timeout_ms, INT32_MAX)));
  torvi_cap_req req{frame_num, frame_num, static_cast<uint8_t *>(frame_data), frame_dlen,
                    first_info};
  RequestScope scope(p, &req);
  // After a capture error, frames still buffered are delivered first; the
  // error is returned once none is left for this request.
  const int32_t pending = torvi::load(p->pending_err);
  if (pending < 0) {
    hand_out_ready(dev, frame_num);
    return delivered(req) > 0 ? delivered(req) : pending;
  }
  while (torvi::load(p->stop) == 0) {
    if (!wait_event(p, &deadline)) {
      KX_INF(" timeout ... (%s)\n", std::strerror(ETIMEDOUT));
      break;
    }
    hand_out_ready(dev, req.remaining);
    if (req.remaining == 0) break;
  }
  if (!capturing(p)) {
    KX_TRC("device is not capturing\n");
    hand_out_ready(dev, req.remaining);
    // Frames handed over before the capture ended are the caller's.
    return delivered(req) > 0 ? delivered(req) : -2;
  }
  hand_out_ready(dev, req.remaining);
  // A capture stopped by an error before any frame came reports the error.
  const int32_t err = torvi::load(p->pending_err);
  return delivered(req) == 0 && err < 0 ? err : delivered(req);
}

int get_frame_now(torvi_dev_t *dev, void *frame_data, unsigned frame_dlen,
                  torvi_frame_info_t *frame_info) {
  KX_LOG_NAME("_torvi_cap_get_frame");
  if (dev == nullptr) {
    KX_ERR("Wrong params\n");
    return -1;
  }
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev)) {
    KX_ERR("Wrong params\n");
    return -1;
  }
  torvi_dev_priv_t *p = dev->priv;
  KX_TRC("frame_num = %d, timeout_msec=%d\n", 1, 0);
  torvi_cap_req req{1, 1, static_cast<uint8_t *>(frame_data), frame_dlen, frame_info};
  RequestScope scope(p, &req);
  const int32_t pending = torvi::load(p->pending_err);
  if (pending < 0) {
    hand_out_ready(dev, 1);
    return req.remaining == 0 ? 1 : pending;
  }
  { std::lock_guard lock(p->mutex->mu); }
  if (!capturing(p)) {
    KX_TRC("device is not capturing\n");
    hand_out_ready(dev, req.remaining);
    return req.remaining == 0 ? 1 : -2;
  }
  hand_out_ready(dev, req.remaining);
  return static_cast<int>(1 - req.remaining);
}

bool wait_for_stop(torvi_dev_t *dev, int timeout_msec) {
  KX_LOG_NAME("torvi_cap_wait");
  KX_DBG("timeout_msec=%d\n", timeout_msec);
  // The call stays marked busy while it sleeps: a close from another thread
  // wakes it through the stop and waits until it has left the record.
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev)) {
    KX_DBG("Wrong params\n");
    return false;
  }
  torvi_dev_priv_t *p = dev->priv;
  if (!capturing(p)) {
    KX_DBG("device is not capturing\n");
    return false;
  }
  const auto deadline = deadline_after(static_cast<uint64_t>(std::max(timeout_msec, 0)));
  bool result = true;
  if (torvi::load(p->pending_err) >= 0 && torvi::load(p->stop) == 0) {
    for (;;) {
      if (!wait_event(p, timeout_msec != 0 ? &deadline : nullptr)) {
        KX_INF(" timeout ...\n");
        result = false;
        break;
      }
      hand_out_ready(dev, kNoLimit);
      if (torvi::load(p->stop) != 0) break;
    }
  }
  hand_out_ready(dev, kNoLimit);
  return result;
}

}  // namespace torvi::capture
