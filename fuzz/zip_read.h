// One run of the zip reading fuzz target, shared with the regression test
// that replays the kept inputs: the bytes are read as an archive through
// every reading call, appended to, and unpacked into a folder.
#pragma once

#include <torvi/torvi_zip.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/zip_reader.h"

namespace torvi::fuzz {

namespace detail {

inline size_t drop(void *, uint64_t, const void *, size_t size) { return size; }

inline void read_every_entry(const std::string &zip) {
  zip_t *z = zip_open(zip.c_str(), 0, 'r');
  if (z == nullptr) return;
  auto reader = zip::Reader::open(zip);
  const size_t count = reader ? reader->size() : 0;
  for (size_t i = 0; i < count && i < 64; ++i) {
    if (zip_entry_open(z, reader->entry(i).name.c_str()) != 0) continue;
    void *buf = nullptr;
    size_t size = 0;
    if (zip_entry_read(z, &buf, &size) == 0) std::free(buf);
    zip_entry_extract(z, drop, nullptr);
    zip_entry_close(z);
  }
  zip_close(z);
}

inline void append_entry(const std::string &zip) {
  zip_t *z = zip_open(zip.c_str(), 6, 'a');
  if (z == nullptr) return;
  if (zip_entry_open(z, "appended.txt") == 0) {
    zip_entry_write(z, "appended", 8);
    zip_entry_close(z);
  }
  zip_close(z);
}

}  // namespace detail

// Runs the input below `work` (a folder of its own). Returns false when a
// file appeared outside the extraction folder.
inline bool zip_read_one(const uint8_t *data, size_t size, const std::filesystem::path &work) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::remove_all(work, ec);
  fs::create_directories(work / "in", ec);
  const std::string zip = (work / "in" / "archive.zip").string();
  {
    std::ofstream out(zip, std::ios::binary);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  }
  detail::read_every_entry(zip);
  zip_extract(zip.c_str(), (work / "out").string().c_str(), nullptr, nullptr);
  detail::append_entry(zip);
  detail::read_every_entry(zip);
  // Only the archive and the extraction folder may exist.
  bool contained = true;
  for (const auto &e : fs::recursive_directory_iterator(work, ec)) {
    const fs::path rel = fs::relative(e.path(), work, ec);
    const std::string first = rel.begin()->string();
    if (first == "out") continue;
    if (rel != "in" && rel != fs::path("in") / "archive.zip") contained = false;
  }
  fs::remove_all(work, ec);
  return contained;
}

}  // namespace torvi::fuzz
