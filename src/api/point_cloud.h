// Point clouds: per-pixel ray tables, kept once per lens and size, and the
// projection of a distance image along them.
#pragma once

#include <array>
#include <cstddef>
#include <memory>

#include "imgproc/lens_rays.h"

namespace torvi::pcl {

// Which camera the rays belong to, and its numbers.
struct RayKey {
  enum class Model { pinhole, distorted, undistorted } model = Model::pinhole;
  int width = 0;
  int height = 0;
  std::array<double, 9> lens{};  // cx, cy, fx, fy, k1, k2, p1, p2, k3 (pinhole: the first four)
  bool operator==(const RayKey &) const = default;
};

// The rays for `key` (empty table when the lens gives none): computed on
// first use and kept for later calls. Thread-safe.
std::shared_ptr<const lens::RayTable> rays_for(const RayKey &key);

// How many ray tables were computed so far (each new lens or size).
size_t rays_computed();

// Writes points for the valid pixels (0 < d < 60 metres) of `dist` (pixels
// values) along `rays`: 3 floats per point, or 4 with the distance or, with
// pseudo_color, the default colour map's colour word. Stops before a point
// that does not fit in pcl_len floats. Returns the number of points.
int project(float *pcl, size_t pcl_len, const float *dist, size_t pixels, const float *rays,
            float dist_scale, int floats_per_point, bool pseudo_color);

}  // namespace torvi::pcl
