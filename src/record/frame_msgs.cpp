// CDR encoding of the recording's messages.
#include "record/frame_msgs.h"

#include <cstring>

#include "core/byte_order.h"

namespace torvi::record {
namespace {

constexpr uint8_t kCdrLittleEndian[4] = {0x00, 0x01, 0x00, 0x00};
constexpr uint64_t kNsPerSecond = 1000000000ull;

// CDR writer: alignment is counted from after the encapsulation header.
class Cdr {
 public:
  explicit Cdr(Bytes &out) : b_(out) { Put(b_).bytes(kCdrLittleEndian); }
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

}  // namespace torvi::record
