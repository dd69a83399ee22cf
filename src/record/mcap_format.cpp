// Field encoding of the MCAP container.
#include "record/mcap_format.h"

#include <zlib.h>

#include <algorithm>

#include "core/byte_order.h"
#include "core/crc32.h"

namespace torvi::record {

uint32_t crc32_of(std::span<const uint8_t> bytes, uint32_t crc) { return crc32_ieee(bytes, crc); }

Put &Put::str_map(const StringMap &m) {
  Bytes inner;
  Put p(inner);
  for (const auto &[k, v] : m) p.str(k).str(v);
  u32(static_cast<uint32_t>(inner.size()));
  return bytes(inner);
}

Put &Put::id_count_map(const std::map<uint16_t, uint64_t> &m) {
  u32(static_cast<uint32_t>(m.size() * 10));
  for (const auto &[k, v] : m) u16(k).u64(v);
  return *this;
}

uint64_t Get::le(int n) {
  if (!ok_ || left() < static_cast<std::size_t>(n)) {
    ok_ = false;
    return 0;
  }
  const uint64_t v = get_le(p_.data() + at_, static_cast<std::size_t>(n));
  at_ += static_cast<std::size_t>(n);
  return v;
}

std::span<const uint8_t> Get::take(uint64_t n) {
  if (!ok_ || n > left()) {
    ok_ = false;
    return {};
  }
  auto s = p_.subspan(at_, static_cast<std::size_t>(n));
  at_ += static_cast<std::size_t>(n);
  return s;
}

std::string Get::str() {
  const auto s = take(u32());
  return {s.begin(), s.end()};
}

StringMap Get::str_map() {
  StringMap m;
  Get inner(take(u32()));
  while (ok_ && inner.ok() && inner.left() > 0) {
    std::string k = inner.str();
    std::string v = inner.str();
    if (inner.ok()) m.emplace(std::move(k), std::move(v));
  }
  if (!inner.ok()) ok_ = false;
  return m;
}

}  // namespace torvi::record
