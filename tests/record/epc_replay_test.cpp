// A recording of a calibrated EPC camera replays with that camera's sensor
// registers and calibration files, wherever the path prefix points when it
// is replayed.
#include <gtest/gtest.h>
#include <torvi/torvi.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "record/frame_msgs.h"
#include "record/mcap_reader.h"
#include "tests/drivers/epc/vcam_fixture.h"

using namespace std::chrono_literals;

namespace {

constexpr int kSensorTarget = 1;
constexpr int kSensorRegisters = 256;
constexpr unsigned kMaxFrame = 4u << 20;

struct Taken {
  torvi_frame_info_t info{};
  std::vector<uint8_t> bytes;
};

// Takes frames until `n` arrived, the replay ended or the deadline passed.
std::vector<Taken> take(torvi_dev_t *d, std::size_t n) {
  std::vector<Taken> out;
  std::vector<uint8_t> buf(kMaxFrame);
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
    torvi_frame_info_t info{};
    const int got = torvi_cap_get_frames(d, 1, buf.data(), kMaxFrame, &info);
    if (got > 0) {
      out.push_back({info, std::vector<uint8_t>(buf.begin(), buf.begin() + info.frame_size)});
      continue;
    }
    torvi_replay_info_t ri{};
    if (got < 0 || (torvi_replay_get_info(d, &ri) && ri.ended)) break;
  }
  return out;
}

std::vector<float> distance_of(torvi_dev_t *d, const Taken &t) {
  std::vector<float> m(size_t{t.info.width} * t.info.height);
  const int n = torvi_frame_get_distance(d, m.data(), static_cast<int>(m.size()), t.bytes.data(),
                                         static_cast<int>(t.bytes.size()), &t.info);
  EXPECT_EQ(n, static_cast<int>(m.size()));
  return m;
}

std::vector<uint32_t> sensor_registers(torvi_dev_t *d) {
  std::vector<uint32_t> regs(kSensorRegisters);
  EXPECT_TRUE(torvi_reg_batch_read(d, kSensorTarget, 0, regs.data(), kSensorRegisters));
  return regs;
}

class EpcReplay : public torvi::test::EpcCameras {
 protected:
  // Records `n` frames of a calibrated camera; returns their distances as the
  // camera's own driver decoded them, and the sensor registers at the start.
  void record(std::size_t n, void (*before)(torvi_dev_t *) = nullptr) {
    torvi_vcam_plug(camera(1, "VCAM-E2-1.4.3"));
    torvi_dev_t *dev = open_port(1);
    ASSERT_NE(dev, nullptr);
    if (before != nullptr) before(dev);
    registers = sensor_registers(dev);
    torvi_record_t *rec = torvi_record_start(dev, path.c_str(), nullptr);
    ASSERT_NE(rec, nullptr);
    ASSERT_TRUE(torvi_cap_start(dev));
    for (const Taken &t : take(dev, n)) {
      distances.push_back(distance_of(dev, t));
      indexes.push_back(t.info.frame_idx);
    }
    EXPECT_TRUE(torvi_cap_stop(dev));
    EXPECT_TRUE(torvi_record_stop(rec, nullptr));
    torvi_dev_close(dev);
    ASSERT_EQ(distances.size(), n);
  }

  std::string path = (dir_.path() / "run.mcap").string();
  std::vector<uint32_t> registers;
  std::vector<std::vector<float>> distances;  // by the live camera's driver
  std::vector<uint32_t> indexes;
};

TEST_F(EpcReplay, DistancesMatchTheLiveCameraWithItsFilesGone) {
  record(4);
  // The camera's calibration files are no longer where the library looks.
  const std::filesystem::path elsewhere = dir_.path() / "elsewhere";
  std::filesystem::create_directory(elsewhere);
  torvi_path_cfg((elsewhere.string() + "/").c_str());

  torvi_dev_t replay{};
  ASSERT_EQ(torvi_replay_open(path.c_str(), TORVI_REPLAY_FAST, &replay), &replay);
  ASSERT_NE(replay.path_prefix, nullptr);
  const std::string own_folder = replay.path_prefix;
  EXPECT_NE(own_folder, torvi_path_get());
  EXPECT_EQ(sensor_registers(&replay), registers);
  ASSERT_TRUE(torvi_cap_start(&replay));
  const auto got = take(&replay, indexes.size());
  ASSERT_EQ(got.size(), indexes.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].info.frame_idx, indexes[i]);
    EXPECT_TRUE(distance_of(&replay, got[i]) == distances[i]) << "frame " << i;
  }
  torvi_dev_close(&replay);
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere)) << "the replay wrote into the path prefix";
  EXPECT_FALSE(std::filesystem::exists(own_folder)) << "the replay's folder outlived it";
}

