#include "support/zip_names.h"

#include <algorithm>

namespace torvi::zip {

std::string normalize_name(std::string_view name) {
  std::string out(name);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

bool is_directory(std::string_view name, uint32_t external_attr) {
  if (!name.empty() && (name.back() == '/' || name.back() == '\\')) return true;
  return (external_attr & 0x10u) != 0;
}

bool is_symlink(uint32_t external_attr) {
  constexpr uint32_t kTypeMask = 0170000;
  constexpr uint32_t kLink = 0120000;
  return ((external_attr >> 16) & kTypeMask) == kLink;
}

std::optional<std::vector<std::string>> safe_components(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string norm = normalize_name(name);
  if (norm.front() == '/') return std::nullopt;
  // A drive prefix "X:" (also "X:name", which Windows reads as drive-relative).
  if (norm.size() >= 2 && norm[1] == ':') return std::nullopt;
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= norm.size()) {
    size_t end = norm.find('/', start);
    if (end == std::string::npos) end = norm.size();
    std::string part = norm.substr(start, end - start);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    start = end + 1;
  }
  if (parts.empty()) return std::nullopt;
  return parts;
}

std::string archive_name_for_path(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':') path.remove_prefix(2);
  const size_t slash = path.find_last_of("/\\");
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  return std::string(path);
}

std::optional<int> zlib_level(int level) {
  if (level < 0) return 6;
  const int low = level & 0xF;
  if (low > 10) return std::nullopt;
  return std::min(low, 9);
}

uint32_t dos_date_time(const LocalTime &t) {
  const unsigned year = std::clamp(t.year, 1980u, 2107u);
  const uint32_t time = (t.hour << 11) | (t.minute << 5) | (t.second / 2);
  const uint32_t date = ((year - 1980) << 9) | (t.month << 5) | t.day;
  return (date << 16) | (time & 0xFFFFu);
}

uint32_t dos_date_time_of(time_t t) {
  struct tm tmv {};
  localtime_r(&t, &tmv);
  return dos_date_time({static_cast<unsigned>(tmv.tm_year + 1900),
                        static_cast<unsigned>(tmv.tm_mon + 1), static_cast<unsigned>(tmv.tm_mday),
                        static_cast<unsigned>(tmv.tm_hour), static_cast<unsigned>(tmv.tm_min),
                        static_cast<unsigned>(tmv.tm_sec), 0});
}

std::optional<time_t> dos_to_time_t(uint32_t dos) {
  const unsigned date = dos >> 16;
  const unsigned time = dos & 0xFFFFu;
  struct tm tmv {};
  tmv.tm_year = static_cast<int>((date >> 9) + 80);
  tmv.tm_mon = static_cast<int>((date >> 5) & 0xF) - 1;
  tmv.tm_mday = static_cast<int>(date & 0x1F);
  tmv.tm_hour = static_cast<int>(time >> 11);
  tmv.tm_min = static_cast<int>((time >> 5) & 0x3F);
  tmv.tm_sec = static_cast<int>((time & 0x1F) * 2);
  tmv.tm_isdst = -1;
  if (tmv.tm_mon < 0 || tmv.tm_mon > 11 || tmv.tm_mday < 1 || tmv.tm_hour > 23 || tmv.tm_min > 59 ||
      tmv.tm_sec > 59)
    return std::nullopt;
  const time_t t = mktime(&tmv);
  if (t == static_cast<time_t>(-1)) return std::nullopt;
  return t;
}

bool sizes_plausible(uint16_t method, uint64_t compressed, uint64_t uncompressed,
                     uint64_t archive_size) {
  if (compressed > archive_size) return false;
  if (method == 0) return compressed == uncompressed;
  if (method != 8) return false;
  return uncompressed / kMaxDeflateRatio <= compressed;
}

}  // namespace torvi::zip
