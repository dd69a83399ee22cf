// The chip model on its own (no camera): register-access refusals, the
// modulation and integration settings, the DRNU parameter file in its
// three forms, the distance-image count, the linear correction and the row
// order of the sensor.
#include "epc/chip.h"

#include <gtest/gtest.h>
#include <torvi/epc_chip.h>
#include <torvi/torvi_dev.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <vector>

#include "epc/drnu.h"
#include "tests/common/temp_dir.h"

namespace torvi::epc {
namespace {

using test::TempDir;

std::string printed(const std::function<void()> &f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

TEST(ChipRegisters, RefusalsPrintTheirReason) {
  Chip chip;
  uint8_t buf[4] = {};
  int r = 0;
  EXPECT_EQ(printed([&] { r = chip.i2c(128, 'r', 0, 1, buf); }),
            "Device address is out of range.\n");
  EXPECT_EQ(r, -1);
  EXPECT_EQ(printed([&] { r = chip.i2c(32, 'r', 256, 1, buf); }),
            "Register address is out of range.\n");
  EXPECT_EQ(r, -1);
  EXPECT_EQ(printed([&] { r = chip.i2c(32, 'w', 0, 258, buf); }), "rw much data: 258\n");
  EXPECT_EQ(r, -1);
  EXPECT_EQ(printed([&] { r = chip.i2c(32, 'x', 0, 1, buf); }),
            "Invalid operation: Only 'd' (devices), 'r' (read), 'w' (write) and 's' (software "
            "reset) are allowed.\n");
  EXPECT_EQ(r, -1);
  // Without a camera a read fails, and leaves the buffer alone.
  buf[0] = 0xAB;
  EXPECT_EQ(printed([&] { r = chip.i2c(32, 'r', 10, 1, buf); }), "reg read faild!\n");
  EXPECT_EQ(r, -1);
  EXPECT_EQ(buf[0], 0xAB);
  EXPECT_EQ(chip.i2c(32, 'd', 0, 0, buf), 0);
  EXPECT_EQ(buf[0], 32);
  EXPECT_EQ(buf[1], 255);
}

TEST(ChipSettings, IntegrationTimeAbove4000IsRefusedUnchanged) {
  Chip chip;
  chip.config().current_mode = 0;  // no camera to send it to
  ASSERT_EQ(chip.set_integration_time_3d(4000), 0);
  EXPECT_EQ(chip.config().integration_time_3d, 4000u);
  EXPECT_EQ(chip.set_integration_time_3d(4001), -1);
  EXPECT_EQ(chip.config().integration_time_3d, 4000u);
  EXPECT_NEAR(chip.config().ambient_light_factor, 250.0 / std::sqrt(4000.0), 1e-9);
}

TEST(ChipSettings, UnknownFrequencyModeActsAsMode2) {
  Chip chip;
  chip.config().current_mode = 0;
  testing::internal::CaptureStdout();
  chip.set_modulation_frequency(0, 32);
  EXPECT_EQ(chip.modulation_frequency(), 36000u);
  chip.set_modulation_frequency(9, 32);
  EXPECT_EQ(chip.modulation_frequency(), 12000u);
  chip.set_modulation_frequency(1, 32);
  EXPECT_EQ(chip.modulation_frequency(), 24000u);
  chip.set_modulation_frequency(6, 32);
  EXPECT_EQ(chip.modulation_frequency(), 750u);
  testing::internal::GetCapturedStdout();
}

TEST(ChipSettings, PartSettersKeepTheChipType) {
  Chip chip;
  chip.set_part_type(2);
  chip.set_part_version(3);
  EXPECT_EQ(chip.config().chip_type, 23);
  chip.set_part_type(4);
  EXPECT_EQ(chip.config().chip_type, 43);
}

std::vector<uint8_t> param_bytes(bool with_freq, uint32_t freq, bool with_ib) {
  std::vector<uint8_t> v;
  auto put = [&](const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    v.insert(v.end(), b, b + n);
  };
  const uint32_t offset = 9000, temp = 400, ib = 380;
  const double step = 301.5;
  if (with_freq) put(&freq, 4);
  put(&offset, 4);
  put(&temp, 4);
  put(&step, 8);
  if (with_ib) put(&ib, 4);
  return v;
}

TEST(DrnuParams, ThreeFormsOfTheFile) {
  DrnuParams p;
  ASSERT_TRUE(parse_drnu_params(param_bytes(true, 24000, true), p));
  EXPECT_TRUE(p.has_freq);
  EXPECT_EQ(p.calib_freq_khz, 24000u);
  EXPECT_EQ(p.offset_drnu, 9000u);
  EXPECT_EQ(p.temp_cal, 400u);
  EXPECT_DOUBLE_EQ(p.step_cal_mm, 301.5);
  EXPECT_EQ(p.temp_cal_ib, 380u);
  ASSERT_TRUE(parse_drnu_params(param_bytes(false, 0, true), p));
  EXPECT_FALSE(p.has_freq);
  EXPECT_EQ(p.calib_freq_khz, 12000u);
  EXPECT_EQ(p.temp_cal_ib, 380u);
  ASSERT_TRUE(parse_drnu_params(param_bytes(false, 0, false), p));
  EXPECT_EQ(p.temp_cal_ib, 400u);  // board temperature = sensor temperature
  EXPECT_FALSE(parse_drnu_params(std::vector<uint8_t>(15, 0), p));
}

class ChipFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = torvi_path_get();
    torvi_path_cfg((dir_.path().string() + "/").c_str());
    chip_.config().current_mode = 0;
    chip_.config().wafer_id = 7;
    chip_.config().chip_id = 300;
    chip_.set_part_type(2);
  }
  void TearDown() override { torvi_path_cfg(old_.c_str()); }
  void write(const std::string &name, const std::vector<uint8_t> &bytes) {
    std::ofstream(dir_.file(name), std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  TempDir dir_;
  std::string old_;
  Chip chip_;
};

TEST_F(ChipFiles, NamesFollowWaferAndChip) {
  EXPECT_EQ(chip_.distance_images_name(), "zkm_ex_images_drnu_W007_C300_10.bin");
  EXPECT_EQ(chip_.param_name(), "zkm_ex_drnu_param_W007_C300_10.bin");
  chip_.set_part_type(4);
  EXPECT_EQ(chip_.distance_images_name(), "epc635_images_drnu_W007_C300_10.bin");
  EXPECT_EQ(chip_.param_name(), "epc635_drnu_param_W007_C300_10.bin");
}

TEST_F(ChipFiles, MissingParameterFileGivesTheDefaults) {
  ASSERT_EQ(chip_.load_drnu_lut(), 0);
  EXPECT_EQ(chip_.drnu().offset_drnu, 8364u);
  EXPECT_EQ(chip_.drnu().temp_cal, 361u);
  EXPECT_DOUBLE_EQ(chip_.drnu().step_cal_mm, 298.2);
  EXPECT_EQ(chip_.drnu().temp_cal_ib, 341u);
  // 885000 / (149896229 / 120000 = 1249) - 8364, truncated.
  EXPECT_EQ(chip_.drnu().default_offset_phase, static_cast<int32_t>(885000.0f / 1249.0f - 8364.0f));
}

TEST_F(ChipFiles, ParameterFileWithFrequencySwitchesTheChip) {
  testing::internal::CaptureStdout();
  write(chip_.param_name(), param_bytes(true, 24000, true));
  ASSERT_EQ(chip_.load_drnu_lut(), 0);
  EXPECT_EQ(chip_.modulation_frequency(), 24000u);
  EXPECT_EQ(chip_.drnu().calib_freq_khz, 24000u);
  write(chip_.param_name(), param_bytes(false, 0, true));
  chip_.set_modulation_frequency(0, 32);
  ASSERT_EQ(chip_.load_drnu_lut(), 0);
  EXPECT_EQ(chip_.modulation_frequency(), 36000u);  // a 20-byte file leaves it
  EXPECT_EQ(chip_.drnu().calib_freq_khz, 12000u);
  testing::internal::GetCapturedStdout();
}

TEST_F(ChipFiles, DistanceCountFollowsTheFileSizeAndTheFrequency) {
  const size_t image = 320 * 240 * 2;
  write(chip_.distance_images_name(), std::vector<uint8_t>(image * 12, 0x10));
  ASSERT_EQ(chip_.load_distance_images(1), 0);
  EXPECT_EQ(chip_.drnu().num_distances, 12);
  EXPECT_EQ(chip_.table(1).size(), 12u * 320 * 240);
  write(chip_.distance_images_name(), std::vector<uint8_t>(image * 31, 0x10));
  ASSERT_EQ(chip_.load_distance_images(1), 0);
  EXPECT_EQ(chip_.drnu().num_distances, 30);
  testing::internal::CaptureStdout();
  chip_.set_modulation_frequency(0, 32);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(chip_.load_distance_images(0), 0);
  EXPECT_EQ(chip_.drnu().num_distances, 20);
  EXPECT_EQ(chip_.table(0).size(), 20u * 320 * 240);
  // Shorter than one image: a failure, not an empty table.
  write(chip_.distance_images_name(), std::vector<uint8_t>(image - 2, 0x10));
  EXPECT_EQ(chip_.load_distance_images(1), -1);
  EXPECT_EQ(chip_.data_file_check(), 0);
  std::filesystem::remove(dir_.file(chip_.distance_images_name()));
  EXPECT_EQ(chip_.data_file_check(), -1);
  EXPECT_EQ(chip_.load_distance_images(1), -1);
}

TEST(DrnuCorrection, ExactPhasesGiveUnityAndNoValidPhaseGivesUnity) {
  // Images of a flat target at 295 + k * 300 mm, 12 MHz.
  const size_t pixels = 64;
  const int n = 10;
  const double range = 149896224.0 / 12000.0;
  std::vector<uint16_t> img(pixels * n);
  for (int k = 0; k < n; ++k)
    for (size_t p = 0; p < pixels; ++p)
      img[static_cast<size_t>(k) * pixels + p] =
          static_cast<uint16_t>(std::lround((295 + k * 300.0) / range * 30000));
  LinearCorrection lc = linear_correction(img, pixels, n, 12000, 300.0);
  EXPECT_TRUE(lc.derived);
  EXPECT_NEAR(lc.scale_m, 1000, 1);
  EXPECT_NEAR(lc.offset_mm, 0, 1);
  // Measured distances 2 % short and 40 mm late: the correction undoes it.
  for (int k = 0; k < n; ++k)
    for (size_t p = 0; p < pixels; ++p)
      img[static_cast<size_t>(k) * pixels + p] =
          static_cast<uint16_t>(std::lround(((295 + k * 300.0) * 0.98 + 40) / range * 30000));
  lc = linear_correction(img, pixels, n, 12000, 300.0);
  EXPECT_NEAR(lc.scale_m, 1020, 2);
  EXPECT_NEAR(lc.offset_mm, -40 * 1.0204, 2);
  std::fill(img.begin(), img.begin() + static_cast<std::ptrdiff_t>(pixels), uint16_t{0});
  lc = linear_correction(img, pixels, n, 12000, 300.0);
  EXPECT_FALSE(lc.derived);
  EXPECT_EQ(lc.scale_m, 1000);
  EXPECT_EQ(lc.offset_mm, 0);
}

TEST(DrnuCorrection, OneImageStaysWithinTheBuffer) {
  // The "middle" values of a single image would start half an image in and
  // run past its end; they stay within it, and one image gives unity.
  std::vector<uint16_t> img(64, 1000);
  std::fill(img.begin() + 32, img.end(), uint16_t{3000});
  const LinearCorrection lc = linear_correction(img, 64, 1, 12000, 300.0);
  EXPECT_FALSE(lc.derived);
  EXPECT_EQ(lc.scale_m, 1000);
  // An absurd step from a file gives unity, not an overflowing integer.
  std::vector<uint16_t> two(128, 1000);
  std::fill(two.begin() + 64, two.end(), uint16_t{2000});
  EXPECT_FALSE(linear_correction(two, 64, 2, 12000, 1e300).derived);
  EXPECT_FALSE(linear_correction(two, 64, 2, 12000, std::nan("")).derived);
  EXPECT_TRUE(linear_correction(two, 64, 2, 12000, 400.0).derived);
}

TEST_F(ChipFiles, AnyOffsetInTheParameterFileGivesABoundedDefaultPhase) {
  std::vector<uint8_t> bytes = param_bytes(false, 0, true);
  bytes[0] = bytes[1] = bytes[2] = bytes[3] = 0xFF;  // offset 4294967295
  write(chip_.param_name(), bytes);
  ASSERT_EQ(chip_.load_drnu_lut(), 0);
  EXPECT_EQ(chip_.drnu().offset_drnu, 0xFFFFFFFFu);
  EXPECT_EQ(chip_.drnu().default_offset_phase, -2000000000);
}

TEST(RowOrder, SortUndoesUnsortAndStartsInTheMiddle) {
  const int w = 7, h = 240;
  std::vector<uint16_t> img(static_cast<size_t>(w) * h), raw(img.size()), back(img.size());
  std::mt19937 rng(5);
  for (uint16_t &v : img) v = static_cast<uint16_t>(rng());
  calc_dcs_unsort(raw.data(), img.data(), w, h);
  calc_dcs_sort(back.data(), raw.data(), w, h);
  EXPECT_EQ(back, img);
  // Raw row 0 is image row 119 and raw row 1 image row 120.
  EXPECT_TRUE(std::equal(raw.begin(), raw.begin() + w, img.begin() + 119 * w));
  EXPECT_TRUE(std::equal(raw.begin() + w, raw.begin() + 2 * w, img.begin() + 120 * w));
  EXPECT_TRUE(std::equal(raw.end() - w, raw.end(), img.end() - w));  // raw 239 = image 239
}

}  // namespace
}  // namespace torvi::epc
