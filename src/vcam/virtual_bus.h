// The virtual USB bus: the cameras that the in-process libusb binding
// (usb_virtual.h) enumerates. Cameras are attached in order; the device list
// shows every attached camera that is plugged in and on the bus at the time.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "vcam/camera_ptr.h"

namespace torvi::vcam {

class VirtualBus {
 public:
  static VirtualBus &instance();

  // Plugs a camera into the bus.
  void attach(CameraPtr camera);
  // Unplugs a camera and removes it (open handles then see NO_DEVICE).
  void detach(const Camera *camera);
  void detach_all();
  std::vector<CameraPtr> cameras() const;
  bool contains(const Camera *camera) const;

  // Wakes every event handler of the virtual binding, e.g. after an unplug
  // or a change of faults made behind its back.
  void notify();
  // Event handlers register a waker while their context lives.
  using Waker = std::function<void()>;
  int add_waker(Waker waker);
  void remove_waker(int token);

 private:
  mutable std::mutex mu_;
  std::vector<CameraPtr> cameras_;
  std::vector<std::pair<int, Waker>> wakers_;
  int next_token_ = 1;
};

}  // namespace torvi::vcam
