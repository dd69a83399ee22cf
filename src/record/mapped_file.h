// A read-only view of a whole file, mapped into memory.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace torvi::record {

class MappedFile {
 public:
  // Maps `path`; throws std::runtime_error when it cannot be opened.
  explicit MappedFile(const std::string &path);
  ~MappedFile();
  MappedFile(const MappedFile &) = delete;
  MappedFile &operator=(const MappedFile &) = delete;

  std::span<const uint8_t> bytes() const { return {data_, size_}; }

 private:
  const uint8_t *data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace torvi::record
