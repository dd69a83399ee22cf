// The synthetic scene seen through a time-of-flight sensor.
//
// Geometry: a camera at the origin looking along +z through its lens (the
// intrinsics and Brown-Conrady distortion of SensorModel): each pixel's ray
// is the one the lens maps onto that pixel. The ray meets the nearest
// surface: the wall (plane z = wall_mm) or a shape. The ground truth of a
// pixel is the radial distance along its ray, in mm.
//
// Samples (format 2: four planes DCS0..DCS3 of 12-bit samples in 16-bit
// words, rows in the sensor's raw order): with the measured distance
//   m = d + pattern(p) + nl(d) + drift(frame),
// with the periodic phase non-linearity
//   nl(d) = nonlinearity_mm sin(2 pi nonlinearity_periods d / R),
// the unambiguous range R = 149896229 / f_kHz mm and the angle
//   theta = 2 pi (frac(m / R) - 1/2),
// the model writes
//   DCS0 = O - A cos theta, DCS2 = O + A cos theta,
//   DCS1 = O - A sin theta, DCS3 = O + A sin theta   (+ noise, clipped 0..4095)
// so that the decode phase = (atan2(DCS3 - DCS1, DCS2 - DCS0) + half turn)
// mod full turn = frac(m / R) of a turn and its amplitude sqrt(a^2+b^2)/2 = A.
//   A = gain * reflectivity * (t_int / 1000 us) / (d / 1 m)^2
//   O = dark_level + ambient_per_ms * t_int / 1000 us
//       (the ambient share abs_ambient_share of it while suppression is on)
// pattern(p) is a fixed zero-mean per-pixel offset within +-pattern_mm drawn
// from the seed; drift is the temperature rise since frame 0 times the
// temperature coefficients.
//
// Noise: a table of T near-Gaussian values (each a sum of four uniforms,
// scaled to noise_lsb; T = kNoiseTableSize, or the samples of a frame if
// more) is drawn once from the seed; frame f adds
// table[(i + offset(seed, f)) mod T] to output sample i (i
// counts the samples of all four planes in output order), so each frame has
// independent noise within itself and a fresh seeded offset per frame.
// Samples are rounded half up after adding the noise, then clipped.
//
// Speed: the noiseless samples depend only on the scene, the size, the
// modulation frequency, the integration time and the drift (which moves in
// whole degrees); they are kept from one frame to the next until one of
// these changes, so a frame costs one pass adding noise.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vcam/camera.h"

namespace torvi::vcam {

// Unambiguous range in mm of a modulation frequency in kHz.
double range_mm_for(uint32_t mod_khz);

// The periodic distance error of the sensor at distance d (mm) for the
// unambiguous range `range`.
double nonlinearity_mm(const SensorModel &s, double d, double range);
// Noiseless phase (30000 per turn, 1..29999) of a pixel with fixed pattern
// `pattern` at distance d: what a factory calibration image holds.
uint16_t calibration_phase(const SensorModel &s, double pattern, double d, double range);

// Image row -> sensor raw row (the sensor reads its halves from the middle).
uint32_t raw_row_of(uint32_t image_row, uint32_t height);

class TofModel {
 public:
  TofModel(const SensorModel &sensor, const Scene &scene, uint64_t seed);

  uint32_t width() const { return sensor_.width; }
  uint32_t height() const { return sensor_.height; }
  size_t frame_bytes() const { return size_t{8} * sensor_.width * sensor_.height; }

  // Radial distance per pixel in mm, image row order.
  std::vector<uint16_t> ground_truth() const;
  // The fixed per-pixel pattern in mm, image row order.
  const std::vector<double> &pattern() const { return pattern_; }

  // Ambient-light suppression (changes the sample offset).
  void set_abs(bool on) { abs_ = on; }

  int16_t sensor_temp(uint32_t frame) const;
  int16_t board_temp(uint32_t frame) const;

  // Writes the format-2 payload of `frame` into `out` (frame_bytes() long).
  // Not for concurrent use (it keeps the noiseless samples between calls).
  void render(uint32_t frame, uint32_t mod_khz, uint16_t integration_us, std::span<uint8_t> out);

  // Noiseless samples in output order (four planes, raw rows), before
  // rounding and clipping.
  const std::vector<float> &noiseless(uint32_t mod_khz, uint16_t integration_us, double drift);

  // Number of noiseless recomputations so far (each scene/setting change).
  uint64_t noiseless_builds() const { return noiseless_builds_; }

  static constexpr size_t kNoiseTableSize = size_t{1} << 19;

 private:
  double drift_mm(uint32_t frame) const;
  const std::vector<float> &noise_table();

  SensorModel sensor_;
  uint64_t seed_;
  std::vector<double> distance_;      // mm, image order
  std::vector<double> reflectivity_;  // image order
  std::vector<double> pattern_;       // mm, image order

  // The noiseless samples and the settings they were made for.
  std::vector<float> base_;
  bool base_valid_ = false;
  uint32_t base_mod_khz_ = 0;
  uint16_t base_integration_us_ = 0;
  double base_drift_ = 0;
  bool base_abs_ = false;
  bool abs_ = false;
  uint64_t noiseless_builds_ = 0;
  std::vector<float> noise_;  // kNoiseTableSize values, made on first use
};

// out[i] = clip(round_half_up(base[i] + noise[i]), 0, 4095) as 16-bit
// little-endian words: the plain version and the vectorised one.
void add_noise_ref(const float *base, const float *noise, uint8_t *out, size_t n);
void add_noise(const float *base, const float *noise, uint8_t *out, size_t n);

// Deterministic hash of (seed, a, b) to 64 bits, and helpers on it.
uint64_t mix64(uint64_t seed, uint64_t a, uint64_t b);
double unit_from(uint64_t bits);  // [0, 1)

}  // namespace torvi::vcam
