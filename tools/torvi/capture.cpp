#include "capture.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace torvi_cli {
namespace {

using Clock = std::chrono::steady_clock;

// Largest raw frame the program accepts.
constexpr unsigned kMaxFrameBytes = 8u << 20;
// Getter calls in a row without a frame before the camera is given up.
constexpr int kMaxEmptyWaits = 3;

struct Tally {
  unsigned frames = 0;
  int discards = 0;
  int errors = 0;
  int last_error = 0;
};
Tally g_tally;

bool on_error(torvi_dev_t *, int err, int param) {
  if (err == TORVI_ERR_CAP_FRAME_DISCARD) {
    g_tally.discards = param;
  } else if (err < 0) {
    ++g_tally.errors;
    g_tally.last_error = err;
  }
  return true;
}

struct FileCloser {
  void operator()(std::FILE *f) const { std::fclose(f); }
};

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void print_progress(const Tally &t, double elapsed) {
  std::fprintf(stderr, "\r  frames %u  fps %.1f  discards %d  errors %d   ", t.frames,
               elapsed > 0 ? t.frames / elapsed : 0.0, t.discards, t.errors);
  std::fflush(stderr);
}

}  // namespace

int run_capture(const CommonOptions &common, const CaptureOptions &opt) {
  Session session(common);
  torvi_dev_t dev{};
  if (const int rc = session.open(dev); rc != kOk) return rc;

  std::unique_ptr<std::FILE, FileCloser> out;
  if (!opt.output.empty()) {
    out.reset(std::fopen(opt.output.c_str(), "wb"));
    if (!out) {
      std::fprintf(stderr, "torvi: cannot write %s\n", opt.output.c_str());
      torvi_dev_close(&dev);
      return kFileError;
    }
  }
  g_tally = Tally{};
  torvi_cap_set_callback_on_error(&dev, on_error);
  if (!torvi_cap_start(&dev)) {
    std::fprintf(stderr, "torvi: the camera refused to start streaming\n");
    torvi_dev_close(&dev);
    return kMisbehaved;
  }
  std::vector<uint8_t> frame(kMaxFrameBytes);
  int result = kOk;
  int empty = 0;
  const auto t0 = Clock::now();
  auto last_print = t0;
  while ((opt.frames == 0 || g_tally.frames < opt.frames) &&
         (opt.seconds <= 0 || seconds_since(t0) < opt.seconds)) {
    torvi_frame_info_t info{};
    const int got = torvi_cap_get_frames(&dev, 1, frame.data(), kMaxFrameBytes, &info);
    if (got < 0) {
      std::fprintf(stderr, "\ntorvi: capture stopped: %s (%d)\n", torvi_error_name(got), got);
      ++g_tally.errors;
      result = kMisbehaved;
      break;
    }
    if (got == 0) {
      if (session.replay_ended(dev)) break;
      if (++empty >= kMaxEmptyWaits) {
        std::fprintf(stderr, "\ntorvi: no frame from the camera for %d waits in a row\n", empty);
        ++g_tally.errors;
        result = kMisbehaved;
        break;
      }
      continue;
    }
    empty = 0;
    ++g_tally.frames;
    const size_t bytes = info.frame_size < kMaxFrameBytes ? info.frame_size : kMaxFrameBytes;
    if (out && std::fwrite(frame.data(), 1, bytes, out.get()) != bytes) {
      std::fprintf(stderr, "\ntorvi: writing %s failed\n", opt.output.c_str());
      result = kFileError;
      break;
    }
    if (opt.progress && Clock::now() - last_print > std::chrono::milliseconds(200)) {
      print_progress(g_tally, seconds_since(t0));
      last_print = Clock::now();
    }
  }
  const double elapsed = seconds_since(t0);
  torvi_cap_stop(&dev);
  torvi_dev_close(&dev);
  if (opt.progress) print_progress(g_tally, elapsed);
  if (opt.progress) std::fprintf(stderr, "\n");
  std::printf("frames received: %u\n", g_tally.frames);
  std::printf("elapsed: %.3f s\n", elapsed);
  std::printf("fps: %.1f\n", elapsed > 0 ? g_tally.frames / elapsed : 0.0);
  std::printf("discards: %d\n", g_tally.discards);
  std::printf("errors: %d\n", g_tally.errors);
  if (out) std::printf("raw frames written to: %s\n", opt.output.c_str());
  return result;
}

}  // namespace torvi_cli
