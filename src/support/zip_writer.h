// Writing side of the zip wrapper: a new archive or one opened for
// appending, written one entry at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "zip.h"

namespace torvi::zip {

class Writer {
 public:
  // A new archive (an existing file is truncated). zlib_level 0 stores.
  static std::unique_ptr<Writer> create(const std::string &path, int zlib_level);
  // Appends to an existing, readable archive; its entries stay as they are.
  static std::unique_ptr<Writer> append(const std::string &path, int zlib_level);
  // Writes the central directory when finish() was not called.
  ~Writer();
  Writer(const Writer &) = delete;
  Writer &operator=(const Writer &) = delete;

  // Starts an entry ('\' in the name becomes '/'); its time stamp is
  // dos_time, or the local clock's now when none is given.
  bool open_entry(const std::string &name, std::optional<uint32_t> dos_time = std::nullopt);
  bool write(std::span<const uint8_t> data);
  bool write_file(const std::string &path);
  bool close_entry();
  // Completes an entry left open, then writes the central directory.
  bool finish();

  bool entry_open() const { return entry_open_; }
  size_t entries() const { return entries_; }

 private:
  Writer(zipFile zf, int level, size_t existing) : zf_(zf), level_(level), entries_(existing) {}

  zipFile zf_;
  int level_;
  size_t entries_;
  bool entry_open_ = false;
  uint64_t written_ = 0;
};

}  // namespace torvi::zip
