// USB streaming: the ring of bulk transfers on endpoint 0x81.
#include <chrono>
#include <mutex>

#include "core/byte_order.h"
#include "core/log_internal.h"
#include "ll/usb/usb_ll.h"

using torvi::usb::kXferCount;

namespace {

using torvi::usb::kReqReg;
constexpr uint16_t kStart = torvi::usb::kStreamStart;
constexpr uint16_t kStop = torvi::usb::kStreamStop;

int xfer_index(const usb_ll_dev_priv_t *p, const libusb_transfer *x) {
  for (int i = 0; i < kXferCount; ++i) {
    if (p->xfers[i] == x) return i;
  }
  return -1;
}

void clear_stream_halt(usb_ll_dev_priv_t *p, const char *fn) {
  if (p->be->clear_halt(p->handle, torvi::usb::kStreamEp) < 0) {
    KX_LOG_AT(KX_LOG_ERR, fn, " Clear halt failed on EP: %0x!\r\n", torvi::usb::kStreamEp);
  }
}

// Maps a transfer status to a completion code, with its message.
int32_t completion_code(usb_ll_dev_priv_t *p, const libusb_transfer *x, int i) {
  KX_LOG_NAME("on_usb_trans_event");
  switch (x->status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return TORVI_LL_CAP_OK;
    case LIBUSB_TRANSFER_CANCELLED:
      KX_TRC("trans[%d] cancelled (last_tx=%d)\n", i, x->actual_length);
      return TORVI_LL_CAP_CANCELLED;
    case LIBUSB_TRANSFER_TIMED_OUT:
      KX_DBG("trans[%d] timeout (last_tx=%d)\n", i, x->actual_length);
      return TORVI_LL_CAP_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
      KX_WRN("trans[%d] stall (last_tx=%d)\n", i, x->actual_length);
      clear_stream_halt(p, kx_log_name(__func__));
      return TORVI_LL_CAP_STALL;
    default:
      KX_WRN("trans[%d] error (%d) (last_tx=%d)\n", i, static_cast<int>(x->status),
             x->actual_length);
      return TORVI_LL_CAP_UNKNOWN;
  }
}

// Cancels every streaming transfer that is in flight. Called with p->mu held.
void cancel_all(usb_ll_dev_priv_t *p, const char *fn) {
  for (int i = 0; i < kXferCount; ++i) {
    KX_LOG_AT(KX_LOG_TRC, fn, "trans[%d] cancel: status=%d\n", i, p->last_status[i]);
    if (p->stream_inflight & (1u << i)) p->be->cancel_transfer(p->xfers[i]);
  }
}

}  // namespace

void LIBUSB_CALL on_usb_trans_event(libusb_transfer *x) {
  auto *ll = static_cast<torvi_ll_t *>(x->user_data);
  usb_ll_dev_priv_t *p = usb_priv(ll);
  const int i = xfer_index(p, x);
  KX_TRC("trans[%d]: txlen=%d, status = %d\n", i, x->actual_length, static_cast<int>(x->status));
  const int32_t code = completion_code(p, x, i);
  torvi_ll_cap_cb_t cb;
  void *cb_arg;
  {
    std::lock_guard lk(p->mu);
    cb = p->cb;
    cb_arg = p->cb_arg;
  }
  if (cb != nullptr) cb(ll, code, x->buffer, x->actual_length, cb_arg);

  // Resubmission and the in-flight mark change under the lock, so a stop
  // either sees this transfer in flight and cancels it, or this completion
  // sees the stop and lets the transfer rest.
  {
    std::lock_guard lk(p->mu);
    if (i >= 0) p->last_status[i] = static_cast<int>(x->status);
    if (x->length <= 0 || p->stopping.load() != 0) {
      if (i >= 0) p->stream_inflight &= ~(1u << i);
      p->cv.notify_all();
      return;
    }
    KX_TRC("trans[%d] issue: size=%d \n", i, x->length);
    x->timeout = torvi::usb::kStreamTimeoutMs;
    const int rc = p->be->submit_transfer(x);
    if (rc == 0) return;
    KX_ERR("Unable to submit URB. libusb error code: %d\n", rc);
  }
  // The transfer is lost to the ring: tell the capture engine, which would
  // otherwise never learn that its stream ended (a vanished camera makes
  // every resubmission fail).
  if (cb != nullptr) cb(ll, TORVI_LL_CAP_UNKNOWN, x->buffer, 0, cb_arg);
  std::lock_guard lk(p->mu);
  if (i >= 0) p->stream_inflight &= ~(1u << i);
  p->cv.notify_all();
}

