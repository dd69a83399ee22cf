// EPC driver: set-up of a camera (state, lens, chip), frame information,
// the filter switches and the remaining operation slots.
#include <torvi/epc_driver.h>
#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_log.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "core/c_entry.h"
#include "core/clock.h"
#include "core/product_string.h"
#include "drivers/epc/epc_decode.h"
#include "drivers/epc/epc_driver_internal.h"
#include "drivers/epc/epc_state.h"
#include "drivers/epc/lens_param.h"
#include "drivers/registry_internal.h"

extern "C" {
TORVI_API torvi_lens_param_t g_torvi_lens_param = torvi::epc::kDefaultLens;
}

namespace torvi::epc {

namespace {

constexpr uint16_t kCalibFrameFormat = 171;
constexpr uint32_t kDefaultWidth = 320;
constexpr uint32_t kDefaultHeight = 240;
constexpr uint64_t kTempMonitorIntervalS = 9;

// The device the stand-alone start opened itself (null: none).
std::atomic<torvi_dev_t *> g_standalone_dev{nullptr};

uint64_t wall_seconds() { return static_cast<uint64_t>(torvi::wall_clock_ms() / 1000); }

}  // namespace

void state_defaults(epc_drv_state_t &st) {
  st.calib_src = 2;
  st.drnu_en = 0;
  st.len_calib_en = 0;
  st.min_amp_en = 1;
  st.auto_intg_en = 0;
  st.sync_check_en = 0;
  st.temp_mon_en = 1;
  st.hdr_en = 0;
  st.depth_filter_en = 1;
  st.flypix_en = 1;
  st.min_amp_hyst_en = 1;
  st.flypix_thr = 90000;
  st.min_amp_hyst = 10;
  st.min_amp = 0;
  st.auto_intg_thr = 0;
  st.sync_value = 0;
  st.temp_mon_value = 75;
  st.depth_filter_level = 5;
}

void derive_decode_constants(epc_drv_state_t &st) {
  Chip &chip = *st.chip;
  // The step comes from a file: anything outside +-1 km counts as none.
  const double step = chip.drnu().step_cal_mm;
  st.step_mm = std::isfinite(step) && std::fabs(step) < 1.0e6 ? static_cast<int32_t>(step) : 0;
  st.step2_mm = 0;
  st.drnu_base_mm = 295;
  st.temp_coef = 1.7f;
  st.ib_temp_coef = 0.33765f;
  st.t_sensor_cal = static_cast<int16_t>(chip.drnu().temp_cal);
  st.t_ib_cal = static_cast<int16_t>(chip.drnu().temp_cal_ib);
  st.calib_offset_mm = chip.drnu().offset_mm;
  st.calib_scale = chip.drnu().scale_m;
  KX_LOG_AT(KX_LOG_DBG, "epc_calib_save", "calib scale/offset = %d/%d \n", st.calib_scale,
            st.calib_offset_mm);
  const uint32_t khz = chip.modulation_frequency();
  st.mod_freq_hz = khz * 1000;
  st.range_mm =
      khz == 0 ? 0 : static_cast<uint32_t>(1.49896229e11f / static_cast<float>(khz * 1000));
  const float range = st.range_mm == 0 ? 1.0f : static_cast<float>(st.range_mm);
  st.temp_coef_phase = 1.7f * 30000 / range;
  st.ib_temp_coef_phase = 0.33765f * 30000 / range;
  st.step_phase = static_cast<float>(static_cast<int32_t>(st.step_mm * 30000 / range));
  st.step2_phase = 0;
  st.drnu_base_phase = static_cast<int32_t>(295 * 30000 / range);
}

bool adapter_init_device(epc_drv_state_t &st, torvi_dev_t *dev) {
  Chip &chip = *st.chip;
  chip.set_device(dev);
  chip.set_part_type(2);
  torvi_param_t p{};
  p.number = 7;
  if (!torvi_param_batch_get(dev, &p, 1) || p.len < 6) {
    std::puts("Get chip info failed");
    chip.set_device(nullptr);
    return false;
  }
  const int part_version = p.value[0] | p.value[1] << 8;
  chip.set_part_version(part_version);
  chip.config().ic_type = part_version;
  chip.config().chip_id = p.value[2] | p.value[3] << 8;
  chip.config().wafer_id = p.value[4] | p.value[5] << 8;
  chip.config().dev_address = kDeviceAddress;
  make_default(chip);
  chip.init(kDeviceAddress);
  chip.enable_abs(1, kDeviceAddress);
  chip.set_roi(4, 323, 6, 125);
  return true;
}

std::mutex &default_device_mutex() {
  static std::mutex mu;
  return mu;
}

void publish_default_device(torvi_drv_t *drv, torvi_dev_t *dev, const epc_drv_state_t &st) {
  std::lock_guard lock(default_device_mutex());
  if (torvi_drv_t *entry = registry_entry_of(drv); entry != nullptr) {
    entry->dev = dev;
    entry->priv = const_cast<epc_drv_state_t *>(&st);
  }
  g_torvi_lens_param = st.lens;
}

void publish_lens_if_default(torvi_drv_t *drv, const epc_drv_state_t &st) {
  std::lock_guard lock(default_device_mutex());
  if (torvi_drv_t *entry = registry_entry_of(drv); entry != nullptr && entry->priv == &st)
    g_torvi_lens_param = st.lens;
}

void release_state(torvi_drv_t *drv) {
  epc_drv_state_t *st = epc_state(drv);
  if (st == nullptr) return;
  kx_calib_len_uninit_map(&st->lens_map);
  std::free(st->min_amp_mask);
  decode_release(*st);
  delete st->chip;
  delete st->frame_ops;
  {
    std::lock_guard lock(default_device_mutex());
    torvi_drv_t *entry = registry_entry_of(drv);
    if (entry != nullptr && entry->priv == st) {
      entry->priv = nullptr;
      entry->dev = nullptr;
    }
  }
  std::free(st);
  drv->priv = nullptr;
}

std::string files_prefix(const torvi_dev_t *dev) {
  return dev != nullptr && dev->path_prefix != nullptr ? dev->path_prefix : torvi_path_get();
}

}  // namespace torvi::epc

