// Stream parser throughput: 614400-byte frames with payload checksums fed in
// 153600-byte pieces, next to plain memcpy of the same bytes in the same
// pieces (the limit), and the header search over pure garbage.
#include <benchmark/benchmark.h>
#include <torvi/kx_stream.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/common/stream_gen.h"

namespace {

constexpr uint32_t kFrameLen = 614400;
constexpr std::size_t kPiece = 153600;
constexpr int kFrames = 8;

// Eight frames, each in four chunks of 153600 payload bytes.
const std::vector<uint8_t> &frame_stream(bool sums) {
  static const std::vector<uint8_t> with = [] {
    torvi::test::StreamGenConfig cfg;
    cfg.frlen = kFrameLen;
    cfg.chunk_len = kFrameLen / 4;
    cfg.payload_sum = true;
    torvi::test::StreamGen g(cfg);
    for (int i = 0; i < kFrames; ++i) g.add_frame();
    return g.bytes();
  }();
  static const std::vector<uint8_t> without = [] {
    torvi::test::StreamGenConfig cfg;
    cfg.frlen = kFrameLen;
    cfg.chunk_len = kFrameLen / 4;
    cfg.payload_sum = false;
    torvi::test::StreamGen g(cfg);
    for (int i = 0; i < kFrames; ++i) g.add_frame();
    return g.bytes();
  }();
  return sums ? with : without;
}

void feed_pieces(kx_stream_t *s, const std::vector<uint8_t> &bytes, std::size_t piece) {
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    const std::size_t n = std::min(piece, bytes.size() - at);
    kx_stream_feed_input(s, reinterpret_cast<const char *>(bytes.data() + at), static_cast<int>(n));
  }
}

void BM_StreamFeed(benchmark::State &state) {
  const bool sums = state.range(0) != 0;
  const auto piece = static_cast<std::size_t>(state.range(1));
  const std::vector<uint8_t> &bytes = frame_stream(sums);
  kx_stream_cfg_t cfg{kFrames + 2};
  kx_stream_t *s = kx_stream_create(&cfg);
  int64_t taken = 0;
  for (auto _ : state) {
    // As the capture engine does: frames are taken (here freed without
    // copying them out) as soon as a piece makes them ready.
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      const std::size_t n = std::min(piece, bytes.size() - at);
      if (kx_stream_feed_input(s, reinterpret_cast<const char *>(bytes.data() + at),
                               static_cast<int>(n))) {
        taken += kx_stream_fetch_frames(s, nullptr, 0, kFrames, nullptr, false);
      }
    }
  }
  if (taken != static_cast<int64_t>(state.iterations()) * kFrames)
    state.SkipWithError("frames missing");
  kx_stream_state_t st{};
  kx_stream_get_state(s, &st);
  state.counters["discarded"] = st.frames_discarded;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(bytes.size()));
  kx_stream_destroy(s);
}
BENCHMARK(BM_StreamFeed)
    ->ArgNames({"sums", "piece"})
    ->Args({1, kPiece})
    ->Args({0, kPiece})
    ->Args({1, 16384});

// The limit: the same bytes copied with memcpy in the same pieces into
// frame-sized buffers.
void BM_Memcpy(benchmark::State &state) {
  const auto piece = static_cast<std::size_t>(state.range(0));
  const std::vector<uint8_t> &bytes = frame_stream(true);
  std::vector<uint8_t> dst(bytes.size());
  for (auto _ : state) {
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      const std::size_t n = std::min(piece, bytes.size() - at);
      std::memcpy(dst.data() + at, bytes.data() + at, n);
    }
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_Memcpy)->ArgName("piece")->Arg(kPiece)->Arg(16384);

// Header search through random bytes that hold no valid header.
void BM_HeaderSearchGarbage(benchmark::State &state) {
  std::vector<uint8_t> garbage(8u << 20);
  std::mt19937 rng(1);
  for (auto &b : garbage) b = static_cast<uint8_t>(rng());
  kx_stream_cfg_t cfg{10};
  kx_stream_t *s = kx_stream_create(&cfg);
  for (auto _ : state) feed_pieces(s, garbage, kPiece);
  kx_stream_state_t st{};
  kx_stream_get_state(s, &st);
  state.counters["completed"] = st.frames_completed;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(garbage.size()));
  kx_stream_destroy(s);
}
BENCHMARK(BM_HeaderSearchGarbage);

}  // namespace

BENCHMARK_MAIN();
