// Depth outputs of the torvi program: PNG images (16-bit depth in
// millimetres, or colour) and PLY point clouds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace torvi_cli {

// 16-bit grayscale PNG of millimetre values (markers kept as they are).
bool write_png_u16(const std::string &path, int width, int height, const std::vector<uint16_t> &mm);
// 8-bit RGB PNG (3 bytes per pixel, row-major).
bool write_png_rgb(const std::string &path, int width, int height, const std::vector<uint8_t> &rgb);
// Binary little-endian PLY of n points (x, y, z floats, metres).
bool write_ply(const std::string &path, const float *xyz, int points);

// Statistics of one distance image (metres; markers and zeros are invalid).
struct DepthStats {
  double valid_share = 0;  // 0 ... 1
  double median_m = 0;     // of the valid pixels
};
DepthStats depth_stats(const std::vector<float> &dist);

}  // namespace torvi_cli
