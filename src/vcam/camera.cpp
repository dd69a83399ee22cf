// Virtual camera: life cycle, plug state, the bulk stream and inspection.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "vcam/camera_impl.h"
#include "vcam/stream_encoder.h"

namespace torvi::vcam {

Camera::Impl::Impl(CameraConfig c) : cfg(std::move(c)), id(cfg.identity) {
  reset_sensor_registers();
  reset_board();
  init_flash();
}

void Camera::Impl::reset_sensor_registers() {
  sensor_regs.fill(0);
  // Plausible reset values. 129/130 define the modulation clock: with
  // (R130 & 0x1F) = 23 and (R129 >> 4) & 3 = 0 the selectable frequencies
  // are 36000, 24000, 12000, 6000, 3000, 1500 and 750 kHz.
  sensor_regs[34] = 0x30;  // ambient-light suppression bits set
  sensor_regs[37] = 0x30;
  sensor_regs[40] = 0x30;
  sensor_regs[43] = 0x30;
  sensor_regs[128] = 63;    // modulation control (127 selects 36 MHz with 133 = 0)
  sensor_regs[129] = 0x0C;  // PLL pre-divider in bits 4..5 = 0
  sensor_regs[130] = 0x97;  // PLL multiplier - 1 in bits 0..4 = 23
  sensor_regs[133] = 1;     // divider code 1: 12 MHz
  sensor_regs[174] = 4;
}

void Camera::Impl::reset_board() {
  board_regs.assign(size_t{kBoardTargets} * kBoardRegisters, 0);
  board_regs[0] = firmware_word();  // target 0, register 0: firmware version word
  mode = kModeNormal;
  setting17 = 0;
  flag17 = 0;
  stop_stream();
  pending_reg_read.reset();
  pending_param_ids.clear();
}

void Camera::Impl::set_status(uint8_t s, const std::string &text) {
  status = s;
  message.fill(0);
  std::memcpy(message.data(), text.data(), std::min(text.size(), message.size()));
}

void Camera::Impl::fail(const char *fmt, ...) {
  char buf[kStatusMessageBytes + 1];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  ++stats.failed_commands;
  set_status(kStatusFailed, buf);
}

void Camera::Impl::refresh(Clock::time_point now) {
  if (absent_until && now >= *absent_until) {
    absent_until.reset();
    ++gen;
    if (cfg.identity.address_after_reset != 0) id.address = cfg.identity.address_after_reset;
  }
}

bool Camera::Impl::attached_locked(Clock::time_point now) {
  refresh(now);
  return plugged && !absent_until;
}

void Camera::Impl::unplug_locked() {
  plugged = false;
  stop_stream();
  halted = false;
}

TofModel &Camera::Impl::model() {
  if (!tof) {
    tof = std::make_unique<TofModel>(cfg.sensor, cfg.scene, cfg.seed);
    ++model_gen;
  }
  // Ambient-light suppression: bits 0x30 of register 34.
  tof->set_abs((sensor_regs[34] & 0x30) == 0x30);
  return *tof;
}

uint32_t Camera::Impl::mod_table_entry(unsigned entry) const {
  if (entry == 0) return 36000;
  const uint32_t r130 = sensor_regs[130], r129 = sensor_regs[129];
  const uint32_t base = ((r130 & 0x1F) + 1) * 4000 >> ((r129 >> 4) & 3);
  return base / (4u << (entry - 1));
}

uint32_t Camera::Impl::modulation_khz_locked() const {
  const uint8_t code = sensor_regs[133];
  if (code == 0) return mod_table_entry((sensor_regs[128] & 0x40) ? 0 : 1);
  // Divider codes 1, 3, 7, 15, 31 halve the frequency once more per bit.
  unsigned bits = 0;
  for (uint8_t c = code; c; c >>= 1) bits += c & 1;
  return mod_table_entry(std::min(6u, bits + 1));
}

void Camera::Impl::stop_stream() {
  streaming = false;
  pending.clear();
  pending_off = 0;
}

bool Camera::Impl::build_next_frame(Clock::time_point now) {
  pending.clear();
  pending_off = 0;
  if (mode == kModeDataUpload) {
    if (upload_sent || upload_package().empty()) return false;
    upload_sent = true;
    torvi::stream::WireHeader d;
    d.fridx = fridx++;
    d.frfmt = 171;
    TofModel &m = model();
    d.sensor_temp = m.sensor_temp(frame_no);
    d.illum_temp = m.board_temp(frame_no);
    encode_frame(upload_package(), d, cfg.stream, sidx, {}, pending);
    ++frame_no;
    ++stats.frames_sent;
    return true;
  }
  TofModel &m = model();
  std::vector<uint8_t> &raw = frame_buf;
  raw.resize(m.frame_bytes());
  m.render(frame_no, modulation_khz_locked(), cfg.integration_us, raw);
  std::vector<StreamFault> mine;
  for (const StreamFault &f : stream_faults)
    if (f.frame == frame_no) mine.push_back(f);
  if (std::any_of(mine.begin(), mine.end(),
                  [](const StreamFault &f) { return f.kind == StreamFault::Kind::skip_fridx; }))
    ++fridx;
  torvi::stream::WireHeader d;
  d.fridx = fridx++;
  d.frfmt = 2;
  d.width = static_cast<uint16_t>(m.width());
  d.height = static_cast<uint16_t>(m.height());
  d.sensor_temp = m.sensor_temp(frame_no);
  d.illum_temp = m.board_temp(frame_no);
  encode_frame(raw, d, cfg.stream, sidx, mine, pending);
  ++frame_no;
  ++stats.frames_sent;
  const auto period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(1.0 / std::max<uint32_t>(1, cfg.frame_rate)));
  next_due = std::max(next_due + period, now - period);
  return true;
}

