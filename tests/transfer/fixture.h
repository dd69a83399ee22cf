// A virtual camera on the virtual bus with an open link to it, the log in a
// file the test can read, and a temporary folder for block files.
#pragma once

#include <gtest/gtest.h>
#include <torvi/torvi_ll.h>
#include <torvi/torvi_log.h>
#include <torvi/torvi_transfer.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ll/usb/usb_backend.h"
#include "tests/common/temp_dir.h"
#include "vcam/camera.h"
#include "vcam/usb_virtual.h"
#include "vcam/virtual_bus.h"

namespace torvi::test {

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto &b : v) b = static_cast<uint8_t>(rng());
  return v;
}

inline std::vector<uint8_t> file_bytes(const std::string &path) {
  const std::string s = read_file(path);
  return {s.begin(), s.end()};
}

class TransferFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    log_path_ = dir.file("test.log");
    kx_log_enable(0, KX_LOG_OFF, nullptr);
    kx_log_enable(1, KX_LOG_DBG, log_path_.c_str());
    usb::set_active_backend(&vcam::usb_backend_virtual());
    cfg.product = "VCAM-T0-1.4.3";
    cfg.reset_absence = std::chrono::milliseconds(150);
  }
  void TearDown() override {
    if (ll.priv != nullptr) torvi_ll_dev_close(&ll);
    vcam::VirtualBus::instance().detach_all();
    usb::set_active_backend(nullptr);
    kx_log_disable();
    if (HasFailure()) std::fputs(log().c_str(), stdout);
  }
  void plug_and_open() {
    cam = std::make_shared<vcam::Camera>(cfg);
    vcam::VirtualBus::instance().attach(cam);
    ASSERT_EQ(torvi_ll_dev_open(&ll), &ll);
  }
  // Writes `bytes` into a file of the test folder; returns its path.
  std::string put(const std::string &name, const std::vector<uint8_t> &bytes) {
    const std::string path = dir.file(name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  std::string log() const { return read_file(log_path_); }
  bool logged(const std::string &needle) const { return log().find(needle) != std::string::npos; }
  // Files of the test folder other than the log.
  std::vector<std::string> files() const {
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(dir.path()))
      if (e.path().filename() != "test.log") out.push_back(e.path().filename().string());
    return out;
  }

  TempDir dir;
  vcam::CameraConfig cfg;
  std::shared_ptr<vcam::Camera> cam;
  torvi_ll_t ll{};

 private:
  std::string log_path_;
};

}  // namespace torvi::test
