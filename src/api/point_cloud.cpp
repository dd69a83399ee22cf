// Ray tables and the projection of distance images.
#include "api/point_cloud.h"

#include <torvi/kx_cmap.h>

#include <cmath>
#include <mutex>
#include <vector>

namespace torvi::pcl {
namespace {

constexpr size_t kCachedTables = 4;
constexpr float kMaxDistanceM = 60.0f;

// The tables computed last, most recent first. Guarded by cache_mutex.
struct Cache {
  std::mutex mu;
  std::vector<std::pair<RayKey, std::shared_ptr<const lens::RayTable>>> entries;
  size_t computed = 0;
};

Cache &cache() {
  static Cache c;
  return c;
}

torvi_lens_param_t lens_of(const RayKey &key) {
  torvi_lens_param_t l{};
  l.cx = key.lens[0];
  l.cy = key.lens[1];
  l.fx = key.lens[2];
  l.fy = key.lens[3];
  for (int i = 0; i < 5; ++i) l.dcoeff[i] = key.lens[static_cast<size_t>(4 + i)];
  l.img_w = key.width;
  l.img_h = key.height;
  return l;
}

lens::RayTable compute(const RayKey &key) {
  switch (key.model) {
    case RayKey::Model::pinhole:
      return lens::pinhole_rays(key.lens[0], key.lens[1], key.lens[2], key.lens[3], key.width,
                                key.height);
    case RayKey::Model::distorted:
      return lens::distorted_rays(lens_of(key), key.width, key.height);
    case RayKey::Model::undistorted:
      return lens::undistorted_rays(lens_of(key));
  }
  return {};
}

}  // namespace

std::shared_ptr<const lens::RayTable> rays_for(const RayKey &key) {
  Cache &c = cache();
  {
    std::lock_guard lock(c.mu);
    for (auto it = c.entries.begin(); it != c.entries.end(); ++it) {
      if (it->first == key) {
        auto found = *it;
        c.entries.erase(it);
        c.entries.insert(c.entries.begin(), found);
        return found.second;
      }
    }
  }
  // Computed outside the lock: two threads may both compute a new lens once.
  auto table = std::make_shared<const lens::RayTable>(compute(key));
  std::lock_guard lock(c.mu);
  ++c.computed;
  c.entries.insert(c.entries.begin(), {key, table});
  if (c.entries.size() > kCachedTables) c.entries.pop_back();
  return table;
}

size_t rays_computed() {
  std::lock_guard lock(cache().mu);
  return cache().computed;
}

int project(float *pcl, size_t pcl_len, const float *dist, size_t pixels, const float *rays,
            float dist_scale, int floats_per_point, bool pseudo_color) {
  const auto per = static_cast<size_t>(floats_per_point);
  size_t n = 0;
  for (size_t p = 0; p < pixels; ++p) {
    if (per * n + per - 1 >= pcl_len) break;
    const float d = dist[p];
    if (!(d > 0.0f && d < kMaxDistanceM)) continue;
    const float D = d * dist_scale;
    const float *r = rays + 3 * p;
    float *out = pcl + per * n;
    out[0] = D * r[0];
    out[1] = D * r[1];
    out[2] = D * r[2];
    if (per == 4) {
      if (pseudo_color) {
        const float mm = std::trunc(D * 1000.0f);
        const int v = std::fabs(mm) < 2.0e9f ? static_cast<int>(mm) : 0;
        out[3] = static_cast<float>(kx_cmap_get_color(&g_torvi_cmap, v));
      } else {
        out[3] = D;
      }
    }
    ++n;
  }
  return static_cast<int>(n);
}

}  // namespace torvi::pcl