// --- Camera ------------------------------------------------------------------

Camera::Camera(CameraConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}
Camera::~Camera() = default;

int Camera::control(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t /*wIndex*/,
                    std::span<uint8_t> data, Clock::time_point now) {
  std::lock_guard lock(impl_->mu);
  return impl_->control_locked(bmRequestType, bRequest, wValue, data, now);
}

BulkStep Camera::bulk_in(uint8_t endpoint, std::span<uint8_t> buf, Clock::time_point now) {
  std::lock_guard lock(impl_->mu);
  Impl &m = *impl_;
  BulkStep step;
  if (!m.attached_locked(now)) {
    step.kind = BulkStep::Kind::no_device;
    return step;
  }
  if (endpoint != kBulkInEndpoint) {
    step.kind = BulkStep::Kind::stall;
    return step;
  }
  if (!m.halted && m.faults.stall_bulk > 0) {
    --m.faults.stall_bulk;
    m.halted = true;
    ++m.stats.bulk_stalls;
  }
  if (m.halted) {
    step.kind = BulkStep::Kind::stall;
    return step;
  }
  if (m.faults.stall_transfers > 0) {
    --m.faults.stall_transfers;
    ++m.stats.bulk_stalls;
    step.kind = BulkStep::Kind::stall;
    return step;
  }
  if (m.faults.time_out_transfers > 0) {
    --m.faults.time_out_transfers;
    ++m.stats.bulk_time_outs;
    const size_t partial = std::min<size_t>(buf.size(), m.faults.time_out_partial_bytes);
    step = m.stream_into(buf.first(partial), now);
    if (step.kind != BulkStep::Kind::no_device) step.kind = BulkStep::Kind::timed_out;
    step.end_of_transfer = false;
    return step;
  }
  return m.stream_into(buf, now);
}

