// The messages of a recording, in CDR (little-endian, the 4-byte
// encapsulation header first, alignment counted after it):
//  - torvi_msgs/msg/RawFrame: host time stamp, the frame record the stream
//    parser delivered with the frame, and the frame's bytes;
//  - sensor_msgs/msg/Image: a distance image, 16UC1 in millimetres.
#pragma once

#include <torvi/torvi_frame_hdr.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "api/dev_internal.h"
#include "record/mcap_format.h"

namespace torvi::record {

inline constexpr uint16_t kRawSchemaId = 1;
inline constexpr uint16_t kImageSchemaId = 2;
inline constexpr uint16_t kRawChannelId = 1;
inline constexpr uint16_t kDepthChannelId = 2;
inline constexpr const char *kRawTopic = "/torvi/raw_frame";
inline constexpr const char *kDepthTopic = "/torvi/depth";
inline constexpr const char *kRawSchemaName = "torvi_msgs/msg/RawFrame";
inline constexpr const char *kImageSchemaName = "sensor_msgs/msg/Image";
inline constexpr const char *kDepthFrameId = "torvi_depth";

// The ros2msg definitions of both messages.
const std::string &raw_frame_definition();
const std::string &image_definition();

// Bytes of a raw-frame message before the frame's bytes.
inline constexpr std::size_t kRawPrefix = 36;
using RawPrefix = std::array<uint8_t, kRawPrefix>;

// The message prefix for a frame of `frame_bytes` bytes.
RawPrefix encode_raw_prefix(uint64_t host_time_ns, const torvi_frame_hdr_t &hdr,
                            uint32_t frame_bytes);

struct RawFrame {
  uint64_t host_time_ns = 0;
  torvi_frame_hdr_t hdr{};
  std::span<const uint8_t> bytes;
};
// Decodes a raw-frame message; nullopt when it is malformed.
std::optional<RawFrame> decode_raw(std::span<const uint8_t> msg);

// A whole Image message for a width x height image of millimetres.
Bytes encode_depth_image(uint64_t stamp_ns, uint32_t width, uint32_t height,
                         std::span<const uint16_t> mm);

// Calibration files a recording carries as attachments under their own
// names: "lens_param.txt" and the "*_10.bin" files (plain names, no path).
bool is_calibration_file(const std::string &name);
// Attachment holding the driver's lens record as "key value" lines.
inline constexpr const char *kLensAttachment = "lens_param";

// Bytes as lower-case hex digits, and back (false for odd or non-hex text).
std::string to_hex(std::span<const uint8_t> bytes);
bool from_hex(const std::string &s, Bytes &out);

// Metadata "torvi.filters": the filter switches made on the camera since it
// was opened, the last per filter: "filter.<id>" = "off", "on" or
// "on:<hex of the 4-byte argument record>".
inline constexpr const char *kFiltersMetadata = "torvi.filters";
StringMap encode_filters(const std::map<int, FilterSwitch> &switches);
// The inverse; malformed entries are left out.
std::map<int, FilterSwitch> decode_filters(const StringMap &m);

// Metadata "torvi.registers": one entry per register target,
// "target.<t>" = eight hex digits per register from register 0 on.
inline constexpr const char *kRegistersMetadata = "torvi.registers";
StringMap encode_registers(const std::map<uint8_t, std::vector<uint32_t>> &targets);
// The inverse; malformed entries are left out.
std::map<uint8_t, std::vector<uint32_t>> decode_registers(const StringMap &m);

}  // namespace torvi::record
