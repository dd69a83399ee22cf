// Frame data: distance and gray images from raw frames through the driver's
// decode, point clouds along per-pixel rays, colouring of float images, and
// the switches of the driver's filters.
#include <torvi/kx_cmap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_dev_priv.h>
#include <torvi/torvi_drv.h>
#include <torvi/torvi_frame.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "api/dev_internal.h"
#include "api/frame_decode.h"
#include "api/point_cloud.h"
#include "core/c_entry.h"
#include "core/log_internal.h"
#include "drivers/lens_view.h"

namespace {

constexpr int kPointXyz = 3;
constexpr int kPointXyzd = 4;

// The driver record of an open device (call inside a BusyScope), or null.
torvi_drv_t *open_driver(torvi_dev_t *dev) {
  return torvi::dev_is_open(dev) ? dev->priv->drv : nullptr;
}

// Decodes into the upper half of dst and converts front to back.
int frame_get_u16(const char *fn, torvi_dev_t *dev, float *dst, int dst_len, const uint8_t *src,
                  int src_len, const torvi_frame_info_t *finfo, int kind) {
  torvi::check_arg(dst != nullptr && finfo != nullptr, "dst=%p finfo=%p", static_cast<void *>(dst),
                   static_cast<const void *>(finfo));
  const uint64_t pixels = uint64_t{finfo->width} * finfo->height;
  if (pixels > static_cast<uint32_t>(dst_len)) {
    KX_LOG_AT(KX_LOG_ERR, fn, "wrong dst_len: %d (wxh=%dx%d)\n", dst_len,
              static_cast<int>(finfo->width), static_cast<int>(finfo->height));
    return 0;
  }
  // The decoder's 16-bit output goes into the second half of the caller's buffer.
  auto *scratch = reinterpret_cast<uint8_t *>(dst + dst_len / 2);
  const auto scratch_values = static_cast<std::size_t>(std::min<int64_t>(dst_len, INT_MAX / 2));
  const int result = torvi::decode_frame_u16(
      dev, {reinterpret_cast<uint16_t *>(scratch), scratch_values}, src, src_len, *finfo, kind);
  // Front to back: float i never overwrites a 16-bit value j > i.
  for (uint64_t i = 0; i < pixels; ++i) {
    uint16_t v = 0;
    std::memcpy(&v, scratch + 2 * i, sizeof v);
    dst[i] = kind == TORVI_DECODE_DIST ? static_cast<float>(v) / 1000.0f : static_cast<float>(v);
  }
  return result;
}

// The rays of the device's lens for img_w x img_h, or null (logged).
std::shared_ptr<const torvi::lens::RayTable> device_rays(const char *fn, torvi_dev_t *dev,
                                                         int img_w, int img_h) {
  using torvi::pcl::RayKey;
  torvi_drv_t *drv = open_driver(dev);
  if (drv == nullptr) {
    KX_LOG_AT(KX_LOG_ERR, fn, "device is not open\n");
    return nullptr;
  }
  if (drv->ops == nullptr || drv->ops->lens_param_get == nullptr) {
    KX_LOG_AT(KX_LOG_ERR, fn, "Cannot generate PCL: no lens parameter in driver.\n");
    return nullptr;
  }
  torvi_lens_param_t lens{};
  if (!drv->ops->lens_param_get(drv, &lens, img_w, img_h)) return nullptr;
  RayKey key;
  key.model = torvi::drv_undistorts(drv, img_w, img_h) ? RayKey::Model::undistorted
                                                       : RayKey::Model::distorted;
  key.width = img_w;
  key.height = img_h;
  key.lens = {lens.cx,        lens.cy,        lens.fx,        lens.fy,       lens.dcoeff[0],
              lens.dcoeff[1], lens.dcoeff[2], lens.dcoeff[3], lens.dcoeff[4]};
  return torvi::pcl::rays_for(key);
}

int frame_get_points(const char *fn, torvi_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                     int img_w, int img_h, const torvi_lens_intrinsics_t *intr, int per_point,
                     bool pseudo_color) {
  if (dev == nullptr) return 0;
  torvi::check_arg(pcl != nullptr && dist != nullptr && pcl_len >= 0, "pcl=%p dist=%p pcl_len=%d",
                   static_cast<void *>(pcl), static_cast<const void *>(dist), pcl_len);
  torvi::check_arg(img_w > 0 && img_h > 0 && int64_t{img_w} * img_h <= INT_MAX, "image %dx%d",
                   img_w, img_h);
  torvi::BusyScope busy(dev);
  std::shared_ptr<const torvi::lens::RayTable> rays;
  float scale = 1.0f;
  if (intr != nullptr) {
    torvi::check_arg(intr->fx != 0.0f && intr->fy != 0.0f, "focal length 0");
    torvi::pcl::RayKey key;
    key.width = img_w;
    key.height = img_h;
    key.lens = {static_cast<double>(intr->cx),
                static_cast<double>(intr->cy),
                static_cast<double>(intr->fx),
                static_cast<double>(intr->fy),
                0,
                0,
                0,
                0,
                0};
    rays = torvi::pcl::rays_for(key);
    scale = intr->dist_scale;
  } else {
    rays = device_rays(fn, dev, img_w, img_h);
  }
  const size_t pixels = static_cast<size_t>(img_w) * static_cast<size_t>(img_h);
  if (rays == nullptr || rays->size() != 3 * pixels) return 0;
  if (pseudo_color && g_torvi_cmap.table == nullptr) {
    KX_LOG_AT(KX_LOG_ERR, fn, "no colour map (torvi_init not called)\n");
    return 0;
  }
  return torvi::pcl::project(pcl, static_cast<size_t>(pcl_len), dist, pixels, rays->data(), scale,
                             per_point, pseudo_color);
}

int to_mm(float metres) {
  const float mm = std::trunc(metres * 1000.0f);
  if (!(mm > static_cast<float>(INT_MIN) && mm < static_cast<float>(INT_MAX))) return 0;
  return static_cast<int>(mm);
}

// Keeps an accepted switch of an open device for its recordings.
void remember_switch(torvi_dev_t *dev, int filter_id, bool on, const torvi_filter_args_t *arg) {
  if (!torvi::dev_is_open(dev) || dev->priv->mutex == nullptr) return;
  torvi_mutex &m = *dev->priv->mutex;
  torvi::FilterSwitch sw;
  sw.on = on;
  sw.has_arg = on && arg != nullptr;
  if (sw.has_arg) sw.arg = *arg;
  const std::lock_guard lock(m.filters_mu);
  m.filters[filter_id] = sw;
}

int filter_switch(const char *fn, torvi_dev_t *dev, int filter_id, torvi_filter_args_t *arg,
                  uint32_t reserved, bool enable) {
  if (dev == nullptr) return -1;
  torvi::BusyScope busy(dev);
  torvi_drv_t *drv = open_driver(dev);
  if (drv == nullptr) drv = torvi_drv_find(dev);
  if (drv == nullptr) {
    KX_LOG_AT(KX_LOG_ERR, fn, "cannot find driver for device: product=%.32s\n", dev->product);
    return -1;
  }
  const torvi_drv_ops_t *ops = drv->ops;
  // A driver without filter operations refuses every switch.
  bool accepted = false;
  if (enable) {
    if (ops == nullptr || ops->filter_enable == nullptr) return 0;
    // The slot's last argument is the size of the argument record.
    (void)reserved;
    const int arg_size = arg != nullptr ? static_cast<int>(sizeof *arg) : 0;
    accepted = ops->filter_enable(drv, filter_id, arg, arg_size);
  } else {
    if (ops == nullptr || ops->filter_disable == nullptr) return 0;
    accepted = ops->filter_disable(drv, filter_id);
  }
  if (accepted) remember_switch(dev, filter_id, enable, arg);
  return accepted ? 1 : 0;
}

}  // namespace

