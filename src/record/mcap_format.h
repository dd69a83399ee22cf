// The MCAP container: record opcodes, the file magic and the little-endian
// encoding of its fields (integers; strings and byte arrays with a u32
// length; maps with a u32 byte length).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_order.h"

namespace torvi::record {

enum class Op : uint8_t {
  header = 0x01,
  footer = 0x02,
  schema = 0x03,
  channel = 0x04,
  message = 0x05,
  chunk = 0x06,
  message_index = 0x07,
  chunk_index = 0x08,
  attachment = 0x09,
  attachment_index = 0x0A,
  statistics = 0x0B,
  metadata = 0x0C,
  metadata_index = 0x0D,
  summary_offset = 0x0E,
  data_end = 0x0F,
};

inline constexpr uint8_t kMagic[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};
// Opcode and content length before every record's content.
inline constexpr std::size_t kRecordHead = 9;
// Content length of the footer: two offsets and a CRC.
inline constexpr uint64_t kFooterContent = 20;

using Bytes = std::vector<uint8_t>;
using StringMap = std::map<std::string, std::string>;

// CRC-32 (zlib) of bytes, continuing from `crc`.
uint32_t crc32_of(std::span<const uint8_t> bytes, uint32_t crc = 0);

// Appends little-endian fields to a byte buffer.
class Put {
 public:
  explicit Put(Bytes &out) : b_(out) {}
  Put &u8(uint8_t v) {
    b_.push_back(v);
    return *this;
  }
  Put &u16(uint16_t v) { return le(v, 2); }
  Put &u32(uint32_t v) { return le(v, 4); }
  Put &u64(uint64_t v) { return le(v, 8); }
  Put &bytes(std::span<const uint8_t> v) {
    b_.insert(b_.end(), v.begin(), v.end());
    return *this;
  }
  Put &str(std::string_view s) {
    u32(static_cast<uint32_t>(s.size()));
    b_.insert(b_.end(), s.begin(), s.end());
    return *this;
  }
  Put &str_map(const StringMap &m);
  Put &id_count_map(const std::map<uint16_t, uint64_t> &m);

 private:
  Put &le(uint64_t v, int n) {
    const std::size_t at = b_.size();
    b_.resize(at + static_cast<std::size_t>(n));
    put_le(b_.data() + at, v, static_cast<std::size_t>(n));
    return *this;
  }
  Bytes &b_;
};

// Reads little-endian fields from a byte range; every read checks the range
// and sets the failure mark instead of reading past the end.
class Get {
 public:
  explicit Get(std::span<const uint8_t> in) : p_(in) {}
  bool ok() const { return ok_; }
  std::size_t pos() const { return at_; }
  std::size_t left() const { return p_.size() - at_; }
  uint8_t u8() { return static_cast<uint8_t>(le(1)); }
  uint16_t u16() { return static_cast<uint16_t>(le(2)); }
  uint32_t u32() { return static_cast<uint32_t>(le(4)); }
  uint64_t u64() { return le(8); }
  std::span<const uint8_t> take(uint64_t n);
  std::string str();
  StringMap str_map();
  std::span<const uint8_t> rest() { return take(left()); }

 private:
  uint64_t le(int n);
  std::span<const uint8_t> p_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace torvi::record
