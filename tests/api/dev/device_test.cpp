// Device open and close, parameters and registers, reset, listing, the path
// prefix and the library start, over a scripted transport.
#include <gtest/gtest.h>
#include <torvi/kx_cmap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_log.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "api/dev_internal.h"
#include "core/clock.h"
#include "core/test_hooks.h"
#include "drivers/registry_internal.h"
#include "tests/api/capture/fake_link.h"
#include "tests/common/temp_dir.h"

using torvi::test::bind_fake;
using torvi::test::fake;
using torvi::test::FakeCamera;

namespace {

using torvi::hooks::Knob;

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { fake() = &cam; }
  void TearDown() override {
    if (dev.priv != nullptr && dev.priv->open != 0) torvi_dev_close(&dev);
    if (dev.priv != nullptr) std::free(dev.priv);
    fake() = nullptr;
    kx_log_enable(0, KX_LOG_WRN, nullptr);
  }
  bool open() {
    bind_fake(dev);
    return torvi_dev_open(&dev) == &dev;
  }
  template <typename Fn>
  std::string console_of(Fn fn) {
    kx_log_enable(0, KX_LOG_TRC, nullptr);
    ::testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    std::string text = ::testing::internal::GetCapturedStdout();
    kx_log_enable(0, KX_LOG_WRN, nullptr);
    return text;
  }

  FakeCamera cam;
  torvi_dev_t dev{};
};

TEST_F(DeviceTest, OpenReadsIdentityAndPicksTheDriver) {
  cam.product = "VCAM-T0-1.0";
  ASSERT_TRUE(open());
  EXPECT_STREQ(dev.vendor, "TORVI");
  EXPECT_STREQ(dev.product, "VCAM-T0-1.0");
  EXPECT_EQ(std::memcmp(dev.info5, "SERIAL-0001", 11), 0);
  // Parameter 6 is cut to the record's 8 bytes.
  EXPECT_EQ(std::memcmp(dev.info6, "\x01\x02\x03\x04\x05\x06\x07\x08", 8), 0);
  EXPECT_EQ(dev.path_prefix, torvi_path_get());
  EXPECT_EQ(cam.param_ids_got, (std::vector<uint8_t>{2, 3, 5, 6}));
  ASSERT_NE(torvi_dev_get_drv(&dev), nullptr);
  EXPECT_STREQ(torvi_dev_get_drv(&dev)->name, "TI OP8241 chip driver");
  EXPECT_EQ(torvi_dev_get_drv(&dev)->dev, &dev);  // the driver's init ran
  EXPECT_EQ(dev.priv->stop, 1);
  EXPECT_FALSE(torvi_cap_is_ongoing(&dev));
  void *buf = &dev;
  int size = 0;
  ASSERT_TRUE(torvi_cap_get_frame_buffer(&dev, &buf, &size));
  EXPECT_EQ(buf, nullptr);
  EXPECT_EQ(size, 10 * 307200);
}

TEST_F(DeviceTest, OpenCloseCycles) {
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(open()) << i;
    torvi_dev_close(&dev);
    EXPECT_EQ(dev.priv, nullptr);
  }
  EXPECT_EQ(cam.opens, 20);
  EXPECT_EQ(cam.closes, 20);
}

TEST_F(DeviceTest, UnknownProductClosesTheLink) {
  cam.product = "VCAM-X9-1.0";
  std::string log = console_of([&] { EXPECT_FALSE(open()); });
  EXPECT_EQ(dev.priv, nullptr);
  EXPECT_EQ(cam.opens, 1);
  EXPECT_EQ(cam.closes, 1);
  EXPECT_NE(log.find("cannot find driver for device: product=VCAM-X9-1.0"), std::string::npos);
}

TEST_F(DeviceTest, FailedIdentityReadClosesTheLink) {
  cam.param_get_ok = false;
  EXPECT_FALSE(open());
  EXPECT_EQ(dev.priv, nullptr);
  EXPECT_EQ(cam.closes, 1);
}

TEST_F(DeviceTest, FailedLinkOpenFreesAHeapRecord) {
  cam.open_ok = false;
  auto *heap = static_cast<torvi_dev_t *>(std::calloc(1, sizeof(torvi_dev_t)));
  heap->free_on_close = 1;
  bind_fake(*heap);
  // The leak checker of the sanitizer build reports a record left behind.
  EXPECT_EQ(torvi_dev_open(heap), nullptr);
  EXPECT_EQ(cam.closes, 0);
}

