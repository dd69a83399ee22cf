// The capture engine on the transport's event thread: every completed bulk
// transfer arrives here, its bytes go to the stream parser, and timeouts,
// stalls, transport errors and discarded frames become the pending error.
#include <cstring>
#include <exception>
#include <mutex>

#include "api/capture_internal.h"
#include "core/log_internal.h"
#include "stream/parser.h"

namespace torvi::capture {
namespace {

constexpr uint32_t kMaxTimeouts = 32;  // tolerated over a whole capture
constexpr uint32_t kMaxStalls = 16;    // tolerated in a row without data

// Stops the capture from the event thread, with `err` pending for the getters
// and the error callback.
void stop_with_error(torvi_dev_priv_t *p, int32_t err) {
  torvi::store(p->stop, 1);
  torvi::store(p->pending_err, err);
  torvi::store(p->err_param, 0);
  torvi_ll_cap_abort(&p->ll);
}

// Feeds a transfer's bytes to the parser and wakes the waiters when frames
// are ready.
void feed(torvi_dev_priv_t *p, const uint8_t *data, int len) {
  if (data != nullptr && len > 0 && p->stream->feed(data, static_cast<size_t>(len)))
    wake_waiters(p);
}

// Reports frames that the parser discarded since the last event. A discard
// report never replaces an error that stopped the capture.
void report_discards(torvi_dev_priv_t *p) {
  KX_LOG_NAME("on_capture_event");
  static_assert(sizeof(kx_stream_state_t) == sizeof p->stream_state);
  const kx_stream_state_t now = p->stream->state();
  kx_stream_state_t last{};
  std::memcpy(&last, p->stream_state, sizeof last);
  if (now.frames_discarded > last.frames_discarded) {
    KX_DBG("trans discard %d frames\n",
           static_cast<int>(now.frames_discarded - last.frames_discarded));
    torvi::store(p->discard_cnt, now.frames_discarded);
    torvi::store(p->err_param, static_cast<int32_t>(now.frames_discarded));
    int32_t expected = 0;
    if (!std::atomic_ref<int32_t>(p->pending_err).compare_exchange_strong(expected, 3) &&
        expected > 0) {
      torvi::store(p->pending_err, int32_t{TORVI_ERR_CAP_FRAME_DISCARD});
    }
  }
  std::memcpy(p->stream_state, &now, sizeof now);
}

void handle_event(torvi_dev_priv_t *p, int32_t event, const uint8_t *data, int len) {
  KX_LOG_NAME("on_capture_event");
  switch (event) {
    case TORVI_LL_CAP_OK:
      torvi::store(p->stall_cnt, 0u);
      feed(p, data, len);
      break;
    case TORVI_LL_CAP_CANCELLED:
      torvi::store(p->stop, 1);
      torvi_ll_cap_abort(&p->ll);
      // A getter waiting for frames that will not come wakes now, not at its
      // deadline.
      wake_waiters(p);
      break;
    case TORVI_LL_CAP_TIMEOUT: {
      // A timed-out transfer may still carry the bytes received before the
      // time ran out: they belong to the stream.
      feed(p, data, len);
      const uint32_t n = std::atomic_ref<uint32_t>(p->timeout_cnt).fetch_add(1) + 1;
      if (torvi::load(p->stop) == 0 && n > kMaxTimeouts) {
        KX_WRN("trans timeout -> stop\n");
        stop_with_error(p, TORVI_ERR_CAP_TIMEOUT);
      }
      break;
    }
    case TORVI_LL_CAP_STALL: {
      const uint32_t n = std::atomic_ref<uint32_t>(p->stall_cnt).fetch_add(1) + 1;
      if (torvi::load(p->stop) == 0 && n > kMaxStalls) {
        KX_WRN("trans stall -> stop\n");
        stop_with_error(p, TORVI_ERR_CAP_STALL);
      }
      break;
    }
    default:
      p->mutex->stream_end.store(event);
      torvi::store(p->pending_err, event);
      torvi::store(p->err_param, 0);
      if (std::atomic_ref<int32_t>(p->stop).exchange(1) == 0) torvi_ll_cap_abort(&p->ll);
      wake_waiters(p);
      return;
  }
  report_discards(p);
  if (torvi::load(p->pending_err) != 0) wake_waiters(p);
}

}  // namespace

void wake_waiters(torvi_dev_priv_t *p) {
  std::lock_guard lock(p->mutex->mu);
  p->cond->cv.notify_all();
}

int on_capture_event(torvi_ll_t *ll, int32_t event, uint8_t *data, int len, void *capture) {
  // The connection record is the first member of the private record.
  auto *p = reinterpret_cast<torvi_dev_priv_t *>(ll);
  try {
    const std::lock_guard lock(p->mutex->event_mu);
    // A late completion of an earlier capture: its bytes and codes are not
    // this capture's.
    if (reinterpret_cast<uintptr_t>(capture) != p->mutex->capture_gen) return 0;
    handle_event(p, event, data, len);
  } catch (const std::exception &e) {
    // Nothing may unwind into the transport's event thread; the bytes of
    // this transfer are lost to the stream.
    KX_ERR("%s\n", e.what());
  }
  return 0;
}

}  // namespace torvi::capture
