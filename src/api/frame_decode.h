// A raw frame decoded by the device's driver into its own 16-bit output,
// for callers inside the library that want the values as the driver gives
// them (distance in millimetres with its marks for filtered and invalid
// pixels, or gray) without the float conversion of the public calls.
#pragma once

#include <torvi/torvi_dev.h>
#include <torvi/torvi_frame.h>

#include <cstdint>
#include <span>

namespace torvi {

// Decodes `src` (`src_len` bytes, described by `finfo`) as `kind`
// (TORVI_DECODE_DIST or TORVI_DECODE_GRAY) into `out`, under the device's
// busy mark. Returns the number of values written, 0 when the device is
// not open or the decode failed (logged).
int decode_frame_u16(torvi_dev_t *dev, std::span<uint16_t> out, const uint8_t *src, int src_len,
                     const torvi_frame_info_t &finfo, int kind);

}  // namespace torvi
