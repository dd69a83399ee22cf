// The same stream cut into pieces in any way gives the same frames and the
// same counters as the stream handed over in one piece.
#include <gtest/gtest.h>

#include <random>

#include "stream_util.h"
#include "tests/common/stream_gen.h"

namespace tt = torvi::test;
using tt::StreamGen;
using tt::StreamGenConfig;

namespace {

// Frames of several shapes: spanning chunks with lengths that are not
// multiples of 4, several frames in one chunk, with and without payload
// checksums, stream index wrapping.
StreamGen clean_stream() {
  StreamGenConfig cfg;
  cfg.sidx = 65530;
  cfg.frlen = 97;
  cfg.chunk_len = 41;
  StreamGen g(cfg);
  g.add_frame();
  g.add_frame(123, 123);
  g.add_multi(3, 21);
  g.add_frame(64, 30);
  g.cfg_.payload_sum = false;
  g.add_frame(55, 18);
  g.add_multi(2, 17);
  g.cfg_.payload_sum = true;
  g.add_frame(301, 77);
  return g;
}

// Damage of every kind, with near-headers around the places where cuts
// fall: garbage with FB bytes, a magic pair followed by too few bytes before
// a real header, refused headers, failed payload checksums, lost and
// duplicated chunks, an empty chunk.
StreamGen damaged_stream() {
  std::mt19937 rng(17);
  StreamGenConfig cfg;
  cfg.frlen = 90;
  cfg.chunk_len = 31;
  StreamGen g(cfg);
  g.add_raw({0xFB});
  g.add_frame();
  g.add_raw({0xFB, 0x98, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});  // a header start cut short by a real one
  g.add_frame();
  g.add_garbage(45, rng);
  g.add_frame();
  g.flip_payload_bit(g.frames.back().chunks[1], 9);
  g.add_frame();
  g.chunks[g.frames.back().chunks[0]].bad_header_sum = true;
  g.add_frame();
  g.add_frame();
  g.chunks.erase(g.chunks.begin() + static_cast<long>(g.frames.back().chunks[1]));
  g.add_multi(2, 30);
  g.add_frame();
  const std::size_t dup = g.frames.back().chunks[1];
  g.chunks.insert(g.chunks.begin() + static_cast<long>(dup), g.chunks[dup]);
  {
    StreamGen empty;  // a chunk with no payload, refused by its payload sum
    torvi::stream::WireHeader f;
    f.len = 0;
    f.frlen = 10;
    f.start_of_frame = true;
    f.has_payload_sum = true;
    f.payload_sum = 5;
    const auto h = tt::gen_header(f);
    g.add_raw({h.begin(), h.end()});
  }
  g.add_raw({0xFB, 0x98, 0xFB, 0x98, 0xFB});
  g.add_frame();
  g.add_frame();
  return g;
}

void expect_any_cut_same(const std::vector<uint8_t> &bytes, const tt::Outcome &ref) {
  const std::size_t n = bytes.size();
  for (std::size_t c = 0; c <= n; ++c) {
    ASSERT_EQ(tt::run_stream(bytes, {c}), ref) << "cut at " << c;
  }
  std::mt19937 rng(99);
  for (int round = 0; round < 300; ++round) {
    const std::size_t max_piece = round % 3 == 0 ? 5 : round % 3 == 1 ? 40 : 300;
    const auto cuts = tt::random_cuts(n, max_piece, rng);
    ASSERT_EQ(tt::run_stream(bytes, cuts), ref) << "round " << round;
  }
  std::vector<std::size_t> every;
  for (std::size_t c = 1; c < n; ++c) every.push_back(c);
  ASSERT_EQ(tt::run_stream(bytes, every), ref) << "one byte at a time";
}

TEST(StreamSplit, CleanStreamGivesEveryFrameWhereverItIsCut) {
  const StreamGen g = clean_stream();
  const auto bytes = g.bytes();
  const tt::Outcome ref = tt::run_stream(bytes, {});
  ASSERT_EQ(ref.frames.size(), g.frames.size());
  for (std::size_t i = 0; i < g.frames.size(); ++i) {
    EXPECT_EQ(ref.frames[i].rec.fridx, g.frames[i].fridx);
    EXPECT_TRUE(tt::frame_intact(g.frames[i].serial, ref.frames[i].bytes, g.frames[i].frlen)) << i;
  }
  EXPECT_EQ(ref.counters[2], 0u);  // nothing discarded
  EXPECT_EQ(ref.counters[6], 0u);
  expect_any_cut_same(bytes, ref);
}

TEST(StreamSplit, PayloadChecksumHoldsWhenCutInsideAWord) {
  // A payload cut 1, 2 or 3 bytes into a word, for a whole range of offsets:
  // the checksum is that of the whole payload.
  StreamGenConfig cfg;
  cfg.frlen = 1001;
  cfg.chunk_len = 1001;
  StreamGen g(cfg);
  g.add_frame();
  const auto bytes = g.bytes();
  for (std::size_t c = 36; c < 36 + 40; ++c) {
    const tt::Outcome o = tt::run_stream(bytes, {c, c + 7, c + 301});
    ASSERT_EQ(o.frames.size(), 1u) << "cut at " << c;
    EXPECT_EQ(o.counters[2], 0u);
  }
}

TEST(StreamSplit, DamagedStreamGivesTheSameOutcomeWhereverItIsCut) {
  const StreamGen g = damaged_stream();
  const auto bytes = g.bytes();
  const tt::Outcome ref = tt::run_stream(bytes, {});
  // Undamaged frames come through, damaged ones do not, none is torn.
  std::vector<uint16_t> got;
  for (const tt::Fetched &f : ref.frames) {
    got.push_back(f.rec.fridx);
    EXPECT_TRUE(tt::frame_intact(f.rec.fridx, f.bytes, f.rec.frlen)) << f.rec.fridx;
  }
  // Frames 2 (payload), 3 (header), 5 (lost chunk) and 8 (duplicated chunk) are damaged.
  const std::vector<uint16_t> want = {0, 1, 4, 6, 7, 9, 10};
  EXPECT_EQ(got, want);
  EXPECT_GT(ref.counters[2], 0u);
  EXPECT_GT(ref.counters[6], 0u);
  expect_any_cut_same(bytes, ref);
}

}  // namespace
