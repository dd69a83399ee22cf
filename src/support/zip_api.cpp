// The zip_ entry points: argument checks and logging over the reader,
// writer and folder extraction.
#include <sys/stat.h>
#include <torvi/torvi_zip.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>

#include "core/log_internal.h"
#include "support/zip_extract.h"
#include "support/zip_names.h"
#include "support/zip_reader.h"
#include "support/zip_writer.h"

using torvi::zip::Reader;
using torvi::zip::Writer;

struct zip_t {
  char mode = 0;
  std::unique_ptr<Reader> reader;  // mode 'r'
  std::unique_ptr<Writer> writer;  // modes 'w' and 'a'
  std::optional<size_t> entry;     // located entry (mode 'r')
};

namespace {

// Runs fn, turning any exception into the failure result.
template <typename Fn>
int guarded(const char *what, Fn fn) {
  try {
    return fn();
  } catch (const std::exception &e) {
    kx_log(KX_LOG_ERR, "ERR", "[%s] %s\n", what, e.what());
  } catch (...) {
    kx_log(KX_LOG_ERR, "ERR", "[%s] unexpected failure\n", what);
  }
  return -1;
}

// The located entry of a read handle, if it may be extracted as a file.
std::optional<size_t> readable_entry(zip_t *zip, const char *caller) {
  if (zip == nullptr || !zip->reader || !zip->entry) {
    kx_log(KX_LOG_ERR, "ERR", "[%s] no entry located\n", caller);
    return std::nullopt;
  }
  const auto &e = zip->reader->entry(*zip->entry);
  if (e.directory()) {
    kx_log(KX_LOG_ERR, "ERR", "[%s] %s is a directory\n", caller, e.name.c_str());
    return std::nullopt;
  }
  return zip->entry;
}

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};

std::atomic<int> g_extracted_count{0};

}  // namespace

