// Virtual camera: the device side of the command protocol on endpoint 0.
//
// Every command other than the status query becomes "the last command": its
// bRequest and the low byte of its wValue are what the next status query
// reports, with status 0x00 when it was carried out or 0xFF and a message
// when the camera refused it. Nothing a host sends can make the camera fail
// other than by that verdict (or a stall for requests that are not class
// requests to an endpoint).
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/byte_order.h"
#include "vcam/camera_impl.h"

namespace torvi::vcam {
namespace {

using torvi::usb::kReqStatus;
using torvi::usb::kTypeIn;
using torvi::usb::kTypeOut;
constexpr uint8_t kReqRegister = torvi::usb::kReqReg;
constexpr uint8_t kReqDevice = torvi::usb::kReqDev;

using torvi::get_le16;
using torvi::get_le32;
using torvi::put_le16;
using torvi::put_le32;

int put_string(std::span<uint8_t, 18> value, const std::string &s, size_t max) {
  const size_t n = std::min({s.size(), max, value.size()});
  std::memcpy(value.data(), s.data(), n);
  return static_cast<int>(n);
}

}  // namespace

int Camera::Impl::control_locked(uint8_t type, uint8_t request, uint16_t value,
                                 std::span<uint8_t> data, Clock::time_point now) {
  if (!attached_locked(now)) return LIBUSB_ERROR_NO_DEVICE;
  ++stats.control_transfers;
  if (faults.unanswered_controls > 0) {
    --faults.unanswered_controls;
    return kNoAnswer;
  }
  if (type != kTypeOut && type != kTypeIn) return LIBUSB_ERROR_PIPE;
  const bool in = type == kTypeIn;
  if (in && request == kReqStatus) {
    const int n = status_query(data);
    after_status_query(now);
    return n;
  }

  last_t = request;
  last_v = static_cast<uint8_t>(value);
  set_status(kStatusOk, "");
  if (faults.fail_next_command) {
    faults.fail_next_command = false;
    ++stats.failed_commands;
    set_status(kStatusFailed, faults.fail_message);
    return in ? 0 : static_cast<int>(data.size());
  }
  const int accepted = in ? 0 : static_cast<int>(data.size());
  if (request == kReqRegister && value == torvi::usb::kRegWrite && !in) {
    reg_write(data);
  } else if (request == kReqRegister && value == torvi::usb::kRegRead) {
    if (!in) {
      reg_read_request(data);
    } else {
      return reg_read_data(data);
    }
  } else if (request == kReqRegister && value == torvi::usb::kStreamStart && !in) {
    stream_start(data, now);
  } else if (request == kReqRegister && value == torvi::usb::kStreamStop && !in) {
    stream_stop(data);
  } else if (request == kReqDevice && value == torvi::usb::kDevReset && !in) {
    device_reset(data, now);
  } else if (request == kReqDevice && value == torvi::usb::kParamSet && !in) {
    param_set(data);
  } else if (request == kReqDevice && value == torvi::usb::kParamGet) {
    if (!in) {
      param_get_request(data);
    } else {
      return param_get_data(data);
    }
  } else if (request == kReqData) {
    return data_action(in, value, data);
  } else if (request == kReqStatus) {
    fail("status query must be device-to-host");
  } else {
    fail("unknown command 0x%02X/%u (%s)", request, value, in ? "in" : "out");
  }
  return accepted;
}

int Camera::Impl::status_query(std::span<uint8_t> data) {
  ++stats.status_queries;
  std::array<uint8_t, kStatusReplyBytes> reply{};
  reply[0] = status;
  if (faults.busy_queries > 0) {
    --faults.busy_queries;
    reply[0] = kStatusBusy;
  }
  reply[1] = last_t;
  reply[2] = last_v;
  std::memcpy(reply.data() + 3, message.data(), message.size());
  const size_t n = std::min(data.size(), reply.size());
  std::copy_n(reply.begin(), n, data.begin());
  return static_cast<int>(n);
}

// --- registers ----------------------------------------------------------------

namespace {
struct RegHeader {
  uint8_t target;
  uint32_t first;
  uint16_t bytes;
};
RegHeader parse_reg_header(std::span<const uint8_t> d) {
  return {d[0], get_le32(d.data() + 1), get_le16(d.data() + 5)};
}
}  // namespace

void Camera::Impl::reg_write(std::span<const uint8_t> data) {
  if (data.size() < kRegHeaderBytes) return fail("register write: short header (%zu)", data.size());
  const RegHeader h = parse_reg_header(data);
  if (h.bytes % 4 != 0) return fail("register write: byte count %u not whole", h.bytes);
  if (data.size() != kRegHeaderBytes + h.bytes)
    return fail("register write: %zu data bytes for count %u", data.size() - kRegHeaderBytes,
                h.bytes);
  const uint32_t count = h.bytes / 4;
  const uint32_t limit = h.target == 1 ? kSensorRegisters : kBoardRegisters;
  if (h.target >= kBoardTargets) return fail("register write: unknown target %u", h.target);
  if (h.first > limit || count > limit - h.first)
    return fail("register write: registers %u+%u out of range", h.first, count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t v = get_le32(data.data() + kRegHeaderBytes + 4 * i);
    if (h.target == 1 && v > 0xFF) return fail("register write: value 0x%X too wide", v);
  }
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t v = get_le32(data.data() + kRegHeaderBytes + 4 * i);
    if (h.target == 1) {
      sensor_regs[h.first + i] = static_cast<uint8_t>(v);
    } else {
      board_regs[size_t{h.target} * kBoardRegisters + h.first + i] = v;
    }
  }
}

