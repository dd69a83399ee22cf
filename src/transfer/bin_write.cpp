// Writing a file into one of the camera's data blocks.
#include <torvi/torvi_ll.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "core/c_entry.h"
#include "core/clock.h"
#include "core/crc16.h"
#include "core/log_internal.h"
#include "core/test_hooks.h"
#include "transfer/actions.h"
#include "transfer/transfer.h"
#include "transfer/wire.h"

namespace torvi::transfer {
namespace {

// Pause between acknowledgement reads while the camera erases.

struct FileCloser {
  void operator()(std::FILE *f) const { std::fclose(f); }
};

// The whole file, or nothing (with the write's log lines).
std::optional<std::vector<uint8_t>> load_file(const char *path) {
  KX_LOG_NAME("torvi_bin_data_write");
  std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path, "rb"));
  if (!f) {
    KX_INF("File open failed\n");
    return std::nullopt;
  }
  long size = -1;
  if (std::fseek(f.get(), 0, SEEK_END) == 0) size = std::ftell(f.get());
  if (size < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) {
    KX_ERR("cannot take the size of %s\n", path);
    return std::nullopt;
  }
  KX_INF("File size:%d\n", static_cast<int>(size));
  if (size == 0) {
    KX_ERR("data upgrade failed!\n");
    return std::nullopt;
  }
  if (static_cast<unsigned long>(size) >= kNoData) {
    KX_ERR("file of %ld bytes is too large for a data block\n", size);
    return std::nullopt;
  }
  std::vector<uint8_t> data(static_cast<size_t>(size));
  const size_t got = std::fread(data.data(), 1, data.size(), f.get());
  KX_INF("File read ok,%d\n", static_cast<int>(got));
  if (got != data.size()) {
    KX_INF("Firmware image file loading failed.\n");
    return std::nullopt;
  }
  KX_INF("Firmware image file loaded.\n");
  return data;
}

void log_info(const char *who, const torvi_data_info_t &info) {
  KX_LOG_AT(KX_LOG_INF, who, "Version:%hu,type:%hu, addr:0x%x,data size:%d\n",
            static_cast<unsigned short>(info.version), static_cast<unsigned short>(info.type),
            info.addr, static_cast<int>(info.size));
}

// One step of the write after the announcement: true to go on.
class Writer {
 public:
  Writer(torvi_ll_t *ll, uint8_t type, uint16_t version, std::vector<uint8_t> data,
         const Progress &progress)
      : ll_(ll), type_(type), version_(version), data_(std::move(data)), progress_(progress) {}

  bool announce() {
    KX_LOG_NAME("torvi_bin_data_write");
    progress_(TORVI_XFER_ANNOUNCE, 0, size());
    KX_INF("send action info\n");
    torvi_data_announce_t info{};
    info.type = type_;
    info.version = version_;
    info.size = size();
    if (send_action(ll_, TORVI_DATA_ACT_ANNOUNCE, &info, nullptr) != 1) return false;
    torvi_data_ack_t ack{};
    if (read_ack(ll_, TORVI_DATA_ACT_ACK, ack) != 1) return false;
    KX_INF("read ack: next=%d, status=%d\n", static_cast<int>(ack.next), ack.status);
    if (ack.next != 0 || ack.status != TORVI_DATA_ACK_INFO_OK) {
      KX_ERR("Wrong version(Target:%d,Now:%d)\n", static_cast<int>(ack.next), version_);
      return false;
    }
    KX_INF("INFO ack ok\n");
    return true;
  }

  bool erase() {
    KX_LOG_NAME("torvi_bin_data_write");
    KX_INF("Wait flash erase.....\n");
    const auto limit_ms = static_cast<unsigned>(hooks::get(hooks::Knob::kEraseLimitMs));
    progress_(TORVI_XFER_ERASE, 0, limit_ms);
    torvi_data_erase_t erase{};
    erase.type = type_;
    erase.size = size();
    erase.chunk_size = kChunkBytes;
    if (send_action(ll_, TORVI_DATA_ACT_ERASE, &erase, nullptr) != 1) return false;
    const auto start = std::chrono::steady_clock::now();
    torvi_data_ack_t ack{};
    for (;;) {
      if (read_ack(ll_, TORVI_DATA_ACT_ACK, ack) != 1) {
        KX_ERR("DATA ACK failed\n");
        return false;
      }
      if (ack.status != TORVI_DATA_ACK_ERASING) break;
      const auto waited =
          static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count());
      progress_(TORVI_XFER_ERASE, waited, limit_ms);
      if (waited >= limit_ms) {
        KX_ERR("flash erase still running after %u ms: given up\n", limit_ms);
        return false;
      }
      sleep_ms(static_cast<unsigned>(hooks::get(hooks::Knob::kErasePollMs)));
    }
    KX_INF("Download.....\n");
    if (ack.next != 0 || ack.status != TORVI_DATA_ACK_READY) {
      KX_ERR("camera not ready for data after the erase: next=%u, status=%u\n", ack.next,
             ack.status);
      return false;
    }
    return true;
  }

  bool send_chunks() {
    KX_LOG_NAME("torvi_bin_data_write");
    const uint32_t count = chunk_count(size());
    progress_(TORVI_XFER_TRANSFER, 0, size());
    for (uint32_t i = 0;;) {
      const uint32_t len = chunk_len(size(), i);
      const uint8_t *chunk = data_.data() + size_t{i} * kChunkBytes;
      torvi_data_chunk_t head{};
      head.crc = crc16_xmodem(std::span<const uint8_t>(chunk, len));
      head.len = len;
      if (send_action(ll_, TORVI_DATA_ACT_CHUNK, &head, chunk) != 1) {
        KX_INF("Data transfer failed D.\n");
        return false;
      }
      torvi_data_ack_t ack{};
      if (read_ack(ll_, TORVI_DATA_ACT_ACK, ack) != 1) {
        KX_INF("Data transfer failed C.\n");
        return false;
      }
      switch (judge_chunk_ack(ack.next, i, count)) {
        case ChunkVerdict::not_taken:
          KX_INF("Data transfer failed A.indx%d, %d\n", static_cast<int>(i), static_cast<int>(i));
          return false;
        case ChunkVerdict::finished:
          progress_(TORVI_XFER_TRANSFER, size(), size());
          KX_INF("Data transfer finished.\n");
          return true;
        case ChunkVerdict::go_on:
          i = ack.next;
          progress_(TORVI_XFER_TRANSFER, uint64_t{i} * kChunkBytes, size());
          break;
        case ChunkVerdict::bad_next:
          KX_INF("Data transfer failed B.\n");
          return false;
      }
    }
  }

  void release() { std::vector<uint8_t>().swap(data_); }

 private:
  uint32_t size() const { return static_cast<uint32_t>(data_.size()); }

  torvi_ll_t *ll_;
  uint8_t type_;
  uint16_t version_;
  std::vector<uint8_t> data_;
  const Progress &progress_;
};

