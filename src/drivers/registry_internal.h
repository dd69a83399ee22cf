// White-box access to the driver registry.
#pragma once

#include <span>

#include <torvi/torvi_drv.h>

namespace torvi {

std::span<torvi_drv_t> driver_registry();

}  // namespace torvi
