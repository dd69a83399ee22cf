// CDR encoding of the recording's messages.
#include "record/frame_msgs.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/byte_order.h"

namespace torvi::record {
namespace {

constexpr uint8_t kCdrLittleEndian[4] = {0x00, 0x01, 0x00, 0x00};
constexpr uint64_t kNsPerSecond = 1000000000ull;

// CDR writer: alignment is counted from after the encapsulation header.
class Cdr {
 public:
  explicit Cdr(Bytes &out) : b_(out) {
    for (const uint8_t b : kCdrLittleEndian) b_.push_back(b);  // (an insert trips g++ 12 -O3)
  }
  Cdr &u8(uint8_t v) {
    Put(b_).u8(v);
    return *this;
  }
  Cdr &u32(uint32_t v) {
    align(4);
    Put(b_).u32(v);
    return *this;
  }
  Cdr &str(const std::string &s) {
    u32(static_cast<uint32_t>(s.size() + 1));
    Put(b_).bytes({reinterpret_cast<const uint8_t *>(s.data()), s.size()}).u8(0);
    return *this;
  }

 private:
  void align(std::size_t n) {
    while ((b_.size() - sizeof kCdrLittleEndian) % n != 0) b_.push_back(0);
  }
  Bytes &b_;
};

const char *const kTimeDefinition =
    "================================================================================\n"
    "MSG: builtin_interfaces/Time\n"
    "int32 sec\n"
    "uint32 nanosec\n";

}  // namespace

const std::string &raw_frame_definition() {
  static const std::string def =
      std::string(
          "# One raw frame as the stream parser delivered it.\n"
          "builtin_interfaces/Time stamp  # host time when the frame was complete\n"
          "uint32 frame_length\n"
          "uint16 frame_index\n"
          "uint16 frame_format\n"
          "uint16 width\n"
          "uint16 height\n"
          "int16 sensor_temperature  # tenths of a degree Celsius\n"
          "int16 illumination_temperature  # tenths of a degree Celsius\n"
          "uint32 frame_word\n"
          "uint8[] data\n") +
      kTimeDefinition;
  return def;
}

const std::string &image_definition() {
  static const std::string def =
      std::string(
          "std_msgs/Header header\n"
          "uint32 height\n"
          "uint32 width\n"
          "string encoding\n"
          "uint8 is_bigendian\n"
          "uint32 step\n"
          "uint8[] data\n"
          "================================================================================\n"
          "MSG: std_msgs/Header\n"
          "builtin_interfaces/Time stamp\n"
          "string frame_id\n") +
      kTimeDefinition;
  return def;
}

RawPrefix encode_raw_prefix(uint64_t host_time_ns, const torvi_frame_hdr_t &hdr,
                            uint32_t frame_bytes) {
  RawPrefix p{};
  std::memcpy(p.data(), kCdrLittleEndian, 4);
  uint8_t *b = p.data() + 4;
  torvi::put_le32(b + 0, static_cast<uint32_t>(host_time_ns / kNsPerSecond));
  torvi::put_le32(b + 4, static_cast<uint32_t>(host_time_ns % kNsPerSecond));
  torvi::put_le32(b + 8, hdr.frlen);
  torvi::put_le16(b + 12, hdr.fridx);
  torvi::put_le16(b + 14, hdr.frfmt);
  torvi::put_le16(b + 16, hdr.width);
  torvi::put_le16(b + 18, hdr.height);
  torvi::put_le16(b + 20, static_cast<uint16_t>(hdr.sensor_temp));
  torvi::put_le16(b + 22, static_cast<uint16_t>(hdr.illum_temp));
  torvi::put_le32(b + 24, hdr.extra);
  torvi::put_le32(b + 28, frame_bytes);
  return p;
}

std::optional<RawFrame> decode_raw(std::span<const uint8_t> msg) {
  if (msg.size() < kRawPrefix || std::memcmp(msg.data(), kCdrLittleEndian, 4) != 0)
    return std::nullopt;
  const uint8_t *b = msg.data() + 4;
  const uint32_t n = torvi::get_le32(b + 28);
  if (n != msg.size() - kRawPrefix) return std::nullopt;
  RawFrame f;
  f.host_time_ns = uint64_t{torvi::get_le32(b)} * kNsPerSecond + torvi::get_le32(b + 4);
  f.hdr.frlen = torvi::get_le32(b + 8);
  f.hdr.fridx = torvi::get_le16(b + 12);
  f.hdr.frfmt = torvi::get_le16(b + 14);
  f.hdr.width = torvi::get_le16(b + 16);
  f.hdr.height = torvi::get_le16(b + 18);
  f.hdr.sensor_temp = static_cast<int16_t>(torvi::get_le16(b + 20));
  f.hdr.illum_temp = static_cast<int16_t>(torvi::get_le16(b + 22));
  f.hdr.extra = torvi::get_le32(b + 24);
  f.bytes = msg.subspan(kRawPrefix);
  return f;
}

Bytes encode_depth_image(uint64_t stamp_ns, uint32_t width, uint32_t height,
                         std::span<const uint16_t> mm) {
  Bytes out;
  out.reserve(64 + mm.size() * 2);
  Cdr c(out);
  c.u32(static_cast<uint32_t>(stamp_ns / kNsPerSecond))
      .u32(static_cast<uint32_t>(stamp_ns % kNsPerSecond))
      .str(kDepthFrameId)
      .u32(height)
      .u32(width)
      .str("16UC1")
      .u8(0)
      .u32(width * 2)
      .u32(static_cast<uint32_t>(mm.size() * 2));
  const std::size_t at = out.size();
  out.resize(at + mm.size() * 2);
  for (std::size_t i = 0; i < mm.size(); ++i) torvi::put_le16(out.data() + at + 2 * i, mm[i]);
  return out;
}

namespace {
constexpr const char *kTargetKey = "target.";
constexpr std::size_t kHexPerRegister = 8;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool is_calibration_file(const std::string &name) {
  constexpr std::string_view kSuffix = "_10.bin";
  if (name.empty() || name.size() > 255 || name.front() == '.' ||
      name.find_first_of("/\\") != std::string::npos)
    return false;
  return name == "lens_param.txt" || (name.size() > kSuffix.size() && name.ends_with(kSuffix));
}

std::string to_hex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (const uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 0xF];
  }
  return s;
}

