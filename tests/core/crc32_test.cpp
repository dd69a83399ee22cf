// CRC-32: the standard check values, the folded form against the table
// reference on random inputs of every length class and alignment, and
// continuation over pieces.
#include "core/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace torvi {
namespace {

std::span<const uint8_t> bytes_of(const std::string &s) {
  return {reinterpret_cast<const uint8_t *>(s.data()), s.size()};
}

std::vector<uint8_t> random_bytes(std::mt19937 &rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto &b : v) b = static_cast<uint8_t>(rng());
  return v;
}

TEST(Crc32, KnownValues) {
  EXPECT_EQ(crc32_ieee(bytes_of("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32_ieee(bytes_of("")), 0u);
  EXPECT_EQ(crc32_ieee(bytes_of("The quick brown fox jumps over the lazy dog")), 0x414FA339u);
  // Long enough for the folded path: 64 and 1000 zero bytes, 4096 x 'a'.
  EXPECT_EQ(crc32_ieee(std::vector<uint8_t>(64, 0)), 0x758D6336u);
  EXPECT_EQ(crc32_ieee(std::vector<uint8_t>(1000, 0)),
            crc32_ieee_bytewise(std::vector<uint8_t>(1000, 0)));
  EXPECT_EQ(crc32_ieee(std::vector<uint8_t>(32, 0xFF)), 0xFF6CAB0Bu);
}

TEST(Crc32, FoldedAndTableFormsAgreeOnRandomInputs) {
  std::mt19937 rng(11);
  // Every length up to 300 (the edges at 64 and the 16-byte tails), then
  // random lengths, each at a random misalignment.
  for (size_t len = 0; len < 300; ++len) {
    const std::vector<uint8_t> v = random_bytes(rng, len + 16);
    const std::span<const uint8_t> s = std::span<const uint8_t>(v).subspan(rng() % 16, len);
    ASSERT_EQ(crc32_ieee(s), crc32_ieee_bytewise(s)) << "length " << len;
    const uint32_t prior = rng();
    ASSERT_EQ(crc32_ieee(s, prior), crc32_ieee_bytewise(s, prior)) << "length " << len;
  }
  for (int round = 0; round < 200; ++round) {
    const size_t len = rng() % 70000;
    const std::vector<uint8_t> v = random_bytes(rng, len + 16);
    const std::span<const uint8_t> s = std::span<const uint8_t>(v).subspan(rng() % 16, len);
    ASSERT_EQ(crc32_ieee(s), crc32_ieee_bytewise(s)) << "length " << len;
  }
}

TEST(Crc32, PiecesContinueTheWholeCrc) {
  std::mt19937 rng(5);
  const std::vector<uint8_t> v = random_bytes(rng, 1 << 20);
  const std::span<const uint8_t> all(v);
  const uint32_t whole = crc32_ieee(all);
  EXPECT_EQ(whole, crc32_ieee_bytewise(all));
  for (size_t cut : {size_t{1}, size_t{63}, size_t{64}, size_t{1000}, size_t{654321}}) {
    EXPECT_EQ(crc32_ieee(all.subspan(cut), crc32_ieee(all.first(cut))), whole) << cut;
  }
}

TEST(Crc32, EverySingleBitFlipChangesTheCrc) {
  std::vector<uint8_t> v(1018, 0x5A);
  const uint32_t good = crc32_ieee(v);
  for (size_t i = 0; i < v.size(); i += 61) {
    for (int bit = 0; bit < 8; ++bit) {
      v[i] ^= static_cast<uint8_t>(1 << bit);
      EXPECT_NE(crc32_ieee(v), good) << i << ":" << bit;
      v[i] ^= static_cast<uint8_t>(1 << bit);
    }
  }
}

}  // namespace
}  // namespace torvi
