// The stream parser's documented behaviour, case by case.
#include "stream/parser.h"

#include <gtest/gtest.h>
#include <torvi/torvi_log.h>

#include <memory>
#include <random>
#include <string>

#include "core/test_hooks.h"
#include "stream/frame_list.h"
#include "stream_util.h"
#include "tests/common/stream_gen.h"

namespace tt = torvi::test;
using tt::Fetched;
using tt::StreamGen;
using tt::StreamGenConfig;

namespace {

// Runs fn with the console at trace level and returns what it printed.
template <typename Fn>
std::string console_of(Fn fn) {
  kx_log_enable(0, 0, nullptr);
  ::testing::internal::CaptureStdout();
  fn();
  std::fflush(stdout);
  std::string out = ::testing::internal::GetCapturedStdout();
  kx_log_enable(0, 3, nullptr);
  return out;
}

void expect_frame(const Fetched &f, const tt::GenFrame &g, const StreamGenConfig &cfg) {
  EXPECT_EQ(f.rec.fridx, g.fridx);
  EXPECT_EQ(f.rec.frlen, g.frlen);
  EXPECT_EQ(f.rec.frfmt, cfg.frfmt);
  EXPECT_EQ(f.rec.width, cfg.width);
  EXPECT_EQ(f.rec.height, cfg.height);
  EXPECT_TRUE(tt::frame_intact(g.serial, f.bytes, g.frlen)) << "frame " << g.fridx;
}

TEST(StreamParser, FramesSpanningChunksCarryTheirRecordAndBytes) {
  StreamGenConfig cfg;
  cfg.frlen = 203;  // not a multiple of 4 or of the chunk length
  cfg.chunk_len = 60;
  cfg.fridx = 40;
  StreamGen g(cfg);
  for (int i = 0; i < 4; ++i) g.add_frame();
  const auto bytes = g.bytes();
  auto s = tt::make_stream(10);
  EXPECT_TRUE(kx_stream_feed_input(s.get(), reinterpret_cast<const char *>(bytes.data()),
                                   static_cast<int>(bytes.size())));
  const kx_stream_state_t st = tt::state_of(s.get());
  EXPECT_EQ(st.frames_assembled, 4u);
  EXPECT_EQ(st.frames_completed, 4u);
  EXPECT_EQ(st.frames_ready, 4u);
  EXPECT_EQ(st.frames_discarded, 0u);
  EXPECT_EQ(st.bytes_discarded, 0u);
  const auto frames = tt::take_all(s.get());
  ASSERT_EQ(frames.size(), 4u);
  for (int i = 0; i < 4; ++i) expect_frame(frames[i], g.frames[i], cfg);
  // Temperatures and the further word come from the first chunk's header.
  EXPECT_EQ(frames[1].rec.sensor_temp, g.chunks[g.frames[1].chunks[0]].f.sensor_temp);
  EXPECT_EQ(frames[1].rec.illum_temp, g.chunks[g.frames[1].chunks[0]].f.illum_temp);
  EXPECT_EQ(frames[1].rec.extra, g.chunks[g.frames[1].chunks[0]].f.extra);
  EXPECT_EQ(tt::state_of(s.get()).frames_ready, 0u);
  EXPECT_FALSE(kx_stream_feed_input(s.get(), nullptr, 0));
}

TEST(StreamParser, OneChunkWithThreeFramesGivesConsecutiveIndexes) {
  StreamGenConfig cfg;
  cfg.fridx = 65534;  // the frame index wraps inside the chunk
  StreamGen g(cfg);
  g.add_multi(3, 50);
  g.add_multi(3, 50);
  auto s = tt::make_stream(10);
  const std::string log = console_of([&] { tt::feed(s.get(), g.bytes()); });
  const auto frames = tt::take_all(s.get());
  ASSERT_EQ(frames.size(), 6u);
  const uint16_t want[] = {65534, 65535, 0, 1, 2, 3};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(frames[i].rec.fridx, want[i]);
    EXPECT_TRUE(tt::frame_intact(g.frames[i].serial, frames[i].bytes, 50));
  }
  // The second chunk's index follows the first chunk's three frames.
  EXPECT_EQ(log.find("missing frame"), std::string::npos) << log;
}