void Camera::Impl::reg_read_request(std::span<const uint8_t> data) {
  pending_reg_read.reset();
  if (data.size() != kRegHeaderBytes)
    return fail("register read: header of %zu bytes", data.size());
  const RegHeader h = parse_reg_header(data);
  if (h.target >= kBoardTargets) return fail("register read: unknown target %u", h.target);
  if (h.bytes == 0 || h.bytes % 4 != 0 || h.bytes > kMaxRegReadBytes)
    return fail("register read: bad byte count %u", h.bytes);
  const uint32_t limit = h.target == 1 ? kSensorRegisters : kBoardRegisters;
  if (h.first > limit || h.bytes / 4 > limit - h.first)
    return fail("register read: registers %u+%u out of range", h.first, h.bytes / 4u);
  pending_reg_read = RegRead{h.target, h.first, h.bytes};
}

int Camera::Impl::reg_read_data(std::span<uint8_t> data) {
  if (!pending_reg_read) {
    fail("register read: no read requested");
    return 0;
  }
  const RegRead r = *pending_reg_read;
  pending_reg_read.reset();
  if (data.size() != r.bytes) {
    fail("register read: %zu bytes asked, %u requested", data.size(), r.bytes);
    return 0;
  }
  for (uint32_t i = 0; i < r.bytes / 4u; ++i) {
    uint32_t v = 0;
    if (r.target == 1) {
      v = sensor_regs[r.first + i];
    } else {
      v = board_regs[size_t{r.target} * kBoardRegisters + r.first + i];
    }
    put_le32(data.data() + 4 * i, v);
  }
  return static_cast<int>(r.bytes);
}

// --- streaming and reset ------------------------------------------------------

void Camera::Impl::stream_start(std::span<const uint8_t> data, Clock::time_point now) {
  if (data.size() != 4) return fail("stream start: %zu bytes, want 4", data.size());
  pending.clear();
  pending_off = 0;
  streaming = true;
  halted = false;
  frame_no = 0;
  upload_sent = false;
  next_due = now;
}

void Camera::Impl::stream_stop(std::span<const uint8_t> data) {
  if (data.size() != 1 || data[0] != 0xC2) return fail("stream stop: bad payload");
  stop_stream();
}

void Camera::Impl::device_reset(std::span<const uint8_t> data, Clock::time_point now) {
  if (data.size() != 4) return fail("reset: %zu bytes, want 4", data.size());
  const uint32_t target = get_le32(data.data());
  if (target > 8) return fail("reset: unknown target %u", target);
  ++stats.resets;
  switch (target) {
    case 0:  // whole board; a firmware written before takes effect now
      reset_board();
      reset_sensor_registers();
      arm_firmware_restart();
      break;
    case 1:  // sensor
      reset_sensor_registers();
      break;
    case torvi::usb::kResetUsb:  // USB interface: leave the bus and enumerate again
      stop_stream();
      absent_until = now + cfg.reset_absence;
      break;
    default:
      break;
  }
}

// --- parameters ---------------------------------------------------------------

int Camera::Impl::param_value(uint8_t pid, std::span<uint8_t, 18> v) {
  std::fill(v.begin(), v.end(), uint8_t{0});
  switch (pid) {
    case torvi::usb::kParamMode:
      v[0] = mode;
      return 1;
    case torvi::usb::kParamVendor:
      return put_string(v, cfg.vendor, 18);
    case torvi::usb::kParamProduct:
      return put_string(v, cfg.product, 18);
    case torvi::usb::kParamSerial:
      return put_string(v, cfg.serial, 18);
    case torvi::usb::kParamInfo: {
      const size_t n = std::min<size_t>(cfg.info6.size(), 8);
      std::copy_n(cfg.info6.begin(), n, v.begin());
      return static_cast<int>(n);
    }
    case torvi::usb::kParamChip:
      put_le16(&v[0], cfg.part_version);
      put_le16(&v[2], cfg.chip_id);
      put_le16(&v[4], cfg.wafer_id);
      return 6;
    case torvi::usb::kParamCalibInfo: {
      const std::vector<uint8_t> &pkg = upload_package();
      const auto size = static_cast<uint32_t>(pkg.size());
      uint16_t ck = 0;
      for (uint8_t b : pkg) ck = static_cast<uint16_t>(ck + b);
      v[0] = size > 0 && cfg.calibration.fault != CalibrationPlan::Fault::no_calibration ? 1 : 0;
      put_le32(&v[3], cfg.calib_version);
      put_le32(&v[7], size);
      put_le32(&v[11], size);
      put_le16(&v[15], ck);
      return 17;
    }
    case torvi::usb::kParamFrameRate:
      put_le32(&v[0], cfg.frame_rate);
      return 4;
    case torvi::usb::kParamIntegration:
      put_le16(&v[0], cfg.integration_us);
      return 2;
    case torvi::usb::kParamTemperatures: {
      TofModel &m = model();
      put_le16(&v[0], static_cast<uint16_t>(m.sensor_temp(frame_no)));
      put_le16(&v[2], static_cast<uint16_t>(m.board_temp(frame_no)));
      return 4;
    }
    case 17:
      put_le16(&v[0], setting17);
      v[2] = flag17;
      return 3;
    default:
      return -1;
  }
}

