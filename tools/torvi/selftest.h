// The selftest command: depth accuracy on the built-in virtual camera.
#pragma once

#include "session.h"

namespace torvi_cli {

// Runs the accuracy scenarios and prints one line each and a summary line;
// kOk when every goal is met, kMisbehaved otherwise.
int run_selftest(const CommonOptions &common);

}  // namespace torvi_cli
