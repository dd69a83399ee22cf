// What the device layer needs to know about a driver's lens handling.
#pragma once

#include <torvi/torvi_drv.h>

namespace torvi {

// Whether the driver's decode remaps width x height images through its lens
// undistortion map (so their pixels follow the undistorted camera).
bool drv_undistorts(torvi_drv_t *drv, int width, int height);

}  // namespace torvi
