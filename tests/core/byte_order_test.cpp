#include "core/byte_order.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

TEST(ByteOrder, ReadsLeastSignificantByteFirst) {
  const std::array<uint8_t, 8> b = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88};
  EXPECT_EQ(torvi::get_le16(b.data()), 0x0201);
  EXPECT_EQ(torvi::get_le32(b.data()), 0x04030201u);
  EXPECT_EQ(torvi::get_le32(b.data() + 4), 0x88070605u);
  EXPECT_EQ(torvi::get_le(b.data(), 3), 0x030201u);
  EXPECT_EQ(torvi::get_le(b.data(), 8), 0x8807060504030201ull);
  EXPECT_EQ(torvi::get_le(b.data(), 0), 0u);
}

TEST(ByteOrder, WritesLeastSignificantByteFirstAndOnlyItsBytes) {
  std::array<uint8_t, 8> b{};
  b.fill(0xEE);
  torvi::put_le16(b.data(), 0xA1B2);
  EXPECT_EQ(b[0], 0xB2);
  EXPECT_EQ(b[1], 0xA1);
  EXPECT_EQ(b[2], 0xEE);
  torvi::put_le32(b.data() + 2, 0xC1D2E3F4u);
  EXPECT_EQ((std::array<uint8_t, 4>{b[2], b[3], b[4], b[5]}),
            (std::array<uint8_t, 4>{0xF4, 0xE3, 0xD2, 0xC1}));
  EXPECT_EQ(b[6], 0xEE);
  torvi::put_le(b.data(), 0x112233, 3);
  EXPECT_EQ(b[0], 0x33);
  EXPECT_EQ(b[2], 0x11);
  EXPECT_EQ(b[3], 0xE3);
}

TEST(ByteOrder, WriteThenReadGivesTheValueBack) {
  uint8_t b[8];
  for (uint64_t v : {0ull, 1ull, 0x8000000000000001ull, 0xFFFFFFFFFFFFFFFFull}) {
    torvi::put_le(b, v, 8);
    EXPECT_EQ(torvi::get_le(b, 8), v);
  }
  torvi::put_le32(b, 0xDEADBEEFu);
  EXPECT_EQ(torvi::get_le32(b), 0xDEADBEEFu);
  // Signed values travel as their two's-complement bits.
  torvi::put_le16(b, static_cast<uint16_t>(int16_t{-15}));
  EXPECT_EQ(static_cast<int16_t>(torvi::get_le16(b)), -15);
}

}  // namespace
