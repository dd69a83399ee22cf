// Operation table of the EPC entries. The EPC driver (initialisation, frame
// information, decode, lens parameters, calibration and filters) plugs its
// operations into these slots; until it does, every slot is empty and the
// callers report the operation as unsupported.
#include <torvi/epc_decode.h>
#include <torvi/torvi_drv.h>

extern "C" {

const torvi_drv_ops_t g_torvi_driver_op_epc = {
    .init = nullptr,
    .uninit = nullptr,
    .frame_get_info = nullptr,
    .frame_decode = epc_frame_decode,
    .lens_param_get = nullptr,
    .reserved5 = nullptr,
    .config_reset = nullptr,
    .calib_save = nullptr,
    .reserved8 = nullptr,
    .filter_enable = nullptr,
    .filter_disable = nullptr,
    .empty = {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // extern "C"
