// Operation table of the EPC entries. The EPC driver (initialisation, frame
// information, decode, lens parameters, calibration and filters) plugs its
// operations into these slots; until it does, every slot is empty and the
// callers report the operation as unsupported.
#include <torvi/torvi_drv.h>

extern "C" {

const torvi_drv_ops_t g_torvi_driver_op_epc = {};

}  // extern "C"
