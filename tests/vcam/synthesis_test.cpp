// Frame synthesis: the kept noiseless samples follow every setting, the
// vectorised noise kernel equals the plain one, and the noise has the
// advertised statistics.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "vcam/camera.h"
#include "vcam/tof_model.h"

namespace torvi::vcam::test {
namespace {

uint16_t word(const std::vector<uint8_t> &raw, size_t i) {
  return static_cast<uint16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
}

TEST(Synthesis, NoiseKernelEqualsThePlainVersion) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> any(-300.0f, 4400.0f);
  std::uniform_int_distribution<int> level(-2, 4097);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 40; ++n) lengths.push_back(n);
  lengths.push_back(1000);
  lengths.push_back(4099);
  for (size_t n : lengths) {
    for (size_t shift = 0; shift < 3; ++shift) {  // unaligned outputs too
      std::vector<float> base(n), noise(n);
      for (size_t i = 0; i < n; ++i) {
        // A third of the values sit exactly on a half or a clip edge.
        if (i % 3 == 0) {
          base[i] = static_cast<float>(level(rng)) + 0.5f;
          noise[i] = static_cast<float>(level(rng) % 3);
        } else {
          base[i] = any(rng);
          noise[i] = any(rng) / 400.0f;
        }
      }
      std::vector<uint8_t> want(2 * n + shift, 0xEE), got(2 * n + shift, 0xEE);
      add_noise_ref(base.data(), noise.data(), want.data() + shift, n);
      add_noise(base.data(), noise.data(), got.data() + shift, n);
      ASSERT_EQ(got, want) << "n=" << n << " shift=" << shift;
    }
  }
  // The plain version's own rule on a few values.
  const float b[5] = {-7.0f, 0.49f, 10.5f, 4094.6f, 9000.0f}, z[5] = {0, 0, 0, 0, 0};
  uint8_t out[10];
  add_noise_ref(b, z, out, 5);
  const uint16_t expect[5] = {0, 0, 11, 4095, 4095};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(out[2 * i] | out[2 * i + 1] << 8, expect[i]) << i;
}

TEST(Synthesis, KeptSamplesFollowEverySettingChange) {
  CameraConfig cfg;
  cfg.sensor.width = 64;
  cfg.sensor.height = 48;
  cfg.sensor.sensor_drift_per_frame = 0.25;  // one whole step every fourth frame
  TofModel kept(cfg.sensor, cfg.scene, cfg.seed);
  struct Step {
    uint32_t frame, mod_khz;
    uint16_t integration_us;
    bool rebuild;
  };
  const Step steps[] = {
      {0, 20000, 1000, true},  {1, 20000, 1000, false}, {0, 20000, 1000, false},
      {2, 20000, 1000, true},  {3, 20000, 1000, false}, {3, 10000, 1000, true},
      {3, 10000, 500, true},   {0, 10000, 500, true},   {9, 20000, 1000, true},
      {9, 20000, 1000, false},
  };
  std::vector<uint8_t> got(kept.frame_bytes()), want(kept.frame_bytes());
  uint64_t builds = 0;
  for (const Step &s : steps) {
    kept.render(s.frame, s.mod_khz, s.integration_us, got);
    // A model with no history renders the same frame the same way.
    TofModel fresh(cfg.sensor, cfg.scene, cfg.seed);
    fresh.render(s.frame, s.mod_khz, s.integration_us, want);
    ASSERT_EQ(got, want) << "frame " << s.frame << " at " << s.mod_khz << " kHz, "
                         << s.integration_us << " us";
    builds += s.rebuild ? 1 : 0;
    EXPECT_EQ(kept.noiseless_builds(), builds) << "frame " << s.frame;
  }
  // Another scene or seed makes other samples.
  CameraConfig other = cfg;
  other.scene.wall_mm += 500;
  TofModel moved(other.sensor, other.scene, other.seed);
  moved.render(9, 20000, 1000, want);
  EXPECT_NE(got, want);
  other = cfg;
  other.seed += 1;
  TofModel reseeded(other.sensor, other.scene, other.seed);
  reseeded.render(9, 20000, 1000, want);
  EXPECT_NE(got, want);
}