bool usb_ll_cap_start(torvi_ll_t *ll, uint32_t cap_arg, torvi_ll_cap_cb_t cb, void *cb_arg) {
  LinkUse use(ll, __func__);
  if (!use) return false;
  usb_ll_dev_priv_t *p = use.get();
  // The handle stays put while the command lock is held.
  std::lock_guard cmd(p->cmd_mu);
  if (p->handle == nullptr) {
    KX_ERR(" USB handler Is NULL!\r\n");
    return false;
  }
  // Transfers of an earlier capture may still be draining; they cannot be
  // submitted again before their last completion.
  {
    std::unique_lock lk(p->mu);
    if (!p->cv.wait_for(lk, std::chrono::milliseconds(torvi::usb::kDrainWaitMs),
                        [p] { return p->stream_inflight == 0; })) {
      KX_ERR("transfers of the last capture still in flight\n");
      return false;
    }
  }
  clear_stream_halt(p, __func__);
  {
    std::lock_guard lk(p->mu);
    // A close that has begun cancels what is in flight under this lock; it
    // must not find new transfers submitted after it.
    if (_usb_ll_closing(p)) {
      KX_ERR("the link is closing: call refused\n");
      return false;
    }
    p->stopping.store(0);
    p->cb = cb;
    p->cb_arg = cb_arg;
    for (int i = 0; i < kXferCount; ++i) {
      libusb_fill_bulk_transfer(p->xfers[i], p->handle, torvi::usb::kStreamEp, p->bufs[i],
                                torvi::usb::kXferBytes, on_usb_trans_event, ll,
                                torvi::usb::kStreamTimeoutMs);
      if (p->be->submit_transfer(p->xfers[i]) == 0) {
        p->stream_inflight |= 1u << i;
        KX_TRC("trans[%d] issue: txlen=%d\n", i, torvi::usb::kXferBytes);
      } else {
        KX_ERR("trans[%d] issue failed\n", i);
      }
    }
  }
  KX_TRC("Enter\n");
  uint8_t word[4];
  torvi::put_le32(word, cap_arg);
  if (usb_ll_exe_cmd(ll, 1, kReqReg, kStart, word, 4, torvi::usb::kCmdTimeoutMs) &&
      usb_ll_check_last_cmd(ll, kReqReg, kStart)) {
    return true;
  }
  KX_WRN("torvi_ll_cap_start failed\n");
  std::lock_guard lk(p->mu);
  // No transfer of a failed start may cycle on: its cancellation is final.
  p->stopping.store(1);
  cancel_all(p, __func__);
  return false;
}

bool usb_ll_cap_stop(torvi_ll_t *ll) {
  LinkUse use(ll, __func__);
  if (!use) return false;
  usb_ll_dev_priv_t *p = use.get();
  std::lock_guard cmd(p->cmd_mu);
  {
    std::lock_guard lk(p->mu);
    p->stopping.store(1);
    cancel_all(p, __func__);
  }
  if (p->handle == nullptr) {
    KX_ERR(" USB handler Is NULL!\r\n");
    return false;
  }
  uint8_t stop_byte = kReqReg;
  return usb_ll_exe_cmd(ll, 1, kReqReg, kStop, &stop_byte, 1, torvi::usb::kCmdTimeoutMs) &&
         usb_ll_check_last_cmd(ll, kReqReg, kStop);
}

void usb_ll_cap_abort(torvi_ll_t *ll) {
  usb_ll_dev_priv_t *p = usb_priv(ll);
  if (p != nullptr) p->stopping.store(1);
}
