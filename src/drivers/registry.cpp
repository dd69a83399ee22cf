// The chip driver registry: four process-wide entries chosen by the middle
// field of the camera's product string.
#include <torvi/torvi_dev.h>
#include <torvi/torvi_drv.h>

#include <array>
#include <cstring>
#include <new>

#include "core/c_entry.h"
#include "core/product_string.h"
#include "drivers/registry_internal.h"

namespace {

std::array<torvi_drv_t, 4> g_registry = {{
    {.name = "TI OP8241 chip driver",
     .id = "T0",
     .ops = &g_torvi_driver_op_ti,
     .dev = nullptr,
     .priv = nullptr},
    {.name = "EPC chip driver",
     .id = "E1",
     .ops = &g_torvi_driver_op_epc,
     .dev = nullptr,
     .priv = nullptr},
    {.name = "EPC chip driver",
     .id = "E2",
     .ops = &g_torvi_driver_op_epc,
     .dev = nullptr,
     .priv = nullptr},
    {.name = "EPC chip driver",
     .id = "E3",
     .ops = &g_torvi_driver_op_epc,
     .dev = nullptr,
     .priv = nullptr},
}};

}  // namespace

namespace torvi {

// The registry, for white-box checks.
std::span<torvi_drv_t> driver_registry() { return g_registry; }

torvi_drv_t *drv_instance_create(const torvi_drv_t *entry) {
  if (entry == nullptr) return nullptr;
  auto *inst = new (std::nothrow) torvi_drv_t{
      .name = entry->name, .id = entry->id, .ops = entry->ops, .dev = nullptr, .priv = nullptr};
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
  KX_LOG_NAME("torvi_drv_find");
  return torvi::c_entry<torvi_drv_t *>(__func__, nullptr, [&]() -> torvi_drv_t * {
    if (dev == nullptr) return nullptr;
    // The product field may lack its terminator when the camera filled all 32 bytes.
    char product[sizeof dev->product + 1] = {};
    std::memcpy(product, dev->product, sizeof dev->product);
    const auto fields = torvi::parse_product(product);
    if (!fields) return nullptr;
    for (torvi_drv_t &drv : g_registry) {
      if (fields->chip == drv.id) {
        KX_DBG(" find driver for device %s : %s\n", product, drv.name);
        return &drv;
      }
    }
    return nullptr;
  });
}
