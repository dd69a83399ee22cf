// Device listing, open, close and reset.
#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_dev_priv.h>
#include <torvi/torvi_ll.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "api/capture_internal.h"
#include "api/dev_internal.h"
#include "core/c_entry.h"
#include "core/clock.h"
#include "core/log_internal.h"
#include "core/test_hooks.h"
#include "drivers/registry_internal.h"
#include "ll/link_desc.h"
#include "ll/transports.h"
#include "stream/parser.h"

extern "C" {
TORVI_API torvi_dev_t g_kx_dev;
}

namespace {

constexpr uint32_t kOpenFrameBuffer = 10;
constexpr int kCloseWaitTries = 30;
constexpr unsigned kMaxResetTarget = 8;

// Link descriptor and `located` travel between the device record and the
// connection record.
void link_to_conn(const torvi_dev_t &dev, torvi_ll_t &ll) {
  torvi::ll::copy_link_desc(ll, dev);
  ll.located = dev.located;
}
void link_from_conn(const torvi_ll_t &ll, torvi_dev_t &dev) {
  torvi::ll::copy_link_desc(dev, ll);
  dev.located = ll.located;
}

using torvi::hooks::Knob;

// Whether a test asked the open to fail at `step` (1 condition, 2 mutex,
// 3 parser); the request is used up by the failure.
bool injected_failure(int step) {
  if (torvi::hooks::get(Knob::kOpenFailStep) != step) return false;
  torvi::hooks::reset(Knob::kOpenFailStep);
  return true;
}

// One step of the close's wait for running calls (100 ms unless a test
// shortens it).
unsigned close_wait_step_ms() {
  return static_cast<unsigned>(torvi::hooks::get(Knob::kCloseWaitStepMs));
}

// The frames-ready condition, its mutex and the parser.
bool create_sync_and_stream(torvi_dev_priv_t *priv) {
  KX_LOG_NAME("torvi_dev_open");
  try {
    if (injected_failure(1)) throw std::bad_alloc();
    priv->cond = new torvi_cond;
  } catch (const std::exception &) {
    KX_ERR("pthread_cond_init failed\n");
    return false;
  }
  try {
    if (injected_failure(2)) throw std::bad_alloc();
    priv->mutex = new torvi_mutex;
  } catch (const std::exception &) {
    KX_ERR("pthread_mutex_init failed\n");
    return false;
  }
  try {
    if (injected_failure(3)) throw std::bad_alloc();
    priv->stream = new kx_stream(kOpenFrameBuffer);
  } catch (const std::exception &) {
    KX_ERR("kx_stream_create failed\n");
    return false;
  }
  return true;
}

void destroy_sync_and_stream(torvi_dev_priv_t *priv) {
  delete priv->cond;
  delete priv->mutex;
  priv->cond = nullptr;
  priv->mutex = nullptr;
  delete priv->stream;
  priv->stream = nullptr;
}

void free_priv(torvi_dev_t *dev) {
  torvi_dev_priv_t *priv = dev->priv;
  std::atomic_ref<torvi_dev_priv_t *>(dev->priv).store(nullptr, std::memory_order_seq_cst);
  std::free(priv);
}

// The call admission lock: guards the api-busy byte of every device record,
// the clearing of the open mark at close, and the call count, closing and
// release marks of every private record (in its torvi_mutex). It lives for
// the whole process, so a call can be refused even while its device's
// private record is being released.
std::mutex &calls_mu() {
  static std::mutex mu;
  return mu;
}
// Signalled when the last admitted call of a closing device leaves.
std::condition_variable &calls_cv() {
  static std::condition_variable cv;
  return cv;
}

// The device whose callback the calling thread runs now, if any.
thread_local const torvi_dev_t *t_callback_of = nullptr;

// The admissions the calling thread holds, innermost last (calls nest: a
// snapshot runs a getter).
struct Admissions {
  static constexpr int kMax = 16;
  const torvi_dev_t *dev[kMax] = {};
  torvi_dev_priv_t *priv[kMax] = {};
  int n = 0;
};
thread_local Admissions t_admissions;

// Releases the private record of a closed device (its link already closed)
// and, when free_on_close is set, the record itself.
void release_device(torvi_dev_t *dev, torvi_dev_priv_t *priv) {
  {
    std::lock_guard lk(calls_mu());
    std::atomic_ref<torvi_dev_priv_t *>(dev->priv).store(nullptr, std::memory_order_seq_cst);
    std::atomic_ref<uint8_t>(dev->api_busy).store(0);
  }
  if (priv->drv != nullptr && priv->drv->ops->uninit != nullptr) priv->drv->ops->uninit(priv->drv);
  torvi::drv_instance_destroy(priv->drv);
  priv->drv = nullptr;
  destroy_sync_and_stream(priv);
  std::free(priv);
  if (dev->free_on_close != 0) std::free(dev);
}

// Waits, at most 30 steps of 100 ms, until no call admitted before the
// close is left on the device. False (with the "api wait timeout" line)
// when one still runs.
bool wait_for_calls(torvi_dev_priv_t *priv) {
  KX_LOG_NAME("torvi_dev_close");
  const auto limit = std::chrono::milliseconds(uint64_t{close_wait_step_ms()} * kCloseWaitTries);
  std::unique_lock lk(calls_mu());
  const bool left = calls_cv().wait_for(
      lk, limit, [priv] { return priv->mutex == nullptr || priv->mutex->calls == 0; });
  lk.unlock();
  if (!left) KX_WRN(" api wait timeout\n");
  return left;
}

// Whether a close of the record's private record has begun and has not
// finished (a call admitted before it still runs).
bool still_closing(torvi_dev_t *dev) {
  std::lock_guard lk(calls_mu());
  const torvi_dev_priv_t *p = dev->priv;
  return p != nullptr && p->mutex != nullptr && p->mutex->closing;
}

// Clean-up of a failed open.
torvi_dev_t *fail_open(torvi_dev_t *dev) {
  if (dev->priv != nullptr) {
    destroy_sync_and_stream(dev->priv);
    dev->priv->open = 0;
    free_priv(dev);
  }
  if (dev->free_on_close != 0) std::free(dev);
  return nullptr;
}

// Copies at most `max` bytes of a parameter value, for its reported length.
void copy_value(void *dst, size_t max, const torvi_ll_param_t &rec) {
  const size_t n = std::min({max, size_t{rec.len}, sizeof rec.val});
  std::memcpy(dst, rec.val, n);
}

// Reads vendor, product and the two information parameters into the record.
bool read_identity(torvi_dev_t *dev) {
  std::array<torvi_ll_param_t, 4> recs{};
  recs[0].id = 2;
  recs[1].id = 3;
  recs[2].id = 5;
  recs[3].id = 6;
  if (!torvi::param_get_wire(dev->priv, recs.data(), static_cast<int>(recs.size()))) return false;
  // Strings keep a terminator; the camera sends at most 18 bytes of each.
  std::memset(dev->vendor, 0, sizeof dev->vendor);
  std::memset(dev->product, 0, sizeof dev->product);
  copy_value(dev->vendor, sizeof dev->vendor - 1, recs[0]);
  copy_value(dev->product, sizeof dev->product - 1, recs[1]);
  copy_value(dev->info5, sizeof dev->info5, recs[2]);
  copy_value(dev->info6, sizeof dev->info6, recs[3]);
  return true;
}

int list_devices(torvi_dev_t *dev_list, int dev_list_num) {
  KX_LOG_NAME("torvi_dev_list");
  if (dev_list == nullptr || dev_list_num <= 0) {
    KX_ERR("  wrong params: dev_list=%p, dev_list_num=%d \n", static_cast<void *>(dev_list),
           dev_list_num);
    return 0;
  }
  std::memset(static_cast<void *>(dev_list), 0,
              sizeof(torvi_dev_t) * static_cast<size_t>(dev_list_num));
  std::vector<torvi_ll_t> entries;
  try {
    entries.assign(static_cast<size_t>(dev_list_num), torvi_ll_t{});
  } catch (const std::bad_alloc &) {
    KX_ERR("malloc failed\n");
    return 0;
  }
  const int n = std::min(torvi_ll_dev_list(entries.data(), dev_list_num), dev_list_num);
  for (int i = 0; i < n; ++i) link_from_conn(entries[static_cast<size_t>(i)], dev_list[i]);
  return n < 0 ? 0 : n;
}

void close_device(torvi_dev_t *dev) {
  KX_LOG_NAME("torvi_dev_close");
  KX_DBG("close torvi device @ %p\n", static_cast<void *>(dev));
  if (dev == nullptr) return;
  if (torvi::in_callback_of(dev)) {
    // The call that runs the callback could never leave before this close.
    KX_ERR("called from a callback of the device: refused\n");
    return;
  }
  torvi_dev_priv_t *priv = nullptr;
  bool twice = false;
  {
    std::lock_guard lk(calls_mu());
    priv = dev->priv;
    if (priv == nullptr) return;
    if (priv->mutex != nullptr) {
      twice = priv->mutex->closing;
      priv->mutex->closing = true;
    }
    // No call is admitted from here on.
    if (!twice) std::atomic_ref<uint8_t>(priv->open).store(0, std::memory_order_seq_cst);
  }
  if (twice) {
    KX_ERR("the device is already closing: refused\n");
    return;
  }
  if (priv->mutex != nullptr && priv->cond != nullptr) {
    if (!torvi::capture::stop_if_capturing(priv)) KX_ERR("stop capture failed!\n");
    // Wakes every waiting call, also when no capture ran.
    torvi::store<int32_t>(priv->stop, 1);
    torvi::capture::wake_waiters(priv);
  }
  // The link refuses the next command of a call still running and is
  // released after its running commands have ended.
  torvi_ll_dev_close(&priv->ll);
  if (!wait_for_calls(priv)) {
    bool deferred = false;
    {
      std::lock_guard lk(calls_mu());
      if (priv->mutex->calls > 0) {
        priv->mutex->release_on_last_call = true;
        deferred = true;
      }
    }
    if (deferred) {
      KX_ERR(
          "a call on the device still runs after %u ms; the device is released when it "
          "returns\n",
          close_wait_step_ms() * kCloseWaitTries);
      return;
    }
  }
  release_device(dev, priv);
}

torvi_dev_t *open_device(torvi_dev_t *dev) {
  KX_LOG_NAME("torvi_dev_open");
  if (dev == nullptr) {
    if (g_kx_dev.priv != nullptr) {
      KX_ERR("default device may not close properly!");
      return nullptr;
    }
    std::memset(static_cast<void *>(&g_kx_dev), 0, sizeof g_kx_dev);
    dev = &g_kx_dev;
  }
  if (still_closing(dev)) {
    KX_ERR("a call on the device has not returned from its close yet\n");
    return nullptr;
  }
  if (dev->priv == nullptr) {
    dev->priv = static_cast<torvi_dev_priv_t *>(std::calloc(1, sizeof(torvi_dev_priv_t)));
    if (dev->priv == nullptr) {
      KX_ERR("malloc failed\n");
      if (dev->free_on_close != 0) std::free(dev);
      return nullptr;
    }
    link_to_conn(*dev, dev->priv->ll);
  }
  if (dev->priv->open != 0) {
    KX_WRN("device not close correctly. close it..\n");
    const uint8_t keep = dev->free_on_close;
    dev->free_on_close = 0;  // the record itself must survive the re-open
    close_device(dev);
    dev->free_on_close = keep;
    return open_device(dev);
  }
  KX_DBG("open torvi device @ %p\n", static_cast<void *>(dev));
  torvi_dev_priv_t *priv = dev->priv;
  if (torvi_ll_dev_open(&priv->ll) == nullptr) {
    KX_ERR("open device failed!\n");
    return fail_open(dev);
  }
  link_from_conn(priv->ll, *dev);
  // A replayed camera reads the calibration files of its recording.
  const char *own_files = torvi::ll::link_files_dir(priv->ll);
  dev->path_prefix = own_files != nullptr ? own_files : torvi_path_get();
  torvi::store<uint8_t>(priv->open, 1);
  if (!read_identity(dev)) {
    KX_WRN(" cannot get info of device\n");
    torvi_ll_dev_close(&priv->ll);
    return fail_open(dev);
  }
  const torvi_drv_t *entry = torvi_drv_find(dev);
  if (entry == nullptr) {
    KX_ERR("cannot find driver for device: product=%s\n", dev->product);
    torvi_ll_dev_close(&priv->ll);
    return fail_open(dev);
  }
  if (!create_sync_and_stream(priv)) {
    torvi_ll_dev_close(&priv->ll);
    return fail_open(dev);
  }
  // The device's own driver record: its state stays with this camera.
  priv->drv = torvi::drv_instance_create(entry);
  if (priv->drv == nullptr) {
    KX_ERR("malloc failed\n");
    torvi_ll_dev_close(&priv->ll);
    return fail_open(dev);
  }
  torvi::store<uint8_t>(dev->api_busy, 0);
  torvi::store<uint8_t>(priv->capturing, 0);
  torvi::store<int32_t>(priv->stop, 1);
  const torvi_drv_ops_t *ops = priv->drv->ops;
  if (ops->init != nullptr) ops->init(priv->drv, dev);
  if (ops->calib_save == nullptr || ops->calib_save(priv->drv, nullptr, 0, 2) < 0) {
    KX_ERR("Load calibration data failed\n");
  }
  return dev;
}

bool reset_device(torvi_dev_t *dev, unsigned target) {
  KX_LOG_NAME("torvi_dev_reset");
  KX_DBG("rest device (target=%d)\n", static_cast<int>(target));
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev)) {
    KX_ERR(" Device handler Is NULL!\r\n");
    return false;
  }
  if (target > kMaxResetTarget) {
    KX_ERR("wrong reset target: %d\n", static_cast<int>(target));
    return false;
  }
  return torvi_ll_dev_reset(&dev->priv->ll, target);
}

}  // namespace

