// The two inner loops of the stream parser: copying payload into a frame
// while summing its 32-bit words, and finding the header magic. Each has a
// plain reference version; the optimised ones must give identical results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace torvi::stream {

// Running payload checksum: the sum modulo 2^32 of the payload's 32-bit
// little-endian words, counted from the start of the payload. Bytes of an
// unfinished word are carried until the word is complete, so the sum does not
// depend on how the payload is cut into pieces. A trailing unfinished word
// is never added.
struct PayloadSum {
  uint32_t sum = 0;
  uint32_t partial = 0;  // bytes of the unfinished word, in their little-endian places
  unsigned held = 0;     // 0 to 3 bytes of the unfinished word so far

  void reset() { *this = PayloadSum{}; }
  uint32_t value() const { return sum; }
};

// Adds n payload bytes to `ps` and copies them to dst unless dst is null.
void copy_sum(uint8_t *dst, const uint8_t *src, std::size_t n, PayloadSum &ps);
void copy_sum_ref(uint8_t *dst, const uint8_t *src, std::size_t n, PayloadSum &ps);

// The payload checksum of a whole payload.
inline uint32_t payload_sum(std::span<const uint8_t> payload) {
  PayloadSum ps;
  copy_sum(nullptr, payload.data(), payload.size(), ps);
  return ps.value();
}

// Offset of the first byte FB that is followed by 98 or is the last byte of
// the buffer; n when there is none.
std::size_t find_magic(const uint8_t *p, std::size_t n);
std::size_t find_magic_ref(const uint8_t *p, std::size_t n);

}  // namespace torvi::stream
