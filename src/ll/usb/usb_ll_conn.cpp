// USB discovery and connection: enumeration, open, the event thread, close.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "core/clock.h"
#include "core/log_internal.h"
#include "ll/usb/usb_ll.h"

using torvi::usb::Backend;
using torvi::usb::error_name;

namespace {

bool is_camera(const libusb_device_descriptor &d) {
  return d.idVendor == torvi::usb::kVendorId && d.idProduct == torvi::usb::kProductId;
}

// A device list that is released (and its devices unreferenced) on scope exit.
class DeviceList {
 public:
  DeviceList(const Backend &be, libusb_context *ctx) : be_(be) {
    count_ = be.get_device_list(ctx, &list_);
  }
  ~DeviceList() {
    if (list_ != nullptr) be_.free_device_list(list_, 1);
  }
  DeviceList(const DeviceList &) = delete;
  DeviceList &operator=(const DeviceList &) = delete;
  ssize_t count() const { return count_; }
  libusb_device *operator[](ssize_t i) const { return list_[i]; }

 private:
  const Backend &be_;
  libusb_device **list_ = nullptr;
  ssize_t count_ = 0;
};

void fill_link(const Backend &be, libusb_device *dev, torvi_ll_t *rec) {
  rec->if_type = TORVI_LL_IF_USB;
  rec->port = be.get_port_number(dev);
  rec->bus = be.get_bus_number(dev);
  rec->addr = be.get_device_address(dev);
  rec->speed = static_cast<uint8_t>(be.get_device_speed(dev));
  rec->located = 1;
}

void clear_record(torvi_ll_t *rec) {
  rec->priv = nullptr;
  rec->if_type = 0;
  rec->bus = rec->port = rec->addr = rec->speed = 0;
  std::memset(rec->reserved, 0, sizeof rec->reserved);
  rec->ops = nullptr;
  rec->located = 0;
}

// Scans the device list for the link's camera and opens it into handle.
bool open_matching(torvi_ll_t *ll, usb_ll_dev_priv_t *p, const DeviceList &devs) {
  const Backend &be = *p->be;
  constexpr const char *kFn = "_usb_ll_dev_open";
  for (ssize_t i = 0; i < devs.count(); ++i) {
    libusb_device *dev = devs[i];
    libusb_device_descriptor d{};
    if (be.get_device_descriptor(dev, &d) < 0) {
      KX_LOG_AT(KX_LOG_ERR, kFn, "  Failed to get device desc of device %d\n", static_cast<int>(i));
      continue;
    }
    const int speed = be.get_device_speed(dev);
    const unsigned port = be.get_port_number(dev), bus = be.get_bus_number(dev);
    const unsigned addr = be.get_device_address(dev);
    if (ll->located) {
      KX_LOG_AT(KX_LOG_TRC, kFn, "[%d] %04x:%04x (speed=%d) @ %03d:%03d:%03d\n",
                static_cast<int>(i), d.idVendor, d.idProduct, speed, port, bus, addr);
      if (!is_camera(d) || bus != ll->bus || port != ll->port) continue;
      KX_LOG_AT(KX_LOG_DBG, kFn, "open torvi device @ %03d:%03d:%03d\n", ll->port, ll->bus,
                ll->addr);
      const int rc = be.open(dev, &p->handle);
      if (rc == 0) {
        ll->addr = static_cast<uint8_t>(addr);
        ll->speed = static_cast<uint8_t>(speed);
        return true;
      }
      p->handle = nullptr;
      KX_LOG_AT(KX_LOG_WRN, kFn, "failed to open this device: %s\n", error_name(rc));
    } else {
      if (!is_camera(d)) continue;
      KX_LOG_AT(KX_LOG_DBG, kFn, "found torvi device (speed=%d) @ %03d:%03d:%03d\n", speed, port,
                bus, addr);
      if (speed < LIBUSB_SPEED_HIGH) {
        KX_LOG_AT(KX_LOG_WRN, kFn,
                  "found torvi device not in HS mode (speed=%d) @ %03d:%03d:%03d\n", speed, port,
                  bus, addr);
      }
      const int rc = be.open(dev, &p->handle);
      if (rc == 0) {
        fill_link(be, dev, ll);
        return true;
      }
      p->handle = nullptr;
      KX_LOG_AT(KX_LOG_WRN, kFn, "  failed to open this device: %s, try next ...\n",
                error_name(rc));
    }
  }
  return false;
}

// Steps that find and open the camera; on failure the link is closed again.
bool find_and_open(torvi_ll_t *ll) {
  usb_ll_dev_priv_t *p = usb_priv(ll);
  const Backend &be = *p->be;
  constexpr const char *kFn = "_usb_ll_dev_open";
  if (p->ctx == nullptr) {
    KX_LOG_AT(KX_LOG_DBG, kFn, " create usb context\n");
    const int rc = be.init(&p->ctx);
    if (rc < 0) {
      p->ctx = nullptr;
      KX_LOG_AT(KX_LOG_ERR, kFn, " create usb context failed: %s\n", error_name(rc));
      return false;
    }
    be.set_debug(p->ctx, static_cast<int>(usb_ll_debug_level()));
  }
  DeviceList devs(be, p->ctx);
  if (devs.count() < 0) {
    KX_LOG_AT(KX_LOG_ERR, kFn, "  enum libusb device failed: %d \n",
              static_cast<int>(devs.count()));
    return false;
  }
  KX_LOG_AT(KX_LOG_TRC, kFn, "  %d usb device found \n", static_cast<int>(devs.count()));
  return open_matching(ll, p, devs);
}

// The link registry lock: guards every link record's `priv` pointer while a
// call looks it up or open and close change it, and the `closing` and
// `users` fields of every private record. It lives for the whole process,
// so a call can look a link up while another thread closes it.
std::mutex &links_mu() {
  static std::mutex mu;
  return mu;
}
// Signalled when the last user of a closing link leaves.
std::condition_variable &links_cv() {
  static std::condition_variable cv;
  return cv;
}

void set_priv(torvi_ll_t *ll, usb_ll_dev_priv_t *p) {
  std::lock_guard lk(links_mu());
  ll->priv = p;
}

// Releases the camera's handle (after its interfaces). Call it holding
// cmd_mu, with the event thread stopped. The context stays for the life of
// the record: transfers allocated for it are freed before it.
void release_link(usb_ll_dev_priv_t *p) {
  const Backend &be = *p->be;
  if (p->handle != nullptr) {
    be.release_interface(p->handle, 0);
    be.release_interface(p->handle, 1);
    be.close(p->handle);
    p->handle = nullptr;
  }
}

// Releases what the private record holds: the handle, the transfers and
// buffers, the context, then the record itself.
void release_all(torvi_ll_t *ll) {
  usb_ll_dev_priv_t *p = usb_priv(ll);
  {
    std::lock_guard cmd(p->cmd_mu);
    release_link(p);
  }
  for (libusb_transfer *&x : p->xfers) {
    if (x != nullptr) p->be->free_transfer(x);
    x = nullptr;
  }
  if (p->ctx != nullptr) p->be->exit(p->ctx);
  p->ctx = nullptr;
  _usb_ll_dev_priv_free(ll);
}

void stop_event_thread(usb_ll_dev_priv_t *p) {
  std::atomic_ref<int> stop(p->evt_stop);
  if (stop.load() == 0) {
    KX_LOG_AT(KX_LOG_DBG, "usb_ll_dev_close", "stop evt thread...\n");
    stop.store(1);
  }
  if (p->evt_thread.joinable()) p->evt_thread.join();
}

// Stops streaming: no transfer is submitted again, and those in flight are
// cancelled (their last completions still come on the event thread).
void cancel_streaming(usb_ll_dev_priv_t *p) {
  std::lock_guard lk(p->mu);
  p->stopping.store(1);
  for (int i = 0; i < torvi::usb::kXferCount; ++i) {
    if (p->stream_inflight & (1u << i)) p->be->cancel_transfer(p->xfers[i]);
  }
}

// Ends everything the link runs on its camera: streaming, the event thread
// (after the last completions of every transfer, waited for with a bound)
// and the handle. The record, its context, transfers and buffers stay.
// Call it holding cmd_mu. False when a transfer was still in flight: its
// handle and context are then abandoned, never released under it.
bool shut_link(usb_ll_dev_priv_t *p) {
  cancel_streaming(p);
  const bool idle = _usb_ll_wait_idle(p, torvi::usb::kDrainWaitMs);
  stop_event_thread(p);
  if (!idle) {
    KX_LOG_AT(KX_LOG_ERR, "usb_ll_dev_close",
              "transfers still in flight after %u ms; link resources kept\n",
              torvi::usb::kDrainWaitMs);
    p->handle = nullptr;
    p->ctx = nullptr;
    return false;
  }
  release_link(p);
  return true;
}

// Finds and opens the link's camera into the record, configures it and
// starts the event thread. Call it holding cmd_mu. On failure the handle
// is released again (the record and its context stay).
bool open_link(torvi_ll_t *ll, usb_ll_dev_priv_t *p) {
  if (!find_and_open(ll)) {
    release_link(p);
    return false;
  }
  const Backend &be = *p->be;
  constexpr const char *kFn = "usb_ll_dev_open";
  int rc = be.set_configuration(p->handle, 1);
  if (rc != 0) {
    KX_LOG_AT(KX_LOG_ERR, kFn, "libusb_set_configuration failed: %s\n", error_name(rc));
    release_link(p);
    return false;
  }
  be.set_auto_detach_kernel_driver(p->handle, 1);
  rc = be.claim_interface(p->handle, 0);
  if (rc != 0) rc = be.claim_interface(p->handle, 1);
  if (rc != 0) {
    KX_LOG_AT(KX_LOG_ERR, kFn, "libusb_claim_interface failed: %s\n", error_name(rc));
    release_link(p);
    return false;
  }
  p->evt_running.store(0);
  std::atomic_ref<int>(p->evt_stop).store(0);
  try {
    // A lambda keeps the thread's state type local to the library.
    p->evt_thread = std::thread([ll] { _usb_ll_evt_thread(ll); });
  } catch (const std::system_error &) {
    KX_LOG_AT(KX_LOG_ERR, kFn, " create evt thread failed\n");
    release_link(p);
    return false;
  }
  return true;
}

// Waits (bounded) until no transport call runs on a closing link.
bool wait_for_users(usb_ll_dev_priv_t *p) {
  std::unique_lock lk(links_mu());
  return links_cv().wait_for(lk, std::chrono::milliseconds(torvi::usb::kUsersWaitMs),
                             [p] { return p->users == 0; });
}

}  // namespace

