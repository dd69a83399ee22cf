// torvi: list cameras, show one camera's identity and parameters, and
// capture raw frames, from a real camera or the built-in virtual one.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <string>

#include "capture.h"
#include "record.h"
#include "selftest.h"
#include "session.h"
#include "transfer.h"
#include "view/view.h"

namespace torvi_cli {
namespace {

const char *speed_name(unsigned speed) {
  static const char *kNames[] = {"unknown", "low", "full", "high", "super"};
  return speed < 5 ? kNames[speed] : "unknown";
}

int run_list(const CommonOptions &common) {
  Session session(common);
  torvi_dev_t list[16];
  const int n = session.list(list, 16);
  for (int i = 0; i < n; ++i) {
    std::printf("%d: bus %u port %u address %u speed %s\n", i, list[i].bus, list[i].port,
                list[i].addr, speed_name(list[i].speed));
  }
  return n == 0 ? kNoCamera : kOk;
}

void print_hex(const char *label, const uint8_t *v, unsigned n) {
  std::printf("%s", label);
  for (unsigned i = 0; i < n; ++i) std::printf(" %02x", v[i]);
  std::printf("\n");
}

// The EPC camera just opened is the chip library's default device.
void print_epc_calibration(torvi_dev_t &dev) {
  std::printf("chip: part type %d, part version %d, chip id %d, wafer id %d\n", configGetPartType(),
              configGetIcVersion(), configGetChipID(), configGetWaferID());
  std::printf("modulation frequency: %d kHz\n", configGetModulationFrequency());
  char images[128], params[128];
  calibrationGetDistanceImagesName(images);
  calibrationGetParamName(params);
  const bool loaded = calibrationIsLoaded() != 0;
  std::printf("calibration: %s\n", loaded ? "loaded" : "none (simple distance path)");
  std::printf("calibration folder: %s\n", torvi_path_get());
  std::printf("calibration files: %s, %s\n", images, params);
  torvi_param_t info{};
  info.number = 8;
  if (torvi_param_batch_get(&dev, &info, 1)) {
    uint32_t version = 0;
    std::memcpy(&version, &info.value[3], 4);
    std::printf("calibration on the camera (parameter 8): %s, version %u\n",
                info.value[0] == 1 ? "valid" : "none", version);
  }
  if (loaded) {
    std::printf("calibration frequency: %d kHz, %d distances, step %.1f mm\n",
                calibrateGetCalibFrequency(), calibrateGetNumDistances(), calibrateGetStepCalMM());
    std::printf("scale/offset: %.3f / %d mm\n", g_calib_scale_m / 1000.0, g_calib_offset_mm);
    std::printf("temperatures at calibration: sensor %.1f C, board %.1f C\n",
                calibrateGetTempCalib() / 10.0, calibrateGetIbTempCalib() / 10.0);
  }
  torvi_lens_param_t lens{};
  if (epc_lens_param_get(torvi_dev_get_drv(&dev), &lens, g_torvi_lens_param.img_w,
                         g_torvi_lens_param.img_h)) {
    std::printf("lens: %dx%d cx %.3f cy %.3f fx %.3f fy %.3f\n", lens.img_w, lens.img_h, lens.cx,
                lens.cy, lens.fx, lens.fy);
    std::printf("lens distortion: k1 %.6g k2 %.6g p1 %.6g p2 %.6g k3 %.6g\n", lens.dcoeff[0],
                lens.dcoeff[1], lens.dcoeff[2], lens.dcoeff[3], lens.dcoeff[4]);
  }
}

int run_info(const CommonOptions &common) {
  Session session(common);
  torvi_dev_t dev{};
  if (const int rc = session.open(dev); rc != kOk) return rc;
  std::printf("vendor: %.32s\n", dev.vendor);
  std::printf("product: %.32s\n", dev.product);
  std::printf("location: bus %u port %u address %u speed %s\n", dev.bus, dev.port, dev.addr,
              speed_name(dev.speed));
  std::printf("serial (parameter 5): %.32s\n", reinterpret_cast<const char *>(dev.info5));
  print_hex("parameter 6:", dev.info6, sizeof dev.info6);
  const torvi_drv_t *drv = torvi_dev_get_drv(&dev);
  std::printf("driver: %s (%s)\n", drv != nullptr ? drv->name : "none",
              drv != nullptr ? drv->id : "-");
  if (drv != nullptr && drv->ops == &g_torvi_driver_op_epc) print_epc_calibration(dev);
  torvi_param_t items[5] = {};
  const uint32_t numbers[5] = {0, 7, 12, 13, 15};
  for (int i = 0; i < 5; ++i) items[i].number = numbers[i];
  int rc = kOk;
  if (torvi_param_batch_get(&dev, items, 5)) {
    uint32_t fps = 0;
    uint16_t intg = 0;
    std::memcpy(&fps, items[2].value, 4);
    std::memcpy(&intg, items[3].value, 2);
    std::printf("mode (parameter 0): %u\n", items[0].value[0]);
    print_hex("chip information (parameter 7):", items[1].value,
              items[1].len < 18 ? items[1].len : 18);
    std::printf("frame rate (parameter 12): %u fps\n", fps);
    std::printf("integration time (parameter 13): %u us\n", intg);
    print_hex("temperatures (parameter 15):", items[4].value,
              items[4].len < 18 ? items[4].len : 18);
  } else {
    std::fprintf(stderr, "torvi: the camera did not answer the parameter request\n");
    rc = kMisbehaved;
  }
  torvi_dev_close(&dev);
  return rc;
}

void add_common(CLI::App *cmd, CommonOptions &opt) {
  cmd->add_flag("--virtual", opt.virtual_camera, "use the built-in virtual camera");
  cmd->add_option("--virtual-product", opt.virtual_product,
                  "product string of the virtual camera (its middle field picks the driver)");
  cmd->add_flag("--unpaced", opt.unpaced, "virtual camera: frames as fast as they are read");
  cmd->add_option("--index", opt.index, "camera to use, as numbered by 'list'")
      ->check(CLI::NonNegativeNumber);
  cmd->add_flag("-v,--verbose", opt.verbose, "library debug lines on the console");
  cmd->add_option("--log", opt.log_file, "log file (default torvi_YYYYMMDD.log)");
  cmd->add_option("--calib-dir", opt.calib_dir,
                  "folder for calibration files (default $XDG_CACHE_HOME/torvi, else "
                  "~/.cache/torvi)");
}

void add_record_options(CLI::App *cmd, CommonOptions &common, RecordOptions &rec) {
  add_common(cmd, common);
  auto *n = cmd->add_option("-n,--frames", rec.frames, "number of frames to record");
  auto *t = cmd->add_option("-t,--seconds", rec.seconds, "record for this many seconds");
  n->excludes(t);
  cmd->add_option("-o,--output", rec.output, "the MCAP file")->capture_default_str();
  cmd->add_flag("--no-depth", rec.no_depth, "no distance images");
  cmd->add_option("--zstd-level", rec.zstd_level,
                  "compression: -7 (fastest) .. 19 (smallest file); default -1")
      ->check(CLI::Range(-7, 19));
  cmd->add_flag("--compress-raw", rec.compress_raw,
                "compress the raw frames too (about half their size, about a tenth of a core "
                "more at 30 frames/s)");
  cmd->add_flag_callback(
      "-q,--quiet", [&rec] { rec.progress = false; }, "no progress line");
  cmd->add_option("--replay", common.replay, "record from a replayed recording");
  cmd->add_flag("--fast", common.replay_fast, "replay as fast as frames are taken");
  cmd->callback([&rec] {
    if (rec.frames == 0 && rec.seconds <= 0) rec.frames = 30;
  });
}

}  // namespace
}  // namespace torvi_cli

