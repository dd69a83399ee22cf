// USB command protocol: control transfers on endpoint 0 with a status query.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "core/byte_order.h"
#include "core/clock.h"
#include "core/log_internal.h"
#include "ll/usb/usb_ll.h"

using torvi::get_le32;
using torvi::put_le16;
using torvi::put_le32;
using torvi::usb::error_name;
using torvi::usb::kDevReset;
using torvi::usb::kParamGet;
using torvi::usb::kParamSet;
using torvi::usb::kRegRead;
using torvi::usb::kRegWrite;
using torvi::usb::kReqDev;
using torvi::usb::kReqReg;
using torvi::usb::kReqStatus;
using torvi::usb::kStatusBusy;
using torvi::usb::kStatusFailed;

namespace {

// The name the link-use refusals of every command carry.
constexpr const char *kExe = "usb_ll_exe_cmd";
constexpr int kSetupBytes = 8;
constexpr int kMaxDataBytes = 65535;
constexpr int kStatusBytes = static_cast<int>(torvi::usb::kStatusReplyBytes);
constexpr int kStatusMsgBytes = static_cast<int>(torvi::usb::kStatusMessageBytes);
constexpr unsigned kRegsPerChunk = torvi::usb::kRegsPerRead;
constexpr uint32_t kParamsPerGroup = torvi::usb::kParamsPerGet;
// A reset of the USB interface looks for the camera again this many times,
// this far apart.
constexpr int kResetTries = 15;
constexpr unsigned kResetPauseMs = 200;
// A camera answering "busy" for longer than this is given up on.
constexpr unsigned kBusyLimitMs = 30000;

// Completion state of one command transfer. It lives with the transfer: the
// waiting thread owns it until it gives up, then the completion callback
// owns it and frees it together with the transfer and its buffer.
struct CmdXfer {
  const torvi::usb::Backend *be = nullptr;
  usb_ll_dev_priv_t *p = nullptr;
  libusb_transfer *xfer = nullptr;
  bool done = false;       // guarded by p->mu
  bool abandoned = false;  // guarded by p->mu

