/* Colour maps: distances in millimetres to display colours.
 *
 * A map holds a jet-shaped ramp from dark blue to dark red over a
 * configurable range; near distances get the red end, far ones the blue end.
 * Distance markers get fixed colours. A colour word holds red in bits 0-7,
 * green in bits 8-15 and blue in bits 16-23; bits 24-31 are zero.
 *
 * Lookups only read the map. kx_cmap_set_range writes its fields without a
 * lock: do not change the range while another thread looks colours up. */
#ifndef KX_CMAP_H
#define KX_CMAP_H

#include <stddef.h>
#include <stdint.h>
#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

/* Distance markers in 16-bit millimetre images. */
#ifndef TORVI_DIST_FILTERED
#define TORVI_DIST_FILTERED 65300 /* removed by a filter */
#endif
#ifndef TORVI_DIST_SATURATED
#define TORVI_DIST_SATURATED 65400 /* saturated pixel */
#endif
#ifndef TORVI_DIST_INVALID
#define TORVI_DIST_INVALID 65500 /* a phase sample saturated or zero */
#endif

/* Fixed colours of the markers. TORVI_DIST_FILTERED is black (0). */
#define KX_CMAP_COLOR_SATURATED 0x8000ffu /* red 255, green 0, blue 128 */
#define KX_CMAP_COLOR_INVALID 0xff0ea9u   /* red 169, green 14, blue 255 */

/* Largest table kx_cmap_init accepts (a colour per millimetre over 16 km). */
#define KX_CMAP_MAX_COUNT (1 << 24)

typedef struct kx_cmap_t {
  int32_t count;     /* number of table entries N */
  int32_t range_min; /* lower bound, millimetres */
  int32_t range_max; /* upper bound, millimetres */
  float index_scale; /* N / (range_max - range_min) */
  float gray_scale;  /* 255 / (range_max - range_min) */
  uint32_t *table;   /* N colour words, owned by the map */
} kx_cmap_t;
TORVI_STATIC_ASSERT(offsetof(kx_cmap_t, count) == 0 && offsetof(kx_cmap_t, range_min) == 4 &&
                        offsetof(kx_cmap_t, range_max) == 8 &&
                        offsetof(kx_cmap_t, index_scale) == 12 &&
                        offsetof(kx_cmap_t, gray_scale) == 16,
                    "five 32-bit words");
TORVI_STATIC_ASSERT(offsetof(kx_cmap_t, table) == (sizeof(void *) == 8 ? 24 : 20), "table");
TORVI_STATIC_ASSERT(sizeof(kx_cmap_t) == (sizeof(void *) == 8 ? 32 : 24), "size");

/* The process-wide default map: 30000 entries, created by torvi_init and
 * released by torvi_uninit. Unguarded: a range change affects all users. */
TORVI_API extern kx_cmap_t g_torvi_cmap;

/* Allocates and fills a table of `count` entries (1 ... KX_CMAP_MAX_COUNT)
 * and sets the range to 0 ... 4000. Returns the table, or NULL when the
 * table cannot be allocated, `cmap` is NULL or `count` is out of bounds
 * (then the map is left as it was). Call kx_cmap_uninit before filling the
 * same map again. */
TORVI_API uint32_t *kx_cmap_init(kx_cmap_t *cmap, int count);

/* Frees the table, if any, and leaves the map empty. NULL is ignored. */
TORVI_API void kx_cmap_uninit(kx_cmap_t *cmap);

/* Sets the range to min(a, b) ... max(a, b) and returns its width |b - a|
 * (capped at INT32_MAX). With a = b the bounds stay, the index scale becomes
 * N and the gray scale 255, and 0 is returned. -1 when `cmap` is NULL. */
TORVI_API int kx_cmap_set_range(kx_cmap_t *cmap, int a, int b);

/* Colour of a distance: the markers' fixed colours first, then the ramp for
 * range_min < value <= range_max, black otherwise (and for an empty map). */
TORVI_API uint32_t kx_cmap_get_color(const kx_cmap_t *cmap, int value);

/* Gray colour word (the same byte in all three channels): black at
 * range_min rising toward white at range_max; white above the range, black
 * below it; the saturated and invalid markers keep their colours. */
TORVI_API uint32_t kx_cmap_get_gray(const kx_cmap_t *cmap, int value);

TORVI_END_DECLS

#endif /* KX_CMAP_H */