TEST(StreamParser, StreamIndexWrapsFrom65535ToZero) {
  StreamGenConfig cfg;
  cfg.sidx = 65533;
  cfg.frlen = 100;
  cfg.chunk_len = 30;  // four chunks: sidx 65533, 65534, 65535, 0 ...
  StreamGen g(cfg);
  g.add_frame();
  g.add_frame();
  auto s = tt::make_stream(10);
  tt::feed(s.get(), g.bytes());
  const kx_stream_state_t st = tt::state_of(s.get());
  EXPECT_EQ(st.frames_completed, 2u);
  EXPECT_EQ(st.frames_discarded, 0u);
}

TEST(StreamParser, OverlongChunkHeaderIsSkippedByOneByte) {
  StreamGen g;
  torvi::stream::WireHeader bad;
  bad.len = 0x100000;
  bad.frlen = 10;
  bad.start_of_frame = true;
  const auto h = tt::gen_header(bad);
  g.add_raw({h.begin(), h.end()});
  g.add_frame();
  auto s = tt::make_stream(10);
  tt::feed(s.get(), g.bytes());
  const kx_stream_state_t st = tt::state_of(s.get());
  EXPECT_EQ(st.frames_completed, 1u);
  EXPECT_EQ(st.bytes_discarded, 36u);  // the refused header was searched through
}

TEST(StreamParser, PayloadChecksumMismatchDiscardsUntilNextStartOfFrame) {
  StreamGenConfig cfg;
  cfg.frlen = 160;
  cfg.chunk_len = 40;  // four chunks per frame
  StreamGen g(cfg);
  for (int i = 0; i < 3; ++i) g.add_frame();
  const std::size_t bad_chunk = g.frames[1].chunks[1];
  g.flip_payload_bit(bad_chunk, 77);
  auto s = tt::make_stream(10);
  const std::string log = console_of([&] { tt::feed(s.get(), g.bytes()); });
  const kx_stream_state_t st = tt::state_of(s.get());
  EXPECT_EQ(st.frames_discarded, 1u);
  EXPECT_EQ(st.frames_completed, 2u);
  // Two chunks' payload were in the discarded frame; the last two chunks of
  // the frame were skipped while discarding (their headers are not counted).
  EXPECT_EQ(st.bytes_discarded, 80u + 40u + 40u);
  const auto frames = tt::take_all(s.get());
  ASSERT_EQ(frames.size(), 2u);
  expect_frame(frames[0], g.frames[0], cfg);
  expect_frame(frames[1], g.frames[2], cfg);
  const std::string want =
      "[kx_stream_feed_input] discard frame: verify data checksum failed: sidx=" +
      std::to_string(g.chunks[bad_chunk].f.sidx) + "\n";
  EXPECT_NE(log.find(want), std::string::npos) << log;
  EXPECT_NE(log.find("[_discard_cur_frame] discard frame: idx = 1\n"), std::string::npos) << log;
}

TEST(StreamParser, ChecksumFailureDropsEveryFrameOfItsChunk) {
  // Frames finished inside a chunk are held back until the chunk's payload
  // checksum is confirmed: a damaged multi-frame chunk yields no frame.
  StreamGen g;
  g.add_multi(3, 40);
  g.add_multi(3, 40);
  g.flip_payload_bit(0, 8 * 100);  // in the third frame
  const auto bytes = g.bytes();
  for (std::size_t cut : {std::size_t{0}, std::size_t{36 + 50}, std::size_t{36 + 90}}) {
    auto s = tt::make_stream(10);
    tt::feed(s.get(), std::span(bytes).first(cut));
    tt::feed(s.get(), std::span(bytes).subspan(cut));
    const kx_stream_state_t st = tt::state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 3u) << cut;
    EXPECT_EQ(st.frames_completed, 3u) << cut;
    const auto frames = tt::take_all(s.get());
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].rec.fridx, 3);
  }
}

TEST(StreamParser, ContinuationWithAnotherFrameIndexDiscardsTheFrame) {
  StreamGenConfig cfg;
  cfg.frlen = 90;
  cfg.chunk_len = 30;
  StreamGen g(cfg);
  g.add_frame();
  g.add_frame();
  g.add_frame();
  // The second chunk of frame 1 claims frame index 9: its header is
  // rewritten (with a fresh header checksum).
  g.chunks[g.frames[1].chunks[1]].f.fridx = 9;
  auto s = tt::make_stream(10);
  const std::string log = console_of([&] { tt::feed(s.get(), g.bytes()); });
  EXPECT_NE(log.find("discard frame: frame idx not consist (prev=1, cur=9)"), std::string::npos)
      << log;
  const auto frames = tt::take_all(s.get());
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].rec.fridx, 0);
  EXPECT_EQ(frames[1].rec.fridx, 2);
  // Frame 1's first chunk; then the chunk claiming index 9 starts a new frame
  // that its successor (index 1 again) discards; that one is cut short by
  // frame 2's start.
  EXPECT_EQ(tt::state_of(s.get()).frames_discarded, 3u);
}

