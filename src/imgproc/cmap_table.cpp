// The ramp: each channel is a piecewise-linear function of t in [-0.25, 0.75).
#include "imgproc/cmap_table.h"

#include <cstddef>

namespace torvi {
namespace {

// A ramp value is rounded to a 32-bit float, then truncated toward zero.
uint32_t to_channel(double v) { return static_cast<uint32_t>(static_cast<float>(v)); }

uint32_t blue(double t) {
  if (t < -0.375) return 0;
  if (t < -0.125) return to_channel((t + 0.375) * 255 * 4);
  if (t < 0.125) return 255;
  if (t < 0.375) return to_channel(255 - (t - 0.125) * 255 * 4);
  return 0;
}

uint32_t green(double t) {
  if (t < -0.125) return 0;
  if (t < 0.125) return to_channel((t + 0.125) * 255 * 4);
  if (t < 0.375) return 255;
  if (t < 0.75) return to_channel(255 - (t - 0.375) * 255 / 0.375);
  return 0;
}

uint32_t red(double t) {
  if (t < 0.125) return 0;
  if (t < 0.375) return to_channel((t - 0.125) * 255 * 4);
  if (t < 0.625) return 255;
  if (t < 1.125) return to_channel(255 - (t - 0.625) * 255 * 2);
  return 0;
}

}  // namespace

void cmap_fill_table(std::span<uint32_t> table) {
  const float n = static_cast<float>(table.size());
  for (size_t i = 0; i < table.size(); ++i) {
    const float ratio = static_cast<float>(i) / n;
    const double t = static_cast<double>(static_cast<float>(static_cast<double>(ratio) - 0.25));
    table[i] = red(t) | green(t) << 8 | blue(t) << 16;
  }
}

}  // namespace torvi
