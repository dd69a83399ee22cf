// Capture throughput and latency.
//
// BM_RawThroughputVirtual: frames of 614400 bytes from an unpaced virtual
// camera through the USB transport, the stream parser and the getter's copy
// into the caller's buffer (items per second = frames per second).
//
// BM_RawThroughputEngine: the same path from the transport's completion
// callback on: a feeder thread hands a prepared stream to the engine in
// transfers of 153600 bytes, as the USB transport's event thread does, and
// the getter copies each frame into the caller's buffer. This isolates the
// library from the virtual camera's frame synthesis and USB emulation. The
// target for the first benchmark is 2000 frames/s or more on two cores.
//
// BM_FrameReadyLatency: from the moment a transfer's bytes are handed to the
// capture engine (the transport's completion callback) until the
// frame-ready callback runs in torvi_cap_wait on the application thread;
// reports the median and the 99th percentile in microseconds.
#include <benchmark/benchmark.h>
#include <torvi/torvi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/api/capture/fake_link.h"

namespace {

constexpr uint32_t kFrame = 614400;

void BM_RawThroughputVirtual(benchmark::State &state) {
  kx_log_enable(0, KX_LOG_OFF, nullptr);
  torvi_vcam_t *cam = torvi_vcam_create("VCAM-T0-1.0", 1);
  torvi_vcam_set_paced(cam, 0);
  torvi_vcam_plug(cam);
  torvi_vcam_enable(1);
  torvi_dev_t list[1];
  torvi_dev_t dev{};
  if (torvi_dev_list(list, 1) != 1 || (dev = list[0], torvi_dev_open(&dev)) == nullptr ||
      !torvi_cap_start(&dev)) {
    state.SkipWithError("virtual camera not available");
  } else {
    std::vector<uint8_t> buf(kFrame);
    int64_t frames = 0;
    for (auto _ : state) {
      const int got = torvi_cap_get_frames(&dev, 1, buf.data(), kFrame, nullptr);
      if (got != 1) {
        state.SkipWithError("capture failed");
        break;
      }
      benchmark::DoNotOptimize(buf.data());
      ++frames;
    }
    state.SetItemsProcessed(frames);
    state.SetBytesProcessed(frames * int64_t{kFrame});
    torvi_cap_stop(&dev);
    torvi_dev_close(&dev);
  }
  torvi_vcam_enable(0);
  torvi_vcam_destroy(cam);
}
BENCHMARK(BM_RawThroughputVirtual)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

constexpr size_t kTransferBytes = 153600;

void BM_RawThroughputEngine(benchmark::State &state) {
  kx_log_enable(0, KX_LOG_OFF, nullptr);
  torvi::test::FakeCamera cam;
  torvi::test::fake() = &cam;
  torvi_dev_t dev{};
  torvi::test::bind_fake(dev);
  if (torvi_dev_open(&dev) == nullptr || !torvi_cap_start(&dev)) {
    state.SkipWithError("open failed");
    return;
  }
  torvi::test::StreamWriter writer(kFrame);
  std::vector<uint8_t> stream;
  for (uint16_t i = 0; i < 32; ++i) {
    const std::vector<uint8_t> chunk = writer.frame(i);
    stream.insert(stream.end(), chunk.begin(), chunk.end());
  }
  std::atomic<bool> run{true};
  std::thread feeder([&] {
    size_t off = 0;
    while (run.load(std::memory_order_relaxed)) {
      const size_t n = std::min(kTransferBytes, stream.size() - off);
      cam.cb(cam.ll, 0, stream.data() + off, static_cast<int>(n), cam.cb_arg);
      off = (off + n) % stream.size();
    }
  });
  std::vector<uint8_t> buf(kFrame);
  int64_t frames = 0;
  for (auto _ : state) {
    if (torvi_cap_get_frames(&dev, 1, buf.data(), kFrame, nullptr) != 1) {
      state.SkipWithError("capture failed");
      break;
    }
    benchmark::DoNotOptimize(buf.data());
    ++frames;
  }
  run.store(false);
  feeder.join();
  state.SetItemsProcessed(frames);
  state.SetBytesProcessed(frames * int64_t{kFrame});
  torvi_cap_stop(&dev);
  torvi_dev_close(&dev);
  torvi::test::fake() = nullptr;
}
BENCHMARK(BM_RawThroughputEngine)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

using Clock = std::chrono::steady_clock;
std::atomic<int64_t> g_sent_ns{0};
std::atomic<int64_t> g_latency_ns{-1};

void on_frame(torvi_dev_t *, torvi_cap_frame *) {
  const int64_t now = Clock::now().time_since_epoch().count();
  g_latency_ns.store(now - g_sent_ns.load());
}

void BM_FrameReadyLatency(benchmark::State &state) {
  kx_log_enable(0, KX_LOG_OFF, nullptr);
  torvi::test::FakeCamera cam;
  torvi::test::fake() = &cam;
  torvi_dev_t dev{};
  torvi::test::bind_fake(dev);
  if (torvi_dev_open(&dev) == nullptr || !torvi_cap_start(&dev)) {
    state.SkipWithError("open failed");
    return;
  }
  torvi_cap_set_callback_on_frame_ready(&dev, on_frame);
  std::thread app([&] { torvi_cap_wait(&dev, 0); });
  torvi::test::StreamWriter writer(kFrame);
  std::vector<std::vector<uint8_t>> chunks;
  for (uint16_t i = 0; i < 64; ++i) chunks.push_back(writer.frame(i));
  std::vector<double> us;
  size_t k = 0;
  for (auto _ : state) {
    g_latency_ns.store(-1);
    std::vector<uint8_t> &chunk = chunks[k++ % chunks.size()];
    g_sent_ns.store(Clock::now().time_since_epoch().count());
    cam.cb(cam.ll, 0, chunk.data(), static_cast<int>(chunk.size()), cam.cb_arg);
    int64_t lat;
    while ((lat = g_latency_ns.load()) < 0) std::this_thread::yield();
    us.push_back(static_cast<double>(lat) / 1000.0);
  }
  // The stream index keeps counting across the reused chunks only modulo
  // their number, so the parser may log gaps; the frames still complete.
  torvi_cap_stop(&dev);
  app.join();
  torvi_dev_close(&dev);
  torvi::test::fake() = nullptr;
  std::sort(us.begin(), us.end());
  if (!us.empty()) {
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  }
}
BENCHMARK(BM_FrameReadyLatency)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(2000);

}  // namespace

BENCHMARK_MAIN();