BulkStep Camera::Impl::stream_into(std::span<uint8_t> buf, Clock::time_point now) {
  Impl &m = *this;
  BulkStep step;
  step.kind = BulkStep::Kind::data;
  while (step.bytes < buf.size() && m.streaming) {
    if (m.pending_off >= m.pending.size()) {
      if (m.cfg.stream.paced && m.mode != kModeDataUpload && now < m.next_due) {
        step.next = m.next_due;
        break;
      }
      if (!m.build_next_frame(now)) break;  // upload sent: nothing more
    }
    size_t n = std::min(buf.size() - step.bytes, m.pending.size() - m.pending_off);
    if (m.faults.silent_after_bytes) n = std::min<uint64_t>(n, *m.faults.silent_after_bytes);
    if (m.faults.unplug_after_bytes) n = std::min<uint64_t>(n, *m.faults.unplug_after_bytes);
    std::copy_n(m.pending.begin() + static_cast<std::ptrdiff_t>(m.pending_off), n,
                buf.begin() + static_cast<std::ptrdiff_t>(step.bytes));
    step.bytes += n;
    m.pending_off += n;
    m.stats.stream_bytes += n;
    if (m.faults.silent_after_bytes) *m.faults.silent_after_bytes -= n;
    if (m.faults.unplug_after_bytes) *m.faults.unplug_after_bytes -= n;
    if (m.faults.unplug_after_bytes == uint64_t{0}) {
      m.faults.unplug_after_bytes.reset();
      m.unplug_locked();
      if (step.bytes == 0) step.kind = BulkStep::Kind::no_device;
      return step;
    }
    if (m.faults.silent_after_bytes == uint64_t{0}) break;
    // A paced device ends its burst with a short packet at the end of a frame.
    if (m.pending_off >= m.pending.size() && (m.cfg.stream.paced || m.mode == kModeDataUpload)) {
      step.end_of_transfer = true;
      break;
    }
  }
  if (step.bytes == 0 && !step.end_of_transfer) step.kind = BulkStep::Kind::wait;
  return step;
}

void Camera::clear_halt(uint8_t /*endpoint*/) {
  std::lock_guard lock(impl_->mu);
  impl_->halted = false;
  ++impl_->stats.clear_halts;
}

int Camera::on_open() {
  std::lock_guard lock(impl_->mu);
  if (!impl_->attached_locked(Clock::now())) return LIBUSB_ERROR_NO_DEVICE;
  if (impl_->faults.held_elsewhere) return LIBUSB_ERROR_ACCESS;
  return 0;
}

int Camera::on_claim(int interface_number) {
  std::lock_guard lock(impl_->mu);
  if (!impl_->attached_locked(Clock::now())) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number < 0 || interface_number > 1) return LIBUSB_ERROR_NOT_FOUND;
  if (interface_number == 0 && impl_->faults.fail_claim_interface0) return LIBUSB_ERROR_BUSY;
  return 0;
}

bool Camera::attached(Clock::time_point now) const {
  std::lock_guard lock(impl_->mu);
  return impl_->attached_locked(now);
}

uint64_t Camera::generation(Clock::time_point now) const {
  std::lock_guard lock(impl_->mu);
  impl_->refresh(now);
  return impl_->gen;
}

void Camera::unplug() {
  std::lock_guard lock(impl_->mu);
  impl_->unplug_locked();
}

void Camera::plug() {
  std::lock_guard lock(impl_->mu);
  if (impl_->plugged) return;
  impl_->plugged = true;
  ++impl_->gen;
  impl_->reset_board();  // plugged in again: powered up from scratch
  impl_->reset_sensor_registers();
  impl_->id = impl_->cfg.identity;
}

Identity Camera::identity() const {
  std::lock_guard lock(impl_->mu);
  impl_->refresh(Clock::now());
  return impl_->id;
}

CameraConfig Camera::config() const {
  std::lock_guard lock(impl_->mu);
  return impl_->cfg;
}

void Camera::set_scene(const Scene &scene) {
  std::lock_guard lock(impl_->mu);
  impl_->cfg.scene = scene;
  impl_->tof.reset();
}

void Camera::set_product(const std::string &product) {
  std::lock_guard lock(impl_->mu);
  impl_->cfg.product = product;
}

