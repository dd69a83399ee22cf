// Colour-map records: creation, range and lookups.
#include <torvi/kx_cmap.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/c_entry.h"
#include "imgproc/cmap_table.h"

namespace {

constexpr int32_t kInitialMax = 4000;
constexpr float kInitialGrayScale = 0.06375f;  // 255 / 4000

bool usable(const kx_cmap_t *cmap) {
  return cmap != nullptr && cmap->table != nullptr && cmap->count > 0;
}

// Offset of value above range_min as a float, times a scale; the product of
// two floats is exact in a double, so only the truncation that follows
// rounds.
double scaled_offset(const kx_cmap_t &cmap, int value, float scale) {
  const int64_t offset = int64_t{value} - cmap.range_min;
  return static_cast<double>(static_cast<float>(offset)) * static_cast<double>(scale);
}

}  // namespace

extern "C" {

kx_cmap_t g_torvi_cmap = {0, 0, 0, 0.0f, 0.0f, nullptr};

TORVI_API uint32_t *kx_cmap_init(kx_cmap_t *cmap, int count) {
  return torvi::c_entry<uint32_t *>(__func__, nullptr, [&]() -> uint32_t * {
    torvi::check_arg(cmap != nullptr && count > 0 && count <= KX_CMAP_MAX_COUNT,
                     "cmap %p, count %d", static_cast<void *>(cmap), count);
    auto *table =
        static_cast<uint32_t *>(std::malloc(sizeof(uint32_t) * static_cast<size_t>(count)));
    if (table == nullptr) return nullptr;
    torvi::cmap_fill_table(std::span<uint32_t>(table, static_cast<size_t>(count)));
    cmap->count = count;
    cmap->range_min = 0;
    cmap->range_max = kInitialMax;
    cmap->gray_scale = kInitialGrayScale;
    cmap->index_scale = static_cast<float>(count) / static_cast<float>(kInitialMax);
    cmap->table = table;
    return table;
  });
}

TORVI_API void kx_cmap_uninit(kx_cmap_t *cmap) {
  torvi::c_entry_void(__func__, [&] {
    if (cmap == nullptr) return;
    std::free(cmap->table);
    cmap->table = nullptr;
    cmap->count = 0;
  });
}

TORVI_API int kx_cmap_set_range(kx_cmap_t *cmap, int a, int b) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    torvi::check_arg(cmap != nullptr, "cmap is NULL");
    if (a == b) {
      cmap->index_scale = static_cast<float>(cmap->count);
      cmap->gray_scale = 255.0f;
      return 0;
    }
    cmap->range_min = std::min(a, b);
    cmap->range_max = std::max(a, b);
    const int64_t w = int64_t{cmap->range_max} - cmap->range_min;
    cmap->gray_scale = static_cast<float>(255.0 / static_cast<double>(w));
    cmap->index_scale = static_cast<float>(cmap->count) / static_cast<float>(w);
    return static_cast<int>(std::min<int64_t>(w, INT_MAX));
  });
}

TORVI_API uint32_t kx_cmap_get_color(const kx_cmap_t *cmap, int value) {
  KX_LOG_NAME("kx_cmap_get_color");
  return torvi::c_entry<uint32_t>(__func__, 0, [&]() -> uint32_t {
    if (value == TORVI_DIST_FILTERED) return 0;
    if (value == TORVI_DIST_SATURATED) return KX_CMAP_COLOR_SATURATED;
    if (value == TORVI_DIST_INVALID) return KX_CMAP_COLOR_INVALID;
    if (!usable(cmap)) {
      KX_ERR("colour map is empty\n");
      return 0;
    }
    if (value <= cmap->range_min || value > cmap->range_max) return 0;
    const int32_t n = cmap->count;
    const double s = scaled_offset(*cmap, value, cmap->index_scale);
    if (s >= n) return cmap->table[0];           // k = n - trunc(s) <= 0
    if (!(s >= 1.0)) return cmap->table[n - 1];  // k >= n
    return cmap->table[n - static_cast<int32_t>(s)];
  });
}

TORVI_API uint32_t kx_cmap_get_gray(const kx_cmap_t *cmap, int value) {
  return torvi::c_entry<uint32_t>(__func__, 0, [&]() -> uint32_t {
    if (value == TORVI_DIST_SATURATED) return KX_CMAP_COLOR_SATURATED;
    if (value == TORVI_DIST_INVALID) return KX_CMAP_COLOR_INVALID;
    torvi::check_arg(cmap != nullptr, "cmap is NULL");
    if (value > cmap->range_max) return 0xffffffu;
    if (value < cmap->range_min) return 0;
    const double s = scaled_offset(*cmap, value, cmap->gray_scale);
    const uint32_t g = s >= 255.0 ? 255u : (s > 0.0 ? static_cast<uint32_t>(s) : 0u);
    return g * 0x010101u;
  });
}

}  // extern "C"
