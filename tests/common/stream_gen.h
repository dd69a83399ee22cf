// Test helpers for the camera byte stream: builds chunks (36-byte headers
// and payloads) with correct or deliberately wrong checksums, frames that
// span chunks or share one chunk, garbage, and cuts streams into pieces.
// It lays headers out on its own, independently of the library's encoder;
// the field record, the byte order and the Fletcher-16 are the library's
// (each checked against known values in its own test).
//
// Frame bytes carry the frame's 32-bit serial number: every byte is a
// function of the serial and the byte's position, so a fetched frame can be
// checked for being whole, untorn and the one it claims to be.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "core/byte_order.h"
#include "stream/wire_header.h"

namespace torvi::test {

// Sum modulo 2^32 of the whole little-endian 32-bit words of a payload.
inline uint32_t gen_payload_sum(const uint8_t *p, std::size_t n) {
  uint32_t s = 0;
  for (std::size_t i = 0; i + 4 <= n; i += 4) s += get_le32(p + i);
  return s;
}

// Encodes a header; with bad_header_sum its Fletcher-16 is off by one.
inline std::array<uint8_t, 36> gen_header(const torvi::stream::WireHeader &f,
                                          bool bad_header_sum = false) {
  std::array<uint8_t, 36> h{};
  auto put = [&](std::size_t at, uint64_t v, std::size_t bytes) { put_le(&h[at], v, bytes); };
  put(0, 0x98FB, 2);
  put(2, f.sidx, 2);
  put(4, f.len, 4);
  put(8, f.frlen, 4);
  put(12, f.fridx, 2);
  put(14, f.frfmt, 2);
  put(16, f.width, 2);
  put(18, f.height, 2);
  put(20, static_cast<uint16_t>(f.sensor_temp), 2);
  put(22, static_cast<uint16_t>(f.illum_temp), 2);
  put(24, f.extra, 4);
  put(28, f.payload_sum, 4);
  h[32] = f.start_of_frame ? 1 : 0;
  h[33] = f.has_payload_sum ? 1 : 0;
  uint16_t sum = torvi::stream::fletcher16({h.data(), 34});
  if (bad_header_sum) sum = static_cast<uint16_t>(sum + 1);
  put(34, sum, 2);
  return h;
}

inline uint8_t frame_byte(uint32_t serial, uint32_t i) {
  uint32_t x = serial * 2654435761u ^ (i * 40503u + (i >> 8) * 977u);
  x ^= x >> 15;
  x *= 2246822519u;
  x ^= x >> 13;
  return static_cast<uint8_t>(x);
}

inline std::vector<uint8_t> frame_bytes(uint32_t serial, uint32_t frlen) {
  std::vector<uint8_t> v(frlen);
  for (uint32_t i = 0; i < frlen; ++i) v[i] = frame_byte(serial, i);
  return v;
}

// True when the bytes are exactly those of the frame with this serial.
inline bool frame_intact(uint32_t serial, std::span<const uint8_t> bytes, uint32_t frlen) {
  if (bytes.size() != frlen) return false;
  for (uint32_t i = 0; i < frlen; ++i) {
    if (bytes[i] != frame_byte(serial, i)) return false;
  }
  return true;
}

// One chunk of the stream: header fields and payload, kept apart so tests
// can damage either before the stream is laid out.
struct GenChunk {
  torvi::stream::WireHeader f;
  std::vector<uint8_t> payload;
  bool bad_header_sum = false;
  int header_flip = -1;           // a bit of the 36 header bytes to flip, -1 none
  bool raw = false;               // not a chunk: `payload` is laid out as it stands
  std::vector<uint32_t> serials;  // frames whose bytes this chunk carries
};

struct GenFrame {
  uint32_t serial = 0;
  uint16_t fridx = 0;
  uint32_t frlen = 0;
  std::vector<std::size_t> chunks;  // indexes into StreamGen::chunks
};

struct StreamGenConfig {
  uint32_t frlen = 200;     // frame length
  uint32_t chunk_len = 64;  // payload bytes per chunk of a frame that spans chunks
  bool payload_sum = true;  // chunks carry a payload checksum
  uint16_t sidx = 0;        // first stream header index
  uint16_t fridx = 0;       // first frame index
  uint16_t frfmt = 7;
  uint16_t width = 12;
  uint16_t height = 9;
};

class StreamGen {
 public:
  explicit StreamGen(StreamGenConfig cfg = {}) : cfg_(cfg), sidx_(cfg.sidx), fridx_(cfg.fridx) {}

  // One frame cut into chunks of chunk_len (the last one shorter).
  const GenFrame &add_frame() { return add_frame(cfg_.frlen, cfg_.chunk_len); }
  const GenFrame &add_frame(uint32_t frlen, uint32_t chunk_len) {
    GenFrame fr = new_frame(frlen);
    const std::vector<uint8_t> bytes = frame_bytes(fr.serial, frlen);
    uint32_t at = 0;
    do {
      const uint32_t n = std::min(chunk_len, frlen - at);
      GenChunk c;
      c.f = fields(at == 0, n, frlen, fr.fridx);
      c.payload.assign(bytes.begin() + at, bytes.begin() + at + n);
      c.serials.push_back(fr.serial);
      fr.chunks.push_back(push(std::move(c)));
      at += n;
    } while (at < frlen);
    frames.push_back(fr);
    return frames.back();
  }

