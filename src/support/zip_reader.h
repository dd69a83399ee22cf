// Reading side of the zip wrapper: an index of an archive's entries built
// once at open, and checked streaming extraction of one entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "unzip.h"

namespace torvi::zip {

struct EntryInfo {
  std::string name;  // as stored in the archive, '\' turned into '/'
  unz64_file_pos pos{};
  uint64_t compressed = 0;
  uint64_t uncompressed = 0;
  uint32_t crc = 0;
  uint32_t dos_time = 0;
  uint32_t external_attr = 0;
  uint16_t method = 0;
  uint16_t flags = 0;

  bool directory() const;
  bool symlink() const;
  bool encrypted() const { return (flags & 1u) != 0; }
};

// Receives an entry's data: offset in the entry and the bytes. Returns false
// to stop the extraction.
using Sink = std::function<bool(uint64_t offset, std::span<const uint8_t> data)>;

class Reader {
 public:
  // nullptr when the file is missing, not a ZIP archive, or its central
  // directory is damaged.
  static std::unique_ptr<Reader> open(const std::string &path);
  ~Reader();
  Reader(const Reader &) = delete;
  Reader &operator=(const Reader &) = delete;

  size_t size() const { return entries_.size(); }
  const EntryInfo &entry(size_t index) const { return entries_.at(index); }
  uint64_t archive_size() const { return archive_size_; }

  // Index of the entry with this name ('\' read as '/'): an exact match
  // first, else the first match that ignores ASCII case.
  std::optional<size_t> find(std::string_view name) const;

  // Why an entry cannot be extracted (encrypted, unknown method, sizes the
  // archive cannot hold), or nullptr when it can.
  const char *refusal(size_t index) const;

  // Streams the entry's data to the sink. True only when the sink took every
  // piece and exactly the declared size came out with a matching CRC-32.
  bool extract(size_t index, const Sink &sink);

 private:
  Reader(unzFile uf, uint64_t archive_size) : uf_(uf), archive_size_(archive_size) {}
  bool build_index();

  unzFile uf_;
  uint64_t archive_size_;
  std::vector<EntryInfo> entries_;
};

}  // namespace torvi::zip
