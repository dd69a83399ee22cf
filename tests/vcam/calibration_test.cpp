// The virtual camera as a calibrated EPC camera: its package, what
// parameter 8 says about it, the phase non-linearity its frames carry, and
// the ambient light that suppression removes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/zip_reader.h"
#include "tests/common/temp_dir.h"
#include "vcam/calib_package.h"
#include "vcam/camera.h"
#include "vcam/tof_model.h"

namespace torvi::vcam::test {
namespace {

constexpr int W = 320, H = 240;
constexpr size_t P = size_t{W} * H;

double decode_mm(const std::vector<uint8_t> &raw, int x, int y, double range,
                 double *amplitude = nullptr) {
  const size_t q = raw_row_of(static_cast<uint32_t>(y), H) * W + static_cast<size_t>(x);
  double d[4];
  for (int i = 0; i < 4; ++i) {
    uint16_t v;
    std::memcpy(&v, &raw[2 * (i * P + q)], 2);
    d[i] = v;
  }
  if (amplitude != nullptr) *amplitude = std::hypot(d[2] - d[0], d[3] - d[1]) / 2;
  const double turn = std::atan2(d[3] - d[1], d[2] - d[0]) / (2 * std::numbers::pi) * 30000.0;
  return std::fmod(turn + 15000.0 + 30000.0, 30000.0) * range / 30000.0;
}

CameraConfig clean() {
  CameraConfig cfg;
  cfg.sensor.noise_lsb = 0;
  cfg.sensor.pattern_mm = 0;
  return cfg;
}

TEST(VcamCalibration, PhaseNonLinearityIsPeriodicInDistance) {
  // On the optical axis the error follows nl(d) = 12 sin(2 pi 4 d / R).
  const double range = range_mm_for(12000);
  double worst = 0;
  for (double wall : {700.0, 1000.0, 1480.0, 2000.0, 2400.0}) {
    CameraConfig cfg = clean();
    cfg.scene.wall_mm = wall;
    cfg.scene.wall_reflectivity = 0.5 * (wall / 1000) * (wall / 1000);  // amplitude ~900
    Camera cam(cfg);
    const auto truth = cam.ground_truth();
    double amp = 0;
    const double got = decode_mm(cam.raw_frame(0), 157, 122, range, &amp);
    const double want_err =
        12.0 * std::sin(2 * std::numbers::pi * 4 * truth[122 * W + 157] / range);
    // 12-bit samples limit the phase to about 1/(2 pi A) of a turn.
    EXPECT_NEAR(got - truth[122 * W + 157], want_err, 1.5 + range / (2 * std::numbers::pi * amp))
        << wall;
    worst = std::max(worst, std::fabs(got - truth[122 * W + 157]));
  }
  EXPECT_GT(worst, 9.0);  // the error is there, not a few tenths
  CameraConfig off = clean();
  off.sensor.nonlinearity_mm = 0;
  off.scene.wall_mm = 1000;
  Camera cam(off);
  EXPECT_NEAR(decode_mm(cam.raw_frame(0), 157, 122, range), cam.ground_truth()[122 * W + 157], 1.5);
}

TEST(VcamCalibration, LensDistortionBendsTheRays) {
  CameraConfig cfg = clean();
  cfg.scene.wall_mm = 1000;
  Camera bent(cfg);
  std::fill(std::begin(cfg.sensor.dcoeff), std::end(cfg.sensor.dcoeff), 0.0);
  Camera pinhole(cfg);
  const auto a = bent.ground_truth(), b = pinhole.ground_truth();
  EXPECT_NEAR(a[122 * W + 157], b[122 * W + 157], 1);  // the axis stays
  // Barrel distortion: a corner pixel sees farther out than the pinhole one.
  EXPECT_GT(a[0], b[0] + 100);
  const double x = (0 - 157.262) / 210.783, y = (0 - 122.083) / 204.817;
  EXPECT_NEAR(b[0], 1000 * std::sqrt(1 + x * x + y * y), 1);
}

TEST(VcamCalibration, AmbientSuppressionLowersTheSampleOffset) {
  CameraConfig cfg = clean();
  Camera cam(cfg);
  auto offset = [&] {
    const auto raw = cam.raw_frame(0);
    const size_t q = 120 * W + 160;
    uint16_t d0, d2;
    std::memcpy(&d0, &raw[2 * q], 2);
    std::memcpy(&d2, &raw[2 * (2 * P + q)], 2);
    return (d0 + d2) / 2.0;
  };
  const double with_abs = offset();  // reset value: suppression on
  std::vector<uint8_t> clear = {1, 34, 0, 0, 0, 4, 0, 0x00, 0, 0, 0};
  ASSERT_EQ(cam.control(0x22, 0xC2, 0, 0, clear), 11);
  const double without = offset();
  EXPECT_NEAR(without - with_abs, 40.0 * 0.75, 1.0);
}

TEST(VcamCalibration, PackageHoldsTheModelsOwnCalibration) {
  CameraConfig cfg;
  Camera cam(cfg);
  const std::vector<uint8_t> pkg = cam.calibration_package();
  ASSERT_GT(pkg.size(), 17u);
  EXPECT_EQ(pkg[0], 1);
  EXPECT_EQ(pkg[2], 1);
  uint32_t len;
  std::memcpy(&len, &pkg[11], 4);
  EXPECT_EQ(len, pkg.size() - 17);
  torvi::test::TempDir dir;
  const std::string zip_path = dir.file("p.zip");
  {
    std::ofstream(zip_path, std::ios::binary)
        .write(reinterpret_cast<const char *>(pkg.data() + 17), static_cast<std::streamsize>(len));
  }
  auto rd = zip::Reader::open(zip_path);
  ASSERT_NE(rd, nullptr);
  auto read_entry = [&](const char *name, std::vector<uint8_t> &out) {
    const std::optional<size_t> i = rd->find(name);
    if (!i) return false;
    return rd->extract(*i, [&](uint64_t, std::span<const uint8_t> piece) {
      out.insert(out.end(), piece.begin(), piece.end());
      return true;
    });
  };
  std::vector<uint8_t> file, lens;
  ASSERT_TRUE(read_entry("calib_and_param_017.bin", file));
  ASSERT_TRUE(read_entry("lens_param.txt", lens));
  ASSERT_EQ(file.size(), 24 + 30 * P * 2);
  EXPECT_EQ(file.size() % 256, 24u);  // the split by size finds the parameter file
  uint32_t freq, temp, temp_ib;
  double step;
  std::memcpy(&freq, &file[0], 4);
  std::memcpy(&temp, &file[8], 4);
  std::memcpy(&step, &file[12], 8);
  std::memcpy(&temp_ib, &file[20], 4);
  EXPECT_EQ(freq, 12000u);
  EXPECT_EQ(temp, 361u);
  EXPECT_EQ(temp_ib, 341u);
  EXPECT_DOUBLE_EQ(step, 298.2);
  // Image k of pixel p: the model's noiseless phase at 295 + k * step.
  TofModel model(cfg.sensor, cfg.scene, cfg.seed);
  const double range = range_mm_for(12000);
  for (int k : {0, 13, 29})
    for (size_t p : {size_t{0}, size_t{12345}, P - 1}) {
      uint16_t v;
      std::memcpy(&v, &file[24 + 2 * (k * P + p)], 2);
      EXPECT_EQ(v, calibration_phase(cfg.sensor, model.pattern()[p], 295 + k * 298.2, range));
    }
  const std::string text(lens.begin(), lens.end());
  EXPECT_EQ(text.rfind("157.262000\n122.083000\n210.783000\n204.817000\n-0.378924\n", 0), 0u);
}

TEST(VcamCalibration, Parameter8DescribesThePackage) {
  Camera cam;
  std::vector<uint8_t> ask(20, 0);
  ask[0] = 8;
  ASSERT_EQ(cam.control(0x22, 0xC0, 4, 0, ask), 20);
  std::vector<uint8_t> rec(20, 0);
  ASSERT_EQ(cam.control(0xA2, 0xC0, 4, 0, rec), 20);
  uint32_t fsize;
  std::memcpy(&fsize, &rec[2 + 7], 4);
  EXPECT_EQ(rec[2], 1);
  EXPECT_EQ(fsize, cam.calibration_package().size());
  CalibrationPlan plan;
  plan.fault = CalibrationPlan::Fault::no_calibration;
  cam.set_calibration(plan);
  ASSERT_EQ(cam.control(0x22, 0xC0, 4, 0, ask), 20);
  ASSERT_EQ(cam.control(0xA2, 0xC0, 4, 0, rec), 20);
  EXPECT_EQ(rec[2], 0);
}

}  // namespace
}  // namespace torvi::vcam::test