using torvi::epc::epc_state;

namespace {

bool init_impl(torvi_drv_t *drv, torvi_dev_t *dev) {
  KX_LOG_NAME("epc_init");
  using namespace torvi::epc;
  if (drv == nullptr || dev == nullptr) return false;
  drv->dev = dev;
  auto *st = static_cast<epc_drv_state_t *>(std::calloc(1, sizeof(epc_drv_state_t)));
  if (st == nullptr) {
    KX_ERR("malloc failed\n");
    return false;
  }
  st->chip = new (std::nothrow) Chip();
  st->frame_ops = new (std::nothrow) std::mutex();
  if (st->chip == nullptr || st->frame_ops == nullptr) {
    delete st->chip;
    delete st->frame_ops;
    std::free(st);
    KX_ERR("malloc failed\n");
    return false;
  }
  drv->priv = st;
  st->lens = kDefaultLens;
  update_lens_param(torvi::epc::files_prefix(dev).c_str(), st->lens);
  // A camera with its own folder (a replayed recording) reads its DRNU files
  // there; the others follow the library's path prefix as it changes.
  if (dev->path_prefix != nullptr && dev->path_prefix != torvi_path_get())
    st->chip->set_prefix(dev->path_prefix);
  kx_calib_len_init_map(&st->lens_map, &st->lens);
  state_defaults(*st);
  // Until calibration is loaded, distances come out on the simple path with
  // unity scale, no offset and the range of the chip's current frequency.
  derive_decode_constants(*st);
  char product[sizeof dev->product + 1] = {};
  std::memcpy(product, dev->product, sizeof dev->product);
  const auto fields = torvi::parse_product(product);
  if (!fields) {
    KX_ERR("product %s has no firmware field\n", product);
    return false;
  }
  st->chip->config().ext_mode = fields->firmware.starts_with("2.0");
  KX_DBG("FW_VER:%d\n", static_cast<int>(dev->info6[0]));
  if (!adapter_init_device(*st, dev)) {
    KX_ERR("epc_adapter_init failed!\n");
    release_state(drv);
    return false;
  }
  derive_decode_constants(*st);
  publish_default_device(drv, dev, *st);
  return true;
}

bool frame_get_info_impl(torvi_drv_t *drv, torvi_frame_info_t *finfo,
                         const torvi_frame_hdr_t *hdr) {
  KX_LOG_NAME("epc_frame_get_info");
  using namespace torvi::epc;
  epc_drv_state_t *st = epc_state(drv);
  if (st == nullptr || finfo == nullptr || hdr == nullptr) return false;
  std::atomic_ref<uint8_t>(st->frame_pending).store(1, std::memory_order_relaxed);
  std::atomic_ref<int16_t>(st->t_sensor).store(hdr->sensor_temp, std::memory_order_relaxed);
  std::atomic_ref<int16_t>(st->t_ib).store(hdr->illum_temp, std::memory_order_relaxed);
  st->chip->set_frame_temperatures(hdr->sensor_temp, hdr->illum_temp);
  if (st->temp_mon_en != 0) {
    const uint64_t now = wall_seconds();
    if (st->temp_mon_last_s == 0 || now - st->temp_mon_last_s > kTempMonitorIntervalS) {
      torvi_param_t p{};
      p.number = 12;
      uint32_t fps = 0;
      if (drv->dev != nullptr && torvi_param_batch_get(drv->dev, &p, 1))
        std::memcpy(&fps, p.value, sizeof fps);
      KX_LOG_AT(KX_LOG_DBG, "_feature_temp_monitor",
                "INTERV:%d, IBtemp:%.2f, Tsensor:%.2f, FPS:%d\n",
                static_cast<int>(st->temp_mon_last_s == 0 ? 0 : now - st->temp_mon_last_s),
                hdr->illum_temp / 10.0, hdr->sensor_temp / 10.0, static_cast<int>(fps));
      st->temp_mon_last_s = now;
    }
  } else {
    KX_TRC("Temp monitor not enable\n");
  }
  *finfo = torvi_frame_info_t{};
  const uint32_t w = hdr->width != 0 ? hdr->width : kDefaultWidth;
  const uint32_t h = hdr->height != 0 ? hdr->height : kDefaultHeight;
  st->chip->set_readout_size(hdr->width, hdr->height / 2);
  KX_TRC("frame: fmt=%d, sz=%d, wxh = %dx%d\n", hdr->frfmt, static_cast<int>(hdr->frlen),
         static_cast<int>(w), static_cast<int>(h));
  if (hdr->frfmt != kCalibFrameFormat && hdr->frlen % (w * h) != 0) return false;
  finfo->frame_size = hdr->frlen;
  finfo->frame_format = hdr->frfmt;
  finfo->frame_idx = hdr->fridx;
  finfo->width = w;
  finfo->height = h;
  finfo->pixel_bytes = static_cast<uint8_t>(hdr->frlen / w / h);
  return true;
}

bool lens_param_get_impl(torvi_drv_t *drv, torvi_lens_param_t *out, int width, int height) {
  KX_LOG_NAME("epc_lens_param_get");
  epc_drv_state_t *st = epc_state(drv);
  if (out == nullptr || width < 1 || height < 1) return false;
  const torvi_lens_param_t &lens = st != nullptr ? st->lens : g_torvi_lens_param;
  if (lens.img_w < width || lens.img_h < height || lens.img_w % width != 0 ||
      lens.img_h % height != 0) {
    KX_WRN("lens param not match the frame size: lens: %dx%d, frame: %dx%d\n", lens.img_w,
           lens.img_h, width, height);
    return false;
  }
  const int kx = lens.img_w / width, ky = lens.img_h / height;
  *out = lens;
  out->cx = lens.cx / kx;
  out->cy = lens.cy / ky;
  out->fx = lens.fx / kx;
  out->fy = lens.fy / ky;
  out->img_w = width;
  out->img_h = height;
  return true;
}

}  // namespace

