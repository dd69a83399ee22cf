// Byte layout of the data-transfer records, and the reading of replies.
#include "transfer/wire.h"

#include <cstddef>

#include "core/byte_order.h"

// The public records are the wire records, byte for byte.
static_assert(sizeof(torvi_data_info_t) == 16);
static_assert(offsetof(torvi_data_info_t, version) == 2 && offsetof(torvi_data_info_t, size) == 4);
static_assert(offsetof(torvi_data_info_t, addr) == 8 &&
              offsetof(torvi_data_info_t, reserved1) == 12);
static_assert(sizeof(torvi_data_announce_t) == 12);
static_assert(offsetof(torvi_data_announce_t, version) == 2 &&
              offsetof(torvi_data_announce_t, size) == 4);
static_assert(sizeof(torvi_data_erase_t) == 13);
static_assert(offsetof(torvi_data_erase_t, size) == 1 &&
              offsetof(torvi_data_erase_t, chunk_size) == 5 &&
              offsetof(torvi_data_erase_t, zero) == 9);
static_assert(sizeof(torvi_data_chunk_t) == 6 && offsetof(torvi_data_chunk_t, len) == 2);
static_assert(sizeof(torvi_data_ack_t) == 13);
static_assert(offsetof(torvi_data_ack_t, status) == 4 && offsetof(torvi_data_ack_t, rest) == 5);

namespace torvi::transfer {

std::array<uint8_t, kInfoBytes> encode_info(const torvi_data_info_t &r) {
  std::array<uint8_t, kInfoBytes> b{};
  b[0] = r.type;
  b[1] = r.reserved0;
  put_le16(&b[2], r.version);
  put_le32(&b[4], r.size);
  put_le32(&b[8], r.addr);
  put_le32(&b[12], r.reserved1);
  return b;
}

torvi_data_info_t decode_info(std::span<const uint8_t, kInfoBytes> b) {
  torvi_data_info_t r{};
  r.type = b[0];
  r.reserved0 = b[1];
  r.version = get_le16(&b[2]);
  r.size = get_le32(&b[4]);
  r.addr = get_le32(&b[8]);
  r.reserved1 = get_le32(&b[12]);
  return r;
}

std::array<uint8_t, kAnnounceBytes> encode_announce(const torvi_data_announce_t &r) {
  std::array<uint8_t, kAnnounceBytes> b{};
  b[0] = r.type;
  b[1] = r.reserved0;
  put_le16(&b[2], r.version);
  put_le32(&b[4], r.size);
  put_le32(&b[8], r.reserved1);
  return b;
}

torvi_data_announce_t decode_announce(std::span<const uint8_t, kAnnounceBytes> b) {
  torvi_data_announce_t r{};
  r.type = b[0];
  r.reserved0 = b[1];
  r.version = get_le16(&b[2]);
  r.size = get_le32(&b[4]);
  r.reserved1 = get_le32(&b[8]);
  return r;
}

std::array<uint8_t, kEraseBytes> encode_erase(const torvi_data_erase_t &r) {
  std::array<uint8_t, kEraseBytes> b{};
  b[0] = r.type;
  put_le32(&b[1], r.size);
  put_le32(&b[5], r.chunk_size);
  put_le32(&b[9], r.zero);
  return b;
}

torvi_data_erase_t decode_erase(std::span<const uint8_t, kEraseBytes> b) {
  torvi_data_erase_t r{};
  r.type = b[0];
  r.size = get_le32(&b[1]);
  r.chunk_size = get_le32(&b[5]);
  r.zero = get_le32(&b[9]);
  return r;
}

std::array<uint8_t, kChunkHeadBytes> encode_chunk_head(const torvi_data_chunk_t &r) {
  std::array<uint8_t, kChunkHeadBytes> b{};
  put_le16(&b[0], r.crc);
  put_le32(&b[2], r.len);
  return b;
}

torvi_data_chunk_t decode_chunk_head(std::span<const uint8_t, kChunkHeadBytes> b) {
  torvi_data_chunk_t r{};
  r.crc = get_le16(&b[0]);
  r.len = get_le32(&b[2]);
  return r;
}

std::array<uint8_t, kAckBytes> encode_ack(const torvi_data_ack_t &r) {
  std::array<uint8_t, kAckBytes> b{};
  put_le32(&b[0], r.next);
  b[4] = r.status;
  for (size_t i = 0; i < sizeof r.rest; ++i) b[5 + i] = r.rest[i];
  return b;
}

torvi_data_ack_t decode_ack(std::span<const uint8_t> b) {
  std::array<uint8_t, kAckBytes> full{};
  for (size_t i = 0; i < b.size() && i < full.size(); ++i) full[i] = b[i];
  torvi_data_ack_t r{};
  r.next = get_le32(&full[0]);
  r.status = full[4];
  for (size_t i = 0; i < sizeof r.rest; ++i) r.rest[i] = full[5 + i];
  return r;
}

std::array<uint8_t, kPayloadRequestBytes> encode_payload_request(uint32_t n) {
  std::array<uint8_t, kPayloadRequestBytes> b{};
  put_le32(&b[4], n);
  return b;
}

ChunkVerdict judge_chunk_ack(uint32_t next, uint32_t i, uint32_t count) {
  if (next == i) return ChunkVerdict::not_taken;
  if (uint64_t{next} == uint64_t{i} + 1) {
    return next == count  ? ChunkVerdict::finished
           : next < count ? ChunkVerdict::go_on
                          : ChunkVerdict::bad_next;
  }
  return ChunkVerdict::bad_next;
}

bool version_refused(const torvi_data_info_t &stored, uint16_t version) {
  return stored.size != kNoData && stored.version >= version;
}

}  // namespace torvi::transfer
