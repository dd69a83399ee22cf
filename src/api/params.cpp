// Register and parameter calls: check the device, mark it busy, convert the
// parameter items to wire records and hand them to the transport.
#include <torvi/torvi_dev.h>
#include <torvi/torvi_ll.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "api/dev_internal.h"
#include "core/c_entry.h"
#include "core/log_internal.h"
#include "ll/usb/protocol.h"

namespace {

using torvi::usb::kParamFrameRate;

// Register counts the transport can move in one call: a read travels in
// chunks under a 16-bit count; a write travels in one command whose data
// (7-byte header and 4 bytes per register) fits a 16-bit length.
constexpr int kMaxRegRead = 0xFFFF;
constexpr int kMaxRegWrite = (0xFFFF - 7) / 4;

void log_no_device(const char *who) { KX_LOG_AT(KX_LOG_ERR, who, " Device handler Is NULL!\r\n"); }

bool reg_call(torvi_dev_t *dev, const char *who, int target, int reg_base, void *val_buf,
              int reg_cnt, bool write) {
  KX_LOG_AT(KX_LOG_TRC, who, "target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n", target, reg_base,
            reg_cnt, val_buf);
  torvi::BusyScope busy(dev);
  if (!torvi::dev_is_open(dev)) {
    log_no_device(who);
    return false;
  }
  // A count is never narrowed: -1 would become 65535 registers read into or
  // written from the caller's buffer.
  const int max_cnt = write ? kMaxRegWrite : kMaxRegRead;
  torvi::check_arg(val_buf != nullptr && reg_cnt > 0 && reg_cnt <= max_cnt,
                   "val_buf=%p, reg_cnt=%d (1 to %d)", val_buf, reg_cnt, max_cnt);
  const auto cnt = static_cast<uint16_t>(reg_cnt);
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
    KX_LOG_AT(KX_LOG_ERR, who, "malloc failed: %d records\n", count);
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
  KX_LOG_NAME("_torvi_param_batch_get");
  KX_DBG("get %d param\n", count);
  return torvi_ll_param_get(&priv->ll, records, static_cast<uint32_t>(count));
}

}  // namespace torvi

namespace {

// The set path after the checks: converts the items and sends them.
bool param_set(torvi_dev_t *dev, std::span<const torvi_param_t> items) {
  KX_LOG_NAME("_torvi_param_batch_set");
  std::vector<torvi_ll_param_t> wire;
  if (!alloc_records(wire, static_cast<int>(items.size()), "torvi_param_batch_set")) return false;
  for (size_t i = 0; i < items.size(); ++i) {
    torvi::param_to_wire(items[i], wire[i]);
    if (items[i].number == kParamFrameRate) {
      uint32_t fps = 0;
      std::memcpy(&fps, items[i].value, sizeof fps);
      KX_DBG("Set FPS:%d\n", static_cast<int>(fps));
    }
  }
  KX_DBG("set %d param\n", static_cast<int>(items.size()));
  if (!torvi::dev_is_open(dev)) {
    KX_ERR(" Device handler Is NULL!\r\n");
    return false;
  }
  return torvi_ll_param_set(&dev->priv->ll, wire.data(), static_cast<uint32_t>(items.size()));
}

// The get path after the checks: a failed get leaves the items unchanged.
bool param_get(torvi_dev_t *dev, std::span<torvi_param_t> items) {
  std::vector<torvi_ll_param_t> wire;
  if (!alloc_records(wire, static_cast<int>(items.size()), "torvi_param_batch_get")) return false;
  for (size_t i = 0; i < items.size(); ++i) {
    wire[i].id = static_cast<uint8_t>(items[i].number & 0xFFu);
    wire[i].len = items[i].len;
  }
  if (!torvi::param_get_wire(dev->priv, wire.data(), static_cast<int>(items.size()))) return false;
  for (size_t i = 0; i < items.size(); ++i) torvi::param_from_wire(wire[i], items[i]);
  return true;
}

}  // namespace

extern "C" {

TORVI_API bool torvi_reg_batch_write(torvi_dev_t *dev, int target, int reg_base, void *val_buf,
                                     int reg_cnt) {
  return torvi::c_entry(__func__, false, [&] {
    return reg_call(dev, "torvi_reg_batch_write", target, reg_base, val_buf, reg_cnt, true);
  });
}

TORVI_API bool torvi_reg_batch_read(torvi_dev_t *dev, int target, int reg_base, void *val_buf,
                                    int reg_cnt) {
  return torvi::c_entry(__func__, false, [&] {
    return reg_call(dev, "torvi_reg_batch_read", target, reg_base, val_buf, reg_cnt, false);
  });
}

TORVI_API bool torvi_param_batch_set(torvi_dev_t *dev, const torvi_param_t *items, int count) {
  return torvi::c_entry(__func__, false, [&] {
    torvi::BusyScope busy(dev);
    if (!torvi::dev_is_open(dev)) {
      log_no_device("torvi_param_batch_set");
      return false;
    }
    torvi::check_arg(items != nullptr && count > 0, "items=%p, count=%d",
                     static_cast<const void *>(items), count);
    return param_set(dev, std::span(items, static_cast<size_t>(count)));
  });
}

TORVI_API bool torvi_param_batch_get(torvi_dev_t *dev, torvi_param_t *items, int count) {
  return torvi::c_entry(__func__, false, [&] {
    torvi::BusyScope busy(dev);
    if (!torvi::dev_is_open(dev)) {
      log_no_device("torvi_param_batch_get");
      return false;
    }
    torvi::check_arg(items != nullptr && count > 0, "items=%p, count=%d",
                     static_cast<const void *>(items), count);
    return param_get(dev, std::span(items, static_cast<size_t>(count)));
  });
}

}  // extern "C"
