// Frame-file header text and the conversion of values to and from their
// stored form.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "api/frame_file_internal.h"

namespace torvi::frame_file {
namespace {

const char *format_name(int format) {
  switch (format) {
    case kF32:
      return "F32";
    case kU32:
      return "U32";
    case kU16:
      return "U16";
    case kU8:
      return "U8";
    default:
      return "?";
  }
}

const char *kind_name(Kind kind) { return kind == Kind::distance ? "KX_DIST" : "KX_GRAY"; }

// Truncates toward zero into 64 bits, saturating, NaN as 0: every float has
// a defined stored value whose low bits are then kept.
int64_t truncate(float v) {
  if (std::isnan(v)) return 0;
  constexpr float kLimit = 9.2e18f;
  if (v >= kLimit) return std::numeric_limits<int64_t>::max();
  if (v <= -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

void put_le(uint8_t *p, uint32_t v, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_le(const uint8_t *p, size_t bytes) {
  uint32_t v = 0;
  for (size_t i = 0; i < bytes; ++i) v |= uint32_t{p[i]} << (8 * i);
  return v;
}

// Like scanf's %d: optional blanks, an optional sign, at least one digit.
const char *parse_int(const char *p, const char *end, int &out) {
  while (p != end && (*p == ' ' || *p == '\t')) ++p;
  if (p != end && *p == '+') ++p;
  const auto [next, ec] = std::from_chars(p, end, out);
  return ec == std::errc() ? next : nullptr;
}

}  // namespace

bool format_allowed(Kind kind, int format) {
  if (kind == Kind::distance) return format == kF32 || format == kU32 || format == kU16;
  return format == kU16 || format == kU8;
}

size_t value_bytes(int format) {
  switch (format) {
    case kF32:
    case kU32:
      return 4;
    case kU16:
      return 2;
    default:
      return 1;
  }
}

std::string header_line(Kind kind, int format, int width, int height) {
  char buf[64];
  const int n = std::snprintf(buf, sizeof buf, "%s,%s,%d,%d\n", kind_name(kind),
                              format_name(format), width, height);
  return std::string(buf, static_cast<size_t>(n));
}

std::optional<Header> parse_header(Kind kind, std::string_view line) {
  static constexpr int kDistOrder[] = {kF32, kU32, kU16};
  static constexpr int kGrayOrder[] = {kU8, kU16};
  const std::span<const int> order =
      kind == Kind::distance ? std::span<const int>(kDistOrder) : std::span<const int>(kGrayOrder);
  for (int format : order) {
    const std::string prefix = std::string(kind_name(kind)) + "," + format_name(format) + ",";
    if (!line.starts_with(prefix)) continue;
    const char *p = line.data() + prefix.size();
    const char *end = line.data() + line.size();
    Header h;
    h.format = format;
    p = parse_int(p, end, h.width);
    if (p == nullptr || p == end || *p != ',') return std::nullopt;
    if (parse_int(p + 1, end, h.height) == nullptr) return std::nullopt;
    return h;
  }
  return std::nullopt;
}

bool size_sane(int64_t width, int64_t height) {
  return width > 0 && height > 0 && width <= kMaxPixels && height <= kMaxPixels &&
         width * height <= kMaxPixels;
}

void encode(Kind kind, int format, std::span<const float> in, std::span<uint8_t> out) {
  const size_t bytes = value_bytes(format);
  uint8_t *p = out.data();
  for (float v : in) {
    uint32_t stored;
    if (format == kF32) {
      stored = std::bit_cast<uint32_t>(v);
    } else if (kind == Kind::distance) {
      stored = static_cast<uint32_t>(truncate(v * 1000.0f));
    } else {
      stored = static_cast<uint32_t>(truncate(v));
    }
    put_le(p, stored, bytes);  // keeps the low `bytes` bytes
    p += bytes;
  }
}

void decode(Kind kind, int format, std::span<const uint8_t> in, std::span<float> out) {
  const size_t bytes = value_bytes(format);
  const size_t n = std::min(in.size() / bytes, out.size());
  for (size_t i = 0; i < n; ++i) {
    const uint32_t stored = get_le(in.data() + i * bytes, bytes);
    if (format == kF32) {
      out[i] = std::bit_cast<float>(stored);
    } else if (kind == Kind::distance) {
      out[i] = static_cast<float>(stored) / 1000.0f;
    } else {
      out[i] = static_cast<float>(stored);
    }
  }
}

}  // namespace torvi::frame_file
