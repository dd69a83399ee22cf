// Virtual camera: the device side of the data-block actions (bRequest 0xCC)
// and the restart that follows a firmware write.
#include <algorithm>
#include <cstring>

#include "core/byte_order.h"
#include "core/crc16.h"
#include "ll/usb/data_protocol.h"
#include "vcam/camera_impl.h"

namespace torvi::vcam {
namespace {

using usb::kAckBytes;
using usb::kAckErasing;
using usb::kAckInfoOk;
using usb::kAckReady;
using usb::kActAck;
using usb::kActAnnounce;
using usb::kActChunk;
using usb::kActErase;
using usb::kActPayload;
using usb::kActShortAck;
using usb::kAnnounceBytes;
using usb::kChunkHeadBytes;
using usb::kEraseBytes;
using usb::kInfoBytes;
using usb::kPayloadRequestBytes;
using usb::kShortAckBytes;
constexpr uint16_t kActInfo = usb::kActGetInfo;

uint32_t chunk_count(uint32_t size) { return (size + kFlashChunkBytes - 1) / kFlashChunkBytes; }

bool take(std::optional<uint32_t> &fault, uint32_t at) {
  if (!fault || *fault != at) return false;
  fault.reset();
  return true;
}

}  // namespace

uint16_t Camera::Impl::firmware_version() const { return firmware_version_of(cfg.product); }

uint32_t Camera::Impl::firmware_word() const {
  const uint16_t v = firmware_version();
  return static_cast<uint32_t>(v >> 8) << 16 | ((v >> 4) & 0xFu) << 8 | (v & 0xFu);
}

void Camera::Impl::init_flash() { flash.init(firmware_version(), cfg.seed); }

void Camera::Impl::after_status_query(Clock::time_point now) {
  if (flash.reboot_after_verdict) reboot(now);
}

void Camera::Impl::arm_firmware_restart() {
  if (flash.firmware_pending) flash.reboot_after_verdict = true;
}

void Camera::Impl::reboot(Clock::time_point now) {
  if (flash.new_firmware) {
    const uint16_t v = *flash.new_firmware;
    cfg.product = product_with_firmware(cfg.product, v);
    if (cfg.info6.size() < 3) cfg.info6.resize(3);
    cfg.info6[0] = static_cast<uint8_t>(v >> 8);
    cfg.info6[1] = static_cast<uint8_t>((v >> 4) & 0xF);
    cfg.info6[2] = static_cast<uint8_t>(v & 0xF);
  }
  flash.new_firmware.reset();
  flash.firmware_pending = false;
  flash.reboot_after_verdict = false;
  flash.end_session();
  ++flash.stats.restarts;
  reset_board();
  reset_sensor_registers();
  if (flash.faults.stay_away) {
    plugged = false;
  } else {
    absent_until = now + cfg.reset_absence;
  }
}

int Camera::Impl::data_action(bool in, uint16_t action, std::span<uint8_t> data) {
  const int accepted = in ? 0 : static_cast<int>(data.size());
  if (in) {
    switch (action) {
      case kActInfo:
        return info_reply(data);
      case kActAck:
      case kActShortAck:
        return ack_reply(action, data);
      case kActPayload:
        return payload_reply(data);
      default:
        fail("data action %u cannot be read", action);
        return 0;
    }
  }
  switch (action) {
    case kActInfo:
      if (data.size() != kInfoBytes)
        return fail("info request of %zu bytes", data.size()), accepted;
      ++flash.stats.info_requests;
      flash.info_type = data[0];
      flash.read_pos = 0;
      flash.pieces = 0;
      flash.pending_piece = 0;
      break;
    case kActAnnounce:
      announce(data);
      break;
    case kActAck:
    case kActShortAck:
      if (data.size() != (action == kActAck ? kAckBytes : kShortAckBytes))
        return fail("ack request of %zu bytes", data.size()), accepted;
      flash.pending_ack = action;
      break;
    case kActErase:
      erase(data);
      break;
    case kActChunk:
      return chunk(data) ? accepted : LIBUSB_ERROR_NO_DEVICE;
    case kActPayload:
      payload_request(data);
      break;
    default:
      fail("data action %u unknown", action);
      break;
  }
  return accepted;
}

int Camera::Impl::info_reply(std::span<uint8_t> data) {
  if (data.size() != kInfoBytes || !flash.info_type) {
    fail("info: %zu bytes read, request %s", data.size(), flash.info_type ? "made" : "missing");
    return 0;
  }
  const uint8_t t = *flash.info_type;
  std::fill(data.begin(), data.end(), uint8_t{0});
  data[0] = t;
  uint32_t size = kFlashNoData;
  uint16_t version = 0;
  if (t < kFlashTypes) {
    const FlashBlock &b = flash.blocks[t];
    version = b.version;
    if (b.valid) size = static_cast<uint32_t>(b.data.size());
  }
  put_le16(&data[2], version);
  put_le32(&data[4], size);
  put_le32(&data[8], FlashStore::address_of(t));
  return static_cast<int>(kInfoBytes);
}

void Camera::Impl::announce(std::span<const uint8_t> data) {
  if (data.size() != kAnnounceBytes) return fail("INFO of %zu bytes", data.size());
  const uint8_t t = data[0];
  const uint32_t size = get_le32(&data[4]);
  if (t >= kFlashTypes) return fail("data type %u unknown", t);
  if (size == 0 || size > FlashStore::capacity_of(t))
    return fail("block of %u bytes does not fit type %u", size, t);
  flash.end_session();
  ++flash.stats.announces;
  flash.phase = FlashStore::Phase::announced;
  flash.type = t;
  flash.version = get_le16(&data[2]);
  flash.size = size;
}

void Camera::Impl::erase(std::span<const uint8_t> data) {
  if (data.size() != kEraseBytes) return fail("erase of %zu bytes", data.size());
  if (flash.phase != FlashStore::Phase::announced) return fail("erase without INFO");
  if (data[0] != flash.type || get_le32(&data[1]) != flash.size ||
      get_le32(&data[5]) != kFlashChunkBytes)
    return fail("erase does not match INFO");
  ++flash.stats.erases;
  flash.blocks[flash.type] = {kFlashErasedVersion, false, {}};
  flash.phase = FlashStore::Phase::erasing;
  flash.erase_left = flash.faults.erase_acks;
  flash.next = 0;
  flash.incoming.clear();
  flash.incoming.reserve(flash.size);
}

int Camera::Impl::ack_reply(uint16_t action, std::span<uint8_t> data) {
  const size_t want = action == kActAck ? kAckBytes : kShortAckBytes;
  if (data.size() != want || flash.pending_ack != action) {
    fail("ack %u: %zu bytes read without request", action, data.size());
    return 0;
  }
  flash.pending_ack.reset();
  uint32_t next = 0;
  uint8_t st = 0;
  switch (flash.phase) {
    case FlashStore::Phase::idle:
      break;
    case FlashStore::Phase::announced:
      st = kAckInfoOk;
      break;
    case FlashStore::Phase::erasing:
      if (flash.faults.endless_erase || flash.erase_left > 0) {
        if (flash.erase_left > 0) --flash.erase_left;
        st = kAckErasing;
        break;
      }
      flash.phase = FlashStore::Phase::receiving;
      st = kAckReady;
      break;
    case FlashStore::Phase::receiving:
    case FlashStore::Phase::complete:
      next = flash.next + (flash.skip_in_ack ? 1 : 0);
      flash.skip_in_ack = false;
      st = kAckReady;
      if (flash.restart_after_ack) flash.reboot_after_verdict = true;
      break;
  }
  std::fill(data.begin(), data.end(), uint8_t{0});
  put_le32(&data[0], next);
  data[4] = st;
  return static_cast<int>(want);
}

bool Camera::Impl::chunk(std::span<const uint8_t> data) {
  if (flash.phase != FlashStore::Phase::receiving) {
    fail("chunk without erase");
    return true;
  }
  if (data.size() < kChunkHeadBytes || get_le32(&data[2]) != data.size() - kChunkHeadBytes) {
    fail("chunk of %zu bytes: bad length", data.size());
    return true;
  }
  const uint32_t i = flash.next;
  if (take(flash.faults.unplug_at_chunk, i)) {
    unplug_locked();
    return false;
  }
  const uint64_t start = uint64_t{i} * kFlashChunkBytes;
  const uint32_t expected =
      static_cast<uint32_t>(std::min<uint64_t>(kFlashChunkBytes, flash.size - start));
  std::vector<uint8_t> body(data.begin() + kChunkHeadBytes, data.end());
  if (take(flash.faults.corrupt_chunk, i) && !body.empty()) body[body.size() / 2] ^= 0x10;
  const bool ok = start < flash.size && body.size() == expected &&
                  crc16_xmodem(body) == get_le16(&data[0]) && !take(flash.faults.refuse_chunk, i);
  if (!ok) {
    ++flash.stats.chunks_refused;
    return true;
  }
  ++flash.stats.chunks_taken;
  flash.incoming.insert(flash.incoming.end(), body.begin(), body.end());
  flash.next = i + 1;
  if (take(flash.faults.skip_after_chunk, i)) flash.skip_in_ack = true;
  if (flash.next == chunk_count(flash.size)) {
    flash.blocks[flash.type] = {flash.version, true, std::move(flash.incoming)};
    flash.incoming.clear();
    flash.phase = FlashStore::Phase::complete;
    if (flash.faults.no_restart) {
      // The restart is lost: nothing changes until the next one.
    } else if (flash.type <= 1) {
      flash.firmware_pending = true;
      if (flash.type == 0) flash.new_firmware = flash.version;
    } else if (flash.type <= 3) {
      flash.restart_after_ack = true;
    }
  }
  return true;
}

void Camera::Impl::payload_request(std::span<const uint8_t> data) {
  flash.pending_piece = 0;
  if (data.size() != kPayloadRequestBytes) return fail("payload request of %zu bytes", data.size());
  if (!flash.info_type || *flash.info_type >= kFlashTypes || !flash.blocks[*flash.info_type].valid)
    return fail("payload: no valid block selected");
  const uint32_t n = get_le32(&data[4]);
  const FlashBlock &b = flash.blocks[*flash.info_type];
  if (n == 0 || n > kFlashPieceBytes || flash.read_pos + uint64_t{n} > b.data.size())
    return fail("payload: %u bytes at %u of %zu", n, flash.read_pos, b.data.size());
  if (take(flash.faults.fail_payload_piece, flash.pieces++))
    return fail("flash read error at %u", flash.read_pos);
  flash.pending_piece = n;
}

int Camera::Impl::payload_reply(std::span<uint8_t> data) {
  if (flash.pending_piece == 0 || data.size() != flash.pending_piece || !flash.info_type) {
    fail("payload: %zu bytes read, %u requested", data.size(), flash.pending_piece);
    flash.pending_piece = 0;
    return 0;
  }
  const FlashBlock &b = flash.blocks[*flash.info_type];
  std::memcpy(data.data(), b.data.data() + flash.read_pos, data.size());
  flash.read_pos += flash.pending_piece;
  flash.pending_piece = 0;
  ++flash.stats.payload_pieces;
  return static_cast<int>(data.size());
}

// --- Camera ------------------------------------------------------------------

void Camera::set_flash_block(uint8_t type, uint16_t version, std::vector<uint8_t> data) {
  std::lock_guard lock(impl_->mu);
  if (type < kFlashTypes) impl_->flash.blocks[type] = {version, true, std::move(data)};
}

void Camera::erase_flash_block(uint8_t type) {
  std::lock_guard lock(impl_->mu);
  if (type < kFlashTypes) impl_->flash.blocks[type] = {kFlashErasedVersion, false, {}};
}

FlashBlock Camera::flash_block(uint8_t type) const {
  std::lock_guard lock(impl_->mu);
  return type < kFlashTypes ? impl_->flash.blocks[type] : FlashBlock{};
}

void Camera::set_flash_faults(const FlashFaults &faults) {
  std::lock_guard lock(impl_->mu);
  impl_->flash.faults = faults;
}

FlashFaults Camera::flash_faults() const {
  std::lock_guard lock(impl_->mu);
  return impl_->flash.faults;
}

FlashStats Camera::flash_stats() const {
  std::lock_guard lock(impl_->mu);
  return impl_->flash.stats;
}

uint16_t Camera::firmware_version() const {
  std::lock_guard lock(impl_->mu);
  return impl_->firmware_version();
}

}  // namespace torvi::vcam
