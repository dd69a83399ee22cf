// Virtual EPC cameras on the virtual bus, opened in a fresh path prefix.
#pragma once

#include <gtest/gtest.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_vcam.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "drivers/epc/epc_state.h"
#include "tests/common/temp_dir.h"

namespace torvi::test {

class EpcCameras : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = dir_.path() / "calib";
    std::filesystem::create_directory(prefix_);
    old_prefix_ = torvi_path_get();
    torvi_path_cfg((prefix_.string() + "/").c_str());
    torvi_vcam_enable(1);
  }
  void TearDown() override {
    for (torvi_dev_t &d : devs_)
      if (d.priv != nullptr) torvi_dev_close(&d);
    for (torvi_vcam_t *c : cams_) torvi_vcam_destroy(c);
    torvi_vcam_enable(0);
    torvi_path_cfg(old_prefix_.c_str());
  }
  // A camera on port `port`, not yet plugged.
  torvi_vcam_t *camera(uint8_t port = 1, const char *product = nullptr, uint64_t seed = 1) {
    torvi_vcam_t *c = torvi_vcam_create(product, seed);
    torvi_vcam_set_location(c, 1, port, static_cast<uint8_t>(port + 1), 3, 0);
    torvi_vcam_set_paced(c, 0);
    cams_.push_back(c);
    return c;
  }
  // Opens the listed camera on `port`; null when it is not there or fails.
  torvi_dev_t *open_port(uint8_t port) {
    torvi_dev_t list[8];
    const int n = torvi_dev_list(list, 8);
    for (int i = 0; i < n; ++i) {
      if (list[i].port != port) continue;
      devs_.push_back(list[i]);
      torvi_dev_t &d = devs_.back();
      return torvi_dev_open(&d) == &d ? &d : nullptr;
    }
    return nullptr;
  }
  static epc_drv_state_t *state_of(torvi_dev_t *dev) {
    return static_cast<epc_drv_state_t *>(torvi_dev_get_drv(dev)->priv);
  }
  std::set<std::string> prefix_files() const {
    std::set<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(prefix_))
      names.insert(e.path().filename().string());
    return names;
  }

  TempDir dir_;
  std::filesystem::path prefix_;
  std::string old_prefix_;
  std::vector<torvi_vcam_t *> cams_;
  std::vector<torvi_dev_t> devs_ = [] {
    std::vector<torvi_dev_t> v;
    v.reserve(8);  // records stay where they are while open
    return v;
  }();
};

}  // namespace torvi::test
