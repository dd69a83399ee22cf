// A scripted transport for device and capture tests: an operation table whose
// calls record what they receive and answer from a configurable camera, and
// a stream writer that produces valid stream chunks to feed the capture
// engine through the streaming callback, as the transport's event thread
// would.
#pragma once

#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_dev_priv.h>
#include <torvi/torvi_ll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace torvi::test {

struct FakeCamera {
  std::string vendor = "TORVI";
  std::string product = "FAKE-T0-1.0";
  uint32_t frame_rate = 30;
  bool open_ok = true;
  bool param_get_ok = true;
  bool cap_start_ok = true;
  bool cap_stop_ok = true;
  bool reg_ok = true;
  std::atomic<bool> reset_hold{false};  // a reset runs until the test clears this
  std::atomic<bool> reset_running{false};
  // What the link saw.
  std::vector<torvi_ll_param_t> params_set;
  std::vector<uint8_t> param_ids_got;
  std::vector<unsigned> resets;
  unsigned reg_target = 0, reg_cnt = 0;
  uint32_t reg_base = 0;
  std::vector<uint32_t> regs = std::vector<uint32_t>(64, 0);
  std::atomic<int> opens{0}, closes{0}, cap_starts{0}, cap_stops{0}, aborts{0};
  // Streaming callback given at the last capture start.
  torvi_ll_cap_cb_t cb = nullptr;
  void *cb_arg = nullptr;
  torvi_ll_t *ll = nullptr;
};

inline FakeCamera *&fake() {
  static FakeCamera *cam = nullptr;
  return cam;
}

inline char g_fake_link_priv;

