// Little-endian reads and writes of unsigned integers in byte buffers: the
// byte order of every wire and file format the library speaks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvi {

// The `bytes` (at most 8) bytes at p as a little-endian number.
constexpr uint64_t get_le(const uint8_t *p, std::size_t bytes) {
  uint64_t v = 0;
  for (std::size_t i = bytes; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

constexpr uint16_t get_le16(const uint8_t *p) { return static_cast<uint16_t>(get_le(p, 2)); }
constexpr uint32_t get_le32(const uint8_t *p) { return static_cast<uint32_t>(get_le(p, 4)); }

// Writes the low `bytes` (at most 8) bytes of v at p, least significant first.
constexpr void put_le(uint8_t *p, uint64_t v, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

constexpr void put_le16(uint8_t *p, uint16_t v) { put_le(p, v, 2); }
constexpr void put_le32(uint8_t *p, uint32_t v) { put_le(p, v, 4); }

}  // namespace torvi
