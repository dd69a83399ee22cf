// Calibration package: download from the camera in data-upload mode, unzip
// into the path prefix, split into the two calibration files, load them.
#include <torvi/epc_driver.h>
#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_zip.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "core/c_entry.h"
#include "drivers/epc/calib_package.h"
#include "drivers/epc/epc_driver_internal.h"
#include "drivers/epc/epc_state.h"
#include "drivers/epc/lens_param.h"
#include "drivers/registry_internal.h"

namespace torvi::epc {

namespace {

constexpr int kDownloadFrameBuffer = 12288000;
constexpr uint8_t kModeDataUpload = 9;
constexpr uint8_t kModeNormal = 0;
constexpr size_t kSplitBlock = 256;

bool set_mode(torvi_dev_t *dev, uint8_t mode) {
  torvi_param_t p{};
  p.number = 0;
  p.len = 1;
  p.value[0] = mode;
  return torvi_param_batch_set(dev, &p, 1);
}

void remove_quiet(const std::string &path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

bool write_file(const std::string &path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// Entries that zip_extract wrote, so that a failed extraction leaves none.
struct ExtractLog {
  int total = 1;
  std::vector<std::string> files;
};

int on_entry(const char *filename, void *arg) {
  auto *log = static_cast<ExtractLog *>(arg);
  on_extract_to_folder_entry(filename, &log->total);
  log->files.emplace_back(filename);
  return 0;
}

bool is_regular(const std::string &path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

// The whole of a regular file; false for anything else or a read error.
bool read_regular_file(const std::string &path, std::vector<uint8_t> &out) {
  if (!is_regular(path)) return false;
  std::unique_ptr<std::FILE, int (*)(std::FILE *)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) return false;
  uint8_t chunk[4096];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0)
    out.insert(out.end(), chunk, chunk + n);
  return std::ferror(f.get()) == 0;
}

std::mutex &package_files_mutex() {
  static std::mutex mu;
  return mu;
}

}  // namespace

bool split_calib_file(const std::string &prefix, const epc_drv_state_t &st,
                      const std::string &path) {
  KX_LOG_NAME("_parse_file_ex");
  std::vector<uint8_t> bytes;
  if (!read_regular_file(path, bytes)) {
    KX_ERR("%s open failed\n", path.c_str());
    return false;
  }
  const size_t param_len = bytes.size() % kSplitBlock;
  if (param_len == 0 || bytes.size() == param_len) {
    KX_ERR("%s: %zu bytes do not hold a parameter file and distance images\n", path.c_str(),
           bytes.size());
    return false;
  }
  const bool ext = st.chip->config().ext_mode;
  const char *images_name = st.calib_names[ext ? 0 : 2];
  const char *param_name = st.calib_names[ext ? 1 : 3];
  const std::string param_path = prefix + param_name;
  const std::string images_path = prefix + images_name;
  const std::span<const uint8_t> all(bytes);
  if (!write_file(param_path, all.subspan(0, param_len))) {
    KX_ERR("%s open failed\n", param_name);
    remove_quiet(param_path);
    return false;
  }
  if (!write_file(images_path, all.subspan(param_len))) {
    KX_ERR("%s open failed\n", images_name);
    remove_quiet(param_path);
    remove_quiet(images_path);
    return false;
  }
  remove_quiet(path);
  return true;
}

bool parse_package(torvi_dev_t *dev, const epc_drv_state_t &st, std::span<const uint8_t> frame,
                   bool *lens_extracted) {
  if (lens_extracted != nullptr) *lens_extracted = false;
  KX_LOG_NAME("_calib_pk_parse");
  const std::string prefix = files_prefix(dev);
  PackageHeader h;
  switch (parse_package_header(frame, h)) {
    case PackageCheck::ok:
      break;
    case PackageCheck::short_header:
      KX_ERR("package of %zu bytes has no header\n", frame.size());
      return false;
    case PackageCheck::not_valid:
      KX_DBG("Data not valid\n");
      return false;
    case PackageCheck::not_zip:
      KX_WRN("No zip used\n");
      return false;
    case PackageCheck::past_end:
      KX_ERR("payload of %u bytes runs past the %zu-byte frame\n", h.payload_len, frame.size());
      return false;
  }
  const std::string zip_path = prefix + "tmp.zip";
  if (!write_file(zip_path, frame.subspan(kPackageHeaderBytes, h.payload_len))) {
    KX_ERR("%s open failed\n", zip_path.c_str());
    remove_quiet(zip_path);
    return false;
  }
  ExtractLog log;
  if (zip_extract(zip_path.c_str(), prefix.c_str(), on_entry, &log) < 0) {
    KX_ERR("%s zip failed\n", zip_path.c_str());
    for (const std::string &f : log.files) remove_quiet(f);
    remove_quiet(zip_path);
    return false;
  }
  KX_DBG("unzip %s OK\n", zip_path.c_str());
  if (lens_extracted != nullptr)
    for (const std::string &f : log.files)
      *lens_extracted |= std::filesystem::path(f).filename() == "lens_param.txt";
  remove_quiet(zip_path);
  char name[64];
  std::snprintf(name, sizeof name, "calib_and_param_%03i.bin", st.chip->config().chip_id);
  // The package names its file after the chip; any calib_and_param file the
  // archive holds is accepted, the chip's own name first.
  std::string found;
  if (is_regular(prefix + name)) {
    found = name;
  } else {
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(prefix, ec)) {
      const std::string n = e.path().filename().string();
      if (n.rfind("calib_and_param", 0) == 0 && is_regular(e.path().string()) && n.size() > 4 &&
          n.compare(n.size() - 4, 4, ".bin") == 0) {
        found = n;
        break;
      }
    }
  }
  if (found.empty()) {
    KX_LOG_AT(KX_LOG_ERR, "_parase_file", "cann't find file in %s/calib_and_param*.bin\n",
              prefix.c_str());
    KX_DBG("_parase_file failed\n");
    for (const std::string &f : log.files) remove_quiet(f);
    return false;
  }
  KX_LOG_AT(KX_LOG_DBG, "_parase_file", "find:%s\n", found.c_str());
  KX_LOG_AT(KX_LOG_DBG, "_parase_file", "parse...\n");
  if (!split_calib_file(prefix, st, prefix + found)) {
    KX_LOG_AT(KX_LOG_DBG, "_parase_file", "parse fail: %s\n", found.c_str());
    for (const std::string &f : log.files) remove_quiet(f);
    return false;
  }
  return true;
}

// Downloads and unpacks the package. False when the camera could not be put
// into data-upload mode, has no calibration or memory runs out.
bool load_calib_data(torvi_dev_t *dev, epc_drv_state_t &st) {
  KX_LOG_NAME("_load_calib_data");
  torvi_cap_set_frame_buffer(dev, nullptr, kDownloadFrameBuffer);
  torvi_cap_set_callback_on_error(dev, nullptr);
  torvi_cap_set_callback_on_frame_ready(dev, nullptr);
  if (!set_mode(dev, kModeDataUpload)) {
    KX_ERR(" set mode to DATA_UP failed!\n");
    return false;
  }
  torvi_param_t info{};
  info.number = 8;
  if (!torvi_param_batch_get(dev, &info, 1)) {
    KX_ERR(" get param of calib data failed!\n");
    set_mode(dev, kModeNormal);
    return false;
  }
  const CalibInfo ci = parse_calib_info(info.value);
  if (ci.valid != 1) {
    KX_DBG("%s: fsize:%d, valid data size:%d, ck_sum:%d, version:%d\n", "Calib data not valid",
           static_cast<int>(ci.fsize), static_cast<int>(ci.valid_size), ci.ck_sum,
           static_cast<int>(ci.version));
    set_mode(dev, kModeNormal);
    return false;
  }
  std::vector<uint8_t> frame;
  try {
    frame.resize(ci.fsize);
  } catch (const std::bad_alloc &) {
    KX_ERR("malloc of %u bytes failed\n", ci.fsize);
    set_mode(dev, kModeNormal);
    return false;
  }
  torvi_frame_info_t finfo{};
  int got = 0;
  if (torvi_cap_start(dev)) {
    got = torvi_cap_get_frames(dev, 1, frame.data(), ci.fsize, &finfo);
    KX_DBG("get %d frames: [%u, %ux%u, %u]\n", got, finfo.frame_idx, finfo.width, finfo.height,
           finfo.frame_format);
  }
  if (got == 1) {
    // The package's transient files have fixed names in the path prefix:
    // one camera at a time writes, unpacks and splits them.
    std::lock_guard lock(package_files_mutex());
    const size_t len = std::min<size_t>(ci.fsize, finfo.frame_size);
    const std::string pkg = files_prefix(dev) + "calibration.bin";
    bool lens_extracted = false;
    if (write_file(pkg, std::span<const uint8_t>(frame).subspan(0, len))) {
      if (parse_package(dev, st, std::span<const uint8_t>(frame).subspan(0, len),
                        &lens_extracted) &&
          lens_extracted)
        // The first open uses the lens of the package it just unpacked.
        update_lens_param(files_prefix(dev).c_str(), st.lens);
    } else {
      KX_ERR("%s open failed\n", pkg.c_str());
    }
    remove_quiet(pkg);
  } else {
    KX_DBG("capturing is stopped due to some error!\n");
  }
  torvi_cap_stop(dev);
  set_mode(dev, kModeNormal);
  return true;
}

int calib_save(torvi_drv_t *drv) {
  KX_LOG_NAME("epc_calib_save");
  epc_drv_state_t *st = epc_state(drv);
  if (st == nullptr || drv->dev == nullptr) {
    KX_ERR("Load calibration data failed\n");
    return -1;
  }
  Chip &chip = *st->chip;
  const std::string images = chip.distance_images_name();
  const std::string params = chip.param_name();
  for (int i = 0; i < 4; ++i)
    std::snprintf(st->calib_names[i], sizeof st->calib_names[i], "%s",
                  (i % 2 == 0 ? images : params).c_str());
  const bool downloaded = chip.data_file_check() < 0;
  if (downloaded && !load_calib_data(drv->dev, *st)) {
    KX_ERR("Load calibration data failed\n");
    return -1;
  }
  if (downloaded) {
    kx_calib_len_init_map(&st->lens_map, &st->lens);
    publish_lens_if_default(drv, *st);
  }
  make_default(chip);
  chip.init(kDeviceAddress);
  st->drnu_en = 1;
  derive_decode_constants(*st);
  st->calib_state = 0;
  return 0;
}

}  // namespace torvi::epc

extern "C" TORVI_API int epc_calib_save(torvi_drv_t *drv, void *, int, int) {
  return torvi::c_entry(__func__, -1, [&] { return torvi::epc::calib_save(drv); });
}
