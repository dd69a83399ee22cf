// Data-block transfer on the virtual camera: a 1 MiB write and a 1 MiB read,
// each with its throughput and its cost in command round trips (a command
// with its status query), so the protocol's overhead shows apart from the
// speed of the link.
#include <benchmark/benchmark.h>
#include <torvi/torvi_ll.h>
#include <torvi/torvi_log.h>
#include <torvi/torvi_transfer.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ll/usb/usb_backend.h"
#include "vcam/camera.h"
#include "vcam/usb_virtual.h"
#include "vcam/virtual_bus.h"

namespace {

constexpr uint32_t kBlockBytes = 1u << 20;
constexpr uint8_t kType = 4;  // plain data: no restart after the write
constexpr int kRoundTrips = 500;

struct Bench {
  Bench() {
    kx_log_enable(0, KX_LOG_OFF, nullptr);
    torvi::usb::set_active_backend(&torvi::vcam::usb_backend_virtual());
    cam = std::make_shared<torvi::vcam::Camera>();
    torvi::vcam::VirtualBus::instance().attach(cam);
    ok = torvi_ll_dev_open(&ll) == &ll;
    std::mt19937 rng(1);
    std::vector<uint8_t> bytes(kBlockBytes);
    for (auto &b : bytes) b = static_cast<uint8_t>(rng());
    path = "/tmp/torvi-bench-transfer-" + std::to_string(getpid()) + ".bin";
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ok = ok && f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f != nullptr) std::fclose(f);
  }
  ~Bench() {
    torvi_ll_dev_close(&ll);
    torvi::vcam::VirtualBus::instance().detach_all();
    torvi::usb::set_active_backend(nullptr);
    std::remove(path.c_str());
    std::remove(out().c_str());
  }
  std::string out() const { return path + ".out"; }
  // Mean time of one command with its status query (a register write), in s.
  double round_trip_s() {
    const uint32_t v = 1;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kRoundTrips; ++i) torvi_ll_reg_write(&ll, 0, 100, &v, 1);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() /
           kRoundTrips;
  }

  std::shared_ptr<torvi::vcam::Camera> cam;
  torvi_ll_t ll{};
  std::string path;
  bool ok = false;
};

void report(benchmark::State &state, double seconds, double round_trip, uint32_t steps,
            const char *per_step) {
  const double n = static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockBytes);
  state.counters["round_trip_us"] = round_trip * 1e6;
  state.counters["ratio_to_round_trip"] = seconds / n / round_trip;
  state.counters[per_step] = seconds / n / steps / round_trip;
}

void BM_Write1MiB(benchmark::State &state) {
  Bench b;
  if (!b.ok) return state.SkipWithError("setup failed");
  const double rt = b.round_trip_s();
  double seconds = 0;
  for (auto _ : state) {
    b.cam->erase_flash_block(kType);  // any version goes
    const auto t0 = std::chrono::steady_clock::now();
    if (torvi_bin_data_write(&b.ll, kType, 1, 0, b.path.c_str()) != 1)
      return state.SkipWithError("write failed");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  report(state, seconds, rt, (kBlockBytes + 1017) / 1018, "round_trips_per_chunk");
}
BENCHMARK(BM_Write1MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_Read1MiB(benchmark::State &state) {
  Bench b;
  if (!b.ok) return state.SkipWithError("setup failed");
  b.cam->erase_flash_block(kType);
  if (torvi_bin_data_write(&b.ll, kType, 1, 0, b.path.c_str()) != 1)
    return state.SkipWithError("write failed");
  const double rt = b.round_trip_s();
  double seconds = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (torvi_bin_data_read(&b.ll, kType, b.out().c_str()) != 1)
      return state.SkipWithError("read failed");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  report(state, seconds, rt, (kBlockBytes + 449) / 450, "round_trips_per_piece");
}
BENCHMARK(BM_Read1MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
