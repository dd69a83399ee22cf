// Dispatch of the torvi_ll_ calls to the USB transport.
#include <atomic>

#include "torvi_ll.h"

namespace {
// libusb log level applied to contexts created from now on.
std::atomic<unsigned> g_usb_debug_level{0};

unsigned usb_level_for(unsigned level) {
  static constexpr unsigned kMap[6] = {4, 4, 3, 2, 1, 0};
  return level < 6 ? kMap[level] : 0;
}
}  // namespace

extern "C" TORVI_API unsigned torvi_ll_set_debug(unsigned level) {
  const unsigned usb = usb_level_for(level);
  g_usb_debug_level.store(usb);
  return usb;
}
