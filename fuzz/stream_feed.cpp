// Fuzz target for the stream parser. The input describes a stream (chunks
// with valid or damaged headers and payload checksums, garbage, fragments of
// headers) and how it is cut into pieces. Even modes check that the pieces
// give exactly the frames and counters of the whole stream fed at once; odd
// modes mix fetching, peeking, resets and capacity changes between pieces.
#include <torvi/kx_stream.h>
#include <torvi/torvi_log.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "core/test_hooks.h"
#include "tests/common/stream_gen.h"

namespace {

class Reader {
 public:
  Reader(const uint8_t *d, size_t n) : d_(d), n_(n) {}
  bool left() const { return at_ < n_; }
  uint8_t u8() { return at_ < n_ ? d_[at_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  uint32_t u32() { return u16() | (static_cast<uint32_t>(u16()) << 16); }
  std::vector<uint8_t> bytes(size_t k) {
    std::vector<uint8_t> v;
    for (size_t i = 0; i < k && at_ < n_; ++i) v.push_back(d_[at_++]);
    return v;
  }

 private:
  const uint8_t *d_;
  size_t n_;
  size_t at_ = 0;
};

std::vector<uint8_t> build_stream(Reader &r) {
  std::vector<uint8_t> out;
  uint16_t sidx = r.u16();
  while (r.left() && out.size() < (1u << 16)) {
    const uint8_t op = r.u8();
    switch (op % 8) {
      case 5: {
        auto raw = r.bytes(r.u8() % 64);
        out.insert(out.end(), raw.begin(), raw.end());
        break;
      }
      case 6: {
        out.push_back(0xFB);
        out.push_back(0x98);
        auto raw = r.bytes(r.u8() % 40);
        out.insert(out.end(), raw.begin(), raw.end());
        break;
      }
      case 7:
        out.push_back(0xFB);
        break;
      default: {
        torvi::stream::WireHeader f;
        const uint8_t flags = r.u8();
        f.sidx = (flags & 0x80) != 0 ? r.u16() : sidx;
        sidx = static_cast<uint16_t>(f.sidx + 1);
        f.len = (flags & 0x40) != 0 ? r.u32() % 0x100100 : r.u8();
        // Huge frames now and then: beyond the allocation limit set below.
        f.frlen = (flags & 0x3F) == 0x30 ? r.u32() % 0x8000100
                  : (flags & 0x20) != 0  ? r.u32() % 0x4000
                                         : r.u8() % 100;
        f.fridx = r.u16();
        f.frfmt = static_cast<uint16_t>(r.u16() % 1100);
        f.start_of_frame = (op & 0x08) != 0;
        f.has_payload_sum = (op & 0x10) != 0;
        std::vector<uint8_t> payload = r.bytes(std::min<uint32_t>(f.len, 512));
        f.payload_sum = torvi::test::gen_payload_sum(payload.data(), payload.size());
        if ((flags & 0x01) != 0) f.payload_sum ^= 1;
        const auto h = torvi::test::gen_header(f, (flags & 0x02) != 0 && (flags & 0x04) != 0);
        out.insert(out.end(), h.begin(), h.end());
        out.insert(out.end(), payload.begin(), payload.end());
        break;
      }
    }
  }
  return out;
}

struct Frame {
  torvi_frame_hdr_t rec;
  std::vector<uint8_t> bytes;
};

std::vector<Frame> drain(kx_stream_t *s) {
  std::vector<Frame> out;
  std::vector<uint8_t> buf(4096);
  torvi_frame_hdr_t rec;
  while (kx_stream_fetch_frames(s, reinterpret_cast<char *>(buf.data()),
                                static_cast<unsigned>(buf.size()), 1, &rec, false) == 1) {
    out.push_back({rec, {buf.begin(), buf.begin() + std::min<size_t>(rec.frlen, buf.size())}});
  }
  return out;
}

bool same(const kx_stream_state_t &a, const kx_stream_state_t &b) {
  return a.frames_assembled == b.frames_assembled && a.frames_completed == b.frames_completed &&
         a.frames_discarded == b.frames_discarded && a.frames_dropped == b.frames_dropped &&
         a.frames_ready == b.frames_ready && a.bytes_discarded == b.bytes_discarded;
}

}  // namespace

// Bad-argument calls log ERR lines; keep the console quiet. Frames above
// 1 MiB fail to allocate, as on a system out of memory: the failure path is
// explored, and no run pays for a real 128 MiB frame (under ASan, poisoning
// its shadow on every free took most of the time).
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  kx_log_enable(0, KX_LOG_OFF, nullptr);
  torvi::hooks::set(torvi::hooks::Knob::kStreamNodeAllocLimit, 1 << 20);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Reader r(data, size);
  const uint8_t mode = r.u8();
  const uint32_t seed = r.u32();
  kx_stream_cfg_t cfg{1u + r.u8() % 16};
  const std::vector<uint8_t> stream = build_stream(r);
  std::mt19937 rng(seed);
  const auto cuts = torvi::test::random_cuts(stream.size(), 1 + seed % 200, rng);
  const auto pieces = torvi::test::split_at(stream, cuts);

