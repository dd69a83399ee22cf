// A small host for tests: drives virtual cameras through the USB table only,
// the way the transport does (asynchronous transfers completed by event
// handling on the calling thread).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/byte_order.h"
#include "vcam/camera.h"
#include "vcam/usb_virtual.h"
#include "vcam/virtual_bus.h"

namespace torvi::vcam::test {

inline const usb::Backend &B() { return usb_backend_virtual(); }

// Puts cameras on the bus for one test and takes them off again.
class BusFixture : public ::testing::Test {
 protected:
  void TearDown() override { VirtualBus::instance().detach_all(); }
  CameraPtr plug(CameraConfig cfg = {}) {
    auto cam = CameraPtr::make(std::move(cfg));
    VirtualBus::instance().attach(cam);
    return cam;
  }
};

struct Completion {
  int calls = 0;
  libusb_transfer_status status = LIBUSB_TRANSFER_COMPLETED;
  int actual = 0;
};

inline void LIBUSB_CALL record_completion(libusb_transfer *t) {
  auto *c = static_cast<Completion *>(t->user_data);
  ++c->calls;
  c->status = t->status;
  c->actual = t->actual_length;
}

// One opened camera on its own context.
class Host {
 public:
  Host() { EXPECT_EQ(B().init(&ctx_), 0); }
  ~Host() {
    if (handle_) B().close(handle_);
    B().exit(ctx_);
  }
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  libusb_context *ctx() const { return ctx_; }
  libusb_device_handle *handle() const { return handle_; }

  // Opens the first listed camera (or the one at `port`); the open result.
  int open(int port = -1) {
    libusb_device **list = nullptr;
    const ssize_t n = B().get_device_list(ctx_, &list);
    int rc = LIBUSB_ERROR_NOT_FOUND;
    for (ssize_t i = 0; i < n; ++i) {
      if (port >= 0 && B().get_port_number(list[i]) != port) continue;
      rc = B().open(list[i], &handle_);
      break;
    }
    B().free_device_list(list, 1);
    if (rc == 0) {
      EXPECT_EQ(B().set_configuration(handle_, 1), 0);
      EXPECT_EQ(B().claim_interface(handle_, 0), 0);
    }
    return rc;
  }

  // Runs event handling until `c` completed or `ms` passed.
  void wait(const Completion &c, int ms = 3000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (c.calls == 0 && Clock::now() < end) {
      timeval tv{0, 20000};
      B().handle_events_timeout_completed(ctx_, &tv, nullptr);
    }
  }

  // One control transfer; returns the status and fills `data` for IN.
  Completion control(uint8_t type, uint8_t request, uint16_t value, std::vector<uint8_t> &data,
                     unsigned timeout_ms = 1000) {
    Completion c;
    libusb_transfer *t = B().alloc_transfer(0);
    auto *buf = static_cast<uint8_t *>(std::calloc(LIBUSB_CONTROL_SETUP_SIZE + data.size(), 1));
    libusb_fill_control_setup(buf, type, request, value, 0, static_cast<uint16_t>(data.size()));
    if (!(type & LIBUSB_ENDPOINT_IN) && !data.empty())
      std::memcpy(buf + LIBUSB_CONTROL_SETUP_SIZE, data.data(), data.size());
    libusb_fill_control_transfer(t, handle_, buf, record_completion, &c, timeout_ms);
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    const int rc = B().submit_transfer(t);
    if (rc != 0) {
      c.calls = -1;
      c.actual = rc;
      B().free_transfer(t);
      return c;
    }
    wait(c, static_cast<int>(timeout_ms) + 2000);
    if ((type & LIBUSB_ENDPOINT_IN) && c.actual > 0)
      std::memcpy(data.data(), buf + LIBUSB_CONTROL_SETUP_SIZE, static_cast<size_t>(c.actual));
    B().free_transfer(t);
    return c;
  }

