// White-box access to the driver registry.
#pragma once

#include <torvi/torvi_drv.h>

#include <span>

namespace torvi {

std::span<torvi_drv_t> driver_registry();

}  // namespace torvi
