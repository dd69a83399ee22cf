// The capture command: N frames or T seconds of raw frames into a file, and
// what the driver decodes from them (distance, gray, images, point cloud)
// with per-capture statistics.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace torvi_cli {

struct CaptureOptions {
  unsigned frames = 0;                      // 0: no frame limit
  double seconds = 0;                       // 0: no time limit
  std::string output = "torvi_frames.raw";  // empty: frames are not kept
  bool progress = true;
  // Decoded outputs (empty: not written). Frame files take every frame; the
  // images and the point cloud show the last one.
  std::string dist_file;  // distance frame file, float metres
  std::string gray_file;  // gray frame file, 16-bit
  std::string png;        // 16-bit depth PNG, millimetres
  std::string color_png;  // colourised depth PNG
  std::string ply;        // point cloud
  float color_min_m = 0.2f, color_max_m = 5.0f;
  std::vector<float> color_range;  // as given on the command line
  bool stats = true;               // decode every frame for the statistics
};

int run_capture(const CommonOptions &common, const CaptureOptions &opt);

}  // namespace torvi_cli