  // One chunk carrying `count` whole frames of frlen bytes each.
  void add_multi(unsigned count, uint32_t frlen) {
    GenChunk c;
    const std::size_t ci = chunks.size();
    uint16_t first = fridx_;
    for (unsigned k = 0; k < count; ++k) {
      GenFrame fr = new_frame(frlen);
      const std::vector<uint8_t> bytes = frame_bytes(fr.serial, frlen);
      c.payload.insert(c.payload.end(), bytes.begin(), bytes.end());
      c.serials.push_back(fr.serial);
      fr.chunks.push_back(ci);
      frames.push_back(fr);
    }
    c.f = fields(true, count * frlen, frlen, first);
    push(std::move(c));
  }

  // Raw bytes between chunks.
  void add_raw(std::vector<uint8_t> bytes) {
    GenChunk c;
    c.raw = true;
    c.payload = std::move(bytes);
    chunks.push_back(std::move(c));
  }

  // Random garbage that never contains the magic pair FB 98.
  template <typename Rng>
  void add_garbage(std::size_t n, Rng &rng) {
    std::vector<uint8_t> g(n);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t i = 0; i < n; ++i) {
      g[i] = static_cast<uint8_t>(byte(rng));
      if (i > 0 && g[i - 1] == 0xFB && g[i] == 0x98) g[i] = 0x97;
    }
    if (!g.empty() && g.back() == 0xFB) g.back() = 0xFA;
    add_raw(std::move(g));
  }

  // Lays the chunks out as one stream. Payload checksums were computed when
  // each chunk was added; damage done to a chunk afterwards shows.
  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> out;
    for (const GenChunk &c : chunks) {
      if (!c.raw) {
        auto h = gen_header(c.f, c.bad_header_sum);
        if (c.header_flip >= 0)
          h[static_cast<std::size_t>(c.header_flip / 8) % 36] ^=
              static_cast<uint8_t>(1u << (c.header_flip % 8));
        out.insert(out.end(), h.begin(), h.end());
      }
      out.insert(out.end(), c.payload.begin(), c.payload.end());
    }
    return out;
  }

  // Flips one payload bit after the checksum was computed: the chunk's
  // payload checksum no longer matches.
  void flip_payload_bit(std::size_t chunk, std::size_t bit) {
    chunks[chunk].payload[(bit / 8) % chunks[chunk].payload.size()] ^=
        static_cast<uint8_t>(1u << (bit % 8));
  }

  StreamGenConfig cfg_;
  std::vector<GenChunk> chunks;
  std::vector<GenFrame> frames;

 private:
  GenFrame new_frame(uint32_t frlen) {
    GenFrame fr;
    fr.serial = next_serial_++;
    fr.fridx = fridx_++;
    fr.frlen = frlen;
    return fr;
  }

  torvi::stream::WireHeader fields(bool sof, uint32_t len, uint32_t frlen, uint16_t fridx) {
    torvi::stream::WireHeader f;
    f.len = len;
    f.frlen = frlen;
    f.fridx = fridx;
    f.frfmt = cfg_.frfmt;
    f.width = cfg_.width;
    f.height = cfg_.height;
    f.sensor_temp = static_cast<int16_t>(250 + fridx % 7);
    f.illum_temp = static_cast<int16_t>(-40 - fridx % 5);
    f.extra = 0xA5000000u | fridx;
    f.start_of_frame = sof;
    f.has_payload_sum = cfg_.payload_sum;
    return f;
  }

  std::size_t push(GenChunk c) {
    c.f.sidx = sidx_++;
    if (c.f.has_payload_sum) c.f.payload_sum = gen_payload_sum(c.payload.data(), c.payload.size());
    chunks.push_back(std::move(c));
    return chunks.size() - 1;
  }

  uint16_t sidx_;
  uint16_t fridx_;
  uint32_t next_serial_ = 0;
};

// Cuts [0, n) into pieces of 1 to max_piece bytes; returns the cut offsets
// (ascending, without 0 and n).
template <typename Rng>
std::vector<std::size_t> random_cuts(std::size_t n, std::size_t max_piece, Rng &rng) {
  std::vector<std::size_t> cuts;
  std::uniform_int_distribution<std::size_t> piece(1, std::max<std::size_t>(1, max_piece));
  for (std::size_t at = piece(rng); at < n; at += piece(rng)) cuts.push_back(at);
  return cuts;
}

// Pieces of a stream between the given cut offsets.
inline std::vector<std::span<const uint8_t>> split_at(std::span<const uint8_t> s,
                                                      const std::vector<std::size_t> &cuts) {
  std::vector<std::span<const uint8_t>> out;
  std::size_t from = 0;
  for (std::size_t c : cuts) {
    out.push_back(s.subspan(from, c - from));
    from = c;
  }
  out.push_back(s.subspan(from));
  return out;
}

}  // namespace torvi::test