void Camera::set_serial(const std::string &serial) {
  std::lock_guard lock(impl_->mu);
  impl_->cfg.serial = serial;
}

void Camera::set_frame_rate(uint32_t fps) {
  std::lock_guard lock(impl_->mu);
  impl_->cfg.frame_rate = std::max<uint32_t>(1, fps);
}

void Camera::set_paced(bool paced) {
  std::lock_guard lock(impl_->mu);
  impl_->cfg.stream.paced = paced;
}

void Camera::set_seed(uint64_t seed) {
  std::lock_guard lock(impl_->mu);
  impl_->cfg.seed = seed;
  impl_->tof.reset();
}

void Camera::set_sensor(const SensorModel &sensor) {
  std::lock_guard lock(impl_->mu);
  impl_->cfg.sensor = sensor;
  impl_->tof.reset();
}

void Camera::clear_stream_faults() {
  std::lock_guard lock(impl_->mu);
  impl_->stream_faults.clear();
}

void Camera::set_upload_block(std::vector<uint8_t> block) {
  std::lock_guard lock(impl_->mu);
  impl_->cfg.upload_block = std::move(block);
}

void Camera::add_stream_fault(const StreamFault &fault) {
  std::lock_guard lock(impl_->mu);
  impl_->stream_faults.push_back(fault);
}

void Camera::set_faults(const DeviceFaults &faults) {
  std::lock_guard lock(impl_->mu);
  impl_->faults = faults;
}

DeviceFaults Camera::faults() const {
  std::lock_guard lock(impl_->mu);
  return impl_->faults;
}

void Camera::resume_sending() {
  std::lock_guard lock(impl_->mu);
  impl_->faults.silent_after_bytes.reset();
}

bool Camera::streaming() const {
  std::lock_guard lock(impl_->mu);
  return impl_->streaming;
}

uint8_t Camera::mode() const {
  std::lock_guard lock(impl_->mu);
  return impl_->mode;
}

uint32_t Camera::modulation_khz() const {
  std::lock_guard lock(impl_->mu);
  return impl_->modulation_khz_locked();
}

CameraStats Camera::stats() const {
  std::lock_guard lock(impl_->mu);
  return impl_->stats;
}

std::optional<uint32_t> Camera::reg(uint8_t target, uint32_t number) const {
  std::lock_guard lock(impl_->mu);
  if (target == 1) {
    if (number >= kSensorRegisters) return std::nullopt;
    return impl_->sensor_regs[number];
  }
  if (number >= kBoardRegisters || target >= kBoardTargets) return std::nullopt;
  return impl_->board_regs[size_t{target} * kBoardRegisters + number];
}

std::vector<uint16_t> Camera::ground_truth() const {
  std::lock_guard lock(impl_->mu);
  return impl_->model().ground_truth();
}

std::vector<uint8_t> Camera::raw_frame(uint32_t frame_number) const {
  std::lock_guard lock(impl_->mu);
  TofModel &m = impl_->model();
  std::vector<uint8_t> raw(m.frame_bytes());
  m.render(frame_number, impl_->modulation_khz_locked(), impl_->cfg.integration_us, raw);
  return raw;
}

std::vector<uint8_t> Camera::frame_bytes(uint32_t frame_number) const {
  std::vector<uint8_t> raw = raw_frame(frame_number);
  std::lock_guard lock(impl_->mu);
  TofModel &m = impl_->model();
  torvi::stream::WireHeader d;
  d.fridx = static_cast<uint16_t>(frame_number);
  d.frfmt = 2;
  d.width = static_cast<uint16_t>(m.width());
  d.height = static_cast<uint16_t>(m.height());
  d.sensor_temp = m.sensor_temp(frame_number);
  d.illum_temp = m.board_temp(frame_number);
  uint16_t sidx = 0;
  std::vector<uint8_t> out;
  encode_frame(raw, d, impl_->cfg.stream, sidx, {}, out);
  return out;
}

}  // namespace torvi::vcam
