// Start/stop cycles with random transport faults and damaged frames: every
// undamaged frame arrives exactly once and in order, damaged ones are
// reported as discards, and an error stops only its own cycle. Meant to run
// under ThreadSanitizer as well.
#include <gtest/gtest.h>
#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>

#include <random>
#include <thread>
#include <vector>

#include "tests/api/capture/fake_link.h"

using torvi::test::bind_fake;
using torvi::test::deliver;
using torvi::test::fake;
using torvi::test::FakeCamera;
using torvi::test::frame_index_of;
using torvi::test::StreamWriter;

namespace {

constexpr uint32_t kFrame = 4096;
int g_discards_reported = 0;
int g_stop_error = 0;

bool note_error(torvi_dev_t *, int err, int param) {
  if (err == TORVI_ERR_CAP_FRAME_DISCARD) g_discards_reported = param;
  if (err < 0) g_stop_error = err;
  return true;
}

struct Plan {
  std::vector<uint16_t> good;  // indexes that must arrive
  std::vector<bool> corrupt;   // per frame sent
  std::vector<int> timeouts;   // timeouts before each frame
  std::vector<int> stalls;     // stalls before each frame
  bool unplug = false;         // the cycle ends with a transport error
  int corrupt_count = 0;
};

Plan make_plan(std::mt19937 &rng, uint16_t &next_idx) {
  Plan p;
  const int n = std::uniform_int_distribution<int>(0, 12)(rng);
  std::bernoulli_distribution corrupt(0.15), fault(0.2), unplug(0.05);
  for (int i = 0; i < n; ++i) {
    const bool bad = corrupt(rng);
    p.corrupt.push_back(bad);
    p.corrupt_count += bad;
    if (!bad) p.good.push_back(next_idx);
    ++next_idx;
    p.timeouts.push_back(fault(rng) ? 2 : 0);
    p.stalls.push_back(fault(rng) ? std::uniform_int_distribution<int>(1, 16)(rng) : 0);
  }
  p.unplug = unplug(rng);
  return p;
}

TEST(CaptureSoak, TwoHundredCyclesWithRandomFaults) {
  FakeCamera cam;
  fake() = &cam;
  torvi_dev_t dev{};
  bind_fake(dev);
  ASSERT_EQ(torvi_dev_open(&dev), &dev);
  ASSERT_TRUE(torvi_cap_set_frame_buffer(&dev, nullptr, 64 * 307200));
  torvi_cap_set_callback_on_error(&dev, note_error);
  std::mt19937 rng(20261208);
  StreamWriter writer(kFrame);
  uint16_t next_idx = 0;
  std::vector<uint8_t> buf(kFrame);
  for (int cycle = 0; cycle < 200; ++cycle) {
    SCOPED_TRACE(cycle);
    const uint16_t first_idx = next_idx;
    const Plan plan = make_plan(rng, next_idx);
    g_discards_reported = 0;
    g_stop_error = 0;
    ASSERT_TRUE(torvi_cap_start(&dev));
    std::thread event([&] {
      for (size_t i = 0; i < plan.corrupt.size(); ++i) {
        for (int k = 0; k < plan.timeouts[i]; ++k) deliver(TORVI_LL_CAP_TIMEOUT);
        for (int k = 0; k < plan.stalls[i]; ++k) deliver(TORVI_LL_CAP_STALL);
        deliver(0, writer.frame(static_cast<uint16_t>(first_idx + i), plan.corrupt[i]));
      }
      if (plan.unplug) deliver(TORVI_LL_CAP_UNKNOWN);
    });
    std::vector<uint16_t> got;
    int rc = 1;
    while (got.size() < plan.good.size() && rc > 0) {
      torvi_frame_info_t info{};
      rc = torvi_cap_get_frames(&dev, 1, buf.data(), kFrame, &info);
      if (rc == 1) {
        got.push_back(frame_index_of(buf.data()));
        EXPECT_EQ(info.frame_idx, got.back());
      }
    }
    event.join();
    EXPECT_EQ(got, plan.good);
    // Nothing else is left; a transport error reaches the error callback
    // once the frames are out.
    const int last = torvi_cap_get_frame(&dev, buf.data(), kFrame, nullptr);
    EXPECT_TRUE(last == 0 || (plan.unplug && last == TORVI_ERR_CAP_UNKNOWN)) << last;
    EXPECT_EQ(g_stop_error, plan.unplug ? TORVI_ERR_CAP_UNKNOWN : 0);
    if (!plan.unplug) {
      EXPECT_EQ(g_discards_reported, plan.corrupt_count);
    }
    ASSERT_TRUE(torvi_cap_stop(&dev));
  }
  torvi_dev_close(&dev);
  fake() = nullptr;
}

}  // namespace