TEST(StreamParser, LostChunksDuplicatesAndLostEndsAreDiscarded) {
  struct Case {
    const char *what;
    void (*damage)(StreamGen &);
    uint32_t discarded;
  };
  const Case cases[] = {
      {"lost middle chunk",
       [](StreamGen &g) {
         g.chunks.erase(g.chunks.begin() + static_cast<long>(g.frames[1].chunks[1]));
       },
       1},
      {"lost last chunk",
       [](StreamGen &g) {
         g.chunks.erase(g.chunks.begin() + static_cast<long>(g.frames[1].chunks[2]));
       },
       1},
      // The next chunk's frame index differs from frame 0's: the stream index
      // check is off, and its remains are discarded at frame 2's start.
      {"lost first chunk",
       [](StreamGen &g) {
         g.chunks.erase(g.chunks.begin() + static_cast<long>(g.frames[1].chunks[0]));
       },
       1},
      {"duplicated middle chunk",
       [](StreamGen &g) {
         const std::size_t at = g.frames[1].chunks[1];
         g.chunks.insert(g.chunks.begin() + static_cast<long>(at), g.chunks[at]);
       },
       1},
      {"header bit flip",
       [](StreamGen &g) { g.chunks[g.frames[1].chunks[1]].bad_header_sum = true; }, 1},
  };
  for (const Case &c : cases) {
    StreamGenConfig cfg;
    cfg.frlen = 90;
    cfg.chunk_len = 30;
    StreamGen g(cfg);
    for (int i = 0; i < 3; ++i) g.add_frame();
    c.damage(g);
    auto s = tt::make_stream(10);
    tt::feed(s.get(), g.bytes());
    EXPECT_EQ(tt::state_of(s.get()).frames_discarded, c.discarded) << c.what;
    const auto frames = tt::take_all(s.get());
    ASSERT_EQ(frames.size(), 2u) << c.what;
    expect_frame(frames[0], g.frames[0], cfg);
    expect_frame(frames[1], g.frames[2], cfg);
  }
}

TEST(StreamParser, GarbageBetweenChunksIsSkippedAndCounted) {
  std::mt19937 rng(3);
  StreamGenConfig cfg;
  cfg.frlen = 100;
  cfg.chunk_len = 50;
  StreamGen g(cfg);
  g.add_garbage(333, rng);  // before the first header
  g.add_frame();
  g.add_garbage(20, rng);
  g.add_frame();
  // Move those 20 bytes between the two chunks of frame 0.
  std::rotate(g.chunks.begin() + 2, g.chunks.begin() + 3, g.chunks.begin() + 4);
  ASSERT_TRUE(g.chunks[2].raw);
  g.add_raw({0xFB, 0x98, 0x01});  // a magic pair that is not a header
  g.add_frame();
  auto s = tt::make_stream(10);
  tt::feed(s.get(), g.bytes());
  const kx_stream_state_t st = tt::state_of(s.get());
  EXPECT_EQ(st.frames_completed, 3u);
  EXPECT_EQ(st.frames_discarded, 0u);
  EXPECT_EQ(st.bytes_discarded, 333u + 20u + 3u);
}