TEST_F(DeviceTest, FailedCreationAtOpenCleansUp) {
  for (int step = 1; step <= 3; ++step) {
    torvi::hooks::set(Knob::kOpenFailStep, step);
    std::string log = console_of([&] { EXPECT_FALSE(open()) << step; });
    EXPECT_EQ(dev.priv, nullptr) << step;
    EXPECT_EQ(cam.closes, step) << step;
    const char *msg[] = {"pthread_cond_init failed", "pthread_mutex_init failed",
                         "kx_stream_create failed"};
    EXPECT_NE(log.find(msg[step - 1]), std::string::npos) << log;
  }
  EXPECT_EQ(torvi::hooks::get(Knob::kOpenFailStep), 0);  // each failure used its request up
  EXPECT_TRUE(open());
}

TEST_F(DeviceTest, OpeningAnOpenRecordClosesItFirst) {
  ASSERT_TRUE(open());
  std::string log = console_of([&] { EXPECT_EQ(torvi_dev_open(&dev), nullptr); });
  // The fresh private record has no fake binding, so the second open goes to
  // USB where no camera is; what matters is that the first link was closed.
  EXPECT_EQ(cam.closes, 1);
  EXPECT_NE(log.find("device not close correctly. close it.."), std::string::npos);
  EXPECT_EQ(dev.priv, nullptr);
}

TEST_F(DeviceTest, DefaultDeviceCannotBeOpenedTwice) {
  bind_fake(g_kx_dev);
  ASSERT_EQ(torvi_dev_open(&g_kx_dev), &g_kx_dev);
  std::string log = console_of([&] { EXPECT_EQ(torvi_dev_open(nullptr), nullptr); });
  EXPECT_NE(log.find("[torvi_dev_open] default device may not close properly!"), std::string::npos);
  EXPECT_NE(g_kx_dev.priv, nullptr);  // still the first open
  torvi_dev_close(&g_kx_dev);
  EXPECT_EQ(g_kx_dev.priv, nullptr);
}

TEST_F(DeviceTest, ResetTargets) {
  ASSERT_TRUE(open());
  EXPECT_FALSE(torvi_dev_reset(&dev, 9));
  EXPECT_TRUE(torvi_dev_reset(&dev, 8));
  EXPECT_TRUE(torvi_dev_reset(&dev, 0));
  EXPECT_EQ(cam.resets, (std::vector<unsigned>{8, 0}));
  EXPECT_EQ(dev.api_busy, 0);
  torvi_dev_close(&dev);
  EXPECT_FALSE(torvi_dev_reset(&dev, 1));
}

