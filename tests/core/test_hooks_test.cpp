#include "core/test_hooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using torvi::hooks::Knob;

TEST(TestHooks, KnobsStartAtTheirDefaultsAndScopedSettingsRestoreThem) {
  EXPECT_EQ(torvi::hooks::get(Knob::kRemapIsaCap), 2);
  EXPECT_EQ(torvi::hooks::get(Knob::kCloseWaitStepMs), 100);
  {
    torvi::hooks::ScopedKnob k(Knob::kRemapIsaCap, 0);
    EXPECT_EQ(torvi::hooks::get(Knob::kRemapIsaCap), 0);
  }
  EXPECT_EQ(torvi::hooks::get(Knob::kRemapIsaCap), 2);
}

TEST(TestHooks, CountdownFiresOnceOnTheRequestedEventAcrossThreads) {
  torvi::hooks::ScopedKnob k(Knob::kImgprocFailNthAlloc, 500);
  std::atomic<int> fired{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i)
        if (torvi::hooks::count_down(Knob::kImgprocFailNthAlloc)) ++fired;
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(fired.load(), 1);
  EXPECT_FALSE(torvi::hooks::count_down(Knob::kImgprocFailNthAlloc));
}

}  // namespace
