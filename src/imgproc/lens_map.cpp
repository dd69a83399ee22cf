// Construction and release of the lens undistortion map.
#include <torvi/kx_lens.h>
#include <torvi/kx_vecmath.h>

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/c_entry.h"
#include "core/test_hooks.h"
#include "imgproc/lens_geometry.h"

namespace torvi::lens {

void estimate_rects(const double *a, const double *coeff, const double *p, int w, int h,
                    RectF &inner, RectF &outer) {
  static constexpr double kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  if (p == nullptr) p = kIdentity;
  const double fx = a[0], cx = a[2], fy = a[4], cy = a[5];
  const double k1 = coeff[0], k2 = coeff[1], p1 = coeff[2], p2 = coeff[3], k3 = coeff[4];
  const double ifx = 1.0 / fx, ify = 1.0 / fy;
  float left = -FLT_MAX, right = FLT_MAX, top = -FLT_MAX, bottom = FLT_MAX;
  float min_x = FLT_MAX, max_x = -FLT_MAX, min_y = FLT_MAX, max_y = -FLT_MAX;
  for (int l = 0; l <= 8; ++l) {
    for (int k = 0; k <= 8; ++k) {
      const float gx = static_cast<float>(w) * static_cast<float>(k) * 0.125f;
      const float gy = static_cast<float>(h) * static_cast<float>(l) * 0.125f;
      const double x0 = (static_cast<double>(gx) - cx) * ifx,
                   y0 = (static_cast<double>(gy) - cy) * ify;
      double x = x0, y = y0;
      for (int it = 0; it < 5; ++it) {
        const double r2 = x * x + y * y;
        const double icdist = 1.0 / (1.0 + r2 * (k1 + r2 * (k2 + r2 * k3)));
        const double dx = 2.0 * p1 * x * y + p2 * (r2 + 2.0 * x * x);
        const double dy = p1 * (r2 + 2.0 * y * y) + 2.0 * p2 * x * y;
        x = (x0 - dx) * icdist;
        y = (y0 - dy) * icdist;
      }
      const double s = 1.0 / (p[6] * x + p[7] * y + p[8]);
      const auto px = static_cast<float>((p[0] * x + p[1] * y + p[2]) * s);
      const auto py = static_cast<float>((p[3] * x + p[4] * y + p[5]) * s);
      min_x = std::fmin(min_x, px);
      max_x = std::fmax(max_x, px);
      min_y = std::fmin(min_y, py);
      max_y = std::fmax(max_y, py);
      if (k == 0) left = std::fmax(left, px);
      if (k == 8) right = std::fmin(right, px);
      if (l == 0) top = std::fmax(top, py);
      if (l == 8) bottom = std::fmin(bottom, py);
    }
  }
  outer = {min_x, min_y, max_x - min_x, max_y - min_y};
  inner = {left, top, right - left, bottom - top};
}

bool undistorted_camera(const torvi_lens_param_t &lens, double an[9]) {
  const int w = lens.img_w, h = lens.img_h;
  const double a[9] = {lens.fx, 0, lens.cx, 0, lens.fy, lens.cy, 0, 0, 1};
  RectF inner{}, outer{};
  estimate_rects(a, lens.dcoeff, nullptr, w, h, inner, outer);
  const double nfx = (w - 1) / static_cast<double>(outer.w),
               nfy = (h - 1) / static_cast<double>(outer.h);
  // Row-major new camera matrix; the undistorted field fits the output.
  const double m[9] = {nfx, 0,   -nfx * static_cast<double>(outer.x),
                       0,   nfy, -nfy * static_cast<double>(outer.y),
                       0,   0,   1};
  for (int i = 0; i < 9; ++i) an[i] = m[i];
  return std::isfinite(an[0]) && std::isfinite(an[2]) && std::isfinite(an[4]) &&
         std::isfinite(an[5]) && an[0] != 0.0 && an[4] != 0.0;
}

}  // namespace torvi::lens

