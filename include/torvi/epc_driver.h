/* The EPC chip driver's operations, as they sit in g_torvi_driver_op_epc,
 * and the adapter that binds the chip library to a camera.
 *
 * `drv` is the record the device layer passes (torvi_dev_get_drv of the
 * open device): each camera keeps its own driver state, chip configuration,
 * calibration tables and lens. Call an operation only for an open device,
 * one call at a time per device. */
#ifndef TORVI_EPC_DRIVER_H
#define TORVI_EPC_DRIVER_H

#include <stdbool.h>
#include <torvi/kx_lens.h>
#include <torvi/torvi_drv.h>
#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

struct torvi_dev;

/* Creates the camera's driver state, reads "lens_param.txt" from the path
 * prefix, builds the undistortion map and starts the chip library on the
 * camera. False (state released) when memory runs out, the product string
 * has no third field or the chip information cannot be read. */
TORVI_API bool epc_init(torvi_drv_t *drv, struct torvi_dev *dev);
/* Frame information from the stream parser's per-frame record; false (out
 * all zero) when the frame length is not whole pixels. */
TORVI_API bool epc_frame_get_info(torvi_drv_t *drv, torvi_frame_info_t *finfo,
                                  const torvi_frame_hdr_t *hdr);
/* Makes the calibration files available (downloading the camera's package
 * when they are missing) and loads them: 0, or -1. */
TORVI_API int epc_calib_save(torvi_drv_t *drv, void *buf, int len, int mode);
/* The camera's lens scaled to width x height (which must divide the lens
 * size). */
TORVI_API bool epc_lens_param_get(torvi_drv_t *drv, torvi_lens_param_t *out, int width, int height);
/* dev: makes the open camera the chip library's default device and sets up
 * its chip. NULL: the stand-alone start (initialises the library and opens
 * the first camera itself). */
TORVI_API bool epc_adapter_init(struct torvi_dev *dev);
/* Closes a camera that the stand-alone start opened; forgets the default
 * device. */
TORVI_API void epc_adapter_uninit(void);

/* The lens record of the default device (built-in defaults before any
 * "lens_param.txt" is read). */
TORVI_API extern torvi_lens_param_t g_torvi_lens_param;

TORVI_END_DECLS

#endif /* TORVI_EPC_DRIVER_H */
