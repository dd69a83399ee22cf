// Feeds arbitrary bytes as the DRNU parameter file: the parse, and the load
// through a chip (which may switch its modulation frequency).
#include <torvi/torvi_dev.h>
#include <torvi/torvi_log.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "epc/chip.h"
#include "epc/drnu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  namespace fs = std::filesystem;
  static const fs::path dir = [] {
    kx_log_disable();
    std::string tmpl = (fs::temp_directory_path() / "torvi-fuzz-drnu-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    torvi_path_cfg((tmpl + "/").c_str());
    // The chip prints its refused register writes (no camera here).
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return fs::path(tmpl);
  }();
  torvi::epc::DrnuParams p;
  const bool ok = torvi::epc::parse_drnu_params(std::span<const uint8_t>(data, size), p);
  if (ok != (size >= 16)) __builtin_trap();
  torvi::epc::Chip chip;
  chip.config().current_mode = 0;
  {
    std::ofstream out(dir / chip.param_name(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  }
  if (chip.load_drnu_lut() != 0) __builtin_trap();
  return 0;
}
