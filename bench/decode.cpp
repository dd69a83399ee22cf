// EPC frame decode on a 320 x 240 frame, one thread: the whole distance
// decode (default filter chain and range clip; with the DRNU calibration and
// with the simple one) and gray decode through the driver, each also with the
// plain reference kernels, each stage on its own, the distance kernels next
// to their plain reference versions, and the point cloud.
//   build/<dir>/bench/bench_decode --benchmark_min_time=0.2
#include <benchmark/benchmark.h>
#include <torvi/epc_decode.h>
#include <torvi/kx_filter.h>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <random>
#include <vector>

#include "api/point_cloud.h"
#include "core/test_hooks.h"
#include "drivers/epc/decode_kernels.h"
#include "drivers/epc/epc_decode.h"
#include "epc/chip.h"

namespace {

using namespace torvi::epc;

constexpr int kW = 320, kH = 240;
constexpr size_t kP = size_t{kW} * kH;
constexpr int kN = 30;
constexpr uint32_t kRange = 12491;

// A noisy scene 0.5 ... 4.5 m with a few saturated pixels, raw row order.
const std::vector<uint16_t> &raw_frame() {
  static const std::vector<uint16_t> f = [] {
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0.0, 2.0);
    std::vector<uint16_t> v(4 * kP);
    for (size_t i = 0; i < kP; ++i) {
      const double mm = 500.0 + 4000.0 * static_cast<double>(i % kW) / kW;
      const double amp = 1500.0 / (mm / 1000.0) / (mm / 1000.0) + 80.0;
      const double th = 2 * std::numbers::pi * (mm / (149896229.0 / 12000.0) - 0.5);
      const double c = std::min(amp, 2000.0) * std::cos(th),
                   s = std::min(amp, 2000.0) * std::sin(th);
      const auto at = [&](double x) {
        return static_cast<uint16_t>(std::clamp(std::lround(x + noise(rng)), 0L, 4095L));
      };
      v[i] = at(2048 - c);
      v[kP + i] = at(2048 - s);
      v[2 * kP + i] = at(2048 + c);
      v[3 * kP + i] = at(2048 + s);
      if (i % 997 == 0) v[i] = 4095;
    }
    return v;
  }();
  return f;
}

// Per-pixel DRNU tables: rising phases 700 units apart with a pixel offset.
const std::vector<uint16_t> &drnu_table() {
  static const std::vector<uint16_t> t = [] {
    std::vector<uint16_t> v(kP * kN);
    for (size_t p = 0; p < kP; ++p)
      for (int k = 0; k < kN; ++k)
        v[p * kN + static_cast<size_t>(k)] = static_cast<uint16_t>(600 + 716 * k + p % 13);
    return v;
  }();
  return t;
}

DrnuParams drnu_params_for_bench() { return {kRange, 12.5f, 708, 716.0f, drnu_table().data(), kN}; }

using DistKernel = void (*)(uint16_t *, uint16_t *, const uint16_t *, size_t, const DrnuParams &);
using SimpleKernel = void (*)(uint16_t *, uint16_t *, const uint16_t *, size_t,
                              const SimpleParams &);