namespace torvi::epc {

void epc_uninit(torvi_drv_t *drv) { release_state(drv); }

int epc_reserved5(torvi_drv_t *, ...) { return 0; }
int epc_reserved8(torvi_drv_t *, ...) { return 1; }

int epc_config_reset(torvi_drv_t *drv, void *, int len, int mode) {
  epc_drv_state_t *st = epc_state(drv);
  if (mode == 2 && st != nullptr) st->chip->init(torvi::epc::kDeviceAddress);
  return len;
}

template <typename T>
T arg_as(const void *arg, int size, T fallback) {
  if (arg == nullptr || size < static_cast<int>(sizeof(T))) return fallback;
  T v{};
  std::memcpy(&v, arg, sizeof v);
  return v;
}

bool epc_filter_enable(torvi_drv_t *drv, int id, void *arg, int arg_size) {
  epc_drv_state_t *st = epc_state(drv);
  if (st == nullptr) return false;
  switch (id) {
    case TORVI_FILTER_LENS_UNDISTORT:
      st->len_calib_en = 1;
      break;
    case TORVI_FILTER_PIXEL_CALIB: {
      uint8_t src = arg_as<uint8_t>(arg, arg_size, st->calib_src);
      if (src <= 1) {
        st->calib_src = src;
      } else if (arg != nullptr && arg_size >= 1) {
        *static_cast<uint8_t *>(arg) = 1;
      }
      if (st->chip->data_file_check() < 0) {
        st->calib_state = 0;
        return false;
      }
      st->drnu_en = 1;
      st->calib_state = 2;
      break;
    }
    case TORVI_FILTER_DEPTH_SMOOTH:
      st->depth_filter_en = 1;
      st->depth_filter_level = arg_as<uint8_t>(arg, arg_size, st->depth_filter_level);
      break;
    case TORVI_FILTER_MIN_AMP:
      st->min_amp_en = 1;
      st->min_amp = arg_as<uint16_t>(arg, arg_size, st->min_amp);
      break;
    case TORVI_FILTER_AUTO_INTG:
      st->auto_intg_en = 1;
      st->auto_intg_thr = arg_as<uint16_t>(arg, arg_size, st->auto_intg_thr);
      break;
    case TORVI_FILTER_SYNC_CHECK:
      st->sync_check_en = 1;
      st->sync_value = arg_as<uint16_t>(arg, arg_size, st->sync_value);
      break;
    case TORVI_FILTER_TEMP_MONITOR:
      st->temp_mon_en = 1;
      st->temp_mon_value = arg_as<uint16_t>(arg, arg_size, st->temp_mon_value);
      break;
    case TORVI_FILTER_HDR:
      st->hdr_en = 1;
      st->chip->enable_hdr(1, st->chip->config().dev_address);
      break;
    default:
      break;
  }
  return true;
}

bool epc_filter_disable(torvi_drv_t *drv, int id) {
  epc_drv_state_t *st = epc_state(drv);
  if (st == nullptr) return false;
  switch (id) {
    case TORVI_FILTER_LENS_UNDISTORT:
      st->len_calib_en = 0;
      break;
    case TORVI_FILTER_PIXEL_CALIB:
      st->drnu_en = 0;
      st->chip->config().calc_enable_drnu = 0;
      st->calib_state = 1;
      break;
    case TORVI_FILTER_DEPTH_SMOOTH:
      st->depth_filter_en = 0;
      st->depth_filter_level = 0;
      break;
    case TORVI_FILTER_MIN_AMP:
      st->min_amp_en = 0;
      std::free(st->min_amp_mask);
      st->min_amp_mask = nullptr;
      st->min_amp_mask_len = 0;
      break;
    case TORVI_FILTER_AUTO_INTG:
      st->auto_intg_en = 0;
      st->auto_intg_thr = 0;
      break;
    case TORVI_FILTER_SYNC_CHECK:
      st->sync_check_en = 0;
      break;
    case TORVI_FILTER_TEMP_MONITOR:
      st->temp_mon_en = 0;
      break;
    case TORVI_FILTER_HDR:
      st->hdr_en = 0;
      st->chip->enable_hdr(0, st->chip->config().dev_address);
      break;
    default:
      break;
  }
  return true;
}

}  // namespace torvi::epc