namespace torvi {

std::map<int, FilterSwitch> filter_switches(torvi_dev_t *dev) {
  BusyScope busy(dev);
  if (!dev_is_open(dev) || dev->priv->mutex == nullptr) return {};
  torvi_mutex &m = *dev->priv->mutex;
  const std::lock_guard lock(m.filters_mu);
  return m.filters;
}

int decode_frame_u16(torvi_dev_t *dev, std::span<uint16_t> out, const uint8_t *src, int src_len,
                     const torvi_frame_info_t &finfo, int kind) {
  KX_LOG_NAME("_torvi_frame_get_u16");
  BusyScope busy(dev);
  torvi_drv_t *drv = open_driver(dev);
  const int capacity = static_cast<int>(std::min<std::size_t>(out.size(), INT_MAX / 2) * 2);
  if (drv == nullptr || src == nullptr) {
    KX_DBG("Wrong params\n");
  } else if (src_len < 0 || static_cast<uint32_t>(src_len) < finfo.frame_size) {
    KX_ERR("raw frame length too small: datalen=%d, frlen=%d\n", src_len,
           static_cast<int>(finfo.frame_size));
  } else if (drv->ops == nullptr || drv->ops->frame_decode == nullptr) {
    KX_ERR("driver %s has no frame decode\n", drv->name);
  } else {
    const int got = drv->ops->frame_decode(drv, out.data(), capacity, kind,
                                           reinterpret_cast<const uint16_t *>(src),
                                           static_cast<unsigned>(src_len), &finfo);
    if (got >= 0) return got >> 1;
    KX_ERR("raw frame decode to %d failed: %d\n", kind, got);
  }
  return 0;
}

}  // namespace torvi