namespace torvi {

BusyScope::BusyScope(torvi_dev_t *dev) : dev_(dev) {
  if (dev == nullptr) return;
  std::lock_guard lk(calls_mu());
  torvi_dev_priv_t *p = std::atomic_ref<torvi_dev_priv_t *>(dev->priv).load();
  if (p == nullptr || std::atomic_ref<uint8_t>(p->open).load() == 0 || p->mutex == nullptr) return;
  Admissions &mine = t_admissions;
  if (mine.n == Admissions::kMax) return;  // nested beyond any real call chain
  mine.dev[mine.n] = dev;
  mine.priv[mine.n] = p;
  ++mine.n;
  priv_ = p;
  const unsigned calls = ++p->mutex->calls;
  std::atomic_ref<uint8_t>(dev->api_busy).store(static_cast<uint8_t>(std::min(calls, 255u)));
}

BusyScope::~BusyScope() {
  if (priv_ == nullptr) return;
  --t_admissions.n;
  bool release = false;
  {
    std::lock_guard lk(calls_mu());
    torvi_mutex &m = *priv_->mutex;
    const unsigned calls = --m.calls;
    if (calls == 0 && m.release_on_last_call) {
      release = true;
    } else {
      std::atomic_ref<uint8_t>(dev_->api_busy).store(static_cast<uint8_t>(std::min(calls, 255u)));
    }
    if (calls == 0) calls_cv().notify_all();
  }
  // A close gave up waiting for this call: the last call out releases.
  if (release) release_device(dev_, priv_);
}

CallbackScope::CallbackScope(const torvi_dev_t *dev) : saved_(t_callback_of) {
  t_callback_of = dev;
}
CallbackScope::~CallbackScope() { t_callback_of = saved_; }

bool in_callback_of(const torvi_dev_t *dev) { return dev != nullptr && t_callback_of == dev; }

bool dev_is_open(torvi_dev_t *dev) {
  const Admissions &mine = t_admissions;
  for (int i = mine.n - 1; i >= 0; --i) {
    if (mine.dev[i] == dev)
      return std::atomic_ref<uint8_t>(mine.priv[i]->open).load(std::memory_order_seq_cst) != 0;
  }
  return false;
}

}  // namespace torvi