TEST(StreamParser, StartOfFrameWhileBuildingDiscardsAndMissingIndexIsLogged) {
  StreamGenConfig cfg;
  cfg.frlen = 60;
  cfg.chunk_len = 60;
  StreamGen g(cfg);
  for (int i = 0; i < 4; ++i) g.add_frame();
  // Frame 1 is lost entirely; frame 2's header announces index 2 while 1 is due.
  g.chunks.erase(g.chunks.begin() + 1);
  auto s = tt::make_stream(10);
  const std::string log = console_of([&] { tt::feed(s.get(), g.bytes()); });
  EXPECT_NE(log.find("[kx_stream_feed_input] missing frame: jumpping frame idx (prev=1, cur=2)\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(tt::state_of(s.get()).frames_completed, 3u);
  EXPECT_EQ(tt::state_of(s.get()).frames_discarded, 0u);
}

TEST(StreamParser, FullBufferDropsTheOldestFrames) {
  StreamGenConfig cfg;
  cfg.frlen = 70;
  cfg.chunk_len = 70;
  StreamGen g(cfg);
  for (int i = 0; i < 5; ++i) g.add_frame();
  auto s = tt::make_stream(2);
  const std::string log = console_of([&] { tt::feed(s.get(), g.bytes()); });
  const kx_stream_state_t st = tt::state_of(s.get());
  EXPECT_EQ(st.frames_dropped, 3u);
  EXPECT_EQ(st.frames_ready, 2u);
  EXPECT_EQ(st.frames_completed, 5u);
  EXPECT_EQ(st.bytes_discarded, 3u * 70u);
  const auto frames = tt::take_all(s.get());
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].rec.fridx, 3);
  EXPECT_EQ(frames[1].rec.fridx, 4);
  EXPECT_NE(log.find("[_fr_list_refresh] discard frames: frame buffer is full (1/1)\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("[_fr_list_refresh] discard frame: idx = 2\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("discard frame: idx = 3"), std::string::npos) << log;
}

TEST(StreamParser, PeekLeavesFramesAndTakeCutsToTheBuffer) {
  StreamGenConfig cfg;
  cfg.frlen = 64;
  cfg.chunk_len = 64;
  StreamGen g(cfg);
  for (int i = 0; i < 3; ++i) g.add_frame();
  auto s = tt::make_stream(10);
  tt::feed(s.get(), g.bytes());
  EXPECT_EQ(kx_stream_fetch_frames(s.get(), nullptr, 0, 10, nullptr, true), 3);
  EXPECT_EQ(kx_stream_fetch_frames(s.get(), nullptr, 0, 2, nullptr, true), 2);
  EXPECT_EQ(kx_stream_fetch_frames(s.get(), nullptr, 0, 0, nullptr, false), 0);

  std::vector<uint8_t> buf(200, 0xEE);
  torvi_frame_hdr_t first{};
  EXPECT_EQ(
      kx_stream_fetch_frames(s.get(), reinterpret_cast<char *>(buf.data()), 100, 2, &first, true),
      2);
  EXPECT_EQ(first.fridx, 0);
  EXPECT_TRUE(tt::frame_intact(g.frames[0].serial, std::span(buf).first(64), 64));
  // The second frame is cut to what is left of the 100 bytes.
  for (int i = 0; i < 36; ++i) EXPECT_EQ(buf[64 + i], tt::frame_byte(g.frames[1].serial, i));
  EXPECT_EQ(buf[100], 0xEE);
  EXPECT_EQ(tt::state_of(s.get()).frames_ready, 3u);

  // Take without a buffer: removes the frames, still reports the first record.
  first = {};
  EXPECT_EQ(kx_stream_fetch_frames(s.get(), nullptr, 0, 2, &first, false), 2);
  EXPECT_EQ(first.fridx, 0);
  EXPECT_EQ(tt::state_of(s.get()).frames_ready, 1u);
  const auto rest = tt::take_all(s.get());
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].rec.fridx, 2);
}

TEST(StreamParser, ResetForgetsFramesCountersAndHalfBuiltFrames) {
  StreamGenConfig cfg;
  cfg.frlen = 80;
  cfg.chunk_len = 40;
  StreamGen g(cfg);
  for (int i = 0; i < 3; ++i) g.add_frame();
  const auto bytes = g.bytes();
  auto s = tt::make_stream(10);
  // Two whole frames and half of the third.
  const std::size_t half = 2 * (2 * (36 + 40)) + 36 + 40;
  tt::feed(s.get(), std::span(bytes).first(half));
  kx_stream_state_t before = tt::state_of(s.get());
  EXPECT_EQ(before.frames_ready, 2u);
  kx_stream_reset(s.get());
  const kx_stream_state_t after = tt::state_of(s.get());
  EXPECT_EQ(tt::counters(after), std::vector<uint32_t>(8, 0));
  EXPECT_GE(after.time_sec, before.time_sec);
  EXPECT_EQ(kx_stream_fetch_frames(s.get(), nullptr, 0, 10, nullptr, true), 0);
  // The rest of frame 2 after the reset does not complete the old half.
  tt::feed(s.get(), std::span(bytes).subspan(half));
  EXPECT_EQ(tt::state_of(s.get()).frames_completed, 0u);
  StreamGen next(cfg);
  next.add_frame();
  tt::feed(s.get(), next.bytes());
  const auto frames = tt::take_all(s.get());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(tt::frame_intact(next.frames[0].serial, frames[0].bytes, 80));
}

