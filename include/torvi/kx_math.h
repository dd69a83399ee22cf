/* Fixed-point and fast-float maths used by the raw-frame decoders.
 *
 * Angles are in phase units: a full turn is 30000 units, so 15000 is pi,
 * 7500 is pi/2 and 3750 is pi/4. All calls are pure (no state, no
 * allocation) and may be used from any thread. */
#ifndef KX_MATH_H
#define KX_MATH_H

#include <stdint.h>
#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

#define ARCTAN2_LUT_NUM 4096

/* Entry i is atan2(i, 4095) * 30000 / (2 pi) rounded to the nearest integer:
 * entry 0 is 0, entry 4095 is 3750. Constant data. */
TORVI_API extern const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM];

/* Angle of the point (x, y) in phase units, in [0, 30000]. 30000 is returned
 * only just below the positive x axis (it stands for 0); callers reduce
 * angles modulo 30000. atan2(0, 0) is 0. The result is within 2 units of the
 * exact angle. Designed for |x|, |y| < 2^19 (differences of 12-bit samples);
 * larger inputs are still computed without overflow. */
TORVI_API int kx_math_atan2_i32(int y, int x);

/* About sqrt(v) for finite v >= 0 (relative error below 1e-5): a bit-pattern
 * guess refined by two Newton steps. For v = 0 the result is a tiny positive
 * number that truncates to 0. Negative v gives a meaningless result. */
TORVI_API float kx_math_sqrtf(float v);

/* About 1/sqrt(v) for finite v > 0 (relative error below 2e-3): a
 * bit-pattern guess refined by one Newton step. */
TORVI_API float kx_math_inv_sqrtf(float v);

/* Writes an atan2 table of lut_num entries over the denominator lut_num - 1
 * to standard output as C source text. lut_num = 4096 prints g_atan2_LUT.
 * A development aid; output from several threads may interleave. */
TORVI_API void kx_math_lut_print_arctan2(int lut_num);

TORVI_END_DECLS

#endif /* KX_MATH_H */