namespace {

int run(int argc, char **argv) {
  using namespace torvi_cli;
  CLI::App app{"torvi: USB time-of-flight depth cameras"};
  app.require_subcommand(1);
  CommonOptions common;
  CaptureOptions cap;
  CLI::App *list = app.add_subcommand("list", "list the attached cameras");
  CLI::App *info = app.add_subcommand("info", "identity, parameters and driver of a camera");
  CLI::App *capture = app.add_subcommand("capture", "capture raw frames into a file");
  CLI::App *view = app.add_subcommand("view", "show the camera live in a web browser");
  add_common(view, common);
  ViewOptions vopt;
  view->add_option("--port", vopt.port, "port of the page (0: any free port)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  view->add_option("--bind", vopt.bind, "address to listen on")->capture_default_str();
  view->add_option("--web-dir", vopt.web_dir, "folder of the page (default: the installed one)");
  view->add_option("--seconds", vopt.seconds, "stop after this many seconds (default: Ctrl-C)");
  view->add_option("--replay", common.replay,
                   "show a recording (MCAP) as the camera, again and again");
  view->add_flag("--fast", common.replay_fast, "replay as fast as the page takes frames");
  CLI::App *selftest =
      app.add_subcommand("selftest", "depth accuracy against the virtual camera's ground truth");
  for (CLI::App *cmd : {list, info, capture, selftest}) add_common(cmd, common);
  TransferCommands transfer(app);
  for (CLI::App *cmd : transfer.commands()) add_common(cmd, common);
  auto *frames = capture->add_option("-n,--frames", cap.frames, "number of frames to capture");
  auto *secs = capture->add_option("-t,--seconds", cap.seconds, "capture for this many seconds");
  frames->excludes(secs);
  capture->add_option("-o,--output", cap.output, "file for the raw frames, one after another")
      ->capture_default_str();
  capture->add_option("--dist", cap.dist_file, "distance frame file (float metres, every frame)");
  capture->add_option("--gray", cap.gray_file, "gray frame file (16-bit, every frame)");
  capture->add_option("--png", cap.png, "16-bit depth PNG in millimetres (last frame)");
  capture->add_option("--color-png", cap.color_png, "colourised depth PNG (last frame)");
  capture->add_option("--color-range", cap.color_range, "colour range in metres: MIN MAX")
      ->expected(2);
  capture->add_option("--ply", cap.ply, "PLY point cloud (last frame)");
  bool no_stats = false;
  capture->add_flag("--no-stats", no_stats, "do not decode frames for statistics");
  bool no_save = false;
  bool quiet = false;
  capture->add_flag("--no-save", no_save, "do not keep the frames");
  capture->add_flag("-q,--quiet", quiet, "no progress line");
  capture->add_option("--replay", common.replay, "replay a recording (MCAP) as the camera");
  capture->add_flag("--fast", common.replay_fast, "replay as fast as frames are taken");
  capture->add_flag("--loop", common.replay_loop, "replay again from the start at the end");
  RecordOptions rec;
  CLI::App *record = app.add_subcommand("record", "record raw frames into an MCAP file");
  add_record_options(record, common, rec);
  CLI11_PARSE(app, argc, argv);
  if (record->parsed()) return run_record(common, rec);

  if (list->parsed()) return run_list(common);
  if (info->parsed()) return run_info(common);
  if (view->parsed()) return run_view(common, vopt);
  if (selftest->parsed()) return run_selftest(common);
  if (const int rc = transfer.run(common); rc >= 0) return rc;
  // A replay runs to the end of the recording unless told otherwise.
  if (cap.frames == 0 && cap.seconds <= 0 && common.replay.empty()) cap.frames = 30;
  if (no_save) cap.output.clear();
  cap.stats = !no_stats;
  if (cap.color_range.size() == 2) {
    cap.color_min_m = cap.color_range[0];
    cap.color_max_m = cap.color_range[1];
  }
  cap.progress = !quiet;
  return run_capture(common, cap);
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "torvi: %s\n", e.what());
    return 1;
  }
}
