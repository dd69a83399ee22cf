#include "support/zip_file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace torvi::zip {
namespace {

constexpr std::size_t kWindow = 64 * 1024;

struct WindowedFile {
  int fd = -1;
  uint64_t size = 0;       // of the file when it was opened
  uint64_t pos = 0;        // where the next read starts
  uint64_t window_at = 0;  // file offset of window[0]
  std::size_t window_len = 0;
  bool failed = false;  // a read of the file failed
  // At most kWindow bytes, no more than the file holds: a small archive
  // costs a small buffer. Filled before it is read, so never cleared.
  std::unique_ptr<uint8_t[]> window;
  std::size_t window_capacity = 0;
};

WindowedFile *file_of(voidpf stream) { return static_cast<WindowedFile *>(stream); }

// Reads up to `n` bytes at `at`; fewer only at the end of the file.
ssize_t read_at(WindowedFile &f, uint8_t *dst, std::size_t n, uint64_t at) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pread(f.fd, dst + done, n - done, static_cast<off_t>(at + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      f.failed = true;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

voidpf ZCALLBACK open_file(voidpf, const void *filename, int mode) {
  if (filename == nullptr || (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
    return nullptr;
  auto *f = new (std::nothrow) WindowedFile;
  if (f == nullptr) return nullptr;
  f->fd = ::open(static_cast<const char *>(filename), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (f->fd < 0 || ::fstat(f->fd, &st) != 0) {
    if (f->fd >= 0) ::close(f->fd);
    delete f;
    return nullptr;
  }
  f->size = static_cast<uint64_t>(st.st_size);
  f->window_capacity = static_cast<std::size_t>(std::min<uint64_t>(f->size, kWindow));
  f->window.reset(new (std::nothrow) uint8_t[std::max<std::size_t>(f->window_capacity, 1)]);
  if (!f->window) {
    ::close(f->fd);
    delete f;
    return nullptr;
  }
  return f;
}

// Fills what the window cannot serve: refills it, or reads large pieces
// straight into the caller's buffer.
[[gnu::noinline]] uLong read_through(WindowedFile &f, uint8_t *out, uLong size) {
  uLong done = 0;
  while (done < size && f.pos < f.size) {
    const uint64_t want = size - done;
    if (f.pos >= f.window_at && f.pos < f.window_at + f.window_len) {
      // From the window.
      const std::size_t off = static_cast<std::size_t>(f.pos - f.window_at);
      const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(want, f.window_len - off));
      std::memcpy(out + done, f.window.get() + off, n);
      done += n;
      f.pos += n;
      continue;
    }
    if (want >= f.window_capacity) {
      // Large reads go straight into the caller's buffer.
      const ssize_t got = read_at(f, out + done, static_cast<std::size_t>(want), f.pos);
      if (got <= 0) break;
      done += static_cast<uLong>(got);
      f.pos += static_cast<uint64_t>(got);
      continue;
    }
    const ssize_t got = read_at(f, f.window.get(), f.window_capacity, f.pos);
    if (got <= 0) break;
    f.window_at = f.pos;
    f.window_len = static_cast<std::size_t>(got);
  }
  return done;
}

uLong ZCALLBACK read_file(voidpf, voidpf stream, void *buf, uLong size) {
  // minizip reads headers a few bytes at a time: those come from the window
  // here, without the refill path's bookkeeping.
  WindowedFile &f = *file_of(stream);
  if (f.pos >= f.size) return 0;  // nothing past the end
  const uint64_t off = f.pos - f.window_at;
  if (f.pos >= f.window_at && off <= f.window_len && size <= f.window_len - off) {
    std::memcpy(buf, f.window.get() + off, size);
    f.pos += size;
    return size;
  }
  return read_through(f, static_cast<uint8_t *>(buf), size);
}

uLong ZCALLBACK write_file(voidpf, voidpf, const void *, uLong) { return 0; }

ZPOS64_T ZCALLBACK tell_file(voidpf, voidpf stream) { return file_of(stream)->pos; }

long ZCALLBACK seek_file(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  WindowedFile &f = *file_of(stream);
  uint64_t base = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      break;
    case ZLIB_FILEFUNC_SEEK_CUR:
      base = f.pos;
      break;
    case ZLIB_FILEFUNC_SEEK_END:
      base = f.size;
      break;
    default:
      return -1;
  }
  if (offset > INT64_MAX - base) return -1;
  f.pos = base + offset;
  return 0;
}

int ZCALLBACK close_file(voidpf, voidpf stream) {
  WindowedFile *f = file_of(stream);
  const int rc = ::close(f->fd);
  delete f;
  return rc;
}

int ZCALLBACK error_file(voidpf, voidpf stream) { return file_of(stream)->failed ? 1 : 0; }

}  // namespace

zlib_filefunc64_def windowed_read_funcs() {
  zlib_filefunc64_def d{};
  d.zopen64_file = open_file;
  d.zread_file = read_file;
  d.zwrite_file = write_file;
  d.ztell64_file = tell_file;
  d.zseek64_file = seek_file;
  d.zclose_file = close_file;
  d.zerror_file = error_file;
  d.opaque = nullptr;
  return d;
}

}  // namespace torvi::zip
