// Dispatch of the torvi_ll_ calls to the transport that owns each link.
#include <torvi/torvi_ll.h>

#include <array>
#include <atomic>
#include <cstddef>

#include "core/c_entry.h"
#include "ll/transports.h"

namespace {

// Tables of the transports besides USB, by if_type.
std::array<std::atomic<const torvi_ll_op_t *>, torvi::ll::kMaxIfType + 1> g_transports{};
// How the links of those transports name their own calibration folder.
std::array<std::atomic<torvi::ll::FilesDirOf>, torvi::ll::kMaxIfType + 1> g_files_dirs{};

const torvi_ll_op_t &ops_of(const torvi_ll_t *ll) {
  if (ll->ops != nullptr) return *ll->ops;
  if (ll->if_type != TORVI_LL_IF_USB && ll->if_type <= torvi::ll::kMaxIfType) {
    if (const torvi_ll_op_t *t = g_transports[ll->if_type].load()) return *t;
  }
  return ll_op_usb;
}

}  // namespace

namespace torvi::ll {

bool register_transport(uint32_t if_type, const torvi_ll_op_t *ops) {
  if (if_type == TORVI_LL_IF_USB || if_type > kMaxIfType) return false;
  g_transports[if_type].store(ops);
  return true;
}

bool register_files_dir(uint32_t if_type, FilesDirOf files_dir) {
  if (if_type == TORVI_LL_IF_USB || if_type > kMaxIfType) return false;
  g_files_dirs[if_type].store(files_dir);
  return true;
}

const char *link_files_dir(const torvi_ll_t &ll) {
  if (ll.if_type == TORVI_LL_IF_USB || ll.if_type > kMaxIfType) return nullptr;
  const FilesDirOf f = g_files_dirs[ll.if_type].load();
  return f != nullptr ? f(ll) : nullptr;
}

}  // namespace torvi::ll

