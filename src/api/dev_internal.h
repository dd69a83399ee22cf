// Internal helpers shared by the device calls and the capture engine.
#pragma once

#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_dev_priv.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// The frames-ready condition and its mutex, created at open.
struct torvi_cond {
  std::condition_variable cv;
};
// The mutex record also carries engine state that belongs to one device but
// has no place in the fixed layout of the private record.
struct torvi_mutex {
  std::mutex mu;
  std::atomic<uint32_t> frame_rate{0};  // read from the camera at capture start; 0: not read yet
};

// A getter's frame request, on its stack while it waits.
struct torvi_cap_req {
  uint32_t requested;
  uint32_t remaining;
  uint8_t *pos;
  uint32_t left;
  torvi_frame_info_t *first_info;
};

namespace torvi {

// Plain words of the records that several threads touch are accessed
// atomically; their layout stays that of the C records.
template <typename T>
T load(T &field) {
  return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}
template <typename T>
void store(T &field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

// The api-busy byte counts the public calls in progress on the device, so
// that one call finishing does not hide another that still runs. A call marks
// the device busy BEFORE it checks that the device is open (dev_is_open) and
// the close clears the open mark before it looks at the busy count: with both
// sides sequentially consistent, either the close waits for the call or the
// call sees the device closed, never a private record freed under it.
class BusyScope {
 public:
  explicit BusyScope(torvi_dev_t *dev) : dev_(dev) {
    if (dev_ != nullptr)
      std::atomic_ref<uint8_t>(dev_->api_busy).fetch_add(1, std::memory_order_seq_cst);
  }
  ~BusyScope() {
    if (dev_ != nullptr)
      std::atomic_ref<uint8_t>(dev_->api_busy).fetch_sub(1, std::memory_order_seq_cst);
  }
  BusyScope(const BusyScope &) = delete;
  BusyScope &operator=(const BusyScope &) = delete;

 private:
  torvi_dev_t *dev_;
};

// Whether the device is open; call it inside a BusyScope of the device.
inline bool dev_is_open(torvi_dev_t *dev) {
  if (dev == nullptr) return false;
  torvi_dev_priv_t *priv =
      std::atomic_ref<torvi_dev_priv_t *>(dev->priv).load(std::memory_order_seq_cst);
  return priv != nullptr &&
         std::atomic_ref<uint8_t>(priv->open).load(std::memory_order_seq_cst) != 0;
}

// The device's cached frame rate (0: not read yet), behind the getters'
// deadlines. `priv` must belong to an open device.
inline std::atomic<uint32_t> &cached_frame_rate(torvi_dev_priv_t *priv) {
  return priv->mutex->frame_rate;
}

// Parameter item <-> wire record.
void param_to_wire(const torvi_param_t &item, torvi_ll_param_t &wire);
void param_from_wire(const torvi_ll_param_t &wire, torvi_param_t &item);

// Reads the given parameter numbers in one request through the transport,
// with the get path's log line. False when the transport fails.
bool param_get_wire(torvi_dev_priv_t *priv, torvi_ll_param_t *records, int count);

}  // namespace torvi
