#include "protocol.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace torvi_cli::view {
namespace {

void put_u16(std::vector<uint8_t> &out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void put_u32(std::vector<uint8_t> &out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Little-endian stores into a buffer already sized; each returns the next
// free byte.
uint8_t *store_u16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  return p + 2;
}

uint8_t *store_u32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  return p + 4;
}

uint8_t *store_f64(uint8_t *p, double v) {
  uint64_t bits = 0;
  std::memcpy(&bits, &v, sizeof bits);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(bits >> (8 * i));
  return p + 8;
}

uint16_t gray_to_u16(float g) {
  return g <= 0.0f ? uint16_t{0} : g >= 65535.0f ? uint16_t{65535} : static_cast<uint16_t>(g);
}

// A tiny reader of one flat JSON object.
class FlatJsonReader {
 public:
  explicit FlatJsonReader(std::string_view s) : s_(s) {}

  std::optional<Command> read() {
    Command c;
    skip_ws();
    if (!eat('{')) return std::nullopt;
    skip_ws();
    if (eat('}')) return finish(c);
    for (;;) {
      auto key = string();
      skip_ws();
      if (!key || !eat(':')) return std::nullopt;
      skip_ws();
      auto value = scalar();
      if (!value || c.fields.size() >= 32) return std::nullopt;
      c.fields[*key] = *value;
      skip_ws();
      if (eat(',')) {
        skip_ws();
        continue;
      }
      if (eat('}')) return finish(c);
      return std::nullopt;
    }
  }

 private:
  std::optional<Command> finish(Command &c) {
    skip_ws();
    if (pos_ != s_.size()) return std::nullopt;
    return c;
  }
  void skip_ws() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
      ++pos_;
  }
  bool eat(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  std::optional<std::string> string() {
    if (!eat('"')) return std::nullopt;
    std::string out;
    while (pos_ < s_.size()) {
      const char c = s_[pos_++];
      if (c == '"') return out;
      if (c == '\\') {
        if (pos_ >= s_.size()) return std::nullopt;
        const char e = s_[pos_++];
        switch (e) {
          case '"':
          case '\\':
          case '/':
            out += e;
            break;
          case 'n':
            out += '\n';
            break;
          case 't':
            out += '\t';
            break;
          default:
            return std::nullopt;  // \u and the rest are not needed by the page
        }
      } else if (static_cast<unsigned char>(c) < 0x20) {
        return std::nullopt;
      } else {
        out += c;
      }
    }
    return std::nullopt;
  }
  std::optional<std::string> scalar() {
    if (pos_ < s_.size() && s_[pos_] == '"') return string();
    for (const char *word : {"true", "false", "null"}) {
      const std::size_t n = std::strlen(word);
      if (s_.substr(pos_, n) == word) {
        pos_ += n;
        return std::string(word);
      }
    }
    const std::size_t start = pos_;
    while (pos_ < s_.size() && std::strchr("+-0123456789.eE", s_[pos_]) != nullptr) ++pos_;
    if (pos_ == start) return std::nullopt;
    std::string num(s_.substr(start, pos_ - start));
    char *end = nullptr;
    std::strtod(num.c_str(), &end);
    if (end != num.c_str() + num.size()) return std::nullopt;
    return num;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

}  // namespace

uint16_t depth_to_mm(float metres) {
  if (!(metres >= 0.0f)) return 65500;  // negative or NaN
  if (metres >= 65.0f) {
    const long mm = std::lround(static_cast<double>(metres) * 1000.0);
    return mm > 65535 ? uint16_t{65500} : static_cast<uint16_t>(mm);
  }
  return static_cast<uint16_t>(std::lround(static_cast<double>(metres) * 1000.0));
}

std::vector<uint8_t> pack_frame(const FrameImages &f) {
  const std::size_t n = static_cast<std::size_t>(f.width) * f.height;
  uint32_t planes = 0;
  std::size_t plane_count = 0;
  const auto take = [&](std::size_t size, Plane bit) {
    if (size < n || n == 0) return;
    planes |= bit;
    ++plane_count;
  };
  take(f.depth_m.size(), kDepth);
  take(f.gray.size(), kGray);
  take(f.truth.size(), kTruth);
  // One allocation and plain stores: this runs for every frame between its
  // arrival and the browsers.
  std::vector<uint8_t> out(kFrameHeaderBytes + plane_count * n * 2);
  uint8_t *p = out.data();
  std::memcpy(p, "TVF1", 4);
  p = store_u32(p + 4, f.seq);
  p = store_u16(p, f.width);
  p = store_u16(p, f.height);
  p = store_u32(p, planes);
  p = store_f64(p, f.arrival_ms);
  p = store_f64(p, f.decoded_ms);
  if (planes & kDepth)
    for (std::size_t i = 0; i < n; ++i) p = store_u16(p, depth_to_mm(f.depth_m[i]));
  if (planes & kGray)
    for (std::size_t i = 0; i < n; ++i) p = store_u16(p, gray_to_u16(f.gray[i]));
  if (planes & kTruth)
    for (std::size_t i = 0; i < n; ++i) p = store_u16(p, f.truth[i]);
  return out;
}

std::vector<uint8_t> pack_rays(uint16_t width, uint16_t height, std::span<const float> rays) {
  const std::size_t n = static_cast<std::size_t>(width) * height * 3;
  std::vector<uint8_t> out;
  if (rays.size() < n) return out;
  out.reserve(8 + n * 4);
  out.insert(out.end(), {'T', 'V', 'R', '1'});
  put_u16(out, width);
  put_u16(out, height);
  for (std::size_t i = 0; i < n; ++i) {
    uint32_t bits = 0;
    std::memcpy(&bits, &rays[i], 4);
    put_u32(out, bits);
  }
  return out;
}

std::string Command::cmd() const {
  auto it = fields.find("cmd");
  return it == fields.end() ? std::string() : it->second;
}

std::optional<double> Command::number(const std::string &key) const {
  auto it = fields.find(key);
  if (it == fields.end()) return std::nullopt;
  char *end = nullptr;
  const double v = std::strtod(it->second.c_str(), &end);
  if (end == it->second.c_str() || *end != '\0' || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<bool> Command::flag(const std::string &key) const {
  auto it = fields.find(key);
  if (it == fields.end()) return std::nullopt;
  if (it->second == "true") return true;
  if (it->second == "false") return false;
  return std::nullopt;
}

std::optional<Command> parse_command(std::string_view text) {
  if (text.size() > 4096) return std::nullopt;
  return FlatJsonReader(text).read();
}

std::string json_escape(std::string_view s) {
  std::string out;
  for (const char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out;
}

}  // namespace torvi_cli::view
