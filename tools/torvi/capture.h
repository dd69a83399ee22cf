// The capture command: N frames or T seconds of raw frames into a file.
#pragma once

#include <string>

#include "session.h"

namespace torvi_cli {

struct CaptureOptions {
  unsigned frames = 0;                      // 0: no frame limit
  double seconds = 0;                       // 0: no time limit
  std::string output = "torvi_frames.raw";  // empty: frames are not kept
  bool progress = true;
};

int run_capture(const CommonOptions &common, const CaptureOptions &opt);

}  // namespace torvi_cli
