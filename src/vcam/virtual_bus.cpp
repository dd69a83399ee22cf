// The list of virtual cameras on the bus.
#include "vcam/virtual_bus.h"

#include <algorithm>

namespace torvi::vcam {

VirtualBus &VirtualBus::instance() {
  static VirtualBus bus;
  return bus;
}

void VirtualBus::attach(CameraPtr camera) {
  camera->plug();
  {
    std::lock_guard lock(mu_);
    if (std::find(cameras_.begin(), cameras_.end(), camera) == cameras_.end())
      cameras_.push_back(std::move(camera));
  }
  notify();
}

void VirtualBus::detach(const Camera *camera) {
  {
    std::lock_guard lock(mu_);
    for (const auto &c : cameras_)
      if (c.get() == camera) c->unplug();
    std::erase_if(cameras_, [&](const auto &c) { return c.get() == camera; });
  }
  notify();
}

void VirtualBus::detach_all() {
  {
    std::lock_guard lock(mu_);
    for (const auto &c : cameras_) c->unplug();
    cameras_.clear();
  }
  notify();
}

std::vector<CameraPtr> VirtualBus::cameras() const {
  std::lock_guard lock(mu_);
  return cameras_;
}

bool VirtualBus::contains(const Camera *camera) const {
  std::lock_guard lock(mu_);
  return std::any_of(cameras_.begin(), cameras_.end(),
                     [&](const auto &c) { return c.get() == camera; });
}

void VirtualBus::notify() {
  // Called under the lock so that no context goes away meanwhile; a waker
  // only takes its context's lock (bus before context, never the reverse).
  std::lock_guard lock(mu_);
  for (const auto &w : wakers_) w.second();
}

int VirtualBus::add_waker(Waker waker) {
  std::lock_guard lock(mu_);
  wakers_.emplace_back(next_token_, std::move(waker));
  return next_token_++;
}

void VirtualBus::remove_waker(int token) {
  std::lock_guard lock(mu_);
  std::erase_if(wakers_, [&](const auto &w) { return w.first == token; });
}

}  // namespace torvi::vcam
