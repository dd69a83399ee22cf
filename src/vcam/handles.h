// The camera behind a public handle, for the C calls kept in other files.
#pragma once

#include <torvi/torvi_vcam.h>

#include "vcam/camera_ptr.h"

namespace torvi::vcam {

// The camera of a handle made by torvi_vcam_create, or an empty pointer.
CameraPtr camera_of_handle(torvi_vcam_t *h);

}  // namespace torvi::vcam
