// USB discovery and connection: enumeration, open, the event thread, close.
#include <atomic>
#include <cstring>
#include <new>

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
  KX_LOG_NAME("_usb_ll_dev_open");
  const Backend &be = *p->be;
  for (ssize_t i = 0; i < devs.count(); ++i) {
    libusb_device *dev = devs[i];
    libusb_device_descriptor d{};
    if (be.get_device_descriptor(dev, &d) < 0) {
      KX_ERR("  Failed to get device desc of device %d\n", static_cast<int>(i));
      continue;
    }
    const int speed = be.get_device_speed(dev);
    const unsigned port = be.get_port_number(dev), bus = be.get_bus_number(dev);
    const unsigned addr = be.get_device_address(dev);
    if (ll->located) {
      KX_TRC("[%d] %04x:%04x (speed=%d) @ %03d:%03d:%03d\n", static_cast<int>(i), d.idVendor,
             d.idProduct, speed, port, bus, addr);
      if (!is_camera(d) || bus != ll->bus || port != ll->port) continue;
      KX_DBG("open torvi device @ %03d:%03d:%03d\n", ll->port, ll->bus, ll->addr);
      const int rc = be.open(dev, &p->handle);
      if (rc == 0) {
        ll->addr = static_cast<uint8_t>(addr);
        ll->speed = static_cast<uint8_t>(speed);
        return true;
      }
      p->handle = nullptr;
      KX_WRN("failed to open this device: %s\n", error_name(rc));
    } else {
      if (!is_camera(d)) continue;
      KX_DBG("found torvi device (speed=%d) @ %03d:%03d:%03d\n", speed, port, bus, addr);
      if (speed < LIBUSB_SPEED_HIGH) {
        KX_WRN("found torvi device not in HS mode (speed=%d) @ %03d:%03d:%03d\n", speed, port, bus,
               addr);
      }
      const int rc = be.open(dev, &p->handle);
      if (rc == 0) {
        fill_link(be, dev, ll);
        return true;
      }
      p->handle = nullptr;
      KX_WRN("  failed to open this device: %s, try next ...\n", error_name(rc));
    }
  }
  return false;
}

// Steps that find and open the camera (the caller closes the link again on
// failure).
bool _usb_ll_dev_open(torvi_ll_t *ll) {
  usb_ll_dev_priv_t *p = usb_priv(ll);
  const Backend &be = *p->be;
  if (p->ctx == nullptr) {
    KX_DBG(" create usb context\n");
    const int rc = be.init(&p->ctx);
    if (rc < 0) {
      p->ctx = nullptr;
      KX_ERR(" create usb context failed: %s\n", error_name(rc));
      return false;
    }
    be.set_debug(p->ctx, static_cast<int>(usb_ll_debug_level()));
  }
  DeviceList devs(be, p->ctx);
  if (devs.count() < 0) {
    KX_ERR("  enum libusb device failed: %d \n", static_cast<int>(devs.count()));
    return false;
  }
  KX_TRC("  %d usb device found \n", static_cast<int>(devs.count()));
  return open_matching(ll, p, devs);
}

// Releases what the private record holds: the handle (after its interfaces),
// the context, the transfers and buffers, then the record itself.
void release_all(torvi_ll_t *ll) {
  usb_ll_dev_priv_t *p = usb_priv(ll);
  const Backend &be = *p->be;
  if (p->handle != nullptr) {
    be.release_interface(p->handle, 0);
    be.release_interface(p->handle, 1);
    be.close(p->handle);
    p->handle = nullptr;
  }
  for (libusb_transfer *&x : p->xfers) {
    if (x != nullptr) be.free_transfer(x);
    x = nullptr;
  }
  if (p->ctx != nullptr) be.exit(p->ctx);
  p->ctx = nullptr;
  _usb_ll_dev_priv_free(ll);
}

void stop_event_thread(usb_ll_dev_priv_t *p) {
  KX_LOG_NAME("usb_ll_dev_close");
  std::atomic_ref<int> stop(p->evt_stop);
  if (stop.load() == 0) {
    KX_DBG("stop evt thread...\n");
    stop.store(1);
  }
  if (p->evt_thread.joinable()) p->evt_thread.join();
}

