// One feeding thread and two fetching threads: no frame is lost, duplicated
// or torn. Run under ThreadSanitizer in the sanitizer build.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "stream_util.h"
#include "tests/common/stream_gen.h"

namespace tt = torvi::test;

namespace {

struct Taken {
  uint32_t serial;
  bool intact;
};

void run_feeder_and_fetchers(uint32_t capacity, unsigned per_fetch, bool peek_too) {
  tt::StreamGenConfig cfg;
  cfg.frlen = 301;
  cfg.chunk_len = 128;
  tt::StreamGen g(cfg);
  const int kFrames = 1500;
  for (int i = 0; i < kFrames; ++i) {
    if (i % 10 == 9) {
      g.add_multi(1, 301);
    } else {
      g.add_frame();
    }
  }
  const auto bytes = g.bytes();
  auto s = tt::make_stream(capacity);
  std::atomic<bool> fed{false};

  // Frame serials equal frame indexes here: fewer than 65536 frames.
  auto fetcher = [&](std::vector<Taken> &out) {
    std::vector<uint8_t> buf(301 * per_fetch);
    for (;;) {
      const bool done = fed.load();
      torvi_frame_hdr_t first{};
      const int n =
          kx_stream_fetch_frames(s.get(), reinterpret_cast<char *>(buf.data()),
                                 static_cast<unsigned>(buf.size()), per_fetch, &first, false);
      for (int k = 0; k < n; ++k) {
        const auto serial = static_cast<uint32_t>(first.fridx + k);
        out.push_back(
            {serial, tt::frame_intact(serial, std::span(buf).subspan(301u * k, 301), 301)});
      }
      if (n == 0) {
        if (done) return;
        std::this_thread::yield();
      }
    }
  };
  auto watcher = [&] {
    std::vector<uint8_t> buf(301);
    while (!fed.load()) {
      const kx_stream_state_t st = tt::state_of(s.get());
      EXPECT_LE(st.frames_ready, capacity);
      torvi_frame_hdr_t first{};
      if (kx_stream_fetch_frames(s.get(), reinterpret_cast<char *>(buf.data()), 301, 1, &first,
                                 true) == 1) {
        EXPECT_TRUE(tt::frame_intact(first.fridx, buf, 301)) << "peeked frame torn";
      }
    }
  };

  std::vector<Taken> a;
  std::vector<Taken> b;
  std::thread ta(fetcher, std::ref(a));
  std::thread tb(fetcher, std::ref(b));
  std::thread tw;
  if (peek_too) tw = std::thread(watcher);
  std::mt19937 rng(capacity);
  for (auto piece : tt::split_at(bytes, tt::random_cuts(bytes.size(), 700, rng)))
    tt::feed(s.get(), piece);
  fed.store(true);
  ta.join();
  tb.join();
  if (tw.joinable()) tw.join();

  const kx_stream_state_t st = tt::state_of(s.get());
  std::set<uint32_t> seen;
  for (const auto *v : {&a, &b}) {
    for (const Taken &t : *v) {
      EXPECT_TRUE(t.intact) << "frame " << t.serial << " torn";
      EXPECT_TRUE(seen.insert(t.serial).second) << "frame " << t.serial << " taken twice";
    }
  }
  EXPECT_EQ(st.frames_completed, static_cast<uint32_t>(kFrames));
  EXPECT_EQ(st.frames_ready, 0u);
  EXPECT_EQ(st.frames_discarded, 0u);
  // Every frame was taken or dropped for a full buffer, never lost otherwise.
  EXPECT_EQ(seen.size() + st.frames_dropped, static_cast<std::size_t>(kFrames));
  if (capacity >= static_cast<uint32_t>(kFrames)) {
    EXPECT_EQ(st.frames_dropped, 0u);
  }
}

TEST(StreamConcurrency, TwoFetchersTakeEveryFrameOnce) {
  run_feeder_and_fetchers(100000, 1, false);
}

TEST(StreamConcurrency, SmallBufferDropsButNeverTearsOrDuplicates) {
  run_feeder_and_fetchers(3, 2, true);
}

}  // namespace
