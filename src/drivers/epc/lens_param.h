// The lens parameter file: one value per line (first blank-separated token):
// cx, cy, fx, fy, five distortion coefficients, then image width and height.
#pragma once

#include <torvi/kx_lens.h>

#include <string_view>

namespace torvi::epc {

inline constexpr int kLensParamLines = 11;
inline constexpr torvi_lens_param_t kDefaultLens = {
    157.262,
    122.083,
    210.783,
    204.817,
    {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954},
    320,
    240};

// Parses `text` into `lens`, keeping the values of lines that are missing or
// unreadable; logs each value at DBG. Returns the number of lines read.
int parse_lens_param(std::string_view text, torvi_lens_param_t &lens);

// Reads prefix + "lens_param.txt" into `lens` (defaults kept when it cannot
// be opened), with the lines the driver logs.
void update_lens_param(const char *prefix, torvi_lens_param_t &lens);

}  // namespace torvi::epc
