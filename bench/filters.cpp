// Depth filters and lens remap on a 320 x 240 depth image, one thread: each
// optimised kernel (public call, fastest instruction set of this CPU; and
// every other supported set) next to its plain reference.
//   build/<dir>/bench/bench_filters --benchmark_min_time=0.2
#include <benchmark/benchmark.h>
#include <torvi/kx_filter.h>
#include <torvi/kx_lens.h>

#include <cstdint>
#include <random>
#include <vector>

#include "imgproc/filter_ref.h"
#include "imgproc/filter_set.h"

namespace {

constexpr int kW = 320, kH = 240;

const std::vector<uint16_t> &depth_image() {
  static const std::vector<uint16_t> img = [] {
    std::mt19937 rng(1);
    std::vector<uint16_t> v(kW * kH);
    for (auto &p : v) {
      const uint32_t r = rng() % 100;
      p = r < 3 ? uint16_t{65300} : r < 5 ? uint16_t{0} : static_cast<uint16_t>(800 + rng() % 2000);
    }
    return v;
  }();
  return img;
}

using Call = void (*)(uint16_t *, const uint16_t *, int, int);

void run_call(benchmark::State &state, Call fn) {
  const auto &src = depth_image();
  std::vector<uint16_t> dst(src.size());
  for (auto _ : state) {
    fn(dst.data(), src.data(), kW, kH);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kW * kH);
}

void run_set(benchmark::State &state, torvi::FilterFn torvi::FilterSet::*fn,
             const torvi::FilterSet *set, uint32_t arg) {
  const auto &src = depth_image();
  std::vector<uint16_t> dst(src.size());
  for (auto _ : state) {
    (set->*fn)(dst.data(), src.data(), kW, kH, arg);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kW * kH);
}

void flypix_public(uint16_t *d, const uint16_t *s, int w, int h) {
  kx_flypix_u16_k3(d, s, w, h, 90000);
}
void flypix_ref(uint16_t *d, const uint16_t *s, int w, int h) {
  torvi::ref::flypix3(d, s, w, h, 90000);
}
void median7_public(uint16_t *d, const uint16_t *s, int w, int h) {
  kx_median2d_u16(d, s, w, h, 7);
}
void median7_ref(uint16_t *d, const uint16_t *s, int w, int h) {
  torvi::ref::median(d, s, w, h, 7);
}

struct LensFixture {
  kx_calib_len_map_t map{};
  LensFixture() {
    const torvi_lens_param_t lens = {
        160.3, 121.7, 212.0, 211.5, {-0.32, 0.11, 0.0012, -0.0008, -0.01}, kW, kH};
    kx_calib_len_init_map(&map, &lens);
  }
  ~LensFixture() { kx_calib_len_uninit_map(&map); }
};

const kx_calib_len_map_t &lens_map() {
  static LensFixture f;
  return f.map;
}

void BM_undistort_u16(benchmark::State &state) {
  const auto &src = depth_image();
  std::vector<uint16_t> dst(src.size());
  const auto &map = lens_map();
  for (auto _ : state) {
    kx_calib_len_undistort_u16(&map, dst.data(), static_cast<int>(dst.size()), src.data(), kW, kH,
                               65500);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_undistort_u16);

void BM_undistort_u16_ref(benchmark::State &state) {
  const auto &src = depth_image();
  std::vector<uint16_t> dst(src.size());
  const auto &map = lens_map();
  for (auto _ : state) {
    torvi::ref::undistort_u16(map, dst.data(), src.data(), kW, kH, 65500);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_undistort_u16_ref);

struct Registrar {
  Registrar() {
    struct K {
      const char *name;
      Call pub, ref;
      torvi::FilterFn torvi::FilterSet::*fn;
      uint32_t arg;
    };
    const K kernels[] = {
        {"median2d_u16_k3", kx_median2d_u16_k3, torvi::ref::median3, &torvi::FilterSet::median3, 0},
        {"median2d_u16_k5", kx_median2d_u16_k5, torvi::ref::median5, &torvi::FilterSet::median5, 0},
        {"gauss2d_u16_k3", kx_gauss2d_u16_k3, torvi::ref::gauss3, &torvi::FilterSet::gauss3, 0},
        {"box2d_u16_k3", kx_box2d_u16_k3, torvi::ref::box3, &torvi::FilterSet::box3, 0},
        {"fhole_u16_k3", kx_fhole_u16_k3, torvi::ref::fhole3, &torvi::FilterSet::fhole3, 0},
        {"fhole_u16_k5", kx_fhole_u16_k5, torvi::ref::fhole5, &torvi::FilterSet::fhole5, 0},
        {"flypix_u16_k3", flypix_public, flypix_ref, &torvi::FilterSet::flypix3, 90000},
    };
    for (const K &k : kernels) {
      benchmark::RegisterBenchmark((std::string(k.name) + "/public").c_str(), run_call, k.pub);
      benchmark::RegisterBenchmark((std::string(k.name) + "/ref").c_str(), run_call, k.ref);
      for (const torvi::FilterSet *set : torvi::supported_filter_sets())
        benchmark::RegisterBenchmark((std::string(k.name) + "/" + set->name).c_str(), run_set, k.fn,
                                     set, k.arg);
    }
    benchmark::RegisterBenchmark("median2d_u16_k7/public", run_call, median7_public);
    benchmark::RegisterBenchmark("median2d_u16_k7/ref", run_call, median7_ref);
  }
} registrar;

}  // namespace

BENCHMARK_MAIN();
