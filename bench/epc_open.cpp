// Opening a virtual EPC camera: with the calibration package download (an
// empty path prefix) and without it (the calibration files already there).
// Targets: about 1 s with the download, 100 ms without.
#include <benchmark/benchmark.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_log.h>
#include <torvi/torvi_vcam.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "vcam/camera.h"
#include "vcam/camera_ptr.h"
#include "vcam/virtual_bus.h"

namespace {

namespace fs = std::filesystem;

struct Rig {
  Rig() {
    kx_log_disable();
    std::string tmpl = (fs::temp_directory_path() / "torvi-bench-XXXXXX").string();
    if (mkdtemp(tmpl.data()) != nullptr) dir = tmpl;
    torvi_path_cfg((dir.string() + "/").c_str());
    torvi::vcam::CameraConfig cfg;
    cfg.stream.paced = false;
    cam = torvi::vcam::CameraPtr::make(cfg);
    cam->calibration_package();  // made once, as a camera holds it in flash
    torvi::vcam::VirtualBus::instance().attach(cam);
    torvi_vcam_enable(1);
  }
  ~Rig() {
    torvi_vcam_enable(0);
    torvi::vcam::VirtualBus::instance().detach_all();
    std::error_code ec;
    fs::remove_all(dir, ec);
    torvi_path_cfg("./");
  }
  void clear_prefix() {
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec)) fs::remove(e.path(), ec);
  }
  bool open(torvi_dev_t &dev) {
    torvi_dev_t list[2];
    if (torvi_dev_list(list, 2) < 1) return false;
    dev = list[0];
    return torvi_dev_open(&dev) == &dev;
  }
  fs::path dir;
  torvi::vcam::CameraPtr cam;
};

void BM_OpenWithPackageDownload(benchmark::State &state) {
  Rig rig;
  for (auto _ : state) {
    state.PauseTiming();
    rig.clear_prefix();
    state.ResumeTiming();
    torvi_dev_t dev{};
    if (!rig.open(dev)) {
      state.SkipWithError("open failed");
      break;
    }
    state.PauseTiming();
    torvi_dev_close(&dev);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_OpenWithPackageDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OpenWithCalibrationFiles(benchmark::State &state) {
  Rig rig;
  torvi_dev_t first{};
  if (!rig.open(first)) {
    state.SkipWithError("open failed");
    return;
  }
  torvi_dev_close(&first);
  for (auto _ : state) {
    torvi_dev_t dev{};
    if (!rig.open(dev)) {
      state.SkipWithError("open failed");
      break;
    }
    state.PauseTiming();
    torvi_dev_close(&dev);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_OpenWithCalibrationFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

// The camera's side: making its package from the model (not part of an
// open; a camera keeps it).
void BM_MakeCalibrationPackage(benchmark::State &state) {
  torvi::vcam::CameraConfig cfg;
  for (auto _ : state) {
    torvi::vcam::Camera cam(cfg);
    benchmark::DoNotOptimize(cam.calibration_package());
  }
}
BENCHMARK(BM_MakeCalibrationPackage)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
