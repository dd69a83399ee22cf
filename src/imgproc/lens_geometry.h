// Geometry of lens undistortion shared by the map construction and tests:
// the 9 x 9 grid rectangle estimation and the undistorted camera.
#pragma once

#include <torvi/kx_lens.h>

namespace torvi::lens {

struct RectF {
  float x, y, w, h;
};

// Undistorts the 9 x 9 grid over the W x H image (points at W*k/8, H*l/8 for
// k, l = 0..8) with camera matrix `a` (row-major 3 x 3) and coefficients
// k1, k2, p1, p2, k3 (5 fixed-point iterations), projects the points with the
// row-major matrix `p` (identity when null) and returns the bounding box
// (outer) and the largest box inside the outermost grid lines (inner).
void estimate_rects(const double *a, const double *coeff, const double *p, int w, int h,
                    RectF &inner, RectF &outer);

// The camera matrix (row-major 3 x 3) of the image that the undistortion map
// of `lens` produces: output pixel (u, v) sees the ray (x, y, 1) with
// (x, y, 1) ~ inverse(an) (u, v, 1). False when the lens gives none.
bool undistorted_camera(const torvi_lens_param_t &lens, double an[9]);

}  // namespace torvi::lens
