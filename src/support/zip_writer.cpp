#include "support/zip_writer.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/clock.h"
#include "core/log_internal.h"
#include "support/zip_names.h"
#include "support/zip_reader.h"

namespace torvi::zip {

namespace {

// Entries are written without ZIP64 records, which every reader understands;
// an entry stops short of the 4 GiB that the plain headers can describe.
constexpr uint64_t kMaxEntrySize = 0xFFFF0000ull;
constexpr size_t kFileChunk = 65536;
constexpr size_t kWriteChunk = 1u << 30;

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};

}  // namespace

std::unique_ptr<Writer> Writer::create(const std::string &path, int zlib_level) {
  zipFile zf = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  if (zf == nullptr) {
    KX_ERR("cannot create archive %s\n", path.c_str());
    return nullptr;
  }
  return std::unique_ptr<Writer>(new Writer(zf, zlib_level, 0));
}

std::unique_ptr<Writer> Writer::append(const std::string &path, int zlib_level) {
  // The whole archive is checked by the reader before anything is changed.
  size_t existing = 0;
  {
    auto reader = Reader::open(path);
    if (!reader) return nullptr;
    existing = reader->size();
  }
  // An archive without entries is simply written anew.
  zipFile zf =
      zipOpen64(path.c_str(), existing == 0 ? APPEND_STATUS_CREATE : APPEND_STATUS_ADDINZIP);
  if (zf == nullptr) {
    KX_ERR("cannot append to archive %s\n", path.c_str());
    return nullptr;
  }
  return std::unique_ptr<Writer>(new Writer(zf, zlib_level, existing));
}

Writer::~Writer() {
  if (zf_ != nullptr) finish();
}

bool Writer::open_entry(const std::string &name, std::optional<uint32_t> dos_time) {
  if (entry_open_ || zf_ == nullptr) return false;
  const std::string norm = normalize_name(name);
  if (norm.empty() || norm.size() > kMaxNameLength || norm.find('\0') != std::string::npos) {
    KX_ERR("refused entry name of %zu bytes\n", norm.size());
    return false;
  }
  zip_fileinfo zi{};
  zi.dosDate = dos_time ? *dos_time : dos_date_time(local_time_now());
  const int method = level_ == 0 ? 0 : Z_DEFLATED;
  const int rc = zipOpenNewFileInZip4_64(zf_, norm.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr,
                                         method, level_, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                         Z_DEFAULT_STRATEGY, nullptr, 0, 0, 0, 0);
  if (rc != ZIP_OK) {
    KX_ERR("cannot start entry %s (%d)\n", norm.c_str(), rc);
    return false;
  }
  entry_open_ = true;
  written_ = 0;
  return true;
}

bool Writer::write(std::span<const uint8_t> data) {
  if (!entry_open_) return false;
  if (data.size() > kMaxEntrySize - written_) {
    KX_ERR("entry would exceed %llu bytes\n", static_cast<unsigned long long>(kMaxEntrySize));
    return false;
  }
  while (!data.empty()) {
    const size_t n = std::min(data.size(), kWriteChunk);
    if (zipWriteInFileInZip(zf_, data.data(), static_cast<unsigned>(n)) != ZIP_OK) {
      KX_ERR("write failed\n");
      return false;
    }
    written_ += n;
    data = data.subspan(n);
  }
  return true;
}

bool Writer::write_file(const std::string &path) {
  if (!entry_open_) return false;
  std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
  if (!f) {
    KX_ERR("cannot open %s\n", path.c_str());
    return false;
  }
  std::vector<uint8_t> buf(kFileChunk);
  for (;;) {
    const size_t n = std::fread(buf.data(), 1, buf.size(), f.get());
    if (n > 0 && !write(std::span<const uint8_t>(buf.data(), n))) return false;
    if (n < buf.size()) break;
  }
  if (std::ferror(f.get())) {
    KX_ERR("cannot read %s\n", path.c_str());
    return false;
  }
  return true;
}

bool Writer::close_entry() {
  if (!entry_open_) return false;
  entry_open_ = false;
  if (zipCloseFileInZip(zf_) != ZIP_OK) {
    KX_ERR("cannot complete entry\n");
    return false;
  }
  ++entries_;
  return true;
}

bool Writer::finish() {
  if (zf_ == nullptr) return false;
  bool ok = true;
  if (entry_open_) ok = close_entry();
  if (zipClose(zf_, nullptr) != ZIP_OK) {
    KX_ERR("cannot write the central directory\n");
    ok = false;
  }
  zf_ = nullptr;
  return ok;
}

}  // namespace torvi::zip
