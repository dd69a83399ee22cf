// Fuzz target: untrusted bytes read as a ZIP archive through zip_open,
// zip_entry_read, zip_entry_extract, appending and zip_extract. A crash, a
// sanitizer report or a file written outside the extraction folder fails.
#include "fuzz/zip_read.h"

#include <torvi/torvi_log.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::filesystem::path work = [] {
    kx_log_enable(0, KX_LOG_OFF, nullptr);
    // A memory-backed folder keeps the many small writes cheap.
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    return base / ("torvi-fuzz-zip-" + std::to_string(getpid()));
  }();
  if (!torvi::fuzz::zip_read_one(data, size, work)) std::abort();
  return 0;
}
