#include "support/zip_extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "core/log_internal.h"
#include "support/zip_names.h"

namespace torvi::zip {

namespace {

// An open file descriptor, closed when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd &operator=(Fd &&o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

bool write_all(int fd, std::span<const uint8_t> data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data = data.subspan(static_cast<size_t>(n));
  }
  return true;
}

// Streams the entry into an open file and stamps it with the entry's time.
bool fill_file(Reader &reader, size_t index, int fd) {
  const bool ok = reader.extract(
      index, [fd](uint64_t, std::span<const uint8_t> data) { return write_all(fd, data); });
  if (!ok) return false;
  if (const auto t = dos_to_time_t(reader.entry(index).dos_time)) {
    const timespec times[2] = {{*t, 0}, {*t, 0}};
    futimens(fd, times);
  }
  return true;
}

// Opens the folder `name` inside `parent`, creating it when missing; a
// symbolic link in its place is refused.
Fd open_subfolder(int parent, const std::string &name) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  Fd fd(::openat(parent, name.c_str(), kFlags));
  if (!fd.valid() && errno == ENOENT) {
    if (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) return {};
    fd = Fd(::openat(parent, name.c_str(), kFlags));
  }
  return fd;
}

// Creates the folder path (each level in turn, existing ones kept) and opens it.
Fd open_target_folder(const std::string &dir) {
  for (size_t i = dir.find('/', 1); i != std::string::npos; i = dir.find('/', i + 1)) {
    ::mkdir(dir.substr(0, i).c_str(), 0777);
  }
  ::mkdir(dir.c_str(), 0777);
  return Fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Walks the folder components below root, creating them as needed.
Fd open_path(int root, std::span<const std::string> folders) {
  Fd cur(::dup(root));
  for (const std::string &part : folders) {
    Fd next = open_subfolder(cur.get(), part);
    if (!next.valid()) return {};
    cur = std::move(next);
  }
  return cur;
}

// Creates `name` afresh in the folder: whatever file was there is unlinked
// first, so a link planted there is replaced instead of written through.
Fd create_file_at(int folder, const std::string &name) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  Fd fd(::openat(folder, name.c_str(), kFlags, 0666));
  if (!fd.valid() && errno == EEXIST) {
    if (::unlinkat(folder, name.c_str(), 0) != 0) return {};
    fd = Fd(::openat(folder, name.c_str(), kFlags, 0666));
  }
  return fd;
}

struct Planned {
  std::vector<std::string> parts;
  std::string full_path;
  bool directory = false;
};

// Checks every entry before anything is written.
std::optional<std::vector<Planned>> plan(const Reader &reader, const std::string &prefix) {
  std::vector<Planned> out;
  out.reserve(reader.size());
  for (size_t i = 0; i < reader.size(); ++i) {
    const EntryInfo &e = reader.entry(i);
    auto parts = safe_components(e.name);
    if (!parts) {
      KX_ERR("refused entry with unsafe name '%s'\n", e.name.c_str());
      return std::nullopt;
    }
    if (e.symlink()) {
      KX_ERR("refused symbolic link entry '%s'\n", e.name.c_str());
      return std::nullopt;
    }
    const bool dir = e.directory();
    if (!dir) {
      if (const char *why = reader.refusal(i)) {
        KX_ERR("entry '%s' is %s\n", e.name.c_str(), why);
        return std::nullopt;
      }
    }
    std::string full = prefix + e.name;
    if (full.size() >= kMaxPathLength) {
      KX_ERR("path of entry '%s' is too long\n", e.name.c_str());
      return std::nullopt;
    }
    out.push_back({std::move(*parts), std::move(full), dir});
  }
  return out;
}

bool extract_one(Reader &reader, size_t index, const Planned &p, int root) {
  const std::span<const std::string> parts(p.parts);
  if (p.directory) return open_path(root, parts).valid();
  Fd folder = open_path(root, parts.first(parts.size() - 1));
  if (!folder.valid()) return false;
  Fd file = create_file_at(folder.get(), parts.back());
  if (!file.valid()) return false;
  if (fill_file(reader, index, file.get())) return true;
  file.reset();
  ::unlinkat(folder.get(), parts.back().c_str(), 0);
  return false;
}

}  // namespace

bool extract_entry_to_file(Reader &reader, size_t index, const std::string &path) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) {
    KX_ERR("cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  if (fill_file(reader, index, fd.get())) return true;
  fd.reset();
  ::unlink(path.c_str());
  return false;
}

int extract_archive(const std::string &zipname, const std::string &dir, EntryCallback on_entry,
                    void *arg) {
  std::string folder = normalize_name(dir);
  if (folder.empty() || folder.size() >= kMaxPathLength) {
    KX_ERR("refused target folder of %zu characters\n", folder.size());
    return -1;
  }
  auto reader = Reader::open(zipname);
  if (!reader) return -1;
  const std::string prefix = folder.back() == '/' ? folder : folder + '/';
  const auto planned = plan(*reader, prefix);
  if (!planned) return -1;
  Fd root = open_target_folder(folder);
  if (!root.valid()) {
    KX_ERR("cannot create folder %s: %s\n", folder.c_str(), std::strerror(errno));
    return -1;
  }
  for (size_t i = 0; i < planned->size(); ++i) {
    const Planned &p = (*planned)[i];
    if (!extract_one(*reader, i, p, root.get())) {
      KX_ERR("cannot extract %s\n", p.full_path.c_str());
      return -1;
    }
    if (on_entry != nullptr && on_entry(p.full_path.c_str(), arg) < 0) return -1;
  }
  return 0;
}

}  // namespace torvi::zip