extern "C" {

struct zip_t *zip_open(const char *zipname, int level, char mode) {
  if (zipname == nullptr || zipname[0] == '\0') {
    KX_ERR("no archive name\n");
    return nullptr;
  }
  const auto zlevel = torvi::zip::zlib_level(level);
  if (!zlevel) {
    KX_ERR("refused level %d\n", level);
    return nullptr;
  }
  if (mode != 'r' && mode != 'w' && mode != 'a') {
    KX_ERR("refused mode '%c'\n", mode);
    return nullptr;
  }
  try {
    auto zip = std::make_unique<zip_t>();
    zip->mode = mode;
    if (mode == 'r') {
      zip->reader = Reader::open(zipname);
    } else if (mode == 'w') {
      zip->writer = Writer::create(zipname, *zlevel);
    } else {
      zip->writer = Writer::append(zipname, *zlevel);
    }
    if (!zip->reader && !zip->writer) return nullptr;
    return zip.release();
  } catch (const std::exception &e) {
    KX_ERR("%s\n", e.what());
    return nullptr;
  }
}

void zip_close(struct zip_t *zip) {
  std::unique_ptr<zip_t> owned(zip);
  if (owned && owned->writer) owned->writer->finish();
}

int zip_entry_open(struct zip_t *zip, const char *entryname) {
  if (zip == nullptr || entryname == nullptr) {
    KX_ERR("bad arguments\n");
    return -1;
  }
  return guarded(__func__, [&] {
    if (zip->reader) {
      zip->entry = zip->reader->find(entryname);
      if (!zip->entry) kx_log(KX_LOG_DBG, "DBG", "[%s] no entry %s\n", "zip_entry_open", entryname);
      return zip->entry ? 0 : -1;
    }
    return zip->writer->open_entry(entryname) ? 0 : -1;
  });
}

int zip_entry_close(struct zip_t *zip) {
  if (zip == nullptr) return -1;
  if (zip->reader) return 0;
  return guarded(__func__, [&] { return zip->writer->close_entry() ? 0 : -1; });
}

int zip_entry_write(struct zip_t *zip, const void *buf, size_t bufsize) {
  if (zip == nullptr || !zip->writer || !zip->writer->entry_open()) {
    KX_ERR("no entry open for writing\n");
    return -1;
  }
  if (buf == nullptr || bufsize == 0) return 0;
  return guarded(__func__, [&] {
    return zip->writer->write({static_cast<const uint8_t *>(buf), bufsize}) ? 0 : -1;
  });
}

int zip_entry_fwrite(struct zip_t *zip, const char *filename) {
  if (zip == nullptr || filename == nullptr || !zip->writer || !zip->writer->entry_open()) {
    KX_ERR("bad arguments or no entry open for writing\n");
    return -1;
  }
  return guarded(__func__, [&] { return zip->writer->write_file(filename) ? 0 : -1; });
}

int zip_entry_read(struct zip_t *zip, void **buf, size_t *bufsize) {
  if (buf == nullptr || bufsize == nullptr) {
    KX_ERR("bad arguments\n");
    return -1;
  }
  const auto index = readable_entry(zip, __func__);
  if (!index) return -1;
  return guarded(__func__, [&] {
    Reader &r = *zip->reader;
    // The declared size is only trusted once the archive can justify it.
    if (const char *why = r.refusal(*index)) {
      kx_log(KX_LOG_ERR, "ERR", "[%s] entry %s is %s\n", "zip_entry_read",
             r.entry(*index).name.c_str(), why);
      return -1;
    }
    const uint64_t size = r.entry(*index).uncompressed;
    if (size >= SIZE_MAX) return -1;
    std::unique_ptr<uint8_t, FreeDeleter> out(
        static_cast<uint8_t *>(std::malloc(size == 0 ? 1 : static_cast<size_t>(size))));
    if (!out) {
      kx_log(KX_LOG_ERR, "ERR", "[%s] cannot allocate %llu bytes\n", "zip_entry_read",
             static_cast<unsigned long long>(size));
      return -1;
    }
    const bool ok = r.extract(*index, [&](uint64_t offset, std::span<const uint8_t> data) {
      if (offset > size || data.size() > size - offset) return false;
      std::memcpy(out.get() + offset, data.data(), data.size());
      return true;
    });
    if (!ok) return -1;
    *buf = out.release();
    *bufsize = static_cast<size_t>(size);
    return 0;
  });
}

int zip_entry_fread(struct zip_t *zip, const char *filename) {
  if (filename == nullptr) {
    KX_ERR("bad arguments\n");
    return -1;
  }
  const auto index = readable_entry(zip, __func__);
  if (!index) return -1;
  return guarded(__func__, [&] {
    return torvi::zip::extract_entry_to_file(*zip->reader, *index, filename) ? 0 : -1;
  });
}

int zip_entry_extract(struct zip_t *zip, zip_extract_cb_t on_extract, void *arg) {
  if (on_extract == nullptr) {
    KX_ERR("bad arguments\n");
    return -1;
  }
  const auto index = readable_entry(zip, __func__);
  if (!index) return -1;
  return guarded(__func__, [&] {
    return zip->reader->extract(*index,
                                [&](uint64_t offset, std::span<const uint8_t> data) {
                                  return on_extract(arg, offset, data.data(), data.size()) ==
                                         data.size();
                                })
               ? 0
               : -1;
  });
}

int zip_total_entries(struct zip_t *zip) {
  if (zip == nullptr) return -1;
  const size_t n = zip->reader ? zip->reader->size() : zip->writer->entries();
  return n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(n);
}

int zip_create(const char *zipname, const char *filenames[], size_t count) {
  if (zipname == nullptr || zipname[0] == '\0' || (filenames == nullptr && count > 0)) {
    KX_ERR("bad arguments\n");
    return -1;
  }
  return guarded(__func__, [&] {
    auto writer = Writer::create(zipname, 6);
    if (!writer) return -1;
    int result = 0;
    for (size_t i = 0; i < count && result == 0; ++i) {
      const char *path = filenames[i];
      const std::string name = path ? torvi::zip::archive_name_for_path(path) : std::string();
      struct stat st {};
      if (name.empty() || ::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        kx_log(KX_LOG_ERR, "ERR", "[%s] cannot add '%s'\n", "zip_create", path ? path : "(null)");
        result = -1;
        break;
      }
      // Like the standard tools, an added file keeps its own time stamp.
      const uint32_t stamp = torvi::zip::dos_date_time_of(st.st_mtime);
      if (!writer->open_entry(name, stamp) || !writer->write_file(path) || !writer->close_entry())
        result = -1;
    }
    if (!writer->finish()) result = -1;
    return result;
  });
}

int zip_extract(const char *zipname, const char *dir,
                int (*on_extract)(const char *filename, void *arg), void *arg) {
  if (zipname == nullptr || dir == nullptr) {
    KX_ERR("bad arguments\n");
    return -1;
  }
  return guarded(__func__,
                 [&] { return torvi::zip::extract_archive(zipname, dir, on_extract, arg); });
}

int on_extract_to_folder_entry(const char *filename, void *arg) {
  const int n = ++g_extracted_count;
  const int total = arg != nullptr ? *static_cast<const int *>(arg) : 0;
  kx_log(KX_LOG_DBG, "DBG", "[%s] Extracted: %s (%d of %d)\n", "on_extract_to_folder_entry",
         filename != nullptr ? filename : "", n, total);
  return 0;
}

}  // extern "C"
