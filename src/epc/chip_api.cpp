// The exported chip-library calls and globals: they act on the default chip.
#include <torvi/epc_chip.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "core/c_entry.h"
#include "epc/chip.h"

extern "C" {
TORVI_API uint16_t distImagesDRNU[2][TORVI_DRNU_SET_VALUES];
TORVI_API int32_t g_calib_scale_m = 1000;
TORVI_API int32_t g_calib_offset_mm = 0;
}

static_assert(sizeof distImagesDRNU[0] == 4959360);
static_assert(TORVI_DRNU_SET_VALUES == torvi::epc::kDrnuSetValues);

namespace torvi::epc {

namespace {

// Guards which chip is the default and the copy into the exported globals.
std::mutex g_default_mu;
Chip g_standalone;
std::atomic<Chip *> g_default{&g_standalone};

void publish_locked(const Chip &chip) {
  g_calib_scale_m = chip.drnu().scale_m;
  g_calib_offset_mm = chip.drnu().offset_mm;
  for (size_t s = 0; s < 2; ++s) {
    std::span<const uint16_t> t = chip.table(static_cast<int>(s));
    const size_t n = std::min(t.size(), kDrnuSetValues);
    std::copy_n(t.begin(), n, distImagesDRNU[s]);
    std::fill(distImagesDRNU[s] + n, distImagesDRNU[s] + kDrnuSetValues, uint16_t{0});
  }
}

}  // namespace

Chip &default_chip() { return *g_default.load(std::memory_order_acquire); }

void make_default(Chip &chip) {
  std::lock_guard lock(g_default_mu);
  g_default.store(&chip, std::memory_order_release);
  publish_locked(chip);
}

void publish_if_default(const Chip &chip) {
  std::lock_guard lock(g_default_mu);
  if (g_default.load(std::memory_order_acquire) == &chip) publish_locked(chip);
}

void release_default(const Chip &chip) {
  std::lock_guard lock(g_default_mu);
  if (g_default.load(std::memory_order_acquire) == &chip)
    g_default.store(&g_standalone, std::memory_order_release);
}

}  // namespace torvi::epc

using torvi::epc::default_chip;

namespace {

// Copies a name with its suffix into buf and returns its length without it.
int put_name(char *buf, const std::string &name) {
  std::memcpy(buf, name.c_str(), name.size() + 1);
  constexpr size_t kSuffix = sizeof "_10.bin" - 1;
  return static_cast<int>(name.size() - kSuffix);
}

}  // namespace

