// libusb semantics over the virtual bus, in process.
#include "vcam/usb_virtual.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "core/byte_order.h"
#include "core/log_internal.h"
#include "vcam/virtual_bus.h"

namespace torvi::vcam {
namespace {

struct VContext;

struct VDevice {
  VContext *ctx = nullptr;
  CameraPtr cam;
  uint64_t gen = 0;
  Identity id;
  int refs = 0;
};

struct VHandle {
  VContext *ctx = nullptr;
  VDevice *dev = nullptr;
  CameraPtr cam;
  uint64_t gen = 0;
  uint32_t claimed = 0;  // bit per interface
};

struct XferState {
  std::vector<std::max_align_t> storage;  // the libusb_transfer record
  libusb_transfer *t = nullptr;
  std::atomic<VContext *> ctx{nullptr};
  // Guarded by the context's lock while in flight.
  bool in_flight = false;
  bool queued = false;  // waiting for data, an answer, a time-out or a cancel
  bool cancel = false;
  bool has_deadline = false;
  Clock::time_point deadline{};
  size_t filled = 0;
  VHandle *handle = nullptr;
};

struct VContext {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<XferState *> queue;  // in flight, submission order
  std::deque<XferState *> done;    // completed, callback not yet run
  int debug = 0;
  int waker = 0;
};

struct Registry {
  std::mutex mu;
  std::unordered_map<libusb_transfer *, std::unique_ptr<XferState>> xfers;
  std::unordered_map<VDevice *, std::unique_ptr<VDevice>> devices;
  std::unordered_map<VHandle *, std::unique_ptr<VHandle>> handles;
  std::unordered_map<VContext *, std::unique_ptr<VContext>> contexts;
  std::unordered_map<libusb_device **, std::vector<libusb_device *>> lists;
};

Registry &reg() {
  static Registry r;
  return r;
}

VContext *as_ctx(libusb_context *c) { return reinterpret_cast<VContext *>(c); }
VDevice *as_dev(libusb_device *d) { return reinterpret_cast<VDevice *>(d); }
VHandle *as_handle(libusb_device_handle *h) { return reinterpret_cast<VHandle *>(h); }

XferState *state_of(libusb_transfer *t) {
  std::lock_guard lock(reg().mu);
  auto it = reg().xfers.find(t);
  return it == reg().xfers.end() ? nullptr : it->second.get();
}

bool handle_alive(const VHandle *h, Clock::time_point now = Clock::now()) {
  return h->cam->attached(now) && h->cam->generation(now) == h->gen;
}

void unref_device(VDevice *d) {
  std::lock_guard lock(reg().mu);
  if (--d->refs <= 0) reg().devices.erase(d);
}

// --- context -------------------------------------------------------------------

int v_init(libusb_context **out) {
  if (out == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  auto ctx = std::make_unique<VContext>();
  VContext *raw = ctx.get();
  {
    std::lock_guard lock(reg().mu);
    reg().contexts.emplace(raw, std::move(ctx));
  }
  raw->waker = VirtualBus::instance().add_waker([raw] {
    std::lock_guard lock(raw->mu);
    raw->cv.notify_all();
  });
  *out = reinterpret_cast<libusb_context *>(raw);
  return 0;
}

void v_exit(libusb_context *c) {
  VContext *ctx = as_ctx(c);
  if (ctx == nullptr) return;
  VirtualBus::instance().remove_waker(ctx->waker);
  std::lock_guard lock(reg().mu);
  reg().contexts.erase(ctx);
}

void v_set_debug(libusb_context *c, int level) {
  if (VContext *ctx = as_ctx(c)) {
    std::lock_guard lock(ctx->mu);
    ctx->debug = level;
  }
}

// --- devices -------------------------------------------------------------------

ssize_t v_get_device_list(libusb_context *c, libusb_device ***list) {
  if (c == nullptr || list == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  const auto now = Clock::now();
  std::vector<libusb_device *> out;
  for (const auto &cam : VirtualBus::instance().cameras()) {
    if (!cam->attached(now)) continue;
    auto d = std::make_unique<VDevice>();
    d->ctx = as_ctx(c);
    d->cam = cam;
    d->gen = cam->generation(now);
    d->id = cam->identity();
    d->refs = 1;
    out.push_back(reinterpret_cast<libusb_device *>(d.get()));
    std::lock_guard lock(reg().mu);
    reg().devices.emplace(d.get(), std::move(d));
  }
  const auto count = static_cast<ssize_t>(out.size());
  out.push_back(nullptr);
  std::lock_guard lock(reg().mu);
  libusb_device **data = out.data();
  reg().lists.emplace(data, std::move(out));
  *list = data;
  return count;
}

void v_free_device_list(libusb_device **list, int unref_devices) {
  if (list == nullptr) return;
  std::vector<libusb_device *> devs;
  {
    std::lock_guard lock(reg().mu);
    auto it = reg().lists.find(list);
    if (it == reg().lists.end()) return;
    devs = std::move(it->second);
    reg().lists.erase(it);
  }
  if (!unref_devices) return;
  for (libusb_device *d : devs)
    if (d != nullptr) unref_device(as_dev(d));
}

int v_get_device_descriptor(libusb_device *d, libusb_device_descriptor *desc) {
  if (d == nullptr || desc == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  const Identity &id = as_dev(d)->id;
  std::memset(desc, 0, sizeof *desc);
  desc->bLength = LIBUSB_DT_DEVICE_SIZE;
  desc->bDescriptorType = LIBUSB_DT_DEVICE;
  desc->bcdUSB = 0x0200;
  desc->bDeviceClass = LIBUSB_CLASS_VENDOR_SPEC;
  desc->bMaxPacketSize0 = 64;
  desc->idVendor = id.vendor;
  desc->idProduct = id.product;
  desc->bcdDevice = 0x0100;
  desc->iManufacturer = 1;
  desc->iProduct = 2;
  desc->iSerialNumber = 3;
  desc->bNumConfigurations = 1;
  return 0;
}

uint8_t v_bus(libusb_device *d) { return d ? as_dev(d)->id.bus : 0; }
uint8_t v_port(libusb_device *d) { return d ? as_dev(d)->id.port : 0; }
uint8_t v_address(libusb_device *d) { return d ? as_dev(d)->id.address : 0; }
int v_speed(libusb_device *d) { return d ? as_dev(d)->id.speed : LIBUSB_SPEED_UNKNOWN; }

// --- handles -------------------------------------------------------------------

int v_open(libusb_device *d, libusb_device_handle **out) {
  if (d == nullptr || out == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  VDevice *dev = as_dev(d);
  const auto now = Clock::now();
  if (!dev->cam->attached(now) || dev->cam->generation(now) != dev->gen)
    return LIBUSB_ERROR_NO_DEVICE;
  if (const int rc = dev->cam->on_open(); rc != 0) return rc;
  auto h = std::make_unique<VHandle>();
  h->ctx = dev->ctx;
  h->dev = dev;
  h->cam = dev->cam;
  h->gen = dev->gen;
  std::lock_guard lock(reg().mu);
  ++dev->refs;
  *out = reinterpret_cast<libusb_device_handle *>(h.get());
  reg().handles.emplace(h.get(), std::move(h));
  return 0;
}

void v_close(libusb_device_handle *hh) {
  VHandle *h = as_handle(hh);
  if (h == nullptr) return;
  {
    std::lock_guard lock(h->ctx->mu);
    auto mine = [h](XferState *s) { return s->handle == h; };
    const auto left = std::count_if(h->ctx->queue.begin(), h->ctx->queue.end(), mine) +
                      std::count_if(h->ctx->done.begin(), h->ctx->done.end(), mine);
    if (left > 0) KX_WRN("closing a handle with %d transfers in flight\n", static_cast<int>(left));
    for (XferState *s : h->ctx->queue)
      if (mine(s)) s->in_flight = s->queued = false;
    for (XferState *s : h->ctx->done)
      if (mine(s)) s->in_flight = false;
    std::erase_if(h->ctx->queue, mine);
    std::erase_if(h->ctx->done, mine);
  }
  VDevice *dev = h->dev;
  {
    std::lock_guard lock(reg().mu);
    reg().handles.erase(h);
  }
  unref_device(dev);
}

int v_auto_detach(libusb_device_handle *hh, int /*enable*/) {
  return hh == nullptr ? LIBUSB_ERROR_INVALID_PARAM : 0;
}

int v_set_configuration(libusb_device_handle *hh, int configuration) {
  VHandle *h = as_handle(hh);
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!handle_alive(h)) return LIBUSB_ERROR_NO_DEVICE;
  return configuration == 1 || configuration == -1 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int v_claim(libusb_device_handle *hh, int iface) {
  VHandle *h = as_handle(hh);
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!handle_alive(h)) return LIBUSB_ERROR_NO_DEVICE;
  if (const int rc = h->cam->on_claim(iface); rc != 0) return rc;
  std::lock_guard lock(h->ctx->mu);
  h->claimed |= 1u << iface;
  return 0;
}

int v_release(libusb_device_handle *hh, int iface) {
  VHandle *h = as_handle(hh);
  if (h == nullptr || iface < 0 || iface > 31) return LIBUSB_ERROR_INVALID_PARAM;
  std::lock_guard lock(h->ctx->mu);
  if (!(h->claimed & (1u << iface))) return LIBUSB_ERROR_NOT_FOUND;
  h->claimed &= ~(1u << iface);
  return handle_alive(h) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int v_clear_halt(libusb_device_handle *hh, unsigned char endpoint) {
  VHandle *h = as_handle(hh);
  if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!handle_alive(h)) return LIBUSB_ERROR_NO_DEVICE;
  if (endpoint != kBulkInEndpoint) return LIBUSB_ERROR_NOT_FOUND;
  h->cam->clear_halt(endpoint);
  return 0;
}

// --- transfers -----------------------------------------------------------------

libusb_transfer *v_alloc_transfer(int iso_packets) {
  if (iso_packets < 0) return nullptr;
  auto st = std::make_unique<XferState>();
  const size_t bytes = sizeof(libusb_transfer) +
                       static_cast<size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
  st->storage.resize((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
  std::memset(static_cast<void *>(st->storage.data()), 0,
              st->storage.size() * sizeof(std::max_align_t));
  st->t = reinterpret_cast<libusb_transfer *>(st->storage.data());
  st->t->num_iso_packets = iso_packets;
  libusb_transfer *t = st->t;
  std::lock_guard lock(reg().mu);
  reg().xfers.emplace(t, std::move(st));
  return t;
}

void v_free_transfer(libusb_transfer *t) {
  if (t == nullptr) return;
  XferState *st = state_of(t);
  if (st == nullptr) return;
  if (VContext *ctx = st->ctx.load()) {
    std::lock_guard lock(ctx->mu);
    if (st->in_flight) {
      KX_ERR("transfer %p is still in flight; not freed\n", static_cast<void *>(t));
      return;
    }
  }
  if ((t->flags & LIBUSB_TRANSFER_FREE_BUFFER) && t->buffer != nullptr) std::free(t->buffer);
  std::lock_guard lock(reg().mu);
  reg().xfers.erase(t);
}

// Moves a transfer from the queue (if there) to the completed list.
void complete(VContext *ctx, XferState *st, libusb_transfer_status status) {
  st->t->status = status;
  if (st->t->type != LIBUSB_TRANSFER_TYPE_CONTROL)
    st->t->actual_length = static_cast<int>(st->filled);
  if (st->queued) {
    std::erase(ctx->queue, st);
    st->queued = false;
  }
  ctx->done.push_back(st);
}

int submit_control(VContext *ctx, XferState *st, VHandle *h) {
  libusb_transfer *t = st->t;
  constexpr int kSetup = LIBUSB_CONTROL_SETUP_SIZE;
  if (t->buffer == nullptr || t->length < kSetup) return LIBUSB_ERROR_INVALID_PARAM;
  const uint8_t *s = t->buffer;
  const uint16_t value = torvi::get_le16(s + 2);
  const uint16_t index = torvi::get_le16(s + 4);
  const uint16_t length = torvi::get_le16(s + 6);
  if (t->length < kSetup + length) return LIBUSB_ERROR_INVALID_PARAM;
  st->in_flight = true;
  const int rc = h->cam->control(s[0], s[1], value, index,
                                 std::span<uint8_t>(t->buffer + LIBUSB_CONTROL_SETUP_SIZE, length));
  if (rc == kNoAnswer) {
    st->queued = true;
    ctx->queue.push_back(st);
    return 0;
  }
  t->actual_length = rc > 0 ? rc : 0;
  complete(ctx, st,
           rc >= 0                        ? LIBUSB_TRANSFER_COMPLETED
           : rc == LIBUSB_ERROR_PIPE      ? LIBUSB_TRANSFER_STALL
           : rc == LIBUSB_ERROR_NO_DEVICE ? LIBUSB_TRANSFER_NO_DEVICE
                                          : LIBUSB_TRANSFER_ERROR);
  return 0;
}

int v_submit(libusb_transfer *t) {
  if (t == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  XferState *st = state_of(t);
  VHandle *h = as_handle(t->dev_handle);
  if (st == nullptr || h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  VContext *ctx = h->ctx;
  std::lock_guard lock(ctx->mu);
  if (st->in_flight) return LIBUSB_ERROR_BUSY;
  const auto now = Clock::now();
  if (!handle_alive(h, now)) return LIBUSB_ERROR_NO_DEVICE;
  st->ctx.store(ctx);
  st->handle = h;
  st->cancel = false;
  st->filled = 0;
  t->actual_length = 0;
  t->status = LIBUSB_TRANSFER_COMPLETED;
  st->has_deadline = t->timeout != 0;
  st->deadline = now + std::chrono::milliseconds(t->timeout);
  int rc = 0;
  if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL) {
    rc = submit_control(ctx, st, h);
  } else if (t->type == LIBUSB_TRANSFER_TYPE_BULK && (t->endpoint & LIBUSB_ENDPOINT_IN) &&
             t->length >= 0 && (t->buffer != nullptr || t->length == 0)) {
    st->in_flight = true;
    st->queued = true;
    ctx->queue.push_back(st);
  } else {
    rc = LIBUSB_ERROR_NOT_SUPPORTED;
  }
  ctx->cv.notify_all();
  return rc;
}

int v_cancel(libusb_transfer *t) {
  XferState *st = t ? state_of(t) : nullptr;
  if (st == nullptr) return LIBUSB_ERROR_NOT_FOUND;
  VContext *ctx = st->ctx.load();
  if (ctx == nullptr) return LIBUSB_ERROR_NOT_FOUND;
  std::lock_guard lock(ctx->mu);
  if (!st->in_flight || !st->queued || st->cancel) return LIBUSB_ERROR_NOT_FOUND;
  st->cancel = true;
  ctx->cv.notify_all();
  return 0;
}

// Advances every queued transfer to `now`; returns when to look again.
Clock::time_point pump(VContext *ctx, Clock::time_point now) {
  Clock::time_point wake = Clock::time_point::max();
  std::vector<std::pair<VHandle *, unsigned char>> blocked;
  const std::vector<XferState *> snapshot = ctx->queue;
  for (XferState *st : snapshot) {
    libusb_transfer *t = st->t;
    if (st->cancel) {
      complete(ctx, st, LIBUSB_TRANSFER_CANCELLED);
      continue;
    }
    if (!handle_alive(st->handle, now)) {
      complete(ctx, st, LIBUSB_TRANSFER_NO_DEVICE);
      continue;
    }
    if (st->has_deadline && now >= st->deadline) {
      complete(ctx, st, LIBUSB_TRANSFER_TIMED_OUT);
      continue;
    }
    if (st->has_deadline) wake = std::min(wake, st->deadline);
    if (t->type != LIBUSB_TRANSFER_TYPE_BULK) continue;
    const std::pair key{st->handle, t->endpoint};
    if (std::find(blocked.begin(), blocked.end(), key) != blocked.end()) continue;
    while (true) {
      const size_t room = static_cast<size_t>(t->length) - st->filled;
      const BulkStep step = st->handle->cam->bulk_in(
          t->endpoint, std::span<uint8_t>(t->buffer + st->filled, room), now);
      if (step.kind == BulkStep::Kind::stall) {
        complete(ctx, st, LIBUSB_TRANSFER_STALL);
        break;
      }
      if (step.kind == BulkStep::Kind::no_device) {
        complete(ctx, st, LIBUSB_TRANSFER_NO_DEVICE);
        break;
      }
      if (step.kind == BulkStep::Kind::timed_out) {
        st->filled += step.bytes;
        complete(ctx, st, LIBUSB_TRANSFER_TIMED_OUT);
        break;
      }
      st->filled += step.bytes;
      if (st->filled >= static_cast<size_t>(t->length) || step.end_of_transfer) {
        complete(ctx, st, LIBUSB_TRANSFER_COMPLETED);
        break;
      }
      if (step.kind == BulkStep::Kind::wait || step.bytes == 0) {
        if (step.next) wake = std::min(wake, *step.next);
        blocked.push_back(key);
        break;
      }
    }
  }
  return wake;
}

int v_handle_events(libusb_context *c, struct timeval *tv, int *completed) {
  VContext *ctx = as_ctx(c);
  if (ctx == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  const auto start = Clock::now();
  const auto limit =
      tv ? start + std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec)
         : Clock::time_point::max();
  std::unique_lock lock(ctx->mu);
  while (true) {
    const auto now = Clock::now();
    const auto wake = pump(ctx, now);
    if (!ctx->done.empty()) {
      std::deque<XferState *> ready;
      ready.swap(ctx->done);
      std::vector<libusb_transfer *> calls;
      for (XferState *st : ready) {
        st->in_flight = false;
        calls.push_back(st->t);
      }
      lock.unlock();
      for (libusb_transfer *t : calls)
        if (t->callback) t->callback(t);
      return 0;
    }
    if (completed != nullptr && __atomic_load_n(completed, __ATOMIC_ACQUIRE) != 0) return 0;
    if (now >= limit) return 0;
    // Look again at the earliest event, the caller's limit, or a short
    // period (a camera can change behind the bus's back).
    const auto until = std::min({limit, wake, now + std::chrono::milliseconds(20)});
    ctx->cv.wait_until(lock, until);
  }
}

const torvi::usb::Backend kVirtual = {
    .name = "virtual",
    .init = v_init,
    .exit = v_exit,
    .set_debug = v_set_debug,
    .get_device_list = v_get_device_list,
    .free_device_list = v_free_device_list,
    .get_device_descriptor = v_get_device_descriptor,
    .get_bus_number = v_bus,
    .get_port_number = v_port,
    .get_device_address = v_address,
    .get_device_speed = v_speed,
    .open = v_open,
    .close = v_close,
    .set_auto_detach_kernel_driver = v_auto_detach,
    .set_configuration = v_set_configuration,
    .claim_interface = v_claim,
    .release_interface = v_release,
    .clear_halt = v_clear_halt,
    .alloc_transfer = v_alloc_transfer,
    .free_transfer = v_free_transfer,
    .submit_transfer = v_submit,
    .cancel_transfer = v_cancel,
    .handle_events_timeout_completed = v_handle_events,
};

}  // namespace

const torvi::usb::Backend &usb_backend_virtual() { return kVirtual; }

int usb_virtual_in_flight(libusb_context *c) {
  VContext *ctx = as_ctx(c);
  if (ctx == nullptr) return 0;
  std::lock_guard lock(ctx->mu);
  return static_cast<int>(ctx->queue.size() + ctx->done.size());
}

}  // namespace torvi::vcam