  CmdXfer() = default;
  CmdXfer(const CmdXfer &) = delete;
  CmdXfer &operator=(const CmdXfer &) = delete;
  ~CmdXfer() {
    if (xfer != nullptr) be->free_transfer(xfer);  // frees the buffer too
  }
};

int map_status(const libusb_transfer *x) {
  KX_LOG_NAME("usb_ll_exe_cmd");
  switch (x->status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return x->actual_length;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
      return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW:
      return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_CANCELLED:
      return LIBUSB_ERROR_IO;
    default:
      KX_WRN("unrecognised status code %d\n", static_cast<int>(x->status));
      return LIBUSB_ERROR_OTHER;
  }
}

// Waits for the completion with the cancel and give-up deadlines: cancel
// after 1000 ms (or the transfer's own longer time-out), give up 1000 ms
// later. Returns true when it completed; false when given up (ownership then
// passes to the completion callback).
bool wait_completion(std::unique_ptr<CmdXfer> &st, unsigned timeout_ms) {
  KX_LOG_NAME("usb_ll_exe_cmd");
  usb_ll_dev_priv_t *p = st->p;
  const auto start = std::chrono::steady_clock::now();
  const unsigned cancel_ms =
      timeout_ms > torvi::usb::kCmdCancelMs ? timeout_ms : torvi::usb::kCmdCancelMs;
  const unsigned give_up_ms = cancel_ms + (torvi::usb::kCmdGiveUpMs - torvi::usb::kCmdCancelMs);
  CmdXfer *s = st.get();
  std::unique_lock lk(p->mu);
  if (p->cv.wait_until(lk, start + std::chrono::milliseconds(cancel_ms), [s] { return s->done; })) {
    return true;
  }
  lk.unlock();
  KX_WRN("contrl trans timeout , cancel it\n");
  p->be->cancel_transfer(s->xfer);
  lk.lock();
  if (p->cv.wait_until(lk, start + std::chrono::milliseconds(give_up_ms),
                       [s] { return s->done; })) {
    return true;
  }
  s->abandoned = true;
  static_cast<void>(st.release());  // the callback frees it when the transfer finally completes
  lk.unlock();
  p->cmd_abandoned.fetch_add(1);
  KX_ERR("control transfer timeout !\n");
  return false;
}

// One control transfer; returns the number of data bytes moved or a
// negative libusb error.
int run_control(usb_ll_dev_priv_t *p, uint8_t dir, uint8_t request, uint16_t value, void *buf,
                int len, unsigned timeout_ms) {
  const torvi::usb::Backend &be = *p->be;
  KX_LOG_NAME("usb_ll_exe_cmd");
  auto st = std::make_unique<CmdXfer>();
  st->be = &be;
  st->p = p;
  st->xfer = be.alloc_transfer(0);
  if (st->xfer == nullptr) {
    KX_ERR("no memory\n");
    return LIBUSB_ERROR_NO_MEM;
  }
  // libusb frees this buffer with the transfer (LIBUSB_TRANSFER_FREE_BUFFER).
  auto *b = static_cast<uint8_t *>(std::calloc(1, static_cast<size_t>(kSetupBytes + len)));
  if (b == nullptr) {
    KX_ERR("no memory\n");
    return LIBUSB_ERROR_NO_MEM;
  }
  b[0] = dir != 0 ? torvi::usb::kTypeOut : torvi::usb::kTypeIn;
  b[1] = request;
  put_le16(b + 2, value);
  put_le16(b + 4, 0);
  put_le16(b + 6, static_cast<uint16_t>(len));
  if (dir != 0 && len > 0) std::memcpy(b + kSetupBytes, buf, static_cast<size_t>(len));
  libusb_fill_control_transfer(st->xfer, p->handle, b, _usb_ll_on_cmd_finish, st.get(), timeout_ms);
  st->xfer->flags = LIBUSB_TRANSFER_FREE_BUFFER;

  {
    std::lock_guard lk(p->mu);
    ++p->cmd_inflight;
  }
  const int rc = be.submit_transfer(st->xfer);
  if (rc < 0) {
    {
      std::lock_guard lk(p->mu);
      --p->cmd_inflight;
    }
    p->cv.notify_all();
    KX_ERR("libusb_submit_transfer failed\n");
    return rc;
  }
  if (!wait_completion(st, timeout_ms)) return LIBUSB_ERROR_TIMEOUT;
  libusb_transfer *x = st->xfer;
  if (dir == 0 && x->actual_length > 0) {
    const int n = x->actual_length < len ? x->actual_length : len;
    std::memcpy(buf, b + kSetupBytes, static_cast<size_t>(n));
  }
  return map_status(x);
}

// Logs and reports a link that is not open.
bool no_link(const usb_ll_dev_priv_t *p) {
  KX_LOG_NAME("usb_ll_exe_cmd");
  if (p != nullptr && p->handle != nullptr) return false;
  KX_ERR(" USB handler Is NULL!\r\n");
  return true;
}

bool bad_args(const char *fn, const void *data, uint32_t cnt) {
  if (cnt > 0 && data == nullptr) {
    KX_LOG_AT(KX_LOG_ERR, fn, "no buffer for %u items\n", cnt);
    return true;
  }
  return false;
}

}  // namespace

void LIBUSB_CALL _usb_ll_on_cmd_finish(libusb_transfer *xfer) {
  auto *st = static_cast<CmdXfer *>(xfer->user_data);
  KX_TRC("tx actual_len = %d, status  = %d\n", xfer->actual_length, static_cast<int>(xfer->status));
  usb_ll_dev_priv_t *p = st->p;
  std::lock_guard lk(p->mu);
  st->done = true;
  --p->cmd_inflight;
  // Given up by its caller: the transfer, its buffer and this state are ours.
  if (st->abandoned) std::unique_ptr<CmdXfer> owner(st);
  p->cv.notify_all();
}

