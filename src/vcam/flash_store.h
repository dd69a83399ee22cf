// The virtual camera's flash: data blocks by type (firmware images,
// calibration data, other data), each with a version, a size and an address,
// and the camera's side of the data-block protocol (information requests,
// INFO, erase, CRC-checked chunks, acknowledgements, payload reads).
//
// Types 0 and 1 are firmware: a completed write takes effect at the next
// reset of target 0, after which the camera leaves the bus and comes back
// (type 0 with its new firmware version in the product string, parameter 6
// and board register 0). Types 2 and 3 restart the camera by themselves
// once the acknowledgement of their last chunk has been read. Types 4 to 7
// are plain data. Other types are unknown.
//
// Firmware versions: major in bits 8..15, minor in bits 4..7, patch in bits
// 0..3 (0x0143 is "1.4.3").
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ll/usb/data_protocol.h"

namespace torvi::vcam {

inline constexpr uint8_t kReqData = usb::kReqData;
inline constexpr uint32_t kFlashTypes = 8;
inline constexpr uint32_t kFlashNoData = usb::kNoData;
inline constexpr uint32_t kFlashChunkBytes = usb::kChunkBytes;
inline constexpr uint32_t kFlashPieceBytes = usb::kPieceBytes;
inline constexpr uint16_t kFlashErasedVersion = 0xFFFF;

struct FlashBlock {
  uint16_t version = 0;
  bool valid = false;  // false: information reports size 0xFFFFFFFF
  std::vector<uint8_t> data;
};

// Faults of the data-block protocol. Chunk indexes count from 0 within one
// write, payload pieces from 0 after each information request; each fault
// fires once and is then cleared.
struct FlashFaults {
  std::optional<uint32_t> refuse_chunk;        // chunk not taken: its ack says next = i
  std::optional<uint32_t> corrupt_chunk;       // a bit flips on the way: CRC fails, not taken
  std::optional<uint32_t> skip_after_chunk;    // the ack of this chunk says next = i + 2
  std::optional<uint32_t> unplug_at_chunk;     // the camera leaves the bus when it arrives
  std::optional<uint32_t> fail_payload_piece;  // this payload request fails (status 0xFF)
  bool endless_erase = false;                  // the erase never ends
  bool stay_away = false;                      // after a restart the camera does not come back
  bool no_restart = false;                     // a finished write restarts nothing
  uint32_t erase_acks = 3;                     // "erasing" acknowledgements before "ready"
};

struct FlashStats {
  uint32_t info_requests = 0;
  uint32_t announces = 0;
  uint32_t erases = 0;
  uint32_t chunks_taken = 0;
  uint32_t chunks_refused = 0;
  uint32_t payload_pieces = 0;
  uint32_t restarts = 0;
};

// The flash and the protocol state. Guarded by the camera's mutex.
struct FlashStore {
  enum class Phase : uint8_t { idle, announced, erasing, receiving, complete };

  std::array<FlashBlock, kFlashTypes> blocks;

  // The write in progress.
  Phase phase = Phase::idle;
  uint8_t type = 0;
  uint16_t version = 0;
  uint32_t size = 0;
  uint32_t next = 0;  // chunk expected next
  uint32_t erase_left = 0;
  bool skip_in_ack = false;  // the next ack reports one chunk too far
  std::vector<uint8_t> incoming;
  std::optional<uint16_t> pending_ack;  // action (4 or 5) whose reply may be read

  // Information and reads.
  std::optional<uint8_t> info_type;  // type of the last information request
  uint32_t read_pos = 0;
  uint32_t pieces = 0;
  uint32_t pending_piece = 0;  // bytes a payload request asked for

  // Restarts.
  bool firmware_pending = false;         // a firmware block waits for a reset of target 0
  std::optional<uint16_t> new_firmware;  // version that type 0 brings at the restart
  bool restart_after_ack = false;        // types 2 and 3: restart once the last ack is read
  bool reboot_after_verdict = false;     // restart after the next status query

  FlashFaults faults;
  FlashStats stats;

  // Fills the default blocks: firmware `fw_version` in type 0, a second
  // firmware in type 1, calibration data in type 2; bytes follow from `seed`.
  void init(uint16_t fw_version, uint64_t seed);
  // Where block `type` lies and how large it may be.
  static uint32_t address_of(uint8_t type);
  static uint32_t capacity_of(uint8_t type);
  // Forgets the write and the read in progress.
  void end_session();
};

// Firmware version of a product string's third field ("1.4.3" -> 0x0143);
// 0x0100 when it has no such form.
uint16_t firmware_version_of(const std::string &product);
// The product string with its third field set to the version.
std::string product_with_firmware(const std::string &product, uint16_t version);

}  // namespace torvi::vcam
