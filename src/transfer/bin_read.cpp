// Reading one of the camera's data blocks into a file. The bytes go to a
// temporary file beside the target, which replaces the target only when the
// whole block has arrived: a failed read leaves no file (and an older file
// of that name as it was).
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/c_entry.h"
#include "core/log_internal.h"
#include "transfer/actions.h"
#include "transfer/transfer.h"
#include "transfer/wire.h"

namespace torvi::transfer {
namespace {

struct FileCloser {
  void operator()(std::FILE *f) const { std::fclose(f); }
};

// A new file beside `target`, named "<target>.part.<pid>.<n>"; removed when
// the object goes unless kept.
class PartFile {
 public:
  explicit PartFile(const std::string &target) {
    static std::atomic<unsigned> counter{0};
    for (int tries = 0; tries < 100 && !file_; ++tries) {
      name_ = target + ".part." + std::to_string(getpid()) + "." + std::to_string(counter++);
      const int fd = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0 && errno == EEXIST) continue;
      if (fd < 0) break;
      file_.reset(::fdopen(fd, "wb"));
      if (!file_) ::close(fd);
    }
  }
  ~PartFile() {
    file_.reset();
    if (!kept_ && !name_.empty()) std::remove(name_.c_str());
  }
  PartFile(const PartFile &) = delete;
  PartFile &operator=(const PartFile &) = delete;

  std::FILE *get() const { return file_.get(); }
  // Closes the file and moves it over `target`.
  bool commit(const std::string &target) {
    if (std::fclose(file_.release()) != 0) return false;
    if (std::rename(name_.c_str(), target.c_str()) != 0) return false;
    kept_ = true;
    return true;
  }

 private:
  std::string name_;
  std::unique_ptr<std::FILE, FileCloser> file_;
  bool kept_ = false;
};

}  // namespace

int read_block(torvi_ll_t *ll, uint8_t type, const char *path, const Progress &progress) {
  KX_LOG_NAME("torvi_bin_data_read");
  const std::string target = path != nullptr ? path : TORVI_DATA_DEFAULT_PATH;
  KX_DBG("Get info\n");
  progress(TORVI_XFER_ANNOUNCE, 0, 0);
  torvi_data_info_t info{};
  if (!get_info(ll, type, info)) {
    KX_ERR("the camera did not tell about its block of type %u\n", type);
    return -1;
  }
  KX_INF("Version:%hu,type:%hu, addr:0x%x,data size:%d\n",
         static_cast<unsigned short>(info.version), static_cast<unsigned short>(info.type),
         info.addr, static_cast<int>(info.size));
  if (info.size == kNoData) {
    KX_ERR("No valid data to read, please check\n");
    return -1;
  }
  PartFile part(target);
  if (part.get() == nullptr) {
    KX_ERR("File open failed\n");
    return -1;
  }
  std::array<uint8_t, kPieceBytes> piece{};
  progress(TORVI_XFER_TRANSFER, 0, info.size);
  for (uint32_t done = 0; done < info.size;) {
    const uint32_t n = info.size - done < kPieceBytes ? info.size - done : kPieceBytes;
    if (!get_payload(ll, std::span<uint8_t>(piece.data(), n))) {
      KX_ERR("bytes %u..%u of %u did not arrive: no file written\n", done, done + n - 1, info.size);
      return -1;
    }
    if (std::fwrite(piece.data(), 1, n, part.get()) != n) {
      KX_ERR("writing %s failed: %s\n", target.c_str(), std::strerror(errno));
      return -1;
    }
    done += n;
    progress(TORVI_XFER_TRANSFER, done, info.size);
  }
  if (!part.commit(target)) {
    KX_ERR("cannot store %s: %s\n", target.c_str(), std::strerror(errno));
    return -1;
  }
  return 1;
}

}  // namespace torvi::transfer

extern "C" {

TORVI_API int torvi_bin_data_read(torvi_ll_t *ll, uint8_t type, const char *path) {
  return torvi::c_entry(__func__, -1, [&] {
    torvi::check_arg(ll != nullptr, "ll is NULL");
    return torvi::transfer::read_block(ll, type, path, {});
  });
}

}  // extern "C"
