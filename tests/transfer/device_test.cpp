// The transfer calls on an open device: progress reports, a firmware
// upgrade that resets the camera, and the refusals of the device checks.
#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>

#include <mutex>

#include "tests/transfer/fixture.h"

namespace torvi::test {
namespace {

struct Report {
  uint64_t done, total;
  int stage;
};

void record(uint64_t done, uint64_t total, int stage, void *arg) {
  static_cast<std::vector<Report> *>(arg)->push_back({done, total, stage});
}

class Device : public TransferFixture {
 protected:
  void SetUp() override {
    TransferFixture::SetUp();
    cfg.product = "VCAM-T0-1.0";
    cfg.stream.paced = false;
    cam = std::make_shared<vcam::Camera>(cfg);
    vcam::VirtualBus::instance().attach(cam);
    torvi_dev_t list[2];
    ASSERT_EQ(torvi_dev_list(list, 2), 1);
    dev = list[0];
    ASSERT_EQ(torvi_dev_open(&dev), &dev);
  }
  void TearDown() override {
    if (dev.priv != nullptr) torvi_dev_close(&dev);
    TransferFixture::TearDown();
  }
  torvi_dev_t dev{};
  std::vector<Report> reports;
};

// The stages in the order they were first reported.
std::vector<int> stages(const std::vector<Report> &r) {
  std::vector<int> out;
  for (const Report &x : r)
    if (out.empty() || out.back() != x.stage) out.push_back(x.stage);
  return out;
}

TEST_F(Device, FirmwareUpgradeShowsProgressResetsTheCameraAndReportsTheNewVersion) {
  const auto image = random_bytes(50000, 21);
  ASSERT_EQ(torvi_firmware_upgrade_progress(&dev, 0, 0x0210, put("fw.bin", image).c_str(), record,
                                            &reports),
            1);
  EXPECT_EQ(stages(reports), (std::vector<int>{TORVI_XFER_ANNOUNCE, TORVI_XFER_ERASE,
                                               TORVI_XFER_TRANSFER, TORVI_XFER_RESTART}));
  uint64_t last = 0;
  size_t transfer_reports = 0;
  for (const Report &r : reports) {
    EXPECT_LE(r.done, r.total);
    if (r.stage != TORVI_XFER_TRANSFER) continue;
    ++transfer_reports;
    EXPECT_EQ(r.total, image.size());
    EXPECT_GE(r.done, last);
    last = r.done;
  }
  EXPECT_EQ(last, image.size());
  EXPECT_GE(transfer_reports, 50u);  // one per chunk
  EXPECT_EQ(reports.back().stage, TORVI_XFER_RESTART);
  EXPECT_EQ(reports.back().done, reports.back().total);

  EXPECT_EQ(cam->firmware_version(), 0x0210);
  // The device still works, and a fresh open shows the new firmware field.
  torvi_param_t p{};
  p.number = 3;
  ASSERT_TRUE(torvi_param_batch_get(&dev, &p, 1));
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(p.value), p.len), "VCAM-T0-2.1.0");
  torvi_dev_close(&dev);
  torvi_dev_t list[1];
  ASSERT_EQ(torvi_dev_list(list, 1), 1);
  dev = list[0];
  ASSERT_EQ(torvi_dev_open(&dev), &dev);
  EXPECT_STREQ(dev.product, "VCAM-T0-2.1.0");
}

TEST_F(Device, DownloadAndUploadRoundTripWithProgress) {
  const auto bytes = random_bytes(5000, 22);
  ASSERT_EQ(torvi_data_download(&dev, put("d.bin", bytes).c_str(), 5, 1, 0), 1);
  const std::string out = dir.file("u.bin");
  ASSERT_EQ(torvi_data_upload_progress(&dev, 5, out.c_str(), record, &reports), 1);
  EXPECT_EQ(file_bytes(out), bytes);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().stage, TORVI_XFER_TRANSFER);
  EXPECT_EQ(reports.back().done, bytes.size());
  EXPECT_EQ(reports.back().total, bytes.size());
  EXPECT_EQ(torvi_data_upload(&dev, 5, out.c_str()), 1);
  EXPECT_EQ(dev.api_busy, 0);
}

TEST_F(Device, DownloadWithProgressReportsEveryChunk) {
  const auto bytes = random_bytes(3 * 1018 + 5, 23);
  ASSERT_EQ(torvi_data_download_progress(&dev, put("d.bin", bytes).c_str(), 6, 1, record, &reports),
            1);
  std::vector<uint64_t> done;
  for (const Report &r : reports)
    if (r.stage == TORVI_XFER_TRANSFER) done.push_back(r.done);
  EXPECT_EQ(done, (std::vector<uint64_t>{0, 1018, 2036, 3054, 3059}));
  EXPECT_EQ(torvi_firmware_upgrade(&dev, 6, 1, dir.file("d.bin").c_str()), -1);  // same version
}

TEST_F(Device, ClosedDeviceIsRefused) {
  torvi_dev_close(&dev);
  EXPECT_EQ(torvi_data_upload(&dev, 2, dir.file("x").c_str()), -1);
  EXPECT_EQ(torvi_data_download(&dev, dir.file("x").c_str(), 5, 1, 0), -1);
  EXPECT_EQ(torvi_firmware_upgrade(&dev, 5, 1, dir.file("x").c_str()), -1);
  EXPECT_EQ(torvi_data_upload(nullptr, 2, nullptr), -1);
  EXPECT_TRUE(logged("[torvi_data_upload] Wrong params\n"));
  EXPECT_TRUE(files().empty());
}

TEST_F(Device, NullPathOfADownloadIsABadArgument) {
  EXPECT_EQ(torvi_data_download(&dev, nullptr, 5, 1, 0), -1);
  EXPECT_TRUE(logged("[torvi_data_download] bad argument: path is NULL\n"));
  EXPECT_EQ(dev.api_busy, 0);
}

TEST_F(Device, TransfersAreRefusedWhileACaptureRuns) {
  ASSERT_TRUE(torvi_cap_start(&dev));
  EXPECT_EQ(torvi_data_upload(&dev, 2, dir.file("x").c_str()), -1);
  EXPECT_TRUE(logged("[torvi_data_upload] a capture is running: stop it first\n"));
  EXPECT_EQ(cam->flash_stats().info_requests, 0u);
  ASSERT_TRUE(torvi_cap_stop(&dev));
  EXPECT_EQ(torvi_data_upload(&dev, 2, dir.file("x").c_str()), 1);
}

}  // namespace
}  // namespace torvi::test