LinkUse::LinkUse(torvi_ll_t *ll, const char *fn) {
  bool closing = false;
  {
    std::lock_guard lk(links_mu());
    usb_ll_dev_priv_t *p = usb_priv(ll);
    if (p != nullptr && !p->closing) {
      ++p->users;
      p_ = p;
      return;
    }
    closing = p != nullptr;
  }
  if (closing) {
    KX_LOG_AT(KX_LOG_ERR, fn, "the link is closing: call refused\n");
  } else {
    KX_LOG_AT(KX_LOG_ERR, fn, " USB handler Is NULL!\r\n");
  }
}

LinkUse::~LinkUse() {
  if (p_ == nullptr) return;
  std::lock_guard lk(links_mu());
  if (--p_->users == 0 && p_->closing) links_cv().notify_all();
}

bool _usb_ll_closing(usb_ll_dev_priv_t *p) {
  std::lock_guard lk(links_mu());
  return p->closing;
}

bool _usb_ll_dev_priv_alloc(torvi_ll_t *ll) {
  usb_ll_dev_priv_t *p = nullptr;
  try {
    p = std::make_unique<usb_ll_dev_priv_t>().release();
  } catch (const std::bad_alloc &) {
    KX_LOG_AT(KX_LOG_ERR, "_usb_ll_dev_priv_alloc", "malloc failed\n");
    return false;
  }
  p->be = &torvi::usb::active_backend();
  set_priv(ll, p);
  for (int i = 0; i < torvi::usb::kXferCount; ++i) {
    p->xfers[i] = p->be->alloc_transfer(0);
    try {
      p->buf_store[i] = std::make_unique<uint8_t[]>(torvi::usb::kXferBytes);
    } catch (const std::bad_alloc &) {
      p->buf_store[i] = nullptr;
    }
    p->bufs[i] = p->buf_store[i].get();
    if (p->xfers[i] == nullptr || p->bufs[i] == nullptr) {
      KX_LOG_AT(KX_LOG_ERR, "_usb_ll_dev_priv_alloc", "malloc failed!\n");
      release_all(ll);
      return false;
    }
  }
  return true;
}

