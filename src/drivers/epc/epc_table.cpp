// Operation table of the EPC entries.
#include <torvi/epc_decode.h>
#include <torvi/epc_driver.h>
#include <torvi/torvi_drv.h>

#include "drivers/epc/epc_driver_internal.h"

extern "C" {

const torvi_drv_ops_t g_torvi_driver_op_epc = {
    .init = epc_init,
    .uninit = torvi::epc::epc_uninit,
    .frame_get_info = epc_frame_get_info,
    .frame_decode = epc_frame_decode,
    .lens_param_get = epc_lens_param_get,
    .reserved5 = torvi::epc::epc_reserved5,
    .config_reset = torvi::epc::epc_config_reset,
    .calib_save = epc_calib_save,
    .reserved8 = torvi::epc::epc_reserved8,
    .filter_enable = torvi::epc::epc_filter_enable,
    .filter_disable = torvi::epc::epc_filter_disable,
    .empty = {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // extern "C"
