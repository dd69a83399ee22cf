// The fixed-size depth filters, once per instruction set, and the choice of
// the set the running CPU supports. Arguments are checked by the public
// entry points; these functions expect width >= 2, height >= 2 and distinct
// src/dst buffers of width x height values.
#pragma once

#include <cstdint>
#include <span>

namespace torvi {

using FilterFn = void (*)(uint16_t *dst, const uint16_t *src, int width, int height, uint32_t arg);

struct FilterSet {
  const char *name;
  FilterFn median3;
  FilterFn median5;
  FilterFn box3;
  FilterFn gauss3;
  FilterFn flypix3;  // arg: threshold
  FilterFn fhole3;
  FilterFn fhole5;
};

const FilterSet &filter_set_sse2();
const FilterSet &filter_set_avx2();
const FilterSet &filter_set_avx512();  // AVX-512 F and BW

// Every set the running CPU can execute, baseline first.
std::span<const FilterSet *const> supported_filter_sets();
// The fastest supported set.
const FilterSet &active_filter_set();

}  // namespace torvi
