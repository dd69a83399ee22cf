// What the viewer's server and page say to each other over the WebSocket.
//
// Server to page, binary (all little-endian):
//   frame:  "TVF1", u32 seq, u16 width, u16 height, u32 planes, f64 arrival
//           (ms since the epoch, the moment the frame was taken from the
//           camera), f64 decoded (ms since the epoch, the moment its images
//           were ready to pack), then `planes` images of width x height u16
//           each, in this order when their bit is set: depth (mm; 65300
//           filtered, 65500 invalid), gray, ground truth (mm, virtual camera
//           only).
//   rays:   "TVR1", u16 width, u16 height, then width x height unit rays
//           (3 f32 each, camera frame: x right, y down, z forward).
// Server to page, text: one JSON object {"type":"state", ...}.
// Page to server, text: "ack" once a frame is drawn, or passed over by a page
// that is not shown (the server sends each browser one frame at a time,
// always the newest), or one flat JSON object {"cmd":"...", ...}: numbers,
// booleans and strings only.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace torvi_cli::view {

enum Plane : uint32_t { kDepth = 1u << 0, kGray = 1u << 1, kTruth = 1u << 2 };

constexpr std::size_t kFrameHeaderBytes = 32;

struct FrameImages {
  uint32_t seq = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  double arrival_ms = 0;
  double decoded_ms = 0;
  std::span<const float> depth_m;   // metres, markers 65.3 / 65.5 kept
  std::span<const float> gray;      // may be empty
  std::span<const uint16_t> truth;  // may be empty
};

// Builds the binary frame message; planes whose span is empty are left out.
std::vector<uint8_t> pack_frame(const FrameImages &f);

// Builds the binary rays message; `rays` holds width x height x 3 floats.
std::vector<uint8_t> pack_rays(uint16_t width, uint16_t height, std::span<const float> rays);

// Metres to the u16 millimetres of the depth plane: markers and values at or
// above 65.0 m map to their 16-bit codes, negatives and NaN to 65500.
uint16_t depth_to_mm(float metres);

// A command from the page. Values keep their JSON text (strings unquoted).
struct Command {
  std::map<std::string, std::string> fields;
  std::string cmd() const;
  std::optional<double> number(const std::string &key) const;
  std::optional<bool> flag(const std::string &key) const;
};

// Parses one flat JSON object; nullopt for anything else (nested values,
// bad syntax, trailing bytes, more than 32 keys or over 4096 bytes).
std::optional<Command> parse_command(std::string_view text);

// Escapes a string for a JSON string literal (without the quotes).
std::string json_escape(std::string_view s);

}  // namespace torvi_cli::view
