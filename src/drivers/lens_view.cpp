// The drivers' lens handling as the device layer sees it.
#include "drivers/lens_view.h"

namespace torvi {

bool drv_undistorts(torvi_drv_t *drv, int width, int height) {
  // No driver undistorts its images yet.
  (void)drv;
  (void)width;
  (void)height;
  return false;
}

}  // namespace torvi
