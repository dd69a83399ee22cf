// Saving and loading frame files through a caller's file descriptor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "api/frame_file_internal.h"
#include "core/c_entry.h"
#include "core/log_internal.h"

namespace torvi::frame_file {
namespace {

constexpr size_t kChunkValues = 65536;  // values converted per write
constexpr size_t kHeaderRead = 256;

// The remembered header of each kind of file, with the lock that keeps one
// load of a kind at a time.
struct LoadState {
  std::mutex lock;
  Header header;
};
LoadState g_state[2];

LoadState &state_of(Kind kind) { return g_state[kind == Kind::distance ? 0 : 1]; }
const char *tag_of(Kind kind) { return kind == Kind::distance ? "KX_DIST" : "KX_GRAY"; }

// Where the next write lands: the current position, or the end of the file
// for a descriptor opened with O_APPEND. Negative when it cannot be told.
off_t write_position(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_APPEND) != 0) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_size : -1;
  }
  return lseek(fd, 0, SEEK_CUR);
}

bool write_all(int fd, const uint8_t *p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads up to n bytes; returns the count read, or -1 when the first read failed.
ssize_t read_all(int fd, uint8_t *p, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, p + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return got > 0 ? static_cast<ssize_t>(got) : -1;
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

bool write_values(const char *who, Kind kind, int fd, int format, std::span<const float> values) {
  const size_t bytes = value_bytes(format);
  std::vector<uint8_t> buf(std::min(values.size(), kChunkValues) * bytes);
  for (size_t done = 0; done < values.size(); done += kChunkValues) {
    const auto part = values.subspan(done, std::min(kChunkValues, values.size() - done));
    encode(kind, format, part, std::span<uint8_t>(buf.data(), part.size() * bytes));
    if (!write_all(fd, buf.data(), part.size() * bytes)) {
      const char *name = format == kF32   ? "F32"
                         : format == kU32 ? "U32"
                         : format == kU16 ? "U16"
                                          : "U8";
      KX_LOG_AT(KX_LOG_ERR, who, "faile to save %s %s data: %lld bytes\n", tag_of(kind), name,
                static_cast<long long>(values.size() * bytes));
      return false;
    }
  }
  return true;
}

// Reads and matches the header at the start of the file; on success the
// descriptor is left at the first frame. On failure the remembered size is
// cleared.
bool read_header(const char *who, Kind kind, int fd, Header &remembered) {
  uint8_t buf[kHeaderRead];
  const ssize_t got = read_all(fd, buf, sizeof buf);
  const auto fail = [&] {
    remembered.width = remembered.height = 0;
    return false;
  };
  if (got <= 0) {
    KX_LOG_AT(KX_LOG_ERR, who, "faile to load KX file header\n");
    return fail();
  }
  const size_t window = std::min(static_cast<size_t>(got), kMaxHeaderLine);
  const auto *nl = static_cast<const uint8_t *>(std::memchr(buf, '\n', window));
  const std::optional<Header> h =
      nl == nullptr ? std::nullopt
                    : parse_header(kind, std::string_view(reinterpret_cast<const char *>(buf),
                                                          static_cast<size_t>(nl - buf)));
  if (!h) {
    KX_LOG_AT(KX_LOG_ERR, who, "faile to load KX file header\n");
    return fail();
  }
  if (!size_sane(h->width, h->height)) {
    KX_LOG_AT(KX_LOG_ERR, who,
              "refused KX file header: frame size %d x %d outside 1 ... %lld pixels\n", h->width,
              h->height, static_cast<long long>(kMaxPixels));
    return fail();
  }
  if (lseek(fd, nl - buf + 1, SEEK_SET) < 0) {
    KX_LOG_AT(KX_LOG_ERR, who, "cannot seek past the KX file header: %s\n", std::strerror(errno));
    return fail();
  }
  remembered = *h;
  return true;
}

}  // namespace

bool save(const char *who, Kind kind, int fd, int format, std::span<const float> frames, int width,
          int height) {
  if (!format_allowed(kind, format)) {
    KX_LOG_AT(KX_LOG_ERR, who, "wrong %s save format: %d\n",
              kind == Kind::distance ? "distance" : "gray", format);
    return false;
  }
  const off_t pos = write_position(fd);
  if (pos < 0) {
    KX_LOG_AT(KX_LOG_ERR, who, "cannot tell the file position: %s\n", std::strerror(errno));
    return false;
  }
  if (pos == 0) {
    const std::string line = header_line(kind, format, width, height);
    if (!write_all(fd, reinterpret_cast<const uint8_t *>(line.data()), line.size())) {
      KX_LOG_AT(KX_LOG_ERR, who, "faile to save %s header\n", tag_of(kind));
      return false;
    }
  }
  return write_values(who, kind, fd, format, frames);
}

int load(const char *who, Kind kind, int fd, std::span<float> dst, int *width, int *height) {
  LoadState &st = state_of(kind);
  const std::lock_guard guard(st.lock);
  const off_t pos = lseek(fd, 0, SEEK_CUR);
  if (pos < 0) {
    KX_LOG_AT(KX_LOG_ERR, who, "cannot tell the file position: %s\n", std::strerror(errno));
    return 0;
  }
  if (pos == 0 && !read_header(who, kind, fd, st.header)) return 0;
  const Header h = st.header;
  if (h.width == 0 || h.height == 0) {
    KX_LOG_AT(KX_LOG_ERR, who, "no %s file header has been read\n", tag_of(kind));
    return 0;
  }
  const size_t pixels = static_cast<size_t>(h.width) * static_cast<size_t>(h.height);
  const size_t want = pixels * value_bytes(h.format);
  std::vector<uint8_t> buf;
  try {
    buf.resize(want);
  } catch (const std::bad_alloc &) {
    KX_LOG_AT(KX_LOG_ERR, who, "malloc failed!\n");
    return 0;
  }
  const ssize_t got = read_all(fd, buf.data(), want);
  if (got < 0 || static_cast<size_t>(got) < want) {
    KX_LOG_AT(KX_LOG_ERR, who, "read %d date failed: ret= %d\n", static_cast<int>(want),
              static_cast<int>(got));
    return 0;
  }
  const size_t n = std::min(dst.size(), pixels);
  decode(kind, h.format, buf, dst.first(n));
  if (width != nullptr) *width = h.width;
  if (height != nullptr) *height = h.height;
  return static_cast<int>(n);
}

void reset_load_state() {
  for (LoadState &st : g_state) {
    const std::lock_guard guard(st.lock);
    st.header = Header{};
  }
}

}  // namespace torvi::frame_file

