#include "transfer.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace torvi_cli {
namespace {

const char *stage_name(int stage) {
  switch (stage) {
    case TORVI_XFER_ANNOUNCE:
      return "announce";
    case TORVI_XFER_ERASE:
      return "erase";
    case TORVI_XFER_TRANSFER:
      return "transfer";
    case TORVI_XFER_RESTART:
      return "restart";
    default:
      return "?";
  }
}

// Shows progress: a bar redrawn in place on a terminal, otherwise one line
// per stage and per tenth of the transfer.
class ProgressView {
 public:
  explicit ProgressView(bool quiet) : quiet_(quiet), tty_(isatty(fileno(stderr)) != 0) {}
  ~ProgressView() {
    if (drawn_) std::fputc('\n', stderr);
  }
  ProgressView(const ProgressView &) = delete;
  ProgressView &operator=(const ProgressView &) = delete;

  static void callback(uint64_t done, uint64_t total, int stage, void *arg) {
    static_cast<ProgressView *>(arg)->show(done, total, stage);
  }

 private:
  void show(uint64_t done, uint64_t total, int stage) {
    if (quiet_) return;
    const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
    const bool bytes = stage == TORVI_XFER_TRANSFER;
    if (tty_) {
      constexpr int kWidth = 30;
      char bar[kWidth + 1];
      for (int i = 0; i < kWidth; ++i) bar[i] = i < percent * kWidth / 100 ? '#' : '.';
      bar[kWidth] = '\0';
      if (bytes) {
        std::fprintf(stderr, "\r%-8s [%s] %3d%% %llu/%llu bytes   ", stage_name(stage), bar,
                     percent, static_cast<unsigned long long>(done),
                     static_cast<unsigned long long>(total));
      } else {
        std::fprintf(stderr, "\r%-8s [%s] %.1f s                  ", stage_name(stage), bar,
                     static_cast<double>(done) / 1000.0);
      }
      std::fflush(stderr);
      drawn_ = true;
      return;
    }
    if (stage != stage_) {
      std::fprintf(stderr, "%s\n", stage_name(stage));
      stage_ = stage;
      tenth_ = 0;
    }
    if (bytes && total > 0 && percent / 10 > tenth_) {
      tenth_ = percent / 10;
      std::fprintf(stderr, "transfer %d%% (%llu of %llu bytes)\n", tenth_ * 10,
                   static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    }
  }

  bool quiet_;
  bool tty_;
  bool drawn_ = false;
  int stage_ = -1;
  int tenth_ = 0;
};

bool parse_version(const std::string &text, uint16_t &out) {
  try {
    size_t used = 0;
    const unsigned long v = std::stoul(text, &used, 0);
    if (used != text.size() || v > 0xFFFF) return false;
    out = static_cast<uint16_t>(v);
    return true;
  } catch (const std::exception &) {
    return false;
  }
}

// The camera's information on block `type`; false when it does not answer.
bool block_info(torvi_dev_t &dev, unsigned type, torvi_data_info_t &info) {
  info = {};
  info.type = static_cast<uint8_t>(type);
  return al_get_data_info(&dev.priv->ll, TORVI_DATA_ACT_GET_INFO, &info, sizeof info);
}

std::string firmware_field(torvi_dev_t &dev) {
  torvi_param_t p{};
  p.number = 3;
  if (!torvi_param_batch_get(&dev, &p, 1)) return "unknown";
  const std::string product(reinterpret_cast<const char *>(p.value), p.len < 18 ? p.len : 18);
  const size_t second = product.find('-', product.find('-') + 1);
  return second == std::string::npos ? "unknown" : product.substr(second + 1);
}

int run_read(const CommonOptions &common, unsigned type, const std::string &output, bool quiet) {
  Session session(common);
  torvi_dev_t dev{};
  if (const int rc = session.open(dev); rc != kOk) return rc;
  torvi_data_info_t info{};
  int rc = kOk;
  if (!block_info(dev, type, info)) {
    std::fprintf(stderr, "torvi: the camera does not tell about its block of type %u\n", type);
    rc = kMisbehaved;
  } else if (info.size == TORVI_DATA_NO_DATA) {
    std::fprintf(stderr, "torvi: the camera holds no valid data of type %u: nothing read\n", type);
    rc = kRefused;
  } else {
    int result = 0;
    {
      ProgressView view(quiet);
      result = torvi_data_upload_progress(&dev, static_cast<uint8_t>(type), output.c_str(),
                                          ProgressView::callback, &view);
    }
    if (result == 1) {
      std::printf("read: %u bytes of type %u, version %u, into %s\n", info.size, type, info.version,
                  output.c_str());
    } else {
      std::fprintf(stderr, "torvi: reading block %u failed; %s was not written (see the log)\n",
                   type, output.c_str());
      rc = kMisbehaved;
    }
  }
  torvi_dev_close(&dev);
  return rc;
}

int run_write(const CommonOptions &common, unsigned type, uint16_t version, const std::string &file,
              bool quiet, bool firmware) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  if (ec) {
    std::fprintf(stderr, "torvi: cannot read %s: %s\n", file.c_str(), ec.message().c_str());
    return kFileError;
  }
  if (size == 0) {
    std::fprintf(stderr, "torvi: %s is empty: nothing to write\n", file.c_str());
    return kFileError;
  }
  Session session(common);
  torvi_dev_t dev{};
  if (const int rc = session.open(dev); rc != kOk) return rc;
  torvi_data_info_t info{};
  int rc = kOk;
  if (!block_info(dev, type, info)) {
    std::fprintf(stderr, "torvi: the camera does not tell about its block of type %u\n", type);
    rc = kMisbehaved;
  } else if (info.size != TORVI_DATA_NO_DATA && info.version >= version) {
    std::fprintf(stderr,
                 "torvi: refused: the camera holds version %u (0x%04x) of type %u, the same as or "
                 "newer than %u (0x%04x)\n",
                 info.version, info.version, type, version, version);
    rc = kRefused;
  } else {
    int result = 0;
    {
      ProgressView view(quiet);
      result = firmware
                   ? torvi_firmware_upgrade_progress(&dev, static_cast<uint8_t>(type), version,
                                                     file.c_str(), ProgressView::callback, &view)
                   : torvi_data_download_progress(&dev, file.c_str(), static_cast<uint8_t>(type),
                                                  version, ProgressView::callback, &view);
    }
    if (result != 1) {
      std::fprintf(stderr,
                   "torvi: writing block %u failed; the camera's block of that type may now be "
                   "erased (see the log)\n",
                   type);
      rc = kMisbehaved;
    } else {
      std::printf("written: %llu bytes to type %u as version %u (0x%04x)\n",
                  static_cast<unsigned long long>(size), type, version, version);
      if (firmware) std::printf("camera firmware: %s\n", firmware_field(dev).c_str());
    }
  }
  torvi_dev_close(&dev);
  return rc;
}

}  // namespace

