// The chip driver registry: four process-wide entries chosen by the middle
// field of the camera's product string.
#include <torvi/torvi_dev.h>
#include <torvi/torvi_drv.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/log_internal.h"
#include "drivers/registry_internal.h"

namespace {

std::array<torvi_drv_t, 4> g_registry = {{
    {"TI OP8241 chip driver", "T0", &g_torvi_driver_op_ti, nullptr, nullptr},
    {"EPC chip driver", "E1", &g_torvi_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E2", &g_torvi_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E3", &g_torvi_driver_op_epc, nullptr, nullptr},
}};

}  // namespace

namespace torvi {

// The registry, for white-box checks.
std::span<torvi_drv_t> driver_registry() { return g_registry; }

torvi_drv_t *drv_instance_create(const torvi_drv_t *entry) {
  if (entry == nullptr) return nullptr;
  auto *inst = new (std::nothrow) torvi_drv_t{entry->name, entry->id, entry->ops, nullptr, nullptr};
  return inst;
}

void drv_instance_destroy(torvi_drv_t *instance) { delete instance; }

torvi_drv_t *registry_entry_of(const torvi_drv_t *drv) {
  if (drv == nullptr || drv->id == nullptr) return nullptr;
  for (torvi_drv_t &e : g_registry)
    if (std::strcmp(e.id, drv->id) == 0) return &e;
  return nullptr;
}

}  // namespace torvi

extern "C" TORVI_API torvi_drv_t *torvi_drv_find(torvi_dev_t *dev) {
  if (dev == nullptr) return nullptr;
  // The product field may lack its terminator when the camera filled all 32 bytes.
  char product[sizeof dev->product + 1] = {};
  std::memcpy(product, dev->product, sizeof dev->product);
  char f1[17] = {}, f2[17] = {}, f3[17] = {};
  if (std::sscanf(product, "%16[^-]-%16[^-]-%16[^-]", f1, f2, f3) != 3) return nullptr;
  for (torvi_drv_t &drv : g_registry) {
    if (std::strcmp(f2, drv.id) == 0) {
      kx_log(KX_LOG_DBG, "DBG", "[%s]  find driver for device %s : %s\n", "torvi_drv_find", product,
             drv.name);
      return &drv;
    }
  }
  return nullptr;
}
