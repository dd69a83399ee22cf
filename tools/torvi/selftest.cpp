#include "selftest.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "accuracy.h"

namespace torvi_cli {

int run_selftest(const CommonOptions &common) {
  if (!common.virtual_camera) {
    std::fprintf(stderr,
                 "torvi: selftest needs --virtual (it compares with the virtual "
                 "camera's ground truth)\n");
    return kNoCamera;
  }
  // The library starts here without a session camera: each scenario plugs its own.
  CommonOptions own = common;
  own.virtual_camera = false;
  Session session(own);
  using torvi_accuracy::Scenario;
  struct Case {
    Scenario s;
    double valid_min, rms_max, plane_max;
  };
  std::vector<Case> cases;
  // Walls with the integration time set for their distance.
  for (const double wall : {1000.0, 2000.0, 3000.0, 4000.0}) {
    Scenario s;
    s.wall_mm = wall;
    s.integration_us = torvi_accuracy::integration_for_wall(wall);
    const std::string at = " wall " + std::to_string(static_cast<int>(wall)) + " mm, " +
                           std::to_string(s.integration_us) + " us";
    s.name = "DRNU" + at;
    cases.push_back({s, 0.95, 5.0, 0.005});
    s.drnu = false;
    s.name = "simple" + at;
    cases.push_back({s, 0.95, 1e9, 1.0});
  }
  // At the default 1000 us the far walls are noisier: the echo is weaker.
  for (const auto &w : {std::pair{3000.0, 8.0}, std::pair{4000.0, 14.0}}) {
    Scenario s;
    s.wall_mm = w.first;
    s.name = "DRNU wall " + std::to_string(static_cast<int>(w.first)) + " mm, 1000 us";
    cases.push_back({s, 0.95, w.second, 0.005});
  }
  Scenario scene;
  scene.name = "DRNU spheres and boxes";
  scene.wall_mm = 2500;
  scene.shapes = true;
  cases.push_back({scene, 0.95, 10.0, 1.0});
  Scenario warm;
  warm.name = "DRNU wall 2000 mm, +12 C";
  warm.wall_mm = 2000;
  warm.frames = 8;
  warm.sensor_drift = warm.board_drift = 15;
  cases.push_back({warm, 0.95, 5.0, 0.005});
  Scenario und;
  und.name = "DRNU wall 2500 mm undistorted";
  und.wall_mm = 2500;
  und.undistort = true;
  cases.push_back({und, 0.95, 6.0, 0.005});
  Scenario close;
  close.name = "DRNU wall 300 mm, auto intg";
  close.wall_mm = 300;
  close.auto_intg = true;
  cases.push_back({close, 0.95, 3.0, 0.005});

  std::printf("%-32s %8s %9s %9s %8s\n", "scenario", "valid %", "median", "rms", "plane %");
  int failed = 0;
  double sum_rms = 0;
  int counted = 0;
  for (const Case &c : cases) {
    const torvi_accuracy::Result r = torvi_accuracy::measure(c.s);
    // The simple path has no goal beyond working: it shows what calibration adds.
    const double median_max = c.s.drnu ? 3.0 : 1e9;
    const bool ok = r.ok && r.valid_share >= c.valid_min && std::abs(r.median_mm) <= median_max &&
                    r.rms_mm <= c.rms_max && r.planarity <= c.plane_max;
    if (!r.ok) {
      std::printf("%-32s failed: %s\n", c.s.name.c_str(), r.failure.c_str());
    } else {
      std::printf("%-32s %8.1f %+7.1fmm %7.2fmm %8.3f %s\n", c.s.name.c_str(), 100 * r.valid_share,
                  r.median_mm, r.rms_mm, 100 * r.planarity, ok ? "" : "  <- goal missed");
    }
    if (!ok) ++failed;
    if (r.ok && c.s.drnu) {
      sum_rms += r.rms_mm;
      ++counted;
    }
  }
  std::printf("accuracy: %zu scenarios, %d missed their goal, mean DRNU rms %.2f mm\n",
              cases.size(), failed, counted ? sum_rms / counted : 0.0);
  return failed == 0 ? kOk : kMisbehaved;
}

}  // namespace torvi_cli
