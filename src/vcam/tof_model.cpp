// Ray casting of the synthetic scene and the sample model of the sensor.
#include "vcam/tof_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace torvi::vcam {
namespace {

constexpr double kHalfLightSpeedMmPerUs = 149896229.0 / 1000.0;  // mm per us / 2

struct Ray {
  double x, y, z;  // direction with z = 1
};

// Distance t along the ray (in units of its direction) to a sphere, or inf.
double hit_sphere(const Ray &r, const Shape &s) {
  const double ox = -s.x0, oy = -s.y0, oz = -s.z0;
  const double a = r.x * r.x + r.y * r.y + r.z * r.z;
  const double b = 2.0 * (ox * r.x + oy * r.y + oz * r.z);
  const double c = ox * ox + oy * oy + oz * oz - s.r * s.r;
  const double disc = b * b - 4.0 * a * c;
  if (disc < 0) return std::numeric_limits<double>::infinity();
  const double q = std::sqrt(disc);
  const double t0 = (-b - q) / (2.0 * a);
  const double t1 = (-b + q) / (2.0 * a);
  if (t0 > 0) return t0;
  if (t1 > 0) return t1;
  return std::numeric_limits<double>::infinity();
}

// Slab test of an axis-aligned box.
double hit_box(const Ray &r, const Shape &s) {
  double tmin = 0.0, tmax = std::numeric_limits<double>::infinity();
  const double lo[3] = {std::min(s.x0, s.x1), std::min(s.y0, s.y1), std::min(s.z0, s.z1)};
  const double hi[3] = {std::max(s.x0, s.x1), std::max(s.y0, s.y1), std::max(s.z0, s.z1)};
  const double d[3] = {r.x, r.y, r.z};
  for (int i = 0; i < 3; ++i) {
    if (std::fabs(d[i]) < 1e-12) {
      if (0.0 < lo[i] || 0.0 > hi[i]) return std::numeric_limits<double>::infinity();
      continue;
    }
    double t1 = lo[i] / d[i], t2 = hi[i] / d[i];
    if (t1 > t2) std::swap(t1, t2);
    tmin = std::max(tmin, t1);
    tmax = std::min(tmax, t2);
    if (tmin > tmax) return std::numeric_limits<double>::infinity();
  }
  return tmin > 0 ? tmin : std::numeric_limits<double>::infinity();
}

// Approximately standard normal: the sum of four 16-bit uniforms, centred
// and scaled to unit variance (cheap, and exactly reproducible).
double gaussian(uint64_t seed, uint64_t a, uint64_t b) {
  const uint64_t bits = mix64(seed, a, b);
  double sum = 0;
  for (int i = 0; i < 4; ++i) sum += static_cast<double>((bits >> (16 * i)) & 0xFFFF) / 65536.0;
  return (sum - 2.0) * 1.7320508075688772;
}

// The ray that the lens maps onto the normalised image point (xd, yd): the
// distortion model inverted by fixed-point iteration.
Ray lens_ray(const SensorModel &s, double xd, double yd) {
  const double k1 = s.dcoeff[0], k2 = s.dcoeff[1], p1 = s.dcoeff[2], p2 = s.dcoeff[3],
               k3 = s.dcoeff[4];
  double x = xd, y = yd;
  if (k1 == 0 && k2 == 0 && p1 == 0 && p2 == 0 && k3 == 0) return Ray{x, y, 1.0};
  for (int i = 0; i < 40; ++i) {
    const double r2 = x * x + y * y;
    const double radial = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3));
    const double dx = 2.0 * p1 * x * y + p2 * (r2 + 2.0 * x * x);
    const double dy = p1 * (r2 + 2.0 * y * y) + 2.0 * p2 * x * y;
    if (radial <= 0.05) break;  // beyond the lens's field: keep the last ray
    const double nx = (xd - dx) / radial, ny = (yd - dy) / radial;
    const bool settled = std::fabs(nx - x) + std::fabs(ny - y) < 1e-9;
    x = nx;
    y = ny;
    if (settled) break;
  }
  return Ray{x, y, 1.0};
}

}  // namespace

