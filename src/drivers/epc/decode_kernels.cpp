// The choice of the distance kernels for the running CPU and the plain
// per-frame steps of the decode (row order, HDR merge, minimum amplitude,
// range clip, DCS balance, integration-time statistics).
#include "drivers/epc/decode_kernels.h"

#include <torvi/kx_math.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "core/test_hooks.h"
#include "drivers/epc/decode_tables.h"

namespace torvi::epc {
namespace {

// The widest kernel level the CPU runs and the test cap allows.
DecodeIsa isa() {
  const int64_t cap = hooks::get(hooks::Knob::kDecodeIsaCap);
  if (cap >= 2 && cpu_has_avx512()) return DecodeIsa::kAvx512;
  if (cap >= 1 && cpu_has_avx2()) return DecodeIsa::kAvx2;
  return DecodeIsa::kReference;
}

struct WideAtanTable {
  int32_t v[ARCTAN2_LUT_NUM];
  WideAtanTable() {
    for (int i = 0; i < ARCTAN2_LUT_NUM; ++i) v[i] = g_atan2_LUT[i];
  }
};

int root_of(int32_t v) { return static_cast<int>(kx_math_sqrtf(static_cast<float>(v))); }

// trunc(kx_math_sqrtf(v)) is isqrt(v) or isqrt(v) + 1 and never falls as v
// grows, so between (k - 1)^2 and k^2 it reaches k once, found by bisection.
struct AmpRootSteps {
  int32_t v[kAmpRootSteps];
  AmpRootSteps() {
    v[0] = 0;
    for (int k = 1; k < kAmpRootSteps; ++k) {
      int32_t lo = (k - 1) * (k - 1), hi = k * k;  // root_of(hi) >= k, below lo it is < k
      while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (root_of(mid) >= k)
          hi = mid;
        else
          lo = mid + 1;
      }
      v[k] = lo;
    }
  }
};

}  // namespace

const int32_t *wide_atan_table() {
  static const WideAtanTable t;
  return t.v;
}

const int32_t *amp_root_steps() {
  static const AmpRootSteps t;
  return t.v;
}

DecodeLuts decode_luts() { return {wide_atan_table(), amp_root_steps()}; }

const int *simple_phase_table(const SimpleParams &p) {
  struct Table {
    std::vector<uint16_t> v;
    SimpleParams made_for{0, 0, 0};
    bool ready = false;
  };
  thread_local Table t;
  if (!t.ready || t.made_for.range_mm != p.range_mm || t.made_for.scale != p.scale ||
      t.made_for.offset_mm != p.offset_mm) {
    t.ready = false;
    t.v.assign(kPhaseTurn + 2, 0);
    for (int ph = 0; ph < kPhaseTurn; ++ph) t.v[static_cast<size_t>(ph)] = simple_distance(ph, p);
    t.made_for = p;
    t.ready = true;
  }
  return reinterpret_cast<const int *>(t.v.data());
}

bool cpu_has_avx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

bool cpu_has_avx512() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq");
  }();
  return has;
}

bool cpu_runs(DecodeIsa level) {
  switch (level) {
    case DecodeIsa::kReference:
      return true;
    case DecodeIsa::kAvx2:
      return cpu_has_avx2();
    case DecodeIsa::kAvx512:
      return cpu_has_avx512();
  }
  return false;
}

DecodeIsa active_decode_isa() { return isa(); }

void dist_simple(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                 const SimpleParams &p) {
  switch (isa()) {
    case DecodeIsa::kAvx512:
      return dist_simple_avx512(dist, amp, src, pixels, p);
    case DecodeIsa::kAvx2:
      return dist_simple_avx2(dist, amp, src, pixels, p);
    case DecodeIsa::kReference:
      break;
  }
  dist_simple_ref(dist, amp, src, pixels, p);
}

void dist_drnu(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
               const DrnuParams &p) {
  switch (isa()) {
    case DecodeIsa::kAvx512:
      return dist_drnu_avx512(dist, amp, src, pixels, p);
    case DecodeIsa::kAvx2:
      return dist_drnu_avx2(dist, amp, src, pixels, p);
    case DecodeIsa::kReference:
      break;
  }
  dist_drnu_ref(dist, amp, src, pixels, p);
}

