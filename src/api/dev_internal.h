// Internal helpers shared by the device calls and the capture engine.
#pragma once

#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_dev_priv.h>
#include <torvi/torvi_frame.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

namespace torvi {
// One accepted filter switch: on (with the argument record, when one was
// given) or off.
struct FilterSwitch {
  bool on = false;
  bool has_arg = false;
  torvi_filter_args_t arg{};
};
}  // namespace torvi

// The frames-ready condition and its mutex, created at open.
struct torvi_cond {
  std::condition_variable cv;
};
// The mutex record also carries engine state that belongs to one device but
// has no place in the fixed layout of the private record.
struct torvi_mutex {
  std::mutex mu;
  std::atomic<uint32_t> frame_rate{0};  // read from the camera at capture start; 0: not read yet
  // The stream header of the last frame handed out (torvi_cap_get_frame_hdr).
  // hdr_mu guards last_hdr and has_hdr: the getter writes them, any thread reads.
  std::mutex hdr_mu;
  torvi_frame_hdr_t last_hdr{};
  bool has_hdr = false;
  // Held by the event thread while it handles a completion (parser feed,
  // counters, stream state) and by a capture start while it resets them: a
  // late completion of the last capture never meets the reset.
  std::mutex event_mu;
  // Number of the current capture (guarded by event_mu), given to the
  // transport with every start: completions of an earlier capture that come
  // late carry an older number and are dropped.
  uintptr_t capture_gen = 0;
  // The transport error that ended this capture's stream (0: none), kept
  // when the error callback clears the pending error; cleared at start.
  std::atomic<int32_t> stream_end{0};
  // Guarded by the call admission lock (device.cpp): the number of admitted
  // calls running now, a close has begun, and the last admitted call to
  // leave releases the device (a close gave up waiting for it).
  unsigned calls = 0;
  bool closing = false;
  bool release_on_last_call = false;
  // The filter switches the driver accepted since open, the last one per
  // filter (guarded by filters_mu): a recording stores them and its replay
  // makes them again.
  std::mutex filters_mu;
  std::map<int, torvi::FilterSwitch> filters;
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

// The busy mark and open check of every public call on a device. The call
// is admitted only while the device is open: under one process-wide lock
// (which outlives every private record) it checks the open mark and counts
// itself in the api-busy byte. Close clears the open mark under the same
// lock, so it waits only for calls admitted before it began; a refused call
// never touches the count. The private record stays until the last admitted
// call has left. Use: `BusyScope busy(dev); if (!dev_is_open(dev)) refuse`.
// The filter switches accepted on an open device since its open.
std::map<int, FilterSwitch> filter_switches(torvi_dev_t *dev);

class BusyScope {
 public:
  explicit BusyScope(torvi_dev_t *dev);
  ~BusyScope();
  BusyScope(const BusyScope &) = delete;
  BusyScope &operator=(const BusyScope &) = delete;
  bool admitted() const { return priv_ != nullptr; }

 private:
  torvi_dev_t *dev_;
  torvi_dev_priv_t *priv_ = nullptr;
};

// Marks the calling thread as running a callback of `dev` for the scope's
// lifetime, so that a close from inside the callback is refused instead of
// waiting for the call that runs it.
class CallbackScope {
 public:
  explicit CallbackScope(const torvi_dev_t *dev);
  ~CallbackScope();
  CallbackScope(const CallbackScope &) = delete;
  CallbackScope &operator=(const CallbackScope &) = delete;

 private:
  const torvi_dev_t *saved_;
};

// Whether the calling thread runs a callback of `dev` now.
bool in_callback_of(const torvi_dev_t *dev);

// Whether the device is open for the calling thread: it holds an admitted
// BusyScope of the device and no close has begun since. Without an
// admission it is false and touches nothing behind the record.
bool dev_is_open(torvi_dev_t *dev);

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