void _usb_ll_dev_priv_free(torvi_ll_t *ll) {
  // The record was made by make_unique in _usb_ll_dev_priv_alloc.
  std::unique_ptr<usb_ll_dev_priv_t> owner(usb_priv(ll));
  set_priv(ll, nullptr);
}

bool _usb_ll_wait_idle(usb_ll_dev_priv_t *p, unsigned timeout_ms) {
  std::unique_lock lk(p->mu);
  return p->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                        [p] { return p->stream_inflight == 0 && p->cmd_inflight == 0; });
}

bool _usb_ll_reopen(torvi_ll_t *ll, int tries, unsigned pause_ms) {
  usb_ll_dev_priv_t *p = usb_priv(ll);
  shut_link(p);
  for (int i = 0; i < tries; ++i) {
    torvi::sleep_ms(pause_ms);
    if (_usb_ll_closing(p)) return false;  // a close is waiting for this call
    if (open_link(ll, p)) return true;
  }
  return false;
}

int usb_ll_dev_list(torvi_ll_t *list, int max) {
  if (list == nullptr || max <= 0) return 0;
  const Backend &be = torvi::usb::active_backend();
  constexpr const char *kFn = "usb_ll_dev_list";
  libusb_context *ctx = nullptr;
  for (int i = 0; i < max; ++i) clear_record(&list[i]);
  const int rc = be.init(&ctx);
  if (rc < 0) {
    KX_LOG_AT(KX_LOG_ERR, kFn, " create usb context failed: %s\n", error_name(rc));
    return 0;
  }
  int found = 0;
  {
    DeviceList devs(be, ctx);
    if (devs.count() < 0) {
      KX_LOG_AT(KX_LOG_ERR, kFn, "  enum usb device failed: %d \n", static_cast<int>(devs.count()));
    } else {
      KX_LOG_AT(KX_LOG_DBG, kFn, "probe torvi device (max=%d) in %d usb device\n", max,
                static_cast<int>(devs.count()));
    }
    for (ssize_t i = 0; i < devs.count() && found < max; ++i) {
      libusb_device_descriptor d{};
      if (be.get_device_descriptor(devs[i], &d) < 0) {
        KX_LOG_AT(KX_LOG_ERR, kFn, "  Failed to get device desc of device %d\n",
                  static_cast<int>(i));
        continue;
      }
      const unsigned port = be.get_port_number(devs[i]), bus = be.get_bus_number(devs[i]);
      const unsigned addr = be.get_device_address(devs[i]);
      KX_LOG_AT(KX_LOG_TRC, kFn, "[%02d] %04x:%04x @ %03d:%03d:%03d\n", static_cast<int>(i),
                d.idVendor, d.idProduct, port, bus, addr);
      if (!is_camera(d)) continue;
      torvi_ll_t *rec = &list[found++];
      clear_record(rec);
      fill_link(be, devs[i], rec);
      rec->ops = &ll_op_usb;
      KX_LOG_AT(KX_LOG_DBG, kFn, "  TORVI device (speed=%d) found @ %03d:%03d:%03d, %p\n",
                rec->speed, rec->port, rec->bus, rec->addr, static_cast<void *>(rec));
    }
  }
  be.exit(ctx);
  return found;
}

