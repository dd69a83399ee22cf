// Frame files: header text, value encoding and the save and load steps.
#pragma once

#include <torvi/torvi_frame.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace torvi::frame_file {

enum class Kind { distance, gray };

// Format numbers of the save calls: F32 0, U32 1, U16 2, U8 3.
inline constexpr int kF32 = TORVI_FRAME_FILE_F32;
inline constexpr int kU32 = TORVI_FRAME_FILE_U32;
inline constexpr int kU16 = TORVI_FRAME_FILE_U16;
inline constexpr int kU8 = TORVI_FRAME_FILE_U8;
inline constexpr int64_t kMaxPixels = TORVI_FRAME_FILE_MAX_PIXELS;
// The header line, newline included, is at most this long.
inline constexpr size_t kMaxHeaderLine = 255;

struct Header {
  int width = 0;
  int height = 0;
  int format = -1;
};

// True for the formats a kind of file stores (distance F32/U32/U16, gray U16/U8).
bool format_allowed(Kind kind, int format);

// Bytes per stored value: 4 (F32, U32), 2 (U16), 1 (U8).
size_t value_bytes(int format);

// "KX_DIST,F32,320,240\n" and the like; the format must be allowed.
std::string header_line(Kind kind, int format, int width, int height);

// Matches the text of one header line (without its newline) against the
// headers of `kind`, as "KX_DIST,F32,%d,%d" would: the first known prefix,
// then two decimal integers separated by a comma; text after the second
// number is ignored. No match: nothing.
std::optional<Header> parse_header(Kind kind, std::string_view line);

// True when a frame of width x height lies within 1 ... kMaxPixels pixels.
bool size_sane(int64_t width, int64_t height);

// Encodes values in a stored format, little-endian; out holds
// in.size() * value_bytes(format) bytes.
void encode(Kind kind, int format, std::span<const float> in, std::span<uint8_t> out);

// Decodes in.size() / value_bytes(format) stored values (at most out.size()).
void decode(Kind kind, int format, std::span<const uint8_t> in, std::span<float> out);

// The save and load steps behind the public calls; `who` names the public
// call in log lines. Arguments are checked by the callers.
bool save(const char *who, Kind kind, int fd, int format, std::span<const float> frames, int width,
          int height);
int load(const char *who, Kind kind, int fd, std::span<float> dst, int *width, int *height);

// Forgets the remembered headers (tests).
void reset_load_state();

}  // namespace torvi::frame_file
