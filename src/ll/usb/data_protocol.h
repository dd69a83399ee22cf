// The data-block actions as both ends speak them: bRequest 0xCC with the
// action as wValue, each followed by the status query. Record layouts (all
// little-endian, packed):
//   information  0   16 bytes both ways: type, 0, version u16, size u32
//                    (0xFFFFFFFF: no valid data), address u32, 0 u32
//   INFO         1   12 bytes: type, 0, version u16, size u32, 0 u32
//   ack          4   13 bytes each way: next u32, status, 8 bytes
//   short ack    5   9 bytes each way, the same start
//   chunk        6   crc u16 (CRC-16/XMODEM of the data), n u32, n bytes
//   erase        7   13 bytes: type, size u32, chunk size u32, 0 u32
//   payload      17  12-byte request (bytes 4..7: n <= 450); then n bytes
// The transfer (host side) and the virtual camera (device side) both use
// these.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvi::usb {

inline constexpr uint8_t kReqData = 0xCC;

inline constexpr uint16_t kActGetInfo = 0;
inline constexpr uint16_t kActAnnounce = 1;
inline constexpr uint16_t kActAck = 4;
inline constexpr uint16_t kActShortAck = 5;
inline constexpr uint16_t kActChunk = 6;
inline constexpr uint16_t kActErase = 7;
inline constexpr uint16_t kActPayload = 17;

inline constexpr std::size_t kInfoBytes = 16;
inline constexpr std::size_t kAnnounceBytes = 12;
inline constexpr std::size_t kEraseBytes = 13;
inline constexpr std::size_t kChunkHeadBytes = 6;
inline constexpr std::size_t kAckBytes = 13;
inline constexpr std::size_t kShortAckBytes = 9;
inline constexpr std::size_t kPayloadRequestBytes = 12;

inline constexpr uint32_t kChunkBytes = 1018;  // data bytes of a full chunk
inline constexpr uint32_t kPieceBytes = 450;   // most bytes of one payload piece
inline constexpr uint32_t kNoData = 0xFFFFFFFF;

// Acknowledgement states.
inline constexpr uint8_t kAckReady = 1;
inline constexpr uint8_t kAckInfoOk = 3;
inline constexpr uint8_t kAckErasing = 4;

}  // namespace torvi::usb
