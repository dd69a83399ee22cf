// Unit rays of the pixels of an image: the direction in camera space (x along
// increasing columns, y along increasing rows, z along the optical axis) that
// each pixel sees. A point measured at radial distance D on pixel p lies at
// D * ray(p).
#pragma once

#include <torvi/kx_lens.h>

#include <vector>

namespace torvi::lens {

// 3 floats (x, y, z) per pixel, row-major, each of length 1.
using RayTable = std::vector<float>;

// Pinhole camera: pixel (u, v) sees (u - cx) / fx, (v - cy) / fy, 1.
RayTable pinhole_rays(double cx, double cy, double fx, double fy, int width, int height);

// The image as the lens forms it (not undistorted): the lens distortion of
// `lens` (intrinsics for width x height) is inverted for every pixel.
RayTable distorted_rays(const torvi_lens_param_t &lens, int width, int height);

// The image that the undistortion map of `lens` produces (lens.img_w x
// lens.img_h). Empty when the lens gives no undistorted camera.
RayTable undistorted_rays(const torvi_lens_param_t &lens);

// Normalised coordinates (x, y) of the ray through lens pixel (u, v): the
// point that the distortion model carries onto ((u - cx) / fx, (v - cy) / fy).
void undistort_point(const torvi_lens_param_t &lens, double u, double v, double &x, double &y);

// The distortion model: normalised ideal (x, y) -> normalised distorted.
void distort_point(const double coeff[5], double x, double y, double &xd, double &yd);

}  // namespace torvi::lens