TEST(StreamParser, DiscardingSurvivesResetUntilStartOfFrame) {
  StreamGenConfig cfg;
  cfg.frlen = 80;
  cfg.chunk_len = 40;
  StreamGen g(cfg);
  g.add_frame();
  g.add_frame();
  g.flip_payload_bit(0, 3);  // frame 0 fails: the parser is discarding
  const auto bytes = g.bytes();
  auto s = tt::make_stream(10);
  tt::feed(s.get(), std::span(bytes).first(36 + 40));
  kx_stream_reset(s.get());
  // The continuation chunk of frame 0 is skipped, frame 1 is taken.
  tt::feed(s.get(), std::span(bytes).subspan(36 + 40));
  const auto frames = tt::take_all(s.get());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].rec.fridx, 1);
  EXPECT_EQ(tt::state_of(s.get()).frames_discarded, 0u);
}

TEST(StreamParser, OutOfMemoryDropsTheFrameAndRecovers) {
  StreamGenConfig cfg;
  cfg.frlen = 5000;
  cfg.chunk_len = 1000;
  StreamGen big(cfg);
  big.add_frame();
  StreamGenConfig small = cfg;
  small.frlen = 100;
  small.chunk_len = 50;
  small.sidx = static_cast<uint16_t>(big.chunks.size());
  small.fridx = 1;
  StreamGen tail(small);
  tail.add_frame();
  auto s = tt::make_stream(10);
  std::string log;
  {
    torvi::hooks::ScopedKnob limit(torvi::hooks::Knob::kStreamNodeAllocLimit, 1000);
    log = console_of([&] {
      tt::feed(s.get(), big.bytes());
      tt::feed(s.get(), tail.bytes());
    });
  }
  EXPECT_NE(log.find("[_fr_node_add_data] malloc failed: " +
                     std::to_string(5000 + torvi::stream::kNodeHead) + " bytes\n"),
            std::string::npos)
      << log;
  const auto frames = tt::take_all(s.get());
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].rec.fridx, 1);
  EXPECT_TRUE(tt::frame_intact(tail.frames[0].serial, frames[0].bytes, 100));
}

// Memory runs out for the next frame while the chunk that finishes the
// previous one is being stored: the finished frame is whole and must be
// delivered, however the transfers cut the chunk. (A larger frame length in
// the second header stands in for the memory running out.)
TEST(StreamParser, OutOfMemoryForTheNextFrameKeepsTheFinishedOne) {
  std::vector<uint8_t> stream;
  auto add_chunk = [&](uint16_t sidx, bool sof, uint32_t frlen, uint32_t len) {
    torvi::stream::WireHeader f;
    f.sidx = sidx;
    f.len = len;
    f.frlen = frlen;
    f.fridx = 7;
    f.frfmt = 7;
    f.start_of_frame = sof;
    const auto h = torvi::test::gen_header(f);
    stream.insert(stream.end(), h.begin(), h.end());
    for (uint32_t i = 0; i < len; ++i) stream.push_back(static_cast<uint8_t>(sidx * 100 + i));
  };
  add_chunk(0, true, 64, 40);
  add_chunk(1, false, 5000, 100);  // 24 bytes finish frame 7, the rest needs a 5000-byte node
  std::vector<std::size_t> every_byte(stream.size() - 1);
  for (std::size_t i = 0; i < every_byte.size(); ++i) every_byte[i] = i + 1;
  torvi::hooks::ScopedKnob limit(torvi::hooks::Knob::kStreamNodeAllocLimit, 1000);
  tt::Outcome whole, pieces;
  console_of([&] {
    whole = tt::run_stream(stream, {});
    pieces = tt::run_stream(stream, every_byte);
  });
  ASSERT_EQ(whole.frames.size(), 1u) << whole;
  EXPECT_EQ(whole.frames[0].rec.fridx, 7);
  ASSERT_EQ(whole.frames[0].bytes.size(), 64u);
  EXPECT_EQ(whole.frames[0].bytes[39], 39);
  EXPECT_EQ(whole.frames[0].bytes[40], 100);
  EXPECT_EQ(whole.frames[0].bytes[63], 123);
  EXPECT_EQ(whole, pieces);
}

