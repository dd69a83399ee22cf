// White-box access to the driver registry.
#pragma once

#include <torvi/torvi_drv.h>

#include <span>

namespace torvi {

std::span<torvi_drv_t> driver_registry();

// A device's own driver record: a copy of the registry entry (name, id, ops)
// with empty dev and priv, so that a driver keeps one state per camera. The
// device layer passes it to every operation and frees it after uninit.
// Null when memory runs out.
torvi_drv_t *drv_instance_create(const torvi_drv_t *entry);
void drv_instance_destroy(torvi_drv_t *instance);
// The shared registry entry with the id of `drv` (null when none).
torvi_drv_t *registry_entry_of(const torvi_drv_t *drv);

}  // namespace torvi
