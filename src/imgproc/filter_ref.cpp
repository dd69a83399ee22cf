// Reference versions of the depth filters: every output pixel reads its full
// window through clamped indices.
#include "imgproc/filter_ref.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace torvi::ref {

namespace {

// Pixel (x, y) with both indices clamped into the image.
struct Img {
  const uint16_t *p;
  int w, h;
  uint16_t at(int x, int y) const {
    x = std::clamp(x, 0, w - 1);
    y = std::clamp(y, 0, h - 1);
    return p[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
             static_cast<std::size_t>(x)];
  }
};

template <class F>
void each_pixel(uint16_t *dst, const uint16_t *src, int w, int h, F f) {
  const Img img{src, w, h};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      dst[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)] =
          f(img, x, y);
}

}  // namespace

void median(uint16_t *dst, const uint16_t *src, int w, int h, int k) {
  const int r = (k - 1) / 2;
  std::vector<uint16_t> win(static_cast<std::size_t>(k) * static_cast<std::size_t>(k));
  each_pixel(dst, src, w, h, [&](const Img &img, int x, int y) {
    std::size_t n = 0;
    for (int dy = -r; dy <= r; ++dy)
      for (int dx = -r; dx <= r; ++dx) win[n++] = img.at(x + dx, y + dy);
    std::sort(win.begin(), win.end());
    return win[win.size() / 2];
  });
}

void median3(uint16_t *dst, const uint16_t *src, int w, int h) { median(dst, src, w, h, 3); }
void median5(uint16_t *dst, const uint16_t *src, int w, int h) { median(dst, src, w, h, 5); }

void box3(uint16_t *dst, const uint16_t *src, int w, int h) {
  each_pixel(dst, src, w, h, [](const Img &img, int x, int y) {
    uint32_t sum = 0;
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx)
        if (dx != 0 || dy != 0) sum += img.at(x + dx, y + dy);
    return static_cast<uint16_t>(sum >> 3);
  });
}

void gauss3(uint16_t *dst, const uint16_t *src, int w, int h) {
  static constexpr uint32_t kW[3][3] = {{1, 2, 1}, {2, 4, 2}, {1, 2, 1}};
  each_pixel(dst, src, w, h, [](const Img &img, int x, int y) {
    uint32_t sum = 0;
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) sum += kW[dy + 1][dx + 1] * img.at(x + dx, y + dy);
    return static_cast<uint16_t>(sum >> 4);
  });
}

void flypix3(uint16_t *dst, const uint16_t *src, int w, int h, uint32_t threshold) {
  const uint32_t bound = threshold >> 4;
  each_pixel(dst, src, w, h, [bound](const Img &img, int x, int y) {
    auto q = [&](int dx, int dy) { return static_cast<int32_t>(img.at(x + dx, y + dy) / 4); };
    const int32_t tl = q(-1, -1), t = q(0, -1), tr = q(1, -1), l = q(-1, 0), r = q(1, 0),
                  bl = q(-1, 1), b = q(0, 1), br = q(1, 1);
    const int32_t gx = (tr + br + 2 * r) - (tl + bl + 2 * l);
    const int32_t gy = (bl + br + 2 * b) - (tl + tr + 2 * t);
    // Squares and sum in 32-bit unsigned arithmetic, wrapping.
    const uint32_t s = static_cast<uint32_t>(gx) * static_cast<uint32_t>(gx) +
                       static_cast<uint32_t>(gy) * static_cast<uint32_t>(gy);
    return s > bound ? uint16_t{0} : img.at(x, y);
  });
}

namespace {

void fhole(uint16_t *dst, const uint16_t *src, int w, int h, int r) {
  each_pixel(dst, src, w, h, [r](const Img &img, int x, int y) {
    const auto c = static_cast<int16_t>(img.at(x, y));
    if (c > 0) return static_cast<uint16_t>(c);
    int16_t best = INT16_MIN;
    for (int dy = -r; dy <= r; ++dy)
      for (int dx = -r; dx <= r; ++dx)
        if (dx != 0 || dy != 0) best = std::max(best, static_cast<int16_t>(img.at(x + dx, y + dy)));
    return static_cast<uint16_t>(best);
  });
}

}  // namespace

void fhole3(uint16_t *dst, const uint16_t *src, int w, int h) { fhole(dst, src, w, h, 1); }
void fhole5(uint16_t *dst, const uint16_t *src, int w, int h) { fhole(dst, src, w, h, 2); }

}  // namespace torvi::ref

#include <cmath>

namespace torvi::ref {

namespace {

// trunc(q + 0.5) as a wide integer; values that are not numbers or beyond
// any image give -1.
long long nearest(float q) {
  const double t = std::trunc(static_cast<double>(q) + 0.5);
  if (!std::isfinite(t) || std::fabs(t) > 1e15) return -1;
  return static_cast<long long>(t);
}

template <class T>
void undistort(const kx_calib_len_map_t &map, T *dst, const T *src, int w, int h, T invalid) {
  const int bx = map.width / w, by = map.height / h;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const std::size_t m = static_cast<std::size_t>(y) * static_cast<std::size_t>(by) *
                                static_cast<std::size_t>(map.width) +
                            static_cast<std::size_t>(x) * static_cast<std::size_t>(bx);
      const long long sx = nearest(map.mapx[m] / static_cast<float>(bx));
      const long long sy = nearest(map.mapy[m] / static_cast<float>(by));
      T &out = dst[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                   static_cast<std::size_t>(x)];
      if (sx >= 0 && sx < w && sy >= 0 && sy < h)
        out = src[static_cast<std::size_t>(sy) * static_cast<std::size_t>(w) +
                  static_cast<std::size_t>(sx)];
      else
        out = invalid;
    }
  }
}

}  // namespace

void undistort_u16(const kx_calib_len_map_t &map, uint16_t *dst, const uint16_t *src, int w, int h,
                   uint16_t invalid) {
  undistort(map, dst, src, w, h, invalid);
}

void undistort_f32(const kx_calib_len_map_t &map, float *dst, const float *src, int w, int h,
                   float invalid) {
  undistort(map, dst, src, w, h, invalid);
}

}  // namespace torvi::ref