bool usb_ll_exe_cmd(torvi_ll_t *ll, uint8_t dir, uint8_t request, uint16_t value, void *buf,
                    int len, unsigned timeout_ms) {
  LinkUse use(ll, kExe);
  if (!use) return false;
  usb_ll_dev_priv_t *p = use.get();
  if (len < 0 || len > kMaxDataBytes || (len > 0 && buf == nullptr)) {
    KX_ERR("bad command data: %d bytes at %p (at most %d)\n", len, buf, kMaxDataBytes);
    return false;
  }
  if (std::this_thread::get_id() == p->evt_id.load()) {
    // Its completion could only be delivered by the thread that would wait.
    KX_ERR("called on the link's event thread: refused\n");
    return false;
  }
  std::lock_guard cmd(p->cmd_mu);
  // A close that began while this call waited for the command lock refuses
  // the submission; one that begins later waits for the command to end.
  if (_usb_ll_closing(p)) {
    KX_ERR("the link is closing: call refused\n");
    return false;
  }
  if (no_link(p)) return false;
  const int rc = run_control(p, dir, request, value, buf, len, timeout_ms);
  if (rc == len) return true;
  KX_ERR("exe usb cmd failed: %s\n", error_name(rc));
  return false;
}

bool usb_ll_check_last_cmd(torvi_ll_t *ll, uint8_t t, uint8_t v) {
  LinkUse use(ll, kExe);
  if (!use) return false;
  std::lock_guard cmd(use.get()->cmd_mu);
  const int64_t start = torvi::wall_clock_ms();
  for (;;) {
    uint8_t reply[kStatusBytes] = {};
    if (!usb_ll_exe_cmd(ll, 0, kReqStatus, 0, reply, kStatusBytes, torvi::usb::kCmdTimeoutMs))
      return false;
    if (reply[1] != t || reply[2] != v) {
      KX_WRN(" last cmd (t=%u,v=%u) is not as expect(t=%u,v=%u)\r\n", reply[1], reply[2], t, v);
      return false;
    }
    if (reply[0] == kStatusFailed) {
      const char *msg = reinterpret_cast<const char *>(reply + 3);
      KX_ERR("%.*s\n", static_cast<int>(strnlen(msg, kStatusMsgBytes)), msg);
      return false;
    }
    if (reply[0] != kStatusBusy) return true;
    if (torvi::wall_clock_ms() - start > kBusyLimitMs) {
      KX_ERR("camera still busy after %u ms\n", kBusyLimitMs);
      return false;
    }
    torvi::sleep_ms(1);  // let the camera work before asking again
  }
}

bool usb_ll_reg_write(torvi_ll_t *ll, uint8_t target, uint32_t reg_base, const uint32_t *vals,
                      uint16_t cnt) {
  if (bad_args(__func__, vals, cnt)) return false;
  std::vector<uint8_t> block(7 + size_t{cnt} * 4);
  block[0] = target;
  put_le32(&block[1], reg_base);
  put_le16(&block[5], static_cast<uint16_t>(cnt * 4u));
  for (size_t i = 0; i < cnt; ++i) put_le32(&block[7 + i * 4], vals[i]);
  LinkUse use(ll, kExe);
  if (!use) return false;
  std::lock_guard cmd(use.get()->cmd_mu);
  if (!usb_ll_exe_cmd(ll, 1, kReqReg, kRegWrite, block.data(), static_cast<int>(block.size()),
                      torvi::usb::kCmdTimeoutMs)) {
    return false;
  }
  return usb_ll_check_last_cmd(ll, kReqReg, kRegWrite);
}

bool usb_ll_reg_read(torvi_ll_t *ll, uint8_t target, uint32_t reg_base, uint32_t *vals,
                     uint16_t cnt) {
  if (cnt == 0) return true;
  if (bad_args(__func__, vals, cnt)) return false;
  LinkUse use(ll, kExe);
  if (!use) return false;
  std::lock_guard cmd(use.get()->cmd_mu);
  for (unsigned left = cnt; left > 0;) {
    const unsigned chunk = left < kRegsPerChunk ? left : kRegsPerChunk;
    uint8_t hdr[7];
    hdr[0] = target;
    put_le32(hdr + 1, reg_base);
    put_le16(hdr + 5, static_cast<uint16_t>(chunk * 4));
    if (!usb_ll_exe_cmd(ll, 1, kReqReg, kRegRead, hdr, sizeof hdr, torvi::usb::kCmdTimeoutMs) ||
        !usb_ll_check_last_cmd(ll, kReqReg, kRegRead)) {
      KX_ERR("write phase failed\n");
      return false;
    }
    // Straight into the caller's buffer: bytes that arrived stay there even
    // when the read falls short.
    const bool got = usb_ll_exe_cmd(ll, 0, kReqReg, kRegRead, vals, static_cast<int>(chunk * 4),
                                    torvi::usb::kCmdTimeoutMs);
    for (unsigned i = 0; i < chunk; ++i)
      vals[i] = get_le32(reinterpret_cast<const uint8_t *>(vals + i));
    if (!got || !usb_ll_check_last_cmd(ll, kReqReg, kRegRead)) {
      KX_ERR("read phase failed\n");
      return false;
    }
    reg_base += chunk;
    vals += chunk;
    left -= chunk;
  }
  return true;
}