void BM_KernelDrnu(benchmark::State &state, DistKernel k) {
  std::vector<uint16_t> d(kP), a(kP);
  const DrnuParams p = drnu_params_for_bench();
  for (auto _ : state) {
    k(d.data(), a.data(), raw_frame().data(), kP, p);
    benchmark::DoNotOptimize(d.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK_CAPTURE(BM_KernelDrnu, fast, dist_drnu);
BENCHMARK_CAPTURE(BM_KernelDrnu, avx2, dist_drnu_avx2);
BENCHMARK_CAPTURE(BM_KernelDrnu, reference, dist_drnu_ref);

// The table segment by segment, as the decode keeps it per loaded table.
const DrnuSegmentTable &drnu_table_segments() {
  static const DrnuSegmentTable t = [] {
    DrnuSegmentTable v;
    drnu_segments(v, drnu_table(), kP, kN);
    return v;
  }();
  return t;
}

void BM_KernelDrnuSegments(benchmark::State &state, DistKernel k) {
  std::vector<uint16_t> d(kP), a(kP);
  DrnuParams p = drnu_params_for_bench();
  p.segments = drnu_table_segments().data();
  for (auto _ : state) {
    k(d.data(), a.data(), raw_frame().data(), kP, p);
    benchmark::DoNotOptimize(d.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK_CAPTURE(BM_KernelDrnuSegments, fast, dist_drnu);
BENCHMARK_CAPTURE(BM_KernelDrnuSegments, avx2, dist_drnu_avx2);

// Made once per loaded table, not per frame.
void BM_DrnuSegmentsCopy(benchmark::State &state) {
  DrnuSegmentTable segments;
  for (auto _ : state) {
    drnu_segments(segments, drnu_table(), kP, kN);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DrnuSegmentsCopy);

void BM_KernelSimple(benchmark::State &state, SimpleKernel k) {
  std::vector<uint16_t> d(kP), a(kP);
  for (auto _ : state) {
    k(d.data(), a.data(), raw_frame().data(), kP, {kRange, 1000, 0});
    benchmark::DoNotOptimize(d.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK_CAPTURE(BM_KernelSimple, fast, dist_simple);
BENCHMARK_CAPTURE(BM_KernelSimple, avx2, dist_simple_avx2);
BENCHMARK_CAPTURE(BM_KernelSimple, reference, dist_simple_ref);

void BM_KernelGray(benchmark::State &state, void (*k)(uint16_t *, const uint16_t *, size_t)) {
  std::vector<uint16_t> g(kP);
  for (auto _ : state) {
    k(g.data(), raw_frame().data(), kP);
    benchmark::DoNotOptimize(g.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK_CAPTURE(BM_KernelGray, fast, gray);
BENCHMARK_CAPTURE(BM_KernelGray, avx2, gray_avx2);
BENCHMARK_CAPTURE(BM_KernelGray, reference, gray_ref);

// The stages after the kernel, one by one, on a decoded image.
struct Images {
  std::vector<uint16_t> d = std::vector<uint16_t>(kP), a = std::vector<uint16_t>(kP),
                        t = std::vector<uint16_t>(kP);
  std::vector<uint8_t> mask = std::vector<uint8_t>(kP);
  Images() { dist_drnu(t.data(), a.data(), raw_frame().data(), kP, drnu_params_for_bench()); }
};

void BM_StageRowOrder(benchmark::State &state) {
  Images im;
  for (auto _ : state) {
    dcs_sort(im.d.data(), im.t.data(), kW, kH);
    dcs_sort(im.t.data(), im.a.data(), kW, kH);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StageRowOrder);

void BM_StageMinAmp(benchmark::State &state) {
  Images im;
  for (auto _ : state) {
    min_amp_hysteresis(im.d.data(), im.a.data(), im.mask.data(), kP, 0, 10);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StageMinAmp);

void BM_StageMedian5(benchmark::State &state) {
  Images im;
  for (auto _ : state) {
    kx_median2d_u16(im.d.data(), im.t.data(), kW, kH, 5);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StageMedian5);

void BM_StageGauss(benchmark::State &state) {
  Images im;
  for (auto _ : state) {
    kx_gauss2d_u16_k3(im.d.data(), im.t.data(), kW, kH);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StageGauss);

void BM_StageFlypixFhole(benchmark::State &state) {
  Images im;
  for (auto _ : state) {
    kx_flypix_u16_k3(im.d.data(), im.t.data(), kW, kH, 90000);
    kx_fhole_u16_k3(im.a.data(), im.d.data(), kW, kH);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StageFlypixFhole);

void BM_StageRangeClip(benchmark::State &state) {
  Images im;
  for (auto _ : state) {
    range_clip(im.t.data(), kP, kRange);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StageRangeClip);

// A driver state with the defaults of an opened camera; with `drnu` a chip
// with the bench's DRNU table and the DRNU calibration switched on.
struct Driver {
  epc_drv_state_t *st = static_cast<epc_drv_state_t *>(std::calloc(1, sizeof(epc_drv_state_t)));
  torvi_drv_t drv{};
  torvi_frame_info_t fi{};
  explicit Driver(bool drnu = false) {
    st->min_amp_en = st->depth_filter_en = st->flypix_en = st->min_amp_hyst_en = 1;
    st->flypix_thr = 90000;
    st->min_amp_hyst = 10;
    st->depth_filter_level = 5;
    st->calib_scale = 1000;
    st->range_mm = kRange;
    drv.ops = &g_torvi_driver_op_epc;
    drv.priv = st;
    fi.width = kW;
    fi.height = kH;
    fi.frame_size = 8 * kP;
    fi.frame_format = 2;
    if (drnu) {
      st->chip = new Chip();
      Drnu &d = st->chip->drnu();
      d.num_distances = kN;
      d.table[0] = d.table[1] = drnu_table();
      d.table_stamp[0] = new_table_stamp();
      d.table_stamp[1] = new_table_stamp();
      st->drnu_en = 1;
      st->drnu_base_mm = 295;
      st->temp_coef_phase = 2.0f;
      st->t_sensor = 371;
      st->t_sensor_cal = 361;
    }
  }
  ~Driver() {
    delete st->chip;
    decode_release(*st);
    std::free(st->min_amp_mask);
    std::free(st);
  }
};

// `isa` caps the kernels: 0 the plain reference kernels, 1 AVX2, 2 the
// fastest the CPU has.
void BM_DecodeDistance(benchmark::State &state, bool drnu, int isa) {
  const torvi::hooks::ScopedKnob cap(torvi::hooks::Knob::kDecodeIsaCap, isa);
  Driver d(drnu);
  std::vector<uint16_t> out(kP);
  for (auto _ : state) {
    epc_frame_decode(&d.drv, out.data(), 2 * kP, TORVI_DECODE_DIST, raw_frame().data(), 8 * kP,
                     &d.fi);
    benchmark::ClobberMemory();
  }
}
BENCHMARK_CAPTURE(BM_DecodeDistance, drnu, true, 2);
BENCHMARK_CAPTURE(BM_DecodeDistance, drnu_avx2, true, 1);
BENCHMARK_CAPTURE(BM_DecodeDistance, drnu_reference, true, 0);
BENCHMARK_CAPTURE(BM_DecodeDistance, simple, false, 2);
BENCHMARK_CAPTURE(BM_DecodeDistance, simple_reference, false, 0);

void BM_DecodeGray(benchmark::State &state, int isa) {
  const torvi::hooks::ScopedKnob cap(torvi::hooks::Knob::kDecodeIsaCap, isa);
  Driver d;
  std::vector<uint16_t> out(kP);
  for (auto _ : state) {
    epc_frame_decode(&d.drv, out.data(), 2 * kP, TORVI_DECODE_GRAY, raw_frame().data(), 8 * kP,
                     &d.fi);
    benchmark::ClobberMemory();
  }
}
BENCHMARK_CAPTURE(BM_DecodeGray, fast, 2);
BENCHMARK_CAPTURE(BM_DecodeGray, reference, 0);

void BM_PointCloud(benchmark::State &state) {
  torvi::pcl::RayKey key;
  key.width = kW;
  key.height = kH;
  key.lens = {157.262, 122.083, 210.783, 204.817, 0, 0, 0, 0, 0};
  const auto rays = torvi::pcl::rays_for(key);
  std::vector<float> dist(kP), pcl(3 * kP);
  for (size_t i = 0; i < kP; ++i)
    dist[i] = i % 50 == 0 ? 65.3f : 0.5f + 0.0001f * static_cast<float>(i % 4000);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        torvi::pcl::project(pcl.data(), pcl.size(), dist.data(), kP, rays->data(), 1.0f, 3, false));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PointCloud);

}  // namespace

BENCHMARK_MAIN();
