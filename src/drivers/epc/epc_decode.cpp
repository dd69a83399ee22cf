// The EPC driver's frame decode: automatic integration time, DCS balance
// check, the distance kernels with temperature compensation, row order, HDR
// merge, minimum amplitude with hysteresis, the depth filter chain with the
// range clip and lens undistortion; the gray decode; the exported kernels.
#include "drivers/epc/epc_decode.h"

#include <torvi/epc_decode.h>
#include <torvi/kx_filter.h>
#include <torvi/kx_lens.h>
#include <torvi/torvi_dev.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/clock.h"
#include "core/log_internal.h"
#include "drivers/lens_view.h"

namespace torvi::epc {
namespace {

constexpr int kFormatDcs4 = 2;
constexpr int kFormatNoDistance = 8;
constexpr int kFormatCalibData = 171;
constexpr int kDcsCount = 4;
constexpr uint32_t kParamIntegration = 13;
constexpr uint32_t kParamSync = 17;
constexpr int kMedianKernel = 5;
constexpr auto kIntgInterval = std::chrono::milliseconds(1);

int16_t temperature(const int16_t &field) {
  return std::atomic_ref<int16_t>(const_cast<int16_t &>(field)).load(std::memory_order_relaxed);
}

void clear_pending(epc_drv_state_t &st) {
  std::atomic_ref<uint8_t>(st.frame_pending).store(0, std::memory_order_relaxed);
}

bool set_param(torvi_dev_t *dev, uint32_t number, const uint8_t *bytes, uint8_t len) {
  if (dev == nullptr) return false;
  torvi_param_t p{};
  p.number = number;
  p.len = len;
  std::memcpy(p.value, bytes, len);
  return torvi_param_batch_set(dev, &p, 1);
}

// Adjusts the integration time from the share of bad samples of the frame.
void auto_integration(torvi_drv_t *drv, epc_drv_state_t &st, DecodeWork &work, const uint16_t *src,
                      unsigned src_len) {
  KX_LOG_NAME("_feature_auto_intg");
  if (!st.auto_intg_en || st.auto_intg_thr == 0 || st.chip == nullptr || st.chip->is_hdr()) return;
  const auto now = std::chrono::steady_clock::now();
  if (work.intg_ran && now - work.intg_last <= kIntgInterval) return;
  const IntgStats s = intg_stats(src, src_len / 2);
  KX_LOG_AT(KX_LOG_TRC, "_feature_auto_intg_calc_step",
            "bad_pct:%d, bad_cnt:%d, cnt_high/low:%d,%d sat_ratio: %d,\n", s.bad_permille,
            static_cast<int>(s.bad), static_cast<int>(s.high), static_cast<int>(s.low),
            static_cast<int>(st.auto_intg_thr));
  const int old_us = static_cast<int>(st.chip->config().integration_time_3d);
  const int new_us = intg_next(old_us, intg_step(s, st.auto_intg_thr));
  work.intg_ran = true;
  work.intg_last = now;
  if (new_us == old_us) return;
  KX_DBG("AUTO_INTG: %d->%d\n", old_us, new_us);
  const uint8_t value[2] = {static_cast<uint8_t>(new_us), static_cast<uint8_t>(new_us >> 8)};
  if (set_param(drv->dev, kParamIntegration, value, sizeof value))
    st.chip->set_integration_time_3d(static_cast<uint32_t>(new_us));
  else
    KX_ERR("adjust intg from %d to %d failed\n", old_us, new_us);
}

// False when the frame's samples are out of balance (the frame is dropped);
// then, at most once per wall-clock second, the sync value goes to the camera.
bool balance_ok(torvi_drv_t *drv, epc_drv_state_t &st, DecodeWork &work, const uint16_t *src,
                size_t pixels, unsigned src_len) {
  if (!st.sync_check_en) return true;
  if (dcs_balanced(dcs_balance(src, pixels, src_len / 8))) return true;
  clear_pending(st);
  const int64_t second = wall_clock_ms() / 1000;
  if (work.balance_sent && second == work.balance_second) return true;
  const uint8_t value[3] = {static_cast<uint8_t>(st.sync_value == 0),
                            static_cast<uint8_t>(st.sync_value),
                            static_cast<uint8_t>(st.sync_value >> 8)};
  set_param(drv->dev, kParamSync, value, sizeof value);
  work.balance_sent = true;
  work.balance_second = second;
  return false;
}

// Makes the hysteresis mask hold `pixels` entries (new entries start at 0).
bool ensure_mask(epc_drv_state_t &st, size_t pixels) {
  KX_LOG_NAME("_feature_minamp_filter");
  if (st.min_amp_mask != nullptr && static_cast<size_t>(st.min_amp_mask_len) >= pixels) return true;
  std::free(st.min_amp_mask);
  st.min_amp_mask = static_cast<uint8_t *>(std::calloc(pixels, 1));
  st.min_amp_mask_len = st.min_amp_mask != nullptr ? static_cast<int32_t>(pixels) : 0;
  if (st.min_amp_mask == nullptr) {
    KX_ERR("malloc failed\n");
    return false;
  }
  return true;
}

// The minimum amplitude step (with or without hysteresis, or none) on
// `count` distances whose amplitudes are `amp`; `at` is the image position
// of the first, which the hysteresis mask is indexed by.
void apply_min_amp(const epc_drv_state_t &st, uint16_t *dist, const uint16_t *amp, size_t at,
                   size_t count) {
  if (!st.min_amp_en) return;
  if (st.min_amp_hyst_en)
    min_amp_hysteresis(dist, amp, st.min_amp_mask + at, count, st.min_amp, st.min_amp_hyst);
  else
    min_amp_plain(dist, amp, count, st.min_amp);
}

bool grow(std::vector<uint16_t> &v, size_t n) {
  try {
    if (v.size() < n) v.resize(n);
    return true;
  } catch (const std::bad_alloc &) {
    return false;
  }
}

bool undistorts(const epc_drv_state_t &st, int width, int height) {
  return st.len_calib_en && st.lens_map.ready && st.lens_map.width == width &&
         st.lens_map.height == height;
}

void distance_kernel(const epc_drv_state_t &st, DecodeWork &work, uint16_t *dist, uint16_t *amp,
                     const uint16_t *src, int width, int height) {
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  DrnuParams dp;
  if (st.drnu_en && drnu_params(st, width, height, dp)) {
    attach_drnu_segments(work, st, pixels, dp);
    dist_drnu(dist, amp, src, pixels, dp);
  } else
    dist_simple(dist, amp, src, pixels, simple_params(st));
}

// The distance pipeline; the result ends in dst.
int decode_distance(epc_drv_state_t &st, DecodeWork &work, uint16_t *dst, const uint16_t *src,
                    int w, int h) {
  const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
  uint16_t *A = work.image_a.data(), *D = work.image_b.data();
  const uint16_t *raw_amp = work.raw_amp.data();
  distance_kernel(st, work, dst, work.raw_amp.data(), src, w, h);
  if (st.min_amp_hyst_en && !ensure_mask(st, pixels)) return -1;
  if (st.hdr_en) {
    dcs_sort(A, raw_amp, w, h);
    dcs_sort(D, dst, w, h);
    hdr_merge(A, D, w, h);
    apply_min_amp(st, D, A, 0, pixels);
  } else {
    // Row by row into image order, the minimum amplitude applied while the
    // row is in cache, with the amplitudes read in raw order.
    const auto row = static_cast<size_t>(w);
    for (int r = 0; r < h; ++r) {
      const size_t at = static_cast<size_t>(dcs_image_row(r, h)) * row;
      std::memcpy(D + at, dst + static_cast<size_t>(r) * row, row * sizeof(uint16_t));
      apply_min_amp(st, D + at, raw_amp + static_cast<size_t>(r) * row, at, row);
    }
  }
  uint16_t *result = D, *other = dst;
  if (st.depth_filter_en && st.depth_filter_level > 1) {
    // The amplitudes are done with: the filters go back and forth between D
    // and A, the last one into dst.
    kx_median2d_u16(A, D, w, h, kMedianKernel);
    if (st.flypix_en) {
      kx_gauss2d_u16_k3(D, A, w, h);
      kx_flypix_u16_k3(A, D, w, h, static_cast<uint32_t>(st.flypix_thr));
    } else {
      kx_gauss2d_u16_k3(D, A, w, h);
      std::swap(A, D);
    }
    kx_fhole_u16_k3(dst, A, w, h);
    result = dst;
    other = D;
    range_clip(result, pixels, st.range_mm);
  }
  if (undistorts(st, w, h)) {
    kx_calib_len_undistort_u16(&st.lens_map, other, static_cast<int>(pixels), result, w, h, 0);
    std::swap(result, other);
  }
  if (result != dst) std::memcpy(dst, result, pixels * sizeof(uint16_t));
  return static_cast<int>(2 * pixels);
}

int decode_gray(epc_drv_state_t &st, DecodeWork &work, uint16_t *dst, const uint16_t *src, int w,
                int h) {
  const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
  uint16_t *G = work.image_a.data();
  gray(dst, src, pixels);
  dcs_sort(G, dst, w, h);
  if (st.hdr_en) hdr_merge(G, nullptr, w, h);
  if (undistorts(st, w, h))
    kx_calib_len_undistort_u16(&st.lens_map, dst, static_cast<int>(pixels), G, w, h, 0);
  else
    std::memcpy(dst, G, pixels * sizeof(uint16_t));
  return static_cast<int>(2 * pixels);
}

int frame_decode(torvi_drv_t *drv, uint16_t *dst, int dst_len_bytes, int kind, const uint16_t *src,
                 unsigned src_len, const torvi_frame_info_t *finfo) {
  KX_LOG_NAME("epc_frame_decode");
  epc_drv_state_t *st = epc_state(drv);
  if (st == nullptr || finfo == nullptr || src == nullptr || dst == nullptr) {
    KX_ERR("no driver state or frame\n");
    return -1;
  }
  DecodeWork *work = decode_work(*st);
  if (work == nullptr) {
    KX_ERR("malloc failed\n");
    return -1;
  }
  const int w = static_cast<int>(finfo->width), h = static_cast<int>(finfo->height);
  const size_t pixels = static_cast<size_t>(finfo->width) * finfo->height;
  src_len = std::min(src_len, finfo->frame_size);
  auto_integration(drv, *st, *work, src, src_len);
  switch (finfo->frame_format) {
    case 0:
      return -1;
    case kFormatDcs4:
      break;
    case kFormatNoDistance:
      if (kind == TORVI_DECODE_DIST) clear_pending(*st);
      return -1;
    case kFormatCalibData:
      KX_INF("Calibration data frame,size:%d\n", static_cast<int>(finfo->frame_size));
      clear_pending(*st);
      return -1;
    default:
      clear_pending(*st);
      return -1;
  }
  if (dst_len_bytes < 0 || static_cast<uint64_t>(dst_len_bytes) < 2 * uint64_t{pixels} ||
      src_len < 8 * uint64_t{pixels} || w <= 0 || h <= 0 || h % 2 != 0) {
    KX_ERR("wrong data len: src=%d, dst=%d\n", static_cast<int>(src_len), dst_len_bytes);
    clear_pending(*st);
    return -1;
  }
  if (!balance_ok(drv, *st, *work, src, pixels, src_len)) return -1;
  if (kind != TORVI_DECODE_DIST && kind != TORVI_DECODE_GRAY) {
    clear_pending(*st);
    return -1;
  }
  if (!grow(work->raw_amp, pixels) || !grow(work->image_a, pixels) ||
      !grow(work->image_b, pixels)) {
    KX_ERR("malloc failed for %dx%d work buffers\n", w, h);
    return -1;
  }
  return kind == TORVI_DECODE_DIST ? decode_distance(*st, *work, dst, src, w, h)
                                   : decode_gray(*st, *work, dst, src, w, h);
}

// Checks shared by the exported kernels; the pixel count or 0.
size_t kernel_pixels(const char *fn, torvi_drv_t *drv, const void *out, const uint16_t *src,
                     int width, int height, int ndcs) {
  if (epc_state(drv) == nullptr || out == nullptr || src == nullptr || width <= 0 || height <= 0 ||
      ndcs != kDcsCount) {
    KX_LOG_AT(KX_LOG_ERR, fn, "bad arguments: %dx%d, ndcs=%d\n", width, height, ndcs);
    return 0;
  }
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  return pixels % 4 == 0 ? pixels : 0;
}

}  // namespace

DecodeWork *decode_work(epc_drv_state_t &st) {
  if (st.decode == nullptr) st.decode = new (std::nothrow) DecodeWork();
  return st.decode;
}

void decode_release(epc_drv_state_t &st) {
  delete st.decode;
  st.decode = nullptr;
}

SimpleParams simple_params(const epc_drv_state_t &st) {
  const float t =
      std::round(static_cast<float>(temperature(st.t_ib) - st.t_ib_cal) * st.ib_temp_coef +
                 static_cast<float>(temperature(st.t_sensor) - st.t_sensor_cal) * st.temp_coef);
  const float bounded = std::clamp(t, -1.0e6f, 1.0e6f);
  return {st.range_mm, st.calib_scale,
          static_cast<int32_t>(st.calib_offset_mm - static_cast<int32_t>(bounded))};
}

int loaded_drnu_set(const Chip &chip) {
  const int set = chip.config().ext_mode ? 0 : 1;
  return chip.table(set).empty() ? 1 - set : set;
}

bool drnu_params(const epc_drv_state_t &st, int width, int height, DrnuParams &out) {
  if (st.chip == nullptr || st.range_mm == 0) return false;
  const Chip &chip = *st.chip;
  const int n = chip.drnu().num_distances;
  const std::span<const uint16_t> table = chip.table(loaded_drnu_set(chip));
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (n < 2 || n > kMaxDrnuDistances || table.size() < pixels * static_cast<size_t>(n))
    return false;
  out.range_mm = st.range_mm;
  out.phase_comp =
      static_cast<float>(temperature(st.t_ib) - st.t_ib_cal) * st.ib_temp_coef_phase +
      static_cast<float>(temperature(st.t_sensor) - st.t_sensor_cal) * st.temp_coef_phase;
  // One calibration step and the first calibration distance in phase units,
  // from the exact step and range: integer steps (298 for 298.2 mm) and an
  // integer division would put every distance 0.2 % short.
  const double phase_per_mm = double{kPhaseTurn} / st.range_mm;
  const double step_mm = chip.drnu().step_cal_mm > 0 ? chip.drnu().step_cal_mm : st.step_mm;
  out.base_phase = static_cast<int32_t>(std::lround(st.drnu_base_mm * phase_per_mm));
  out.step_phase = static_cast<float>(step_mm * phase_per_mm);
  out.table = table.data();
  out.num_dist = n;
  return true;
}

void attach_drnu_segments(DecodeWork &work, const epc_drv_state_t &st, size_t pixels,
                          DrnuParams &p) {
  KX_LOG_NAME("epc_frame_decode");
  p.segments = nullptr;
  if (!cpu_has_avx2() || st.chip == nullptr || p.num_dist < 2) return;
  const Chip &chip = *st.chip;
  const int set = loaded_drnu_set(chip);
  const std::span<const uint16_t> table = chip.table(set);
  const DrnuSegmentsKey key{table.data(), table.size(), pixels, p.num_dist,
                            chip.drnu().table_stamp[static_cast<size_t>(set)]};
  if (!(key == work.segments_of)) {
    work.segments_of = {};
    try {
      drnu_segments(work.drnu_segments, table, pixels, p.num_dist);
      work.segments_of = key;
    } catch (const std::bad_alloc &) {
      work.drnu_segments.clear();
      work.segments_of = key;  // not tried again for this table
      KX_WRN("no memory for a %zu-entry DRNU segment copy: the table is read per pixel\n",
             table.size());
    }
  }
  if (!work.drnu_segments.empty()) p.segments = work.drnu_segments.data();
}

}  // namespace torvi::epc

