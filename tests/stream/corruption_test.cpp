// Damaged streams: whatever the damage, no frame handed out is torn or
// duplicated, every undamaged frame comes through, and the parser recovers
// at the next start-of-frame header.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "stream_util.h"
#include "tests/common/stream_gen.h"

namespace tt = torvi::test;
using tt::StreamGen;
using tt::StreamGenConfig;

namespace {

TEST(StreamCorruption, RandomDamageNeverYieldsTornFramesAndSparesIntactOnes) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    StreamGenConfig cfg;
    cfg.frlen = 150 + seed * 7;
    cfg.chunk_len = 64;  // every frame spans several chunks
    cfg.sidx = static_cast<uint16_t>(65500 + seed);
    StreamGen g(cfg);
    const int kFrames = 60;
    for (int i = 0; i < kFrames; ++i) g.add_frame();
    // Damage about one chunk in ten; remember which frames were touched.
    std::set<uint32_t> damaged;
    std::vector<tt::GenChunk> out;
    for (const tt::GenChunk &c : g.chunks) {
      int roll = static_cast<int>(rng() % 40);
      tt::GenChunk copy = c;
      const std::size_t covered = copy.payload.size() & ~std::size_t{3};
      if (roll == 0 && covered == 0) roll = 99;
      if (roll == 0) {
        // Payload bit flip, inside the whole words that the payload checksum
        // covers (1 to 3 trailing bytes of a chunk are not covered).
        const std::size_t at = rng() % covered;
        const unsigned bit = rng() % 8;
        copy.payload[at] ^= static_cast<uint8_t>(1u << bit);
      } else if (roll == 1) {  // header bit flip
        copy.header_flip = static_cast<int>(rng() % (36 * 8));
      } else if (roll == 2) {  // lost chunk
        damaged.insert(c.serials.begin(), c.serials.end());
        continue;
      } else if (roll == 3) {  // duplicated chunk
        out.push_back(copy);
      }
      if (roll <= 3) damaged.insert(c.serials.begin(), c.serials.end());
      out.push_back(std::move(copy));
    }
    g.chunks = std::move(out);
    const auto bytes = g.bytes();
    const tt::Outcome o = tt::run_stream(bytes, tt::random_cuts(bytes.size(), 900, rng));
    std::set<uint32_t> got;
    for (const tt::Fetched &f : o.frames) {
      // Serials equal frame indexes in this stream.
      EXPECT_TRUE(tt::frame_intact(f.rec.fridx, f.bytes, cfg.frlen))
          << "seed " << seed << " frame " << f.rec.fridx;
      EXPECT_TRUE(got.insert(f.rec.fridx).second)
          << "seed " << seed << " frame " << f.rec.fridx << " twice";
    }
    for (int i = 0; i < kFrames; ++i) {
      if (damaged.count(static_cast<uint32_t>(i)) == 0) {
        EXPECT_EQ(got.count(static_cast<uint16_t>(i)), 1u)
            << "seed " << seed << " intact frame " << i << " lost";
      }
    }
    EXPECT_EQ(o.counters[1], o.frames.size());
  }
}

TEST(StreamCorruption, ShortChunkCostsTheNextFrameAndRecoversAfter) {
  // Chunk payload bytes lost in transit: the chunk swallows the start of the
  // next header, its checksum fails, and the next frame's first chunk is
  // skipped with it. The parser is back at the frame after.
  StreamGenConfig cfg;
  cfg.frlen = 120;
  cfg.chunk_len = 60;
  StreamGen g(cfg);
  for (int i = 0; i < 5; ++i) g.add_frame();
  auto &last_of_2 = g.chunks[g.frames[2].chunks[1]].payload;
  last_of_2.erase(last_of_2.begin() + 10, last_of_2.begin() + 17);
  const auto bytes = g.bytes();
  const tt::Outcome o = tt::run_stream(bytes, {});
  std::vector<uint16_t> got;
  for (const auto &f : o.frames) got.push_back(f.rec.fridx);
  EXPECT_EQ(got, (std::vector<uint16_t>{0, 1, 4}));
  EXPECT_EQ(o.counters[2], 1u);  // frame 2; frame 3 never had a node
}

TEST(StreamCorruption, TruncatedStreamKeepsTheLastFrameUnfinishedUntilReset) {
  StreamGenConfig cfg;
  cfg.frlen = 100;
  cfg.chunk_len = 40;
  StreamGen g(cfg);
  for (int i = 0; i < 3; ++i) g.add_frame();
  auto bytes = g.bytes();
  bytes.resize(bytes.size() - 5);
  auto s = tt::make_stream(10);
  tt::feed(s.get(), bytes);
  EXPECT_EQ(tt::state_of(s.get()).frames_completed, 2u);
  EXPECT_EQ(tt::state_of(s.get()).frames_discarded, 0u);
  EXPECT_EQ(tt::take_all(s.get()).size(), 2u);
  // A new capture starts with a reset: the unfinished frame is gone and the
  // next stream parses from its first byte.
  kx_stream_reset(s.get());
  StreamGenConfig more = cfg;
  more.sidx = 100;
  more.fridx = 3;
  StreamGen next(more);
  next.add_frame();
  tt::feed(s.get(), next.bytes());
  const kx_stream_state_t st = tt::state_of(s.get());
  EXPECT_EQ(st.frames_discarded, 0u);
  EXPECT_EQ(st.bytes_discarded, 0u);
  const auto frames = tt::take_all(s.get());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].rec.fridx, 3);
  EXPECT_TRUE(tt::frame_intact(next.frames[0].serial, frames[0].bytes, 100));
}

}  // namespace
