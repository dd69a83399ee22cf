// Test hooks: the few knobs through which tests make the library fail or
// choose a path on purpose (an allocation that fails, an open that fails at a
// given step, a shorter close wait, a narrower instruction set). Every knob
// lives here, in one table of atomics, so the library has no other test
// globals. Production never sets a knob; each read is one relaxed atomic load.
#pragma once

#include <atomic>
#include <cstdint>

namespace torvi::hooks {

enum class Knob : unsigned {
  kStreamNodeAllocLimit,  // stream: frame nodes larger than this many bytes fail to allocate
  kImgprocFailNthAlloc,   // imgproc: the n-th allocation of the general median or lens map fails (1
                          // = next)
  kRemapIsaCap,           // imgproc: highest remap path (0 generic, 1 AVX2, 2 AVX-512)
  kDecodeIsaCap,     // drivers: highest EPC decode kernel path (0 reference, 1 AVX2, 2 AVX-512)
  kOpenFailStep,     // api: device open fails at this step (1-based)
  kCloseWaitStepMs,  // api: one step of close's wait for running calls, in ms
  kEraseLimitMs,     // transfer: longest wait for the camera's flash erase, in ms
  kErasePollMs,      // transfer: pause between two looks at the flash erase, in ms
  kRestartLimitMs,   // transfer: longest restart wait after a write, in ms (0: by type)
  kCount
};

// The value a knob has when no test set it.
constexpr std::int64_t default_value(Knob k) {
  switch (k) {
    case Knob::kStreamNodeAllocLimit:
      return INT64_MAX;
    case Knob::kRemapIsaCap:
      return 2;
    case Knob::kDecodeIsaCap:
      return 2;
    case Knob::kCloseWaitStepMs:
      return 100;
    case Knob::kEraseLimitMs:
      return 60000;
    case Knob::kErasePollMs:
      return 5;
    default:
      return 0;
  }
}

namespace detail {
inline std::atomic<std::int64_t> *table() {
  static std::atomic<std::int64_t> knobs[static_cast<unsigned>(Knob::kCount)] = {};
  static const bool initialised = [] {
    for (unsigned i = 0; i < static_cast<unsigned>(Knob::kCount); ++i)
      knobs[i].store(default_value(static_cast<Knob>(i)));
    return true;
  }();
  (void)initialised;
  return knobs;
}
}  // namespace detail

inline std::int64_t get(Knob k) {
  return detail::table()[static_cast<unsigned>(k)].load(std::memory_order_relaxed);
}

inline void set(Knob k, std::int64_t v) { detail::table()[static_cast<unsigned>(k)].store(v); }

inline void reset(Knob k) { set(k, default_value(k)); }

// For countdown knobs: counts one event down; true exactly when the count
// reaches the event the test asked for (a value of 1 means "this one").
inline bool count_down(Knob k) {
  auto &knob = detail::table()[static_cast<unsigned>(k)];
  std::int64_t n = knob.load(std::memory_order_relaxed);
  while (n > 0) {
    if (knob.compare_exchange_weak(n, n - 1)) return n == 1;
  }
  return false;
}

// Sets a knob for one scope and restores its default afterwards.
class ScopedKnob {
 public:
  ScopedKnob(Knob k, std::int64_t v) : knob_(k) { set(k, v); }
  ~ScopedKnob() { reset(knob_); }
  ScopedKnob(const ScopedKnob &) = delete;
  ScopedKnob &operator=(const ScopedKnob &) = delete;

 private:
  Knob knob_;
};

}  // namespace torvi::hooks
