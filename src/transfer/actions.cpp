// The data-transfer actions and their exported calls.
#include "transfer/actions.h"

#include <torvi/torvi_ll.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "core/c_entry.h"
#include "core/crc16.h"
#include "core/log_internal.h"
#include "transfer/wire.h"

namespace torvi::transfer {
namespace {

// One command of the action and the camera's verdict on it.
bool command(torvi_ll_t *ll, bool out, uint8_t action, void *buf, int len, unsigned timeout_ms) {
  return torvi_ll_exe_cmd(ll, out ? 1 : 0, kRequest, action, buf, len, timeout_ms) &&
         torvi_ll_check_last_cmd(ll, kRequest, action);
}

template <size_t N>
bool send_bytes(torvi_ll_t *ll, uint8_t action, std::array<uint8_t, N> bytes, unsigned timeout_ms) {
  return command(ll, true, action, bytes.data(), static_cast<int>(N), timeout_ms);
}

}  // namespace

int send_action(torvi_ll_t *ll, uint8_t action, const void *record, const uint8_t *data) {
  KX_LOG_NAME("al_data_send_action_info");
  if (record == nullptr) {
    KX_ERR("no record for action %u\n", action);
    return -1;
  }
  bool ok = false;
  switch (action) {
    case TORVI_DATA_ACT_ANNOUNCE: {
      const auto &r = *static_cast<const torvi_data_announce_t *>(record);
      KX_INF("type = %hu, version = %hu, size = %d\n", static_cast<unsigned short>(r.type),
             static_cast<unsigned short>(r.version), static_cast<int>(r.size));
      ok = send_bytes(ll, action, encode_announce(r), kAnnounceTimeoutMs);
      break;
    }
    case TORVI_DATA_ACT_ACK:
      ok = send_bytes(ll, action, encode_ack(*static_cast<const torvi_data_ack_t *>(record)),
                      kAckSendTimeoutMs);
      break;
    case TORVI_DATA_ACT_CHUNK: {
      const auto &r = *static_cast<const torvi_data_chunk_t *>(record);
      if (r.len == 0 || r.len > kChunkBytes || data == nullptr) {
        KX_ERR("chunk of %u bytes at %p refused (1..%u bytes)\n", r.len,
               static_cast<const void *>(data), kChunkBytes);
        return -1;
      }
      std::vector<uint8_t> wire(kChunkHeadBytes + r.len);
      const auto head = encode_chunk_head(r);
      std::copy(head.begin(), head.end(), wire.begin());
      std::copy(data, data + r.len, wire.begin() + kChunkHeadBytes);
      ok = command(ll, true, action, wire.data(), static_cast<int>(wire.size()), kChunkTimeoutMs);
      break;
    }
    case TORVI_DATA_ACT_ERASE:
      ok = send_bytes(ll, action, encode_erase(*static_cast<const torvi_data_erase_t *>(record)),
                      kEraseTimeoutMs);
      break;
    default:
      KX_ERR("action %u cannot be sent\n", action);
      return -1;
  }
  return ok ? 1 : -1;
}

int read_ack(torvi_ll_t *ll, uint8_t action, torvi_data_ack_t &ack) {
  KX_LOG_NAME("al_data_read_action_info");
  if (action != TORVI_DATA_ACT_ACK && action != TORVI_DATA_ACT_ACK_SHORT) return 1;
  const size_t n = action == TORVI_DATA_ACT_ACK ? kAckBytes : kShortAckBytes;
  std::array<uint8_t, kAckBytes> bytes{};
  if (!command(ll, true, action, bytes.data(), static_cast<int>(n), kAckReadTimeoutMs)) {
    KX_ERR("Write phase failed\n");
    return 0;
  }
  if (!command(ll, false, action, bytes.data(), static_cast<int>(n), kAckReadTimeoutMs)) {
    KX_ERR("Read phase failed\n");
    return -1;
  }
  ack = decode_ack(std::span<const uint8_t>(bytes.data(), n));
  return 1;
}

bool exchange_info(torvi_ll_t *ll, uint8_t action, std::span<uint8_t> record) {
  KX_LOG_NAME("al_get_data_info");
  const int len = static_cast<int>(record.size());
  if (!command(ll, true, action, record.data(), len, kInfoTimeoutMs)) {
    KX_ERR("write phase failed\n");
    return false;
  }
  if (!command(ll, false, action, record.data(), len, kInfoTimeoutMs)) {
    KX_ERR("read phase failed\n");
    return false;
  }
  return true;
}

bool get_info(torvi_ll_t *ll, uint8_t type, torvi_data_info_t &info) {
  torvi_data_info_t request{};
  request.type = type;
  auto bytes = encode_info(request);
  if (!exchange_info(ll, TORVI_DATA_ACT_GET_INFO, bytes)) return false;
  info = decode_info(bytes);
  return true;
}

bool get_payload(torvi_ll_t *ll, std::span<uint8_t> buf) {
  KX_LOG_NAME("al_get_data_payload");
  if (buf.empty() || buf.size() > kPieceBytes) {
    KX_ERR("%zu payload bytes asked (1..%u)\n", buf.size(), kPieceBytes);
    return false;
  }
  auto request = encode_payload_request(static_cast<uint32_t>(buf.size()));
  if (!command(ll, true, TORVI_DATA_ACT_PAYLOAD, request.data(), static_cast<int>(request.size()),
               kPayloadTimeoutMs)) {
    KX_ERR("write phase failed\n");
    return false;
  }
  if (!command(ll, false, TORVI_DATA_ACT_PAYLOAD, buf.data(), static_cast<int>(buf.size()),
               kPayloadTimeoutMs)) {
    KX_ERR("read phase failed\n");
    return false;
  }
  return true;
}

}  // namespace torvi::transfer

