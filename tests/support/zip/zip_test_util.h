// Helpers for the zip tests: hand-built archives (so that hostile and odd
// archives can be made byte by byte), raw deflate, file trees and commands.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/byte_order.h"

namespace torvi::test {

struct RawEntry {
  std::string name;
  std::string data;   // bytes as stored (deflated when method is 8)
  std::string plain;  // the uncompressed content, for the CRC-32 and size
  uint16_t method = 0;
  uint16_t flags = 0;
  uint16_t made_by = 20;  // host 0 (DOS) unless set
  uint32_t external_attr = 0;
  uint32_t dos_time = (41u << 25) | (1u << 21) | (1u << 16);  // 2021-01-01 00:00:00
  std::optional<uint32_t> crc;                                // overrides the computed CRC-32
  std::optional<uint32_t> uncompressed;                       // overrides the declared size
};

// Appends the low `bytes` bytes of v, least significant first.
inline void put_le_to(std::string &s, uint32_t v, size_t bytes) {
  uint8_t b[4];
  torvi::put_le(b, v, bytes);
  s.append(reinterpret_cast<const char *>(b), bytes);
}
inline void put16(std::string &s, uint32_t v) { put_le_to(s, v, 2); }
inline void put32(std::string &s, uint32_t v) { put_le_to(s, v, 4); }
inline uint32_t get_le_at(const std::string &s, size_t at, size_t bytes) {
  static_cast<void>(s.at(at + bytes - 1));  // in range, or std::out_of_range
  return static_cast<uint32_t>(
      torvi::get_le(reinterpret_cast<const uint8_t *>(s.data() + at), bytes));
}
inline uint16_t get16(const std::string &s, size_t at) {
  return static_cast<uint16_t>(get_le_at(s, at, 2));
}
inline uint32_t get32(const std::string &s, size_t at) { return get_le_at(s, at, 4); }

inline uint32_t crc_of(const std::string &s) {
  return static_cast<uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef *>(s.data()), static_cast<uInt>(s.size())));
}

// Raw deflate (no zlib header), as ZIP method 8 stores it.
inline std::string deflate_raw(const std::string &in, int level = 6) {
  z_stream zs{};
  deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, static_cast<uLong>(in.size())) + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = reinterpret_cast<Bytef *>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

inline RawEntry stored(std::string name, std::string content) {
  RawEntry e;
  e.name = std::move(name);
  e.data = content;
  e.plain = std::move(content);
  return e;
}

inline RawEntry deflated(std::string name, std::string content) {
  RawEntry e;
  e.name = std::move(name);
  e.data = deflate_raw(content);
  e.plain = std::move(content);
  e.method = 8;
  return e;
}

// A complete archive: local headers with data, central directory, end record.
inline std::string build_zip(const std::vector<RawEntry> &entries) {
  std::string out;
  std::string central;
  for (const RawEntry &e : entries) {
    const uint32_t offset = static_cast<uint32_t>(out.size());
    const uint32_t crc = e.crc ? *e.crc : crc_of(e.plain);
    const uint32_t usize = e.uncompressed ? *e.uncompressed : static_cast<uint32_t>(e.plain.size());
    put32(out, 0x04034b50);
    put16(out, 20);
    put16(out, e.flags);
    put16(out, e.method);
    put32(out, e.dos_time);
    put32(out, crc);
    put32(out, static_cast<uint32_t>(e.data.size()));
    put32(out, usize);
    put16(out, static_cast<uint32_t>(e.name.size()));
    put16(out, 0);
    out += e.name;
    out += e.data;
    put32(central, 0x02014b50);
    put16(central, e.made_by);
    put16(central, 20);
    put16(central, e.flags);
    put16(central, e.method);
    put32(central, e.dos_time);
    put32(central, crc);
    put32(central, static_cast<uint32_t>(e.data.size()));
    put32(central, usize);
    put16(central, static_cast<uint32_t>(e.name.size()));
    put16(central, 0);
    put16(central, 0);
    put16(central, 0);
    put16(central, 0);
    put32(central, e.external_attr);
    put32(central, offset);
    central += e.name;
  }
  const uint32_t cd_offset = static_cast<uint32_t>(out.size());
  out += central;
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, static_cast<uint32_t>(entries.size()));
  put16(out, static_cast<uint32_t>(entries.size()));
  put32(out, static_cast<uint32_t>(central.size()));
  put32(out, cd_offset);
  put16(out, 0);
  return out;
}

inline void write_file(const std::filesystem::path &p, const std::string &content) {
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

inline std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char &c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// Relative path -> content of every regular file below root.
inline std::map<std::string, std::string> tree_of(const std::filesystem::path &root) {
  std::map<std::string, std::string> out;
  if (!std::filesystem::exists(root)) return out;
  for (const auto &e : std::filesystem::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    out[std::filesystem::relative(e.path(), root).string()] =
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return out;
}

// Runs a shell command; returns its exit status and fills its output.
inline int run_command(const std::string &cmd, std::string *output = nullptr) {
  FILE *p = ::popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  const int status = ::pclose(p);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool have_tool(const std::string &name) {
  return run_command("command -v " + name + " >/dev/null") == 0;
}

}  // namespace torvi::test
