// Public entry points of the fixed-size depth filters: argument checks, then
// the filter set chosen for the running CPU.
#include <torvi/kx_filter.h>

#include <cstdint>

#include "core/c_entry.h"
#include "imgproc/filter_set.h"

namespace {

bool args_ok(const char *name, uint16_t *dst, const uint16_t *src, int width, int height) {
  if (width <= 1 || height <= 1) {
    KX_LOG_AT(KX_LOG_ERR, name, " wrong parameter:w/h=%d/%d\n", width, height);
    return false;
  }
  if (dst == nullptr || src == nullptr || dst == src) {
    KX_LOG_AT(KX_LOG_ERR, name, " wrong parameter:dst/src=%p/%p\n", static_cast<void *>(dst),
              static_cast<const void *>(src));
    return false;
  }
  return true;
}

// Runs one filter of the active set for the exported call `name`.
void run(const char *name, torvi::FilterFn torvi::FilterSet::*fn, uint16_t *dst,
         const uint16_t *src, int width, int height, uint32_t arg = 0) {
  torvi::c_entry_void(name, [&] {
    if (!args_ok(name, dst, src, width, height)) return;
    (torvi::active_filter_set().*fn)(dst, src, width, height, arg);
  });
}

}  // namespace

extern "C" {

TORVI_API void kx_median2d_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height) {
  run(__func__, &torvi::FilterSet::median3, dst, src, width, height);
}

TORVI_API void kx_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int width, int height) {
  run(__func__, &torvi::FilterSet::median5, dst, src, width, height);
}

TORVI_API void kx_box2d_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height) {
  run(__func__, &torvi::FilterSet::box3, dst, src, width, height);
}

TORVI_API void kx_gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height) {
  run(__func__, &torvi::FilterSet::gauss3, dst, src, width, height);
}

TORVI_API void kx_flypix_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height,
                                uint32_t threshold) {
  run(__func__, &torvi::FilterSet::flypix3, dst, src, width, height, threshold);
}

TORVI_API void kx_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height) {
  run(__func__, &torvi::FilterSet::fhole3, dst, src, width, height);
}

TORVI_API void kx_fhole_u16_k5(uint16_t *dst, const uint16_t *src, int width, int height) {
  run(__func__, &torvi::FilterSet::fhole5, dst, src, width, height);
}

}  // extern "C"
