// Per-pixel rays of pinhole, distorted and undistorted images.
#include "imgproc/lens_rays.h"

#include <cmath>
#include <cstddef>

#include "imgproc/lens_geometry.h"

namespace torvi::lens {
namespace {

constexpr int kNewtonSteps = 30;
constexpr double kConverged = 1e-12;

void put_ray(RayTable &t, size_t pixel, double x, double y) {
  const double inv = 1.0 / std::sqrt(x * x + y * y + 1.0);
  t[3 * pixel] = static_cast<float>(x * inv);
  t[3 * pixel + 1] = static_cast<float>(y * inv);
  t[3 * pixel + 2] = static_cast<float>(inv);
}

size_t pixels_of(int width, int height) {
  return width > 0 && height > 0 ? static_cast<size_t>(width) * static_cast<size_t>(height) : 0;
}

}  // namespace

void distort_point(const double c[5], double x, double y, double &xd, double &yd) {
  const double k1 = c[0], k2 = c[1], p1 = c[2], p2 = c[3], k3 = c[4];
  const double r2 = x * x + y * y;
  const double kr = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3));
  xd = x * kr + 2.0 * p1 * x * y + p2 * (r2 + 2.0 * x * x);
  yd = y * kr + p1 * (r2 + 2.0 * y * y) + 2.0 * p2 * x * y;
}

void undistort_point(const torvi_lens_param_t &lens, double u, double v, double &x, double &y) {
  const double *c = lens.dcoeff;
  const double k1 = c[0], k2 = c[1], p1 = c[2], p2 = c[3], k3 = c[4];
  const double x0 = (u - lens.cx) / lens.fx, y0 = (v - lens.cy) / lens.fy;
  x = x0;
  y = y0;
  // Newton's method on distort(x, y) = (x0, y0) with the analytic Jacobian.
  for (int it = 0; it < kNewtonSteps; ++it) {
    double xd = 0, yd = 0;
    distort_point(c, x, y, xd, yd);
    const double ex = xd - x0, ey = yd - y0;
    if (ex * ex + ey * ey < kConverged * kConverged) break;
    const double r2 = x * x + y * y;
    const double kr = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3));
    const double dkr = k1 + r2 * (2.0 * k2 + 3.0 * k3 * r2);  // d kr / d r2
    const double jxx = kr + 2.0 * x * x * dkr + 2.0 * p1 * y + 6.0 * p2 * x;
    const double jxy = 2.0 * x * y * dkr + 2.0 * p1 * x + 2.0 * p2 * y;
    const double jyy = kr + 2.0 * y * y * dkr + 6.0 * p1 * y + 2.0 * p2 * x;
    const double det = jxx * jyy - jxy * jxy;
    if (!(std::fabs(det) > 1e-12)) break;
    x -= (jyy * ex - jxy * ey) / det;
    y -= (jxx * ey - jxy * ex) / det;
  }
}

RayTable pinhole_rays(double cx, double cy, double fx, double fy, int width, int height) {
  RayTable t(3 * pixels_of(width, height));
  for (int v = 0; v < height; ++v)
    for (int u = 0; u < width; ++u)
      put_ray(t, static_cast<size_t>(v) * static_cast<size_t>(width) + static_cast<size_t>(u),
              (u - cx) / fx, (v - cy) / fy);
  return t;
}

RayTable distorted_rays(const torvi_lens_param_t &lens, int width, int height) {
  RayTable t(3 * pixels_of(width, height));
  for (int v = 0; v < height; ++v)
    for (int u = 0; u < width; ++u) {
      double x = 0, y = 0;
      undistort_point(lens, u, v, x, y);
      put_ray(t, static_cast<size_t>(v) * static_cast<size_t>(width) + static_cast<size_t>(u), x,
              y);
    }
  return t;
}

RayTable undistorted_rays(const torvi_lens_param_t &lens) {
  double an[9];
  if (lens.img_w <= 0 || lens.img_h <= 0 || !undistorted_camera(lens, an)) return {};
  // The new camera matrix has no skew: x = (u - an[2]) / an[0], y = (v - an[5]) / an[4].
  return pinhole_rays(an[2], an[5], an[0], an[4], lens.img_w, lens.img_h);
}

}  // namespace torvi::lens