// Cancels every transfer still in flight and waits (bounded) for their last
// completions, with the event thread still delivering them.
bool drain_transfers(usb_ll_dev_priv_t *p) {
  {
    std::lock_guard lk(p->mu);
    p->stopping.store(1);
    for (int i = 0; i < torvi::usb::kXferCount; ++i) {
      if (p->stream_inflight & (1u << i)) p->be->cancel_transfer(p->xfers[i]);
    }
  }
  return _usb_ll_wait_idle(p, torvi::usb::kDrainWaitMs);
}

}  // namespace

bool _usb_ll_dev_priv_alloc(torvi_ll_t *ll) {
  usb_ll_dev_priv_t *p = nullptr;
  try {
    p = std::make_unique<usb_ll_dev_priv_t>().release();
  } catch (const std::bad_alloc &) {
    KX_ERR("malloc failed\n");
    return false;
  }
  ll->priv = p;
  p->be = &torvi::usb::active_backend();
  for (int i = 0; i < torvi::usb::kXferCount; ++i) {
    p->xfers[i] = p->be->alloc_transfer(0);
    try {
      p->buf_store[i] = std::make_unique<uint8_t[]>(torvi::usb::kXferBytes);
    } catch (const std::bad_alloc &) {
      p->buf_store[i] = nullptr;
    }
    p->bufs[i] = p->buf_store[i].get();
    if (p->xfers[i] == nullptr || p->bufs[i] == nullptr) {
      KX_ERR("malloc failed!\n");
      release_all(ll);
      return false;
    }
  }
  return true;
}

void _usb_ll_dev_priv_free(torvi_ll_t *ll) {
  // The record was made by make_unique in _usb_ll_dev_priv_alloc.
  std::unique_ptr<usb_ll_dev_priv_t> owner(usb_priv(ll));
  ll->priv = nullptr;
}

bool _usb_ll_wait_idle(usb_ll_dev_priv_t *p, unsigned timeout_ms) {
  std::unique_lock lk(p->mu);
  return p->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                        [p] { return p->stream_inflight == 0 && p->cmd_inflight == 0; });
}

int usb_ll_dev_list(torvi_ll_t *list, int max) {
  if (list == nullptr || max <= 0) return 0;
  const Backend &be = torvi::usb::active_backend();
  libusb_context *ctx = nullptr;
  for (int i = 0; i < max; ++i) clear_record(&list[i]);
  const int rc = be.init(&ctx);
  if (rc < 0) {
    KX_ERR(" create usb context failed: %s\n", error_name(rc));
    return 0;
  }
  int found = 0;
  {
    DeviceList devs(be, ctx);
    if (devs.count() < 0) {
      KX_ERR("  enum usb device failed: %d \n", static_cast<int>(devs.count()));
    } else {
      KX_DBG("probe torvi device (max=%d) in %d usb device\n", max, static_cast<int>(devs.count()));
    }
    for (ssize_t i = 0; i < devs.count() && found < max; ++i) {
      libusb_device_descriptor d{};
      if (be.get_device_descriptor(devs[i], &d) < 0) {
        KX_ERR("  Failed to get device desc of device %d\n", static_cast<int>(i));
        continue;
      }
      const unsigned port = be.get_port_number(devs[i]), bus = be.get_bus_number(devs[i]);
      const unsigned addr = be.get_device_address(devs[i]);
      KX_TRC("[%02d] %04x:%04x @ %03d:%03d:%03d\n", static_cast<int>(i), d.idVendor, d.idProduct,
             port, bus, addr);
      if (!is_camera(d)) continue;
      torvi_ll_t *rec = &list[found++];
      clear_record(rec);
      fill_link(be, devs[i], rec);
      rec->ops = &ll_op_usb;
      KX_DBG("  TORVI device (speed=%d) found @ %03d:%03d:%03d, %p\n", rec->speed, rec->port,
             rec->bus, rec->addr, static_cast<void *>(rec));
    }
  }
  be.exit(ctx);
  return found;
}

