/* The per-frame record that the stream parser hands out with every frame and
 * that the chip drivers read: five 32-bit words. A plain value: whoever
 * passes one in owns it; the library copies it and keeps no pointer. */
#ifndef TORVI_FRAME_HDR_H
#define TORVI_FRAME_HDR_H

#include <stddef.h>
#include <stdint.h>
#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

typedef struct torvi_frame_hdr {
  uint32_t frlen;      /* frame data length in bytes */
  uint16_t fridx;      /* frame index */
  uint16_t frfmt;      /* frame format */
  uint16_t width;      /* stream header bytes 16..17 */
  uint16_t height;     /* stream header bytes 18..19 */
  int16_t sensor_temp; /* tenths of a degree Celsius, stream header bytes 20..21 */
  int16_t illum_temp;  /* illumination board, tenths of a degree Celsius, bytes 22..23 */
  uint32_t extra;      /* further frame word, stream header bytes 24..27; not read by drivers */
} torvi_frame_hdr_t;

TORVI_STATIC_ASSERT(sizeof(torvi_frame_hdr_t) == 20, "torvi_frame_hdr_t is five 32-bit words");
TORVI_STATIC_ASSERT(offsetof(torvi_frame_hdr_t, fridx) == 4, "fridx offset");
TORVI_STATIC_ASSERT(offsetof(torvi_frame_hdr_t, frfmt) == 6, "frfmt offset");
TORVI_STATIC_ASSERT(offsetof(torvi_frame_hdr_t, width) == 8, "width offset");
TORVI_STATIC_ASSERT(offsetof(torvi_frame_hdr_t, sensor_temp) == 12, "sensor_temp offset");
TORVI_STATIC_ASSERT(offsetof(torvi_frame_hdr_t, extra) == 16, "extra offset");

TORVI_END_DECLS

#endif /* TORVI_FRAME_HDR_H */
