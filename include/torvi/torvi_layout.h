/* Compile-time checks of the layout of exported records, written beside each
 * record's definition:
 *
 *   TORVI_STATIC_ASSERT(sizeof(torvi_frame_hdr_t) == 20, "five 32-bit words");
 *
 * C++ and C11 use their static assertion; C99 gets an array declaration
 * whose size is negative (a compile error) when the condition fails. */
#ifndef TORVI_LAYOUT_H
#define TORVI_LAYOUT_H

#include <stddef.h>

#if defined(__cplusplus)
#define TORVI_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define TORVI_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
/* Redeclaring the same array is allowed; it defines nothing. */
#define TORVI_STATIC_ASSERT(cond, msg) extern char torvi_static_assert_failed[(cond) ? 1 : -1]
#endif

#endif /* TORVI_LAYOUT_H */