bool from_hex(const std::string &s, Bytes &out) {
  if (s.size() % 2 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < s.size(); i += 2) {
    const int hi = hex_digit(s[i]), lo = hex_digit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

namespace {
constexpr const char *kFilterKey = "filter.";
constexpr int kMaxFilterId = 255;
}  // namespace

StringMap encode_filters(const std::map<int, FilterSwitch> &switches) {
  StringMap m;
  for (const auto &[id, sw] : switches) {
    std::string v = sw.on ? "on" : "off";
    if (sw.on && sw.has_arg) {
      v += ':';
      v += to_hex(sw.arg.bytes);
    }
    m[kFilterKey + std::to_string(id)] = v;
  }
  return m;
}

std::map<int, FilterSwitch> decode_filters(const StringMap &m) {
  std::map<int, FilterSwitch> out;
  const std::size_t key_len = std::strlen(kFilterKey);
  for (const auto &[key, value] : m) {
    if (key.compare(0, key_len, kFilterKey) != 0 || key.size() == key_len ||
        key.size() > key_len + 3 ||
        key.find_first_not_of("0123456789", key_len) != std::string::npos)
      continue;
    const int id = std::stoi(key.substr(key_len));
    if (id > kMaxFilterId) continue;
    FilterSwitch sw;
    if (value == "off") {
      sw.on = false;
    } else if (value == "on") {
      sw.on = true;
    } else if (value.rfind("on:", 0) == 0) {
      Bytes arg;
      if (!from_hex(value.substr(3), arg) || arg.size() != sizeof sw.arg.bytes) continue;
      sw.on = true;
      sw.has_arg = true;
      std::memcpy(sw.arg.bytes, arg.data(), arg.size());
    } else {
      continue;
    }
    out[id] = sw;
  }
  return out;
}

StringMap encode_registers(const std::map<uint8_t, std::vector<uint32_t>> &targets) {
  StringMap m;
  for (const auto &[target, values] : targets) {
    std::string text(values.size() * kHexPerRegister + 1, '\0');
    for (std::size_t i = 0; i < values.size(); ++i)
      std::snprintf(text.data() + i * kHexPerRegister, kHexPerRegister + 1, "%08x", values[i]);
    text.pop_back();
    m[kTargetKey + std::to_string(target)] = std::move(text);
  }
  return m;
}

std::map<uint8_t, std::vector<uint32_t>> decode_registers(const StringMap &m) {
  std::map<uint8_t, std::vector<uint32_t>> out;
  const std::size_t key_len = std::strlen(kTargetKey);
  for (const auto &[key, text] : m) {
    if (key.compare(0, key_len, kTargetKey) != 0 || key.size() == key_len ||
        key.size() > key_len + 3 || text.size() % kHexPerRegister != 0)
      continue;
    unsigned target = 0;
    bool ok = true;
    for (std::size_t i = key_len; i < key.size(); ++i) {
      ok = ok && key[i] >= '0' && key[i] <= '9';
      target = target * 10 + static_cast<unsigned>(key[i] - '0');
    }
    if (!ok || target > 255) continue;
    std::vector<uint32_t> values(text.size() / kHexPerRegister);
    for (std::size_t i = 0; ok && i < values.size(); ++i) {
      uint32_t v = 0;
      for (std::size_t k = 0; k < kHexPerRegister; ++k) {
        const int d = hex_digit(text[i * kHexPerRegister + k]);
        ok = ok && d >= 0;
        v = v << 4 | static_cast<uint32_t>(d & 0xF);
      }
      values[i] = v;
    }
    if (ok) out[static_cast<uint8_t>(target)] = std::move(values);
  }
  return out;
}

}  // namespace torvi::record
