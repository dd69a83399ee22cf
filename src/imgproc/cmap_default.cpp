#include "imgproc/cmap_default.h"

#include <torvi/kx_cmap.h>

#include "core/log_internal.h"

namespace torvi {

bool cmap_default_create() {
  kx_cmap_uninit(&g_torvi_cmap);
  if (kx_cmap_init(&g_torvi_cmap, kDefaultCmapEntries) == nullptr) {
    KX_ERR("cannot allocate the default colour map\n");
    return false;
  }
  return true;
}

void cmap_default_release() { kx_cmap_uninit(&g_torvi_cmap); }

}  // namespace torvi
