// Little-endian fields of wire records: the one place that reads and writes
// them byte by byte, so records travel the same on every host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvi {

constexpr uint16_t get_le16(const uint8_t *p) {
  return static_cast<uint16_t>(p[0] | static_cast<unsigned>(p[1]) << 8);
}

constexpr uint32_t get_le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

constexpr void put_le16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

constexpr void put_le32(uint8_t *p, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace torvi
