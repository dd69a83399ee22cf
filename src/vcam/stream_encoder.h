// The device side of the bulk stream: 36-byte stream headers and chunking.
//
// A frame is sent as chunks of at most `chunk_payload` bytes. Each chunk is a
// header followed by its payload (the header layout is the stream parser's,
// see stream/wire_header.h); the payload checksum is the sum of the payload's
// whole 32-bit words.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "stream/wire_header.h"
#include "vcam/camera.h"

namespace torvi::vcam {

// Writes one 36-byte header into `out`. `frame` gives the frame's index,
// format, size and temperatures; the rest follows from the arguments.
void write_stream_header(std::span<uint8_t, kStreamHeaderBytes> out, uint16_t sidx,
                         uint32_t chunk_len, uint32_t frame_len,
                         const torvi::stream::WireHeader &frame, bool start_of_frame,
                         const StreamConfig &cfg, std::span<const uint8_t> payload);

// Appends the chunks of one frame to `out`, advancing `sidx`. `faults` are the
// stream faults that apply to this frame.
void encode_frame(std::span<const uint8_t> payload, const torvi::stream::WireHeader &frame,
                  const StreamConfig &cfg, uint16_t &sidx, std::span<const StreamFault> faults,
                  std::vector<uint8_t> &out);

}  // namespace torvi::vcam
