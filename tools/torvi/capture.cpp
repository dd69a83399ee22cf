#include "capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "depth_files.h"

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

// Decodes every frame: statistics, frame files, and the last frame's images.
class Decoder {
 public:
  Decoder(torvi_dev_t &dev, const CaptureOptions &opt) : dev_(dev), opt_(opt) {}
  ~Decoder() {
    if (dist_fd_ >= 0) ::close(dist_fd_);
    if (gray_fd_ >= 0) ::close(gray_fd_);
  }
  Decoder(const Decoder &) = delete;
  Decoder &operator=(const Decoder &) = delete;

  bool open_files() {
    if (!opt_.dist_file.empty() && (dist_fd_ = open_out(opt_.dist_file)) < 0) return false;
    if (!opt_.gray_file.empty() && (gray_fd_ = open_out(opt_.gray_file)) < 0) return false;
    return true;
  }

  // False when a file cannot be written.
  bool frame(const uint8_t *raw, const torvi_frame_info_t &info) {
    const int w = static_cast<int>(info.width), h = static_cast<int>(info.height);
    const int pixels = w * h;
    if (pixels <= 0 || info.frame_format != 2) return true;
    dist_.resize(static_cast<size_t>(pixels));
    if (torvi_frame_get_distance(&dev_, dist_.data(), pixels, raw,
                                 static_cast<int>(info.frame_size), &info) != pixels) {
      ++failed_;
      return true;
    }
    ++decoded_;
    width_ = w;
    height_ = h;
    const DepthStats s = depth_stats(dist_);
    valid_sum_ += s.valid_share;
    median_sum_ += s.median_m;
    if (dist_fd_ >= 0 &&
        !torvi_frame_save_distance(dist_fd_, TORVI_FRAME_FILE_F32, dist_.data(), pixels, w, h))
      return false;
    if (gray_fd_ >= 0) {
      gray_.resize(static_cast<size_t>(pixels));
      if (torvi_frame_get_gray(&dev_, gray_.data(), pixels, raw, static_cast<int>(info.frame_size),
                               &info) == pixels &&
          !torvi_frame_save_gray(gray_fd_, TORVI_FRAME_FILE_U16, gray_.data(), pixels, w, h))
        return false;
    }
    return true;
  }

  // Images and point cloud of the last decoded frame; false when one fails.
  bool finish() {
    bool ok = true;
    if (decoded_ == 0) return true;
    const size_t pixels = dist_.size();
    if (!opt_.png.empty()) {
      std::vector<uint16_t> mm(pixels);
      for (size_t i = 0; i < pixels; ++i)
        mm[i] = static_cast<uint16_t>(std::min(dist_[i] * 1000.0f + 0.5f, 65535.0f));
      ok = report(write_png_u16(opt_.png, width_, height_, mm), opt_.png, "16-bit depth PNG") && ok;
    }
    if (!opt_.color_png.empty()) {
      std::vector<uint8_t> rgb(3 * pixels);
      torvi_cmap_float(rgb.data(), static_cast<int>(rgb.size()), dist_.data(),
                       static_cast<int>(pixels), TORVI_CMAP_OUTFMT_RGB, opt_.color_min_m,
                       opt_.color_max_m);
      ok = report(write_png_rgb(opt_.color_png, width_, height_, rgb), opt_.color_png,
                  "colour depth PNG") &&
           ok;
    }
    if (!opt_.ply.empty()) {
      std::vector<float> pcl(3 * pixels);
      const int n =
          torvi_frame_get_pcl(&dev_, pcl.data(), static_cast<int>(pcl.size()), dist_.data(),
                              static_cast<int>(pixels), width_, height_, nullptr);
      ok = report(n > 0 && write_ply(opt_.ply, pcl.data(), n), opt_.ply, "point cloud") && ok;
      std::printf("points: %d\n", n);
    }
    return ok;
  }

  void print_stats() const {
    std::printf("frames decoded: %u\n", decoded_);
    if (failed_ > 0) std::printf("frames not decoded: %u\n", failed_);
    if (decoded_ == 0) return;
    std::printf("valid pixels: %.1f %%\n", 100.0 * valid_sum_ / decoded_);
    std::printf("median distance: %.3f m\n", median_sum_ / decoded_);
  }

 private:
  static int open_out(const std::string &path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) std::fprintf(stderr, "torvi: cannot write %s\n", path.c_str());
    return fd;
  }
  static bool report(bool ok, const std::string &path, const char *what) {
    if (ok)
      std::printf("%s written to: %s\n", what, path.c_str());
    else
      std::fprintf(stderr, "torvi: writing %s %s failed\n", what, path.c_str());
    return ok;
  }

  torvi_dev_t &dev_;
  const CaptureOptions &opt_;
  int dist_fd_ = -1, gray_fd_ = -1;
  std::vector<float> dist_, gray_;
  int width_ = 0, height_ = 0;
  unsigned decoded_ = 0, failed_ = 0;
  double valid_sum_ = 0, median_sum_ = 0;
};

void print_temperatures(torvi_dev_t &dev) {
  torvi_param_t p{};
  p.number = 15;
  if (!torvi_param_batch_get(&dev, &p, 1)) return;
  if (const auto t = temperatures_of(p))
    std::printf("temperatures: sensor %.1f C, board %.1f C\n", t->sensor_c, t->board_c);
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
  Decoder decoder(dev, opt);
  const bool decode = !opt.dist_file.empty() || !opt.gray_file.empty() || !opt.png.empty() ||
                      !opt.color_png.empty() || !opt.ply.empty() || opt.stats;
  if (!decoder.open_files()) {
    torvi_dev_close(&dev);
    return kFileError;
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
    if (decode && !decoder.frame(frame.data(), info)) {
      std::fprintf(stderr, "\ntorvi: writing a frame file failed\n");
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
  if (decode && !decoder.finish() && result == kOk) result = kFileError;
  if (decode) print_temperatures(dev);
  torvi_dev_close(&dev);
  if (opt.progress) print_progress(g_tally, elapsed);
  if (opt.progress) std::fprintf(stderr, "\n");
  if (decode) decoder.print_stats();
  std::printf("frames received: %u\n", g_tally.frames);
  std::printf("elapsed: %.3f s\n", elapsed);
  std::printf("fps: %.1f\n", elapsed > 0 ? g_tally.frames / elapsed : 0.0);
  std::printf("discards: %d\n", g_tally.discards);
  std::printf("errors: %d\n", g_tally.errors);
  if (out) std::printf("raw frames written to: %s\n", opt.output.c_str());
  if (!opt.dist_file.empty())
    std::printf("distance frames written to: %s\n", opt.dist_file.c_str());
  if (!opt.gray_file.empty()) std::printf("gray frames written to: %s\n", opt.gray_file.c_str());
  return result;
}

}  // namespace torvi_cli