torvi_ll_t *usb_ll_dev_open(torvi_ll_t *ll) {
  if (ll == nullptr || ll->if_type != TORVI_LL_IF_USB) return nullptr;
  if (usb_priv(ll) != nullptr && usb_priv(ll)->handle != nullptr) {
    KX_WRN("device already open\n");
    return ll;
  }
  if (usb_priv(ll) == nullptr && !_usb_ll_dev_priv_alloc(ll)) return nullptr;
  if (!_usb_ll_dev_open(ll)) {
    release_all(ll);
    return nullptr;
  }
  usb_ll_dev_priv_t *p = usb_priv(ll);
  const Backend &be = *p->be;
  int rc = be.set_configuration(p->handle, 1);
  if (rc != 0) {
    KX_ERR("libusb_set_configuration failed: %s\n", error_name(rc));
    release_all(ll);
    return nullptr;
  }
  be.set_auto_detach_kernel_driver(p->handle, 1);
  rc = be.claim_interface(p->handle, 0);
  if (rc != 0) rc = be.claim_interface(p->handle, 1);
  if (rc != 0) {
    KX_ERR("libusb_claim_interface failed: %s\n", error_name(rc));
    release_all(ll);
    return nullptr;
  }
  p->evt_running.store(0);
  std::atomic_ref<int>(p->evt_stop).store(0);
  try {
    // A lambda keeps the thread's state type local to the library.
    p->evt_thread = std::thread([ll] { _usb_ll_evt_thread(ll); });
  } catch (const std::system_error &) {
    KX_ERR(" create evt thread failed\n");
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

void usb_ll_dev_close(torvi_ll_t *ll) {
  if (ll == nullptr || ll->if_type != TORVI_LL_IF_USB) return;
  usb_ll_dev_priv_t *p = usb_priv(ll);
  if (p == nullptr || p->ctx == nullptr || p->handle == nullptr) {
    KX_WRN("device no need to closed!\n");
    return;
  }
  if (std::this_thread::get_id() == p->evt_thread.get_id()) {
    // The event thread cannot wait for its own completions nor join itself.
    KX_ERR("called on the link's event thread: refused\n");
    return;
  }
  const bool idle = drain_transfers(p);
  stop_event_thread(p);
  if (!idle) {
    // A transfer still belongs to libusb: freeing it, its buffer or the
    // context now would let its completion touch freed memory. Keep them.
    KX_ERR("transfers still in flight after %u ms; link resources kept\n",
           torvi::usb::kDrainWaitMs);
    ll->priv = nullptr;
    return;
  }
  release_all(ll);
}

namespace {

// Runs libusb event handling in passes until the link asks the thread to stop
// or libusb reports an error that ends the loop.
void _ll_event_loop(usb_ll_dev_priv_t *p) {
  const Backend &be = *p->be;
  KX_TRC("Enter ll event loop...\n");
  std::atomic_ref<int> stop(p->evt_stop);
  for (;;) {
    timeval tv{0, torvi::usb::kEventPassUs};
    const int rc = be.handle_events_timeout_completed(p->ctx, &tv, &p->evt_stop);
    if (rc >= 0) {
      if (stop.load() != 0) break;
      continue;
    }
    KX_ERR("libusb reports error: %s\n", error_name(rc));
    if (rc == LIBUSB_ERROR_INTERRUPTED) {
      KX_WRN("libusb_handle_events LIBUSB_ERROR_INTERRUPTED \n");
      break;
    }
    if (rc == LIBUSB_ERROR_TIMEOUT) {
      KX_WRN("libusb_handle_events timeout \n");
      break;
    }
    if (rc == LIBUSB_ERROR_BUSY || rc == LIBUSB_ERROR_OVERFLOW) {
      if (stop.load() != 0) break;
      continue;
    }
    break;
  }
  KX_TRC("Exit ll event loop...\n");
}

}  // namespace

void _usb_ll_evt_thread(torvi_ll_t *ll) {
  usb_ll_dev_priv_t *p = usb_priv(ll);
  if (p == nullptr) return;
  KX_DBG("enter\n");
  p->evt_running.store(1);
  _ll_event_loop(p);
  p->evt_running.store(0);
  KX_DBG("exit\n");
}
