// Parsing and arithmetic of the DRNU calibration files, apart from any file
// or chip, so that tests and fuzzing reach them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace torvi::epc {

// The DRNU parameter file: 16 or 20 bytes (offset, sensor temperature at
// calibration, step in mm as float64, optional board temperature), or 24
// bytes with the calibration frequency first. Other lengths of at least 16
// bytes read the 16/20-byte form. False when shorter than 16 bytes.
struct DrnuParams {
  uint32_t calib_freq_khz = 12000;
  bool has_freq = false;
  uint32_t offset_drnu = 0;
  uint32_t temp_cal = 0;
  double step_cal_mm = 0;
  uint32_t temp_cal_ib = 0;
};
bool parse_drnu_params(std::span<const uint8_t> bytes, DrnuParams &out);

// Linear correction from measured to true distance, from image 0 and the
// middle image of `num_distances` images of `pixels` phases each (image row
// order). Unity (1000, 0, derived false) when either image has no valid
// phase or the two means are equal.
struct LinearCorrection {
  int32_t scale_m = 1000;
  int32_t offset_mm = 0;
  bool derived = false;
};
LinearCorrection linear_correction(std::span<const uint16_t> images, size_t pixels,
                                   int num_distances, uint32_t calib_freq_khz, double step_mm);

}  // namespace torvi::epc