extern "C" {

TORVI_API int torvi_dev_list(torvi_dev_t *dev_list, int dev_list_num) {
  return torvi::c_entry(__func__, 0, [&] { return list_devices(dev_list, dev_list_num); });
}

TORVI_API torvi_dev_t *torvi_dev_open(torvi_dev_t *dev) {
  return torvi::c_entry(__func__, static_cast<torvi_dev_t *>(nullptr),
                        [&] { return open_device(dev); });
}

TORVI_API torvi_dev_t *torvi_dev_open_by_fd(int /*fd*/) {
  return torvi::c_entry(__func__, static_cast<torvi_dev_t *>(nullptr), [] {
    KX_LOG_NAME("torvi_dev_open_by_fd");
    KX_ERR("torvi_dev_open_by_fd currently only support in android!\n");
    return static_cast<torvi_dev_t *>(nullptr);
  });
}

TORVI_API void torvi_dev_close(torvi_dev_t *dev) {
  torvi::c_entry_void(__func__, [&] { close_device(dev); });
}

TORVI_API bool torvi_dev_reset(torvi_dev_t *dev, unsigned target) {
  return torvi::c_entry(__func__, false, [&] { return reset_device(dev, target); });
}

TORVI_API torvi_drv_t *torvi_dev_get_drv(torvi_dev_t *dev) {
  return torvi::c_entry(__func__, static_cast<torvi_drv_t *>(nullptr), [&] {
    torvi::BusyScope busy(dev);
    return torvi::dev_is_open(dev) ? dev->priv->drv : nullptr;
  });
}

}  // extern "C"
