// Device listing, open, close and reset.
#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_dev_priv.h>
#include <torvi/torvi_ll.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "api/dev_internal.h"
#include "core/c_entry.h"
#include "core/clock.h"
#include "core/log_internal.h"
#include "core/test_hooks.h"
#include "drivers/registry_internal.h"
#include "ll/link_desc.h"
#include "stream/parser.h"

extern "C" {
TORVI_API torvi_dev_t g_kx_dev;
}

static_assert(sizeof(void *) != 8 || sizeof(torvi_dev_t) == 184);
static_assert(offsetof(torvi_dev_t, if_type) == sizeof(void *));
static_assert(offsetof(torvi_dev_t, product) - offsetof(torvi_dev_t, if_type) == 44);
static_assert(offsetof(torvi_dev_t, vendor) == offsetof(torvi_dev_t, product) + 32);
static_assert(offsetof(torvi_dev_t, info5) == offsetof(torvi_dev_t, vendor) + 32);
static_assert(offsetof(torvi_dev_t, info6) == offsetof(torvi_dev_t, info5) + 32);
static_assert(offsetof(torvi_dev_t, reserved) ==
              offsetof(torvi_dev_t, path_prefix) + sizeof(void *));
static_assert(offsetof(torvi_dev_t, located) == offsetof(torvi_dev_t, reserved) + 12);
static_assert(offsetof(torvi_dev_t, free_on_close) == offsetof(torvi_dev_t, located) + 1);
static_assert(offsetof(torvi_dev_t, api_busy) == offsetof(torvi_dev_t, located) + 2);
static_assert(offsetof(torvi_dev_priv_t, ll) == 0);
static_assert(offsetof(torvi_dev_priv_t, drv) == sizeof(torvi_ll_t));
static_assert(offsetof(torvi_dev_priv_t, capturing) == offsetof(torvi_dev_priv_t, open) + 1);
static_assert(sizeof(torvi_frame_hdr_t) == 20 && sizeof(torvi_frame_info_t) == 20);
static_assert(offsetof(torvi_frame_info_t, pixel_bytes) == 16);
static_assert(sizeof(torvi_drv_ops_t) == 16 * sizeof(void (*)(void)));
static_assert(offsetof(torvi_drv_t, priv) == 4 * sizeof(void *));

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

bool busy(torvi_dev_t *dev) {
  return std::atomic_ref<uint8_t>(dev->api_busy).load(std::memory_order_seq_cst) != 0;
}

// Waits until no public call works on the device any more. A call that
// outlives the usual 3 seconds is still waited for (its private record must
// not be freed under it), with a WRN line at 3 seconds and an ERR line every
// 3 seconds after that. Every call ends on its own: the getters and the wait
// wake on the stop, transport calls end with the closed connection.
void wait_for_calls(torvi_dev_t *dev) {
  KX_LOG_NAME("torvi_dev_close");
  for (int tries = 1; busy(dev); ++tries) {
    torvi::sleep_ms(close_wait_step_ms());
    if (tries == kCloseWaitTries && busy(dev)) {
      KX_WRN(" api wait timeout\n");
    } else if (tries % kCloseWaitTries == 0 && busy(dev)) {
      KX_ERR("a call on the device still runs after %d ms; waiting for it\n",
             static_cast<int>(tries * close_wait_step_ms()));
    }
  }
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
  if (dev == nullptr || dev->priv == nullptr) return;
  torvi_dev_priv_t *priv = dev->priv;
  if (torvi::load(priv->capturing) != 0 && !torvi_cap_stop(dev)) {
    KX_ERR("stop capture failed!\n");
  }
  // Wakes any waiter even when no capture ran.
  torvi::store<int32_t>(priv->stop, 1);
  if (priv->mutex != nullptr && priv->cond != nullptr) {
    std::lock_guard lock(priv->mutex->mu);
    priv->cond->cv.notify_all();
  }
  torvi_ll_dev_close(&priv->ll);
  std::atomic_ref<uint8_t>(priv->open).store(0, std::memory_order_seq_cst);
  wait_for_calls(dev);
  // Calls that marked the device busy after the wait read either the closed
  // mark or no private record; a second wait covers one that read the
  // record's address just before it was withdrawn.
  std::atomic_ref<torvi_dev_priv_t *>(dev->priv).store(nullptr, std::memory_order_seq_cst);
  wait_for_calls(dev);
  if (priv->drv != nullptr && priv->drv->ops->uninit != nullptr) priv->drv->ops->uninit(priv->drv);
  torvi::drv_instance_destroy(priv->drv);
  priv->drv = nullptr;
  destroy_sync_and_stream(priv);
  std::free(priv);
  if (dev->free_on_close != 0) std::free(dev);
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
  dev->path_prefix = torvi_path_get();
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
    return dev != nullptr && dev->priv != nullptr ? dev->priv->drv : nullptr;
  });
}

}  // extern "C"
