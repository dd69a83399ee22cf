// Depth accuracy against the virtual camera's ground truth, through the
// public interface alone: a virtual EPC camera looks at a scene, frames are
// decoded to distance (and point clouds), and each frame is compared with
// the radial distance the camera model put behind every pixel. Shared by
// `torvi selftest --virtual` and the accuracy tests.
#pragma once

#include <torvi/torvi.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace torvi_accuracy {

struct Scenario {
  std::string name;
  double wall_mm = 1500;
  bool drnu = true;         // per-pixel calibration (else the simple path)
  bool undistort = false;   // lens undistortion filter
  bool shapes = false;      // spheres and boxes in front of the wall
  int frames = 4;           // frames measured (after two settling frames)
  double sensor_drift = 0;  // tenths of a degree per frame
  double board_drift = 0;
  uint16_t integration_us = 0;  // 0: the camera's default
  bool auto_intg = false;       // automatic integration (threshold 20 per mille)
  uint64_t seed = 1;
};

// An integration time that suits a wall at `wall_mm`, as a user would set
// it: the echo weakens with the square of the distance, so the time grows
// with it from the camera's default 1000 us at 2 m (and never below that),
// up to 4000 us; a near wall at a long time saturates.
inline uint16_t integration_for_wall(double wall_mm) {
  const double us = 1000.0 * (wall_mm / 2000.0) * (wall_mm / 2000.0);
  return static_cast<uint16_t>(std::clamp(us, 1000.0, 4000.0));
}

struct Result {
  bool ok = false;                      // the run itself worked (camera, capture, decode)
  std::string failure;                  // why not
  double valid_share = 0;               // of the pixels with ground truth, last frames
  double median_mm = 0;                 // signed error, median
  double rms_mm = 0;                    // error RMS
  double worst_rms_mm = 0;              // RMS of the worst frame
  double planarity = 0;                 // point-cloud RMS off the best plane / distance (wall only)
  std::vector<double> valid_per_frame;  // every frame, settling ones included
};

// Best-fit plane z = a x + b y + c through points; RMS of the residual
// along z divided by the mean z.
inline double plane_residual(const std::vector<float> &xyz, size_t n) {
  if (n < 3) return 1.0;
  double s[3][3] = {}, r[3] = {}, mz = 0;
  for (size_t i = 0; i < n; ++i) {
    const double x = static_cast<double>(xyz[3 * i]), y = static_cast<double>(xyz[3 * i + 1]),
                 z = static_cast<double>(xyz[3 * i + 2]);
    const double v[3] = {x, y, 1.0};
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) s[a][b] += v[a] * v[b];
      r[a] += v[a] * z;
    }
    mz += z;
  }
  mz /= static_cast<double>(n);
  // Solve the 3 x 3 normal equations by Cramer's rule.
  const auto det3 = [](const double m[3][3]) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  };
  const double d = det3(s);
  if (d == 0.0) return 1.0;
  double coef[3];
  for (int k = 0; k < 3; ++k) {
    double m[3][3];
    std::memcpy(m, s, sizeof m);
    for (int a = 0; a < 3; ++a) m[a][k] = r[a];
    coef[k] = det3(m) / d;
  }
  double ss = 0;
  for (size_t i = 0; i < n; ++i) {
    const double x = static_cast<double>(xyz[3 * i]), y = static_cast<double>(xyz[3 * i + 1]),
                 z = static_cast<double>(xyz[3 * i + 2]);
    const double e = z - (coef[0] * x + coef[1] * y + coef[2]);
    ss += e * e;
  }
  return std::sqrt(ss / static_cast<double>(n)) / mz;
}

