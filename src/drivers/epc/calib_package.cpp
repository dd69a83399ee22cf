// Parsing of the calibration package header and of parameter 8.
#include "drivers/epc/calib_package.h"

namespace torvi::epc {

namespace {
uint32_t le32(const uint8_t *p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
}  // namespace

PackageCheck parse_package_header(std::span<const uint8_t> frame, PackageHeader &out) {
  out = PackageHeader{};
  if (frame.size() < kPackageHeaderBytes) return PackageCheck::short_header;
  out.valid = frame[0];
  out.zip = frame[2];
  out.payload_len = le32(&frame[11]);
  if (out.valid == 0) return PackageCheck::not_valid;
  if (out.zip != 1) return PackageCheck::not_zip;
  if (out.payload_len > frame.size() - kPackageHeaderBytes) return PackageCheck::past_end;
  return PackageCheck::ok;
}

CalibInfo parse_calib_info(const uint8_t *v) {
  CalibInfo ci;
  ci.valid = v[0];
  ci.version = le32(v + 3);
  ci.fsize = le32(v + 7);
  ci.valid_size = le32(v + 11);
  ci.ck_sum = static_cast<uint16_t>(v[15] | v[16] << 8);
  return ci;
}

}  // namespace torvi::epc
