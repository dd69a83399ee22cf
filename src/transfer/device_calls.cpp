// The transfer calls on an open device: check it, mark it busy, run the
// work on its link.
#include <torvi/torvi_transfer.h>

#include "api/dev_internal.h"
#include "core/c_entry.h"
#include "core/log_internal.h"
#include "transfer/transfer.h"

namespace {

using torvi::transfer::Progress;

// The device's link when the device is open and not capturing; null (with
// the log line) otherwise. Call inside a BusyScope.
torvi_ll_t *usable_link(torvi_dev_t *dev, const char *who) {
  if (!torvi::dev_is_open(dev)) {
    KX_LOG_AT(KX_LOG_DBG, who, "Wrong params\n");
    return nullptr;
  }
  if (torvi::load(dev->priv->capturing) != 0) {
    KX_LOG_AT(KX_LOG_ERR, who, "a capture is running: stop it first\n");
    return nullptr;
  }
  return &dev->priv->ll;
}

// After a write the link may have been opened again at a new address.
void refresh_descriptor(torvi_dev_t *dev, const torvi_ll_t *ll) {
  dev->bus = ll->bus;
  dev->port = ll->port;
  dev->addr = ll->addr;
  dev->speed = ll->speed;
}

int download(torvi_dev_t *dev, const char *who, const char *path, uint8_t type, uint16_t version,
             const Progress &progress) {
  torvi::BusyScope busy(dev);
  torvi_ll_t *ll = usable_link(dev, who);
  if (ll == nullptr) return -1;
  torvi::check_arg(path != nullptr, "path is NULL");
  const int rc = torvi::transfer::write_block(ll, type, version, path, progress);
  refresh_descriptor(dev, ll);
  return rc;
}

int upload(torvi_dev_t *dev, const char *who, uint8_t type, const char *path,
           const Progress &progress) {
  torvi::BusyScope busy(dev);
  torvi_ll_t *ll = usable_link(dev, who);
  if (ll == nullptr) return -1;
  return torvi::transfer::read_block(ll, type, path, progress);
}

}  // namespace

extern "C" {

TORVI_API int torvi_data_download(torvi_dev_t *dev, const char *path, uint8_t type,
                                  uint16_t version, uint32_t /*reserved*/) {
  return torvi::c_entry(
      __func__, -1, [&] { return download(dev, "torvi_data_download", path, type, version, {}); });
}

TORVI_API int torvi_firmware_upgrade(torvi_dev_t *dev, uint8_t type, uint16_t version,
                                     const char *path) {
  return torvi::c_entry(__func__, -1, [&] {
    return download(dev, "torvi_firmware_upgrade", path, type, version, {});
  });
}

TORVI_API int torvi_data_upload(torvi_dev_t *dev, uint8_t type, const char *path) {
  return torvi::c_entry(__func__, -1,
                        [&] { return upload(dev, "torvi_data_upload", type, path, {}); });
}

TORVI_API int torvi_data_download_progress(torvi_dev_t *dev, const char *path, uint8_t type,
                                           uint16_t version, torvi_xfer_progress_cb_t cb,
                                           void *arg) {
  return torvi::c_entry(__func__, -1, [&] {
    return download(dev, "torvi_data_download_progress", path, type, version, Progress{cb, arg});
  });
}

TORVI_API int torvi_firmware_upgrade_progress(torvi_dev_t *dev, uint8_t type, uint16_t version,
                                              const char *path, torvi_xfer_progress_cb_t cb,
                                              void *arg) {
  return torvi::c_entry(__func__, -1, [&] {
    return download(dev, "torvi_firmware_upgrade_progress", path, type, version, Progress{cb, arg});
  });
}

TORVI_API int torvi_data_upload_progress(torvi_dev_t *dev, uint8_t type, const char *path,
                                         torvi_xfer_progress_cb_t cb, void *arg) {
  return torvi::c_entry(__func__, -1, [&] {
    return upload(dev, "torvi_data_upload_progress", type, path, Progress{cb, arg});
  });
}

}  // extern "C"
