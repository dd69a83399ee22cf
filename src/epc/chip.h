// The EPC chip library's model of one image sensor: identity, modulation
// frequencies, integration times, the corrections in force, the DRNU
// calibration constants and tables, and the small inner models that the
// configuration start-up drives (delay line, read-out, ADC, Kalman filter,
// grayscale gain/offset).
//
// Every opened EPC camera owns one Chip; the exported chip-library calls
// (configSet..., calibration..., i2c, the globals distImagesDRNU,
// g_calib_scale_m, g_calib_offset_mm) act on the default chip: the chip of
// the camera whose driver start-up ran last, or a stand-alone chip when no
// camera has one.
//
// Threads: a Chip takes no lock of its own. The driver serialises the calls
// on one camera (open, decode and filter calls of one device); different
// cameras use different chips. Switching the default chip is guarded by the
// default-chip mutex (chip_registry.cpp).
#pragma once

#include <torvi/torvi_dev.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace torvi::epc {

inline constexpr int kDeviceAddress = 32;
inline constexpr int kMaxDistances = 30;
inline constexpr int kMaxCalibWidth = 328;
inline constexpr int kMaxCalibHeight = 252;
// One set of the DRNU table: pixels x distances of 16-bit phases.
inline constexpr size_t kDrnuSetValues = size_t{kMaxCalibWidth} * kMaxCalibHeight * kMaxDistances;
inline constexpr uint32_t kIntegration3DMax = 4000;
inline constexpr uint32_t kIntegration2DMax = 1000000;
inline constexpr int kModFreqEntries = 7;

// Demodulation delay line: the delay found at start-up and the bypass switch.
struct DelayLine {
  int delay_steps = 0;  // chosen coarse delay (register 116), 0 .. 15
  bool bypassed = false;
  bool determined = false;
};

// Frame read-out: window, HDR row pairing and the size of the last frame.
struct Readout {
  bool initialised = false;
  int col_min = 4, col_max = 323, row_min = 6, row_max = 125;  // half-array window
  int frame_width = 0, frame_half_height = 0;                  // last pruSetSize
  bool hdr = false;
};

// Temperature ADC: which channels are open and the last values seen.
struct Adc {
  std::array<bool, 8> channel_open{};
  int16_t sensor_tenths = 0;  // from the frame header
  int16_t board_tenths = 0;
  uint32_t readings = 0;
};

// Scalar Kalman filters for distance and temperature (state, variance and
// the noise figures they were initialised with).
struct Kalman {
  bool initialised = false;
  double q = 0, r = 0;
  double x = 0, p = 0;
  double step(double measurement);  // one predict/update; returns the estimate
};

// Grayscale gain/offset correction: unity gain and zero offset unless a
// per-pixel table was loaded.
struct GrayGainOffset {
  bool loaded = false;
  double gain = 1.0;
  double offset = 0.0;
};

// The configuration record (names as printChipParam prints them).
struct Config {
  int chip_type = 0;
  int part_type = 0;
  int part_version = 0;
  int ic_type = 0;
  int wafer_id = 0;
  int chip_id = 0;
  int sequencer_version = 0;
  int dev_address = kDeviceAddress;
  int current_mode = 1;  // 0: 2D timing, 1: 3D timing
  uint32_t modulation_frequency = 12000;
  std::array<uint32_t, kModFreqEntries> modulation_frequencies{36000, 24000, 12000, 6000,
                                                               3000,  1500,  750};
  int mod_freq_mode = 2;
  uint32_t integration_time_2d = 5000;
  uint32_t integration_time_3d = 1000;
  uint32_t integration_time_3d_hdr = 1000;
  int n_dcs_tof = 4;
  bool abs_enabled = false;
  bool is_flim = false;
  int correction_bg_mode = 0;
  bool enabled_drnu = false;
  bool enabled_drnu2 = false;
  bool enabled_grayscale = false;
  bool enabled_temperature_correction = false;
  bool enabled_ambient_light_correction = false;
  int g_print = 0;
  uint8_t g_x = 0, g_y = 0, g_m = 0, g_c = 0, g_l = 0;
  int32_t g_z = 0;
  bool ext_mode = false;
  bool calc_enable_temperature = false;
  int calc_enable_drnu = 0;
  // configLoadParameters.
  double ambient_light_factor_base = 250.0;
  double ambient_light_factor = 0;
  int diff_temp = 7;
  int drnu_delay = 5000;
  int num_averaged_frames = 25;
  double epc635_temperature_coeff = 1.56131;
  double epc660_temperature_coeff = 1.7;
  double speed_of_light_div2 = 149896229.0;
  double epc660_ib_temperature_coeff = 0.33765;
  // DCS-add feature: threshold rises with the integration time.
  int dcs_add_base = 100;
  int dcs_add_base_time = 1000;
  int dcs_add_gain = 0;
  int dcs_add_threshold = 100;
};

