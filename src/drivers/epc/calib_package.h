// The calibration package as the camera sends it, and the calibration
// information of parameter 8, parsed apart from any file or device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "drivers/epc/epc_state.h"

namespace torvi::epc {

// Header: valid byte, one byte, zip flag, 8 bytes, u32 payload length,
// 2 bytes; the payload follows.
inline constexpr size_t kPackageHeaderBytes = 17;

struct PackageHeader {
  uint8_t valid = 0;
  uint8_t zip = 0;
  uint32_t payload_len = 0;
};
enum class PackageCheck { ok, short_header, not_valid, not_zip, past_end };
// Reads the header of `frame` and checks that its payload lies within it.
PackageCheck parse_package_header(std::span<const uint8_t> frame, PackageHeader &out);

// Parameter 8: valid byte, version, frame size, valid data size, checksum.
struct CalibInfo {
  uint8_t valid = 0;
  uint32_t version = 0;
  uint32_t fsize = 0;
  uint32_t valid_size = 0;
  uint16_t ck_sum = 0;
};
CalibInfo parse_calib_info(const uint8_t *value);

// Unzips the package payload into the device's path prefix and splits its
// calib_and_param file; false (with nothing left behind) on any failure.
// *lens_extracted (may be null) tells whether the archive held lens_param.txt.
bool parse_package(torvi_dev_t *dev, const epc_drv_state_t &st, std::span<const uint8_t> frame,
                   bool *lens_extracted = nullptr);
// Splits a calib_and_param file (parameter file of size mod 256 bytes, then
// the distance images) into the state's two file names under `prefix`.
bool split_calib_file(const std::string &prefix, const epc_drv_state_t &st,
                      const std::string &path);

}  // namespace torvi::epc