void gray(uint16_t *out, const uint16_t *src, size_t pixels) {
  switch (isa()) {
    case DecodeIsa::kAvx512:
      return gray_avx512(out, src, pixels);
    case DecodeIsa::kAvx2:
      return gray_avx2(out, src, pixels);
    case DecodeIsa::kReference:
      break;
  }
  gray_ref(out, src, pixels);
}

void *large_page_alloc(size_t bytes) {
  constexpr size_t kLine = 64, kLargePage = size_t{2} << 20;
  const size_t align = bytes >= kLargePage ? kLargePage : kLine;
  if (bytes > SIZE_MAX - align) throw std::bad_alloc();
  const size_t rounded = (std::max<size_t>(bytes, 1) + align - 1) / align * align;
  void *p = std::aligned_alloc(align, rounded);
  if (p == nullptr) throw std::bad_alloc();
#if defined(__linux__)
  // Only advice: where the system declines, the table stays on small pages.
  if (align == kLargePage) (void)madvise(p, rounded, MADV_HUGEPAGE);
#endif
  return p;
}

void large_page_free(void *p) noexcept { std::free(p); }

void drnu_segments(DrnuSegmentTable &out, std::span<const uint16_t> table, size_t pixels,
                   int num_dist) {
  const size_t n = num_dist > 0 ? static_cast<size_t>(num_dist) : 0;
  out.clear();
  if (n < 2 || table.size() < n * pixels) return;
  const auto pair = [](uint16_t low, uint16_t high) {
    return uint32_t{low} | uint32_t{high} << 16;
  };
  out.resize(n * pixels);
  for (size_t i = 0; i < pixels; ++i) {
    const uint16_t *row = table.data() + i * n;
    for (size_t j = 0; j + 1 < n; ++j) out[j * pixels + i] = pair(row[j], row[j + 1]);
    out[(n - 1) * pixels + i] = pair(row[0], row[n - 1]);
  }
}

void hdr_merge(uint16_t *amp, uint16_t *dist, int width, int height) {
  for (int r = 0; r + 1 < height; r += 2) {
    uint16_t *a0 = amp + static_cast<size_t>(r) * width, *a1 = a0 + width;
    uint16_t *d0 = dist ? dist + static_cast<size_t>(r) * width : nullptr;
    uint16_t *d1 = d0 ? d0 + width : nullptr;
    for (int c = 0; c < width; ++c) {
      const bool first_wins = static_cast<int16_t>(a0[c]) > static_cast<int16_t>(a1[c]);
      if (first_wins) {
        a1[c] = a0[c];
        if (d0) d1[c] = d0[c];
      } else {
        a0[c] = a1[c];
        if (d0) d0[c] = d1[c];
      }
    }
  }
}

// Both loops are written as arithmetic on all-ones / all-zero masks rather
// than choices, so that the compiler turns them into vector code.
void min_amp_hysteresis_ref(uint16_t *dist, const uint16_t *amp, uint8_t *mask, size_t pixels,
                            uint16_t min_amp, uint16_t hyst) {
  // amp < min_amp - hyst, as amp < low with low clamped at 0 (never true).
  const auto low = static_cast<uint16_t>(min_amp > hyst ? min_amp - hyst : 0);
  for (size_t i = 0; i < pixels; ++i) {
    const uint16_t a = amp[i];
    const auto high = static_cast<uint8_t>(a >= min_amp);                 // 1: set
    const auto keep = static_cast<uint8_t>(-static_cast<int>(a >= low));  // 0xFF: not cleared
    const auto m = static_cast<uint8_t>((mask[i] & keep & (high - 1)) | high);
    mask[i] = m;
    const auto drop = static_cast<uint16_t>(-static_cast<int>(m == 0));
    dist[i] = static_cast<uint16_t>((dist[i] & ~drop) | (kDistFiltered & drop));
  }
}

void min_amp_plain_ref(uint16_t *dist, const uint16_t *amp, size_t pixels, uint16_t min_amp) {
  for (size_t i = 0; i < pixels; ++i) {
    const auto drop = static_cast<uint16_t>(-static_cast<int>(amp[i] < min_amp));
    dist[i] = static_cast<uint16_t>((dist[i] & ~drop) | (kDistFiltered & drop));
  }
}

