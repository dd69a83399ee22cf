// The per-pixel kernels of the EPC raw-frame decode, as pure functions over
// explicit inputs: the four planes of DCS samples of a frame, the
// calibration constants of the frame, the DRNU table. They hold no state and
// allocate nothing.
//
// A raw frame of P pixels is four planes of P 16-bit samples (DCS0 first);
// only the low 12 bits of a sample count. For one pixel with di = DCSi & 0xFFF:
//   valid     <=> 1 <= di <= 4094 for all four samples;
//   a = d2 - d0, b = d3 - d1;
//   amplitude = trunc(kx_math_sqrtf((a^2 + b^2) >> 2));
//   phase     = (kx_math_atan2_i32(b, a) + half turn) mod full turn,
// with a full turn of 30000 phase units.
//
// The distance kernels come twice: a plain reference version (`*_ref`)
// that follows the formulas one pixel at a time, and a vectorised one
// (`*_avx2` and `*_avx512`, only for CPUs with those instruction sets) that
// gives bit-identical results. The unsuffixed names pick the fastest version
// the CPU runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace torvi::epc {

inline constexpr int kPhaseTurn = 30000;
inline constexpr int kPhaseHalfTurn = 15000;
inline constexpr uint16_t kDistFiltered = 65300;  // removed by a filter or the range clip
inline constexpr uint16_t kDistInvalid = 65500;   // a sample saturated or zero
inline constexpr uint16_t kSampleMask = 0x0FFF;
inline constexpr uint16_t kSampleMax = 4094;  // 4095 is saturation
inline constexpr int kMaxDrnuDistances = 30;

// Constants of the simple distance kernel for one frame:
//   D = ((phase * range_mm) / 30000) * scale / 1000 + offset_mm,
// where offset_mm is the calibration offset less the temperature term.
struct SimpleParams {
  uint32_t range_mm = 0;
  int32_t scale = 1000;  // calibration scale x 1000
  int32_t offset_mm = 0;
};

// Constants of the DRNU distance kernel for one frame.
struct DrnuParams {
  uint32_t range_mm = 0;
  float phase_comp = 0;             // temperature compensation, subtracted from the phase
  int32_t base_phase = 0;           // phase of the first calibration distance
  float step_phase = 0;             // one calibration step in phase units
  const uint16_t *table = nullptr;  // num_dist phases per pixel, raw pixel order
  int num_dist = 0;
  // Optional: the same entries as segments, segment by segment: segment j
  // of pixel i (entry j in the low and entry j + 1 in the high half) at
  // [j * pixels + i] for j = 0 ... num_dist - 2, then the pixel's first and
  // last entries at [(num_dist - 1) * pixels + i], made by drnu_segments.
  // The vectorised kernel then reads two short runs per pixel group instead
  // of every pixel's whole row; the reference ignores it. Null: the
  // vectorised kernel reads `table`.
  const uint32_t *segments = nullptr;
};

// Memory for large tables read at scattered places: 64-byte aligned, and
// from 2 MiB up on whole 2 MiB pages where the system offers them (on small
// pages nearly every scattered read would also miss the address
// translation cache). large_page_alloc throws std::bad_alloc when out of
// memory.
void *large_page_alloc(size_t bytes);
void large_page_free(void *p) noexcept;

template <typename T>
struct LargePageAllocator {
  using value_type = T;
  LargePageAllocator() = default;
  template <typename U>
  explicit LargePageAllocator(const LargePageAllocator<U> &) noexcept {}
  T *allocate(size_t n) { return static_cast<T *>(large_page_alloc(n * sizeof(T))); }
  void deallocate(T *p, size_t) noexcept { large_page_free(p); }
  bool operator==(const LargePageAllocator &) const = default;
};

using DrnuSegmentTable = std::vector<uint32_t, LargePageAllocator<uint32_t>>;

// `table` (num_dist entries per pixel) as the images of DrnuParams::segments
// (num_dist x pixels values); empty when the table holds fewer than
// pixels x num_dist entries or num_dist < 2. May throw std::bad_alloc.
void drnu_segments(DrnuSegmentTable &out, std::span<const uint16_t> table, size_t pixels,
                   int num_dist);

// Phase and amplitude of one pixel; false (outputs untouched) when invalid.
bool pixel_phase_amp(uint16_t d0, uint16_t d1, uint16_t d2, uint16_t d3, int &phase, int &amp);

// The simple distance of a phase (both kernels' final wrap included).
uint16_t simple_distance(int phase, const SimpleParams &p);
// The DRNU-corrected distance of a phase for the pixel whose table entries
// start at `lut`.
uint16_t drnu_distance(int phase, const uint16_t *lut, const DrnuParams &p);

// Distance (mm) and amplitude of `pixels` pixels, raw order. An invalid
// pixel gets kDistInvalid as distance and kDistInvalid (simple) or 0 (DRNU)
// as amplitude. `src` holds four planes of `pixels` samples.
void dist_simple_ref(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                     const SimpleParams &p);
void dist_drnu_ref(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                   const DrnuParams &p);
// Amplitude of valid pixels, 0 for invalid ones.
void gray_ref(uint16_t *gray, const uint16_t *src, size_t pixels);

// The reference kernels from pixel `first` on (planes still of `pixels`
// samples): the vectorised kernels hand them the pixels that do not fill a
// whole vector. Plain code, out of line, so no vector instruction reaches a
// CPU that lacks it.
void dist_simple_from(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                      size_t first, const SimpleParams &p);
void dist_drnu_from(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels, size_t first,
                    const DrnuParams &p);
