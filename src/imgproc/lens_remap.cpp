// Lens undistortion remap: nearest-neighbour lookup through the map, which
// serves every image size that divides the lens size (binning).
#include "imgproc/lens_remap.h"

#include <torvi/kx_lens.h>

#include <cstddef>
#include <cstdint>

#include "core/c_entry.h"
#include "core/test_hooks.h"

namespace torvi::lens {

Divisor make_divisor(int d) {
  if (d == 1) return {Divisor::kOne, 1.0f, 1.0f};
  if ((d & (d - 1)) == 0)
    return {Divisor::kPow2, static_cast<float>(d), 1.0f / static_cast<float>(d)};
  return {Divisor::kOther, static_cast<float>(d), 0.0f};
}

int32_t source_coord(float m, const Divisor &d, int32_t n) {
  const float q = d.kind == Divisor::kOne ? m : (d.kind == Divisor::kPow2 ? m * d.rd : m / d.d);
  const double t = static_cast<double>(q) + 0.5;
  if (!(t > -1.0 && t < static_cast<double>(n))) return -1;
  return static_cast<int32_t>(t);
}

bool remap_avx2_supported() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return yes;
}

bool remap_avx512_supported() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl");
  }();
  return yes;
}

namespace {

// The widest remap path tests allow (0 generic, 1 AVX2, 2 AVX-512).
int64_t isa_cap() { return hooks::get(hooks::Knob::kRemapIsaCap); }

// One row through the widest vector code the CPU (and the test cap) allows.
void remap_row_simd(const float *mx, const float *my, int n, const Divisor &dy, const uint16_t *src,
                    int w, int h, uint16_t invalid, uint16_t *dst) {
  if (remap_avx512_supported() && isa_cap() >= 2)
    remap_row_u16_avx512(mx, my, n, dy, src, w, h, invalid, dst);
  else
    remap_row_u16_avx2(mx, my, n, dy, src, w, h, invalid, dst);
}

void remap_row_simd(const float *mx, const float *my, int n, const Divisor &dy, const float *src,
                    int w, int h, float invalid, float *dst) {
  remap_row_f32_avx2(mx, my, n, dy, src, w, h, invalid, dst);
}

template <class T>
void remap(const kx_calib_len_map_t &map, T *dst, const T *src, int w, int h, T invalid) {
  const int bx = map.width / w, by = map.height / h;
  const Divisor dx = make_divisor(bx), dy = make_divisor(by);
  const bool simd = bx == 1 && remap_avx2_supported() && isa_cap() >= 1;
  for (int y = 0; y < h; ++y) {
    const std::size_t mrow = static_cast<std::size_t>(y) * static_cast<std::size_t>(by) *
                             static_cast<std::size_t>(map.width);
    const float *mx = map.mapx + mrow, *my = map.mapy + mrow;
    T *drow = dst + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
    if (simd) {
      remap_row_simd(mx, my, w, dy, src, w, h, invalid, drow);
      continue;
    }
    for (int x = 0; x < w; ++x) {
      const std::size_t m = static_cast<std::size_t>(x) * static_cast<std::size_t>(bx);
      const int32_t sx = source_coord(mx[m], dx, w), sy = source_coord(my[m], dy, h);
      drow[x] = (sx >= 0 && sx < w && sy >= 0 && sy < h) ? src[sy * w + sx] : invalid;
    }
  }
}

// The undistortion behind both exported calls, run for the call `name`.
template <class T>
int undistort(const char *name, const kx_calib_len_map_t *map, T *dst, int dst_len, const T *src,
              int src_w, int src_h, T invalid) {
  return torvi::c_entry(name, 0, [&] {
    if (src_w == 0 || src_h == 0) return 1;
    if (map == nullptr || !map->ready) {
      KX_LOG_AT(KX_LOG_ERR, name, "Wrong parameter: calib_map not ready\n");
      return 0;
    }
    if (map->width % src_w != 0 || map->height % src_h != 0) {
      KX_LOG_AT(KX_LOG_ERR, name, "Wrong parameter: calib_map: %dx%d, src_img: %dx%d\n", map->width,
                map->height, src_w, src_h);
      return 0;
    }
    if (static_cast<int64_t>(src_w) * src_h > dst_len) {
      KX_LOG_AT(KX_LOG_ERR, name, "Wrong parameter: %dx%d > dst_len=%d\n", src_w, src_h, dst_len);
      return 0;
    }
    if (src_w < 0 || src_h < 0) return 1;
    if (dst == nullptr || src == nullptr) {
      KX_LOG_AT(KX_LOG_ERR, name, "Wrong parameter: dst=%p src=%p\n", static_cast<void *>(dst),
                static_cast<const void *>(src));
      return 0;
    }
    remap(*map, dst, src, src_w, src_h, invalid);
    return 1;
  });
}

}  // namespace

}  // namespace torvi::lens

extern "C" {

TORVI_API int kx_calib_len_undistort_u16(const kx_calib_len_map_t *map, uint16_t *dst, int dst_len,
                                         const uint16_t *src, int src_w, int src_h,
                                         uint16_t invalid_value) {
  return torvi::lens::undistort(__func__, map, dst, dst_len, src, src_w, src_h, invalid_value);
}

TORVI_API int kx_calib_len_undistort_f32(const kx_calib_len_map_t *map, float *dst, int dst_len,
                                         const float *src, int src_w, int src_h,
                                         float invalid_value) {
  return torvi::lens::undistort(__func__, map, dst, dst_len, src, src_w, src_h, invalid_value);
}

}  // extern "C"
