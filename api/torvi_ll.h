/* Low-level transport calls (torvi_ll_). */
#ifndef TORVI_LL_H
#define TORVI_LL_H

#include "torvi_export.h"

TORVI_BEGIN_DECLS

/* Maps the library log level (0 TRC .. 5 off) to a libusb log level, stores
 * it for contexts created later and returns the stored libusb level. */
TORVI_API unsigned torvi_ll_set_debug(unsigned level);

TORVI_END_DECLS

#endif /* TORVI_LL_H */
