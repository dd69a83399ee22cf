// The USB transport behind `ll_op_usb`: its private record and operations.
#pragma once

#include <torvi/torvi_ll.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "ll/usb/protocol.h"
#include "ll/usb/usb_backend.h"

namespace torvi::usb {

inline constexpr int kXferCount = 16;
inline constexpr int kXferBytes = 153600;
inline constexpr unsigned kStreamTimeoutMs = 6000;
inline constexpr unsigned kCmdTimeoutMs = 1000;
// Waiting for a command: cancel after this long, give up after twice as long.
inline constexpr unsigned kCmdCancelMs = 1000;
inline constexpr unsigned kCmdGiveUpMs = 2000;
// Close and start wait at most this long for in-flight transfers to end.
inline constexpr unsigned kDrainWaitMs = 3000;
// Close waits at most this long for transport calls still running on the
// link (each ends at its next command, which a closing link refuses; a
// command with the longest time-out gives up after 11 s).
inline constexpr unsigned kUsersWaitMs = 12000;
inline constexpr int kEventPassUs = 200000;

// libusb's own name of an error code ("**UNKNOWN**" for others, positive
// numbers included), without calling into libusb.
const char *error_name(int code);

}  // namespace torvi::usb

// Private record of one USB link. The first ten fields are the link's
// libusb state; the rest is the bookkeeping that keeps in-flight transfers
// and concurrent commands safe.
struct usb_ll_dev_priv_t {
  libusb_context *ctx = nullptr;
  libusb_device_handle *handle = nullptr;
  libusb_transfer *xfers[torvi::usb::kXferCount] = {};
  uint8_t *bufs[torvi::usb::kXferCount] = {};
  std::atomic<uint8_t> stopping{0};
  torvi_ll_cap_cb_t cb = nullptr;
  void *cb_arg = nullptr;
  std::thread evt_thread;
  int evt_stop = 0;  // also libusb's "completed" flag: accessed atomically
  std::atomic<uint8_t> evt_running{0};

  // The binding this link was opened with.
  const torvi::usb::Backend *be = nullptr;
  std::unique_ptr<uint8_t[]> buf_store[torvi::usb::kXferCount];

  // Guards the fields below and every submit/cancel of streaming transfers,
  // so that a stop can never miss a transfer that is being resubmitted.
  std::mutex mu;
  std::condition_variable cv;                    // in-flight counts dropped, or a command ended
  uint32_t stream_inflight = 0;                  // bit i: streaming transfer i is in flight
  int last_status[torvi::usb::kXferCount] = {};  // of each transfer's last completion
  unsigned cmd_inflight = 0;                     // command transfers not yet completed
  std::atomic<uint64_t> cmd_abandoned{0};        // commands given up (diagnostics)

  // Serialises commands with their status queries, and guards `handle`,
  // `ctx` and `evt_thread` once the link is open: a reset of the USB
  // interface closes and reopens them while holding it, and close releases
  // them while holding it.
  std::recursive_mutex cmd_mu;
  // The event thread's id while it runs (calls refused on it read it).
  std::atomic<std::thread::id> evt_id{};

  // Guarded by the process-wide link registry lock (usb_ll_conn.cpp), which
  // outlives every private record: set once a close has begun (every new
  // call is refused from then on), and the number of transport calls
  // running on the link now. Close frees the record only when it is zero.
  bool closing = false;
  unsigned users = 0;

  usb_ll_dev_priv_t() = default;
  usb_ll_dev_priv_t(const usb_ll_dev_priv_t &) = delete;
  usb_ll_dev_priv_t &operator=(const usb_ll_dev_priv_t &) = delete;
};

// Operations of the USB table (slots in order).
bool usb_ll_init();
void usb_ll_uninit();
unsigned usb_ll_set_debug(unsigned level);
torvi_ll_t *usb_ll_dev_open(torvi_ll_t *ll);
torvi_ll_t *usb_ll_dev_open_by_fd(torvi_ll_t *ll);
void usb_ll_dev_close(torvi_ll_t *ll);
int usb_ll_dev_list(torvi_ll_t *list, int max);
bool usb_ll_exe_cmd(torvi_ll_t *ll, uint8_t dir, uint8_t request, uint16_t value, void *buf,
                    int len, unsigned timeout_ms);
bool usb_ll_check_last_cmd(torvi_ll_t *ll, uint8_t t, uint8_t v);
void usb_ll_cap_abort(torvi_ll_t *ll);
bool usb_ll_cap_start(torvi_ll_t *ll, uint32_t cap_arg, torvi_ll_cap_cb_t cb, void *cb_arg);
bool usb_ll_cap_stop(torvi_ll_t *ll);
bool usb_ll_dev_reset(torvi_ll_t *ll, uint8_t target);
bool usb_ll_reg_write(torvi_ll_t *ll, uint8_t target, uint32_t reg_base, const uint32_t *vals,
                      uint16_t cnt);
bool usb_ll_reg_read(torvi_ll_t *ll, uint8_t target, uint32_t reg_base, uint32_t *vals,
                     uint16_t cnt);
bool usb_ll_param_set(torvi_ll_t *ll, torvi_ll_param_t *records, uint32_t cnt);
bool usb_ll_param_get(torvi_ll_t *ll, torvi_ll_param_t *records, uint32_t cnt);

// Internal steps.
bool _usb_ll_dev_priv_alloc(torvi_ll_t *ll);
void _usb_ll_dev_priv_free(torvi_ll_t *ll);
void _usb_ll_evt_thread(torvi_ll_t *ll);
void LIBUSB_CALL _usb_ll_on_cmd_finish(libusb_transfer *xfer);
void LIBUSB_CALL on_usb_trans_event(libusb_transfer *xfer);
// Libusb level stored by usb_ll_set_debug.
unsigned usb_ll_debug_level();
// Waits (bounded) until no transfer of the link is in flight; false on
// time-out. Called with the event thread running.
bool _usb_ll_wait_idle(usb_ll_dev_priv_t *p, unsigned timeout_ms);

// Admits one transport call to a link for the lifetime of the scope: the
// link's private record stays alive until the call leaves. Refused (false,
// with an ERR line naming `fn`) when the link is not open or is closing.
class LinkUse {
 public:
  LinkUse(torvi_ll_t *ll, const char *fn);
  ~LinkUse();
  LinkUse(const LinkUse &) = delete;
  LinkUse &operator=(const LinkUse &) = delete;
  explicit operator bool() const { return p_ != nullptr; }
  usb_ll_dev_priv_t *get() const { return p_; }

 private:
  usb_ll_dev_priv_t *p_ = nullptr;
};

// Whether a close of the link has begun (a running call stops at its next
// command).
bool _usb_ll_closing(usb_ll_dev_priv_t *p);
// Closes the camera's handle and the link's context and event thread but
// keeps the private record, then opens the camera again into it, trying up
// to `tries` times `pause_ms` apart; for a reset of the USB interface. Call
// it holding `cmd_mu`. True when the link is open again.
bool _usb_ll_reopen(torvi_ll_t *ll, int tries, unsigned pause_ms);

inline usb_ll_dev_priv_t *usb_priv(torvi_ll_t *ll) {
  return ll != nullptr ? static_cast<usb_ll_dev_priv_t *>(ll->priv) : nullptr;
}
