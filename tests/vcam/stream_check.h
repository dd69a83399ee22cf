// An independent reader of the camera's byte stream for tests: checks every
// stream header and reassembles the frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "stream/wire_header.h"

namespace torvi::vcam::test {

struct ParsedFrame {
  uint16_t fridx = 0, format = 0, width = 0, height = 0;
  int16_t t_sensor = 0, t_board = 0;
  std::vector<uint8_t> data;
};

struct ParsedStream {
  std::vector<ParsedFrame> frames;
  std::vector<std::string> errors;  // one line per fault found
  std::vector<uint16_t> sidx;       // of every header in order
};

inline ParsedStream parse_stream(const std::vector<uint8_t> &s) {
  ParsedStream out;
  size_t pos = 0;
  int prev_sidx = -1;
  ParsedFrame cur;
  size_t want = 0;
  bool building = false;
  auto u16 = [&](size_t o) { return get_le16(&s[o]); };
  auto u32 = [&](size_t o) { return get_le32(&s[o]); };
  while (pos + 36 <= s.size()) {
    if (u16(pos) != 0x98FB) {
      out.errors.push_back("magic@" + std::to_string(pos));
      ++pos;
      continue;
    }
    if (u16(pos + 34) != torvi::stream::fletcher16({&s[pos], 34})) {
      out.errors.push_back("fletcher@" + std::to_string(pos));
      ++pos;
      continue;
    }
    const uint16_t sidx = u16(pos + 2);
    const uint32_t len = u32(pos + 4), frlen = u32(pos + 8);
    const bool sof = s[pos + 32] & 1;
    out.sidx.push_back(sidx);
    if (prev_sidx >= 0 && sidx != static_cast<uint16_t>(prev_sidx + 1))
      out.errors.push_back("sidx " + std::to_string(prev_sidx) + "->" + std::to_string(sidx));
    prev_sidx = sidx;
    if (pos + 36 + len > s.size()) break;
    const uint8_t *payload = s.data() + pos + 36;
    if (s[pos + 33] & 1) {
      uint32_t sum = 0;
      for (size_t i = 0; i + 4 <= len; i += 4) sum += get_le32(payload + i);
      if (sum != u32(pos + 28)) out.errors.push_back("checksum sidx " + std::to_string(sidx));
    }
    if (sof) {
      if (building) out.errors.push_back("incomplete frame " + std::to_string(cur.fridx));
      cur = ParsedFrame{};
      cur.fridx = u16(pos + 12);
      cur.format = u16(pos + 14);
      cur.width = u16(pos + 16);
      cur.height = u16(pos + 18);
      cur.t_sensor = static_cast<int16_t>(u16(pos + 20));
      cur.t_board = static_cast<int16_t>(u16(pos + 22));
      want = frlen;
      building = true;
    } else if (!building || u16(pos + 12) != cur.fridx) {
      out.errors.push_back("stray chunk sidx " + std::to_string(sidx));
      pos += 36 + len;
      continue;
    }
    cur.data.insert(cur.data.end(), payload, payload + len);
    if (cur.data.size() >= want) {
      if (cur.data.size() > want)
        out.errors.push_back("overlong frame " + std::to_string(cur.fridx));
      out.frames.push_back(std::move(cur));
      cur = ParsedFrame{};
      building = false;
    }
    pos += 36 + len;
  }
  return out;
}

}  // namespace torvi::vcam::test
