// Feeding and draining helpers for the stream parser tests.
#pragma once

#include <gtest/gtest.h>
#include <torvi/kx_stream.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <span>
#include <vector>

#include "tests/common/stream_gen.h"

namespace torvi::test {

struct StreamDeleter {
  void operator()(kx_stream_t *s) const { kx_stream_destroy(s); }
};
using StreamPtr = std::unique_ptr<kx_stream_t, StreamDeleter>;

inline StreamPtr make_stream(uint32_t capacity) {
  kx_stream_cfg_t cfg{capacity};
  return StreamPtr(kx_stream_create(&cfg));
}

struct Fetched {
  torvi_frame_hdr_t rec{};
  std::vector<uint8_t> bytes;
  bool operator==(const Fetched &o) const {
    return std::memcmp(&rec, &o.rec, sizeof rec) == 0 && bytes == o.bytes;
  }
};

inline kx_stream_state_t state_of(kx_stream_t *s) {
  kx_stream_state_t st{};
  kx_stream_get_state(s, &st);
  return st;
}

// Counters without the time stamp, for comparisons.
inline std::vector<uint32_t> counters(const kx_stream_state_t &st) {
  return {st.frames_assembled, st.frames_completed, st.frames_discarded, st.frames_dropped,
          st.frames_ready,     st.reserved5,        st.bytes_discarded,  st.reserved7};
}

// Takes every ready frame, one at a time.
inline std::vector<Fetched> take_all(kx_stream_t *s) {
  std::vector<Fetched> out;
  for (;;) {
    const int n = kx_stream_fetch_frames(s, nullptr, 0, 1, nullptr, true);
    if (n <= 0) break;
    // Peek the record to size the buffer, then take.
    Fetched f;
    std::vector<uint8_t> probe(1);
    kx_stream_fetch_frames(s, reinterpret_cast<char *>(probe.data()), 0, 1, &f.rec, true);
    f.bytes.resize(f.rec.frlen);
    torvi_frame_hdr_t rec{};
    const int got = kx_stream_fetch_frames(s, reinterpret_cast<char *>(f.bytes.data()), f.rec.frlen,
                                           1, &rec, false);
    EXPECT_EQ(got, 1);
    EXPECT_EQ(std::memcmp(&rec, &f.rec, sizeof rec), 0);
    out.push_back(std::move(f));
  }
  return out;
}

inline void feed(kx_stream_t *s, std::span<const uint8_t> bytes) {
  kx_stream_feed_input(s, reinterpret_cast<const char *>(bytes.data()),
                       static_cast<int>(bytes.size()));
}

// What a parser made of a whole stream: counters before draining, frames.
struct Outcome {
  std::vector<uint32_t> counters;
  std::vector<Fetched> frames;
  bool operator==(const Outcome &o) const = default;
};

inline Outcome run_stream(std::span<const uint8_t> stream, const std::vector<std::size_t> &cuts,
                          uint32_t capacity = 1000) {
  StreamPtr s = make_stream(capacity);
  for (auto piece : split_at(stream, cuts)) feed(s.get(), piece);
  Outcome o;
  o.counters = counters(state_of(s.get()));
  o.frames = take_all(s.get());
  return o;
}

inline std::ostream &operator<<(std::ostream &os, const Outcome &o) {
  os << "counters{";
  for (uint32_t c : o.counters) os << c << ' ';
  os << "} frames{";
  for (const Fetched &f : o.frames) os << f.rec.fridx << '/' << f.bytes.size() << ' ';
  return os << '}';
}

}  // namespace torvi::test
