#include "record.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace torvi_cli {
namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kMaxFrameBytes = 8u << 20;
constexpr int kMaxEmptyWaits = 3;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int run_record(const CommonOptions &common, const RecordOptions &opt) {
  Session session(common);
  torvi_dev_t dev{};
  if (const int rc = session.open(dev); rc != kOk) return rc;
  torvi_record_opts_t ropt{};
  ropt.no_depth = opt.no_depth ? 1 : 0;
  ropt.zstd_level = static_cast<int8_t>(opt.zstd_level);
  ropt.compress_raw = opt.compress_raw ? 1 : 0;
  torvi_record_t *rec = torvi_record_start(&dev, opt.output.c_str(), &ropt);
  if (rec == nullptr) {
    std::fprintf(stderr, "torvi: cannot record into %s (see the log file)\n", opt.output.c_str());
    torvi_dev_close(&dev);
    return kFileError;
  }
  int result = kOk;
  if (!torvi_cap_start(&dev)) {
    std::fprintf(stderr, "torvi: the camera refused to start streaming\n");
    result = kMisbehaved;
  }
  // The program takes the frames as any application would; the recording
  // sees every frame the stream completes.
  std::vector<uint8_t> frame(kMaxFrameBytes);
  unsigned taken = 0;
  int empty = 0;
  const auto t0 = Clock::now();
  while (result == kOk && (opt.frames == 0 || taken < opt.frames) &&
         (opt.seconds <= 0 || seconds_since(t0) < opt.seconds)) {
    const int got = torvi_cap_get_frames(&dev, 1, frame.data(), kMaxFrameBytes, nullptr);
    if (got < 0) {
      std::fprintf(stderr, "\ntorvi: capture stopped: %s (%d)\n", torvi_error_name(got), got);
      result = kMisbehaved;
    } else if (got == 0) {
      if (session.replay_ended(dev)) break;
      if (++empty >= kMaxEmptyWaits) {
        std::fprintf(stderr, "\ntorvi: no frame from the camera for %d waits in a row\n", empty);
        result = kMisbehaved;
      }
    } else {
      empty = 0;
      taken += static_cast<unsigned>(got);
      if (opt.progress) {
        torvi_record_stats_t s{};
        torvi_record_get_stats(rec, &s);
        std::fprintf(stderr, "\r  frames %u  written %llu  dropped %llu  %.1f MB   ", taken,
                     static_cast<unsigned long long>(s.frames_written),
                     static_cast<unsigned long long>(s.frames_dropped), s.bytes_written / 1e6);
      }
    }
  }
  const double elapsed = seconds_since(t0);
  torvi_cap_stop(&dev);
  torvi_record_stats_t s{};
  const bool complete = torvi_record_stop(rec, &s);
  torvi_dev_close(&dev);
  if (opt.progress) std::fprintf(stderr, "\n");
  std::printf("frames recorded: %llu\n", static_cast<unsigned long long>(s.frames_written));
  std::printf("distance images: %llu\n", static_cast<unsigned long long>(s.depth_written));
  std::printf("frames dropped: %llu\n", static_cast<unsigned long long>(s.frames_dropped));
  std::printf("elapsed: %.3f s\n", elapsed);
  std::printf("file: %s (%llu bytes)%s\n", opt.output.c_str(),
              static_cast<unsigned long long>(s.bytes_written), complete ? "" : " INCOMPLETE");
  if (!complete && result == kOk) result = kFileError;
  return result;
}

}  // namespace torvi_cli
