// The exported torvi_record_ and torvi_replay_ calls.
#include <torvi/torvi_record.h>

#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>

#include "api/dev_internal.h"
#include "core/c_entry.h"
#include "record/recorder.h"
#include "record/replay.h"

struct torvi_record {
  std::unique_ptr<torvi::record::Recorder> rec;
};

namespace {

std::mutex g_recording_mu;                  // guards g_recording
std::set<const torvi_dev_t *> g_recording;  // devices with a recording running

}  // namespace

extern "C" {

TORVI_API torvi_record_t *torvi_record_start(torvi_dev_t *dev, const char *path,
                                             const torvi_record_opts_t *opts) {
  return torvi::c_entry(__func__, static_cast<torvi_record_t *>(nullptr), [&] {
    torvi::check_arg(dev != nullptr, "dev is NULL");
    torvi::check_arg(path != nullptr && path[0] != '\0', "no file name");
    torvi::check_arg(opts == nullptr || (opts->zstd_level >= torvi::record::kMinZstdLevel &&
                                         opts->zstd_level <= torvi::record::kMaxZstdLevel),
                     "zstd level %d outside %d..%d", opts != nullptr ? opts->zstd_level : 0,
                     torvi::record::kMinZstdLevel, torvi::record::kMaxZstdLevel);
    torvi::BusyScope busy(dev);
    if (!torvi::dev_is_open(dev)) throw std::runtime_error("the device is not open");
    {
      std::lock_guard lk(g_recording_mu);
      if (!g_recording.insert(dev).second)
        throw std::runtime_error("the device is already being recorded");
    }
    try {
      const torvi_record_opts_t defaults{};
      auto out = std::make_unique<torvi_record>();
      out->rec = std::make_unique<torvi::record::Recorder>(dev, path, opts ? *opts : defaults);
      return out.release();
    } catch (...) {
      std::lock_guard lk(g_recording_mu);
      g_recording.erase(dev);
      throw;
    }
  });
}

TORVI_API bool torvi_record_get_stats(const torvi_record_t *rec, torvi_record_stats_t *stats) {
  return torvi::c_entry(__func__, false, [&] {
    torvi::check_arg(rec != nullptr && stats != nullptr, "rec=%p stats=%p",
                     static_cast<const void *>(rec), static_cast<void *>(stats));
    *stats = rec->rec->stats();
    return true;
  });
}

TORVI_API bool torvi_record_stop(torvi_record_t *rec, torvi_record_stats_t *stats) {
  return torvi::c_entry(__func__, false, [&] {
    torvi::check_arg(rec != nullptr, "rec is NULL");
    std::unique_ptr<torvi_record> owned(rec);
    const bool ok = owned->rec->stop();
    if (stats != nullptr) *stats = owned->rec->stats();
    std::lock_guard lk(g_recording_mu);
    g_recording.erase(owned->rec->device());
    return ok;
  });
}

TORVI_API torvi_dev_t *torvi_replay_open(const char *path, unsigned flags, torvi_dev_t *dev) {
  return torvi::c_entry(__func__, static_cast<torvi_dev_t *>(nullptr), [&] {
    torvi::check_arg(path != nullptr && path[0] != '\0', "no file name");
    torvi::check_arg(dev != nullptr, "dev is NULL");
    torvi::check_arg(dev->priv == nullptr, "the device record is open");
    torvi::check_arg((flags & ~unsigned{TORVI_REPLAY_FAST | TORVI_REPLAY_LOOP}) == 0,
                     "unknown flags 0x%x", flags);
    return torvi::record::open_replay(torvi::record::scan_recording(path), flags, dev);
  });
}

TORVI_API bool torvi_replay_get_info(torvi_dev_t *dev, torvi_replay_info_t *info) {
  return torvi::c_entry(__func__, false, [&] {
    torvi::check_arg(dev != nullptr && info != nullptr, "dev=%p info=%p", static_cast<void *>(dev),
                     static_cast<void *>(info));
    torvi::BusyScope busy(dev);
    if (!torvi::dev_is_open(dev) || !torvi::record::replay_info(dev->priv->ll, *info))
      throw std::runtime_error("the device is not an open replay");
    return true;
  });
}

}  // extern "C"
