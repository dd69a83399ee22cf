// The loop a Python user writes (`for frame in cam.stream(): frame.distance()`),
// in C++: frames from an unpaced virtual camera, each copied out by the
// getter and decoded to a distance image in metres. Items per second are
// frames per second; python/bench/stream_decode.py runs the same loop through
// the Python package and compares.
//
// The product string picks the driver: "VCAM-T0-1.0" (TI entry, decodes
// without calibration) by default, TORVI_BENCH_PRODUCT to change it.
#include <benchmark/benchmark.h>
#include <torvi/torvi.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr uint32_t kRoom = 4u << 20;

void BM_StreamAndDistance(benchmark::State &state) {
  kx_log_enable(0, KX_LOG_OFF, nullptr);
  const char *product = std::getenv("TORVI_BENCH_PRODUCT");
  torvi_vcam_t *cam = torvi_vcam_create(product != nullptr ? product : "VCAM-T0-1.0", 1);
  torvi_vcam_set_wall(cam, 1500.0, 0.6);
  torvi_vcam_set_paced(cam, 0);
  torvi_vcam_plug(cam);
  torvi_vcam_enable(1);
  torvi_dev_t list[1];
  torvi_dev_t dev{};
  if (torvi_dev_list(list, 1) != 1 || (dev = list[0], torvi_dev_open(&dev)) == nullptr ||
      !torvi_cap_start(&dev)) {
    state.SkipWithError("virtual camera not available");
  } else {
    std::vector<uint8_t> raw(kRoom);
    std::vector<float> dist;
    int64_t frames = 0;
    for (auto _ : state) {
      torvi_frame_info_t info{};
      if (torvi_cap_get_frames(&dev, 1, raw.data(), kRoom, &info) != 1) {
        state.SkipWithError("capture failed");
        break;
      }
      // A new image per frame, as the Python method returns a new array.
      dist.assign(size_t{info.width} * info.height, 0.0F);
      const int n = torvi_frame_get_distance(&dev, dist.data(), static_cast<int>(dist.size()),
                                             raw.data(), static_cast<int>(info.frame_size), &info);
      if (n <= 0) {
        state.SkipWithError("decode failed");
        break;
      }
      benchmark::DoNotOptimize(dist.data());
      ++frames;
    }
    state.SetItemsProcessed(frames);
    torvi_cap_stop(&dev);
    torvi_dev_close(&dev);
  }
  torvi_vcam_enable(0);
  torvi_vcam_destroy(cam);
}
BENCHMARK(BM_StreamAndDistance)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
