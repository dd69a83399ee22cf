// CRC-16/XMODEM: the standard check value, the table form against the
// bit-by-bit reference, and continuation over pieces.
#include "core/crc16.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace torvi {
namespace {

std::span<const uint8_t> bytes_of(const std::string &s) {
  return {reinterpret_cast<const uint8_t *>(s.data()), s.size()};
}

TEST(Crc16, KnownValues) {
  EXPECT_EQ(crc16_xmodem(bytes_of("123456789")), 0x31C3);
  EXPECT_EQ(crc16_xmodem(bytes_of("")), 0);
  EXPECT_EQ(crc16_xmodem(bytes_of("A")), 0x58E5);
  const std::vector<uint8_t> zeros(16, 0);
  EXPECT_EQ(crc16_xmodem(zeros), 0);  // initial value 0, no final xor
}

TEST(Crc16, TableAndBitwiseAgreeOnRandomInputs) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> v(rng() % 2100);
    for (auto &b : v) b = static_cast<uint8_t>(rng());
    ASSERT_EQ(crc16_xmodem(v), crc16_xmodem_bitwise(v)) << "size " << v.size();
  }
}

TEST(Crc16, PiecesContinueTheWholeCrc) {
  std::mt19937 rng(9);
  std::vector<uint8_t> v(1018);
  for (auto &b : v) b = static_cast<uint8_t>(rng());
  const std::span<const uint8_t> all(v);
  const uint16_t first = crc16_xmodem(all.first(400));
  EXPECT_EQ(crc16_xmodem(all.subspan(400), first), crc16_xmodem(all));
}

TEST(Crc16, EverySingleBitFlipChangesTheCrc) {
  std::vector<uint8_t> v(1018, 0x5A);
  const uint16_t good = crc16_xmodem(v);
  for (size_t i = 0; i < v.size(); i += 97) {
    for (int bit = 0; bit < 8; ++bit) {
      v[i] ^= static_cast<uint8_t>(1 << bit);
      EXPECT_NE(crc16_xmodem(v), good) << i << ":" << bit;
      v[i] ^= static_cast<uint8_t>(1 << bit);
    }
  }
}

}  // namespace
}  // namespace torvi