void warn_do_not_reset() {
  KX_LOG_NAME("torvi_bin_data_write");
  KX_WRN("----------------------------------------------------------\n");
  KX_WRN("!!! DO NOT RESET or POWER OFF the board until return !!!!\n");
  KX_WRN("----------------------------------------------------------\n");
}

// The restart after a completed write, by type.
void restart(torvi_ll_t *ll, uint8_t type, const Progress &progress) {
  KX_LOG_NAME("torvi_bin_data_write");
  unsigned limit = restart_limit_ms(type);
  if (limit == 0) return;
  if (type <= 1) {
    torvi_ll_dev_reset(ll, 0);
    KX_WRN(" * Wait board to reset...\n");
  }
  warn_do_not_reset();
  if (const auto forced = hooks::get(hooks::Knob::kRestartLimitMs); forced > 0)
    limit = static_cast<unsigned>(forced);
  const RestartOutcome r = wait_for_restart(ll, type, limit, progress);
  if (r.back) {
    KX_INF("camera is back after %u ms\n", r.waited_ms);
  } else if (r.left) {
    KX_WRN("camera left and has not come back within %u ms%s\n", limit,
           r.link_open ? "" : "; the link is closed");
  } else {
    KX_INF("camera answered throughout: waited the full %u ms\n", limit);
  }
}

}  // namespace

unsigned restart_limit_ms(uint8_t type) {
  if (type <= 1) return 20000;
  if (type <= 3) return 7000;
  return 0;
}

int write_block(torvi_ll_t *ll, uint8_t type, uint16_t version, const char *path,
                const Progress &progress) {
  KX_LOG_NAME("torvi_bin_data_write");
  KX_INF("name:%s, type:%hu, version:%hu\n", path, static_cast<unsigned short>(type),
         static_cast<unsigned short>(version));
  std::optional<std::vector<uint8_t>> data = load_file(path);
  if (!data) return -1;

  KX_DBG("Get info\n");
  progress(TORVI_XFER_ANNOUNCE, 0, data->size());
  torvi_data_info_t stored{};
  if (!get_info(ll, type, stored)) {
    KX_ERR("the camera did not tell about its block of type %u: nothing sent\n", type);
    return -1;
  }
  log_info("torvi_bin_data_write", stored);
  if (version_refused(stored, version)) {
    KX_ERR("Wrong version(Target:%d,Now:%d)\n", stored.version, version);
    return -1;
  }

  Writer writer(ll, type, version, std::move(*data), progress);
  const bool done = writer.announce() && writer.erase() && writer.send_chunks();
  writer.release();
  if (!done) {
    KX_ERR("data upgrade failed!\n");
    return -1;
  }
  restart(ll, type, progress);
  return 1;
}

}  // namespace torvi::transfer

using torvi::check_arg;

extern "C" {

TORVI_API int torvi_bin_data_write(torvi_ll_t *ll, uint8_t type, uint16_t version,
                                   uint32_t /*reserved*/, const char *path) {
  return torvi::c_entry(__func__, -1, [&] {
    check_arg(ll != nullptr && path != nullptr, "ll=%p, path=%p", static_cast<void *>(ll),
              static_cast<const void *>(path));
    return torvi::transfer::write_block(ll, type, version, path, {});
  });
}

TORVI_API int torvi_ll_firmware_upgrade(torvi_ll_t *ll, uint8_t type, uint16_t version,
                                        const char *path) {
  return torvi_bin_data_write(ll, type, version, 0, path);
}

}  // extern "C"