  bool out(uint8_t request, uint16_t value, std::vector<uint8_t> data) {
    const Completion c = control(0x22, request, value, data);
    return c.calls == 1 && c.status == LIBUSB_TRANSFER_COMPLETED &&
           c.actual == static_cast<int>(data.size());
  }
  std::vector<uint8_t> in(uint8_t request, uint16_t value, size_t len) {
    std::vector<uint8_t> data(len);
    const Completion c = control(0xA2, request, value, data);
    if (c.calls != 1 || c.status != LIBUSB_TRANSFER_COMPLETED) return {};
    data.resize(static_cast<size_t>(c.actual));
    return data;
  }

  struct Status {
    uint8_t status = 0, t = 0, v = 0;
    std::string message;
  };
  Status status() {
    const std::vector<uint8_t> r = in(0xB0, 0, 63);
    Status s;
    if (r.size() != 63) {
      s.status = 0xEE;  // no reply
      return s;
    }
    s.status = r[0];
    s.t = r[1];
    s.v = r[2];
    s.message.assign(reinterpret_cast<const char *>(r.data() + 3),
                     strnlen(reinterpret_cast<const char *>(r.data() + 3), 60));
    return s;
  }

  // Register helpers with the 7-byte header.
  static std::vector<uint8_t> reg_header(uint8_t target, uint32_t first, uint16_t bytes) {
    std::vector<uint8_t> h(7);
    h[0] = target;
    put_le32(&h[1], first);
    put_le16(&h[5], bytes);
    return h;
  }
  bool reg_write(uint8_t target, uint32_t first, const std::vector<uint32_t> &vals) {
    std::vector<uint8_t> d = reg_header(target, first, static_cast<uint16_t>(vals.size() * 4));
    for (uint32_t v : vals) {
      d.resize(d.size() + 4);
      put_le32(&d[d.size() - 4], v);
    }
    return out(0xC2, 0, d) && status().status == kStatusOk;
  }
  // Reads in chunks of 16 registers like the transport does.
  bool reg_read(uint8_t target, uint32_t first, std::vector<uint32_t> &vals) {
    for (size_t done = 0; done < vals.size();) {
      const size_t n = std::min<size_t>(16, vals.size() - done);
      if (!out(0xC2, 1,
               reg_header(target, static_cast<uint32_t>(first + done),
                          static_cast<uint16_t>(n * 4))))
        return false;
      if (status().status != kStatusOk) return false;
      const std::vector<uint8_t> r = in(0xC2, 1, n * 4);
      if (r.size() != n * 4 || status().status != kStatusOk) return false;
      for (size_t i = 0; i < n; ++i) vals[done + i] = get_le32(&r[4 * i]);
      done += n;
    }
    return true;
  }

  // Parameter records of 20 bytes.
  struct Param {
    uint8_t id = 0, len = 0;
    std::array<uint8_t, 18> value{};
  };
  bool param_set(const std::vector<Param> &ps) {
    std::vector<uint8_t> d;
    for (const Param &p : ps) {
      d.push_back(p.id);
      d.push_back(p.len);
      d.insert(d.end(), p.value.begin(), p.value.end());
    }
    return out(0xC0, 3, d) && status().status == kStatusOk;
  }
  bool param_get(std::vector<Param> &ps) {
    for (size_t done = 0; done < ps.size();) {
      const size_t n = std::min<size_t>(3, ps.size() - done);
      std::vector<uint8_t> d(n * 20, 0);
      for (size_t i = 0; i < n; ++i) d[i * 20] = ps[done + i].id;
      if (!out(0xC0, 4, d) || status().status != kStatusOk) return false;
      const std::vector<uint8_t> r = in(0xC0, 4, n * 20);
      if (r.size() != n * 20 || status().status != kStatusOk) return false;
      for (size_t i = 0; i < n; ++i) {
        ps[done + i].len = r[i * 20 + 1];
        std::copy_n(r.begin() + static_cast<long>(i * 20 + 2), 18, ps[done + i].value.begin());
      }
      done += n;
    }
    return true;
  }
  static Param u32_param(uint8_t id, uint32_t v, uint8_t len = 4) {
    Param p;
    p.id = id;
    p.len = len;
    put_le32(p.value.data(), v);
    return p;
  }

