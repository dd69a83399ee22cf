// The data and firmware commands: read a camera's data block into a file,
// write a file into one, upgrade the firmware; with a progress bar on a
// terminal and plain progress lines otherwise.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "session.h"

namespace torvi_cli {

class TransferCommands {
 public:
  // Adds "data read", "data write" and "firmware" to the program.
  explicit TransferCommands(CLI::App &app);
  // The subcommands that take the common options.
  std::vector<CLI::App *> commands() const { return {read_, write_, firmware_}; }
  // Runs the parsed command: its exit code, or -1 when none of these ran.
  int run(const CommonOptions &common) const;

 private:
  CLI::App *data_ = nullptr;
  CLI::App *read_ = nullptr;
  CLI::App *write_ = nullptr;
  CLI::App *firmware_ = nullptr;
  unsigned type_ = 0;
  std::string version_;
  std::string file_;
  std::string output_;
  bool quiet_ = false;
};

}  // namespace torvi_cli
