// The production binding of the transport's libusb table.
#include "ll/usb/usb_backend.h"

namespace torvi::usb {
namespace {

int lib_init(libusb_context **ctx) { return libusb_init(ctx); }
void lib_exit(libusb_context *ctx) { libusb_exit(ctx); }
void lib_set_debug(libusb_context *ctx, int level) {
  libusb_set_option(ctx, LIBUSB_OPTION_LOG_LEVEL, level);
}
ssize_t lib_get_device_list(libusb_context *ctx, libusb_device ***list) {
  return libusb_get_device_list(ctx, list);
}
void lib_free_device_list(libusb_device **list, int unref) { libusb_free_device_list(list, unref); }
int lib_get_device_descriptor(libusb_device *dev, libusb_device_descriptor *desc) {
  return libusb_get_device_descriptor(dev, desc);
}
uint8_t lib_get_bus_number(libusb_device *dev) { return libusb_get_bus_number(dev); }
uint8_t lib_get_port_number(libusb_device *dev) { return libusb_get_port_number(dev); }
uint8_t lib_get_device_address(libusb_device *dev) { return libusb_get_device_address(dev); }
int lib_get_device_speed(libusb_device *dev) { return libusb_get_device_speed(dev); }
int lib_open(libusb_device *dev, libusb_device_handle **h) { return libusb_open(dev, h); }
void lib_close(libusb_device_handle *h) { libusb_close(h); }
int lib_set_auto_detach(libusb_device_handle *h, int enable) {
  return libusb_set_auto_detach_kernel_driver(h, enable);
}
int lib_set_configuration(libusb_device_handle *h, int c) { return libusb_set_configuration(h, c); }
int lib_claim_interface(libusb_device_handle *h, int i) { return libusb_claim_interface(h, i); }
int lib_release_interface(libusb_device_handle *h, int i) { return libusb_release_interface(h, i); }
int lib_clear_halt(libusb_device_handle *h, unsigned char ep) { return libusb_clear_halt(h, ep); }
libusb_transfer *lib_alloc_transfer(int iso) { return libusb_alloc_transfer(iso); }
void lib_free_transfer(libusb_transfer *t) { libusb_free_transfer(t); }
int lib_submit_transfer(libusb_transfer *t) { return libusb_submit_transfer(t); }
int lib_cancel_transfer(libusb_transfer *t) { return libusb_cancel_transfer(t); }
int lib_handle_events(libusb_context *ctx, struct timeval *tv, int *completed) {
  return libusb_handle_events_timeout_completed(ctx, tv, completed);
}

const Backend kLibusb = {
    .name = "libusb",
    .init = lib_init,
    .exit = lib_exit,
    .set_debug = lib_set_debug,
    .get_device_list = lib_get_device_list,
    .free_device_list = lib_free_device_list,
    .get_device_descriptor = lib_get_device_descriptor,
    .get_bus_number = lib_get_bus_number,
    .get_port_number = lib_get_port_number,
    .get_device_address = lib_get_device_address,
    .get_device_speed = lib_get_device_speed,
    .open = lib_open,
    .close = lib_close,
    .set_auto_detach_kernel_driver = lib_set_auto_detach,
    .set_configuration = lib_set_configuration,
    .claim_interface = lib_claim_interface,
    .release_interface = lib_release_interface,
    .clear_halt = lib_clear_halt,
    .alloc_transfer = lib_alloc_transfer,
    .free_transfer = lib_free_transfer,
    .submit_transfer = lib_submit_transfer,
    .cancel_transfer = lib_cancel_transfer,
    .handle_events_timeout_completed = lib_handle_events,
};

}  // namespace

const Backend &backend_libusb() { return kLibusb; }

}  // namespace torvi::usb
