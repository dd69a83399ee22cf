/* libtorvi: USB time-of-flight depth cameras.
 *
 * The chief public header: it includes every module header of the public
 * interface. Everything here has C linkage and may be used from C and C++.
 * The application owns every record and buffer it passes in; the library
 * owns what it allocates behind an open device. */
#ifndef TORVI_H
#define TORVI_H

#include "kx_cmap.h"
#include "kx_filter.h"
#include "kx_lens.h"
#include "kx_math.h"
#include "kx_stream.h"
#include "kx_vecmath.h"
#include "torvi_cap.h"
#include "torvi_dev.h"
#include "torvi_dev_priv.h"
#include "torvi_drv.h"
#include "torvi_export.h"
#include "torvi_frame.h"
#include "torvi_frame_hdr.h"
#include "torvi_ll.h"
#include "torvi_log.h"
#include "torvi_vcam.h"
#include "torvi_zip.h"

#endif /* TORVI_H */