TEST_F(EpcReplay, RegisterWritesAreReadBackAndOutsideReadsFail) {
  record(1);
  torvi_dev_t replay{};
  ASSERT_EQ(torvi_replay_open(path.c_str(), TORVI_REPLAY_FAST, &replay), &replay);
  uint32_t v = (registers[0x90] + 1) & 0xFF;
  ASSERT_TRUE(torvi_reg_batch_write(&replay, kSensorTarget, 0x90, &v, 1));
  uint32_t back = 0;
  ASSERT_TRUE(torvi_reg_batch_read(&replay, kSensorTarget, 0x90, &back, 1));
  EXPECT_EQ(back, v);
  // Registers past the recorded range and other targets were not recorded.
  std::vector<uint32_t> two(2);
  EXPECT_FALSE(torvi_reg_batch_read(&replay, kSensorTarget, kSensorRegisters - 1, two.data(), 2));
  EXPECT_FALSE(torvi_reg_batch_read(&replay, 2, 0, two.data(), 1));
  torvi_dev_close(&replay);
}

TEST_F(EpcReplay, FilterSwitchesOfTheRecordedCameraAreMadeAgain) {
  record(2, [](torvi_dev_t *dev) {
    ASSERT_EQ(torvi_filter_disable(dev, TORVI_FILTER_DEPTH_SMOOTH), 1);
    torvi_filter_args_t amp{};
    amp.u16 = 50;
    ASSERT_EQ(torvi_filter_enable(dev, TORVI_FILTER_MIN_AMP, &amp, 0), 1);
  });
  torvi_dev_t replay{};
  ASSERT_EQ(torvi_replay_open(path.c_str(), TORVI_REPLAY_FAST, &replay), &replay);
  ASSERT_TRUE(torvi_cap_start(&replay));
  const auto got = take(&replay, 2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(distance_of(&replay, got[0]) == distances[0]);
  // The switches matter: with smoothing back on, the same frame decodes otherwise.
  torvi_filter_args_t level{};
  level.u8 = 5;
  ASSERT_EQ(torvi_filter_enable(&replay, TORVI_FILTER_DEPTH_SMOOTH, &level, 0), 1);
  EXPECT_FALSE(distance_of(&replay, got[0]) == distances[0]);
  torvi_dev_close(&replay);
}

TEST(FilterMetadata, SwitchesSurviveTheTextAndBadEntriesAreLeftOut) {
  using namespace torvi::record;
  torvi::FilterSwitch off, on, with_arg;
  on.on = with_arg.on = with_arg.has_arg = true;
  with_arg.arg.u16 = 0x1234;
  StringMap m = encode_filters({{2, off}, {4, on}, {5, with_arg}});
  m["filter.6"] = "maybe";
  m["filter.7"] = "on:12";  // not a whole argument record
  m["filter.x"] = "on";
  const auto back = decode_filters(m);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_FALSE(back.at(2).on);
  EXPECT_TRUE(back.at(4).on && !back.at(4).has_arg);
  EXPECT_TRUE(back.at(5).on && back.at(5).has_arg);
  EXPECT_EQ(back.at(5).arg.u16, 0x1234);
}

TEST(RegisterMetadata, ValuesSurviveTheTextAndBadEntriesAreLeftOut) {
  using namespace torvi::record;
  const std::vector<uint32_t> values = {0, 0xFF, 0xDEADBEEF, 7};
  StringMap m = encode_registers({{1, values}, {200, {42}}});
  m["target.3"] = "0000000";     // not whole registers
  m["target.4"] = "0000000g";    // not hex
  m["target.300"] = "00000001";  // no such target
  m["other"] = "00000001";
  const auto back = decode_registers(m);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back.at(1), values);
  EXPECT_EQ(back.at(200), std::vector<uint32_t>{42});
}

TEST(CalibrationFileNames, OnlyPlainNamesOfCalibrationFiles) {
  using torvi::record::is_calibration_file;
  EXPECT_TRUE(is_calibration_file("lens_param.txt"));
  EXPECT_TRUE(is_calibration_file("zkm_ex_images_drnu_W042_C017_10.bin"));
  EXPECT_FALSE(is_calibration_file("../x_10.bin"));
  EXPECT_FALSE(is_calibration_file("/etc/x_10.bin"));
  EXPECT_FALSE(is_calibration_file("a\\x_10.bin"));
  EXPECT_FALSE(is_calibration_file("_10.bin"));
  EXPECT_FALSE(is_calibration_file("calibration.bin"));
}

}  // namespace
