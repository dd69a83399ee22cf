// The torvi_vcam_ calls for the camera's data blocks and their faults.
#include <torvi/torvi_vcam.h>

#include <cstring>
#include <vector>

#include "core/c_entry.h"
#include "core/log_internal.h"
#include "vcam/handles.h"

namespace {

torvi::vcam::CameraPtr camera(torvi_vcam_t *h) {
  torvi::vcam::CameraPtr cam = torvi::vcam::camera_of_handle(h);
  torvi::check_arg(static_cast<bool>(cam), "unknown camera %p", static_cast<void *>(h));
  return cam;
}

}  // namespace

using torvi::check_arg;

extern "C" {

TORVI_API int torvi_vcam_set_block(torvi_vcam_t *h, uint8_t type, uint16_t version,
                                   const void *data, uint32_t len) {
  return torvi::c_entry(__func__, -1, [&] {
    auto cam = camera(h);
    check_arg(type < torvi::vcam::kFlashTypes, "type %u (0..%u)", type,
              torvi::vcam::kFlashTypes - 1);
    check_arg(data != nullptr || len == 0, "no data for %u bytes", len);
    check_arg(len <= torvi::vcam::FlashStore::capacity_of(type), "%u bytes do not fit type %u", len,
              type);
    const auto *p = static_cast<const uint8_t *>(data);
    cam->set_flash_block(type, version, std::vector<uint8_t>(p, p + len));
    return 0;
  });
}

TORVI_API int torvi_vcam_erase_block(torvi_vcam_t *h, uint8_t type) {
  return torvi::c_entry(__func__, -1, [&] {
    auto cam = camera(h);
    check_arg(type < torvi::vcam::kFlashTypes, "type %u (0..%u)", type,
              torvi::vcam::kFlashTypes - 1);
    cam->erase_flash_block(type);
    return 0;
  });
}

TORVI_API int64_t torvi_vcam_get_block(torvi_vcam_t *h, uint8_t type, uint16_t *version, void *dst,
                                       uint32_t cap) {
  return torvi::c_entry(__func__, int64_t{-1}, [&] {
    auto cam = camera(h);
    check_arg(type < torvi::vcam::kFlashTypes, "type %u (0..%u)", type,
              torvi::vcam::kFlashTypes - 1);
    const torvi::vcam::FlashBlock b = cam->flash_block(type);
    if (version != nullptr) *version = b.version;
    if (!b.valid) return int64_t{torvi::vcam::kFlashNoData};
    check_arg(dst != nullptr || b.data.empty() || cap == 0, "no room for the block");
    if (dst != nullptr) std::memcpy(dst, b.data.data(), std::min<size_t>(cap, b.data.size()));
    return static_cast<int64_t>(b.data.size());
  });
}

TORVI_API int torvi_vcam_flash_fault(torvi_vcam_t *h, int kind, uint32_t a) {
  return torvi::c_entry(__func__, -1, [&] {
    auto cam = camera(h);
    torvi::vcam::FlashFaults f = cam->flash_faults();
    switch (kind) {
      case TORVI_VCAM_FLASH_CLEAR:
        f = {};
        break;
      case TORVI_VCAM_FLASH_REFUSE_CHUNK:
        f.refuse_chunk = a;
        break;
      case TORVI_VCAM_FLASH_BAD_CRC:
        f.corrupt_chunk = a;
        break;
      case TORVI_VCAM_FLASH_SKIP_ACK:
        f.skip_after_chunk = a;
        break;
      case TORVI_VCAM_FLASH_UNPLUG_AT_CHUNK:
        f.unplug_at_chunk = a;
        break;
      case TORVI_VCAM_FLASH_FAIL_PAYLOAD:
        f.fail_payload_piece = a;
        break;
      case TORVI_VCAM_FLASH_ENDLESS_ERASE:
        f.endless_erase = a != 0;
        break;
      case TORVI_VCAM_FLASH_ERASE_ACKS:
        f.erase_acks = a;
        break;
      case TORVI_VCAM_FLASH_STAY_AWAY:
        f.stay_away = a != 0;
        break;
      default:
        check_arg(false, "unknown flash fault %d", kind);
    }
    cam->set_flash_faults(f);
    return 0;
  });
}

TORVI_API int torvi_vcam_firmware_version(torvi_vcam_t *h) {
  return torvi::c_entry(__func__, -1,
                        [&] { return static_cast<int>(camera(h)->firmware_version()); });
}

}  // extern "C"
