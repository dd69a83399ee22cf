// The TI OPT8241 entry: describes frames of 320 x 240 pixels of 4 bytes and
// decodes them to 16-bit distance (millimetres) or 16-bit gray.
#include <torvi/torvi_dev.h>
#include <torvi/torvi_drv.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/log_internal.h"
#include "drivers/registry_internal.h"

namespace {

constexpr uint32_t kTiWidth = 320;
constexpr uint32_t kTiHeight = 240;
constexpr uint8_t kTiPixelBytes = 4;
// Full range of the 12-bit phase word in metres.
constexpr double kTiRangeM = 3.122838;

bool ti_init(torvi_drv_t *drv, torvi_dev_t *dev) {
  if (drv == nullptr) return true;
  drv->dev = dev;
  if (torvi_drv_t *entry = torvi::registry_entry_of(drv); entry != nullptr) entry->dev = dev;
  return true;
}

void ti_uninit(torvi_drv_t *) {}

bool ti_frame_get_info(torvi_drv_t *, torvi_frame_info_t *out, const torvi_frame_hdr_t *hdr) {
  if (out == nullptr || hdr == nullptr) return false;
  *out = torvi_frame_info_t{};
  out->frame_size = hdr->frlen;
  out->frame_format = hdr->frfmt;
  out->frame_idx = hdr->fridx;
  out->width = kTiWidth;
  out->height = kTiHeight;
  out->pixel_bytes = kTiPixelBytes;
  return true;
}

// Each source pixel is two little-endian 16-bit words: word0 carries the
// amplitude, word1 the phase (both in their low 12 bits).
uint16_t ti_pixel(int kind, uint16_t word0, uint16_t word1) {
  if (kind == TORVI_DECODE_DIST) {
    const double metres = (word1 & 0xFFF) / 4096.0 * kTiRangeM;
    return static_cast<uint16_t>(std::lround(metres * 1000.0));
  }
  return static_cast<uint16_t>(word0 & 0xFFF);
}

// Writes one 16-bit value per pixel and returns the number of bytes written.
int ti_frame_decode(torvi_drv_t *, uint16_t *dst, int dst_len_bytes, int kind, const uint16_t *src,
                    unsigned src_len_bytes, const torvi_frame_info_t *finfo) {
  if (dst == nullptr || src == nullptr || dst_len_bytes < 0 ||
      (kind != TORVI_DECODE_DIST && kind != TORVI_DECODE_GRAY)) {
    KX_ERR("wrong params: dst=%p, src=%p, dst_len=%d, kind=%d\n", static_cast<void *>(dst),
           static_cast<const void *>(src), dst_len_bytes, kind);
    return -1;
  }
  size_t pixels = std::min<size_t>(src_len_bytes / 4, static_cast<size_t>(dst_len_bytes) / 2);
  if (finfo != nullptr) pixels = std::min<size_t>(pixels, size_t{finfo->width} * finfo->height);
  for (size_t i = 0; i < pixels; ++i) dst[i] = ti_pixel(kind, src[2 * i], src[2 * i + 1]);
  return static_cast<int>(pixels * 2);
}

int ti_reserved5(torvi_drv_t *, ...) { return 0; }
int ti_config_reset(torvi_drv_t *, void *, int len, int) { return len; }
int ti_calib_save(torvi_drv_t *, void *, int len, int) { return len; }
int ti_reserved8(torvi_drv_t *, ...) { return 1; }

}  // namespace

extern "C" {

// No lens parameters and no filters: those slots stay empty.
const torvi_drv_ops_t g_torvi_driver_op_ti = {
    .init = ti_init,
    .uninit = ti_uninit,
    .frame_get_info = ti_frame_get_info,
    .frame_decode = ti_frame_decode,
    .lens_param_get = nullptr,
    .reserved5 = ti_reserved5,
    .config_reset = ti_config_reset,
    .calib_save = ti_calib_save,
    .reserved8 = ti_reserved8,
    .filter_enable = nullptr,
    .filter_disable = nullptr,
    .empty = {},
};

}  // extern "C"
