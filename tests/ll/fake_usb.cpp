#include "fake_usb.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/byte_order.h"

namespace torvi::test {
namespace {

FakeUsb *g_fake = nullptr;

// Opaque objects handed out as contexts and handles.
struct Token {
  FakeDevice *dev = nullptr;
};
std::mutex g_tokens_mu;
std::map<void *, std::unique_ptr<Token>> g_tokens;

void *new_token(FakeDevice *dev) {
  auto t = std::make_unique<Token>();
  t->dev = dev;
  void *key = t.get();
  std::lock_guard lk(g_tokens_mu);
  g_tokens[key] = std::move(t);
  return key;
}
FakeDevice *token_dev(void *key) {
  std::lock_guard lk(g_tokens_mu);
  auto it = g_tokens.find(key);
  return it == g_tokens.end() ? nullptr : it->second->dev;
}
void drop_token(void *key) {
  std::lock_guard lk(g_tokens_mu);
  g_tokens.erase(key);
}

const usb::Backend kFake = {
    .name = "fake",
    .init = [](libusb_context **c) { return g_fake->init(c); },
    .exit = [](libusb_context *c) { g_fake->exit(c); },
    .set_debug = [](libusb_context *c, int l) { g_fake->set_debug(c, l); },
    .get_device_list = [](libusb_context *c,
                          libusb_device ***l) { return g_fake->get_device_list(c, l); },
    .free_device_list = [](libusb_device **l, int u) { g_fake->free_device_list(l, u); },
    .get_device_descriptor =
        [](libusb_device *d, libusb_device_descriptor *desc) {
          return g_fake->get_device_descriptor(d, desc);
        },
    .get_bus_number = [](libusb_device *d) { return g_fake->dev_of(d)->bus; },
    .get_port_number = [](libusb_device *d) { return g_fake->dev_of(d)->port; },
    .get_device_address = [](libusb_device *d) { return g_fake->dev_of(d)->addr; },
    .get_device_speed = [](libusb_device *d) { return g_fake->dev_of(d)->speed; },
    .open = [](libusb_device *d, libusb_device_handle **h) { return g_fake->open(d, h); },
    .close = [](libusb_device_handle *h) { g_fake->close(h); },
    .set_auto_detach_kernel_driver = [](libusb_device_handle *, int) { return 0; },
    .set_configuration = [](libusb_device_handle *h,
                            int c) { return g_fake->set_configuration(h, c); },
    .claim_interface = [](libusb_device_handle *h, int i) { return g_fake->claim_interface(h, i); },
    .release_interface = [](libusb_device_handle *, int) { return 0; },
    .clear_halt = [](libusb_device_handle *h,
                     unsigned char ep) { return g_fake->clear_halt(h, ep); },
    .alloc_transfer = [](int iso) { return g_fake->alloc_transfer(iso); },
    .free_transfer = [](libusb_transfer *t) { g_fake->free_transfer(t); },
    .submit_transfer = [](libusb_transfer *t) { return g_fake->submit_transfer(t); },
    .cancel_transfer = [](libusb_transfer *t) { return g_fake->cancel_transfer(t); },
    .handle_events_timeout_completed = [](libusb_context *c, timeval *tv,
                                          int *done) { return g_fake->handle_events(c, tv, done); },
};

}  // namespace

FakeUsb::FakeUsb() {
  g_fake = this;
  usb::set_active_backend(&kFake);
}

FakeUsb::~FakeUsb() {
  usb::set_active_backend(nullptr);
  g_fake = nullptr;
}

const usb::Backend &FakeUsb::backend() { return kFake; }

FakeDevice *FakeUsb::dev_of(libusb_device *d) { return reinterpret_cast<FakeDevice *>(d); }

int FakeUsb::init(libusb_context **ctx) {
  std::lock_guard lk(mu_);
  ++contexts_;
  ++contexts_created_;
  *ctx = static_cast<libusb_context *>(new_token(nullptr));
  return 0;
}

void FakeUsb::exit(libusb_context *ctx) {
  drop_token(ctx);
  std::lock_guard lk(mu_);
  --contexts_;
}

void FakeUsb::set_debug(libusb_context *, int level) {
  std::lock_guard lk(mu_);
  debug_level_ = level;
}

ssize_t FakeUsb::get_device_list(libusb_context *, libusb_device ***list) {
  auto *l = static_cast<libusb_device **>(std::calloc(devices.size() + 1, sizeof(libusb_device *)));
  for (size_t i = 0; i < devices.size(); ++i) l[i] = reinterpret_cast<libusb_device *>(&devices[i]);
  *list = l;
  return static_cast<ssize_t>(devices.size());
}

void FakeUsb::free_device_list(libusb_device **list, int) { std::free(list); }

int FakeUsb::get_device_descriptor(libusb_device *d, libusb_device_descriptor *desc) {
  const FakeDevice *fd = dev_of(d);
  if (fd->desc_rc < 0) return fd->desc_rc;
  std::memset(desc, 0, sizeof *desc);
  desc->idVendor = fd->vid;
  desc->idProduct = fd->pid;
  return 0;
}

int FakeUsb::open(libusb_device *d, libusb_device_handle **h) {
  FakeDevice *fd = dev_of(d);
  if (fd->open_rc < 0) return fd->open_rc;
  *h = static_cast<libusb_device_handle *>(new_token(fd));
  std::lock_guard lk(mu_);
  handles_.insert(*h);
  return 0;
}

void FakeUsb::close(libusb_device_handle *h) {
  drop_token(h);
  std::lock_guard lk(mu_);
  handles_.erase(h);
}

int FakeUsb::set_configuration(libusb_device_handle *h, int) { return token_dev(h)->config_rc; }

int FakeUsb::claim_interface(libusb_device_handle *h, int i) {
  return i >= 0 && i < 2 ? token_dev(h)->claim_rc[i] : LIBUSB_ERROR_NOT_FOUND;
}

int FakeUsb::clear_halt(libusb_device_handle *, unsigned char) {
  std::lock_guard lk(mu_);
  ++clear_halts_;
  return 0;
}

libusb_transfer *FakeUsb::alloc_transfer(int) {
  auto *t = static_cast<libusb_transfer *>(std::calloc(1, sizeof(libusb_transfer)));
  std::lock_guard lk(mu_);
  live_.insert(t);
  return t;
}

void FakeUsb::free_transfer(libusb_transfer *t) {
  if (t == nullptr) return;
  {
    std::lock_guard lk(mu_);
    const bool in_flight =
        control_pending_.count(t) != 0 || t == held_ ||
        std::find(bulk_pending_.begin(), bulk_pending_.end(), t) != bulk_pending_.end() ||
        std::find(completions_.begin(), completions_.end(), t) != completions_.end();
    if (in_flight) {
      ++freed_in_flight_;
      return;  // keep it alive: the test reports the fault
    }
    live_.erase(t);
  }
  if (t->flags & LIBUSB_TRANSFER_FREE_BUFFER) std::free(t->buffer);
  std::free(t);
}

void FakeUsb::queue_completion(libusb_transfer *t, libusb_transfer_status st, int actual) {
  t->status = st;
  t->actual_length = actual;
  completions_.push_back(t);
  cv_.notify_all();
}

int FakeUsb::submit_transfer(libusb_transfer *t) {
  std::lock_guard lk(mu_);
  if (unplugged_) return LIBUSB_ERROR_NO_DEVICE;
  if (t->type == LIBUSB_TRANSFER_TYPE_BULK) {
    if (bulk_submit_rc_ != 0) return bulk_submit_rc_;
    if (std::find(bulk_pending_.begin(), bulk_pending_.end(), t) != bulk_pending_.end()) {
      return LIBUSB_ERROR_BUSY;
    }
    bulk_pending_.push_back(t);
    cv_.notify_all();
    return 0;
  }
  answer_control(t);
  return 0;
}

void FakeUsb::answer_control(libusb_transfer *t) {
  const uint8_t *b = t->buffer;
  ControlRecord c{b[0],
                  b[1],
                  get_le16(b + 2),
                  get_le16(b + 4),
                  get_le16(b + 6),
                  {},
                  static_cast<int>(bulk_pending_.size())};
  if ((c.type & 0x80) == 0) c.out.assign(b + 8, b + 8 + c.length);
  controls_.push_back(c);
  if (cam.unanswered > 0) {
    --cam.unanswered;
    if (cam.late_after_cancel) {
      held_ = t;
    } else {
      control_pending_.insert(t);
    }
    return;
  }
  const int n = camera_control(c, t->buffer + 8);
  if (n == LIBUSB_ERROR_PIPE) {
    queue_completion(t, LIBUSB_TRANSFER_STALL, 0);
  } else {
    queue_completion(t, LIBUSB_TRANSFER_COMPLETED, n);
  }
}

void FakeUsb::status_reply(uint8_t *d) {
  if (cam.busy_queries > 0) {
    --cam.busy_queries;
    d[0] = 0xFE;
  } else {
    d[0] = cam.last_failed ? 0xFF : 0x00;
  }
  d[1] = cam.last_t;
  d[2] = cam.last_v;
  if (cam.wrong_tv_once) {
    cam.wrong_tv_once = false;
    d[2] = static_cast<uint8_t>(cam.last_v + 1);
  }
  // 60 message bytes with no terminating zero when the text fills them.
  std::memset(d + 3, 0, 60);
  if (d[0] == 0xFF)
    std::memcpy(d + 3, cam.fail_message.data(), std::min<size_t>(60, cam.fail_message.size()));
}

int FakeUsb::camera_control(const ControlRecord &c, uint8_t *data) {
  int n = c.length;
  if (c.type & 0x80) {
    if (c.request == 0xB0) {
      status_reply(data);
    } else if (c.request == 0xC2 && c.value == 1 && cam.pending_reg_hdr.size() == 7) {
      const uint32_t first = get_le32(&cam.pending_reg_hdr[1]);
      for (int i = 0; i < c.length / 4; ++i)
        put_le32(data + 4 * i, cam.regs[first + static_cast<uint32_t>(i)]);
      cam.last_t = 0xC2, cam.last_v = 1, cam.last_failed = false;
    } else if (c.request == 0xC0 && c.value == 4) {
      for (size_t i = 0; i < cam.pending_param_ids.size() && (i + 1) * 20 <= c.length; ++i) {
        uint8_t *r = data + 20 * i;
        const auto &v = cam.params[cam.pending_param_ids[i]];
        r[0] = cam.pending_param_ids[i];
        r[1] = static_cast<uint8_t>(v.size());
        std::memcpy(r + 2, v.data(), std::min<size_t>(18, v.size()));
      }
      cam.last_t = 0xC0, cam.last_v = 4, cam.last_failed = false;
    }
    if (cam.short_receive >= 0 && c.request != 0xB0) {
      n = std::min(n, cam.short_receive);
      cam.short_receive = -1;
    }
    return n;
  }
  const uint8_t *d = c.out.data();
  bool failed = false;
  if (c.request == 0xC2 && c.value == 0 && c.length >= 7) {
    const uint32_t first = get_le32(d + 1);
    for (int i = 0; i < get_le16(d + 5) / 4; ++i)
      cam.regs[first + static_cast<uint32_t>(i)] = get_le32(d + 7 + 4 * i);
  } else if (c.request == 0xC2 && c.value == 1) {
    cam.pending_reg_hdr = c.out;
  } else if (c.request == 0xC2 && c.value == 4) {
    cam.start_word = c.length >= 4 ? get_le32(d) : 0;
    cam.streaming = !cam.fail_start;
    failed = cam.fail_start;
  } else if (c.request == 0xC2 && c.value == 5) {
    cam.streaming = false;
  } else if (c.request == 0xC0 && c.value == 0) {
    ++cam.resets;
  } else if (c.request == 0xC0 && c.value == 3) {
    for (int i = 0; i + 20 <= c.length; i += 20)
      cam.params[d[i]].assign(d + i + 2, d + i + 2 + std::min<int>(d[i + 1], 18));
  } else if (c.request == 0xC0 && c.value == 4) {
    cam.pending_param_ids.clear();
    for (int i = 0; i + 20 <= c.length; i += 20) cam.pending_param_ids.push_back(d[i]);
  }
  if (cam.fail_next) {
    cam.fail_next = false;
    failed = true;
  }
  cam.last_t = c.request;
  cam.last_v = static_cast<uint8_t>(c.value);
  cam.last_failed = failed;
  return n;
}

int FakeUsb::cancel_transfer(libusb_transfer *t) {
  std::lock_guard lk(mu_);
  if (t == held_) return 0;  // accepted, but the completion stays away
  if (control_pending_.erase(t) != 0) {
    queue_completion(t, LIBUSB_TRANSFER_CANCELLED, 0);
    return 0;
  }
  auto it = std::find(bulk_pending_.begin(), bulk_pending_.end(), t);
  if (it == bulk_pending_.end()) return LIBUSB_ERROR_NOT_FOUND;
  bulk_pending_.erase(it);
  queue_completion(t, LIBUSB_TRANSFER_CANCELLED, 0);
  return 0;
}

int FakeUsb::handle_events(libusb_context *, struct timeval *tv, int *completed) {
  std::unique_lock lk(mu_);
  if (events_rc_ != 0) {
    const int rc = events_rc_;
    events_rc_ = 0;
    return rc;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(tv->tv_sec) +
                        std::chrono::microseconds(tv->tv_usec);
  auto ready = [&] {
    return !completions_.empty() || (auto_stream_ && !bulk_pending_.empty()) || events_rc_ != 0 ||
           (completed != nullptr && std::atomic_ref<int>(*completed).load() != 0);
  };
  // Short slices: the stop flag is written without a wake-up.
  while (!ready() && std::chrono::steady_clock::now() < deadline) {
    cv_.wait_for(lk, std::chrono::milliseconds(5));
  }
  if (auto_stream_) {
    while (!bulk_pending_.empty()) {
      libusb_transfer *t = bulk_pending_.front();
      bulk_pending_.pop_front();
      queue_completion(t, LIBUSB_TRANSFER_COMPLETED, t->length);
    }
  }
  std::deque<libusb_transfer *> due;
  due.swap(completions_);
  lk.unlock();
  for (libusb_transfer *t : due) t->callback(t);
  return 0;
}

bool FakeUsb::complete_bulk(int bytes, libusb_transfer_status status, uint8_t fill) {
  std::lock_guard lk(mu_);
  if (bulk_pending_.empty()) return false;
  libusb_transfer *t = bulk_pending_.front();
  bulk_pending_.pop_front();
  const int n = std::min(bytes, t->length);
  std::memset(t->buffer, fill, static_cast<size_t>(n));
  queue_completion(t, status, n);
  return true;
}

void FakeUsb::set_auto_stream(bool on) {
  std::lock_guard lk(mu_);
  auto_stream_ = on;
  cv_.notify_all();
}

bool FakeUsb::release_held_control(int actual, libusb_transfer_status status) {
  std::lock_guard lk(mu_);
  if (held_ == nullptr) return false;
  libusb_transfer *t = held_;
  held_ = nullptr;
  queue_completion(t, status, actual);
  return true;
}

void FakeUsb::set_bulk_submit_rc(int rc) {
  std::lock_guard lk(mu_);
  bulk_submit_rc_ = rc;
}

void FakeUsb::set_events_rc(int rc) {
  std::lock_guard lk(mu_);
  events_rc_ = rc;
  cv_.notify_all();
}

void FakeUsb::unplug() {
  std::lock_guard lk(mu_);
  unplugged_ = true;
  while (!bulk_pending_.empty()) {
    libusb_transfer *t = bulk_pending_.front();
    bulk_pending_.pop_front();
    queue_completion(t, LIBUSB_TRANSFER_NO_DEVICE, 0);
  }
  for (libusb_transfer *t : control_pending_) queue_completion(t, LIBUSB_TRANSFER_NO_DEVICE, 0);
  control_pending_.clear();
}

std::vector<ControlRecord> FakeUsb::controls() const {
  std::lock_guard lk(mu_);
  return controls_;
}
int FakeUsb::pending_bulk() const {
  std::lock_guard lk(mu_);
  return static_cast<int>(bulk_pending_.size());
}
int FakeUsb::live_transfers() const {
  std::lock_guard lk(mu_);
  return static_cast<int>(live_.size());
}
int FakeUsb::open_handles() const {
  std::lock_guard lk(mu_);
  return static_cast<int>(handles_.size());
}
int FakeUsb::live_contexts() const {
  std::lock_guard lk(mu_);
  return contexts_;
}
int FakeUsb::contexts_created() const {
  std::lock_guard lk(mu_);
  return contexts_created_;
}
int FakeUsb::clear_halts() const {
  std::lock_guard lk(mu_);
  return clear_halts_;
}
int FakeUsb::freed_in_flight() const {
  std::lock_guard lk(mu_);
  return freed_in_flight_;
}
int FakeUsb::last_debug_level() const {
  std::lock_guard lk(mu_);
  return debug_level_;
}
bool FakeUsb::wait_pending_bulk(int n, int timeout_ms) const {
  std::unique_lock lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                      [&] { return static_cast<int>(bulk_pending_.size()) == n; });
}

}  // namespace torvi::test
