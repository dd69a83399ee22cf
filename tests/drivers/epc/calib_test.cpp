// Opening virtual EPC cameras: the calibration package download, the files
// it leaves, the tables it loads, cameras that keep their own calibration,
// and packages that are damaged or hostile.
#include <gtest/gtest.h>
#include <torvi/epc_chip.h>
#include <torvi/epc_driver.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_log.h>
#include <torvi/torvi_vcam.h>
#include <torvi/torvi_zip.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "epc/chip.h"
#include "tests/drivers/epc/vcam_fixture.h"
#include "vcam/calib_package.h"
#include "vcam/tof_model.h"

namespace torvi::test {
namespace {

constexpr size_t kPixels = 320 * 240;
const std::string kImages = "zkm_ex_images_drnu_W042_C017_10.bin";
const std::string kParams = "zkm_ex_drnu_param_W042_C017_10.bin";

// The phases a camera's factory calibration holds, image order.
std::vector<uint16_t> expected_images(uint64_t seed, uint16_t chip_id = 17) {
  vcam::CameraConfig cfg;
  cfg.seed = seed;
  cfg.chip_id = chip_id;
  vcam::TofModel model(cfg.sensor, cfg.scene, cfg.seed);
  const std::vector<uint8_t> bytes = vcam::calibration_images(cfg, model);
  std::vector<uint16_t> v(bytes.size() / 2);
  std::memcpy(v.data(), bytes.data(), bytes.size());
  return v;
}

// Entry [p * n + k] of a table in raw row order, for image-order pixel
// (x, y) of a 320 x 240 image.
uint16_t table_at(std::span<const uint16_t> table, int n, int x, int y, int k) {
  const int raw_row = y < 120 ? 2 * (119 - y) : 2 * (y - 120) + 1;
  return table[static_cast<size_t>(raw_row * 320 + x) * static_cast<size_t>(n) +
               static_cast<size_t>(k)];
}

using EpcCalib = EpcCameras;

TEST_F(EpcCalib, FirstOpenDownloadsThePackageAndLeavesOnlyTheCalibrationFiles) {
  torvi_vcam_plug(camera(1));
  torvi_dev_t *dev = open_port(1);
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(prefix_files(), (std::set<std::string>{kImages, kParams, "lens_param.txt"}));
  EXPECT_EQ(std::filesystem::file_size(prefix_ / kParams), 24u);
  EXPECT_EQ(std::filesystem::file_size(prefix_ / kImages), 30u * kPixels * 2);
  // Nothing outside the prefix either.
  size_t outside = 0;
  for (const auto &e : std::filesystem::directory_iterator(dir_.path()))
    outside += e.path() != prefix_;
  EXPECT_EQ(outside, 0u);

  epc_drv_state_t *st = state_of(dev);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(st->drnu_en, 1);
  EXPECT_EQ(st->calib_state, 0);
  EXPECT_EQ(st->range_mm, 12491u);
  EXPECT_EQ(st->mod_freq_hz, 12000000u);
  EXPECT_EQ(st->step_mm, 298);
  EXPECT_EQ(st->t_sensor_cal, 361);
  EXPECT_EQ(st->t_ib_cal, 341);
  EXPECT_TRUE(st->chip->config().enabled_drnu2);
  ASSERT_EQ(st->chip->drnu().num_distances, 30);
  // The table holds the camera's own phases, pixel-major in raw row order.
  const std::vector<uint16_t> want = expected_images(1);
  std::span<const uint16_t> table = st->chip->table(1);
  ASSERT_EQ(table.size(), 30 * kPixels);
  for (int y : {0, 1, 119, 120, 200, 239})
    for (int x : {0, 77, 319})
      for (int k : {0, 14, 29})
        ASSERT_EQ(table_at(table, 30, x, y, k),
                  want[k * kPixels + static_cast<size_t>(y) * 320 + x])
            << x << "," << y << "," << k;
  // The linear correction of a nearly ideal sensor is nearly unity.
  EXPECT_NEAR(st->calib_scale, 1000, 15);
  EXPECT_NEAR(st->calib_offset_mm, 0, 25);
  // The exported globals describe this (the default) device.
  EXPECT_EQ(g_calib_scale_m, st->calib_scale);
  EXPECT_EQ(g_calib_offset_mm, st->calib_offset_mm);
  EXPECT_EQ(configGetChipID(), 17);
  EXPECT_EQ(configGetWaferID(), 42);
  EXPECT_EQ(distImagesDRNU[1][5], table[5]);
  EXPECT_EQ(torvi_dev_get_drv(dev)->dev, dev);
}

TEST_F(EpcCalib, SecondOpenFindsTheFilesAndDownloadsNothing) {
  torvi_vcam_t *cam = camera(1);
  torvi_vcam_plug(cam);
  torvi_dev_t *dev = open_port(1);
  ASSERT_NE(dev, nullptr);
  torvi_dev_close(dev);
  // The camera now claims to hold no calibration: a download would fail and
  // leave the tables empty.
  ASSERT_EQ(torvi_vcam_set_calib_fault(cam, TORVI_VCAM_CALIB_NONE), 0);
  dev = open_port(1);
  ASSERT_NE(dev, nullptr);
  epc_drv_state_t *st = state_of(dev);
  EXPECT_EQ(st->drnu_en, 1);
  EXPECT_TRUE(st->chip->config().enabled_drnu2);
  EXPECT_EQ(st->chip->table(1).size(), 30 * kPixels);
  EXPECT_EQ(prefix_files(), (std::set<std::string>{kImages, kParams, "lens_param.txt"}));
}

TEST_F(EpcCalib, WithoutCalibrationTheSimplePathGetsSaneConstants) {
  torvi_vcam_t *cam = camera(1);
  ASSERT_EQ(torvi_vcam_set_calib_fault(cam, TORVI_VCAM_CALIB_NONE), 0);
  torvi_vcam_plug(cam);
  torvi_dev_t *dev = open_port(1);
  ASSERT_NE(dev, nullptr);  // the open still succeeds
  EXPECT_TRUE(prefix_files().empty());
  epc_drv_state_t *st = state_of(dev);
  EXPECT_EQ(st->drnu_en, 0);
  EXPECT_EQ(st->calib_scale, 1000);
  EXPECT_EQ(st->calib_offset_mm, 0);
  EXPECT_EQ(st->range_mm, 12491u);
  EXPECT_FALSE(st->chip->config().enabled_drnu2);
}

TEST_F(EpcCalib, TwoCamerasKeepTheirOwnCalibration) {
  torvi_vcam_t *a = camera(1, nullptr, 1);
  torvi_vcam_t *b = camera(2, nullptr, 99);
  ASSERT_EQ(torvi_vcam_set_chip(b, 3, 23, 42), 0);
  const double lens_b[4] = {160.0, 120.0, 220.0, 215.0};
  ASSERT_EQ(torvi_vcam_set_lens(b, lens_b, nullptr), 0);
  torvi_vcam_plug(a);
  torvi_vcam_plug(b);
  torvi_dev_t *da = open_port(1);
  ASSERT_NE(da, nullptr);
  torvi_dev_t *db = open_port(2);
  ASSERT_NE(db, nullptr);
  epc_drv_state_t *sa = state_of(da), *sb = state_of(db);
  ASSERT_NE(sa, sb);
  EXPECT_EQ(sa->chip->config().chip_id, 17);
  EXPECT_EQ(sb->chip->config().chip_id, 23);
  EXPECT_TRUE(std::filesystem::exists(prefix_ / "zkm_ex_images_drnu_W042_C023_10.bin"));
  EXPECT_TRUE(std::filesystem::exists(prefix_ / kImages));
  // Each keeps its own table after the other was opened.
  const std::vector<uint16_t> want_a = expected_images(1), want_b = expected_images(99, 23);
  int differ = 0;
  for (int y = 0; y < 240; y += 17)
    for (int x = 0; x < 320; x += 13) {
      const size_t i = static_cast<size_t>(y) * 320 + x + 7 * kPixels;
      ASSERT_EQ(table_at(sa->chip->table(1), 30, x, y, 7), want_a[i]);
      ASSERT_EQ(table_at(sb->chip->table(1), 30, x, y, 7), want_b[i]);
      differ += want_a[i] != want_b[i];
    }
  EXPECT_GT(differ, 100);
  // And its own lens, from its own package.
  EXPECT_DOUBLE_EQ(sa->lens.fx, 210.783);
  EXPECT_DOUBLE_EQ(sb->lens.fx, 220.0);
  torvi_lens_param_t la{}, lb{};
  ASSERT_TRUE(epc_lens_param_get(torvi_dev_get_drv(da), &la, 160, 120));
  ASSERT_TRUE(epc_lens_param_get(torvi_dev_get_drv(db), &lb, 160, 120));
  EXPECT_NEAR(la.cx, 78.631, 1e-9);
  EXPECT_NEAR(lb.cx, 80.0, 1e-9);
  // The process-wide description is that of the camera opened last.
  EXPECT_EQ(configGetChipID(), 23);
  EXPECT_DOUBLE_EQ(g_torvi_lens_param.fx, 220.0);
  // Closing one leaves the other's calibration intact.
  torvi_dev_close(db);
  EXPECT_EQ(table_at(sa->chip->table(1), 30, 5, 5, 3), want_a[3 * kPixels + 5 * 320 + 5]);
  EXPECT_EQ(sa->chip->config().chip_id, 17);
}

TEST_F(EpcCalib, TwoCamerasOpenedAtOnceInOnePrefixBothGetTheirCalibration) {
  torvi_vcam_t *a = camera(1, nullptr, 1);
  torvi_vcam_t *b = camera(2, nullptr, 99);
  ASSERT_EQ(torvi_vcam_set_chip(b, 3, 23, 42), 0);
  torvi_vcam_plug(a);
  torvi_vcam_plug(b);
  torvi_dev_t list[4];
  ASSERT_EQ(torvi_dev_list(list, 4), 2);
  devs_.push_back(list[0]);
  devs_.push_back(list[1]);
  torvi_dev_t *opened[2] = {};
  std::thread t0([&] { opened[0] = torvi_dev_open(&devs_[0]); });
  std::thread t1([&] { opened[1] = torvi_dev_open(&devs_[1]); });
  t0.join();
  t1.join();
  ASSERT_EQ(opened[0], &devs_[0]);
  ASSERT_EQ(opened[1], &devs_[1]);
  for (torvi_dev_t *d : opened) {
    epc_drv_state_t *st = state_of(d);
    const bool is_a = st->chip->config().chip_id == 17;
    EXPECT_TRUE(is_a || st->chip->config().chip_id == 23);
    ASSERT_TRUE(st->chip->config().enabled_drnu2) << st->chip->config().chip_id;
    const std::vector<uint16_t> want = is_a ? expected_images(1) : expected_images(99, 23);
    EXPECT_EQ(table_at(st->chip->table(1), 30, 100, 50, 4), want[4 * kPixels + 50 * 320 + 100]);
  }
  EXPECT_EQ(prefix_files(),
            (std::set<std::string>{kImages, kParams, "zkm_ex_images_drnu_W042_C023_10.bin",
                                   "zkm_ex_drnu_param_W042_C023_10.bin", "lens_param.txt"}));
}

struct FaultCase {
  int fault;
  const char *name;
};

class EpcPackageFaults : public EpcCameras, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(EpcPackageFaults, LeaveNoFilesAndTheOpenGoesOn) {
  torvi_vcam_t *cam = camera(1);
  ASSERT_EQ(torvi_vcam_set_calib_fault(cam, GetParam().fault), 0);
  torvi_vcam_plug(cam);
  torvi_dev_t *dev = open_port(1);
  ASSERT_NE(dev, nullptr);
  // No calibration file, no transient file, no split result, nothing
  // outside the prefix.
  const std::set<std::string> left = prefix_files();
  EXPECT_EQ(left.count(kImages), 0u);
  EXPECT_EQ(left.count(kParams), 0u);
  EXPECT_EQ(left.count("calibration.bin"), 0u);
  EXPECT_EQ(left.count("tmp.zip"), 0u);
  EXPECT_EQ(left.count("calib_and_param_017.bin"), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "outside_the_prefix.txt"));
  epc_drv_state_t *st = state_of(dev);
  EXPECT_FALSE(st->chip->config().enabled_drnu2);
  EXPECT_EQ(st->calib_scale, 1000);
  EXPECT_EQ(st->range_mm, 12491u);
  // The camera is back in its normal mode.
  torvi_param_t mode{};
  mode.number = 0;
  ASSERT_TRUE(torvi_param_batch_get(dev, &mode, 1));
  EXPECT_EQ(mode.value[0], 0);
}

INSTANTIATE_TEST_SUITE_P(All, EpcPackageFaults,
                         ::testing::Values(FaultCase{TORVI_VCAM_CALIB_NOT_ZIPPED, "not_zipped"},
                                           FaultCase{TORVI_VCAM_CALIB_TRUNCATED, "truncated"},
                                           FaultCase{TORVI_VCAM_CALIB_CORRUPT_ARCHIVE, "corrupt"},
                                           FaultCase{TORVI_VCAM_CALIB_HOSTILE_NAMES, "hostile"},
                                           FaultCase{TORVI_VCAM_CALIB_EMPTY_SPLIT, "empty_split"}),
                         [](const ::testing::TestParamInfo<FaultCase> &p) {
                           return std::string(p.param.name);
                         });

// A package the application gives the camera: a 20-byte parameter file and
// twelve images.
std::vector<uint8_t> small_package(const TempDir &dir) {
  std::vector<uint8_t> file(20 + 12 * kPixels * 2);
  const uint32_t offset = 7000, temp = 300;
  const double step = 250.0;
  const uint32_t temp_ib = 280;
  std::memcpy(&file[0], &offset, 4);
  std::memcpy(&file[4], &temp, 4);
  std::memcpy(&file[8], &step, 8);
  std::memcpy(&file[16], &temp_ib, 4);
  for (size_t k = 0; k < 12; ++k)
    for (size_t p = 0; p < kPixels; ++p) {
      const auto ph = static_cast<uint16_t>(800 + 600 * k);
      std::memcpy(&file[20 + 2 * (k * kPixels + p)], &ph, 2);
    }
  const std::string zip = dir.file("app.zip");
  struct zip_t *z = zip_open(zip.c_str(), 1, 'w');
  EXPECT_NE(z, nullptr);
  zip_entry_open(z, "calib_and_param_017.bin");
  zip_entry_write(z, file.data(), file.size());
  zip_entry_close(z);
  zip_close(z);
  const std::string zbytes = read_file(zip);
  std::vector<uint8_t> pkg(17, 0);
  pkg[0] = 1;
  pkg[2] = 1;
  const auto len = static_cast<uint32_t>(zbytes.size());
  std::memcpy(&pkg[11], &len, 4);
  pkg.insert(pkg.end(), zbytes.begin(), zbytes.end());
  return pkg;
}

TEST_F(EpcCalib, ApplicationPackageReplacesTheGeneratedOne) {
  torvi_vcam_t *cam = camera(1);
  const std::vector<uint8_t> pkg = small_package(dir_);
  ASSERT_EQ(torvi_vcam_set_upload_block(cam, pkg.data(), static_cast<uint32_t>(pkg.size())), 0);
  torvi_vcam_plug(cam);
  torvi_dev_t *dev = open_port(1);
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(prefix_files(), (std::set<std::string>{kImages, kParams}));
  EXPECT_EQ(std::filesystem::file_size(prefix_ / kParams), 20u);
  epc_drv_state_t *st = state_of(dev);
  EXPECT_EQ(st->chip->drnu().num_distances, 12);
  EXPECT_EQ(st->t_sensor_cal, 300);
  EXPECT_EQ(st->t_ib_cal, 280);
  EXPECT_EQ(st->step_mm, 250);
  EXPECT_EQ(table_at(st->chip->table(1), 12, 10, 10, 11), 800 + 600 * 11);
  // Without its own lens file the camera keeps the default lens.
  EXPECT_DOUBLE_EQ(st->lens.fx, 210.783);
}

}  // namespace
}  // namespace torvi::test
