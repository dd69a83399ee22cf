#include "view.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol.h"
#include "server.h"

#ifndef TORVI_WEB_SOURCE_DIR
#define TORVI_WEB_SOURCE_DIR ""
#endif
#ifndef TORVI_WEB_INSTALL_DIR
#define TORVI_WEB_INSTALL_DIR ""
#endif

namespace torvi_cli {
namespace {

using Clock = std::chrono::steady_clock;
using view::Bytes;
using view::Command;

std::atomic<bool> g_interrupted{false};
// Written by the capture's error callback, which runs inside the getter on
// the viewer's own loop thread; atomics keep that plain.
std::atomic<int> g_discarded{0};
std::atomic<int> g_capture_error{0};

// Frame discards are counted and the capture goes on; any other capture
// error ends it, and the loop reports it.
bool on_capture_error(torvi_dev_t *, int err, int param) {
  if (err == TORVI_ERR_CAP_FRAME_DISCARD) {
    g_discarded.store(param);
    return true;
  }
  g_capture_error.store(err);
  return false;
}

double epoch_ms() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string find_web_dir(const std::string &asked) {
  if (!asked.empty()) return asked;
  for (const char *dir : {TORVI_WEB_SOURCE_DIR, TORVI_WEB_INSTALL_DIR})
    if (dir[0] != '\0' && std::filesystem::is_directory(std::string(dir) + "/vendor/three"))
      return dir;
  return TORVI_WEB_INSTALL_DIR;
}

const char *filter_name(int id) {
  static const char *kNames[] = {"lens undistortion",
                                 "pixel calibration (DRNU)",
                                 "depth smoothing",
                                 "(none)",
                                 "minimum amplitude",
                                 "automatic integration",
                                 "phase sync check",
                                 "temperature monitor",
                                 "HDR"};
  return id >= 0 && id < 9 ? kNames[id] : "?";
}

// The largest raw frame the viewer takes.
constexpr std::size_t kRawBytes = 4u << 20;

// [sensor, board] in degrees Celsius, one decimal, as JSON.
std::string celsius_pair(const Temperatures &t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "[%.1f,%.1f]", t.sensor_c, t.board_c);
  return buf;
}

// The filter switches as the driver starts them at open.
struct FilterState {
  bool on = false;
  int arg = 0;
};

class Viewer {
 public:
  Viewer(const CommonOptions &common, const ViewOptions &opt)
      : common_(common),
        opt_(opt),
        session_(common),
        server_([this](const std::string &t) { queue_command(t); },
                [this] { return latest_raw(); }) {
    filters_[1] = {false, 2};
    filters_[2] = {true, 5};
    filters_[4] = {true, 0};
    filters_[7] = {true, 75};
  }

