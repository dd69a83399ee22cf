// Stream header writing and frame chunking, with the stream faults.
#include "vcam/stream_encoder.h"

#include <algorithm>
#include <array>

namespace torvi::vcam {
namespace {

void put16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool has_fault(std::span<const StreamFault> faults, StreamFault::Kind kind, uint32_t chunk) {
  return std::any_of(faults.begin(), faults.end(),
                     [&](const StreamFault &f) { return f.kind == kind && f.chunk == chunk; });
}

}  // namespace

uint16_t fletcher16(std::span<const uint8_t> bytes) {
  uint32_t s1 = 0, s2 = 0;
  for (uint8_t b : bytes) {
    s1 = (s1 + b) % 255;
    s2 = (s2 + s1) % 255;
  }
  return static_cast<uint16_t>(s2 * 256 + s1);
}

uint32_t word_checksum(std::span<const uint8_t> bytes) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
    sum += static_cast<uint32_t>(bytes[i]) | static_cast<uint32_t>(bytes[i + 1]) << 8 |
           static_cast<uint32_t>(bytes[i + 2]) << 16 | static_cast<uint32_t>(bytes[i + 3]) << 24;
  }
  return sum;
}

void write_stream_header(std::span<uint8_t, kStreamHeaderBytes> out, uint16_t sidx,
                         uint32_t chunk_len, uint32_t frame_len, const FrameDesc &frame,
                         bool start_of_frame, const StreamConfig &cfg,
                         std::span<const uint8_t> payload) {
  uint8_t *h = out.data();
  put16(h + 0, 0x98FB);
  put16(h + 2, sidx);
  put32(h + 4, chunk_len);
  put32(h + 8, frame_len);
  put16(h + 12, frame.fridx);
  put16(h + 14, frame.format);
  put16(h + 16, frame.width);
  put16(h + 18, frame.height);
  put16(h + 20, static_cast<uint16_t>(frame.sensor_temp));
  put16(h + 22, static_cast<uint16_t>(frame.board_temp));
  put32(h + 24, cfg.frame_word);
  put32(h + 28, cfg.payload_checksum ? word_checksum(payload) : 0);
  h[32] = start_of_frame ? 1 : 0;
  h[33] = cfg.payload_checksum ? 1 : 0;
  put16(h + 34, fletcher16(std::span<const uint8_t>(h, 34)));
}

void encode_frame(std::span<const uint8_t> payload, const FrameDesc &frame, const StreamConfig &cfg,
                  uint16_t &sidx, std::span<const StreamFault> faults, std::vector<uint8_t> &out) {
  const uint32_t step = std::max<uint32_t>(4, std::min<uint32_t>(cfg.chunk_payload, 0xFFFFF) & ~3u);
  const size_t total = payload.size();
  const size_t chunks = total == 0 ? 1 : (total + step - 1) / step;
  for (uint32_t c = 0; c < chunks; ++c) {
    const size_t off = size_t{c} * step;
    const size_t len = std::min<size_t>(step, total - off);
    const auto part = payload.subspan(off, len);
    if (has_fault(faults, StreamFault::Kind::skip_sidx, c)) ++sidx;
    std::array<uint8_t, kStreamHeaderBytes> hdr{};
    write_stream_header(hdr, sidx, static_cast<uint32_t>(len), static_cast<uint32_t>(total), frame,
                        c == 0, cfg, part);
    ++sidx;
    if (has_fault(faults, StreamFault::Kind::drop_chunk, c)) continue;
    const int copies = has_fault(faults, StreamFault::Kind::duplicate_chunk, c) ? 2 : 1;
    for (int k = 0; k < copies; ++k) {
      const size_t at = out.size();
      out.insert(out.end(), hdr.begin(), hdr.end());
      out.insert(out.end(), part.begin(), part.end());
      for (const StreamFault &f : faults) {
        if (f.chunk != c || k != 0) continue;
        if (f.kind == StreamFault::Kind::flip_header_bit && f.byte < kStreamHeaderBytes)
          out[at + f.byte] ^= f.mask;
        if (f.kind == StreamFault::Kind::flip_payload_bit && f.byte < len)
          out[at + kStreamHeaderBytes + f.byte] ^= f.mask;
      }
    }
  }
}

}  // namespace torvi::vcam
