// A usbdevfs emulation for umockdev that puts one virtual camera model behind
// /dev/bus/usb/001/005, so that the real libusb talks to it through ioctls.
#pragma once

#include <umockdev.h>

#include <memory>

#include "vcam/camera.h"

namespace torvi::test {

struct UsbfsCameraState;

class UsbfsCamera {
 public:
  // Adds the device (bus 1, port 3, address 5, high speed) to the testbed
  // and attaches the ioctl handler. split_bulk: no scatter-gather, so libusb
  // cuts each bulk transfer into 16 KiB URBs.
  UsbfsCamera(UMockdevTestbed *tb, std::shared_ptr<vcam::Camera> cam, bool split_bulk);
  ~UsbfsCamera();
  UsbfsCamera(const UsbfsCamera &) = delete;
  UsbfsCamera &operator=(const UsbfsCamera &) = delete;

  bool ok() const { return handler_ != nullptr; }
  unsigned clear_halts() const;
  unsigned urbs_submitted() const;

 private:
  UMockdevIoctlBase *handler_ = nullptr;
  UsbfsCameraState *state_ = nullptr;
};

}  // namespace torvi::test