  int run() {
    std::string error;
    const std::string web = find_web_dir(opt_.web_dir);
    if (!server_.start(opt_.bind, opt_.port, web, error)) {
      if (opt_.port == 0 || error.find("page") != std::string::npos) {
        std::fprintf(stderr, "torvi view: %s\n", error.c_str());
        return kFileError;
      }
      std::fprintf(stderr, "torvi view: %s; trying any free port\n", error.c_str());
      if (!server_.start(opt_.bind, 0, web, error)) {
        std::fprintf(stderr, "torvi view: %s\n", error.c_str());
        return kFileError;
      }
    }
    std::printf("torvi view: http://%s:%d/\n", opt_.bind.c_str(), server_.port());
    std::fflush(stdout);
    const auto end =
        Clock::now() + std::chrono::milliseconds(static_cast<long>(opt_.seconds * 1000));
    auto next_state = Clock::now();
    while (!g_interrupted.load() && (opt_.seconds <= 0 || Clock::now() < end)) {
      run_commands();
      if (!open_) try_open();
      if (open_ && capturing_) {
        take_frame();
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (Clock::now() >= next_state) {
        publish_state();
        next_state = Clock::now() + std::chrono::milliseconds(250);
      }
    }
    close_camera();
    return kOk;
  }

 private:
  void set_message(const std::string &m) {
    if (m == message_) return;
    message_ = m;
    if (!m.empty()) std::fprintf(stderr, "torvi view: %s\n", m.c_str());
  }

  void try_open() {
    if (Clock::now() < next_open_) return;
    next_open_ = Clock::now() + std::chrono::seconds(1);
    if (!common_.replay.empty()) {
      // A recording plays in a loop, so the page keeps showing it.
      const unsigned flags =
          TORVI_REPLAY_LOOP | (common_.replay_fast ? TORVI_REPLAY_FAST : TORVI_REPLAY_PACED);
      dev_ = torvi_dev_t{};
      if (torvi_replay_open(common_.replay.c_str(), flags, &dev_) == nullptr) {
        set_message(common_.replay + " cannot be replayed (see the log file)");
        return;
      }
    } else {
      torvi_dev_t found[16];
      if (torvi_dev_list(found, 16) <= common_.index) {
        set_message("no camera: waiting for one to be plugged in");
        return;
      }
      dev_ = found[common_.index];
      if (torvi_dev_open(&dev_) == nullptr) {
        set_message("the camera cannot be opened (see the log file)");
        return;
      }
    }
    open_ = true;
    set_message("");
    send_rays();
    if (want_capture_) start_capture();
  }

  void close_camera() {
    if (!open_) return;
    if (capturing_) torvi_cap_stop(&dev_);
    torvi_dev_close(&dev_);
    open_ = false;
    capturing_ = false;
  }

  void start_capture() {
    g_capture_error.store(0);
    last_frame_ = Clock::now();
    torvi_cap_set_callback_on_error(&dev_, on_capture_error);
    capturing_ = torvi_cap_start(&dev_);
    if (!capturing_) set_message("the camera refused to start streaming");
  }

  // Unit rays: the library's point cloud of a distance image of 1 m everywhere.
  void send_rays() {
    const int w = 320, h = 240;
    std::vector<float> ones(static_cast<std::size_t>(w) * h, 1.0f);
    std::vector<float> rays(ones.size() * 3);
    const int n = torvi_frame_get_pcl(&dev_, rays.data(), static_cast<int>(rays.size()) + 3,
                                      ones.data(), static_cast<int>(ones.size()), w, h, nullptr);
    if (n != w * h) {
      // A driver without lens parameters: a pinhole of the default field of view.
      const float f = 220.0f;
      for (int v = 0; v < h; ++v)
        for (int u = 0; u < w; ++u) {
          float *r = &rays[3 * (static_cast<std::size_t>(v) * w + u)];
          const float x = (u - w / 2.0f) / f, y = (v - h / 2.0f) / f;
          const float len = std::sqrt(x * x + y * y + 1.0f);
          r[0] = x / len;
          r[1] = y / len;
          r[2] = 1.0f / len;
        }
    }
    server_.publish_rays(std::make_shared<const std::vector<uint8_t>>(
        view::pack_rays(static_cast<uint16_t>(w), static_cast<uint16_t>(h), rays)));
  }

  void take_frame() {
    torvi_frame_info_t info{};
    const int r =
        torvi_cap_get_frames(&dev_, 1, raw_.data(), static_cast<unsigned>(raw_.size()), &info);
    if (r == 1) {
      handle_frame(info);
      return;
    }
    if (r == 0) {
      check_camera_still_there();
      return;
    }
    const int err = g_capture_error.exchange(0);
    if (r == -2 && err == 0) {  // stopped on request
      capturing_ = false;
      return;
    }
    ++errors_;
    set_message(std::string("camera lost (") + torvi_error_name(err != 0 ? err : r) +
                "): unplugged or not answering; the viewer waits for it");
    close_camera();
  }

  // No frame for a while: a camera that left the bus is reported and closed
  // (the capture may not have seen an error yet); one still there is only
  // reported as silent.
  void check_camera_still_there() {
    const auto silent = Clock::now() - last_frame_;
    if (silent < std::chrono::seconds(2)) return;
    // A replayed recording never leaves: it is only silent.
    if (!common_.replay.empty() || camera_on_bus()) {
      set_message("no frames from the camera for " +
                  std::to_string(std::chrono::duration_cast<std::chrono::seconds>(silent).count()) +
                  " s");
      return;
    }
    ++errors_;
    set_message("camera lost: it left the bus; the viewer waits for it");
    close_camera();
  }

  bool camera_on_bus() const {
    torvi_dev_t found[16];
    const int n = torvi_dev_list(found, 16);
    for (int i = 0; i < n; ++i)
      if (found[i].bus == dev_.bus && found[i].port == dev_.port && found[i].addr == dev_.addr)
        return true;
    return false;
  }

  void handle_frame(const torvi_frame_info_t &info) {
    last_frame_ = Clock::now();
    if (message_.rfind("no frames", 0) == 0) set_message("");
    const double arrival = epoch_ms();
    ++frames_;
    const std::size_t n = static_cast<std::size_t>(info.width) * info.height;
    if (n == 0 || n > 1u << 22) return;
    depth_.resize(n);
    gray_.resize(n);
    const unsigned size = info.frame_size < raw_.size() ? info.frame_size : raw_.size();
    const bool have_depth =
        torvi_frame_get_distance(&dev_, depth_.data(), static_cast<int>(n), raw_.data(),
                                 static_cast<int>(size), &info) > 0;
    const bool have_gray = torvi_frame_get_gray(&dev_, gray_.data(), static_cast<int>(n),
                                                raw_.data(), static_cast<int>(size), &info) > 0;
    if (!have_depth) ++damaged_;
    std::span<const uint16_t> truth;
    if (torvi_vcam_t *vc = session_.vcam(); vc != nullptr) {
      truth_.resize(n);
      if (torvi_vcam_ground_truth(vc, truth_.data(), static_cast<uint32_t>(n)) > 0) truth = truth_;
    }
    view::FrameImages f;
    f.seq = ++seq_;
    f.width = static_cast<uint16_t>(info.width);
    f.height = static_cast<uint16_t>(info.height);
    f.arrival_ms = arrival;
    f.decoded_ms = epoch_ms();
    if (have_depth) f.depth_m = depth_;
    if (have_gray) f.gray = gray_;
    f.truth = truth;
    server_.publish_frame(std::make_shared<const std::vector<uint8_t>>(view::pack_frame(f)));
    {
      // The frame just decoded becomes the snapshot; its buffer changes
      // places with the old snapshot's, which takes the next frame.
      const std::lock_guard<std::mutex> lock(raw_mutex_);
      latest_raw_.swap(raw_);
      latest_raw_size_ = size;
    }
    fps_window_.push_back(Clock::now());
    while (fps_window_.size() > 1 && fps_window_.front() < Clock::now() - std::chrono::seconds(2))
      fps_window_.pop_front();
  }

  // A copy of the latest raw frame, made only when a browser asks for it.
  Bytes latest_raw() {
    const std::lock_guard<std::mutex> lock(raw_mutex_);
    if (latest_raw_size_ == 0) return nullptr;
    return std::make_shared<const std::vector<uint8_t>>(
        latest_raw_.begin(), latest_raw_.begin() + static_cast<std::ptrdiff_t>(latest_raw_size_));
  }

  void queue_command(const std::string &text) {
    const std::lock_guard<std::mutex> lock(cmd_mutex_);
    if (cmds_.size() < 256) cmds_.push_back(text);
  }

  void run_commands() {
    std::deque<std::string> todo;
    {
      const std::lock_guard<std::mutex> lock(cmd_mutex_);
      todo.swap(cmds_);
    }
    for (const auto &t : todo) {
      const auto c = view::parse_command(t);
      if (!c) {
        reply_ = "refused: not a command";
        continue;
      }
      reply_ = apply(*c);
    }
  }

  std::string apply(const Command &c) {
    const std::string cmd = c.cmd();
    torvi_vcam_t *vc = session_.vcam();
    if (cmd == "start") {
      want_capture_ = true;
      if (open_ && !capturing_) start_capture();
      return capturing_ ? "started" : "start refused";
    }
    if (cmd == "stop") {
      want_capture_ = false;
      if (open_ && capturing_ && torvi_cap_stop(&dev_)) capturing_ = false;
      return capturing_ ? "stop refused" : "stopped";
    }
    if (cmd == "filter") return apply_filter(c);
    if (cmd == "intg") return apply_integration(c);
    if (cmd == "freq") return apply_frequency(c);
    if (vc == nullptr) return "refused: '" + cmd + "' needs the virtual camera or is unknown";
    if (cmd == "wall") {
      const auto mm = c.number("mm");
      if (!mm || *mm < 100 || *mm > 10000) return "refused: wall distance 100 to 10000 mm";
      torvi_vcam_set_wall(vc, *mm, 1.0);
      return "wall at " + std::to_string(static_cast<int>(*mm)) + " mm";
    }
    if (cmd == "sphere") {
      torvi_vcam_add_sphere(vc, c.number("x").value_or(0), c.number("y").value_or(0),
                            c.number("z").value_or(900), c.number("r").value_or(200), 1.0);
      return "sphere added";
    }
    if (cmd == "box") {
      const double x = c.number("x").value_or(-300), y = c.number("y").value_or(-150);
      const double z = c.number("z").value_or(1000), s = c.number("size").value_or(250);
      torvi_vcam_add_box(vc, x, y, z, x + s, y + s, z + s, 1.0);
      return "box added";
    }
    if (cmd == "clear") {
      torvi_vcam_clear_shapes(vc);
      return "shapes removed";
    }
    if (cmd == "noise") {
      const auto lsb = c.number("lsb");
      if (!lsb || *lsb < 0 || *lsb > 1000) return "refused: noise 0 to 1000";
      torvi_vcam_set_noise(vc, *lsb, c.number("pattern").value_or(6));
      return "noise set";
    }
    if (cmd == "unplug") {
      torvi_vcam_unplug(vc);
      return "virtual camera unplugged";
    }
    if (cmd == "plug") {
      torvi_vcam_plug(vc);
      return "virtual camera plugged in";
    }
    return "refused: unknown command '" + cmd + "'";
  }

  std::string apply_filter(const Command &c) {
    const auto id = c.number("id");
    const auto on = c.flag("on");
    if (!id || !on || *id < 0 || *id > 8) return "refused: filter needs id 0..8 and on";
    if (!open_) return "refused: no camera";
    const int fid = static_cast<int>(*id);
    torvi_filter_args_t arg{};
    const int value = static_cast<int>(c.number("arg").value_or(filters_[fid].arg));
    arg.u16 = static_cast<uint16_t>(value);
    if (fid == 1 || fid == 2) arg.u8 = static_cast<uint8_t>(value);
    const int r = *on ? torvi_filter_enable(&dev_, fid, &arg, 0) : torvi_filter_disable(&dev_, fid);
    if (r != 1) return std::string("the camera refused ") + filter_name(fid);
    filters_[fid] = {*on, value};
    return std::string(filter_name(fid)) + (*on ? " on" : " off");
  }

  std::string apply_integration(const Command &c) {
    const auto us = c.number("us");
    if (!us || *us < 1 || *us > 4000) return "refused: integration time 1 to 4000 us";
    if (!open_) return "refused: no camera";
    torvi_param_t p{};
    p.number = 13;
    p.len = 2;
    const auto v = static_cast<uint16_t>(*us);
    std::memcpy(p.value, &v, 2);
    return torvi_param_batch_set(&dev_, &p, 1) ? "integration time set"
                                               : "the camera refused the integration time";
  }

  // The EPC chip library acts on the camera opened last: the viewer's own.
  bool is_epc() const {
    const torvi_drv_t *drv = open_ ? torvi_dev_get_drv(const_cast<torvi_dev_t *>(&dev_)) : nullptr;
    return drv != nullptr && drv->id != nullptr && drv->id[0] == 'E';
  }

  std::string apply_frequency(const Command &c) {
    const auto mode = c.number("mode");
    if (!mode || *mode < 0 || *mode > 6) return "refused: frequency mode 0 to 6";
    if (!is_epc()) return "refused: only EPC cameras switch their modulation frequency";
    configSetModulationFrequency(static_cast<int>(*mode), configGetDeviceAddress());
    return "modulation frequency " + std::to_string(configGetModulationFrequency()) + " kHz";
  }

  void read_camera_values() {
    if (!open_ || Clock::now() < next_params_) return;
    next_params_ = Clock::now() + std::chrono::seconds(1);
    torvi_param_t p[2] = {};
    p[0].number = 13;
    p[1].number = 15;
    if (!torvi_param_batch_get(&dev_, p, 2)) return;
    uint16_t intg = 0;
    std::memcpy(&intg, p[0].value, 2);
    intg_us_ = intg;
    temp_ = temperatures_of(p[1]);
  }

  void publish_state() {
    read_camera_values();
    double fps = 0;
    if (fps_window_.size() > 1) {
      const double span =
          std::chrono::duration<double>(fps_window_.back() - fps_window_.front()).count();
      if (span > 0) fps = (static_cast<double>(fps_window_.size()) - 1) / span;
    }
    std::string s = "{\"type\":\"state\"";
    auto add = [&](const char *k, const std::string &v) {
      s += std::string(",\"") + k + "\":" + v;
    };
    add("open", open_ ? "true" : "false");
    add("capturing", capturing_ ? "true" : "false");
    add("virtual", session_.vcam() != nullptr ? "true" : "false");
    add("frames", std::to_string(frames_));
    add("fps", std::to_string(fps));
    add("discarded", std::to_string(g_discarded.load()));
    add("skipped", std::to_string(server_.frames_skipped()));
    add("damaged", std::to_string(damaged_));
    add("errors", std::to_string(errors_));
    add("intg_us", std::to_string(intg_us_));
    add("mod_freq_khz", std::to_string(is_epc() ? configGetModulationFrequency() : 0));
    add("temp_c", temp_ ? celsius_pair(*temp_) : "null");
    add("product",
        "\"" +
            view::json_escape(
                open_ ? std::string(dev_.product, strnlen(dev_.product, sizeof dev_.product))
                      : "") +
            "\"");
    std::string f = "[";
    for (int i = 0; i < 9; ++i) {
      if (i) f += ",";
      f += "{\"id\":" + std::to_string(i) + ",\"name\":\"" + filter_name(i) +
           "\",\"on\":" + (filters_[i].on ? "true" : "false") +
           ",\"arg\":" + std::to_string(filters_[i].arg) + "}";
    }
    add("filters", f + "]");
    add("message", "\"" + view::json_escape(message_) + "\"");
    add("reply", "\"" + view::json_escape(reply_) + "\"");
    add("clients", std::to_string(server_.clients()));
    server_.publish_state(s + "}");
  }

  const CommonOptions &common_;
  const ViewOptions &opt_;
  Session session_;
  view::Server server_;
  torvi_dev_t dev_{};
  bool open_ = false;
  bool capturing_ = false;
  bool want_capture_ = true;
  Clock::time_point next_open_{};
  Clock::time_point next_params_{};
  Clock::time_point last_frame_ = Clock::now();
  // The buffer the next frame is taken into (loop thread only).
  std::vector<uint8_t> raw_ = std::vector<uint8_t>(kRawBytes);
  std::vector<float> depth_, gray_;
  std::vector<uint16_t> truth_;
  uint32_t seq_ = 0;
  uint64_t frames_ = 0, damaged_ = 0, errors_ = 0;
  unsigned intg_us_ = 0;
  std::optional<Temperatures> temp_;
  std::deque<Clock::time_point> fps_window_;
  FilterState filters_[9];
  std::string message_, reply_;

  std::mutex raw_mutex_;  // guards latest_raw_ and its size (read by the server's threads)
  std::vector<uint8_t> latest_raw_ = std::vector<uint8_t>(kRawBytes);
  std::size_t latest_raw_size_ = 0;
  std::mutex cmd_mutex_;  // guards cmds_ (filled by the server's threads)
  std::deque<std::string> cmds_;
};

}  // namespace

int run_view(const CommonOptions &common, const ViewOptions &opt) {
  g_interrupted.store(false);
  std::signal(SIGINT, [](int) { g_interrupted.store(true); });
  std::signal(SIGTERM, [](int) { g_interrupted.store(true); });
  std::signal(SIGPIPE, SIG_IGN);
  Viewer viewer(common, opt);
  return viewer.run();
}

}  // namespace torvi_cli
