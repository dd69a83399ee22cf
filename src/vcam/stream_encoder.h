// The device side of the bulk stream: 36-byte stream headers and chunking.
//
// A frame is sent as chunks of at most `chunk_payload` bytes. Each chunk is a
// header followed by its payload. Header (little-endian): magic 0x98FB, sidx
// (+1 per chunk, wraps), chunk length, frame length, frame index, format,
// width, height, sensor and board temperature (tenths of a degree C), frame
// word, payload checksum (sum of the payload's whole 32-bit words), flags A
// (bit 0: start of frame), flags B (bit 0: checksum present), Fletcher-16 of
// bytes 0..33.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vcam/camera.h"

namespace torvi::vcam {

struct FrameDesc {
  uint16_t fridx = 0;
  uint16_t format = 2;
  uint16_t width = 0;
  uint16_t height = 0;
  int16_t sensor_temp = 0;
  int16_t board_temp = 0;
};

uint16_t fletcher16(std::span<const uint8_t> bytes);
uint32_t word_checksum(std::span<const uint8_t> bytes);

// Writes one 36-byte header into `out`.
void write_stream_header(std::span<uint8_t, kStreamHeaderBytes> out, uint16_t sidx,
                         uint32_t chunk_len, uint32_t frame_len, const FrameDesc &frame,
                         bool start_of_frame, const StreamConfig &cfg,
                         std::span<const uint8_t> payload);

// Appends the chunks of one frame to `out`, advancing `sidx`. `faults` are the
// stream faults that apply to this frame.
void encode_frame(std::span<const uint8_t> payload, const FrameDesc &frame, const StreamConfig &cfg,
                  uint16_t &sidx, std::span<const StreamFault> faults, std::vector<uint8_t> &out);

}  // namespace torvi::vcam
