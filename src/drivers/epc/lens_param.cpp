// The lens parameter file.
#include "drivers/epc/lens_param.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "core/log_internal.h"

namespace torvi::epc {

namespace {

// The first blank-separated token of a line.
std::string first_token(std::string_view line) {
  const size_t b = line.find_first_not_of(" \t\r\v\f");
  if (b == std::string_view::npos) return {};
  const size_t e = line.find_first_of(" \t\r\v\f", b);
  return std::string(line.substr(b, e == std::string_view::npos ? e : e - b));
}

bool to_double(const std::string &tok, double &out) {
  if (tok.empty()) return false;
  char *end = nullptr;
  errno = 0;
  const double v = std::strtod(tok.c_str(), &end);
  if (end == tok.c_str() || errno == ERANGE) return false;
  out = v;
  return true;
}

bool to_int(const std::string &tok, int32_t &out) {
  if (tok.empty()) return false;
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(tok.c_str(), &end, 10);
  if (end == tok.c_str() || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<int32_t>(v);
  return true;
}

}  // namespace

int parse_lens_param(std::string_view text, torvi_lens_param_t &lens) {
  KX_LOG_NAME("_kx_update_len_param");
  int n = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string tok = first_token(text.substr(pos, end - pos));
    pos = end + 1;
    double d = 0;
    switch (n) {
      case 0:
        if (to_double(tok, d)) lens.cx = d;
        KX_DBG("Cx:%3.5f\n", lens.cx);
        break;
      case 1:
        if (to_double(tok, d)) lens.cy = d;
        KX_DBG("Cy:%3.5f\n", lens.cy);
        break;
      case 2:
        if (to_double(tok, d)) lens.fx = d;
        KX_DBG("Fx:%3.5f\n", lens.fx);
        break;
      case 3:
        if (to_double(tok, d)) lens.fy = d;
        KX_DBG("Fy:%3.5f\n", lens.fy);
        break;
      case 4:
      case 5:
      case 6:
      case 7:
      case 8:
        if (to_double(tok, d)) lens.dcoeff[n - 4] = d;
        KX_DBG("dcoeff[%d]:%3.5f\n", n - 4, lens.dcoeff[n - 4]);
        break;
      case 9:
        to_int(tok, lens.img_w);
        KX_DBG("img_w = %d\n", lens.img_w);
        break;
      case 10:
        to_int(tok, lens.img_h);
        KX_DBG("img_h = %d\n", lens.img_h);
        break;
      default:
        break;
    }
    ++n;
  }
  if (n == kLensParamLines)
    KX_DBG("Reload lens param ok\n");
  else
    KX_WRN("Param number maybe not right\n");
  return n;
}

void update_lens_param(const char *prefix, torvi_lens_param_t &lens) {
  KX_LOG_NAME("_kx_update_len_param");
  const std::string path = std::string(prefix != nullptr ? prefix : "./") + "lens_param.txt";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    KX_DBG("%s Open failed, use default param\n", path.c_str());
    return;
  }
  // The file is a few hundred bytes; a larger one is read only so far.
  constexpr size_t kMaxBytes = 1 << 16;
  std::string text;
  text.resize(kMaxBytes);
  in.read(text.data(), static_cast<std::streamsize>(kMaxBytes));
  text.resize(static_cast<size_t>(in.gcount()));
  parse_lens_param(text, lens);
}

}  // namespace torvi::epc
