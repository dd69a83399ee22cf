#include "session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace torvi_cli {

std::string default_calib_dir() {
  const char *xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/torvi/";
  const char *home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.cache/torvi/";
  return "./";
}

std::optional<Temperatures> temperatures_of(const torvi_param_t &p) {
  if (p.len < 4) return std::nullopt;
  int16_t sensor = 0, board = 0;
  std::memcpy(&sensor, p.value, 2);
  std::memcpy(&board, p.value + 2, 2);
  return Temperatures{sensor / 10.0, board / 10.0};
}

Session::Session(const CommonOptions &opt) : opt_(opt) {
  torvi_init(opt.log_file.empty() ? nullptr : opt.log_file.c_str());
  // The console shows only what the program prints; the log file keeps the rest.
  kx_log_enable(0, opt.verbose ? KX_LOG_DBG : KX_LOG_OFF, nullptr);
  // Calibration files stay in a per-user cache, not in the current folder.
  std::string dir = opt.calib_dir.empty() ? default_calib_dir() : opt.calib_dir;
  if (dir.back() != '/') dir += '/';
  if (torvi_path_cfg(dir.c_str()) != 0)
    std::fprintf(stderr, "torvi: cannot create the calibration folder %s\n", dir.c_str());
  if (opt.virtual_camera) {
    vcam_ = torvi_vcam_create(opt.virtual_product.c_str(), 1);
    if (vcam_ != nullptr) {
      torvi_vcam_set_paced(vcam_, opt.unpaced ? 0 : 1);
      torvi_vcam_plug(vcam_);
      torvi_vcam_enable(1);
    } else {
      std::fprintf(stderr, "torvi: cannot create the virtual camera (product %s)\n",
                   opt.virtual_product.c_str());
    }
  }
}

Session::~Session() {
  if (vcam_ != nullptr) {
    torvi_vcam_enable(0);
    torvi_vcam_destroy(vcam_);
  }
  torvi_uninit();
}

int Session::list(torvi_dev_t *out, int max) const {
  const int n = torvi_dev_list(out, max);
  if (n == 0) {
    std::fprintf(stderr,
                 "torvi: no camera found%s. Is it plugged in, and may this user open it "
                 "(udev rule 60-torvi.rules)?\n",
                 opt_.virtual_camera ? " on the virtual bus" : "");
  }
  return n;
}

int Session::open(torvi_dev_t &dev) const {
  if (!opt_.replay.empty()) {
    const unsigned flags = (opt_.replay_fast ? TORVI_REPLAY_FAST : TORVI_REPLAY_PACED) |
                           (opt_.replay_loop ? TORVI_REPLAY_LOOP : 0);
    dev = torvi_dev_t{};
    if (torvi_replay_open(opt_.replay.c_str(), flags, &dev) == nullptr) {
      std::fprintf(stderr,
                   "torvi: %s cannot be replayed: it cannot be read, is not an MCAP file or "
                   "holds no raw frames of libtorvi (see the log file)\n",
                   opt_.replay.c_str());
      return kOpenFailed;
    }
    torvi_replay_info_t info{};
    if (torvi_replay_get_info(&dev, &info) && info.intact == 0) {
      std::fprintf(stderr, "torvi: %s is damaged (%s); replaying its %llu intact frames\n",
                   opt_.replay.c_str(), info.reason,
                   static_cast<unsigned long long>(info.frames_in_file));
    }
    return kOk;
  }
  torvi_dev_t found[16];
  const int n = list(found, 16);
  if (n == 0) return kNoCamera;
  if (opt_.index < 0 || opt_.index >= n) {
    std::fprintf(stderr, "torvi: no camera with index %d (%d found)\n", opt_.index, n);
    return kNoCamera;
  }
  dev = found[opt_.index];
  if (torvi_dev_open(&dev) == nullptr) {
    std::fprintf(stderr,
                 "torvi: camera %d (bus %u, port %u) cannot be opened: it may be in use, "
                 "not answering, or of an unknown kind (see the log file)\n",
                 opt_.index, found[opt_.index].bus, found[opt_.index].port);
    return kOpenFailed;
  }
  return kOk;
}

bool Session::replay_ended(torvi_dev_t &dev) const {
  torvi_replay_info_t info{};
  return !opt_.replay.empty() && torvi_replay_get_info(&dev, &info) && info.ended != 0;
}

}  // namespace torvi_cli
