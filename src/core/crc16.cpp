// CRC-16/XMODEM, byte-wise with a 256-entry table built at compile time.
#include "core/crc16.h"

#include <array>

namespace torvi {
namespace {

constexpr uint16_t kPoly = 0x1021;

constexpr uint16_t shift_byte(uint16_t crc, uint8_t byte) {
  crc = static_cast<uint16_t>(crc ^ static_cast<uint16_t>(byte << 8));
  for (int bit = 0; bit < 8; ++bit)
    crc = static_cast<uint16_t>((crc & 0x8000u) != 0 ? (crc << 1) ^ kPoly : crc << 1);
  return crc;
}

constexpr std::array<uint16_t, 256> make_table() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) t[i] = shift_byte(0, static_cast<uint8_t>(i));
  return t;
}

constexpr std::array<uint16_t, 256> kTable = make_table();

}  // namespace

uint16_t crc16_xmodem(std::span<const uint8_t> data, uint16_t crc) {
  for (uint8_t b : data)
    crc = static_cast<uint16_t>(crc << 8 ^ kTable[static_cast<uint8_t>(crc >> 8 ^ b)]);
  return crc;
}

uint16_t crc16_xmodem_bitwise(std::span<const uint8_t> data, uint16_t crc) {
  for (uint8_t b : data) crc = shift_byte(crc, b);
  return crc;
}

}  // namespace torvi
