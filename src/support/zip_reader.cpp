#include "support/zip_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/byte_order.h"
#include "core/log_internal.h"
#include "support/zip_file_io.h"
#include "support/zip_names.h"

namespace torvi::zip {

namespace {

// Smallest central directory record: 46 fixed bytes.
constexpr uint64_t kMinCentralRecord = 46;
constexpr size_t kChunk = 64 * 1024;

constexpr size_t kEndRecord = 22;
constexpr size_t kMaxComment = 0xFFFF;

uint32_t le(const uint8_t *p, size_t bytes) {
  return static_cast<uint32_t>(torvi::get_le(p, bytes));
}

struct EndRecord {
  uint32_t entries;
  bool zip64;  // a field is saturated: the ZIP64 records hold the values
};

// Finds the end-of-central-directory record: the last signature whose
// 22-byte record and comment lie wholly inside the file. An archive cut
// short inside this record has none.
std::optional<EndRecord> find_end_record(const std::string &path, uint64_t size) {
  if (size < kEndRecord) return std::nullopt;
  const uint64_t tail = std::min<uint64_t>(size, kEndRecord + kMaxComment);
  std::vector<uint8_t> buf(static_cast<size_t>(tail));
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return std::nullopt;
  const bool read = fseeko(f, static_cast<off_t>(size - tail), SEEK_SET) == 0 &&
                    std::fread(buf.data(), 1, buf.size(), f) == buf.size();
  std::fclose(f);
  if (!read) return std::nullopt;
  for (size_t pos = buf.size() - kEndRecord + 1; pos-- > 0;) {
    const uint8_t *p = buf.data() + pos;
    if (le(p, 4) != 0x06054b50u) continue;
    if (pos + kEndRecord + le(p + 20, 2) > buf.size()) continue;
    EndRecord r{};
    r.entries = le(p + 10, 2);
    r.zip64 = le(p + 8, 2) == 0xFFFFu || r.entries == 0xFFFFu || le(p + 12, 4) == 0xFFFFFFFFu ||
              le(p + 16, 4) == 0xFFFFFFFFu;
    return r;
  }
  return std::nullopt;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// Closes the entry opened by unzOpenCurrentFile on every path out.
class OpenEntry {
 public:
  explicit OpenEntry(unzFile uf) : uf_(uf) {}
  ~OpenEntry() {
    if (uf_ != nullptr) unzCloseCurrentFile(uf_);
  }
  OpenEntry(const OpenEntry &) = delete;
  OpenEntry &operator=(const OpenEntry &) = delete;
  // Closes now; UNZ_CRCERROR when the data did not match its CRC-32.
  int close() {
    const int rc = unzCloseCurrentFile(uf_);
    uf_ = nullptr;
    return rc;
  }

 private:
  unzFile uf_;
};

}  // namespace

bool EntryInfo::directory() const { return is_directory(name, external_attr); }
bool EntryInfo::symlink() const { return is_symlink(external_attr); }

std::unique_ptr<Reader> Reader::open(const std::string &path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    KX_ERR("cannot read archive %s\n", path.c_str());
    return nullptr;
  }
  const auto end = find_end_record(path, static_cast<uint64_t>(st.st_size));
  if (!end) {
    KX_ERR("%s is not a ZIP archive\n", path.c_str());
    return nullptr;
  }
  // An archive without entries has nothing more to read.
  if (end->entries == 0 && !end->zip64) {
    return std::unique_ptr<Reader>(new Reader(nullptr, static_cast<uint64_t>(st.st_size)));
  }
  zlib_filefunc64_def io = windowed_read_funcs();
  unzFile uf = unzOpen2_64(path.c_str(), &io);
  if (uf == nullptr) {
    KX_ERR("%s is not a readable ZIP archive\n", path.c_str());
    return nullptr;
  }
  std::unique_ptr<Reader> r(new Reader(uf, static_cast<uint64_t>(st.st_size)));
  if (!r->build_index()) {
    KX_ERR("%s has a damaged central directory\n", path.c_str());
    return nullptr;
  }
  return r;
}

Reader::~Reader() {
  if (uf_ != nullptr) unzClose(uf_);
}

bool Reader::build_index() {
  unz_global_info64 gi{};
  if (unzGetGlobalInfo64(uf_, &gi) != UNZ_OK) return false;
  if (gi.number_entry == 0) return true;
  // Every record takes at least 46 bytes of the file: a count beyond that is
  // a lie, and the index never grows past what the file can hold.
  const uint64_t most = archive_size_ / kMinCentralRecord;
  if (gi.number_entry != 0xFFFF && gi.number_entry > most) return false;
  // Names are rarely long: the buffer is written before it is read.
  const auto name = std::make_unique_for_overwrite<char[]>(kMaxNameLength + 1);
  uint64_t compressed_total = 0;
  int rc = unzGoToFirstFile(uf_);
  while (rc == UNZ_OK) {
    if (entries_.size() >= most) return false;
    unz_file_info64 fi{};
    if (unzGetCurrentFileInfo64(uf_, &fi, name.get(), kMaxNameLength + 1, nullptr, 0, nullptr, 0) !=
        UNZ_OK)
      return false;
    EntryInfo e;
    e.name = normalize_name(
        std::string_view(name.get(), std::min<size_t>(fi.size_filename, kMaxNameLength)));
    if (unzGetFilePos64(uf_, &e.pos) != UNZ_OK) return false;
    e.compressed = fi.compressed_size;
    e.uncompressed = fi.uncompressed_size;
    e.crc = static_cast<uint32_t>(fi.crc);
    e.dos_time = static_cast<uint32_t>(fi.dosDate);
    e.external_attr = static_cast<uint32_t>(fi.external_fa);
    e.method = static_cast<uint16_t>(fi.compression_method);
    e.flags = static_cast<uint16_t>(fi.flag);
    // Entries hold disjoint parts of the file: more compressed data than
    // the file holds means entries share data (an overlapping-entry bomb).
    if (e.compressed > archive_size_ - compressed_total) return false;
    compressed_total += e.compressed;
    entries_.push_back(std::move(e));
    rc = unzGoToNextFile(uf_);
  }
  return rc == UNZ_END_OF_LIST_OF_FILE;
}

std::optional<size_t> Reader::find(std::string_view name) const {
  const std::string want = normalize_name(name);
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].name == want) return i;
  }
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (equal_ignoring_case(entries_[i].name, want)) return i;
  }
  return std::nullopt;
}

