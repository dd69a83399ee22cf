// Stream header writing and frame chunking, with the stream faults.
#include "vcam/stream_encoder.h"

#include <algorithm>
#include <array>

#include "stream/kernels.h"

namespace torvi::vcam {
namespace {

bool has_fault(std::span<const StreamFault> faults, StreamFault::Kind kind, uint32_t chunk) {
  return std::any_of(faults.begin(), faults.end(),
                     [&](const StreamFault &f) { return f.kind == kind && f.chunk == chunk; });
}

}  // namespace

void write_stream_header(std::span<uint8_t, kStreamHeaderBytes> out, uint16_t sidx,
                         uint32_t chunk_len, uint32_t frame_len,
                         const torvi::stream::WireHeader &frame, bool start_of_frame,
                         const StreamConfig &cfg, std::span<const uint8_t> payload) {
  torvi::stream::WireHeader h = frame;
  h.sidx = sidx;
  h.len = chunk_len;
  h.frlen = frame_len;
  h.extra = cfg.frame_word;
  h.start_of_frame = start_of_frame;
  h.has_payload_sum = cfg.payload_checksum;
  h.payload_sum = cfg.payload_checksum ? torvi::stream::payload_sum(payload) : 0;
  torvi::stream::encode_header(h, out.data());
}

void encode_frame(std::span<const uint8_t> payload, const torvi::stream::WireHeader &frame,
                  const StreamConfig &cfg, uint16_t &sidx, std::span<const StreamFault> faults,
                  std::vector<uint8_t> &out) {
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