// Runs one scenario on its own virtual camera. The library must be started
// (torvi_init) and no other virtual camera plugged in.
inline Result measure(const Scenario &sc) {
  Result res;
  torvi_vcam_t *cam = torvi_vcam_create("VCAM-E2-1.4.3", sc.seed);
  if (cam == nullptr) {
    res.failure = "no virtual camera";
    return res;
  }
  torvi_vcam_set_wall(cam, sc.wall_mm, 0.6);
  if (sc.shapes) {
    torvi_vcam_add_sphere(cam, -250, 0, 1200, 180, 0.7);
    torvi_vcam_add_sphere(cam, 300, -150, 2000, 250, 0.5);
    torvi_vcam_add_box(cam, -600, 200, 1600, -150, 600, 1900, 0.4);
  }
  torvi_vcam_set_drift(cam, sc.sensor_drift, sc.board_drift);
  torvi_vcam_set_paced(cam, 0);
  torvi_vcam_plug(cam);
  torvi_vcam_enable(1);
  torvi_dev_t list[4];
  torvi_dev_t *dev = nullptr;
  if (torvi_dev_list(list, 4) < 1 || (dev = torvi_dev_open(&list[0])) == nullptr) {
    res.failure = "cannot open the virtual camera";
  } else {
    torvi_filter_args_t arg{};
    bool filters_ok = true;
    // The calibration loaded at open switches the per-pixel path on.
    filters_ok = sc.drnu ? torvi_filter_enable(dev, TORVI_FILTER_PIXEL_CALIB, &arg, 0) == 1
                         : torvi_filter_disable(dev, TORVI_FILTER_PIXEL_CALIB) == 1;
    if (sc.undistort)
      filters_ok =
          filters_ok && torvi_filter_enable(dev, TORVI_FILTER_LENS_UNDISTORT, nullptr, 0) == 1;
    if (sc.auto_intg) {
      arg.u16 = 20;
      filters_ok = filters_ok && torvi_filter_enable(dev, TORVI_FILTER_AUTO_INTG, &arg, 0) == 1;
    }
    if (sc.integration_us != 0) {
      torvi_param_t p{};
      p.number = 13;
      p.len = 2;
      p.value[0] = static_cast<uint8_t>(sc.integration_us);
      p.value[1] = static_cast<uint8_t>(sc.integration_us >> 8);
      filters_ok = filters_ok && torvi_param_batch_set(dev, &p, 1);
    }
    if (!filters_ok) res.failure = "the driver refused a filter";
    const size_t room = 4u << 20;
    std::vector<uint8_t> raw(room);
    std::vector<float> dist, pcl;
    std::vector<uint16_t> truth, truth_img;
    double sum_sq = 0, valid_sum = 0;
    std::vector<double> errors;
    size_t measured = 0;
    kx_calib_len_map_t map{};
    if (res.failure.empty() && !torvi_cap_start(dev)) res.failure = "capture does not start";
    for (int f = 0; res.failure.empty() && f < sc.frames + 2; ++f) {
      torvi_frame_info_t info{};
      if (torvi_cap_get_frames(dev, 1, raw.data(), static_cast<int>(room), &info) != 1) {
        res.failure = "no frame";
        break;
      }
      const int w = static_cast<int>(info.width), h = static_cast<int>(info.height);
      const size_t px = static_cast<size_t>(w) * static_cast<size_t>(h);
      dist.resize(px);
      if (torvi_frame_get_distance(dev, dist.data(), static_cast<int>(px), raw.data(),
                                   static_cast<int>(info.frame_size),
                                   &info) != static_cast<int>(px)) {
        res.failure = "decode failed";
        break;
      }
      truth.resize(px);
      torvi_vcam_ground_truth(cam, truth.data(), static_cast<uint32_t>(px));
      truth_img = truth;
      if (sc.undistort) {
        // The truth seen through the same undistortion as the image.
        if (!map.ready) {
          torvi_lens_param_t lens{};
          torvi_drv_t *drv = torvi_dev_get_drv(dev);
          if (drv == nullptr || drv->ops->lens_param_get == nullptr ||
              !drv->ops->lens_param_get(drv, &lens, w, h) ||
              kx_calib_len_init_map(&map, &lens) <= 0) {
            res.failure = "no lens map";
            break;
          }
        }
        kx_calib_len_undistort_u16(&map, truth_img.data(), static_cast<int>(px), truth.data(), w, h,
                                   0);
      }
      double frame_sq = 0;
      size_t with_truth = 0, valid = 0;
      for (size_t i = 0; i < px; ++i) {
        const double t = truth_img[i];
        if (t <= 0 || t >= 60000) continue;
        ++with_truth;
        const double d = static_cast<double>(dist[i]);
        if (!(d > 0 && d < 60)) continue;
        ++valid;
        const double e = d * 1000.0 - t;
        if (f >= 2) {
          errors.push_back(e);
          sum_sq += e * e;
        }
        frame_sq += e * e;
      }
      const double share =
          with_truth ? static_cast<double>(valid) / static_cast<double>(with_truth) : 0;
      res.valid_per_frame.push_back(share);
      if (f < 2) continue;
      valid_sum += share;
      ++measured;
      if (valid > 0)
        res.worst_rms_mm =
            std::max(res.worst_rms_mm, std::sqrt(frame_sq / static_cast<double>(valid)));
      if (!sc.shapes && f == sc.frames + 1) {
        pcl.resize(3 * px);
        const int n = torvi_frame_get_pcl(dev, pcl.data(), static_cast<int>(pcl.size()),
                                          dist.data(), static_cast<int>(px), w, h, nullptr);
        res.planarity = plane_residual(pcl, static_cast<size_t>(std::max(n, 0)));
      }
    }
    torvi_cap_stop(dev);
    kx_calib_len_uninit_map(&map);
    torvi_dev_close(dev);
    if (res.failure.empty() && !errors.empty() && measured > 0) {
      std::nth_element(errors.begin(),
                       errors.begin() + static_cast<std::ptrdiff_t>(errors.size() / 2),
                       errors.end());
      res.median_mm = errors[errors.size() / 2];
      res.rms_mm = std::sqrt(sum_sq / static_cast<double>(errors.size()));
      res.valid_share = valid_sum / static_cast<double>(measured);
      res.ok = true;
    } else if (res.failure.empty()) {
      res.failure = "no valid pixel";
    }
  }
  torvi_vcam_enable(0);
  torvi_vcam_destroy(cam);
  return res;
}

}  // namespace torvi_accuracy