namespace {

struct FileCloser {
  void operator()(std::FILE *f) const { std::fclose(f); }
};

}  // namespace

using torvi::check_arg;

extern "C" {

TORVI_API int al_data_send_action_info(torvi_ll_t *ll, uint8_t action, const void *record,
                                       const uint8_t *data) {
  return torvi::c_entry(__func__, -1, [&] {
    check_arg(ll != nullptr, "ll is NULL");
    return torvi::transfer::send_action(ll, action, record, data);
  });
}

TORVI_API int al_data_read_action_info(torvi_ll_t *ll, uint8_t action, torvi_data_ack_t *record) {
  return torvi::c_entry(__func__, -1, [&] {
    check_arg(ll != nullptr && record != nullptr, "ll=%p, record=%p", static_cast<void *>(ll),
              static_cast<void *>(record));
    return torvi::transfer::read_ack(ll, action, *record);
  });
}

TORVI_API bool al_get_data_info(torvi_ll_t *ll, uint8_t action, void *record, int size) {
  return torvi::c_entry(__func__, false, [&] {
    check_arg(ll != nullptr && record != nullptr && size > 0, "ll=%p, record=%p, size=%d",
              static_cast<void *>(ll), record, size);
    return torvi::transfer::exchange_info(
        ll, action, std::span<uint8_t>(static_cast<uint8_t *>(record), static_cast<size_t>(size)));
  });
}

TORVI_API bool al_get_data_payload(torvi_ll_t *ll, uint8_t *buffer, int n) {
  return torvi::c_entry(__func__, false, [&] {
    check_arg(ll != nullptr && buffer != nullptr, "ll=%p, buffer=%p", static_cast<void *>(ll),
              static_cast<void *>(buffer));
    check_arg(n > 0 && static_cast<unsigned>(n) <= TORVI_DATA_PIECE_BYTES, "n=%d (1..%u)", n,
              TORVI_DATA_PIECE_BYTES);
    return torvi::transfer::get_payload(ll, std::span<uint8_t>(buffer, static_cast<size_t>(n)));
  });
}

TORVI_API uint16_t al_data_calc_crc(const uint8_t *data, uint16_t len) {
  return torvi::c_entry(__func__, uint16_t{0}, [&] {
    if (len == 0) return uint16_t{0};
    check_arg(data != nullptr, "data is NULL for %u bytes", len);
    return torvi::crc16_xmodem(std::span<const uint8_t>(data, len));
  });
}

TORVI_API int al_data_build_file_buffer(const char *path, int *size) {
  return torvi::c_entry(__func__, -1, [&] {
    check_arg(path != nullptr && size != nullptr, "path=%p, size=%p",
              static_cast<const void *>(path), static_cast<void *>(size));
    KX_LOG_NAME("al_data_build_file_buffer");
    KX_INF("Loading data image file:%s\n", path);
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path, "rb"));
    long len = -1;
    if (f && std::fseek(f.get(), 0, SEEK_END) == 0) len = std::ftell(f.get());
    if (!f || len < 0 || len > INT32_MAX || std::fseek(f.get(), 0, SEEK_SET) != 0) {
      KX_INF("Data image file loading failed.\n");
      return -1;
    }
    KX_INF("File size:%d\n", static_cast<int>(len));
    std::vector<uint8_t> buf(static_cast<size_t>(len));
    const size_t got = std::fread(buf.data(), 1, buf.size(), f.get());
    KX_INF("File read ok,%d,%x\n", static_cast<int>(got), got > 0 ? buf[0] : 0u);
    if (got != buf.size()) {
      KX_INF("Data image file loading failed.\n");
      return -1;
    }
    KX_INF("Data image file loaded.\n");
    *size = static_cast<int>(len);
    return 1;
  });
}

}  // extern "C"
