// Feeds arbitrary bytes as a calibration package (the frame the camera sends
// in data-upload mode) and as parameter 8's value: the header check, then
// the unzip and split into a scratch path prefix when the header holds.
#include <torvi/torvi_dev.h>
#include <torvi/torvi_log.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>

#include "drivers/epc/calib_package.h"
#include "drivers/epc/epc_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  namespace fs = std::filesystem;
  static const fs::path dir = [] {
    kx_log_disable();
    std::string tmpl = (fs::temp_directory_path() / "torvi-fuzz-pkg-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    torvi_path_cfg((tmpl + "/").c_str());
    return fs::path(tmpl);
  }();
  const std::span<const uint8_t> frame(data, size);
  torvi::epc::PackageHeader h;
  const torvi::epc::PackageCheck c = torvi::epc::parse_package_header(frame, h);
  if (c == torvi::epc::PackageCheck::ok && h.payload_len > size - torvi::epc::kPackageHeaderBytes)
    __builtin_trap();
  if (size >= 17) (void)torvi::epc::parse_calib_info(data);
  if (c != torvi::epc::PackageCheck::ok) return 0;
  torvi::epc::Chip chip;
  chip.config().chip_id = 17;
  chip.config().wafer_id = 42;
  epc_drv_state_t st{};
  st.chip = &chip;
  std::snprintf(st.calib_names[0], 256, "%s", chip.distance_images_name().c_str());
  std::snprintf(st.calib_names[1], 256, "%s", chip.param_name().c_str());
  std::snprintf(st.calib_names[2], 256, "%s", chip.distance_images_name().c_str());
  std::snprintf(st.calib_names[3], 256, "%s", chip.param_name().c_str());
  const bool ok = torvi::epc::parse_package(nullptr, st, frame);
  // A failed package leaves no calibration file behind.
  if (!ok && (fs::exists(dir / st.calib_names[0]) || fs::exists(dir / st.calib_names[1])))
    __builtin_trap();
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(dir, ec)) fs::remove_all(e.path(), ec);
  return 0;
}
