// Per-pixel costs of the decoders' maths and of colour lookups, over one
// 320 x 240 frame of 12-bit sample differences.
#include <benchmark/benchmark.h>
#include <torvi/kx_cmap.h>
#include <torvi/kx_math.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr int kPixels = 320 * 240;

std::vector<int> sample_differences(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(-4095, 4095);
  std::vector<int> v(kPixels);
  for (int &x : v) x = d(rng);
  return v;
}

void BM_Atan2Frame(benchmark::State &state) {
  const std::vector<int> a = sample_differences(1), b = sample_differences(2);
  for (auto _ : state) {
    int64_t sum = 0;
    for (int i = 0; i < kPixels; ++i) sum += kx_math_atan2_i32(b[i], a[i]);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_Atan2Frame);

void BM_AmplitudeSqrtFrame(benchmark::State &state) {
  const std::vector<int> a = sample_differences(3), b = sample_differences(4);
  for (auto _ : state) {
    int64_t sum = 0;
    for (int i = 0; i < kPixels; ++i) {
      sum += static_cast<int>(kx_math_sqrtf(static_cast<float>((a[i] * a[i] + b[i] * b[i]) >> 2)));
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_AmplitudeSqrtFrame);

void BM_ColourLookupFrame(benchmark::State &state) {
  kx_cmap_t map{};
  kx_cmap_init(&map, 30000);
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> d(0, 4500);
  std::vector<int> mm(kPixels);
  for (int &x : mm) x = d(rng);
  std::vector<uint32_t> out(kPixels);
  for (auto _ : state) {
    for (int i = 0; i < kPixels; ++i)
      out[static_cast<size_t>(i)] = kx_cmap_get_color(&map, mm[static_cast<size_t>(i)]);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kPixels);
  kx_cmap_uninit(&map);
}
BENCHMARK(BM_ColourLookupFrame);

}  // namespace

BENCHMARK_MAIN();
