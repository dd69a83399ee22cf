// The view command: streams a camera to a web page with the depth, gray and
// point-cloud views and the camera's controls.
#pragma once

#include <string>

#include "../session.h"

namespace torvi_cli {

struct ViewOptions {
  std::string bind = "127.0.0.1";
  int port = 8080;      // 0: any free port
  std::string web_dir;  // empty: the page next to the program or installed
  double seconds = 0;   // 0: until interrupted
};

int run_view(const CommonOptions &common, const ViewOptions &opt);

}  // namespace torvi_cli
