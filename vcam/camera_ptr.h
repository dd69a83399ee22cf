// Shared ownership of a virtual camera: the bus, open handles and the public
// handles each hold a reference; the camera goes when the last one does.
// (An intrusive count rather than std::shared_ptr keeps the library from
// exporting the standard library's control-block type information.)
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
  CameraPtr(const CameraPtr &o) : block_(o.block_) {
    if (block_) block_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  CameraPtr(CameraPtr &&o) noexcept : block_(o.block_) { o.block_ = nullptr; }
  CameraPtr &operator=(CameraPtr o) noexcept {
    std::swap(block_, o.block_);
    return *this;
  }
  ~CameraPtr() {
    if (block_ && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
      std::unique_ptr<Block> last(block_);
  }
  Camera *get() const { return block_ ? &block_->cam : nullptr; }
  Camera *operator->() const { return get(); }
  Camera &operator*() const { return *get(); }
  explicit operator bool() const { return block_ != nullptr; }
  friend bool operator==(const CameraPtr &a, const CameraPtr &b) { return a.block_ == b.block_; }

 private:
  struct Block {
    explicit Block(CameraConfig c) : cam(std::move(c)) {}
    std::atomic<int> refs{1};
    Camera cam;
  };
  Block *block_ = nullptr;
};

}  // namespace torvi::vcam