torvi_ll_t *usb_ll_dev_open(torvi_ll_t *ll) {
  if (ll == nullptr || ll->if_type != TORVI_LL_IF_USB) return nullptr;
  if (usb_priv(ll) != nullptr && usb_priv(ll)->handle != nullptr) {
    KX_LOG_AT(KX_LOG_WRN, "usb_ll_dev_open", "device already open\n");
    return ll;
  }
  if (usb_priv(ll) == nullptr && !_usb_ll_dev_priv_alloc(ll)) return nullptr;
  usb_ll_dev_priv_t *p = usb_priv(ll);
  bool opened = false;
  {
    std::lock_guard cmd(p->cmd_mu);
    opened = open_link(ll, p);
  }
  if (!opened) {
    release_all(ll);
    return nullptr;
  }
  ll->ops = &ll_op_usb;
  return ll;
}

torvi_ll_t *usb_ll_dev_open_by_fd(torvi_ll_t *ll) {
  if (ll == nullptr || ll->if_type != TORVI_LL_IF_USB) return nullptr;
  if (usb_priv(ll) == nullptr && !_usb_ll_dev_priv_alloc(ll)) return nullptr;
  return usb_ll_dev_open(ll);
}

// The link is marked closing first (every new call is refused), streaming
// ends, the calls still running leave (each stops at its next command), and
// only then are the camera's handle, the context and the record released,
// under the command lock.
void usb_ll_dev_close(torvi_ll_t *ll) {
  if (ll == nullptr || ll->if_type != TORVI_LL_IF_USB) return;
  constexpr const char *kFn = "usb_ll_dev_close";
  usb_ll_dev_priv_t *p = nullptr;
  enum class Verdict { close, absent, twice, own_thread } verdict = Verdict::close;
  {
    std::lock_guard lk(links_mu());
    p = usb_priv(ll);
    if (p == nullptr) {
      verdict = Verdict::absent;
    } else if (p->closing) {
      verdict = Verdict::twice;
    } else if (std::this_thread::get_id() == p->evt_id.load()) {
      verdict = Verdict::own_thread;
    } else {
      p->closing = true;
    }
  }
  switch (verdict) {
    case Verdict::absent:
      KX_LOG_AT(KX_LOG_WRN, kFn, "device no need to closed!\n");
      return;
    case Verdict::twice:
      KX_LOG_AT(KX_LOG_ERR, kFn, "another thread is closing the link: refused\n");
      return;
    case Verdict::own_thread:
      // The event thread cannot wait for its own completions nor join itself.
      KX_LOG_AT(KX_LOG_ERR, kFn, "called on the link's event thread: refused\n");
      return;
    case Verdict::close:
      break;
  }
  cancel_streaming(p);
  if (!wait_for_users(p)) {
    // A call still holds the record: it must outlive the call. Keep it.
    KX_LOG_AT(KX_LOG_ERR, kFn, "transport calls still running after %u ms; link kept\n",
              torvi::usb::kUsersWaitMs);
    set_priv(ll, nullptr);
    return;
  }
  bool idle = true;
  {
    std::lock_guard cmd(p->cmd_mu);
    if (p->handle == nullptr) {
      // A reset of the USB interface that never found the camera again.
      KX_LOG_AT(KX_LOG_WRN, kFn, "device no need to closed!\n");
    }
    idle = shut_link(p);
  }
  if (!idle) {
    set_priv(ll, nullptr);  // a completion may still reach the record: keep it
    return;
  }
  release_all(ll);
}

