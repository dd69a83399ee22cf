// The chip configuration of one sensor: register access through its camera,
// start-up, modulation frequency, integration times, HDR and ambient-light
// suppression, and the inner models that the start-up drives.
#include <torvi/torvi_dev.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/log_internal.h"
#include "epc/chip.h"
#include "epc/registers.h"

namespace torvi::epc {

namespace {

constexpr int kMaxI2cRegisters = 257;
constexpr int kSensorTarget = 1;

// Divider code of register 133 and table entry for each frequency mode.
struct ModEntry {
  int entry;
  uint8_t code;
};
ModEntry mod_entry_for(int mode) {
  switch (mode) {
    case 0:
      return {0, 0};
    case 1:
      return {1, 0};
    case 3:
      return {3, 3};
    case 4:
      return {4, 7};
    case 5:
      return {5, 15};
    case 6:
      return {6, 31};
    default:
      return {2, 1};
  }
}

}  // namespace

double Kalman::step(double measurement) {
  if (!initialised) return measurement;
  p += q;
  const double k = p / (p + r);
  x += k * (measurement - x);
  p *= 1.0 - k;
  return x;
}

Chip::~Chip() { release_default(*this); }

int Chip::i2c(int addr, int op, int reg, int cnt, uint8_t *buf) {
  if (addr >= 128 || addr < 0) {
    std::puts("Device address is out of range.");
    return -1;
  }
  if (reg >= 256 || reg < 0) {
    std::puts("Register address is out of range.");
    return -1;
  }
  if (cnt > kMaxI2cRegisters) {
    std::printf("rw much data: %d\n", cnt);
    return -1;
  }
  switch (op) {
    case 'r': {
      std::array<uint32_t, kMaxI2cRegisters> values{};
      if (cnt < 1 || buf == nullptr || dev_ == nullptr ||
          !torvi_reg_batch_read(dev_, kSensorTarget, reg, values.data(), cnt)) {
        std::puts("reg read faild!");
        return -1;
      }
      for (int i = 0; i < cnt; ++i) buf[i] = static_cast<uint8_t>(values[static_cast<size_t>(i)]);
      return 0;
    }
    case 'w': {
      std::array<uint32_t, kMaxI2cRegisters> values{};
      if (cnt < 1 || buf == nullptr || dev_ == nullptr) {
        std::puts("reg write fail!");
        return -1;
      }
      for (int i = 0; i < cnt; ++i) values[static_cast<size_t>(i)] = buf[i];
      if (!torvi_reg_batch_write(dev_, kSensorTarget, reg, values.data(), cnt)) {
        std::puts("reg write fail!");
        return -1;
      }
      return 0;
    }
    case 's':
      if (dev_ == nullptr || !torvi_dev_reset(dev_, 1)) {
        std::puts("reset tfc device failed!");
        return -1;
      }
      return 0;
    case 'd':
      if (buf == nullptr) return -1;
      buf[0] = kDeviceAddress;
      buf[1] = 255;
      return 0;
    case 'l':
      std::printf("uncompleted function : %s!\n", "<i2c device reload>");
      return 0;
    default:
      std::puts(
          "Invalid operation: Only 'd' (devices), 'r' (read), 'w' (write) and 's' (software "
          "reset) are allowed.");
      return -1;
  }
}

void Chip::set_part_type(int t) {
  cfg_.part_type = t;
  cfg_.chip_type = cfg_.part_version + 10 * cfg_.part_type;
}

void Chip::set_part_version(int v) {
  cfg_.part_version = v;
  cfg_.chip_type = cfg_.part_version + 10 * cfg_.part_type;
}

// Chooses the coarse demodulation delay for the current modulation clock
// (one step per 4 MHz, at most 15) and writes it to the delay register.
void Chip::determine_demodulation_delay(int addr) {
  dll_.delay_steps = static_cast<int>(std::min<uint32_t>(15, cfg_.modulation_frequency / 4000));
  uint8_t v = static_cast<uint8_t>(dll_.delay_steps);
  i2c(addr, 'w', reg::kDllDelay, 1, &v);
  dll_.determined = true;
}

void Chip::init_temperature() {
  adc_.channel_open.fill(false);
  adc_.channel_open[2] = true;
  adc_.channel_open[4] = true;
}

void Chip::init_readout() { readout_.initialised = true; }

// No per-pixel gain/offset table is kept on the host for this sensor: the
// correction stays unity and the load reports that nothing was loaded.
int Chip::load_gray_gain_offset() {
  gray_ = GrayGainOffset{};
  return -1;
}

void Chip::init_kalman() {
  kalman_dist_ = Kalman{true, 1.0, 25.0, 0, 1000.0};
  kalman_temp_ = Kalman{true, 0.01, 4.0, static_cast<double>(drnu_.temp_cal), 100.0};
}

void Chip::init(int addr) {
  determine_demodulation_delay(addr);
  uint8_t ctl = 0;
  i2c(addr, 'r', reg::kDllControl, 1, &ctl);
  ctl = static_cast<uint8_t>(ctl | reg::kDllBypassBit);
  i2c(addr, 'w', reg::kDllControl, 1, &ctl);
  dll_.bypassed = true;
  const bool small = cfg_.part_type == 4 || cfg_.part_type == 5;
  drnu_.calib_width = small ? 160 : 320;
  drnu_.calib_height = small ? 60 : 240;
  cfg_.g_x = 16;
  cfg_.g_y = 57;
  cfg_.g_m = 52;
  cfg_.g_c = 141;
  cfg_.g_l = 0;
  cfg_.g_z = -268;
  cfg_.sequencer_version = 9;
  cfg_.is_flim = false;
  if (cfg_.g_print > 0)
    KX_LOG_AT(KX_LOG_DBG, "configGetModulationFrequency", "---- modulation frequency = %i ----\n",
              static_cast<int>(cfg_.modulation_frequency));
  uint8_t r130 = 0, r129 = 0;
  i2c(addr, 'r', reg::kPllMultiplier, 1, &r130);
  i2c(addr, 'r', reg::kPllDivider, 1, &r129);
  cfg_.modulation_frequencies[0] = 36000;
  const uint32_t base = ((static_cast<uint32_t>(r130) & 0x1F) + 1) * 4000 >> ((r129 >> 4) & 3);
  for (int i = 1; i < kModFreqEntries; ++i)
    cfg_.modulation_frequencies[static_cast<size_t>(i)] = base / (4u << (i - 1));
  drnu_.num_distances = kMaxDistances;
  init_temperature();
  init_readout();
  if (small) {
    uint8_t v = 99;
    i2c(addr, 'w', reg::kSmallSensorTrim, 1, &v);
  }
  uint8_t zero[3] = {0, 0, 0};
  i2c(addr, 'w', reg::kRowControl0, 3, zero);
  uint8_t four = 4;
  i2c(addr, 'w', reg::kSequencerControl, 1, &four);
  cfg_.enabled_grayscale = true;
  if (load_gray_gain_offset() < 0) cfg_.enabled_grayscale = false;
  cfg_.enabled_drnu = true;
  load_drnu_lut();
  cfg_.correction_bg_mode = 0;
  load_parameters();
  cfg_.enabled_drnu2 = true;
  if (load_distance_images(cfg_.ext_mode ? 0 : 1) < 0) {
    cfg_.enabled_drnu2 = false;
    cfg_.enabled_drnu = false;
  }
  init_kalman();
  if (cfg_.enabled_drnu2) {
    cfg_.calc_enable_drnu = 2;
    cfg_.enabled_temperature_correction = true;
    cfg_.calc_enable_temperature = true;
  }
  print_chip_param();
  publish_if_default(*this);
}

void Chip::set_ambient_factor_for(uint32_t t) {
  cfg_.ambient_light_factor =
      cfg_.ambient_light_factor_base / std::sqrt(static_cast<double>(std::max<uint32_t>(t, 1)));
}

void Chip::load_parameters() {
  static constexpr const char *kFn = "configLoadParameters";
  cfg_.ambient_light_factor_base = 250.0;
  cfg_.g_print = 0;
  cfg_.diff_temp = 7;
  cfg_.drnu_delay = 5000;
  cfg_.num_averaged_frames = 25;
  cfg_.epc635_temperature_coeff = 1.56131;
  cfg_.epc660_temperature_coeff = 1.7;
  cfg_.speed_of_light_div2 = 149896229.0;
  cfg_.epc660_ib_temperature_coeff = 0.33765;
  KX_LOG_AT(KX_LOG_DBG, kFn, "ambientLightFactor = %2.4f\n", cfg_.ambient_light_factor_base);
  KX_LOG_AT(KX_LOG_DBG, kFn, "print = %d\n", cfg_.g_print);
  KX_LOG_AT(KX_LOG_DBG, kFn, "diffTemp = %d\n", cfg_.diff_temp);
  KX_LOG_AT(KX_LOG_DBG, kFn, "drnuDelay = %d\n", cfg_.drnu_delay);
  KX_LOG_AT(KX_LOG_DBG, kFn, "numAveragedFrames = %d\n", cfg_.num_averaged_frames);
  KX_LOG_AT(KX_LOG_DBG, kFn, "epc635_TemperatureCoeff = %2.6f\n", cfg_.epc635_temperature_coeff);
  KX_LOG_AT(KX_LOG_DBG, kFn, "epc660_TemperatureCoeff = %2.6f\n", cfg_.epc660_temperature_coeff);
  KX_LOG_AT(KX_LOG_DBG, kFn, "speed of light div 2 = %2.2f\n", cfg_.speed_of_light_div2);
  KX_LOG_AT(KX_LOG_DBG, kFn, "epc660_IbTemperatureCoeff = %2.6f\n",
            cfg_.epc660_ib_temperature_coeff);
  set_ambient_factor_for(cfg_.integration_time_3d);
}

uint32_t Chip::modulation_frequency() const {
  if (cfg_.g_print > 0)
    KX_LOG_AT(KX_LOG_DBG, "configGetModulationFrequency", "---- modulation frequency = %i ----\n",
              static_cast<int>(cfg_.modulation_frequency));
  return cfg_.modulation_frequency;
}

bool Chip::send_param13(uint32_t t) {
  if (dev_ == nullptr) return false;
  torvi_param_t p{};
  p.number = 13;
  p.len = 2;
  p.value[0] = static_cast<uint8_t>(t & 0xFF);
  p.value[1] = static_cast<uint8_t>((t >> 8) & 0xFF);
  return torvi_param_batch_set(dev_, &p, 1);
}

void Chip::set_modulation_frequency(int mode, int addr) {
  const ModEntry m = mod_entry_for(mode);
  cfg_.modulation_frequency = cfg_.modulation_frequencies[static_cast<size_t>(m.entry)];
  cfg_.mod_freq_mode = mode;
  uint8_t code = m.code;
  i2c(addr, 'w', reg::kModDivider, 1, &code);
  uint8_t ctl = cfg_.mod_freq_mode != 0 ? 63 : 127;
  i2c(addr, 'w', reg::kModControl, 1, &ctl);
  if (cfg_.current_mode == 0 && cfg_.integration_time_2d <= kIntegration2DMax)
    send_param13(cfg_.integration_time_2d);
  if (cfg_.integration_time_3d <= kIntegration3DMax)
    set_integration_time_3d(cfg_.integration_time_3d);
}

// Integration-time registers: 16-bit times in microseconds (160/161 and
// 162/163) and the HDR switch (158).
void Chip::set_integration_times_hdr() {
  const auto t1 = static_cast<uint16_t>(std::min<uint32_t>(cfg_.integration_time_3d, 0xFFFF));
  const auto t2 = static_cast<uint16_t>(std::min<uint32_t>(cfg_.integration_time_3d_hdr, 0xFFFF));
  uint8_t a[2] = {static_cast<uint8_t>(t1 >> 8), static_cast<uint8_t>(t1 & 0xFF)};
  uint8_t b[2] = {static_cast<uint8_t>(t2 >> 8), static_cast<uint8_t>(t2 & 0xFF)};
  uint8_t h = readout_.hdr ? 1 : 0;
  i2c(cfg_.dev_address, 'w', reg::kIntegrationTime1, 2, a);
  i2c(cfg_.dev_address, 'w', reg::kIntegrationTime2, 2, b);
  i2c(cfg_.dev_address, 'w', reg::kHdrControl, 1, &h);
}

int Chip::set_integration_time_3d(uint32_t t) {
  if (t > kIntegration3DMax) return -1;
  if (readout_.hdr) {
    cfg_.integration_time_3d = t;
    set_integration_times_hdr();
  } else {
    if (cfg_.current_mode == 1) send_param13(t);
    cfg_.integration_time_3d = t;
    const int base_time = cfg_.dcs_add_base_time;
    cfg_.dcs_add_threshold =
        static_cast<int>(t) > base_time
            ? cfg_.dcs_add_base + (static_cast<int>(t) - base_time) * cfg_.dcs_add_gain
            : cfg_.dcs_add_base;
  }
  set_ambient_factor_for(t);
  return 0;
}

int Chip::set_integration_time_2d(uint32_t t) {
  if (t > kIntegration2DMax) return -1;
  cfg_.integration_time_2d = t;
  if (cfg_.current_mode == 0) send_param13(t);
  return 0;
}

int Chip::enable_hdr(int flag, int addr) {
  (void)addr;
  readout_.hdr = flag != 0;
  set_integration_times_hdr();
  return flag != 0 ? 1 : 0;
}

int Chip::enable_abs(int flag, int addr) {
  cfg_.abs_enabled = flag != 0;
  for (int r : {reg::kAbs0, reg::kAbs1, reg::kAbs2, reg::kAbs3}) {
    uint8_t v = 0;
    i2c(addr, 'r', r, 1, &v);
    v = static_cast<uint8_t>(flag != 0 ? (v | reg::kAbsBits) : (v & ~reg::kAbsBits));
    i2c(addr, 'w', r, 1, &v);
  }
  return 0;
}

int Chip::is_abs(int addr) {
  uint8_t v = 0;
  i2c(addr, 'r', reg::kAbs0, 1, &v);
  return (v & reg::kAbsBits) == reg::kAbsBits ? 1 : 0;
}

void Chip::set_roi(int col_min, int col_max, int row_min, int row_max) {
  readout_.col_min = col_min;
  readout_.col_max = col_max;
  readout_.row_min = row_min;
  readout_.row_max = row_max;
  uint8_t v[6] = {static_cast<uint8_t>(col_min >> 8), static_cast<uint8_t>(col_min & 0xFF),
                  static_cast<uint8_t>(col_max >> 8), static_cast<uint8_t>(col_max & 0xFF),
                  static_cast<uint8_t>(row_min),      static_cast<uint8_t>(row_max)};
  i2c(cfg_.dev_address, 'w', reg::kRoiFirst, 6, v);
}

void Chip::set_frame_temperatures(int16_t sensor, int16_t board) {
  adc_.sensor_tenths = sensor;
  adc_.board_tenths = board;
  ++adc_.readings;
}

void Chip::set_readout_size(int width, int half_height) {
  readout_.frame_width = width;
  readout_.frame_half_height = half_height;
}

void Chip::print_chip_param() const {
  static constexpr const char *kFn = "printChipParam";
  auto line = [](const char *name, int v) { KX_LOG_AT(KX_LOG_DBG, kFn, "%s: %d \n", name, v); };
  KX_LOG_AT(KX_LOG_DBG, kFn, "*** device type and IDs: \n");
  line("chip_type", cfg_.chip_type);
  line("partType", cfg_.part_type);
  line("partVersion", cfg_.part_version);
  line("icType", cfg_.ic_type);
  line("waferID", cfg_.wafer_id);
  line("chipID", cfg_.chip_id);
  line("sequencerVersion", cfg_.sequencer_version);
  KX_LOG_AT(KX_LOG_DBG, kFn, "devAddress: 0x%x \n", static_cast<unsigned>(cfg_.dev_address));
  KX_LOG_AT(KX_LOG_DBG, kFn, "*** runtime settings: \n");
  line("currentMode", cfg_.current_mode);
  line("modulationFrequency", static_cast<int>(cfg_.modulation_frequency));
  for (int i = 0; i < kModFreqEntries; ++i)
    KX_LOG_AT(KX_LOG_DBG, kFn, "modulationFrequencies[%d]: %d \n", i,
              static_cast<int>(cfg_.modulation_frequencies[static_cast<size_t>(i)]));
  line("modFreqMode", cfg_.mod_freq_mode);
  line("integrationTime2D", static_cast<int>(cfg_.integration_time_2d));
  line("integrationTime3D", static_cast<int>(cfg_.integration_time_3d));
  line("integrationTime3DHDR", static_cast<int>(cfg_.integration_time_3d_hdr));
  line("nDCSTOF", cfg_.n_dcs_tof);
  line("absEnabled", cfg_.abs_enabled);
  line("isFLIM", cfg_.is_flim);
  KX_LOG_AT(KX_LOG_DBG, kFn, "*** calibration/correction settings: \n");
  line("correctionBGMode", cfg_.correction_bg_mode);
  line("enabledDRNU", cfg_.enabled_drnu);
  line("enabledDRNU2", cfg_.enabled_drnu2);
  line("enabledGrayscale", cfg_.enabled_grayscale);
  line("enabledTemperatureCorrection", cfg_.enabled_temperature_correction);
  line("enabledAmbientLightCorrection", cfg_.enabled_ambient_light_correction);
  line("extendedMode", cfg_.ext_mode);
  KX_LOG_AT(KX_LOG_DBG, kFn, "*** Print level: \n");
  line("gPrint", cfg_.g_print);
  KX_LOG_AT(KX_LOG_DBG, kFn, "*** trimming values for temperature readout level: \n");
  KX_LOG_AT(KX_LOG_DBG, kFn, "gX: 0x%x \n", static_cast<unsigned>(cfg_.g_x));
  KX_LOG_AT(KX_LOG_DBG, kFn, "gY: 0x%x \n", static_cast<unsigned>(cfg_.g_y));
  line("gM", cfg_.g_m);
  line("gC", cfg_.g_c);
  line("gL", cfg_.g_l);
  line("gZ", cfg_.g_z);
}

}  // namespace torvi::epc
