// Fuzz target for the host's reading of the camera's replies during block
// writes and reads. The link is a stand-in transport whose commands go to a
// virtual camera; the input decides, transfer by transfer, whether a reply
// passes unchanged, arrives damaged, is replaced or fails. Checks: no crash
// or hang; a write that reports success sent every chunk of the file once,
// in order; a read that reports success wrote exactly the bytes delivered,
// and a failed one left no file.
#include <torvi/torvi_ll.h>
#include <torvi/torvi_log.h>
#include <torvi/torvi_transfer.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/test_hooks.h"
#include "transfer/wire.h"
#include "vcam/camera.h"

namespace {

class Reader {
 public:
  Reader(const uint8_t *d, size_t n) : d_(d), n_(n) {}
  bool left() const { return at_ < n_; }
  uint8_t u8() { return at_ < n_ ? d_[at_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }

 private:
  const uint8_t *d_;
  size_t n_;
  size_t at_ = 0;
};

// What the stand-in link did, for the checks.
struct Script {
  Reader *in = nullptr;
  torvi::vcam::Camera *cam = nullptr;
  std::vector<std::vector<uint8_t>> chunks;  // data of every chunk sent
  std::vector<uint8_t> info_reply;           // last information reply delivered
  std::vector<uint8_t> payload;              // payload bytes delivered since it
};
Script g;

bool exe_cmd(torvi_ll_t *, uint8_t dir, uint8_t request, uint16_t value, void *buf, int len,
             unsigned) {
  const uint8_t how = g.in->u8();
  auto *b = static_cast<uint8_t *>(buf);
  std::vector<uint8_t> data(b, b + len);
  const int rc = g.cam->control(dir != 0 ? 0x22 : 0xA2, request, value, 0, data);
  if (how % 16 == 1 || rc != len) return false;  // the transfer fails
  if (dir != 0) {
    if (request == 0xCC && value == TORVI_DATA_ACT_CHUNK && len >= 6)
      g.chunks.emplace_back(b + 6, b + len);
    return true;
  }
  if (how % 16 == 2 && len > 0) data[g.in->u8() % len] ^= g.in->u8();  // damaged
  if (how % 16 == 3)
    for (auto &x : data) x = g.in->u8();  // replaced
  std::memcpy(b, data.data(), data.size());
  if (request == 0xCC && value == TORVI_DATA_ACT_GET_INFO) {
    g.info_reply = data;
    g.payload.clear();
  }
  if (request == 0xCC && value == TORVI_DATA_ACT_PAYLOAD)
    g.payload.insert(g.payload.end(), data.begin(), data.end());
  return true;
}

bool check_last_cmd(torvi_ll_t *, uint8_t t, uint8_t v) {
  std::vector<uint8_t> s(63);
  g.cam->control(0xA2, 0xB0, 0, 0, s);
  if (g.in->u8() % 32 == 5) return false;
  return s[1] == t && s[2] == v && s[0] != 0xFF;
}

bool no_init() { return true; }
void no_uninit() {}
unsigned no_debug(unsigned) { return 0; }
torvi_ll_t *no_open(torvi_ll_t *ll) { return ll; }
void no_close(torvi_ll_t *) {}
int no_list(torvi_ll_t *, int) { return 0; }
void no_abort(torvi_ll_t *) {}
bool no_start(torvi_ll_t *, uint32_t, torvi_ll_cap_cb_t, void *) { return false; }
bool no_stop(torvi_ll_t *) { return false; }
bool no_reset(torvi_ll_t *, uint8_t) { return false; }
bool no_reg_write(torvi_ll_t *, uint8_t, uint32_t, const uint32_t *, uint16_t) { return false; }
bool no_reg_read(torvi_ll_t *, uint8_t, uint32_t, uint32_t *, uint16_t) { return false; }
bool no_params(torvi_ll_t *, torvi_ll_param_t *, uint32_t) { return false; }

const torvi_ll_op_t kScripted = {
    .init = no_init,
    .uninit = no_uninit,
    .set_debug = no_debug,
    .dev_open = no_open,
    .dev_open_by_fd = no_open,
    .dev_close = no_close,
    .dev_list = no_list,
    .exe_cmd = exe_cmd,
    .check_last_cmd = check_last_cmd,
    .cap_abort = no_abort,
    .cap_start = no_start,
    .cap_stop = no_stop,
    .dev_reset = no_reset,
    .reg_write = no_reg_write,
    .reg_read = no_reg_read,
    .param_set = no_params,
    .param_get = no_params,
    .end = nullptr,
};

std::string g_dir;

std::vector<uint8_t> slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kx_log_enable(0, KX_LOG_OFF, nullptr);
  torvi::hooks::set(torvi::hooks::Knob::kEraseLimitMs, 20);
  torvi::hooks::set(torvi::hooks::Knob::kErasePollMs, 0);  // the virtual flash needs no pause
  char tmpl[] = "/tmp/torvi-fuzz-transfer-XXXXXX";
  g_dir = mkdtemp(tmpl);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Reader in(data, size);
  torvi::vcam::CameraConfig cfg;
  torvi::vcam::Camera cam(cfg);
  torvi::vcam::FlashFaults faults;
  faults.erase_acks = in.u8() % 8;
  cam.set_flash_faults(faults);
  g = Script{&in, &cam, {}, {}, {}};
  static int dummy;
  torvi_ll_t ll{};
  ll.priv = &dummy;
  ll.ops = &kScripted;