double nonlinearity_mm(const SensorModel &s, double d, double range) {
  if (range <= 0 || s.nonlinearity_mm == 0) return 0.0;
  return s.nonlinearity_mm * std::sin(2.0 * std::numbers::pi * s.nonlinearity_periods * d / range);
}

uint16_t calibration_phase(const SensorModel &s, double pattern, double d, double range) {
  const double m = d + pattern + nonlinearity_mm(s, d, range);
  double frac = std::fmod(m / range, 1.0);
  if (frac < 0) frac += 1.0;
  auto ph = static_cast<long>(std::lround(frac * 30000.0));
  if (ph >= 30000) ph -= 30000;
  return static_cast<uint16_t>(ph < 1 ? 1 : ph);
}

uint64_t mix64(uint64_t seed, uint64_t a, uint64_t b) {
  uint64_t z = seed * 0x9E3779B97F4A7C15ull ^ (a + 0x632BE59BD9B4E019ull) * 0xBF58476D1CE4E5B9ull ^
               (b + 0x85EBCA77C2B2AE63ull) * 0x94D049BB133111EBull;
  for (int i = 0; i < 2; ++i) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
  }
  return z;
}

double unit_from(uint64_t bits) { return static_cast<double>(bits >> 11) / 9007199254740992.0; }

double range_mm_for(uint32_t mod_khz) {
  return mod_khz == 0 ? 0.0 : kHalfLightSpeedMmPerUs * 1000.0 / static_cast<double>(mod_khz);
}

uint32_t raw_row_of(uint32_t image_row, uint32_t height) {
  const uint32_t half = height / 2;
  return image_row < half ? 2 * (half - 1 - image_row) : 2 * (image_row - half) + 1;
}

TofModel::TofModel(const SensorModel &sensor, const Scene &scene, uint64_t seed)
    : sensor_(sensor), seed_(seed) {
  const size_t n = size_t{sensor_.width} * sensor_.height;
  distance_.resize(n);
  reflectivity_.resize(n);
  pattern_.resize(n);
  const double sx = sensor_.width / 320.0, sy = sensor_.height / 240.0;
  const double fx = sensor_.fx * sx, fy = sensor_.fy * sy;
  const double cx = sensor_.cx * sx, cy = sensor_.cy * sy;
  double pattern_sum = 0;
  for (uint32_t v = 0; v < sensor_.height; ++v) {
    for (uint32_t u = 0; u < sensor_.width; ++u) {
      const size_t p = size_t{v} * sensor_.width + u;
      const Ray ray = lens_ray(sensor_, (u - cx) / fx, (v - cy) / fy);
      double t = scene.wall_mm > 0 ? scene.wall_mm : std::numeric_limits<double>::infinity();
      double refl = scene.wall_reflectivity;
      for (const Shape &s : scene.shapes) {
        const double ts = s.kind == Shape::Kind::sphere ? hit_sphere(ray, s) : hit_box(ray, s);
        if (ts < t) {
          t = ts;
          refl = s.reflectivity;
        }
      }
      const double norm = std::sqrt(ray.x * ray.x + ray.y * ray.y + 1.0);
      distance_[p] = std::isfinite(t) ? std::min(t * norm, 65000.0) : 65000.0;
      reflectivity_[p] = std::isfinite(t) ? refl : 0.0;
      pattern_[p] =
          (2.0 * unit_from(mix64(seed_, 0x5041545445524Eull, p)) - 1.0) * sensor_.pattern_mm;
      pattern_sum += pattern_[p];
    }
  }
  const double mean = n ? pattern_sum / static_cast<double>(n) : 0.0;
  for (double &x : pattern_) x -= mean;
}

std::vector<uint16_t> TofModel::ground_truth() const {
  std::vector<uint16_t> out(distance_.size());
  std::transform(distance_.begin(), distance_.end(), out.begin(),
                 [](double d) { return static_cast<uint16_t>(std::lround(d)); });
  return out;
}

int16_t TofModel::sensor_temp(uint32_t frame) const {
  const double rise = std::min(frame * sensor_.sensor_drift_per_frame,
                               static_cast<double>(sensor_.temp_drift_limit));
  return static_cast<int16_t>(sensor_.sensor_temp + std::lround(rise));
}

