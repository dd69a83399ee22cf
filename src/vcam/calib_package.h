// The calibration package a virtual camera sends in data-upload mode:
// a 17-byte header (valid, -, zip flag, -, u32 payload length, -) and a zip
// archive holding "calib_and_param_<chip id>.bin" (the 24-byte DRNU
// parameter file followed by the distance images) and "lens_param.txt".
// The distance images are what the camera's own model gives for a flat
// target at each calibration distance, noiseless, at the frame-0
// temperatures: the per-pixel pattern and the phase non-linearity are in
// them, exactly as in its frames.
#pragma once

#include <cstdint>
#include <vector>

#include "vcam/camera.h"

namespace torvi::vcam {

class TofModel;

std::vector<uint8_t> calibration_param_file(const CameraConfig &cfg);
// Images in image row order, 16-bit little-endian phases.
std::vector<uint8_t> calibration_images(const CameraConfig &cfg, const TofModel &model);
std::vector<uint8_t> make_calibration_package(const CameraConfig &cfg, const TofModel &model);

}  // namespace torvi::vcam