 private:
  libusb_context *ctx_ = nullptr;
  libusb_device_handle *handle_ = nullptr;
};

}  // namespace torvi::vcam::test

namespace torvi::vcam::test {

// Keeps `count` bulk IN transfers cycling on 0x81 like the transport's ring,
// collecting the bytes of completed transfers in order.
class Streamer {
 public:
  Streamer(Host &host, int count, int length, unsigned timeout_ms = 2000)
      : host_(host), timeout_ms_(timeout_ms) {
    for (int i = 0; i < count; ++i) {
      libusb_transfer *t = B().alloc_transfer(0);
      auto *buf = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(length)));
      libusb_fill_bulk_transfer(t, host.handle(), 0x81, buf, length, &Streamer::on_done, this,
                                timeout_ms);
      t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
      xfers_.push_back(t);
    }
  }
  ~Streamer() {
    stopping = true;
    for (libusb_transfer *t : xfers_) B().cancel_transfer(t);
    const auto end = Clock::now() + std::chrono::seconds(3);
    while (in_flight_ > 0 && Clock::now() < end) pump(20);
    for (libusb_transfer *t : xfers_) B().free_transfer(t);
  }
  void submit_all() {
    for (libusb_transfer *t : xfers_) {
      ASSERT_EQ(B().submit_transfer(t), 0);
      ++in_flight_;
    }
  }
  int submit(size_t i) {
    const int rc = B().submit_transfer(xfers_[i]);
    if (rc == 0) ++in_flight_;
    return rc;
  }
  void pump(int ms) {
    timeval tv{0, ms * 1000};
    B().handle_events_timeout_completed(host_.ctx(), &tv, nullptr);
  }
  // Runs event handling until `bytes` arrived or `ms` passed.
  void collect(size_t bytes, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (data.size() < bytes && Clock::now() < end) pump(20);
  }

  std::vector<uint8_t> data;
  std::vector<int> lengths;        // actual_length of each completed transfer
  std::vector<size_t> piece_ends;  // end of each transfer's bytes in `data`
  std::vector<libusb_transfer_status> statuses;
  bool stopping = false;
  bool resubmit = true;
  std::thread::id callback_thread;
  int in_flight() const { return in_flight_; }
  // Cancels every transfer; returns how many cancels succeeded.
  int cancel_all() {
    int ok = 0;
    for (libusb_transfer *t : xfers_) ok += B().cancel_transfer(t) == 0;
    return ok;
  }
  libusb_transfer *transfer(size_t i) const { return xfers_[i]; }

 private:
  static void LIBUSB_CALL on_done(libusb_transfer *t) {
    auto *self = static_cast<Streamer *>(t->user_data);
    --self->in_flight_;
    self->callback_thread = std::this_thread::get_id();
    self->statuses.push_back(t->status);
    self->lengths.push_back(t->actual_length);
    if (t->status == LIBUSB_TRANSFER_COMPLETED || t->status == LIBUSB_TRANSFER_TIMED_OUT) {
      self->data.insert(self->data.end(), t->buffer, t->buffer + t->actual_length);
      self->piece_ends.push_back(self->data.size());
    }
    if (!self->stopping && self->resubmit && t->status != LIBUSB_TRANSFER_NO_DEVICE &&
        t->status != LIBUSB_TRANSFER_CANCELLED) {
      if (B().submit_transfer(t) == 0) ++self->in_flight_;
    }
  }
  Host &host_;
  unsigned timeout_ms_;
  std::vector<libusb_transfer *> xfers_;
  int in_flight_ = 0;
};

}  // namespace torvi::vcam::test