namespace torvi {

bool drv_undistorts(torvi_drv_t *drv, int width, int height) {
  if (drv == nullptr || drv->ops != &g_torvi_driver_op_epc) return false;
  const epc_drv_state_t *st = epc::epc_state(drv);
  return st != nullptr && epc::undistorts(*st, width, height);
}

}  // namespace torvi

using torvi::epc::epc_state;
using torvi::epc::kernel_pixels;

namespace {

// Runs a kernel call; a failed allocation of its tables refuses the call.
template <typename Fn>
int guarded(const char *fn, Fn body) {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    KX_LOG_AT(KX_LOG_ERR, fn, "malloc failed\n");
    return 0;
  }
}

}  // namespace

extern "C" {

TORVI_API int epc_frame_decode(torvi_drv_t *drv, uint16_t *dst, int dst_len_bytes, int kind,
                               const uint16_t *src, unsigned src_len,
                               const torvi_frame_info_t *finfo) {
  try {
    epc_drv_state_t *st = torvi::epc::epc_state(drv);
    if (st == nullptr || st->frame_ops == nullptr)
      return torvi::epc::frame_decode(drv, dst, dst_len_bytes, kind, src, src_len, finfo);
    const std::lock_guard<std::mutex> lock(*st->frame_ops);
    return torvi::epc::frame_decode(drv, dst, dst_len_bytes, kind, src, src_len, finfo);
  } catch (const std::bad_alloc &) {
    KX_ERR("malloc failed\n");
    return -1;
  } catch (...) {
    KX_ERR("decode failed\n");
    return -1;
  }
}

TORVI_API int calc_dist_calib_simple(torvi_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                     const uint16_t *src, int width, int height, int ndcs) {
  const size_t pixels = kernel_pixels(__func__, drv, dist, src, width, height, ndcs);
  if (pixels == 0 || amp == nullptr) return 0;
  return guarded(__func__, [&] {
    torvi::epc::dist_simple(dist, amp, src, pixels, torvi::epc::simple_params(*epc_state(drv)));
    return 1;
  });
}

TORVI_API int calc_dist_calib_drnu(torvi_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                   const uint16_t *src, int width, int height, int ndcs) {
  const size_t pixels = kernel_pixels(__func__, drv, dist, src, width, height, ndcs);
  if (pixels == 0 || amp == nullptr) return 0;
  torvi::epc::DrnuParams p;
  if (!torvi::epc::drnu_params(*epc_state(drv), width, height, p)) {
    KX_ERR("no DRNU table for %dx%d\n", width, height);
    return 0;
  }
  return guarded(__func__, [&] {
    // The segment copy belongs to the decode work, which frame decodes share.
    epc_drv_state_t &st = *epc_state(drv);
    std::unique_lock<std::mutex> lock;
    if (st.frame_ops != nullptr) lock = std::unique_lock<std::mutex>(*st.frame_ops);
    if (torvi::epc::DecodeWork *work = torvi::epc::decode_work(st))
      torvi::epc::attach_drnu_segments(*work, st, pixels, p);
    torvi::epc::dist_drnu(dist, amp, src, pixels, p);
    return 1;
  });
}

TORVI_API int calc_dist_calib_none(torvi_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                   const uint16_t *src, int width, int height, int ndcs, int scale,
                                   int offset) {
  const size_t pixels = kernel_pixels(__func__, drv, dist, src, width, height, ndcs);
  if (pixels == 0 || amp == nullptr) return 0;
  return guarded(__func__, [&] {
    torvi::epc::dist_simple(dist, amp, src, pixels, {epc_state(drv)->range_mm, scale, offset});
    return 1;
  });
}

TORVI_API int calc_gray(torvi_drv_t *drv, uint16_t *gray, const uint16_t *src, int width,
                        int height, int ndcs) {
  const size_t pixels = kernel_pixels(__func__, drv, gray, src, width, height, ndcs);
  if (pixels == 0) return 0;
  return guarded(__func__, [&] {
    torvi::epc::gray(gray, src, pixels);
    return 1;
  });
}

}  // extern "C"