namespace {

using torvi::lens::RectF;

float *alloc_table(std::size_t n) {
  if (torvi::hooks::count_down(torvi::hooks::Knob::kImgprocFailNthAlloc)) return nullptr;
  return static_cast<float *>(std::malloc(n * sizeof(float)));
}

int32_t round_half(float v) {
  const double t = static_cast<double>(v) + 0.5;
  return (t > INT32_MIN && t < INT32_MAX) ? static_cast<int32_t>(t) : 0;
}

// Fills the tables: for each output pixel the lens pixel it comes from.
void fill_tables(kx_calib_len_map_t &map, const torvi_lens_param_t &lens, const double *b) {
  const double fx = lens.fx, fy = lens.fy, cx = lens.cx, cy = lens.cy;
  const double k1 = lens.dcoeff[0], k2 = lens.dcoeff[1], p1 = lens.dcoeff[2], p2 = lens.dcoeff[3],
               k3 = lens.dcoeff[4];
  const int w = map.width, h = map.height;
  for (int v = 0; v < h; ++v) {
    double x = b[1] * v + b[2], y = b[4] * v + b[5], z = b[7] * v + b[8];
    float *mx = map.mapx + static_cast<std::size_t>(v) * static_cast<std::size_t>(w);
    float *my = map.mapy + static_cast<std::size_t>(v) * static_cast<std::size_t>(w);
    for (int u = 0; u < w; ++u) {
      const double xp = x / z, yp = y / z, r2 = xp * xp + yp * yp;
      const double kr = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3));
      mx[u] =
          static_cast<float>(cx + fx * (xp * kr + 2.0 * p1 * xp * yp + p2 * (r2 + 2.0 * xp * xp)));
      my[u] =
          static_cast<float>(cy + fy * (yp * kr + p1 * (r2 + 2.0 * yp * yp) + 2.0 * p2 * xp * yp));
      x += b[0];
      y += b[3];
      z += b[6];
    }
  }
}

}  // namespace

extern "C" {

TORVI_API void kx_calib_len_uninit_map(kx_calib_len_map_t *map) {
  torvi::c_entry_void(__func__, [&] {
    if (map == nullptr || !map->ready) return;
    std::free(map->mapx);
    std::free(map->mapy);
    map->mapx = map->mapy = nullptr;
    map->ready = 0;
  });
}

TORVI_API int kx_calib_len_init_map(kx_calib_len_map_t *map, const torvi_lens_param_t *lens) {
  KX_LOG_NAME("kx_calib_len_init_map");
  return torvi::c_entry<int>(__func__, 0, [&]() -> int {
    torvi::check_arg(map != nullptr && lens != nullptr, "map=%p lens=%p", static_cast<void *>(map),
                     static_cast<const void *>(lens));
    kx_calib_len_uninit_map(map);
    const int w = lens->img_w, h = lens->img_h;
    if (w <= 0 || h <= 0 || static_cast<int64_t>(w) * h > INT32_MAX) {
      KX_ERR("Wrong parameter: lens size %dx%d\n", w, h);
      return 0;
    }
    double an[9], b[9];
    if (!torvi::lens::undistorted_camera(*lens, an)) {
      KX_ERR("Wrong parameter: lens fx/fy/cx/cy=%f/%f/%f/%f give no usable map\n", lens->fx,
             lens->fy, lens->cx, lens->cy);
      return 0;
    }
    const double a[9] = {lens->fx, 0, lens->cx, 0, lens->fy, lens->cy, 0, 0, 1};
    RectF inner{}, outer{};
    mat3_inverse(an, b);
    torvi::lens::estimate_rects(a, lens->dcoeff, an, w, h, inner, outer);

    const std::size_t n = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    float *mx = alloc_table(n);
    float *my = mx != nullptr ? alloc_table(n) : nullptr;
    if (mx == nullptr || my == nullptr) {
      std::free(mx);
      KX_ERR("malloc failed for %dx%d map\n", w, h);
      return 0;
    }
    map->mapx = mx;
    map->mapy = my;
    map->count = w * h;
    map->width = w;
    map->height = h;
    map->valid_rect[0] = round_half(inner.x);
    map->valid_rect[1] = round_half(inner.y);
    map->valid_rect[2] = round_half(inner.w);
    map->valid_rect[3] = round_half(inner.h);
    fill_tables(*map, *lens, b);
    map->ready = 1;
    return w * h;
  });
}

}  // extern "C"