const char *Reader::refusal(size_t index) const {
  const EntryInfo &e = entries_.at(index);
  if (e.encrypted()) return "encrypted";
  if (e.method != 0 && e.method != 8) return "compressed with an unsupported method";
  if (!sizes_plausible(e.method, e.compressed, e.uncompressed, archive_size_))
    return "declares sizes the archive cannot hold";
  return nullptr;
}

bool Reader::extract(size_t index, const Sink &sink) {
  if (index >= entries_.size()) return false;
  const EntryInfo &e = entries_[index];
  if (const char *why = refusal(index)) {
    KX_ERR("entry %s is %s\n", e.name.c_str(), why);
    return false;
  }
  unz64_file_pos pos = e.pos;
  if (unzGoToFilePos64(uf_, &pos) != UNZ_OK || unzOpenCurrentFile(uf_) != UNZ_OK) {
    KX_ERR("entry %s cannot be opened\n", e.name.c_str());
    return false;
  }
  OpenEntry guard(uf_);
  // One byte more than the entry declares (at most a chunk) finds an entry
  // that runs longer than declared on the first read.
  const size_t chunk = static_cast<size_t>(std::min<uint64_t>(e.uncompressed, kChunk - 1) + 1);
  const auto buf = std::make_unique_for_overwrite<uint8_t[]>(chunk);
  uint64_t offset = 0;
  for (;;) {
    const int n = unzReadCurrentFile(uf_, buf.get(), static_cast<unsigned>(chunk));
    if (n < 0) {
      KX_ERR("entry %s is corrupt (%d)\n", e.name.c_str(), n);
      return false;
    }
    if (n == 0) break;
    if (static_cast<uint64_t>(n) > e.uncompressed - offset) {
      KX_ERR("entry %s is longer than its declared %llu bytes\n", e.name.c_str(),
             static_cast<unsigned long long>(e.uncompressed));
      return false;
    }
    if (!sink(offset, std::span<const uint8_t>(buf.get(), static_cast<size_t>(n)))) return false;
    offset += static_cast<uint64_t>(n);
  }
  if (offset != e.uncompressed) {
    KX_ERR("entry %s is truncated: %llu of %llu bytes\n", e.name.c_str(),
           static_cast<unsigned long long>(offset),
           static_cast<unsigned long long>(e.uncompressed));
    return false;
  }
  if (guard.close() != UNZ_OK) {
    KX_ERR("entry %s fails its CRC-32 check\n", e.name.c_str());
    return false;
  }
  return true;
}

}  // namespace torvi::zip