extern "C" {

TORVI_API int i2c(int addr, int op, int reg, int cnt, uint8_t *buf) {
  return torvi::c_entry(__func__, -1, [&] { return default_chip().i2c(addr, op, reg, cnt, buf); });
}

TORVI_API void configSetPartType(int t) { default_chip().set_part_type(t); }
TORVI_API int configGetPartType(void) { return default_chip().config().part_type; }
TORVI_API void configSetPartVersion(int v) { default_chip().set_part_version(v); }
TORVI_API void configSetIcVersion(int v) { default_chip().config().ic_type = v; }
TORVI_API int configGetIcVersion(void) { return default_chip().config().ic_type; }
TORVI_API void configSetWaferID(int id) { default_chip().config().wafer_id = id; }
TORVI_API int configGetWaferID(void) { return default_chip().config().wafer_id; }
TORVI_API void configSetChipID(int id) { default_chip().config().chip_id = id; }
TORVI_API int configGetChipID(void) { return default_chip().config().chip_id; }
TORVI_API void configSetDeviceAddress(int addr) { default_chip().config().dev_address = addr; }
TORVI_API int configGetDeviceAddress(void) { return default_chip().config().dev_address; }
TORVI_API int configIsFLIM(void) { return default_chip().config().is_flim ? 1 : 0; }
TORVI_API int configGetModFreqMode(void) { return default_chip().config().mod_freq_mode; }
TORVI_API void epcSetExtModEnable(int flag) { default_chip().config().ext_mode = flag != 0; }
TORVI_API int epcgetExtModEnable(void) { return default_chip().config().ext_mode ? 1 : 0; }

TORVI_API void configInit(int addr) {
  torvi::c_entry_void(__func__, [&] { default_chip().init(addr); });
}
TORVI_API void configLoadParameters(void) {
  torvi::c_entry_void(__func__, [&] { default_chip().load_parameters(); });
}
TORVI_API void configSetModulationFrequency(int mode, int addr) {
  torvi::c_entry_void(__func__, [&] { default_chip().set_modulation_frequency(mode, addr); });
}
TORVI_API int configGetModulationFrequency(void) {
  return static_cast<int>(default_chip().modulation_frequency());
}
TORVI_API int configSetIntegrationTime3D(unsigned t) {
  return torvi::c_entry(__func__, -1, [&] { return default_chip().set_integration_time_3d(t); });
}
TORVI_API int configGetIntegrationTime3D(void) {
  return static_cast<int>(default_chip().config().integration_time_3d);
}
TORVI_API int configEnableHDR(int flag, int addr) {
  return torvi::c_entry(__func__, -1, [&] { return default_chip().enable_hdr(flag, addr); });
}
TORVI_API int calculationIsHDR(void) { return default_chip().is_hdr() ? 1 : 0; }
TORVI_API int configEnableABS(int flag, int addr) {
  return torvi::c_entry(__func__, -1, [&] { return default_chip().enable_abs(flag, addr); });
}
TORVI_API int configIsABS(int addr) {
  return torvi::c_entry(__func__, -1, [&] { return default_chip().is_abs(addr); });
}
TORVI_API void printChipParam(void) {
  torvi::c_entry_void(__func__, [&] { default_chip().print_chip_param(); });
}

TORVI_API int calibrationGetDistanceImagesName(char *buf) {
  return torvi::c_entry(__func__, -1, [&] {
    torvi::check_arg(buf != nullptr, "buf is NULL");
    return put_name(buf, default_chip().distance_images_name());
  });
}
TORVI_API int calibrationGetParamName(char *buf) {
  return torvi::c_entry(__func__, -1, [&] {
    torvi::check_arg(buf != nullptr, "buf is NULL");
    return put_name(buf, default_chip().param_name());
  });
}
TORVI_API int calibrationDataFileCheck(int /*src*/) {
  return torvi::c_entry(__func__, -1, [&] { return default_chip().data_file_check(); });
}
TORVI_API int calibrationLoadDRNU_LUT(void) {
  return torvi::c_entry(__func__, -1, [&] {
    const int r = default_chip().load_drnu_lut();
    torvi::epc::publish_if_default(default_chip());
    return r;
  });
}
TORVI_API int calibrationLoadDistanceImages(int set) {
  return torvi::c_entry(__func__, -1, [&] {
    const int r = default_chip().load_distance_images(set);
    torvi::epc::publish_if_default(default_chip());
    return r;
  });
}
TORVI_API int calibrateGetTempCalib(void) {
  return static_cast<int>(default_chip().drnu().temp_cal);
}
TORVI_API int calibrateGetIbTempCalib(void) {
  return static_cast<int>(default_chip().drnu().temp_cal_ib);
}
TORVI_API double calibrateGetStepCalMM(void) { return default_chip().drnu().step_cal_mm; }
TORVI_API int calibrationGetOffsetDRNU(void) {
  return static_cast<int>(default_chip().drnu().offset_drnu);
}
TORVI_API int calibrateGetNumDistances(void) { return default_chip().drnu().num_distances; }
TORVI_API int calibrateGetCalibFrequency(void) {
  return static_cast<int>(default_chip().drnu().calib_freq_khz);
}
TORVI_API int calibrationIsLoaded(void) { return default_chip().drnu().images_loaded ? 1 : 0; }

TORVI_API void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int width, int height) {
  torvi::c_entry_void(__func__, [&] {
    torvi::check_arg(dst != nullptr && src != nullptr && width > 0 && height > 0 && height % 2 == 0,
                     "dst=%p src=%p %dx%d", static_cast<void *>(dst),
                     static_cast<const void *>(src), width, height);
    torvi::epc::dcs_sort(dst, src, width, height);
  });
}
TORVI_API void calc_dcs_unsort(uint16_t *dst, const uint16_t *src, int width, int height) {
  torvi::c_entry_void(__func__, [&] {
    torvi::check_arg(dst != nullptr && src != nullptr && width > 0 && height > 0 && height % 2 == 0,
                     "dst=%p src=%p %dx%d", static_cast<void *>(dst),
                     static_cast<const void *>(src), width, height);
    torvi::epc::dcs_unsort(dst, src, width, height);
  });
}

}  // extern "C"