// DRNU calibration constants and the two table sets.
struct Drnu {
  uint32_t calib_freq_khz = 12000;
  uint32_t offset_drnu = 8364;  // gOffsetDRNU_Temp0
  uint32_t temp_cal = 361;      // gTempCal0, tenths of a degree
  double step_cal_mm = 298.2;   // gStepCalMM0
  uint32_t temp_cal_ib = 341;   // gTempCalIb0
  bool params_from_file = false;
  int num_distances = kMaxDistances;
  int calib_width = 320, calib_height = 240;
  int32_t scale_m = 1000;  // g_calib_scale_m
  int32_t offset_mm = 0;   // g_calib_offset_mm
  int32_t default_offset_phase = 0;
  bool images_loaded = false;
  // Set s, pixel p (raw row order), image k at [p * num_distances + k];
  // empty until loaded.
  std::array<std::vector<uint16_t>, 2> table;
  // Changes (to a value no table of the process had before) whenever the
  // table of the set is filled or cleared, so that what is derived from a
  // table can tell whether it is still current. Whoever writes `table`
  // takes new_table_stamp().
  std::array<uint64_t, 2> table_stamp{};
};

// A stamp that no table of the process had before.
uint64_t new_table_stamp();

class Chip {
 public:
  Chip() = default;
  Chip(const Chip &) = delete;
  Chip &operator=(const Chip &) = delete;
  ~Chip();

  // The camera the register and parameter calls go to (null: none).
  void set_device(torvi_dev_t *dev) { dev_ = dev; }
  torvi_dev_t *device() const { return dev_; }
  // Path prefix of the calibration files (empty: the library's prefix).
  void set_prefix(std::string prefix) { prefix_ = std::move(prefix); }
  const std::string &prefix() const { return prefix_; }

  // Register access through the device: 0 or -1, with the printed texts.
  int i2c(int addr, int op, int reg, int cnt, uint8_t *buf);

  // Identity.
  void set_part_type(int t);
  void set_part_version(int v);
  Config &config() { return cfg_; }
  const Config &config() const { return cfg_; }

  // Start-up and parameters.
  void init(int addr);
  void load_parameters();
  void set_modulation_frequency(int mode, int addr);
  uint32_t modulation_frequency() const;
  int set_integration_time_3d(uint32_t t);
  int set_integration_time_2d(uint32_t t);
  int enable_hdr(int flag, int addr);
  bool is_hdr() const { return readout_.hdr; }
  int enable_abs(int flag, int addr);
  int is_abs(int addr);
  void set_roi(int col_min, int col_max, int row_min, int row_max);
  void print_chip_param() const;

  // Calibration files and tables.
  std::string distance_images_name() const;  // with the _10.bin suffix
  std::string param_name() const;
  int data_file_check() const;
  int load_drnu_lut();
  int load_distance_images(int set);
  Drnu &drnu() { return drnu_; }
  const Drnu &drnu() const { return drnu_; }
  std::span<const uint16_t> table(int set) const { return drnu_.table.at(set & 1); }

  // Inner models.
  void set_frame_temperatures(int16_t sensor, int16_t board);
  void set_readout_size(int width, int half_height);
  const DelayLine &delay_line() const { return dll_; }
  const Readout &readout() const { return readout_; }
  const Adc &adc() const { return adc_; }
  const Kalman &kalman_distance() const { return kalman_dist_; }
  const Kalman &kalman_temperature() const { return kalman_temp_; }
  const GrayGainOffset &gray() const { return gray_; }

 private:
  void determine_demodulation_delay(int addr);
  void init_temperature();
  void init_readout();
  int load_gray_gain_offset();
  void init_kalman();
  void set_integration_times_hdr();
  void set_ambient_factor_for(uint32_t t);
  bool send_param13(uint32_t t);
  void compute_default_offset_phase();
  std::string path_of(const std::string &name) const;

  torvi_dev_t *dev_ = nullptr;
  std::string prefix_;
  Config cfg_;
  Drnu drnu_;
  DelayLine dll_;
  Readout readout_;
  Adc adc_;
  Kalman kalman_dist_, kalman_temp_;
  GrayGainOffset gray_;
};

// The default chip (never null): the chip of the camera set up last, else a
// stand-alone one. make_default publishes a chip's calibration to the
// exported globals; a chip that is destroyed stops being the default.
Chip &default_chip();
void make_default(Chip &chip);
// Copies the chip's constants and tables into the exported globals when it
// is the default chip.
void publish_if_default(const Chip &chip);
// The chip stops being the default (the stand-alone chip takes over).
void release_default(const Chip &chip);

// Row order of the sensor: raw -> image (sort) and image -> raw (unsort).
// Even raw rows fill the upper half of the image from its middle upwards,
// odd ones the lower half from its middle downwards.
constexpr int dcs_image_row(int raw_row, int height) {
  const int half = height / 2;
  return raw_row % 2 == 0 ? half - 1 - raw_row / 2 : half + raw_row / 2;
}
void dcs_sort(uint16_t *dst, const uint16_t *src, int width, int height);
void dcs_unsort(uint16_t *dst, const uint16_t *src, int width, int height);

}  // namespace torvi::epc
