// The record command: N frames or T seconds from a camera into an MCAP file.
#pragma once

#include <string>

#include "session.h"

namespace torvi_cli {

struct RecordOptions {
  unsigned frames = 0;  // 0: no frame limit
  double seconds = 0;   // 0: no time limit
  std::string output = "torvi_recording.mcap";
  bool no_depth = false;
  bool progress = true;
  int zstd_level = 0;  // 0: the library's default
  bool compress_raw = false;
};

int run_record(const CommonOptions &common, const RecordOptions &opt);

}  // namespace torvi_cli
