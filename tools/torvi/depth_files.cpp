#include "depth_files.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace torvi_cli {
namespace {

struct FileCloser {
  void operator()(std::FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Writes rows of `bytes_per_row` bytes through libpng.
bool write_png(const std::string &path, int width, int height, int bit_depth, int color_type,
               const uint8_t *data, size_t bytes_per_row) {
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, f.get());
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
               bit_depth, color_type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  if (bit_depth == 16) png_set_swap(png);  // our samples are little-endian
  for (int r = 0; r < height; ++r)
    png_write_row(png, const_cast<png_bytep>(data + static_cast<size_t>(r) * bytes_per_row));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool write_png_u16(const std::string &path, int width, int height,
                   const std::vector<uint16_t> &mm) {
  if (width <= 0 || height <= 0 || mm.size() < static_cast<size_t>(width) * height) return false;
  return write_png(path, width, height, 16, PNG_COLOR_TYPE_GRAY,
                   reinterpret_cast<const uint8_t *>(mm.data()), 2 * static_cast<size_t>(width));
}

bool write_png_rgb(const std::string &path, int width, int height,
                   const std::vector<uint8_t> &rgb) {
  if (width <= 0 || height <= 0 || rgb.size() < 3 * static_cast<size_t>(width) * height)
    return false;
  return write_png(path, width, height, 8, PNG_COLOR_TYPE_RGB, rgb.data(),
                   3 * static_cast<size_t>(width));
}

bool write_ply(const std::string &path, const float *xyz, int points) {
  File f(std::fopen(path.c_str(), "wb"));
  if (!f || points < 0) return false;
  std::fprintf(f.get(),
               "ply\nformat binary_little_endian 1.0\ncomment libtorvi point cloud, metres\n"
               "element vertex %d\nproperty float x\nproperty float y\nproperty float z\n"
               "end_header\n",
               points);
  const size_t n = 3 * static_cast<size_t>(points);
  return std::fwrite(xyz, sizeof(float), n, f.get()) == n && std::fflush(f.get()) == 0;
}

DepthStats depth_stats(const std::vector<float> &dist) {
  std::vector<float> valid;
  valid.reserve(dist.size());
  for (float d : dist)
    if (d > 0.0f && d < 60.0f) valid.push_back(d);
  DepthStats s;
  if (dist.empty() || valid.empty()) return s;
  s.valid_share = static_cast<double>(valid.size()) / static_cast<double>(dist.size());
  auto mid = valid.begin() + static_cast<std::ptrdiff_t>(valid.size() / 2);
  std::nth_element(valid.begin(), mid, valid.end());
  s.median_m = static_cast<double>(*mid);
  return s;
}

}  // namespace torvi_cli