void _usb_ll_evt_thread(torvi_ll_t *ll) {
  usb_ll_dev_priv_t *p = usb_priv(ll);
  const Backend &be = *p->be;
  KX_LOG_AT(KX_LOG_DBG, "_usb_ll_evt_thread", "enter\n");
  p->evt_id.store(std::this_thread::get_id());
  p->evt_running.store(1);
  constexpr const char *kLoop = "_ll_event_loop";
  KX_LOG_AT(KX_LOG_TRC, kLoop, "Enter ll event loop...\n");
  std::atomic_ref<int> stop(p->evt_stop);
  for (;;) {
    timeval tv{0, torvi::usb::kEventPassUs};
    const int rc = be.handle_events_timeout_completed(p->ctx, &tv, &p->evt_stop);
    if (rc >= 0) {
      if (stop.load() != 0) break;
      continue;
    }
    KX_LOG_AT(KX_LOG_ERR, kLoop, "libusb reports error: %s\n", error_name(rc));
    if (rc == LIBUSB_ERROR_INTERRUPTED) {
      KX_LOG_AT(KX_LOG_WRN, kLoop, "libusb_handle_events LIBUSB_ERROR_INTERRUPTED \n");
      break;
    }
    if (rc == LIBUSB_ERROR_TIMEOUT) {
      KX_LOG_AT(KX_LOG_WRN, kLoop, "libusb_handle_events timeout \n");
      break;
    }
    if (rc == LIBUSB_ERROR_BUSY || rc == LIBUSB_ERROR_OVERFLOW) {
      if (stop.load() != 0) break;
      continue;
    }
    break;
  }
  p->evt_running.store(0);
  p->evt_id.store(std::thread::id{});
  KX_LOG_AT(KX_LOG_TRC, kLoop, "Exit ll event loop...\n");
  KX_LOG_AT(KX_LOG_DBG, "_usb_ll_evt_thread", "exit\n");
}
