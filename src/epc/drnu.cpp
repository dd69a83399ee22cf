// DRNU calibration of one chip: file names, the parameter file, the distance
// images with their linear correction, and the per-pixel table.
#include "epc/drnu.h"

#include <torvi/torvi_dev.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/log_internal.h"
#include "epc/chip.h"

namespace torvi::epc {

namespace {

// The files are little-endian and read in place.
static_assert(std::endian::native == std::endian::little);

constexpr uint32_t kDefaultCalibFreq = 12000;
constexpr int kFirstDistanceMm = 295;
constexpr uint16_t kMaxValidPhase = 59999;

struct FileCloser {
  void operator()(std::FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

uint32_t le32(const uint8_t *p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Integer mean of the valid values (1 .. 59999); false when there is none.
bool valid_mean(std::span<const uint16_t> v, int64_t &mean) {
  int64_t sum = 0, n = 0;
  for (uint16_t x : v) {
    if (x >= 1 && x <= kMaxValidPhase) {
      sum += x;
      ++n;
    }
  }
  if (n == 0) return false;
  mean = sum / n;
  return true;
}

long file_size(std::FILE *f) {
  if (std::fseek(f, 0, SEEK_END) != 0) return -1;
  const long size = std::ftell(f);
  std::rewind(f);
  return size;
}

}  // namespace

bool parse_drnu_params(std::span<const uint8_t> bytes, DrnuParams &out) {
  size_t off = 0;
  out.calib_freq_khz = kDefaultCalibFreq;
  out.has_freq = false;
  if (bytes.size() == 24) {
    out.calib_freq_khz = le32(bytes.data());
    out.has_freq = true;
    off = 4;
  }
  if (bytes.size() < off + 16) return false;
  const uint8_t *p = bytes.data() + off;
  out.offset_drnu = le32(p);
  out.temp_cal = le32(p + 4);
  std::memcpy(&out.step_cal_mm, p + 8, sizeof out.step_cal_mm);
  out.temp_cal_ib = bytes.size() >= off + 20 ? le32(p + 16) : out.temp_cal;
  return true;
}

LinearCorrection linear_correction(std::span<const uint16_t> images, size_t pixels,
                                   int num_distances, uint32_t calib_freq_khz, double step_mm) {
  LinearCorrection lc;
  if (pixels == 0 || num_distances < 1 || images.size() < pixels * num_distances ||
      calib_freq_khz == 0)
    return lc;
  int64_t m0 = 0, m_mid = 0;
  // The P values from element P x N / 2: the middle image for an even N; for
  // an odd N they straddle two images, and for N = 1 they would run past the
  // end, so they are kept within the images.
  const size_t all = pixels * static_cast<size_t>(num_distances);
  const size_t mid_start = std::min(all / 2, all - pixels);
  if (!valid_mean(images.subspan(0, pixels), m0) ||
      !valid_mean(images.subspan(mid_start, pixels), m_mid))
    return lc;
  const float range = 149896224.0f / static_cast<float>(calib_freq_khz);
  const float b0 = range * static_cast<float>(m0) / 30000.0f;
  const float b1 = range * static_cast<float>(m_mid) / 30000.0f;
  const int a = kFirstDistanceMm;
  const double c_mid_mm = step_mm * (num_distances / 2) + kFirstDistanceMm;
  // A step read from a file may be anything: only sane ones are used.
  if (b1 == b0 || !std::isfinite(c_mid_mm) || std::fabs(c_mid_mm) > 1.0e7) return lc;
  const int c_mid = static_cast<int>(c_mid_mm);
  const float scale = static_cast<float>(c_mid - a) / (b1 - b0);
  const float offset = static_cast<float>(a) - b0 * scale;
  if (!std::isfinite(scale) || std::fabs(scale) > 1.0e6f || !std::isfinite(offset) ||
      std::fabs(offset) > 1.0e9f)
    return lc;
  lc.scale_m = static_cast<int32_t>(scale * 1000.0f);
  lc.offset_mm = static_cast<int32_t>(std::lround(offset));
  lc.derived = true;
  return lc;
}

void dcs_sort(uint16_t *dst, const uint16_t *src, int width, int height) {
  const size_t row = static_cast<size_t>(width) * sizeof(uint16_t);
  for (int r = 0; r < height / 2 * 2; ++r)
    std::memcpy(dst + static_cast<size_t>(dcs_image_row(r, height)) * width,
                src + static_cast<size_t>(r) * width, row);
}

void dcs_unsort(uint16_t *dst, const uint16_t *src, int width, int height) {
  const size_t row = static_cast<size_t>(width) * sizeof(uint16_t);
  const int half = height / 2;
  for (int i = 0; i < half; ++i) {
    std::memcpy(dst + static_cast<size_t>(2 * i) * width,
                src + static_cast<size_t>(half - 1 - i) * width, row);
    std::memcpy(dst + static_cast<size_t>(2 * i + 1) * width,
                src + static_cast<size_t>(half + i) * width, row);
  }
}

std::string Chip::path_of(const std::string &name) const {
  return (prefix_.empty() ? std::string(torvi_path_get()) : prefix_) + name;
}

std::string Chip::distance_images_name() const {
  char buf[64];
  const bool small = cfg_.part_type == 4 || cfg_.part_type == 5;
  std::snprintf(
      buf, sizeof buf,
      small ? "epc635_images_drnu_W%03i_C%03i_10.bin" : "zkm_ex_images_drnu_W%03i_C%03i_10.bin",
      cfg_.wafer_id, cfg_.chip_id);
  return buf;
}

std::string Chip::param_name() const {
  char buf[64];
  const bool small = cfg_.part_type == 4 || cfg_.part_type == 5;
  std::snprintf(
      buf, sizeof buf,
      small ? "epc635_drnu_param_W%03i_C%03i_10.bin" : "zkm_ex_drnu_param_W%03i_C%03i_10.bin",
      cfg_.wafer_id, cfg_.chip_id);
  return buf;
}

int Chip::data_file_check() const {
  KX_LOG_NAME("calibrationDataFileCheck");
  const std::string path = path_of(distance_images_name());
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) {
    KX_DBG("Can not open %s file\n", path.c_str());
    return -1;
  }
  KX_DBG("Find %s\n", path.c_str());
  return 0;
}

void Chip::compute_default_offset_phase() {
  const uint32_t khz = std::max<uint32_t>(cfg_.modulation_frequency, 1);
  const auto n = static_cast<uint32_t>(149896229.0 / (khz * 10.0));
  const uint32_t low = n & 0xFFFF;
  // A parameter file may hold any offset: the result is kept within int32.
  const float v =
      low == 0 ? 0.0f : 885000.0f / static_cast<float>(low) - static_cast<float>(drnu_.offset_drnu);
  drnu_.default_offset_phase = static_cast<int32_t>(std::clamp(v, -2.0e9f, 2.0e9f));
}

int Chip::load_drnu_lut() {
  KX_LOG_NAME("calibrationLoadDRNU_LUT");
  const std::string path = path_of(param_name());
  File f(std::fopen(path.c_str(), "rb"));
  DrnuParams p;
  bool from_file = false;
  if (f) {
    const long size = file_size(f.get());
    std::vector<uint8_t> bytes(static_cast<size_t>(std::clamp<long>(size, 0, 64)));
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), f.get());
    bytes.resize(got);
    from_file = parse_drnu_params(bytes, p);
    if (!from_file) KX_WRN("%s too short (%zu bytes): defaults used\n", path.c_str(), got);
  }
  if (from_file) {
    int mode = 12000;
    switch (p.calib_freq_khz) {
      case 24000:
        mode = 1;
        break;
      case 12000:
        mode = 2;
        break;
      case 36000:
        mode = 0;
        break;
      default:
        KX_ERR("Not supported freq\n");
        break;
    }
    if (p.has_freq) set_modulation_frequency(mode, cfg_.dev_address);
    KX_DBG("Clib Freq:%d k\n", static_cast<int>(p.calib_freq_khz));
    KX_DBG("gOffsetDRNU_Temp0:%d\n", static_cast<int>(p.offset_drnu));
    KX_DBG("gTempCal0:%d\n", static_cast<int>(p.temp_cal));
    KX_DBG("gStepCalMM0:%2.4f\n", p.step_cal_mm);
    KX_DBG("gTempCalIb0:%d\n", static_cast<int>(p.temp_cal_ib));
    drnu_.calib_freq_khz = p.calib_freq_khz;
    drnu_.offset_drnu = p.offset_drnu;
    drnu_.temp_cal = p.temp_cal;
    drnu_.step_cal_mm = p.step_cal_mm;
    drnu_.temp_cal_ib = p.temp_cal_ib;
  } else {
    drnu_.offset_drnu = 8364;
    drnu_.temp_cal = 361;
    drnu_.step_cal_mm = 298.2;
    drnu_.temp_cal_ib = 341;
  }
  drnu_.params_from_file = from_file;
  compute_default_offset_phase();
  return 0;
}

uint64_t new_table_stamp() {
  static std::atomic<uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

int Chip::load_distance_images(int set) {
  KX_LOG_NAME("calibrationLoadDistanceImages");
  set &= 1;
  const std::string path = path_of(distance_images_name());
  const size_t pixels = static_cast<size_t>(drnu_.calib_width) * drnu_.calib_height;
  File f(std::fopen(path.c_str(), "rb"));
  const long size = f ? file_size(f.get()) : 0;
  int n = kMaxDistances;
  if (size >= 1)
    n = static_cast<int>(
        std::min<long>(size / static_cast<long>(pixels * 2), static_cast<long>(kMaxDistances)));
  if (cfg_.modulation_frequency == 36000) n = 20;
  drnu_.num_distances = n;
  if (!f) {
    KX_DBG("Can not open %s file\n", path.c_str());
    return -1;
  }
  KX_DBG("%s\n", path.c_str());
  std::vector<uint16_t> images, raw;
  try {
    images.resize(static_cast<size_t>(n) * pixels);
    raw.resize(images.size());
  } catch (const std::bad_alloc &) {
    KX_ERR("malloc failed\n");
    return -1;
  }
  const size_t want = images.size() * sizeof(uint16_t);
  if (n < 1 || std::fread(images.data(), 1, want, f.get()) != want) {
    KX_ERR("Loading failed\n");
    drnu_.images_loaded = false;
    drnu_.table[static_cast<size_t>(set)].clear();
    drnu_.table_stamp[static_cast<size_t>(set)] = new_table_stamp();
    return -1;
  }
  const LinearCorrection lc =
      linear_correction(images, pixels, n, drnu_.calib_freq_khz, drnu_.step_cal_mm);
  if (!lc.derived) KX_WRN("no valid phases to derive scale and offset: unity used\n");
  drnu_.scale_m = lc.scale_m;
  drnu_.offset_mm = lc.offset_mm;
  for (int k = 0; k < n; ++k)
    dcs_unsort(raw.data() + static_cast<size_t>(k) * pixels,
               images.data() + static_cast<size_t>(k) * pixels, drnu_.calib_width,
               drnu_.calib_height);
  std::vector<uint16_t> &table = drnu_.table[static_cast<size_t>(set)];
  table.resize(images.size());
  for (size_t p = 0; p < pixels; ++p)
    for (int k = 0; k < n; ++k)
      table[p * static_cast<size_t>(n) + static_cast<size_t>(k)] =
          raw[static_cast<size_t>(k) * pixels + p];
  drnu_.table_stamp[static_cast<size_t>(set)] = new_table_stamp();
  drnu_.images_loaded = true;
  return 0;
}

}  // namespace torvi::epc