extern "C" {

TORVI_API int torvi_frame_get_distance(torvi_dev_t *dev, float *dst, int dst_len,
                                       const uint8_t *src, int src_len,
                                       const torvi_frame_info_t *finfo) {
  const char *fn = __func__;
  return torvi::c_entry(fn, 0, [&] {
    return frame_get_u16(fn, dev, dst, dst_len, src, src_len, finfo, TORVI_DECODE_DIST);
  });
}

TORVI_API int torvi_frame_get_gray(torvi_dev_t *dev, float *dst, int dst_len, const uint8_t *src,
                                   int src_len, const torvi_frame_info_t *finfo) {
  const char *fn = __func__;
  return torvi::c_entry(fn, 0, [&] {
    return frame_get_u16(fn, dev, dst, dst_len, src, src_len, finfo, TORVI_DECODE_GRAY);
  });
}

TORVI_API int torvi_frame_get_pcl(torvi_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                  int /*dist_len*/, int img_w, int img_h,
                                  const torvi_lens_intrinsics_t *intr) {
  const char *fn = __func__;
  return torvi::c_entry(fn, 0, [&] {
    return frame_get_points(fn, dev, pcl, pcl_len, dist, img_w, img_h, intr, kPointXyz, false);
  });
}

TORVI_API int torvi_frame_get_pcl_xyzd(torvi_dev_t *dev, float *pcl, int pcl_len, const float *dist,
                                       int /*dist_len*/, int img_w, int img_h, bool pseudo_color,
                                       const torvi_lens_intrinsics_t *intr) {
  const char *fn = __func__;
  return torvi::c_entry(fn, 0, [&] {
    return frame_get_points(fn, dev, pcl, pcl_len, dist, img_w, img_h, intr, kPointXyzd,
                            pseudo_color);
  });
}

TORVI_API int torvi_cmap_float(uint8_t *dst, int dst_len, const float *src, int src_len, int outfmt,
                               float range_min, float range_max) {
  KX_LOG_NAME("torvi_cmap_float");
  return torvi::c_entry(__func__, 0, [&] {
    torvi::check_arg(dst != nullptr && src != nullptr && dst_len >= 0 && src_len >= 0,
                     "dst=%p src=%p dst_len=%d src_len=%d", static_cast<void *>(dst),
                     static_cast<const void *>(src), dst_len, src_len);
    if (outfmt != TORVI_CMAP_OUTFMT_RGB && outfmt != TORVI_CMAP_OUTFMT_RGB32 &&
        outfmt != TORVI_CMAP_OUTFMT_BGR)
      return 0;
    if (g_torvi_cmap.table == nullptr) {
      KX_ERR("no colour map (torvi_init not called)\n");
      return 0;
    }
    kx_cmap_set_range(&g_torvi_cmap, to_mm(range_min), to_mm(range_max));
    const int bpp = outfmt == TORVI_CMAP_OUTFMT_RGB32 ? 4 : 3;
    const int n = std::min(src_len, dst_len / bpp);
    for (int i = 0; i < n; ++i) {
      const uint32_t c = kx_cmap_get_color(&g_torvi_cmap, to_mm(src[i]));
      uint8_t *out = dst + static_cast<size_t>(i) * static_cast<size_t>(bpp);
      const auto r = static_cast<uint8_t>(c), g = static_cast<uint8_t>(c >> 8),
                 b = static_cast<uint8_t>(c >> 16);
      if (outfmt == TORVI_CMAP_OUTFMT_RGB32) {
        out[0] = r, out[1] = g, out[2] = b, out[3] = static_cast<uint8_t>(c >> 24);
      } else if (outfmt == TORVI_CMAP_OUTFMT_RGB) {
        out[0] = r, out[1] = g, out[2] = b;
      } else {
        out[0] = b, out[1] = g, out[2] = r;
      }
    }
    return n;
  });
}

TORVI_API int torvi_filter_enable(torvi_dev_t *dev, int filter_id, torvi_filter_args_t *arg,
                                  uint32_t reserved) {
  const char *fn = __func__;
  return torvi::c_entry(fn, -1,
                        [&] { return filter_switch(fn, dev, filter_id, arg, reserved, true); });
}

TORVI_API int torvi_filter_disable(torvi_dev_t *dev, int filter_id) {
  const char *fn = __func__;
  return torvi::c_entry(fn, -1,
                        [&] { return filter_switch(fn, dev, filter_id, nullptr, 0, false); });
}

}  // extern "C"