// Waits (at most 30 s) until `cond` holds; false when it never did.
template <typename Cond>
bool eventually(Cond cond) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string text_of(const std::string &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(DeviceTest, CloseGivesUpOnACallThatOutlastsItsPatience) {
  ASSERT_TRUE(open());
  const torvi::hooks::ScopedKnob step(Knob::kCloseWaitStepMs, 2);  // 30 steps: 60 ms
  torvi::test::TempDir tmp;
  const std::string log_path = tmp.file("close.log");
  ASSERT_EQ(kx_log_enable(1, KX_LOG_WRN, log_path.c_str()), 1);
  // The reset runs until the close has logged that it waits beyond its
  // patience, however slowly the close's steps go.
  cam.reset_hold = true;
  std::thread slow([&] { EXPECT_TRUE(torvi_dev_reset(&dev, 1)); });
  ASSERT_TRUE(eventually([&] { return cam.reset_running.load(); }));
  std::thread release([&] {
    EXPECT_TRUE(eventually(
        [&] { return text_of(log_path).find("still runs after") != std::string::npos; }));
    cam.reset_hold = false;
  });
  // The reset is held until the close has logged that it gives up: the close
  // comes back while the call still runs, and the call releases the device
  // when it leaves (the private record outlives it).
  torvi_dev_close(&dev);
  release.join();
  slow.join();
  EXPECT_EQ(cam.resets, (std::vector<unsigned>{1}));
  kx_log_disable();
  kx_log_enable(0, KX_LOG_WRN, nullptr);
  EXPECT_EQ(dev.priv, nullptr);
  EXPECT_EQ(dev.api_busy, 0);
  const std::string log = text_of(log_path);
  EXPECT_NE(log.find("api wait timeout"), std::string::npos);
  EXPECT_NE(log.find("still runs after"), std::string::npos);
}

TEST_F(DeviceTest, CallsRacingACloseFromAnotherThreadFailOrFinishCleanly) {
  // A call on one thread while another closes the device either works on the
  // open device or fails; none may touch a freed private record.
  const torvi::hooks::ScopedKnob step(Knob::kCloseWaitStepMs, 1);
  int ok = 0, refused = 0;
  for (int round = 0; round < 300; ++round) {
    ASSERT_TRUE(open());
    std::atomic<int> calls{0};
    std::thread caller([&] {
      uint32_t v[2];
      for (;;) {
        const bool a = torvi_reg_batch_read(&dev, 0, 0, v, 2);
        const bool b = torvi_dev_reset(&dev, 0);
        const bool c = torvi_cap_stop(&dev);
        ++calls;
        if (!a || !b || !c) {
          ++refused;
          return;  // the device is closed from here on
        }
        ++ok;
      }
    });
    while (calls.load() < round % 4) std::this_thread::yield();
    torvi_dev_close(&dev);
    caller.join();
    ASSERT_EQ(dev.priv, nullptr);
    ASSERT_EQ(dev.api_busy, 0);
  }
  EXPECT_EQ(refused, 300);  // every round ended with the device closed
  EXPECT_GT(ok, 0);
}

TEST_F(DeviceTest, ParameterItemsTravelAsWireRecords) {
  ASSERT_TRUE(open());
  torvi_param_t items[2] = {};
  items[0].number = 0x10C;  // travels as 12
  items[0].len = 4;
  const uint32_t fps = 30;
  std::memcpy(items[0].value, &fps, 4);
  items[1].number = 13;
  items[1].len = 19;
  for (int i = 0; i < 19; ++i) items[1].value[i] = static_cast<uint8_t>(i + 1);
  ASSERT_TRUE(torvi_param_batch_set(&dev, items, 2));
  ASSERT_EQ(cam.params_set.size(), 2u);
  EXPECT_EQ(cam.params_set[0].id, 12);
  EXPECT_EQ(cam.params_set[0].len, 4);
  EXPECT_EQ(std::memcmp(cam.params_set[0].val, &fps, 4), 0);
  EXPECT_EQ(cam.params_set[1].id, 13);
  EXPECT_EQ(cam.params_set[1].len, 19);
  EXPECT_EQ(std::memcmp(cam.params_set[1].val, items[1].value, 18), 0);  // not the 19th byte
  EXPECT_EQ(dev.api_busy, 0);
}

TEST_F(DeviceTest, SetFrameRateIsLogged) {
  ASSERT_TRUE(open());
  torvi_param_t item{};
  item.number = 12;
  item.len = 4;
  item.value[0] = 30;
  std::string log = console_of([&] { EXPECT_TRUE(torvi_param_batch_set(&dev, &item, 1)); });
  const size_t fps = log.find("[_torvi_param_batch_set] Set FPS:30\n");
  const size_t set = log.find("[_torvi_param_batch_set] set 1 param\n");
  ASSERT_NE(fps, std::string::npos) << log;
  ASSERT_NE(set, std::string::npos) << log;
  EXPECT_LT(fps, set);
}

TEST_F(DeviceTest, ParameterGetFillsAndKeepsTheLastByte) {
  ASSERT_TRUE(open());
  torvi_param_t items[2] = {};
  items[0].number = 0x20C;  // asks for 12
  items[1].number = 40;
  items[1].value[18] = 0x77;
  ASSERT_TRUE(torvi_param_batch_get(&dev, items, 2));
  EXPECT_EQ(items[0].len, 4);
  uint32_t fps = 0;
  std::memcpy(&fps, items[0].value, 4);
  EXPECT_EQ(fps, 30u);
  EXPECT_EQ(items[1].len, 18);
  EXPECT_EQ(items[1].value[0], 0xAA);
  EXPECT_EQ(items[1].value[17], 0x30);
  EXPECT_EQ(items[1].value[18], 0x77);  // never travels
  // A failed get leaves the items as they were.
  cam.param_get_ok = false;
  torvi_param_t before[2];
  std::memcpy(before, items, sizeof items);
  items[0].len = 1;
  before[0].len = 1;
  EXPECT_FALSE(torvi_param_batch_get(&dev, items, 2));
  EXPECT_EQ(std::memcmp(before, items, sizeof items), 0);
  EXPECT_EQ(dev.api_busy, 0);
}

TEST_F(DeviceTest, ParameterCallsRefuseBadArguments) {
  torvi_param_t item{};
  std::string log = console_of([&] {
    EXPECT_FALSE(torvi_param_batch_set(&dev, &item, 1));
    EXPECT_FALSE(torvi_param_batch_get(nullptr, &item, 1));
  });
  EXPECT_NE(log.find("[torvi_param_batch_set]  Device handler Is NULL!\r\n"), std::string::npos);
  EXPECT_NE(log.find("[torvi_param_batch_get]  Device handler Is NULL!\r\n"), std::string::npos);
  ASSERT_TRUE(open());
  EXPECT_FALSE(torvi_param_batch_set(&dev, nullptr, 1));
  EXPECT_FALSE(torvi_param_batch_get(&dev, &item, 0));
  EXPECT_TRUE(cam.params_set.empty());
}

TEST_F(DeviceTest, RegisterCallsNarrowTheTargetButNeverTheCount) {
  ASSERT_TRUE(open());
  uint32_t vals[3] = {7, 8, 9};
  // A count above what one transport call moves is refused, not cut to 16
  // bits (0x10003 would otherwise become 3).
  EXPECT_FALSE(torvi_reg_batch_write(&dev, 0x1FF, 4, vals, 0x10003));
  EXPECT_EQ(cam.reg_cnt, 0u);
  ASSERT_TRUE(torvi_reg_batch_write(&dev, 0x1FF, 4, vals, 3));
  EXPECT_EQ(cam.reg_target, 0xFFu);
  EXPECT_EQ(cam.reg_cnt, 3u);
  EXPECT_EQ(cam.regs[4], 7u);
  EXPECT_EQ(cam.regs[6], 9u);
  uint32_t back[3] = {};
  ASSERT_TRUE(torvi_reg_batch_read(&dev, 1, 4, back, 3));
  EXPECT_EQ(back[1], 8u);
  cam.reg_ok = false;
  EXPECT_FALSE(torvi_reg_batch_read(&dev, 1, 4, back, 3));
  EXPECT_EQ(dev.api_busy, 0);
}

TEST_F(DeviceTest, RegisterCountsOutsideWhatOneCallMovesAreRefused) {
  ASSERT_TRUE(open());
  // One register of room: a count of -1 must not become 65535 registers
  // read into or written from it.
  std::vector<uint32_t> one(1, 5);
  std::string log = console_of([&] {
    EXPECT_FALSE(torvi_reg_batch_write(&dev, 2, 0, one.data(), -1));
    EXPECT_FALSE(torvi_reg_batch_read(&dev, 2, 0, one.data(), -1));
    EXPECT_FALSE(torvi_reg_batch_read(&dev, 2, 0, one.data(), 0));
    EXPECT_FALSE(torvi_reg_batch_write(&dev, 2, 0, one.data(), 0));
    EXPECT_FALSE(torvi_reg_batch_read(&dev, 2, 0, one.data(), INT32_MIN));
  });
  EXPECT_NE(log.find("[torvi_reg_batch_write] bad argument:"), std::string::npos) << log;
  EXPECT_NE(log.find("[torvi_reg_batch_read] bad argument:"), std::string::npos) << log;
  EXPECT_EQ(cam.reg_cnt, 0u);  // nothing reached the transport
  EXPECT_EQ(one[0], 5u);
  // The largest counts one transport call moves pass; one more is refused.
  std::vector<uint32_t> many(65536, 1);
  EXPECT_TRUE(torvi_reg_batch_write(&dev, 2, 0, many.data(), 16382));
  EXPECT_EQ(cam.reg_cnt, 16382u);
  EXPECT_FALSE(torvi_reg_batch_write(&dev, 2, 0, many.data(), 16383));
  EXPECT_TRUE(torvi_reg_batch_read(&dev, 2, 0, many.data(), 65535));
  EXPECT_EQ(cam.reg_cnt, 65535u);
  EXPECT_FALSE(torvi_reg_batch_read(&dev, 2, 0, many.data(), 65536));
  EXPECT_EQ(dev.api_busy, 0);
}

TEST_F(DeviceTest, RegisterCallOnClosedDeviceNamesItself) {
  uint32_t v = 0;
  std::string log = console_of([&] {
    EXPECT_FALSE(torvi_reg_batch_read(&dev, 1, 2, &v, 1));
    EXPECT_FALSE(torvi_reg_batch_write(nullptr, 1, 2, &v, 1));
  });
  EXPECT_NE(log.find("[torvi_reg_batch_read]  Device handler Is NULL!\r\n"), std::string::npos);
  EXPECT_NE(log.find("[torvi_reg_batch_write]  Device handler Is NULL!\r\n"), std::string::npos);
}

TEST_F(DeviceTest, ListRefusesBadArguments) {
  torvi_dev_t list[2];
  std::string log = console_of([&] {
    EXPECT_EQ(torvi_dev_list(nullptr, 4), 0);
    EXPECT_EQ(torvi_dev_list(list, 0), 0);
  });
  EXPECT_NE(log.find("wrong params: dev_list=(nil), dev_list_num=4"), std::string::npos) << log;
  EXPECT_NE(log.find("dev_list_num=0"), std::string::npos);
  EXPECT_EQ(torvi_dev_open_by_fd(3), nullptr);
}

TEST(PathPrefix, CreatesEveryFolderAndKeepsTheText) {
  torvi::test::TempDir tmp;
  torvi::test::ScopedChdir cd(tmp.path());
  EXPECT_EQ(torvi_path_cfg("a/b/c/"), 0);
  EXPECT_TRUE(std::filesystem::is_directory("a/b/c"));
  EXPECT_STREQ(torvi_path_get(), "a/b/c/");
  EXPECT_EQ(torvi_path_cfg("a/b/c"), 0);  // exists already
  EXPECT_STREQ(torvi_path_get(), "a/b/c");
  // A component that is a file cannot become a folder.
  {
    std::FILE *f = std::fopen("file", "w");
    std::fclose(f);
  }
  EXPECT_NE(torvi_path_cfg("file/x"), 0);
  const std::string longer(300, 'p');
  torvi_path_cfg(longer.c_str());
  EXPECT_EQ(std::strlen(torvi_path_get()), 255u);
  torvi_path_cfg("./");
}

TEST(Library, InitWritesTheDatedLogWithTheBanner) {
  torvi::test::TempDir tmp;
  torvi::test::ScopedChdir cd(tmp.path());
  torvi_path_cfg("elsewhere/");
  EXPECT_NE(torvi_init(nullptr), 0);
  EXPECT_STREQ(torvi_path_get(), "./");
  EXPECT_NE(g_torvi_cmap.table, nullptr);  // the default colour map
  EXPECT_EQ(g_torvi_cmap.count, 30000);
  torvi_uninit();
  EXPECT_EQ(g_torvi_cmap.table, nullptr);
  const torvi::LocalTime t = torvi::local_time_now();
  char name[64];
  std::snprintf(name, sizeof name, "torvi_%04u%02u%02u.log", t.year, t.month, t.day);
  const std::string log = torvi::test::read_file(tmp.file(name));
  EXPECT_TRUE(std::regex_search(
      log,
      std::regex(
          R"(\[INF\] \[torvi_init\]  --- TORVI v1\.43\(compile at \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d\) log start -----\n)")))
      << log;
  EXPECT_NE(log.find("[DBG] [torvi_uninit] ----- AL log END ----\n\n"), std::string::npos);
  kx_log_enable(0, KX_LOG_WRN, nullptr);
  kx_log_enable(2, KX_LOG_OFF, nullptr);
}

TEST(Library, InitUsesTheGivenLogFile) {
  torvi::test::TempDir tmp;
  const std::string file = tmp.file("mine.log");
  torvi_init(file.c_str());
  torvi_uninit();
  EXPECT_NE(torvi::test::read_file(file).find("log start"), std::string::npos);
  kx_log_enable(0, KX_LOG_WRN, nullptr);
  kx_log_enable(2, KX_LOG_OFF, nullptr);
}

}  // namespace
