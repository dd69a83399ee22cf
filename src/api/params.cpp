// Register and parameter calls: check the device, mark it busy, convert the
// parameter items to wire records and hand them to the transport.
#include <torvi/torvi_dev.h>
#include <torvi/torvi_ll.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "api/dev_internal.h"
#include "core/log_internal.h"
#include "ll/usb/protocol.h"

namespace {

using torvi::usb::kParamFrameRate;

void log_no_device(const char *who) {
  kx_log(KX_LOG_ERR, "ERR", "[%s]  Device handler Is NULL!\r\n", who);
}

bool reg_call(torvi_dev_t *dev, const char *who, int target, int reg_base, void *val_buf,
              int reg_cnt, bool write) {
  const unsigned cnt = static_cast<uint16_t>(reg_cnt);
  kx_log(KX_LOG_TRC, "TRC", "[%s] target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n", who, target,
         reg_base, static_cast<int>(cnt), val_buf);
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev)) {
    log_no_device(who);
    return false;
  }
  if (val_buf == nullptr && cnt != 0) {
    kx_log(KX_LOG_ERR, "ERR", "[%s] wrong params: val_buf=NULL, reg_cnt=%d\n", who,
           static_cast<int>(cnt));
    return false;
  }
  torvi_ll_t *ll = &dev->priv->ll;
  const auto base = static_cast<uint32_t>(reg_base);
  const unsigned tgt = static_cast<uint8_t>(target);
  return write ? torvi_ll_reg_write(ll, tgt, base, static_cast<const uint32_t *>(val_buf), cnt)
               : torvi_ll_reg_read(ll, tgt, base, static_cast<uint32_t *>(val_buf), cnt);
}

// Zero-filled wire records; false (with an ERR line) when memory runs out.
bool alloc_records(std::vector<torvi_ll_param_t> &wire, int count, const char *who) {
  try {
    wire.assign(static_cast<size_t>(count), torvi_ll_param_t{});
    return true;
  } catch (const std::bad_alloc &) {
    kx_log(KX_LOG_ERR, "ERR", "[%s] malloc failed: %d records\n", who, count);
    return false;
  }
}

}  // namespace

namespace torvi {

void param_to_wire(const torvi_param_t &item, torvi_ll_param_t &wire) {
  wire.id = static_cast<uint8_t>(item.number & 0xFFu);
  wire.len = item.len;
  std::memcpy(wire.val, item.value, sizeof wire.val);
}

void param_from_wire(const torvi_ll_param_t &wire, torvi_param_t &item) {
  item.len = wire.len;
  std::memcpy(item.value, wire.val, sizeof wire.val);
}

bool param_get_wire(torvi_dev_priv_t *priv, torvi_ll_param_t *records, int count) {
  kx_log(KX_LOG_DBG, "DBG", "[%s] get %d param\n", "_torvi_param_batch_get", count);
  return torvi_ll_param_get(&priv->ll, records, static_cast<uint32_t>(count));
}

}  // namespace torvi

static_assert(sizeof(torvi_param_t) == 24);
static_assert(offsetof(torvi_param_t, len) == 4 && offsetof(torvi_param_t, value) == 5);

extern "C" {

TORVI_API bool torvi_reg_batch_write(torvi_dev_t *dev, int target, int reg_base, void *val_buf,
                                     int reg_cnt) {
  return reg_call(dev, "torvi_reg_batch_write", target, reg_base, val_buf, reg_cnt, true);
}

TORVI_API bool torvi_reg_batch_read(torvi_dev_t *dev, int target, int reg_base, void *val_buf,
                                    int reg_cnt) {
  return reg_call(dev, "torvi_reg_batch_read", target, reg_base, val_buf, reg_cnt, false);
}

TORVI_API bool torvi_param_batch_set(torvi_dev_t *dev, const torvi_param_t *items, int count) {
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev)) {
    log_no_device("torvi_param_batch_set");
    return false;
  }
  if (items == nullptr || count <= 0) {
    kx_log(KX_LOG_ERR, "ERR", "[%s] wrong params: items=%p, count=%d\n", "torvi_param_batch_set",
           static_cast<const void *>(items), count);
    return false;
  }
  std::vector<torvi_ll_param_t> wire;
  if (!alloc_records(wire, count, "torvi_param_batch_set")) return false;
  for (int i = 0; i < count; ++i) {
    torvi::param_to_wire(items[i], wire[static_cast<size_t>(i)]);
    if (items[i].number == kParamFrameRate) {
      uint32_t fps = 0;
      std::memcpy(&fps, items[i].value, sizeof fps);
      kx_log(KX_LOG_DBG, "DBG", "[%s] Set FPS:%d\n", "_torvi_param_batch_set",
             static_cast<int>(fps));
    }
  }
  kx_log(KX_LOG_DBG, "DBG", "[%s] set %d param\n", "_torvi_param_batch_set", count);
  if (!torvi::dev_is_open(dev)) {
    log_no_device("_torvi_param_batch_set");
    return false;
  }
  return torvi_ll_param_set(&dev->priv->ll, wire.data(), static_cast<uint32_t>(count));
}

TORVI_API bool torvi_param_batch_get(torvi_dev_t *dev, torvi_param_t *items, int count) {
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev)) {
    log_no_device("torvi_param_batch_get");
    return false;
  }
  if (items == nullptr || count <= 0) {
    kx_log(KX_LOG_ERR, "ERR", "[%s] wrong params: items=%p, count=%d\n", "torvi_param_batch_get",
           static_cast<const void *>(items), count);
    return false;
  }
  std::vector<torvi_ll_param_t> wire;
  if (!alloc_records(wire, count, "torvi_param_batch_get")) return false;
  for (int i = 0; i < count; ++i) {
    wire[static_cast<size_t>(i)].id = static_cast<uint8_t>(items[i].number & 0xFFu);
    wire[static_cast<size_t>(i)].len = items[i].len;
  }
  if (!torvi::param_get_wire(dev->priv, wire.data(), count)) return false;
  for (int i = 0; i < count; ++i) torvi::param_from_wire(wire[static_cast<size_t>(i)], items[i]);
  return true;
}

}  // extern "C"