namespace {

using torvi::frame_file::Kind;

// Checks shared by both save calls.
void check_save_args(int fd, const float *values, int len, int w, int h) {
  torvi::check_arg(fd >= 0 && values != nullptr && len > 0 && torvi::frame_file::size_sane(w, h),
                   "fd %d, data %p, length %d, size %d x %d", fd, static_cast<const void *>(values),
                   len, w, h);
  torvi::check_arg(static_cast<int64_t>(len) >= int64_t{w} * h,
                   "%d values are less than one %d x %d frame", len, w, h);
}

void check_load_args(int fd, const float *dst, int dst_len) {
  torvi::check_arg(fd >= 0 && dst != nullptr && dst_len > 0, "fd %d, dst %p, dst_len %d", fd,
                   static_cast<const void *>(dst), dst_len);
}

}  // namespace

extern "C" {

TORVI_API bool torvi_frame_save_distance(int fd, int format, const float *dist, int dist_len,
                                         int img_w, int img_h) {
  return torvi::c_entry(__func__, false, [&, who = __func__] {
    check_save_args(fd, dist, dist_len, img_w, img_h);
    // Every whole frame in the array.
    const int64_t frame = int64_t{img_w} * img_h;
    const auto n = static_cast<size_t>(dist_len / frame * frame);
    return torvi::frame_file::save(who, Kind::distance, fd, format, std::span<const float>(dist, n),
                                   img_w, img_h);
  });
}

TORVI_API bool torvi_frame_save_gray(int fd, int format, const float *src, int src_len, int img_w,
                                     int img_h) {
  return torvi::c_entry(__func__, false, [&, who = __func__] {
    check_save_args(fd, src, src_len, img_w, img_h);
    // One frame at most.
    const auto n = static_cast<size_t>(int64_t{img_w} * img_h);
    return torvi::frame_file::save(who, Kind::gray, fd, format, std::span<const float>(src, n),
                                   img_w, img_h);
  });
}

TORVI_API int torvi_frame_load_distance(int fd, float *dst, int dst_len, int *img_w, int *img_h) {
  return torvi::c_entry(__func__, 0, [&, who = __func__] {
    check_load_args(fd, dst, dst_len);
    return torvi::frame_file::load(
        who, Kind::distance, fd, std::span<float>(dst, static_cast<size_t>(dst_len)), img_w, img_h);
  });
}

TORVI_API int torvi_frame_load_gray(int fd, float *dst, int dst_len, int *img_w, int *img_h) {
  return torvi::c_entry(__func__, 0, [&, who = __func__] {
    check_load_args(fd, dst, dst_len);
    return torvi::frame_file::load(
        who, Kind::gray, fd, std::span<float>(dst, static_cast<size_t>(dst_len)), img_w, img_h);
  });
}

}  // extern "C"