bool usb_ll_param_set(torvi_ll_t *ll, torvi_ll_param_t *records, uint32_t cnt) {
  if (bad_args(__func__, records, cnt)) return false;
  if (cnt > static_cast<uint32_t>(kMaxDataBytes) / sizeof(torvi_ll_param_t)) {
    KX_ERR("too many records: %u\n", cnt);
    return false;
  }
  LinkUse use(ll, kExe);
  if (!use) return false;
  std::lock_guard cmd(use.get()->cmd_mu);
  if (!usb_ll_exe_cmd(ll, 1, kReqDev, kParamSet, records,
                      static_cast<int>(cnt * sizeof(torvi_ll_param_t)),
                      torvi::usb::kCmdTimeoutMs)) {
    return false;
  }
  return usb_ll_check_last_cmd(ll, kReqDev, kParamSet);
}

bool usb_ll_param_get(torvi_ll_t *ll, torvi_ll_param_t *records, uint32_t cnt) {
  if (bad_args(__func__, records, cnt)) return false;
  for (uint32_t i = 0; i < cnt; ++i) {
    records[i].len = 0;
    std::memset(records[i].val, 0, sizeof records[i].val);
  }
  if (cnt == 0) return true;
  LinkUse use(ll, kExe);
  if (!use) return false;
  std::lock_guard cmd(use.get()->cmd_mu);
  for (uint32_t done = 0; done < cnt;) {
    const uint32_t group = cnt - done < kParamsPerGroup ? cnt - done : kParamsPerGroup;
    const int bytes = static_cast<int>(group * sizeof(torvi_ll_param_t));
    if (!usb_ll_exe_cmd(ll, 1, kReqDev, kParamGet, records + done, bytes,
                        torvi::usb::kCmdTimeoutMs)) {
      KX_ERR("write phase failed\n");
      return false;
    }
    if (!usb_ll_check_last_cmd(ll, kReqDev, kParamGet)) return false;
    if (!usb_ll_exe_cmd(ll, 0, kReqDev, kParamGet, records + done, bytes,
                        torvi::usb::kCmdTimeoutMs) ||
        !usb_ll_check_last_cmd(ll, kReqDev, kParamGet)) {
      KX_ERR("read phase failed\n");
      return false;
    }
    done += group;
  }
  return true;
}

bool usb_ll_dev_reset(torvi_ll_t *ll, uint8_t target) {
  KX_TRC("rest device (target=%d)\n", target);
  uint8_t word[4];
  put_le32(word, target);
  LinkUse use(ll, kExe);
  if (!use) return false;
  usb_ll_dev_priv_t *p = use.get();
  std::unique_lock cmd(p->cmd_mu);
  if (target != torvi::usb::kResetUsb) {
    if (!usb_ll_exe_cmd(ll, 1, kReqDev, kDevReset, word, 4, torvi::usb::kCmdTimeoutMs))
      return false;
    return usb_ll_check_last_cmd(ll, kReqDev, kDevReset);
  }
  if (std::this_thread::get_id() == p->evt_id.load()) {
    KX_ERR("called on the link's event thread: refused\n");
    return false;
  }
  // The command lock stays held from the reset command to the reopen: no
  // other command can reach the link while its handle is closed and opened
  // again, and the link's record is never released under a waiting call.
  KX_TRC("Reset usb if (timeout = %d ms) ...\n", kResetTries * static_cast<int>(kResetPauseMs));
  usb_ll_exe_cmd(ll, 1, kReqDev, kDevReset, word, 4, torvi::usb::kCmdTimeoutMs);
  if (!_usb_ll_reopen(ll, kResetTries, kResetPauseMs)) KX_WRN("reopen device failed!\n");
  KX_TRC("Reset usb if end. \n");
  return false;
}
