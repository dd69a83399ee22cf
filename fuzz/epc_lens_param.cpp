// Feeds arbitrary bytes as the text of lens_param.txt.
#include <torvi/torvi_log.h>

#include <cstdint>
#include <string_view>

#include "drivers/epc/lens_param.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = [] {
    kx_log_disable();
    return true;
  }();
  (void)quiet;
  torvi_lens_param_t lens = torvi::epc::kDefaultLens;
  const int lines = torvi::epc::parse_lens_param(
      std::string_view(reinterpret_cast<const char *>(data), size), lens);
  if (lines < 0 || static_cast<size_t>(lines) > size + 1) __builtin_trap();
  return 0;
}
