// The loop a Python user writes (`for frame in cam.stream(): frame.distance()`),
// in C++: frames from an unpaced virtual camera, each copied out by the
// getter and decoded to a distance image in metres. Items per second are
// frames per second; python/bench/stream_decode.py runs the same loop through
// the Python package and compares.
//
// The product string picks the driver: the virtual camera's default (the
// EPC camera, decoded with its calibration) unless TORVI_BENCH_PRODUCT names
// another (e.g. "VCAM-T0-1.0" for the TI entry).
//
// BM_StreamAndDistance is the plain sequential loop. BM_StreamAndDistancePipelined
// takes frames on a second thread while the first decodes, as the Python
// package's stream does (its worker thread queues up to three frames).
#include <benchmark/benchmark.h>
#include <torvi/torvi.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kRoom = 4u << 20;

// An open virtual camera with a running capture, or an error text.
struct Setup {
  torvi_vcam_t *cam = nullptr;
  torvi_dev_t dev{};
  const char *error = nullptr;
  Setup() {
    // Started as the Python package starts it: a log file, the console silent.
    torvi_init("bench_stream_decode.log");
    kx_log_enable(0, KX_LOG_OFF, nullptr);
    const char *product = std::getenv("TORVI_BENCH_PRODUCT");
    cam = torvi_vcam_create(product, 1);
    torvi_vcam_set_wall(cam, 1500.0, 0.6);
    torvi_vcam_set_paced(cam, 0);
    torvi_vcam_plug(cam);
    torvi_vcam_enable(1);
    torvi_dev_t list[1];
    if (torvi_dev_list(list, 1) != 1 || (dev = list[0], torvi_dev_open(&dev)) == nullptr ||
        !torvi_cap_start(&dev))
      error = "virtual camera not available";
  }
  ~Setup() {
    if (dev.priv != nullptr) {
      torvi_cap_stop(&dev);
      torvi_dev_close(&dev);
    }
    torvi_vcam_enable(0);
    torvi_vcam_destroy(cam);
    torvi_uninit();
  }
  Setup(const Setup &) = delete;
  Setup &operator=(const Setup &) = delete;
};

// A new image per frame, as the Python method returns a new array.
bool decode(torvi_dev_t *dev, const std::vector<uint8_t> &raw, const torvi_frame_info_t &info) {
  std::vector<float> dist(size_t{info.width} * info.height);
  const int n = torvi_frame_get_distance(dev, dist.data(), static_cast<int>(dist.size()),
                                         raw.data(), static_cast<int>(info.frame_size), &info);
  benchmark::DoNotOptimize(dist.data());
  return n > 0;
}

void BM_StreamAndDistance(benchmark::State &state) {
  Setup s;
  if (s.error != nullptr) {
    state.SkipWithError(s.error);
    return;
  }
  std::vector<uint8_t> raw(kRoom);
  int64_t frames = 0;
  for (auto _ : state) {
    torvi_frame_info_t info{};
    if (torvi_cap_get_frames(&s.dev, 1, raw.data(), kRoom, &info) != 1 ||
        !decode(&s.dev, raw, info)) {
      state.SkipWithError("capture or decode failed");
      break;
    }
    ++frames;
  }
  state.SetItemsProcessed(frames);
}
BENCHMARK(BM_StreamAndDistance)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

struct Taken {
  std::vector<uint8_t> raw;
  torvi_frame_info_t info{};
};

void BM_StreamAndDistancePipelined(benchmark::State &state) {
  Setup s;
  if (s.error != nullptr) {
    state.SkipWithError(s.error);
    return;
  }
  constexpr size_t kQueue = 3;
  std::mutex mu;  // guards queue, stop and failed
  std::condition_variable cv;
  std::deque<Taken> queue;
  bool stop = false, failed = false;
  std::thread getter([&] {
    for (;;) {
      {
        std::unique_lock lock(mu);
        cv.wait(lock, [&] { return queue.size() < kQueue || stop; });
        if (stop) return;
      }
      Taken t;
      t.raw.resize(kRoom);  // NOLINT: a new buffer per frame, as the Python stream allocates
      const int got = torvi_cap_get_frames(&s.dev, 1, t.raw.data(), kRoom, &t.info);
      {
        const std::lock_guard lock(mu);
        if (got != 1) {
          failed = true;
          cv.notify_all();
          return;
        }
        queue.push_back(std::move(t));
      }
      cv.notify_all();
    }
  });
  int64_t frames = 0;
  for (auto _ : state) {
    Taken t;
    {
      std::unique_lock lock(mu);
      cv.wait(lock, [&] { return !queue.empty() || failed; });
      if (queue.empty()) {
        state.SkipWithError("capture failed");
        break;
      }
      t = std::move(queue.front());
      queue.pop_front();
    }
    cv.notify_all();
    if (!decode(&s.dev, t.raw, t.info)) {
      state.SkipWithError("decode failed");
      break;
    }
    ++frames;
  }
  {
    const std::lock_guard lock(mu);
    stop = true;
  }
  cv.notify_all();
  torvi_cap_stop(&s.dev);  // wakes a getter that waits for a frame
  getter.join();
  state.SetItemsProcessed(frames);
}
BENCHMARK(BM_StreamAndDistancePipelined)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
