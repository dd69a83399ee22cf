// The 36-byte stream header that precedes every chunk of payload.
#pragma once

#include <torvi/torvi_frame_hdr.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace torvi::stream {

inline constexpr std::size_t kHeaderSize = 36;
inline constexpr uint8_t kMagic0 = 0xFB;
inline constexpr uint8_t kMagic1 = 0x98;
inline constexpr uint32_t kMaxChunkLen = 0xFFFFF;
inline constexpr uint32_t kMaxFrameLen = 0x7FFFFFF;
inline constexpr uint16_t kMaxFrameFormat = 1023;

// The fields of a header, decoded from its little-endian bytes.
struct WireHeader {
  uint16_t sidx = 0;
  uint32_t len = 0;
  uint32_t frlen = 0;
  uint16_t fridx = 0;
  uint16_t frfmt = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  int16_t sensor_temp = 0;
  int16_t illum_temp = 0;
  uint32_t extra = 0;
  uint32_t payload_sum = 0;
  bool start_of_frame = false;
  bool has_payload_sum = false;
  uint16_t header_sum = 0;
};

// Fletcher-16 over bytes: sum1 and sum2 modulo 255, result sum2 * 256 + sum1.
uint16_t fletcher16(std::span<const uint8_t> bytes);

// Decodes 36 bytes without checking them.
WireHeader decode_header(const uint8_t *bytes);

// Encodes a header; the header checksum is computed unless `keep_header_sum`
// (then h.header_sum is written as it stands).
void encode_header(const WireHeader &h, uint8_t *out, bool keep_header_sum = false);

// True when the 36 bytes carry the magic, a matching header checksum and
// fields within their limits (len <= 0xFFFFF, 1 <= frlen <= 0x7FFFFFF,
// frfmt <= 1023). A frame length of 0 is refused: such a chunk can never
// make a frame.
bool header_valid(const uint8_t *bytes);

// The frame record that a frame built from this header carries.
torvi_frame_hdr_t frame_record(const WireHeader &h, uint16_t fridx);

}  // namespace torvi::stream
