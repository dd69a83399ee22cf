#include "stream/wire_header.h"

#include <cstring>

#include "core/byte_order.h"

namespace torvi::stream {
namespace {

using torvi::get_le16;
using torvi::get_le32;
using torvi::put_le16;
using torvi::put_le32;

}  // namespace

uint16_t fletcher16(std::span<const uint8_t> bytes) {
  uint32_t s1 = 0;
  uint32_t s2 = 0;
  for (uint8_t b : bytes) {
    s1 = (s1 + b) % 255;
    s2 = (s2 + s1) % 255;
  }
  return static_cast<uint16_t>(s2 * 256 + s1);
}

WireHeader decode_header(const uint8_t *b) {
  WireHeader h;
  h.sidx = get_le16(b + 2);
  h.len = get_le32(b + 4);
  h.frlen = get_le32(b + 8);
  h.fridx = get_le16(b + 12);
  h.frfmt = get_le16(b + 14);
  h.width = get_le16(b + 16);
  h.height = get_le16(b + 18);
  h.sensor_temp = static_cast<int16_t>(get_le16(b + 20));
  h.illum_temp = static_cast<int16_t>(get_le16(b + 22));
  h.extra = get_le32(b + 24);
  h.payload_sum = get_le32(b + 28);
  h.start_of_frame = (b[32] & 1) != 0;
  h.has_payload_sum = (b[33] & 1) != 0;
  h.header_sum = get_le16(b + 34);
  return h;
}

void encode_header(const WireHeader &h, uint8_t *out, bool keep_header_sum) {
  out[0] = kMagic0;
  out[1] = kMagic1;
  put_le16(out + 2, h.sidx);
  put_le32(out + 4, h.len);
  put_le32(out + 8, h.frlen);
  put_le16(out + 12, h.fridx);
  put_le16(out + 14, h.frfmt);
  put_le16(out + 16, h.width);
  put_le16(out + 18, h.height);
  put_le16(out + 20, static_cast<uint16_t>(h.sensor_temp));
  put_le16(out + 22, static_cast<uint16_t>(h.illum_temp));
  put_le32(out + 24, h.extra);
  put_le32(out + 28, h.payload_sum);
  out[32] = h.start_of_frame ? 1 : 0;
  out[33] = h.has_payload_sum ? 1 : 0;
  put_le16(out + 34, keep_header_sum ? h.header_sum : fletcher16({out, 34}));
}

bool header_valid(const uint8_t *b) {
  if (b[0] != kMagic0 || b[1] != kMagic1) return false;
  if (fletcher16({b, 34}) != get_le16(b + 34)) return false;
  const uint32_t len = get_le32(b + 4);
  const uint32_t frlen = get_le32(b + 8);
  return len <= kMaxChunkLen && frlen >= 1 && frlen <= kMaxFrameLen &&
         get_le16(b + 14) <= kMaxFrameFormat;
}

torvi_frame_hdr_t frame_record(const WireHeader &h, uint16_t fridx) {
  torvi_frame_hdr_t r;
  std::memset(&r, 0, sizeof r);
  r.frlen = h.frlen;
  r.fridx = fridx;
  r.frfmt = h.frfmt;
  r.width = h.width;
  r.height = h.height;
  r.sensor_temp = h.sensor_temp;
  r.illum_temp = h.illum_temp;
  r.extra = h.extra;
  return r;
}

}  // namespace torvi::stream