extern "C" {

TORVI_API bool epc_init(torvi_drv_t *drv, torvi_dev_t *dev) {
  return torvi::c_entry(__func__, false, [&] { return init_impl(drv, dev); });
}

TORVI_API bool epc_frame_get_info(torvi_drv_t *drv, torvi_frame_info_t *finfo,
                                  const torvi_frame_hdr_t *hdr) {
  return torvi::c_entry(__func__, false, [&] {
    epc_drv_state_t *st = epc_state(drv);
    if (st == nullptr || st->frame_ops == nullptr) return frame_get_info_impl(drv, finfo, hdr);
    const std::lock_guard<std::mutex> lock(*st->frame_ops);
    return frame_get_info_impl(drv, finfo, hdr);
  });
}

TORVI_API bool epc_lens_param_get(torvi_drv_t *drv, torvi_lens_param_t *out, int width,
                                  int height) {
  return torvi::c_entry(__func__, false,
                        [&] { return lens_param_get_impl(drv, out, width, height); });
}

TORVI_API bool epc_adapter_init(torvi_dev_t *dev) {
  return torvi::c_entry(__func__, false, [&] {
    if (dev != nullptr) {
      // An open EPC device: set up its own chip and make it the default.
      epc_drv_state_t *st = epc_state(torvi_dev_get_drv(dev));
      torvi::check_arg(st != nullptr, "device %p is not an open EPC camera",
                       static_cast<void *>(dev));
      return torvi::epc::adapter_init_device(*st, dev);
    }
    epc_adapter_uninit();
    if (torvi_init(nullptr) < 0) return false;
    torvi_log_cfg(1, 1, 5);
    torvi_dev_t *opened = torvi_dev_open(nullptr);
    if (opened == nullptr) {
      torvi_uninit();
      return false;
    }
    torvi_cap_set_frame_buffer(opened, nullptr, 6144000);
    torvi::epc::g_standalone_dev.store(opened);
    return true;
  });
}

TORVI_API void epc_adapter_uninit(void) {
  torvi::c_entry_void(__func__, [&] {
    torvi_dev_t *dev = torvi::epc::g_standalone_dev.exchange(nullptr);
    if (dev == nullptr) return;
    std::puts("close dev..");
    torvi_dev_close(dev);
    torvi_uninit();
    std::puts("uninit done..");
  });
}

}  // extern "C"
