// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final
// XOR. Check value: "123456789" gives 0x31C3.
#pragma once

#include <cstdint>
#include <span>

namespace torvi {

// CRC of `data`, continuing from `crc` (0 for a fresh start); 0 for no bytes.
uint16_t crc16_xmodem(std::span<const uint8_t> data, uint16_t crc = 0);

// The plain bit-by-bit form, kept as the reference for the table version.
uint16_t crc16_xmodem_bitwise(std::span<const uint8_t> data, uint16_t crc = 0);

}  // namespace torvi
