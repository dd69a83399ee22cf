// The calibration package of a virtual camera, made from its own model as a
// factory calibration would make it.
#include "vcam/calib_package.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/zip_writer.h"
#include "vcam/tof_model.h"

namespace torvi::vcam {

namespace {

constexpr size_t kHeaderBytes = 17;
constexpr int kZipLevel = 1;

void put32(std::vector<uint8_t> &v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

std::string lens_text(const SensorModel &s) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.6f\n%.6f\n%.6f\n%.6f\n%.9g\n%.9g\n%.9g\n%.9g\n%.9g\n%d\n%d\n",
                s.cx, s.cy, s.fx, s.fy, s.dcoeff[0], s.dcoeff[1], s.dcoeff[2], s.dcoeff[3],
                s.dcoeff[4], static_cast<int>(s.width), static_cast<int>(s.height));
  return buf;
}

// Archive of the named entries, made through a temporary file.
std::vector<uint8_t> zip_entries(
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> &e) {
  char path[] = "/tmp/torvi_vcam_pkg_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return {};
  close(fd);
  std::vector<uint8_t> bytes;
  {
    auto w = zip::Writer::create(path, kZipLevel);
    bool ok = w != nullptr;
    for (const auto &[name, data] : e) {
      if (!ok) break;
      ok = w->open_entry(name, 0x5A210000u) && w->write(data) && w->close_entry();
    }
    if (ok) ok = w->finish();
    w.reset();
    if (ok) {
      std::ifstream in(path, std::ios::binary);
      bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  std::remove(path);
  return bytes;
}

}  // namespace

std::vector<uint8_t> calibration_param_file(const CameraConfig &cfg) {
  const CalibrationPlan &plan = cfg.calibration;
  std::vector<uint8_t> v;
  put32(v, plan.calib_khz);
  put32(v, plan.offset_phase);
  put32(v, static_cast<uint32_t>(cfg.sensor.sensor_temp));
  uint8_t step[8];
  std::memcpy(step, &plan.step_mm, sizeof step);
  v.insert(v.end(), step, step + 8);
  put32(v, static_cast<uint32_t>(cfg.sensor.board_temp));
  return v;  // 24 bytes: with the calibration frequency
}

std::vector<uint8_t> calibration_images(const CameraConfig &cfg, const TofModel &model) {
  const CalibrationPlan &plan = cfg.calibration;
  const size_t w = cfg.sensor.width, h = cfg.sensor.height, pixels = w * h;
  const double range = range_mm_for(plan.calib_khz);
  std::vector<uint8_t> out(pixels * 2 * static_cast<size_t>(std::max(plan.images, 0)));
  for (int k = 0; k < plan.images; ++k) {
    const double d = plan.first_mm + k * plan.step_mm;
    uint8_t *img = out.data() + static_cast<size_t>(k) * pixels * 2;
    for (size_t p = 0; p < pixels; ++p) {
      const uint16_t ph = calibration_phase(cfg.sensor, model.pattern()[p], d, range);
      img[2 * p] = static_cast<uint8_t>(ph & 0xFF);
      img[2 * p + 1] = static_cast<uint8_t>(ph >> 8);
    }
  }
  return out;
}

std::vector<uint8_t> make_calibration_package(const CameraConfig &cfg, const TofModel &model) {
  using Fault = CalibrationPlan::Fault;
  const CalibrationPlan &plan = cfg.calibration;
  std::vector<uint8_t> file = calibration_param_file(cfg);
  if (plan.fault == Fault::empty_split) file.clear();
  const std::vector<uint8_t> images = calibration_images(cfg, model);
  file.insert(file.end(), images.begin(), images.end());
  char name[64];
  std::snprintf(name, sizeof name, "calib_and_param_%03u.bin", static_cast<unsigned>(cfg.chip_id));
  std::vector<std::pair<std::string, std::vector<uint8_t>>> entries;
  entries.emplace_back(name, std::move(file));
  if (plan.with_lens_file) {
    const std::string lens = lens_text(cfg.sensor);
    entries.emplace_back("lens_param.txt", std::vector<uint8_t>(lens.begin(), lens.end()));
  }
  if (plan.fault == Fault::hostile_names)
    entries.emplace_back("../outside_the_prefix.txt", std::vector<uint8_t>{'x'});
  std::vector<uint8_t> zip = zip_entries(entries);
  if (plan.fault == Fault::corrupt_archive)
    for (size_t i = 0; i < zip.size(); i += 97) zip[i] = static_cast<uint8_t>(zip[i] ^ 0x5A);
  std::vector<uint8_t> pkg(kHeaderBytes + zip.size(), 0);
  std::copy(zip.begin(), zip.end(), pkg.begin() + kHeaderBytes);
  pkg[0] = 1;
  pkg[2] = plan.fault == Fault::not_zipped ? 0 : 1;
  uint32_t len = static_cast<uint32_t>(zip.size());
  if (plan.fault == Fault::truncated) len += 4096;
  for (int i = 0; i < 4; ++i)
    pkg[11 + static_cast<size_t>(i)] = static_cast<uint8_t>(len >> (8 * i));
  return pkg;
}

}  // namespace torvi::vcam
