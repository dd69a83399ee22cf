// The virtual camera's flash: default contents, layout and firmware strings.
#include "vcam/flash_store.h"

#include <cstdio>

#include "core/product_string.h"

namespace torvi::vcam {
namespace {

constexpr uint32_t kFirmwareCapacity = 2u << 20;
constexpr uint32_t kDataCapacity = 4u << 20;

std::vector<uint8_t> seeded_bytes(size_t n, uint64_t seed) {
  std::vector<uint8_t> out(n);
  uint64_t x = seed * 6364136223846793005ull + 1442695040888963407ull;
  for (auto &b : out) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    b = static_cast<uint8_t>(x >> 56);
  }
  return out;
}

}  // namespace

void FlashStore::init(uint16_t fw_version, uint64_t seed) {
  blocks = {};
  blocks[0] = {fw_version, true, seeded_bytes(32 * 1024, seed)};
  blocks[1] = {0x0100, true, seeded_bytes(8 * 1024, seed + 1)};
  blocks[2] = {1, true, seeded_bytes(4 * 1024, seed + 2)};
  end_session();
}

uint32_t FlashStore::address_of(uint8_t type) {
  if (type < 2) return 0x08020000u + type * kFirmwareCapacity;
  return 0x00100000u + (type - 2u) * kDataCapacity;
}

uint32_t FlashStore::capacity_of(uint8_t type) {
  if (type >= kFlashTypes) return 0;
  return type < 2 ? kFirmwareCapacity : kDataCapacity;
}

void FlashStore::end_session() {
  phase = Phase::idle;
  next = 0;
  erase_left = 0;
  skip_in_ack = false;
  incoming.clear();
  pending_ack.reset();
  info_type.reset();
  read_pos = 0;
  pieces = 0;
  pending_piece = 0;
  restart_after_ack = false;
}

uint16_t firmware_version_of(const std::string &product) {
  const auto fields = parse_product(product);
  unsigned major = 0, minor = 0, patch = 0;
  const int n =
      fields ? std::sscanf(fields->firmware.c_str(), "%u.%u.%u", &major, &minor, &patch) : 0;
  if (n < 2 || major > 255 || minor > 15 || patch > 15) return 0x0100;
  return static_cast<uint16_t>(major << 8 | minor << 4 | patch);
}

std::string product_with_firmware(const std::string &product, uint16_t version) {
  const auto fields = parse_product(product);
  if (!fields) return product;
  char field[16];
  std::snprintf(field, sizeof field, "%u.%u.%u", version >> 8u, (version >> 4u) & 0xFu,
                version & 0xFu);
  return fields->model + "-" + fields->chip + "-" + field;
}

}  // namespace torvi::vcam
