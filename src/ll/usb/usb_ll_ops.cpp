// The USB transport's operation table and its process-wide settings.
#include <atomic>

#include "ll/usb/usb_ll.h"

namespace {
// libusb log level applied to contexts created from now on.
std::atomic<unsigned> g_usb_debug_level{0};
}  // namespace

bool usb_ll_init() { return true; }

void usb_ll_uninit() {}

unsigned usb_ll_set_debug(unsigned level) {
  static constexpr unsigned kMap[6] = {4, 4, 3, 2, 1, 0};
  const unsigned usb = level < 6 ? kMap[level] : 0;
  g_usb_debug_level.store(usb);
  return usb;
}

unsigned usb_ll_debug_level() { return g_usb_debug_level.load(); }

namespace torvi::usb {

// The binding switch lives with the operation table, so that it is linked
// whenever the transport is (a weak stand-in elsewhere must never win).
namespace {
std::atomic<const Backend *> g_active{nullptr};
}  // namespace

const Backend &active_backend() {
  const Backend *b = g_active.load(std::memory_order_acquire);
  return b != nullptr ? *b : backend_libusb();
}

void set_active_backend(const Backend *backend) {
  g_active.store(backend, std::memory_order_release);
}

const char *error_name(int code) {
  switch (code) {
    case LIBUSB_SUCCESS:
      return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    case LIBUSB_ERROR_IO:
      return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
      return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
      return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
      return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
      return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
      return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
      return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
      return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
      return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
      return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
      return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
      return "LIBUSB_ERROR_OTHER";
    default:
      return "**UNKNOWN**";
  }
}

}  // namespace torvi::usb

extern "C" TORVI_API const torvi_ll_op_t ll_op_usb = {
    .init = usb_ll_init,
    .uninit = usb_ll_uninit,
    .set_debug = usb_ll_set_debug,
    .dev_open = usb_ll_dev_open,
    .dev_open_by_fd = usb_ll_dev_open_by_fd,
    .dev_close = usb_ll_dev_close,
    .dev_list = usb_ll_dev_list,
    .exe_cmd = usb_ll_exe_cmd,
    .check_last_cmd = usb_ll_check_last_cmd,
    .cap_abort = usb_ll_cap_abort,
    .cap_start = usb_ll_cap_start,
    .cap_stop = usb_ll_cap_stop,
    .dev_reset = usb_ll_dev_reset,
    .reg_write = usb_ll_reg_write,
    .reg_read = usb_ll_reg_read,
    .param_set = usb_ll_param_set,
    .param_get = usb_ll_param_get,
    .end = nullptr,
};
