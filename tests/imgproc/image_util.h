// Random 16-bit test images and console capture for the image tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace torvi::test {

using Image = std::vector<uint16_t>;

// Random image mixing the kinds of content that break filters: full-range
// noise, the markers 0/65300/65400/65500 and other extremes, flat patches
// (many equal values) and narrow value ranges.
inline Image random_image(std::mt19937 &rng, int w, int h) {
  static constexpr uint16_t kSpecial[] = {0, 1, 65300, 65400, 65500, 65535, 32767, 32768, 1000};
  Image img(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  const int style = static_cast<int>(rng() % 4);
  const uint16_t base = static_cast<uint16_t>(rng());
  for (auto &v : img) {
    const uint32_t pick = rng() % 16;
    if (pick < 3)
      v = kSpecial[rng() % std::size(kSpecial)];
    else if (style == 0)
      v = static_cast<uint16_t>(rng());
    else if (style == 1)
      v = static_cast<uint16_t>(base + rng() % 4);  // many ties
    else if (style == 2)
      v = static_cast<uint16_t>(rng() % 2 ? 0 : 65535);  // extreme jumps
    else
      v = static_cast<uint16_t>(500 + rng() % 3000);  // depth-like
  }
  return img;
}

// Runs fn with standard output captured; returns what it printed.
template <typename Fn>
std::string console_of(Fn fn) {
  ::testing::internal::CaptureStdout();
  fn();
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

}  // namespace torvi::test