  const uint8_t mode = in.u8();
  const auto type = static_cast<uint8_t>(4 + in.u8() % 252);  // no restart wait
  if ((mode & 1) == 0) {
    std::vector<uint8_t> file(1 + in.u16() % 4000);
    for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 131 + mode);
    const std::string path = g_dir + "/in.bin";
    std::FILE *f = std::fopen(path.c_str(), "wb");
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
    const int rc = torvi_bin_data_write(&ll, type, in.u16(), 0, path.c_str());
    if (rc == 1) {
      // Every chunk once, in order.
      const uint32_t count = torvi::transfer::chunk_count(static_cast<uint32_t>(file.size()));
      if (g.chunks.size() != count) __builtin_trap();
      for (uint32_t i = 0; i < count; ++i) {
        const auto *start = file.data() + size_t{i} * torvi::transfer::kChunkBytes;
        const uint32_t n = torvi::transfer::chunk_len(static_cast<uint32_t>(file.size()), i);
        if (g.chunks[i].size() != n || std::memcmp(g.chunks[i].data(), start, n) != 0)
          __builtin_trap();
      }
    } else if (rc != -1) {
      __builtin_trap();
    }
  } else {
    if ((mode & 2) != 0)
      cam.set_flash_block(type < 8 ? type : 4, 1, std::vector<uint8_t>(in.u16() % 3000, 0x5A));
    const std::string out = g_dir + "/out.bin";
    std::remove(out.c_str());
    const int rc = torvi_bin_data_read(&ll, type < 8 ? type : 4, out.c_str());
    if (rc == 1) {
      if (g.info_reply.size() != 16) __builtin_trap();
      const torvi_data_info_t info =
          torvi::transfer::decode_info(std::span<const uint8_t, 16>(g.info_reply.data(), 16));
      const std::vector<uint8_t> got = slurp(out);
      if (got.size() != info.size || got != g.payload) __builtin_trap();
    } else if (rc != -1 || access(out.c_str(), F_OK) == 0) {
      __builtin_trap();
    }
  }
  // The decoders take any bytes and give them back unchanged.
  std::vector<uint8_t> raw(16);
  for (auto &x : raw) x = in.u8();
  const auto info = torvi::transfer::decode_info(std::span<const uint8_t, 16>(raw.data(), 16));
  const auto again = torvi::transfer::encode_info(info);
  if (std::memcmp(again.data(), raw.data(), 16) != 0) __builtin_trap();
  const auto ack = torvi::transfer::decode_ack(std::span<const uint8_t>(raw.data(), 13));
  const auto ack_bytes = torvi::transfer::encode_ack(ack);
  if (std::memcmp(ack_bytes.data(), raw.data(), 13) != 0) __builtin_trap();
  return 0;
}
