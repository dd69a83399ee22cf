// The data-transfer records as bytes on the wire, and the host's reading of
// the camera's replies. Pure functions: no transport, no logging.
#pragma once

#include <torvi/torvi_transfer.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "ll/usb/data_protocol.h"

namespace torvi::transfer {

inline constexpr uint8_t kRequest = usb::kReqData;
using usb::kAckBytes;
using usb::kAnnounceBytes;
using usb::kChunkBytes;
using usb::kChunkHeadBytes;
using usb::kEraseBytes;
using usb::kInfoBytes;
using usb::kNoData;
using usb::kPayloadRequestBytes;
using usb::kPieceBytes;
using usb::kShortAckBytes;
static_assert(kChunkBytes == TORVI_DATA_CHUNK_BYTES && kPieceBytes == TORVI_DATA_PIECE_BYTES &&
              kNoData == TORVI_DATA_NO_DATA);
static_assert(usb::kActGetInfo == TORVI_DATA_ACT_GET_INFO &&
              usb::kActAnnounce == TORVI_DATA_ACT_ANNOUNCE && usb::kActAck == TORVI_DATA_ACT_ACK &&
              usb::kActShortAck == TORVI_DATA_ACT_ACK_SHORT &&
              usb::kActChunk == TORVI_DATA_ACT_CHUNK && usb::kActErase == TORVI_DATA_ACT_ERASE &&
              usb::kActPayload == TORVI_DATA_ACT_PAYLOAD);
static_assert(usb::kAckReady == TORVI_DATA_ACK_READY && usb::kAckInfoOk == TORVI_DATA_ACK_INFO_OK &&
              usb::kAckErasing == TORVI_DATA_ACK_ERASING);

// Transfer time-out of each action, in ms.
inline constexpr unsigned kInfoTimeoutMs = 1000;
inline constexpr unsigned kAnnounceTimeoutMs = 10000;
inline constexpr unsigned kAckReadTimeoutMs = 5000;
inline constexpr unsigned kAckSendTimeoutMs = 1000;
inline constexpr unsigned kChunkTimeoutMs = 1000;
inline constexpr unsigned kEraseTimeoutMs = 10000;
inline constexpr unsigned kPayloadTimeoutMs = 1000;

std::array<uint8_t, kInfoBytes> encode_info(const torvi_data_info_t &r);
torvi_data_info_t decode_info(std::span<const uint8_t, kInfoBytes> b);
std::array<uint8_t, kAnnounceBytes> encode_announce(const torvi_data_announce_t &r);
torvi_data_announce_t decode_announce(std::span<const uint8_t, kAnnounceBytes> b);
std::array<uint8_t, kEraseBytes> encode_erase(const torvi_data_erase_t &r);
torvi_data_erase_t decode_erase(std::span<const uint8_t, kEraseBytes> b);
std::array<uint8_t, kChunkHeadBytes> encode_chunk_head(const torvi_data_chunk_t &r);
torvi_data_chunk_t decode_chunk_head(std::span<const uint8_t, kChunkHeadBytes> b);
std::array<uint8_t, kAckBytes> encode_ack(const torvi_data_ack_t &r);
// Reads an acknowledgement of 13 (or, for the short form, 9) bytes; bytes
// beyond the given ones stay 0.
torvi_data_ack_t decode_ack(std::span<const uint8_t> b);
std::array<uint8_t, kPayloadRequestBytes> encode_payload_request(uint32_t n);

// Chunks of a block of `size` bytes, and the length of chunk `i`.
constexpr uint32_t chunk_count(uint32_t size) {
  return size / kChunkBytes + (size % kChunkBytes != 0 ? 1 : 0);
}
constexpr uint32_t chunk_len(uint32_t size, uint32_t i) {
  const uint64_t start = uint64_t{i} * kChunkBytes;
  if (start >= size) return 0;
  const uint64_t left = size - start;
  return static_cast<uint32_t>(left < kChunkBytes ? left : kChunkBytes);
}

// What the acknowledgement of chunk `i` of `count` says.
enum class ChunkVerdict {
  not_taken,  // next = i: the camera did not take the chunk
  finished,   // next = i + 1 = count: the block is complete
  go_on,      // next = i + 1 < count
  bad_next,   // anything else
};
ChunkVerdict judge_chunk_ack(uint32_t next, uint32_t i, uint32_t count);

// Whether the camera's stored block forbids writing `version`: the same or a
// newer version is stored. A camera without a valid block of the type
// (size TORVI_DATA_NO_DATA) forbids nothing.
bool version_refused(const torvi_data_info_t &stored, uint16_t version);

}  // namespace torvi::transfer
