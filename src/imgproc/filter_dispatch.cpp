// Choice of the filter set for the running CPU.
#include <array>

#include "imgproc/filter_set.h"

namespace torvi {

namespace {

struct Supported {
  std::array<const FilterSet *, 3> sets{};
  std::size_t count = 0;
  Supported() {
    sets[count++] = &filter_set_sse2();
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2")) return;
    sets[count++] = &filter_set_avx2();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"))
      sets[count++] = &filter_set_avx512();
  }
};

const Supported &supported() {
  static const Supported s;
  return s;
}

}  // namespace

std::span<const FilterSet *const> supported_filter_sets() {
  return {supported().sets.data(), supported().count};
}

const FilterSet &active_filter_set() {
  static const FilterSet &set = *supported().sets[supported().count - 1];
  return set;
}

}  // namespace torvi
