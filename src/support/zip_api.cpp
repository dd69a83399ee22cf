// The zip_ entry points: argument checks and logging over the reader,
// writer and folder extraction.
#include <sys/stat.h>
#include <torvi/torvi_zip.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "core/c_entry.h"
#include "support/zip_extract.h"
#include "support/zip_names.h"
#include "support/zip_reader.h"
#include "support/zip_writer.h"

using torvi::c_entry;
using torvi::c_entry_void;
using torvi::check_arg;
using torvi::zip::Reader;
using torvi::zip::Writer;

struct zip_t {
  char mode = 0;
  std::unique_ptr<Reader> reader;  // mode 'r'
  std::unique_ptr<Writer> writer;  // modes 'w' and 'a'
  std::optional<size_t> entry;     // located entry (mode 'r')
};

namespace {

// The located entry of a read handle, if it may be extracted as a file.
std::optional<size_t> readable_entry(zip_t *zip, const char *caller) {
  if (zip == nullptr || !zip->reader || !zip->entry) {
    KX_LOG_AT(KX_LOG_ERR, caller, "no entry located\n");
    return std::nullopt;
  }
  const auto &e = zip->reader->entry(*zip->entry);
  if (e.directory()) {
    KX_LOG_AT(KX_LOG_ERR, caller, "%s is a directory\n", e.name.c_str());
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
  return c_entry<zip_t *>(__func__, nullptr, [&]() -> zip_t * {
    check_arg(zipname != nullptr && zipname[0] != '\0', "no archive name");
    const auto zlevel = torvi::zip::zlib_level(level);
    check_arg(zlevel.has_value(), "refused level %d", level);
    check_arg(mode == 'r' || mode == 'w' || mode == 'a', "refused mode '%c'", mode);
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
  });
}

void zip_close(struct zip_t *zip) {
  c_entry_void(__func__, [&] {
    std::unique_ptr<zip_t> owned(zip);
    if (owned && owned->writer) owned->writer->finish();
  });
}

int zip_entry_open(struct zip_t *zip, const char *entryname) {
  KX_LOG_NAME("zip_entry_open");
  return c_entry(__func__, -1, [&] {
    check_arg(zip != nullptr && entryname != nullptr, "zip=%p entryname=%p",
              static_cast<void *>(zip), static_cast<const void *>(entryname));
    if (zip->reader) {
      zip->entry = zip->reader->find(entryname);
      if (!zip->entry) KX_DBG("no entry %s\n", entryname);
      return zip->entry ? 0 : -1;
    }
    return zip->writer->open_entry(entryname) ? 0 : -1;
  });
}

int zip_entry_close(struct zip_t *zip) {
  return c_entry(__func__, -1, [&] {
    check_arg(zip != nullptr, "zip is NULL");
    if (zip->reader) return 0;
    return zip->writer->close_entry() ? 0 : -1;
  });
}

int zip_entry_write(struct zip_t *zip, const void *buf, size_t bufsize) {
  return c_entry(__func__, -1, [&] {
    check_arg(zip != nullptr && zip->writer && zip->writer->entry_open(),
              "no entry open for writing");
    if (buf == nullptr || bufsize == 0) return 0;
    return zip->writer->write({static_cast<const uint8_t *>(buf), bufsize}) ? 0 : -1;
  });
}

int zip_entry_fwrite(struct zip_t *zip, const char *filename) {
  return c_entry(__func__, -1, [&] {
    check_arg(filename != nullptr, "filename is NULL");
    check_arg(zip != nullptr && zip->writer && zip->writer->entry_open(),
              "no entry open for writing");
    return zip->writer->write_file(filename) ? 0 : -1;
  });
}

int zip_entry_read(struct zip_t *zip, void **buf, size_t *bufsize) {
  KX_LOG_NAME("zip_entry_read");
  return c_entry(__func__, -1, [&] {
    check_arg(buf != nullptr && bufsize != nullptr, "buf=%p bufsize=%p", static_cast<void *>(buf),
              static_cast<void *>(bufsize));
    const auto index = readable_entry(zip, kx_log_name(__func__));
    if (!index) return -1;
    Reader &r = *zip->reader;
    // The declared size is only trusted once the archive can justify it.
    if (const char *why = r.refusal(*index)) {
      KX_ERR("entry %s is %s\n", r.entry(*index).name.c_str(), why);
      return -1;
    }
    const uint64_t size = r.entry(*index).uncompressed;
    if (size >= SIZE_MAX) return -1;
    std::unique_ptr<uint8_t, FreeDeleter> out(
        static_cast<uint8_t *>(std::malloc(size == 0 ? 1 : static_cast<size_t>(size))));
    if (!out) {
      KX_ERR("cannot allocate %llu bytes\n", static_cast<unsigned long long>(size));
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
  KX_LOG_NAME("zip_entry_fread");
  return c_entry(__func__, -1, [&] {
    check_arg(filename != nullptr, "filename is NULL");
    const auto index = readable_entry(zip, kx_log_name(__func__));
    if (!index) return -1;
    return torvi::zip::extract_entry_to_file(*zip->reader, *index, filename) ? 0 : -1;
  });
}

int zip_entry_extract(struct zip_t *zip, zip_extract_cb_t on_extract, void *arg) {
  KX_LOG_NAME("zip_entry_extract");
  return c_entry(__func__, -1, [&] {
    check_arg(on_extract != nullptr, "on_extract is NULL");
    const auto index = readable_entry(zip, kx_log_name(__func__));
    if (!index) return -1;
    const bool ok =
        zip->reader->extract(*index, [&](uint64_t offset, std::span<const uint8_t> data) {
          return on_extract(arg, offset, data.data(), data.size()) == data.size();
        });
    return ok ? 0 : -1;
  });
}

int zip_total_entries(struct zip_t *zip) {
  return c_entry(__func__, -1, [&] {
    check_arg(zip != nullptr, "zip is NULL");
    const size_t n = zip->reader ? zip->reader->size() : zip->writer->entries();
    return n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(n);
  });
}

int zip_create(const char *zipname, const char *filenames[], size_t count) {
  KX_LOG_NAME("zip_create");
  return c_entry(__func__, -1, [&] {
    check_arg(zipname != nullptr && zipname[0] != '\0', "no archive name");
    check_arg(filenames != nullptr || count == 0, "filenames is NULL, count=%zu", count);
    auto writer = Writer::create(zipname, 6);
    if (!writer) return -1;
    int result = 0;
    for (size_t i = 0; i < count && result == 0; ++i) {
      const char *path = filenames[i];
      const std::string name = path ? torvi::zip::archive_name_for_path(path) : std::string();
      struct stat st {};
      if (name.empty() || ::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        KX_ERR("cannot add '%s'\n", path ? path : "(null)");
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
  return c_entry(__func__, -1, [&] {
    check_arg(zipname != nullptr && dir != nullptr, "zipname=%p dir=%p",
              static_cast<const void *>(zipname), static_cast<const void *>(dir));
    return torvi::zip::extract_archive(zipname, dir, on_extract, arg);
  });
}

int on_extract_to_folder_entry(const char *filename, void *arg) {
  KX_LOG_NAME("on_extract_to_folder_entry");
  return c_entry(__func__, 0, [&] {
    const int n = ++g_extracted_count;
    const int total = arg != nullptr ? *static_cast<const int *>(arg) : 0;
    KX_DBG("Extracted: %s (%d of %d)\n", filename != nullptr ? filename : "", n, total);
    return 0;
  });
}

}  // extern "C"
