// Feeds arbitrary bytes as the distance-image file of a small sensor
// (8 x 4 pixels per image): the image count, the linear correction, the row
// order and the per-pixel table.
#include <torvi/torvi_dev.h>
#include <torvi/torvi_log.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "epc/chip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  namespace fs = std::filesystem;
  static const fs::path dir = [] {
    kx_log_disable();
    std::string tmpl = (fs::temp_directory_path() / "torvi-fuzz-img-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    torvi_path_cfg((tmpl + "/").c_str());
    return fs::path(tmpl);
  }();
  torvi::epc::Chip chip;
  chip.drnu().calib_width = 8;
  chip.drnu().calib_height = 4;
  if (size > 0 && data[0] == 0xEE) chip.config().modulation_frequency = 36000;
  {
    std::ofstream out(dir / chip.distance_images_name(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  }
  const int r = chip.load_distance_images(1);
  const int n = chip.drnu().num_distances;
  if (r == 0) {
    if (n < 1 || n > 30 || static_cast<size_t>(n) * 64 > size) __builtin_trap();
    if (chip.table(1).size() != static_cast<size_t>(n) * 32) __builtin_trap();
  }
  return 0;
}