extern "C" {

TORVI_API bool torvi_ll_init(void) {
  KX_LOG_NAME("torvi_ll_init");
  return torvi::c_entry<bool>(__func__, false, [&]() -> bool {
    const bool ok = ll_op_usb.init();
    if (!ok) KX_ERR("ll_init failed: ll[%d]\n", 0);
    return ok;
  });
}

TORVI_API void torvi_ll_uninit(void) {
  torvi::c_entry_void(__func__, [&] { ll_op_usb.uninit(); });
}

TORVI_API unsigned torvi_ll_set_debug(unsigned level) {
  return torvi::c_entry<unsigned>(__func__, 0,
                                  [&]() -> unsigned { return ll_op_usb.set_debug(level); });
}

TORVI_API int torvi_ll_dev_list(torvi_ll_t *list, int max) {
  return torvi::c_entry<int>(__func__, 0, [&]() -> int {
    if (max <= 0 || list == nullptr) return 0;
    return ll_op_usb.dev_list(list, max);
  });
}

TORVI_API torvi_ll_t *torvi_ll_dev_open(torvi_ll_t *ll) {
  return torvi::c_entry<torvi_ll_t *>(__func__, nullptr, [&]() -> torvi_ll_t * {
    if (ll == nullptr) return nullptr;
    return ops_of(ll).dev_open(ll);
  });
}

TORVI_API torvi_ll_t *torvi_ll_dev_open_by_fd(torvi_ll_t *ll) {
  return torvi::c_entry<torvi_ll_t *>(__func__, nullptr, [&]() -> torvi_ll_t * {
    if (ll == nullptr) return nullptr;
    return ops_of(ll).dev_open_by_fd(ll);
  });
}

TORVI_API void torvi_ll_dev_close(torvi_ll_t *ll) {
  torvi::c_entry_void(__func__, [&] {
    if (ll == nullptr || ll->ops == nullptr) return;
    ll->ops->dev_close(ll);
  });
}

TORVI_API bool torvi_ll_exe_cmd(torvi_ll_t *ll, unsigned dir, unsigned request, unsigned value,
                                void *buf, int len, unsigned timeout_ms) {
  return torvi::c_entry<bool>(__func__, false, [&]() -> bool {
    if (ll == nullptr || ll->ops == nullptr) return false;
    return ll->ops->exe_cmd(ll, static_cast<uint8_t>(dir), static_cast<uint8_t>(request),
                            static_cast<uint16_t>(value), buf, len, timeout_ms);
  });
}

TORVI_API bool torvi_ll_check_last_cmd(torvi_ll_t *ll, unsigned t, unsigned v) {
  return torvi::c_entry<bool>(__func__, false, [&]() -> bool {
    if (ll == nullptr || ll->ops == nullptr) return false;
    return ll->ops->check_last_cmd(ll, static_cast<uint8_t>(t), static_cast<uint8_t>(v));
  });
}

TORVI_API void torvi_ll_cap_abort(torvi_ll_t *ll) {
  torvi::c_entry_void(__func__, [&] {
    if (ll == nullptr || ll->ops == nullptr) return;
    ll->ops->cap_abort(ll);
  });
}

TORVI_API bool torvi_ll_cap_start(torvi_ll_t *ll, uint32_t cap_arg, torvi_ll_cap_cb_t cb,
                                  void *cb_arg) {
  return torvi::c_entry<bool>(__func__, false, [&]() -> bool {
    if (ll == nullptr || ll->ops == nullptr) return false;
    return ll->ops->cap_start(ll, cap_arg, cb, cb_arg);
  });
}

TORVI_API bool torvi_ll_cap_stop(torvi_ll_t *ll) {
  return torvi::c_entry<bool>(__func__, false, [&]() -> bool {
    if (ll == nullptr || ll->ops == nullptr) return false;
    return ll->ops->cap_stop(ll);
  });
}

TORVI_API bool torvi_ll_dev_reset(torvi_ll_t *ll, unsigned target) {
  return torvi::c_entry<bool>(__func__, false, [&]() -> bool {
    if (ll == nullptr || ll->ops == nullptr) return false;
    return ll->ops->dev_reset(ll, static_cast<uint8_t>(target));
  });
}

TORVI_API bool torvi_ll_reg_write(torvi_ll_t *ll, unsigned target, uint32_t reg_base,
                                  const uint32_t *vals, unsigned cnt) {
  return torvi::c_entry<bool>(__func__, false, [&]() -> bool {
    if (ll == nullptr || ll->ops == nullptr) return false;
    return ll->ops->reg_write(ll, static_cast<uint8_t>(target), reg_base, vals,
                              static_cast<uint16_t>(cnt));
  });
}

TORVI_API bool torvi_ll_reg_read(torvi_ll_t *ll, unsigned target, uint32_t reg_base, uint32_t *vals,
                                 unsigned cnt) {
  return torvi::c_entry<bool>(__func__, false, [&]() -> bool {
    if (ll == nullptr || ll->ops == nullptr) return false;
    return ll->ops->reg_read(ll, static_cast<uint8_t>(target), reg_base, vals,
                             static_cast<uint16_t>(cnt));
  });
}

TORVI_API bool torvi_ll_param_set(torvi_ll_t *ll, torvi_ll_param_t *records, uint32_t cnt) {
  return torvi::c_entry<bool>(__func__, false, [&]() -> bool {
    if (ll == nullptr || ll->ops == nullptr) return false;
    return ll->ops->param_set(ll, records, cnt);
  });
}

TORVI_API bool torvi_ll_param_get(torvi_ll_t *ll, torvi_ll_param_t *records, uint32_t cnt) {
  return torvi::c_entry<bool>(__func__, false, [&]() -> bool {
    if (ll == nullptr || ll->ops == nullptr) return false;
    return ll->ops->param_get(ll, records, cnt);
  });
}

}  // extern "C"