inline torvi_ll_t *fake_open(torvi_ll_t *ll) {
  ++fake()->opens;
  if (!fake()->open_ok) return nullptr;
  ll->priv = &g_fake_link_priv;
  fake()->ll = ll;
  return ll;
}
inline void fake_close(torvi_ll_t *ll) {
  ++fake()->closes;
  ll->priv = nullptr;
}
inline bool fake_param_set(torvi_ll_t *, torvi_ll_param_t *recs, uint32_t n) {
  fake()->params_set.assign(recs, recs + n);
  return true;
}
inline void put_value(torvi_ll_param_t &r, const void *v, size_t n) {
  n = std::min(n, sizeof r.val);
  std::memcpy(r.val, v, n);
  r.len = static_cast<uint8_t>(n);
}
inline bool fake_param_get(torvi_ll_t *, torvi_ll_param_t *recs, uint32_t n) {
  FakeCamera &c = *fake();
  if (!c.param_get_ok) return false;
  for (uint32_t i = 0; i < n; ++i) {
    torvi_ll_param_t &r = recs[i];
    c.param_ids_got.push_back(r.id);
    switch (r.id) {
      case 2:
        put_value(r, c.vendor.data(), c.vendor.size());
        break;
      case 3:
        put_value(r, c.product.data(), c.product.size());
        break;
      case 5:
        put_value(r, "SERIAL-0001", 11);
        break;
      case 6:
        put_value(r, "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a", 10);
        break;
      case 12:
        put_value(r, &c.frame_rate, 4);
        break;
      default:
        put_value(r, "\xAA\xBB\xCC\xDD\xEE\xFF\x11\x22\x33\x44\x55\x66\x77\x88\x99\x10\x20\x30\x40",
                  19);
    }
  }
  return true;
}
inline bool fake_reg_write(torvi_ll_t *, uint8_t t, uint32_t base, const uint32_t *v, uint16_t n) {
  FakeCamera &c = *fake();
  c.reg_target = t;
  c.reg_base = base;
  c.reg_cnt = n;
  for (uint16_t i = 0; i < n && base + i < c.regs.size(); ++i) c.regs[base + i] = v[i];
  return c.reg_ok;
}
inline bool fake_reg_read(torvi_ll_t *, uint8_t t, uint32_t base, uint32_t *v, uint16_t n) {
  FakeCamera &c = *fake();
  c.reg_target = t;
  c.reg_base = base;
  c.reg_cnt = n;
  for (uint16_t i = 0; i < n && base + i < c.regs.size(); ++i) v[i] = c.regs[base + i];
  return c.reg_ok;
}
inline bool fake_reset(torvi_ll_t *, uint8_t target) {
  FakeCamera &c = *fake();
  c.reset_running = true;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (c.reset_hold.load() && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  c.resets.push_back(target);
  c.reset_running = false;
  return true;
}
inline bool fake_cap_start(torvi_ll_t *, uint32_t, torvi_ll_cap_cb_t cb, void *arg) {
  const bool ok = fake()->cap_start_ok;
  if (ok) {
    fake()->cb = cb;
    fake()->cb_arg = arg;
  }
  ++fake()->cap_starts;  // after the callback is in place: event threads wait for it
  return ok;
}
inline bool fake_cap_stop(torvi_ll_t *) {
  ++fake()->cap_stops;
  return fake()->cap_stop_ok;
}
inline void fake_cap_abort(torvi_ll_t *) { ++fake()->aborts; }

inline const torvi_ll_op_t kFakeOps = {
    nullptr,    nullptr,        nullptr,       fake_open,      fake_open,      fake_close,
    nullptr,    nullptr,        nullptr,       fake_cap_abort, fake_cap_start, fake_cap_stop,
    fake_reset, fake_reg_write, fake_reg_read, fake_param_set, fake_param_get, nullptr};

// Gives a device record a private record bound to the fake link, so that
// torvi_dev_open opens it through the fake table.
inline void bind_fake(torvi_dev_t &dev) {
  dev.priv = static_cast<torvi_dev_priv_t *>(std::calloc(1, sizeof(torvi_dev_priv_t)));
  dev.priv->ll.ops = &kFakeOps;
}

// Builds stream chunks of whole frames (one frame per chunk, start bit set,
// payload checksum present), numbered by the frame index.
class StreamWriter {
 public:
  explicit StreamWriter(uint32_t frame_bytes = 614400) : frame_bytes_(frame_bytes) {}

  // One chunk carrying a whole frame whose payload words encode its index.
  std::vector<uint8_t> frame(uint16_t fridx, bool corrupt_payload = false) {
    std::vector<uint8_t> out(36 + frame_bytes_);
    uint8_t *pay = out.data() + 36;
    for (uint32_t i = 0; i + 4 <= frame_bytes_; i += 4) {
      const uint32_t w = (uint32_t{fridx} << 16) ^ (i / 4);
      std::memcpy(pay + i, &w, 4);
    }
    uint32_t sum = 0;
    for (uint32_t i = 0; i + 4 <= frame_bytes_; i += 4) {
      uint32_t w;
      std::memcpy(&w, pay + i, 4);
      sum += w;
    }
    write_header(out.data(), fridx, sum);
    if (corrupt_payload) pay[7] ^= 0x10;
    return out;
  }

  uint32_t frame_bytes() const { return frame_bytes_; }

 private:
  template <typename T>
  static void put(uint8_t *p, size_t off, T v) {
    std::memcpy(p + off, &v, sizeof v);
  }
  void write_header(uint8_t *h, uint16_t fridx, uint32_t sum) {
    std::memset(h, 0, 36);
    put<uint16_t>(h, 0, 0x98FB);
    put<uint16_t>(h, 2, sidx_++);
    put<uint32_t>(h, 4, frame_bytes_);
    put<uint32_t>(h, 8, frame_bytes_);
    put<uint16_t>(h, 12, fridx);
    put<uint16_t>(h, 14, 2);
    put<uint16_t>(h, 16, 320);
    put<uint16_t>(h, 18, 240);
    put<int16_t>(h, 20, 361);
    put<int16_t>(h, 22, 341);
    put<uint32_t>(h, 28, sum);
    h[32] = 1;
    h[33] = 1;
    unsigned s1 = 0, s2 = 0;
    for (int i = 0; i < 34; ++i) {
      s1 = (s1 + h[i]) % 255;
      s2 = (s2 + s1) % 255;
    }
    put<uint16_t>(h, 34, static_cast<uint16_t>(s2 * 256 + s1));
  }

  uint32_t frame_bytes_;
  uint16_t sidx_ = 0;
};

// Delivers one transport completion to the capture engine.
inline void deliver(int32_t code, std::vector<uint8_t> bytes = {}) {
  FakeCamera &c = *fake();
  c.cb(c.ll, code, bytes.empty() ? nullptr : bytes.data(), static_cast<int>(bytes.size()),
       c.cb_arg);
}

// The index that StreamWriter encoded into a delivered frame.
inline uint16_t frame_index_of(const uint8_t *frame) {
  uint32_t w;
  std::memcpy(&w, frame, 4);
  return static_cast<uint16_t>(w >> 16);
}

}  // namespace torvi::test
