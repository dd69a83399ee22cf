// Shared ownership of a virtual camera: the bus, open handles and the public
// handles each hold a reference; the camera goes when the last one does.
// The library makes cameras with an intrusive count (CameraPtr::make), as a
// std::shared_ptr made here would export the standard library's control-block
// type information from the shared library. A std::shared_ptr<Camera> made
// by the caller converts implicitly and is shared as it is.
#pragma once

#include <atomic>
#include <memory>

#include "vcam/camera.h"

namespace torvi::vcam {

class CameraPtr {
 public:
  CameraPtr() = default;
  static CameraPtr make(CameraConfig config = {}) {
    CameraPtr p;
    p.block_ = std::make_unique<Block>(std::move(config)).release();
    return p;
  }
  CameraPtr(std::shared_ptr<Camera> shared) : shared_(std::move(shared)) {}  // NOLINT: implicit
  CameraPtr(const CameraPtr &o) : block_(o.block_), shared_(o.shared_) {
    if (block_) block_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  CameraPtr(CameraPtr &&o) noexcept : block_(o.block_), shared_(std::move(o.shared_)) {
    o.block_ = nullptr;
  }
  CameraPtr &operator=(CameraPtr o) noexcept {
    std::swap(block_, o.block_);
    std::swap(shared_, o.shared_);
    return *this;
  }
  ~CameraPtr() {
    if (block_ && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
      std::unique_ptr<Block> last(block_);
  }
  Camera *get() const { return block_ ? &block_->cam : shared_.get(); }
  Camera *operator->() const { return get(); }
  Camera &operator*() const { return *get(); }
  explicit operator bool() const { return get() != nullptr; }
  friend bool operator==(const CameraPtr &a, const CameraPtr &b) { return a.get() == b.get(); }

 private:
  struct Block {
    explicit Block(CameraConfig c) : cam(std::move(c)) {}
    std::atomic<int> refs{1};
    Camera cam;
  };
  Block *block_ = nullptr;
  std::shared_ptr<Camera> shared_;
};

}  // namespace torvi::vcam
