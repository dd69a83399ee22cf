// The one seam between the USB transport and libusb.
//
// The transport calls libusb only through this table. The production binding
// (`usb_backend_libusb()`) forwards each slot to the libusb function of the
// same name; the virtual camera provides an in-process binding with the same
// contract (`torvi::vcam::usb_backend_virtual()`). Nothing above this table
// knows which binding is in use.
//
// Opaque handles (libusb_context, libusb_device, libusb_device_handle) are
// only ever passed back to the binding that produced them. `libusb_transfer`
// is libusb's public record: a binding allocates it in `alloc_transfer`, and
// the transport fills it (libusb_fill_* helpers) and reads its status and
// actual_length in the callback.
#pragma once

#include <libusb.h>
#include <sys/time.h>

#include <cstdint>

namespace torvi::usb {

struct Backend {
  const char *name;  // "libusb" or "virtual"

  // Creates a context. 0 or a negative LIBUSB_ERROR code. Any thread.
  int (*init)(libusb_context **ctx);
  // Destroys a context whose devices are all closed. Any thread.
  void (*exit)(libusb_context *ctx);
  // Sets the log level (0 none .. 4 debug) of a context.
  void (*set_debug)(libusb_context *ctx, int level);

  // Lists the attached devices; returns the count or a negative error. The
  // list is NULL-terminated and must be released with free_device_list.
  ssize_t (*get_device_list)(libusb_context *ctx, libusb_device ***list);
  // Releases a list; unref_devices nonzero drops the list's references.
  void (*free_device_list)(libusb_device **list, int unref_devices);
  // Reads the cached device descriptor. 0 or a negative error.
  int (*get_device_descriptor)(libusb_device *dev, libusb_device_descriptor *desc);
  uint8_t (*get_bus_number)(libusb_device *dev);
  uint8_t (*get_port_number)(libusb_device *dev);
  uint8_t (*get_device_address)(libusb_device *dev);
  // A LIBUSB_SPEED_ value.
  int (*get_device_speed)(libusb_device *dev);

  // Opens a listed device. 0, LIBUSB_ERROR_ACCESS (held elsewhere),
  // LIBUSB_ERROR_NO_DEVICE, ...
  int (*open)(libusb_device *dev, libusb_device_handle **handle);
  // Closes a handle; its transfers must have completed.
  void (*close)(libusb_device_handle *handle);
  int (*set_auto_detach_kernel_driver)(libusb_device_handle *handle, int enable);
  int (*set_configuration)(libusb_device_handle *handle, int configuration);
  int (*claim_interface)(libusb_device_handle *handle, int interface_number);
  int (*release_interface)(libusb_device_handle *handle, int interface_number);
  // Clears a stalled endpoint (synchronous). 0 or a negative error.
  int (*clear_halt)(libusb_device_handle *handle, unsigned char endpoint);

  // Allocates a zeroed transfer record (no isochronous packets here).
  libusb_transfer *(*alloc_transfer)(int iso_packets);
  // Frees a transfer that is not in flight; frees its buffer too when the
  // record carries LIBUSB_TRANSFER_FREE_BUFFER.
  void (*free_transfer)(libusb_transfer *transfer);
  // Queues a filled transfer. 0 or a negative error (NO_DEVICE after an
  // unplug, BUSY when already in flight). Any thread.
  int (*submit_transfer)(libusb_transfer *transfer);
  // Asks for an in-flight transfer to end. 0 or NOT_FOUND (not in flight).
  // A successful cancel is always followed by exactly one completion whose
  // status is LIBUSB_TRANSFER_CANCELLED (or COMPLETED/other, if it finished
  // first). Any thread.
  int (*cancel_transfer)(libusb_transfer *transfer);
  // Runs event handling: completion callbacks run only inside this call, on
  // the calling thread. Returns after an event, the time-out, or when
  // *completed becomes nonzero. 0 or a negative error.
  int (*handle_events_timeout_completed)(libusb_context *ctx, struct timeval *tv, int *completed);
};

// The production binding: real libusb.
const Backend &backend_libusb();

// The binding in use by the transport: the virtual one while virtual cameras
// are enabled, otherwise real libusb.
const Backend &active_backend();

// Binds `backend` for transport calls made from now on (links already open
// keep the binding they were opened with). NULL restores real libusb.
void set_active_backend(const Backend *backend);

}  // namespace torvi::usb
