// The data-transfer records on the wire and the host's reading of replies.
#include "transfer/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace torvi::transfer {
namespace {

TEST(Wire, InformationRecordLayout) {
  torvi_data_info_t r{};
  r.type = 2;
  r.version = 0x1234;
  r.size = 0xA1B2C3D4;
  r.addr = 0x08020000;
  const auto b = encode_info(r);
  const std::array<uint8_t, 16> want = {2,    0,    0x34, 0x12, 0xD4, 0xC3, 0xB2, 0xA1,
                                        0x00, 0x00, 0x02, 0x08, 0,    0,    0,    0};
  EXPECT_EQ(b, want);
  const torvi_data_info_t back = decode_info(b);
  EXPECT_EQ(back.version, 0x1234);
  EXPECT_EQ(back.size, 0xA1B2C3D4u);
  EXPECT_EQ(back.addr, 0x08020000u);
}

TEST(Wire, AnnounceEraseAndChunkLayouts) {
  const auto a = encode_announce({5, 0, 0x0102, 1019, 0});
  const std::array<uint8_t, 12> want_a = {5, 0, 2, 1, 0xFB, 3, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(a, want_a);
  const auto e = encode_erase({5, 1019, 1018, 0});
  const std::array<uint8_t, 13> want_e = {5, 0xFB, 3, 0, 0, 0xFA, 3, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(e, want_e);
  const auto c = encode_chunk_head({0x31C3, 9});
  const std::array<uint8_t, 6> want_c = {0xC3, 0x31, 9, 0, 0, 0};
  EXPECT_EQ(c, want_c);
  const auto p = encode_payload_request(450);
  const std::array<uint8_t, 12> want_p = {0, 0, 0, 0, 0xC2, 1, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(p, want_p);
}

TEST(Wire, RecordsSurviveEncodeAndDecode) {
  std::mt19937 gen(3);
  auto rng = [&gen] { return static_cast<uint32_t>(gen()); };
  for (int i = 0; i < 200; ++i) {
    torvi_data_info_t info{static_cast<uint8_t>(rng()),
                           static_cast<uint8_t>(rng()),
                           static_cast<uint16_t>(rng()),
                           rng(),
                           rng(),
                           rng()};
    const auto d = decode_info(encode_info(info));
    ASSERT_EQ(std::memcmp(&d, &info, sizeof d), 0);
    torvi_data_announce_t an{static_cast<uint8_t>(rng()), 0, static_cast<uint16_t>(rng()), rng(),
                             rng()};
    const auto da = decode_announce(encode_announce(an));
    ASSERT_EQ(std::memcmp(&da, &an, sizeof da), 0);
    torvi_data_erase_t er{static_cast<uint8_t>(rng()), rng(), rng(), rng()};
    const auto de = decode_erase(encode_erase(er));
    ASSERT_EQ(std::memcmp(&de, &er, sizeof de), 0);
    torvi_data_ack_t ack{rng(), static_cast<uint8_t>(rng()), {}};
    for (auto &x : ack.rest) x = static_cast<uint8_t>(rng());
    const auto bytes = encode_ack(ack);
    const auto dk = decode_ack(bytes);
    ASSERT_EQ(std::memcmp(&dk, &ack, sizeof dk), 0);
  }
}

TEST(Wire, ShortAcknowledgementLeavesTheTailZero) {
  const std::array<uint8_t, 13> full = {7, 0, 0, 0, 1, 9, 9, 9, 9, 9, 9, 9, 9};
  const torvi_data_ack_t a = decode_ack(std::span<const uint8_t>(full.data(), 9));
  EXPECT_EQ(a.next, 7u);
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.rest[3], 9);
  EXPECT_EQ(a.rest[4], 0);
  const torvi_data_ack_t none = decode_ack({});
  EXPECT_EQ(none.next, 0u);
  EXPECT_EQ(none.status, 0);
}

TEST(Wire, ChunksOfABlock) {
  EXPECT_EQ(chunk_count(0), 0u);
  EXPECT_EQ(chunk_count(1), 1u);
  EXPECT_EQ(chunk_count(1018), 1u);
  EXPECT_EQ(chunk_count(1019), 2u);
  EXPECT_EQ(chunk_count(1u << 20), 1031u);
  EXPECT_EQ(chunk_len(1019, 0), 1018u);
  EXPECT_EQ(chunk_len(1019, 1), 1u);
  EXPECT_EQ(chunk_len(1019, 2), 0u);
  EXPECT_EQ(chunk_len(0xFFFFFFFE, 0xFFFFFFFF), 0u);  // no overflow past the end
  EXPECT_EQ(chunk_count(0xFFFFFFFE), 4219025u);      // no overflow in the rounding
}

TEST(Wire, ChunkAcknowledgementVerdicts) {
  EXPECT_EQ(judge_chunk_ack(3, 3, 10), ChunkVerdict::not_taken);
  EXPECT_EQ(judge_chunk_ack(4, 3, 10), ChunkVerdict::go_on);
  EXPECT_EQ(judge_chunk_ack(10, 9, 10), ChunkVerdict::finished);
  EXPECT_EQ(judge_chunk_ack(5, 3, 10), ChunkVerdict::bad_next);
  EXPECT_EQ(judge_chunk_ack(2, 3, 10), ChunkVerdict::bad_next);
  EXPECT_EQ(judge_chunk_ack(11, 10, 10), ChunkVerdict::bad_next);        // past the end
  EXPECT_EQ(judge_chunk_ack(0, 0xFFFFFFFF, 5), ChunkVerdict::bad_next);  // no wrap-around
  EXPECT_EQ(judge_chunk_ack(1, 0, 1), ChunkVerdict::finished);
}

TEST(Wire, VersionCheckComparesUnsigned16BitAndSkipsMissingBlocks) {
  torvi_data_info_t stored{};
  stored.size = 100;
  stored.version = 7;
  EXPECT_TRUE(version_refused(stored, 7));
  EXPECT_TRUE(version_refused(stored, 6));
  EXPECT_FALSE(version_refused(stored, 8));
  stored.version = 0x8000;
  EXPECT_FALSE(version_refused(stored, 0x8001));
  EXPECT_TRUE(version_refused(stored, 0x7FFF));
  stored.size = kNoData;
  stored.version = 0xFFFF;
  EXPECT_FALSE(version_refused(stored, 1));
}

}  // namespace
}  // namespace torvi::transfer
