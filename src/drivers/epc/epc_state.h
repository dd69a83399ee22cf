// Private state of the EPC driver for one opened camera.
//
// How an operation reaches it: every open device gets its own driver record
// (a copy of its registry entry, made by drv_instance_create at open), and
// the device layer passes that record to every operation. Its `dev` is the
// device and its `priv` this state, so an operation writes
//     epc_drv_state_t *st = epc_state(drv);
// and finds the camera's chip configuration, DRNU tables and lens in it.
// The shared registry entry keeps `dev` and `priv` of the camera set up
// last (the default device), as the process-wide description.
//
// Threads: one camera's operations are serialised by the caller, except that
// frame_get_info (the thread taking frames) writes t_sensor, t_ib and
// frame_pending while a decode on another thread may read them: those three
// are accessed with std::atomic_ref. A filter change during a decode is not
// guarded.
#pragma once

#include <torvi/kx_lens.h>
#include <torvi/torvi_drv.h>

#include <cstdint>
#include <memory>
#include <mutex>

#include "epc/chip.h"

namespace torvi::epc {
struct DecodeWork;
}

struct epc_drv_state_t {
  kx_calib_len_map_t lens_map;  // undistortion map of `lens`
  uint8_t calib_src;            // pixel-calibration source (filter 1), 0 or 1; 2 at start
  uint8_t drnu_en;              // DRNU distance correction in decode
  uint8_t len_calib_en;         // lens undistortion in decode
  uint8_t min_amp_en;           // minimum-amplitude filter
  uint8_t auto_intg_en;         // automatic integration time
  uint8_t sync_check_en;        // DCS balance check
  uint8_t temp_mon_en;          // temperature monitor log
  uint8_t hdr_en;               // HDR row merge
  uint8_t depth_filter_en;      // depth filter chain
  uint8_t flypix_en;            // flying-pixel filter inside the chain
  uint8_t min_amp_hyst_en;      // hysteresis of the minimum-amplitude filter
  int32_t flypix_thr;           // flying-pixel threshold
  uint16_t min_amp_hyst;        // hysteresis margin, amplitude units
  uint16_t min_amp;             // minimum amplitude
  uint16_t auto_intg_thr;       // bad-pixel threshold of auto integration, per mille
  uint16_t sync_value;          // value sent as device parameter 17
  uint16_t temp_mon_value;      // temperature-monitor argument
  uint8_t depth_filter_level;   // level of the depth filter
  uint8_t *min_amp_mask;        // per-pixel pass mask of the hysteresis (owned, malloc)
  int32_t min_amp_mask_len;     // its length in pixels
  int16_t t_sensor;             // last frame's sensor temperature, tenths of a degree C
  int16_t t_ib;                 // last frame's board temperature, tenths of a degree C
  uint8_t calib_state;          // 0 none, 1 DRNU switched off, 2 DRNU switched on
  int16_t t_sensor_cal;         // sensor temperature at calibration
  int16_t t_ib_cal;             // board temperature at calibration
  int32_t calib_scale;          // linear distance scale x 1000
  int32_t calib_offset_mm;      // linear distance offset, mm
  float temp_coef;              // sensor temperature coefficient (1.7)
  float ib_temp_coef;           // board temperature coefficient (0.33765)
  int32_t drnu_base_mm;         // distance of the first calibration image (295)
  int32_t step_mm;              // spacing of the calibration images, mm
  int32_t step2_mm;             // 0
  int32_t drnu_base_phase;      // drnu_base_mm in phase units
  uint32_t mod_freq_hz;         // modulation frequency, Hz
  uint32_t reserved;            // 0
  uint32_t range_mm;            // unambiguous range, mm
  float temp_coef_phase;        // phase units per tenth of a degree
  float ib_temp_coef_phase;
  float step_phase;  // step_mm in phase units
  float step2_phase;
  uint8_t frame_pending;     // set by frame_get_info, cleared by decode
  char calib_names[4][256];  // distance images, parameters; twice
  torvi_lens_param_t lens;   // this camera's lens
  torvi::epc::Chip *chip;    // this camera's chip configuration and DRNU tables (owned)
  // Serialises frame_get_info and frame_decode of this camera: the application
  // and a recording's writer thread may both describe and decode frames.
  std::mutex *frame_ops;           // owned
  uint64_t temp_mon_last_s;        // wall-clock second of the last temperature report
  torvi::epc::DecodeWork *decode;  // decode work buffers and timers (owned: decode_release)
};

namespace torvi::epc {

// The state of the device behind a driver record (null for none).
inline epc_drv_state_t *epc_state(torvi_drv_t *drv) {
  return drv != nullptr ? static_cast<epc_drv_state_t *>(drv->priv) : nullptr;
}

}  // namespace torvi::epc
