// The time-of-flight model: what the EPC decode formula makes of its frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numbers>

#include "vcam/camera.h"
#include "vcam/tof_model.h"

namespace torvi::vcam::test {
namespace {

constexpr int W = 320, H = 240, P = W * H;

struct Pixel {
  int d[4];
};

// Samples of image pixel (x, y) from a raw frame (rows in raw order).
Pixel samples(const std::vector<uint8_t> &raw, int x, int y) {
  const int row = static_cast<int>(raw_row_of(static_cast<uint32_t>(y), H));
  Pixel px{};
  for (int k = 0; k < 4; ++k) {
    const size_t i =
        2 * (static_cast<size_t>(k) * P + static_cast<size_t>(row) * W + static_cast<size_t>(x));
    px.d[k] = (raw[i] | raw[i + 1] << 8) & 0xFFF;
  }
  return px;
}

bool valid(const Pixel &p) {
  return *std::max_element(p.d, p.d + 4) <= 4094 && *std::min_element(p.d, p.d + 4) >= 1;
}

// The decode of the EPC driver: phase in units of 30000 per turn from
// atan2(d3 - d1, d2 - d0) shifted by half a turn; distance = phase * range.
double decode_mm(const Pixel &p, double range_mm) {
  const double a = p.d[2] - p.d[0], b = p.d[3] - p.d[1];
  double turn = std::atan2(b, a) / (2 * std::numbers::pi) * 30000.0;
  double phase = std::fmod(turn + 15000.0 + 30000.0, 30000.0);
  return std::floor(phase) * range_mm / 30000.0;
}

double amplitude(const Pixel &p) {
  const double a = p.d[2] - p.d[0], b = p.d[3] - p.d[1];
  return std::sqrt(a * a + b * b) / 2;
}

// The ideal sensor: no noise, no fixed pattern, no phase non-linearity,
// and a pinhole lens.
CameraConfig quiet() {
  CameraConfig cfg;
  cfg.sensor.noise_lsb = 0;
  cfg.sensor.pattern_mm = 0;
  cfg.sensor.nonlinearity_mm = 0;
  std::fill(std::begin(cfg.sensor.dcoeff), std::end(cfg.sensor.dcoeff), 0.0);
  return cfg;
}

double wrap_error(double got, double want, double range) {
  double e = std::fmod(got - want, range);
  if (e > range / 2) e -= range;
  if (e < -range / 2) e += range;
  return e;
}

TEST(Physics, RawRowOrderStartsInTheMiddle) {
  EXPECT_EQ(raw_row_of(119, 240), 0u);
  EXPECT_EQ(raw_row_of(120, 240), 1u);
  EXPECT_EQ(raw_row_of(0, 240), 238u);
  EXPECT_EQ(raw_row_of(239, 240), 239u);
}

TEST(Physics, WallDecodesToItsRadialDistance) {
  Camera cam(quiet());
  const auto raw = cam.raw_frame(0);
  ASSERT_EQ(raw.size(), 8u * P);
  const auto truth = cam.ground_truth();
  const double range = range_mm_for(cam.modulation_khz());
  EXPECT_NEAR(range, 12491.35, 0.01);
  EXPECT_NEAR(truth[122 * W + 157], 1500, 1);  // optical axis
  EXPECT_GT(truth[0], 1900);                   // corners are farther along the ray
  // 12-bit samples limit the phase to about 1/(2 pi A) of a turn; otherwise
  // the decode must give the ground truth, and without bias.
  double sum = 0;
  int n = 0;
  for (int y = 0; y < H; y += 3)
    for (int x = 0; x < W; x += 3) {
      const Pixel p = samples(raw, x, y);
      ASSERT_TRUE(valid(p)) << x << "," << y;
      const double e = decode_mm(p, range) - truth[y * W + x];
      ASSERT_LT(std::fabs(e), 1.5 + range / (2 * std::numbers::pi * amplitude(p))) << x << "," << y;
      sum += e;
      ++n;
    }
  EXPECT_LT(std::fabs(sum / n), 0.6);
}

TEST(Physics, FrequencyChangesTheRangeAndDistancesWrap) {
  CameraConfig cfg = quiet();
  cfg.scene.wall_mm = 5000;
  Camera cam(cfg);
  // 36 MHz: divider code 0 with register 128 = 127.
  auto write_sensor = [&](uint8_t reg, uint8_t value) {
    std::vector<uint8_t> d = {1, reg, 0, 0, 0, 4, 0, value, 0, 0, 0};
    return cam.control(0x22, 0xC2, 0, 0, d);
  };
  ASSERT_EQ(write_sensor(128, 127), 11);
  ASSERT_EQ(write_sensor(133, 0), 11);
  EXPECT_EQ(cam.modulation_khz(), 36000u);
  const double range = range_mm_for(36000);
  const auto raw = cam.raw_frame(0);
  const auto truth = cam.ground_truth();
  const Pixel p = samples(raw, 160, 120);
  EXPECT_NEAR(decode_mm(p, range), std::fmod(truth[120 * W + 160], range), 1.5);
  EXPECT_LT(decode_mm(p, range), 1000);  // 5000 mm wrapped into 4164 mm
}

TEST(Physics, AmplitudeFallsWithDistanceAndReflectivity) {
  auto centre_amp = [](double wall, double refl, uint16_t intg) {
    CameraConfig cfg = quiet();
    cfg.scene.wall_mm = wall;
    cfg.scene.wall_reflectivity = refl;
    cfg.integration_us = intg;
    Camera cam(cfg);
    return amplitude(samples(cam.raw_frame(0), 157, 122));
  };
  const double a1 = centre_amp(1000, 0.5, 1000);
  EXPECT_NEAR(a1, 1800 * 0.5, 2);
  EXPECT_NEAR(centre_amp(2000, 0.5, 1000), a1 / 4, 2);
  EXPECT_NEAR(centre_amp(1000, 0.25, 1000), a1 / 2, 2);
  EXPECT_NEAR(centre_amp(1000, 0.5, 500), a1 / 2, 2);
}

TEST(Physics, BrightNearTargetsSaturate) {
  CameraConfig cfg = quiet();
  Shape ball;
  ball.kind = Shape::Kind::sphere;
  ball.z0 = 400;
  ball.r = 60;
  ball.reflectivity = 1.0;
  cfg.scene.shapes.push_back(ball);
  Camera cam(cfg);
  const auto raw = cam.raw_frame(0);
  const auto truth = cam.ground_truth();
  const Pixel centre = samples(raw, 157, 122);
  EXPECT_FALSE(valid(centre));
  EXPECT_EQ(*std::max_element(centre.d, centre.d + 4), 4095);
  EXPECT_NEAR(truth[122 * W + 157], 340, 1);  // front of the ball
  EXPECT_TRUE(valid(samples(raw, 5, 5)));     // the wall beyond is fine
  EXPECT_NEAR(truth[5 * W + 5],
              1500 * std::hypot(1.0, (5 - 157.262) / 210.783, (5 - 122.083) / 204.817), 1);
}

TEST(Physics, BoxesAppearInTheGroundTruthAndTheDecode) {
  CameraConfig cfg = quiet();
  Shape box;
  box.kind = Shape::Kind::box;
  box.x0 = -100;
  box.x1 = 100;
  box.y0 = -100;
  box.y1 = 100;
  box.z0 = 800;
  box.z1 = 900;
  box.reflectivity = 0.3;
  cfg.scene.shapes.push_back(box);
  Camera cam(cfg);
  const auto truth = cam.ground_truth();
  const auto raw = cam.raw_frame(0);
  const double range = range_mm_for(cam.modulation_khz());
  EXPECT_NEAR(truth[122 * W + 157], 800, 1);
  EXPECT_NEAR(decode_mm(samples(raw, 157, 122), range), 800, 1.5);
  // 100 mm at 800 mm is about 26 pixels: 40 pixels off axis is the wall.
  EXPECT_GT(truth[122 * W + 157 + 40], 1500);
}

TEST(Physics, FixedPatternIsPerPixelStableAndSeeded) {
  CameraConfig cfg = quiet();
  cfg.sensor.pattern_mm = 6;
  cfg.seed = 5;
  cfg.scene.wall_mm = 1000;  // bright: fine phase resolution
  cfg.scene.wall_reflectivity = 1.0;
  Camera cam(cfg);
  const double range = range_mm_for(cam.modulation_khz());
  const auto truth = cam.ground_truth();
  const auto f0 = cam.raw_frame(0), f7 = cam.raw_frame(7);
  TofModel other(cfg.sensor, cfg.scene, 6);
  TofModel same(cfg.sensor, cfg.scene, 5);
  double spread = 0;
  int differs = 0;
  for (int i = 0; i < 200; ++i) {
    const int x = (i * 37) % W, y = (i * 53) % H;
    const double e0 = decode_mm(samples(f0, x, y), range) - truth[y * W + x];
    const double e7 = decode_mm(samples(f7, x, y), range) - truth[y * W + x];
    EXPECT_NEAR(e0, e7, 1.0);
    EXPECT_NEAR(e0, same.pattern()[static_cast<size_t>(y * W + x)], 1.5);
    spread = std::max(spread, std::fabs(e0));
    differs += std::fabs(same.pattern()[static_cast<size_t>(y * W + x)] -
                         other.pattern()[static_cast<size_t>(y * W + x)]) > 0.5;
  }
  EXPECT_GT(spread, 3.0);
  EXPECT_LE(spread, 7.5);
  EXPECT_GT(differs, 150);
}

TEST(Physics, NoiseIsSeededPerFrame) {
  CameraConfig cfg;
  cfg.sensor.noise_lsb = 3;
  cfg.sensor.nonlinearity_mm = 0;  // a bias of its own, checked apart
  Camera a(cfg), b(cfg);
  EXPECT_EQ(a.raw_frame(3), b.raw_frame(3));
  const auto f3 = a.raw_frame(3), f4 = a.raw_frame(4);
  EXPECT_NE(f3, f4);
  // The wall still decodes to its distance on average.
  const double range = range_mm_for(a.modulation_khz());
  const auto truth = a.ground_truth();
  double sum = 0, sq = 0;
  int n = 0;
  for (int y = 0; y < H; y += 4)
    for (int x = 0; x < W; x += 4) {
      const double e = wrap_error(decode_mm(samples(f3, x, y), range), truth[y * W + x], range);
      sum += e;
      sq += e * e;
      ++n;
    }
  EXPECT_NEAR(sum / n, 0, 1.0);
  EXPECT_GT(std::sqrt(sq / n), 1.0);   // noise and pattern are there
  EXPECT_LT(std::sqrt(sq / n), 30.0);  // but small
}

TEST(Physics, TemperatureDriftIsUndoneByTheCompensation) {
  CameraConfig cfg = quiet();
  cfg.scene.wall_mm = 1000;
  cfg.scene.wall_reflectivity = 1.0;
  cfg.sensor.sensor_drift_per_frame = 1.0;
  cfg.sensor.board_drift_per_frame = 0.5;
  Camera cam(cfg);
  TofModel m(cfg.sensor, cfg.scene, cfg.seed);
  EXPECT_EQ(m.sensor_temp(10), 371);
  EXPECT_EQ(m.board_temp(10), 346);
  const double range = range_mm_for(cam.modulation_khz());
  const auto truth = cam.ground_truth();
  const Pixel p = samples(cam.raw_frame(10), 150, 110);
  const double raw_mm = decode_mm(p, range);
  const double t = (371 - 361) * 1.7 + (346 - 341) * 0.33765;
  EXPECT_NEAR(raw_mm - truth[110 * W + 150], t, 1.5);
  EXPECT_NEAR(raw_mm - t, truth[110 * W + 150], 1.5);
}

}  // namespace
}  // namespace torvi::vcam::test
