/* libtorvi: USB time-of-flight depth cameras.
 *
 * The chief public header: it includes every module header of the public
 * interface. Everything here has C linkage and may be used from C and C++.
 * The application owns every record and buffer it passes in; the library
 * owns what it allocates behind an open device. */
#ifndef TORVI_H
#define TORVI_H

#include <torvi/epc_chip.h>
#include <torvi/epc_driver.h>
#include <torvi/kx_cmap.h>
#include <torvi/kx_filter.h>
#include <torvi/kx_lens.h>
#include <torvi/kx_math.h>
#include <torvi/kx_stream.h>
#include <torvi/kx_vecmath.h>
#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_dev_priv.h>
#include <torvi/torvi_drv.h>
#include <torvi/torvi_export.h>
#include <torvi/torvi_frame.h>
#include <torvi/torvi_frame_hdr.h>
#include <torvi/torvi_ll.h>
#include <torvi/torvi_log.h>
#include <torvi/torvi_record.h>
#include <torvi/torvi_transfer.h>
#include <torvi/torvi_vcam.h>
#include <torvi/torvi_zip.h>

#endif /* TORVI_H */
