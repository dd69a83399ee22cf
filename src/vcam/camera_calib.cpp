// The virtual camera's calibration: its package and chip identity.
#include "vcam/calib_package.h"
#include "vcam/camera.h"
#include "vcam/camera_impl.h"

namespace torvi::vcam {

const std::vector<uint8_t> &Camera::Impl::upload_package() {
  if (!cfg.upload_block.empty()) return cfg.upload_block;
  TofModel &m = model();
  if (calib_pkg_model_gen != model_gen || calib_pkg.empty()) {
    calib_pkg = make_calibration_package(cfg, m);
    calib_pkg_model_gen = model_gen;
  }
  return calib_pkg;
}

void Camera::set_calibration(const CalibrationPlan &plan) {
  std::lock_guard lock(impl_->mu);
  impl_->cfg.calibration = plan;
  impl_->calib_pkg.clear();
}

void Camera::set_chip(uint16_t part_version, uint16_t chip_id, uint16_t wafer_id) {
  std::lock_guard lock(impl_->mu);
  impl_->cfg.part_version = part_version;
  impl_->cfg.chip_id = chip_id;
  impl_->cfg.wafer_id = wafer_id;
  impl_->calib_pkg.clear();
}

std::vector<uint8_t> Camera::calibration_package() {
  std::lock_guard lock(impl_->mu);
  return impl_->upload_package();
}

}  // namespace torvi::vcam
