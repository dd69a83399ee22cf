// CRC-32 as zlib, ZIP, PNG and MCAP use it: reflected polynomial 0xEDB88320,
// initial value and final XOR 0xFFFFFFFF. Check value: "123456789" gives
// 0xCBF43926.
#pragma once

#include <cstdint>
#include <span>

namespace torvi {

// CRC of `data`, continuing from `crc` (the CRC of the bytes before; 0 for a
// fresh start), like zlib's crc32(). Folds 16 bytes at a time with carry-less
// multiplication where the CPU has it.
uint32_t crc32_ieee(std::span<const uint8_t> data, uint32_t crc = 0);

// The plain byte-at-a-time table form, kept as the reference.
uint32_t crc32_ieee_bytewise(std::span<const uint8_t> data, uint32_t crc = 0);

}  // namespace torvi