  kx_stream_t *s = kx_stream_create(&cfg);
  if ((mode & 1) == 0) {
    kx_stream_t *whole = kx_stream_create(&cfg);
    kx_stream_feed_input(whole, reinterpret_cast<const char *>(stream.data()),
                         static_cast<int>(stream.size()));
    for (auto p : pieces)
      kx_stream_feed_input(s, reinterpret_cast<const char *>(p.data()), static_cast<int>(p.size()));
    kx_stream_state_t a{};
    kx_stream_state_t b{};
    kx_stream_get_state(s, &a);
    kx_stream_get_state(whole, &b);
    if (!same(a, b)) __builtin_trap();
    const auto fa = drain(s);
    const auto fb = drain(whole);
    if (fa.size() != fb.size()) __builtin_trap();
    for (size_t i = 0; i < fa.size(); ++i) {
      if (std::memcmp(&fa[i].rec, &fb[i].rec, sizeof fa[i].rec) != 0 || fa[i].bytes != fb[i].bytes)
        __builtin_trap();
    }
    kx_stream_destroy(whole);
  } else {
    std::vector<uint8_t> buf(1 + seed % 300);
    const auto blen = static_cast<unsigned>(buf.size());
    bool cap_changed = false;
    for (auto p : pieces) {
      kx_stream_feed_input(s, reinterpret_cast<const char *>(p.data()), static_cast<int>(p.size()));
      kx_stream_state_t st{};
      kx_stream_get_state(s, &st);
      kx_stream_cfg_t now{};
      kx_stream_get_cfg(s, &now);
      if (!cap_changed && st.frames_ready > now.capacity) __builtin_trap();
      torvi_frame_hdr_t first;
      const unsigned op = rng() % 8;
      const unsigned max = rng() % 4;
      int n = 0;
      if (op == 0)
        n = kx_stream_fetch_frames(s, reinterpret_cast<char *>(buf.data()), blen, max, &first,
                                   false);
      if (op == 1)
        n = kx_stream_fetch_frames(s, reinterpret_cast<char *>(buf.data()), blen, max, &first,
                                   true);
      if (op == 2) n = kx_stream_fetch_frames(s, nullptr, 0, max, nullptr, rng() % 2 == 0);
      if (op == 3) kx_stream_reset(s);
      if (op == 5) {
        const int k = static_cast<int>(rng() % 64);
        if (_fr_node_add_data(s, reinterpret_cast<const char *>(stream.data()),
                              std::min<int>(k, static_cast<int>(stream.size()))) < 0) {
          __builtin_trap();
        }
      }
      if (op == 4) {
        kx_stream_cfg_t c{static_cast<uint32_t>(rng() % 5)};
        kx_stream_set_cfg(s, &c);
        cap_changed = true;
      }
      if (n < 0 || static_cast<unsigned>(n) > max || static_cast<unsigned>(n) > st.frames_ready)
        __builtin_trap();
    }
    drain(s);
  }
  kx_stream_destroy(s);
  return 0;
}