void gray_from(uint16_t *gray, const uint16_t *src, size_t pixels, size_t first);
// out[i] = trunc(kx_math_sqrtf(float(v[i]))) for first <= i < count.
void amplitude_of_squares_from(uint16_t *out, const int32_t *v, size_t count, size_t first);

// The same, vectorised. Callers check cpu_has_avx2() first.
void dist_simple_avx2(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                      const SimpleParams &p);
void dist_drnu_avx2(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                    const DrnuParams &p);
void gray_avx2(uint16_t *gray, const uint16_t *src, size_t pixels);
// The amplitude step alone: out[i] = trunc(kx_math_sqrtf(float(v[i]))) for
// 0 <= v[i] <= 2^23 (a sum of two squared sample differences, halved twice).
void amplitude_of_squares_avx2(uint16_t *out, const int32_t *v, size_t count);

// The same, sixteen pixels at a time. Callers check cpu_has_avx512() first.
void dist_simple_avx512(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                        const SimpleParams &p);
void dist_drnu_avx512(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                      const DrnuParams &p);
void gray_avx512(uint16_t *gray, const uint16_t *src, size_t pixels);
void amplitude_of_squares_avx512(uint16_t *out, const int32_t *v, size_t count);

bool cpu_has_avx2();
// AVX-512 F, BW, DQ and VL.
bool cpu_has_avx512();

// The kernel levels, plainest first; a test knob caps the level the
// unsuffixed kernels pick.
enum class DecodeIsa { kReference = 0, kAvx2 = 1, kAvx512 = 2 };
bool cpu_runs(DecodeIsa level);
DecodeIsa active_decode_isa();

// The fastest version the running CPU executes.
void dist_simple(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
                 const SimpleParams &p);
void dist_drnu(uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t pixels,
               const DrnuParams &p);
void gray(uint16_t *gray, const uint16_t *src, size_t pixels);

// HDR row merge in image order: each pair of rows (2r, 2r + 1) takes, column
// by column, the amplitude and distance of the row whose amplitude is larger
// (signed 16-bit comparison; on a tie row 2r + 1). `dist` may be null (gray).
void hdr_merge(uint16_t *amp, uint16_t *dist, int width, int height);

// Minimum amplitude with hysteresis: mask[i] := 1 where amp >= min_amp, := 0
// where amp + hyst < min_amp, kept otherwise; dist := kDistFiltered where the
// mask is 0.
void min_amp_hysteresis(uint16_t *dist, const uint16_t *amp, uint8_t *mask, size_t pixels,
                        uint16_t min_amp, uint16_t hyst);
// Without hysteresis: dist := kDistFiltered where amp < min_amp.
void min_amp_plain(uint16_t *dist, const uint16_t *amp, size_t pixels, uint16_t min_amp);

// Range clip: every distance v <= 60000 with v >= range_mm or v <= 100
// becomes kDistFiltered (markers above 60000 stay).
void range_clip(uint16_t *dist, size_t pixels, uint32_t range_mm);

// The three above come as plain reference versions and as AVX-512 ones (32
// pixels a step; callers check cpu_has_avx512() first); the unsuffixed names
// pick the fastest the CPU runs.
void min_amp_hysteresis_ref(uint16_t *dist, const uint16_t *amp, uint8_t *mask, size_t pixels,
                            uint16_t min_amp, uint16_t hyst);
void min_amp_plain_ref(uint16_t *dist, const uint16_t *amp, size_t pixels, uint16_t min_amp);
void range_clip_ref(uint16_t *dist, size_t pixels, uint32_t range_mm);
void min_amp_hysteresis_avx512(uint16_t *dist, const uint16_t *amp, uint8_t *mask, size_t pixels,
                               uint16_t min_amp, uint16_t hyst);
void min_amp_plain_avx512(uint16_t *dist, const uint16_t *amp, size_t pixels, uint16_t min_amp);
void range_clip_avx512(uint16_t *dist, size_t pixels, uint32_t range_mm);

// DCS balance: the share (per cent, as count * 100 / pixels) of pixels whose
// d0 + d2 and whose d1 + d3 lie within 4017 ... 4175 (both shares must
// exceed 60 for a balanced frame). `counted` pixels of `pixels` per plane
// are examined.
struct BalanceShares {
  int even_pct = 0;  // d0 + d2
  int odd_pct = 0;   // d1 + d3
};
BalanceShares dcs_balance(const uint16_t *src, size_t pixels, size_t counted);
bool dcs_balanced(const BalanceShares &s);

// Automatic integration time: sample statistics of the whole frame and the
// step they ask for.
struct IntgStats {
  uint32_t low = 0;   // samples 2 ... 511
  uint32_t high = 0;  // samples 3585 ... 4094
  uint32_t bad = 0;   // samples 0, 1 and >= 4095
  uint32_t total = 0;
  int bad_permille = 0;
};
IntgStats intg_stats(const uint16_t *samples, size_t count);
// Step in microseconds for a bad-sample threshold (per mille).
int intg_step(const IntgStats &s, int threshold_permille);
// Current time plus step, limited to 50 ... 1500 us.
int intg_next(int current_us, int step);
inline constexpr int kIntgMinUs = 50;
inline constexpr int kIntgMaxUs = 1500;

}  // namespace torvi::epc