int16_t TofModel::board_temp(uint32_t frame) const {
  const double rise = std::min(frame * sensor_.board_drift_per_frame,
                               static_cast<double>(sensor_.temp_drift_limit));
  return static_cast<int16_t>(sensor_.board_temp + std::lround(rise));
}

double TofModel::drift_mm(uint32_t frame) const {
  return (sensor_temp(frame) - sensor_.sensor_temp) * sensor_.sensor_temp_coef_mm +
         (board_temp(frame) - sensor_.board_temp) * sensor_.board_temp_coef_mm;
}

const std::vector<float> &TofModel::noiseless(uint32_t mod_khz, uint16_t integration_us,
                                              double drift) {
  if (base_valid_ && base_mod_khz_ == mod_khz && base_integration_us_ == integration_us &&
      base_drift_ == drift && base_abs_ == abs_)
    return base_;
  const uint32_t w = sensor_.width, h = sensor_.height;
  const size_t plane = size_t{w} * h;
  base_.resize(4 * plane);
  const double range = range_mm_for(mod_khz);
  const double t_ms = integration_us / 1000.0;
  const double ambient = sensor_.ambient_per_ms * (abs_ ? sensor_.abs_ambient_share : 1.0);
  const double offset = sensor_.dark_level + ambient * t_ms;
  for (uint32_t v = 0; v < h; ++v) {
    const size_t raw_base = size_t{raw_row_of(v, h)} * w;
    for (uint32_t u = 0; u < w; ++u) {
      const size_t p = size_t{v} * w + u;
      const double d = distance_[p];
      const double m = d + pattern_[p] + nonlinearity_mm(sensor_, d, range) + drift;
      double frac = range > 0 ? std::fmod(m / range, 1.0) : 0.0;
      if (frac < 0) frac += 1.0;
      const double theta = 2.0 * std::numbers::pi * (frac - 0.5);
      const double dm = std::max(d, 50.0) / 1000.0;
      const double amp = sensor_.amplitude_gain * reflectivity_[p] * t_ms / (dm * dm);
      const double ac = amp * std::cos(theta), as = amp * std::sin(theta);
      const size_t q = raw_base + u;
      base_[q] = static_cast<float>(offset - ac);
      base_[plane + q] = static_cast<float>(offset - as);
      base_[2 * plane + q] = static_cast<float>(offset + ac);
      base_[3 * plane + q] = static_cast<float>(offset + as);
    }
  }
  base_valid_ = true;
  base_mod_khz_ = mod_khz;
  base_integration_us_ = integration_us;
  base_drift_ = drift;
  base_abs_ = abs_;
  ++noiseless_builds_;
  return base_;
}

const std::vector<float> &TofModel::noise_table() {
  if (noise_.empty()) {
    // Never shorter than a frame, so that no frame repeats its own noise.
    noise_.resize(std::max(kNoiseTableSize, 4 * size_t{sensor_.width} * sensor_.height));
    const uint64_t noise_seed = mix64(seed_, 0x4E4F495345ull, 0);
    for (size_t j = 0; j < noise_.size(); ++j)
      noise_[j] = static_cast<float>(sensor_.noise_lsb * gaussian(noise_seed, j, 0));
  }
  return noise_;
}

void TofModel::render(uint32_t frame, uint32_t mod_khz, uint16_t integration_us,
                      std::span<uint8_t> out) {
  const size_t n = 4 * size_t{sensor_.width} * sensor_.height;
  if (out.size() < 2 * n) return;
  const std::vector<float> &base = noiseless(mod_khz, integration_us, drift_mm(frame));
  const std::vector<float> &noise = noise_table();
  // The table is at least a frame long: at most one wrap.
  size_t off = mix64(seed_, 0x4652414D45ull, frame) % noise.size();
  size_t done = 0;
  while (done < n) {
    const size_t len = std::min(n - done, noise.size() - off);
    add_noise(base.data() + done, noise.data() + off, out.data() + 2 * done, len);
    done += len;
    off = 0;
  }
}

}  // namespace torvi::vcam