TEST(Synthesis, CameraSettersReachTheKeptSamples) {
  CameraConfig cfg;
  cfg.sensor.width = 64;
  cfg.sensor.height = 48;
  Camera cam(cfg);
  const std::vector<uint8_t> before = cam.raw_frame(2);
  EXPECT_EQ(cam.raw_frame(2), before);  // kept samples, same frame
  // Each setter gives the frames of a camera made with that setting.
  CameraConfig moved = cfg;
  moved.scene.wall_mm += 700;
  cam.set_scene(moved.scene);
  EXPECT_EQ(cam.raw_frame(2), Camera(moved).raw_frame(2));
  moved.seed = 1234;
  cam.set_seed(moved.seed);
  EXPECT_EQ(cam.raw_frame(2), Camera(moved).raw_frame(2));
  moved.sensor.dark_level = 1500;
  cam.set_sensor(moved.sensor);
  const std::vector<uint8_t> after = cam.raw_frame(2);
  EXPECT_EQ(after, Camera(moved).raw_frame(2));
  EXPECT_NE(after, before);
}

TEST(Synthesis, NoiseIsUnbiasedOfItsDeviationAndFreshPerFrame) {
  CameraConfig cfg;
  cfg.sensor.noise_lsb = 2.0;
  TofModel m(cfg.sensor, cfg.scene, cfg.seed);
  const std::vector<float> base = m.noiseless(20000, 1000, 0.0);
  const size_t n = base.size();
  std::vector<uint8_t> f3(m.frame_bytes()), f4(m.frame_bytes());
  m.render(3, 20000, 1000, f3);
  m.render(4, 20000, 1000, f4);
  double sum = 0, sq = 0, cross = 0, sq4 = 0;
  size_t count = 0;
  for (size_t i = 0; i < n; ++i) {
    if (base[i] < 50 || base[i] > 4000) continue;  // no clipping
    const double r3 = word(f3, i) - base[i], r4 = word(f4, i) - base[i];
    sum += r3;
    sq += r3 * r3;
    sq4 += r4 * r4;
    cross += r3 * r4;
    ++count;
  }
  ASSERT_GT(count, n / 2);
  const double c = static_cast<double>(count);
  // Rounding adds a twelfth of a sample to the variance.
  const double want_sd = std::sqrt(4.0 + 1.0 / 12.0);
  EXPECT_NEAR(sum / c, 0.0, 0.02);
  EXPECT_NEAR(std::sqrt(sq / c), want_sd, 0.05);
  EXPECT_NEAR(std::sqrt(sq4 / c), want_sd, 0.05);
  EXPECT_LT(std::fabs(cross / std::sqrt(sq * sq4)), 0.02);  // frames independent
  // Over time, one sample varies as much as a frame does across samples.
  const size_t probe = 2 * n / 5 + 7;
  ASSERT_GT(base[probe], 50.0f);
  ASSERT_LT(base[probe], 4000.0f);
  double tsum = 0, tsq = 0;
  const int frames = 400;
  for (uint32_t f = 0; f < frames; ++f) {
    m.render(f, 20000, 1000, f3);
    const double r = word(f3, probe) - base[probe];
    tsum += r;
    tsq += r * r;
  }
  EXPECT_NEAR(tsum / frames, 0.0, 0.4);
  EXPECT_NEAR(std::sqrt(tsq / frames), want_sd, 0.3);
  EXPECT_EQ(m.noiseless_builds(), 1u);
}

TEST(Synthesis, WithoutNoiseSamplesAreTheRoundedNoiselessOnes) {
  CameraConfig cfg;
  cfg.sensor.noise_lsb = 0;
  TofModel m(cfg.sensor, cfg.scene, cfg.seed);
  const std::vector<float> base = m.noiseless(20000, 1000, 0.0);
  std::vector<uint8_t> raw(m.frame_bytes());
  m.render(7, 20000, 1000, raw);
  size_t clipped = 0;
  for (size_t i = 0; i < base.size(); ++i) {
    const double want =
        std::min(4095.0, std::max(0.0, std::floor(static_cast<double>(base[i]) + 0.5)));
    ASSERT_EQ(word(raw, i), want) << i;
    clipped += (base[i] < 0 || base[i] > 4095) ? 1 : 0;
  }
  EXPECT_LT(clipped, base.size() / 10);
}

}  // namespace
}  // namespace torvi::vcam::test