TEST(StreamParser, PartialHeaderLinesAndBadArguments) {
  StreamGen g;
  g.add_frame();
  const auto bytes = g.bytes();
  auto s = tt::make_stream(10);
  const std::string log = console_of([&] {
    tt::feed(s.get(), std::span(bytes).first(1));
    tt::feed(s.get(), std::span(bytes).subspan(1, 20));
    tt::feed(s.get(), std::span(bytes).subspan(21));
  });
  EXPECT_NE(log.find("[TRC] [kx_stream_feed_input] 1 raw bytes\n"), std::string::npos) << log;
  EXPECT_NE(log.find("partial stream hdr found: 1 bytes, need more bytes.\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("partial stream hdr found: 21 bytes, need more bytes.\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("[_sync_stream_hdr] HDR found: idx/len=0/64(frlen:200,fridx=0,frfmt=7)\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("[_sync_stream_hdr] HDR found: idx/len=1/64 (frlen:200,fridx=0,frfmt=7)\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(tt::state_of(s.get()).frames_completed, 1u);

  const std::string errs = console_of([&] {
    EXPECT_FALSE(kx_stream_feed_input(s.get(), nullptr, 5));
    EXPECT_FALSE(kx_stream_feed_input(s.get(), "x", -1));
    EXPECT_FALSE(kx_stream_feed_input(nullptr, "x", 1));
    EXPECT_EQ(kx_stream_fetch_frames(nullptr, nullptr, 0, 1, nullptr, false), -1);
    EXPECT_EQ(kx_stream_create(nullptr), nullptr);
    EXPECT_EQ(kx_stream_get_state(s.get(), nullptr), nullptr);
    EXPECT_EQ(kx_stream_get_cfg(nullptr, nullptr), nullptr);
    EXPECT_EQ(_fr_node_add_data(s.get(), nullptr, 3), -1);
    // Before any header there is no frame length to cut by.
    auto fresh = tt::make_stream(1);
    EXPECT_EQ(_fr_node_add_data(fresh.get(), "abc", 3), 0);
  });
  EXPECT_NE(errs.find("[ERR] [_fr_node_add_data] no stream header yet: 3 bytes dropped"),
            std::string::npos)
      << errs;
  EXPECT_NE(errs.find("[ERR] [kx_stream_feed_input] bad argument"), std::string::npos) << errs;
  EXPECT_NE(errs.find("[ERR] [kx_stream_create] bad argument"), std::string::npos) << errs;
  kx_stream_destroy(nullptr);

  kx_stream_cfg_t cfg{7};
  kx_stream_set_cfg(s.get(), &cfg);
  kx_stream_cfg_t out{0};
  EXPECT_EQ(kx_stream_get_cfg(s.get(), &out), &out);
  EXPECT_EQ(out.capacity, 7u);
}

}  // namespace

// The frame observer sees every completed frame once, also those the full
// frame buffer drops before anyone fetches them.
TEST(StreamParserObserver, SeesEveryCompletedFrameOnceAlsoDroppedOnes) {
  StreamGenConfig cfg;
  cfg.frlen = 150;
  cfg.chunk_len = 64;
  StreamGen g(cfg);
  for (int i = 0; i < 5; ++i) g.add_frame();
  auto s = tt::make_stream(2);  // three of the five are dropped
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> seen;
  s->set_observer(std::make_shared<const kx_stream::FrameObserver>(
      [&](const torvi_frame_hdr_t &h, const uint8_t *p, uint32_t n) {
        seen.emplace_back(h.fridx, std::vector<uint8_t>(p, p + n));
      }));
  tt::feed(s.get(), g.bytes());
  EXPECT_EQ(tt::state_of(s.get()).frames_dropped, 3u);
  ASSERT_EQ(seen.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(seen[i].first, g.frames[i].fridx);
    EXPECT_TRUE(tt::frame_intact(g.frames[i].serial, seen[i].second, 150));
  }
  // Removed: later frames go unseen.
  s->set_observer(nullptr);
  StreamGen g2(cfg);
  g2.add_frame();
  tt::feed(s.get(), g2.bytes());
  EXPECT_EQ(seen.size(), 5u);
}