TransferCommands::TransferCommands(CLI::App &app) {
  data_ = app.add_subcommand("data", "read or write a data block of the camera");
  data_->require_subcommand(1);
  read_ = data_->add_subcommand("read", "read a data block into a file");
  write_ = data_->add_subcommand("write", "write a file into a data block");
  firmware_ = app.add_subcommand("firmware", "upgrade the camera's firmware from a file");
  for (CLI::App *cmd : {read_, write_, firmware_}) {
    cmd->add_option("--type", type_, "data type of the block (0..255)")
        ->required()
        ->check(CLI::Range(0, 255));
    cmd->add_flag("-q,--quiet", quiet_, "no progress display");
  }
  read_->add_option("-o,--output", output_, "file to write")->required();
  for (CLI::App *cmd : {write_, firmware_}) {
    cmd->add_option("--version", version_, "version of the new block (decimal or 0x hex)")
        ->required();
    cmd->add_option("file", file_, "the block's contents")->required();
  }
}

int TransferCommands::run(const CommonOptions &common) const {
  if (read_->parsed()) return run_read(common, type_, output_, quiet_);
  if (!write_->parsed() && !firmware_->parsed()) return -1;
  uint16_t version = 0;
  if (!parse_version(version_, version)) {
    std::fprintf(stderr, "torvi: bad version '%s' (0..65535)\n", version_.c_str());
    return 1;
  }
  return run_write(common, type_, version, file_, quiet_, firmware_->parsed());
}

}  // namespace torvi_cli
