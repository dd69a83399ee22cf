// Pieces of the EPC driver shared by its source files and the operation
// table.
#pragma once

#include <torvi/torvi_dev.h>
#include <torvi/torvi_drv.h>

#include <mutex>
#include <string>

#include "drivers/epc/epc_state.h"

namespace torvi::epc {

// Feature defaults of a new state.
// The folder of the camera's calibration files: the device's path prefix
// (its own folder for a replayed recording), else the library's.
std::string files_prefix(const torvi_dev_t *dev);

void state_defaults(epc_drv_state_t &st);
// Decode constants from the chip's calibration and modulation frequency.
void derive_decode_constants(epc_drv_state_t &st);
// Binds the state's chip to the open camera: identity from parameter 7,
// chip start-up, ambient-light suppression, read-out window. The chip
// becomes the default chip. False when parameter 7 cannot be read.
bool adapter_init_device(epc_drv_state_t &st, torvi_dev_t *dev);
// Guards the process-wide description of the default device: the registry
// entries' dev and priv and g_torvi_lens_param (written by opens and closes
// on any thread).
std::mutex &default_device_mutex();
// The camera of `drv` becomes the default device of its registry entry, and
// its lens the process-wide lens record.
void publish_default_device(torvi_drv_t *drv, torvi_dev_t *dev, const epc_drv_state_t &st);
// Its lens becomes the process-wide one if it is the default device.
void publish_lens_if_default(torvi_drv_t *drv, const epc_drv_state_t &st);
// Frees the state of `drv` and clears the registry entry that names it.
void release_state(torvi_drv_t *drv);

// Operation slots.
void epc_uninit(torvi_drv_t *drv);
int epc_reserved5(torvi_drv_t *drv, ...);
int epc_config_reset(torvi_drv_t *drv, void *buf, int len, int mode);
int epc_reserved8(torvi_drv_t *drv, ...);
bool epc_filter_enable(torvi_drv_t *drv, int id, void *arg, int arg_size);
bool epc_filter_disable(torvi_drv_t *drv, int id);

}  // namespace torvi::epc
