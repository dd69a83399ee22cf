// Depth accuracy of the whole path (virtual EPC camera with its own
// calibration, capture, decode, point cloud) against the camera model's
// ground truth: flat walls, a scene of spheres and boxes, a warming camera,
// planarity of a wall's point cloud, and automatic integration on a
// saturated close wall.
#include "tools/torvi/accuracy.h"

#include <gtest/gtest.h>
#include <torvi/torvi.h>

#include <algorithm>
#include <string>

#include "tests/common/temp_dir.h"

namespace {

using torvi_accuracy::measure;
using torvi_accuracy::Result;
using torvi_accuracy::Scenario;

class Accuracy : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new torvi::test::TempDir();
    ASSERT_TRUE(torvi_init(nullptr));
    kx_log_enable(0, KX_LOG_OFF, nullptr);
    // The calibration files the library writes stay in a temporary folder.
    ASSERT_EQ(torvi_path_cfg((dir->path().string() + "/").c_str()), 0);
  }
  static void TearDownTestSuite() {
    torvi_uninit();
    delete dir;
  }
  static Result run(const Scenario &s) {
    Result r = measure(s);
    EXPECT_TRUE(r.ok) << s.name << ": " << r.failure;
    std::printf(
        "[ accuracy ] %-26s valid %5.1f %%  median %+6.1f mm  rms %6.2f mm  plane %.3f %%\n",
        s.name.c_str(), 100 * r.valid_share, r.median_mm, r.rms_mm, 100 * r.planarity);
    return r;
  }
  static torvi::test::TempDir *dir;
};
torvi::test::TempDir *Accuracy::dir = nullptr;

Scenario wall(double mm, bool drnu) {
  Scenario s;
  s.name = std::string(drnu ? "DRNU" : "simple") + " wall " + std::to_string(static_cast<int>(mm));
  s.wall_mm = mm;
  s.drnu = drnu;
  return s;
}

TEST_F(Accuracy, CalibratedWallsUpTo4MetresAreValidAndUnbiased) {
  // At the default integration time the RMS grows with the distance: the
  // sample noise over a weaker echo.
  const struct {
    double mm, rms_max;
  } walls[] = {{1000, 2.5}, {1500, 3.5}, {2000, 5.0}, {3000, 8.0}, {4000, 14.0}};
  for (const auto &w : walls) {
    const Result r = run(wall(w.mm, true));
    EXPECT_GE(r.valid_share, 0.95) << w.mm;
    EXPECT_LE(std::abs(r.median_mm), 3.0) << w.mm;
    EXPECT_LE(r.rms_mm, w.rms_max) << w.mm;
    EXPECT_LE(r.planarity, 0.005) << w.mm;
  }
}

TEST_F(Accuracy, WithTheIntegrationTimeSetForTheDistanceWallsUpTo4MetresMeetTheGoal) {
  // 1000 us up to 2 m, 2250 us at 3 m, 4000 us at 4 m.
  for (double mm : {1000.0, 2000.0, 3000.0, 4000.0}) {
    Scenario s = wall(mm, true);
    s.integration_us = torvi_accuracy::integration_for_wall(mm);
    s.name += " " + std::to_string(s.integration_us) + " us";
    const Result r = run(s);
    EXPECT_GE(r.valid_share, 0.95) << mm;
    EXPECT_LE(std::abs(r.median_mm), 3.0) << mm;
    EXPECT_LE(r.rms_mm, 5.0) << mm;
    EXPECT_LE(r.planarity, 0.005) << mm;
  }
  // The time set for 4 m saturates a wall at 1 m.
  Scenario near = wall(1000, true);
  near.integration_us = torvi_accuracy::integration_for_wall(4000);
  EXPECT_LT(run(near).valid_share, 0.5);
}

TEST_F(Accuracy, FarWallStaysValidAndUnbiased) {
  const Result r = run(wall(6000, true));
  EXPECT_GE(r.valid_share, 0.90);
  EXPECT_LE(std::abs(r.median_mm), 5.0);
}

TEST_F(Accuracy, SimplePathIsMeasurablyWorse) {
  // The phase non-linearity of the sensor is only corrected per pixel.
  double drnu_sq = 0, simple_sq = 0;
  for (double mm : {1000.0, 2000.0, 3000.0}) {
    const Result d = run(wall(mm, true)), s = run(wall(mm, false));
    drnu_sq += d.rms_mm * d.rms_mm;
    simple_sq += s.rms_mm * s.rms_mm;
  }
  EXPECT_GT(simple_sq, 2.0 * drnu_sq);
  const Result s2 = run(wall(2000, false));
  EXPECT_GT(std::abs(s2.median_mm), 8.0);
}

TEST_F(Accuracy, SceneOfSpheresAndBoxes) {
  Scenario s;
  s.name = "DRNU scene";
  s.wall_mm = 2500;
  s.shapes = true;
  const Result d = run(s);
  EXPECT_GE(d.valid_share, 0.95);
  EXPECT_LE(std::abs(d.median_mm), 3.0);
  EXPECT_LE(d.rms_mm, 10.0);
  s.name = "simple scene";
  s.drnu = false;
  EXPECT_GT(run(s).rms_mm, 1.5 * d.rms_mm);
}

TEST_F(Accuracy, WarmingByTenDegreesIsCompensated) {
  Scenario s = wall(2000, true);
  s.name = "DRNU wall 2000 warming";
  s.frames = 8;
  s.sensor_drift = 15;  // 1.5 degrees per frame: 12 degrees over the measured frames
  s.board_drift = 15;
  const Result r = run(s);
  EXPECT_GE(r.valid_share, 0.95);
  EXPECT_LE(std::abs(r.median_mm), 3.0);
  EXPECT_LE(r.worst_rms_mm, 5.0);
}

TEST_F(Accuracy, WallPointCloudIsPlanarWithAndWithoutUndistortion) {
  for (bool undistort : {false, true}) {
    Scenario s = wall(2500, true);
    s.undistort = undistort;
    s.name = undistort ? "DRNU wall 2500 undistorted" : "DRNU wall 2500 lens image";
    const Result r = run(s);
    EXPECT_LE(r.planarity, 0.005) << undistort;
    EXPECT_GT(r.planarity, 0.0) << undistort;
    EXPECT_LE(std::abs(r.median_mm), 3.0) << undistort;
  }
}

TEST_F(Accuracy, AutomaticIntegrationRecoversASaturatedCloseWall) {
  Scenario s = wall(300, true);
  s.name = "DRNU wall 300 auto integration";
  s.auto_intg = true;
  // Frames captured before a change still carry the old integration time,
  // and how many of them are queued depends on the schedule: the wall must
  // become valid within a generous number of frames, not at a fixed one.
  s.frames = 40;
  const Result r = run(s);
  ASSERT_GE(r.valid_per_frame.size(), 4u);
  EXPECT_LT(r.valid_per_frame.front(), 0.05);  // saturated at the start
  const auto recovered = std::find_if(r.valid_per_frame.begin(), r.valid_per_frame.end(),
                                      [](double share) { return share >= 0.95; });
  EXPECT_NE(recovered, r.valid_per_frame.end()) << "the wall never became valid";
  EXPECT_LE(std::abs(r.median_mm), 3.0);
  // Without it the wall stays saturated.
  s.auto_intg = false;
  s.name = "DRNU wall 300 fixed";
  EXPECT_FALSE(measure(s).ok);
}

}  // namespace