namespace {
std::string text(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string text(const char *fmt, ...) {
  char buf[kStatusMessageBytes];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}
}  // namespace

std::string Camera::Impl::param_check(uint8_t pid, uint8_t len, std::span<const uint8_t> v) const {
  switch (pid) {
    case torvi::usb::kParamMode:
      if (len != 1) return text("param %u: length %u, want 1", pid, len);
      if (v[0] != kModeNormal && v[0] != kModeDataUpload)
        return text("param %u: mode %u unknown", pid, v[0]);
      return {};
    case torvi::usb::kParamFrameRate: {
      if (len != 4) return text("param %u: length %u, want 4", pid, len);
      const uint32_t fps = get_le32(v.data());
      if (fps < 1 || fps > 120) return text("param %u: frame rate %u out of 1..120", pid, fps);
      return {};
    }
    case torvi::usb::kParamIntegration: {
      if (len != 2 && len != 4) return text("param %u: length %u, want 2", pid, len);
      const uint32_t t = len == 2 ? get_le16(v.data()) : get_le32(v.data());
      if (t < 1 || t > 65535) return text("param %u: time %u out of range", pid, t);
      return {};
    }
    case 17:
      if (len != 3) return text("param %u: length %u, want 3", pid, len);
      return {};
    case torvi::usb::kParamVendor:
    case torvi::usb::kParamProduct:
    case torvi::usb::kParamSerial:
    case torvi::usb::kParamInfo:
    case torvi::usb::kParamChip:
    case torvi::usb::kParamCalibInfo:
    case torvi::usb::kParamTemperatures:
      return text("param %u is read-only", pid);
    default:
      return text("param %u unknown", pid);
  }
}

void Camera::Impl::param_apply(uint8_t pid, std::span<const uint8_t> v) {
  switch (pid) {
    case torvi::usb::kParamMode:
      mode = v[0];
      upload_sent = false;
      break;
    case torvi::usb::kParamFrameRate:
      cfg.frame_rate = get_le32(v.data());
      break;
    case torvi::usb::kParamIntegration:
      cfg.integration_us = get_le16(v.data());
      break;
    case 17:
      setting17 = get_le16(v.data());
      flag17 = v[2];
      break;
    default:
      break;
  }
}

void Camera::Impl::param_set(std::span<const uint8_t> data) {
  if (data.empty() || data.size() % kParamRecordBytes != 0)
    return fail("param set: %zu bytes is no whole record", data.size());
  // Check every record before changing anything.
  for (size_t off = 0; off < data.size(); off += kParamRecordBytes) {
    const uint8_t pid = data[off], len = data[off + 1];
    if (len > 18) return fail("param %u: length %u over 18", pid, len);
    const std::string err = param_check(pid, len, data.subspan(off + 2, 18));
    if (!err.empty()) return fail("%s", err.c_str());
  }
  for (size_t off = 0; off < data.size(); off += kParamRecordBytes)
    param_apply(data[off], data.subspan(off + 2, 18));
}

void Camera::Impl::param_get_request(std::span<const uint8_t> data) {
  pending_param_ids.clear();
  if (data.empty() || data.size() % kParamRecordBytes != 0)
    return fail("param get: %zu bytes is no whole record", data.size());
  if (data.size() / kParamRecordBytes > kMaxParamGetRecords)
    return fail("param get: %zu records, at most 3", data.size() / kParamRecordBytes);
  std::array<uint8_t, 18> scratch{};
  for (size_t off = 0; off < data.size(); off += kParamRecordBytes) {
    if (param_value(data[off], scratch) < 0) return fail("param %u unknown", data[off]);
  }
  for (size_t off = 0; off < data.size(); off += kParamRecordBytes)
    pending_param_ids.push_back(data[off]);
}

int Camera::Impl::param_get_data(std::span<uint8_t> data) {
  if (pending_param_ids.empty()) {
    fail("param get: no records requested");
    return 0;
  }
  const std::vector<uint8_t> ids = std::move(pending_param_ids);
  pending_param_ids.clear();
  if (data.size() != ids.size() * kParamRecordBytes) {
    fail("param get: %zu bytes asked for %zu records", data.size(), ids.size());
    return 0;
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    uint8_t *rec = data.data() + i * kParamRecordBytes;
    std::span<uint8_t, 18> value(rec + 2, 18);
    rec[0] = ids[i];
    rec[1] = static_cast<uint8_t>(param_value(ids[i], value));
  }
  return static_cast<int>(data.size());
}

}  // namespace torvi::vcam