void range_clip_ref(uint16_t *dist, size_t pixels, uint32_t range_mm) {
  constexpr uint16_t kLastDistance = 60000, kNearLimit = 100;
  // v <= 60000 and (v >= range or v <= 100), in 16-bit terms.
  const auto far = static_cast<uint16_t>(std::min<uint32_t>(range_mm, kLastDistance + 1u));
  for (size_t i = 0; i < pixels; ++i) {
    const uint16_t v = dist[i];
    const bool clip = v <= kNearLimit || (v >= far && v <= kLastDistance);
    dist[i] = clip ? kDistFiltered : v;
  }
}

void min_amp_hysteresis(uint16_t *dist, const uint16_t *amp, uint8_t *mask, size_t pixels,
                        uint16_t min_amp, uint16_t hyst) {
  if (isa() == DecodeIsa::kAvx512)
    return min_amp_hysteresis_avx512(dist, amp, mask, pixels, min_amp, hyst);
  min_amp_hysteresis_ref(dist, amp, mask, pixels, min_amp, hyst);
}

void min_amp_plain(uint16_t *dist, const uint16_t *amp, size_t pixels, uint16_t min_amp) {
  if (isa() == DecodeIsa::kAvx512) return min_amp_plain_avx512(dist, amp, pixels, min_amp);
  min_amp_plain_ref(dist, amp, pixels, min_amp);
}

void range_clip(uint16_t *dist, size_t pixels, uint32_t range_mm) {
  if (isa() == DecodeIsa::kAvx512) return range_clip_avx512(dist, pixels, range_mm);
  range_clip_ref(dist, pixels, range_mm);
}

BalanceShares dcs_balance(const uint16_t *src, size_t pixels, size_t counted) {
  constexpr int kLow = 4017, kHigh = 4175;
  counted = std::min(counted, pixels);
  size_t even = 0, odd = 0;
  for (size_t i = 0; i < counted; ++i) {
    const int s02 = (src[i] & kSampleMask) + (src[2 * pixels + i] & kSampleMask);
    const int s13 = (src[pixels + i] & kSampleMask) + (src[3 * pixels + i] & kSampleMask);
    even += (s02 >= kLow && s02 <= kHigh) ? 1 : 0;
    odd += (s13 >= kLow && s13 <= kHigh) ? 1 : 0;
  }
  if (pixels == 0) return {};
  return {static_cast<int>(even * 100 / pixels), static_cast<int>(odd * 100 / pixels)};
}

bool dcs_balanced(const BalanceShares &s) {
  constexpr int kMinPct = 60;
  return s.even_pct > kMinPct && s.odd_pct > kMinPct;
}

IntgStats intg_stats(const uint16_t *samples, size_t count) {
  IntgStats s;
  uint32_t low = 0, high = 0, bad = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint16_t v = samples[i];
    low += (v >= 2 && v <= 511) ? 1u : 0u;
    high += (v >= 3585 && v <= kSampleMax) ? 1u : 0u;
    bad += (v <= 1 || v > kSampleMax) ? 1u : 0u;
  }
  s.low = low;
  s.high = high;
  s.bad = bad;
  s.total = static_cast<uint32_t>(count);
  s.bad_permille = count ? static_cast<int>(uint64_t{bad} * 1000 / count) : 0;
  return s;
}

int intg_step(const IntgStats &s, int threshold_permille) {
  constexpr int kRaise = 50, kLowerUnit = 10;
  constexpr uint32_t kManyHigh = 512, kFewHigh = 10, kManyLow = 512;
  if (s.total == 0) return kRaise;
  const int bad = s.bad_permille;
  if (bad >= threshold_permille && bad >= 10) return -kLowerUnit * (bad / 10);
  if (bad >= threshold_permille && bad >= 1 && s.high > kManyHigh) return -kLowerUnit;
  return (s.high <= kFewHigh && s.low <= kManyLow) ? kRaise : 0;
}

int intg_next(int current_us, int step) {
  return std::clamp(current_us + step, kIntgMinUs, kIntgMaxUs);
}

}  // namespace torvi::epc
