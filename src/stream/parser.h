// The stream parser record behind kx_stream_t.
#pragma once

#include <torvi/kx_stream.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "stream/frame_list.h"
#include "stream/kernels.h"
#include "stream/wire_header.h"

struct kx_stream {
 public:
  explicit kx_stream(uint32_t capacity);
  kx_stream(const kx_stream &) = delete;
  kx_stream &operator=(const kx_stream &) = delete;

  uint32_t capacity() const { return capacity_.load(std::memory_order_relaxed); }
  void set_capacity(uint32_t c) { capacity_.store(c, std::memory_order_relaxed); }

  void reset();
  // Parses the next piece of the stream; true when frames are ready after it.
  bool feed(const uint8_t *data, std::size_t len);
  // Takes or peeks up to max_frames ready frames (see kx_stream_fetch_frames).
  unsigned fetch(uint8_t *dst, unsigned dst_len, unsigned max_frames, torvi_frame_hdr_t *first,
                 bool peek);
  kx_stream_state_t state() const;
  // Frames ready to be taken now.
  unsigned ready_frames() const;
  // True once a header has given the frame length to cut payload by.
  bool header_known() const { return cur_.frlen != 0; }
  // Appends payload bytes of the current chunk to the frames being built,
  // adding them to `sum` when given. Returns the bytes stored.
  std::size_t add_data(const uint8_t *src, std::size_t n, torvi::stream::PayloadSum *sum);

  // Sees every frame at the moment it becomes ready, before any fetcher can
  // take it or the frame buffer can drop it: on the feeder's thread, which
  // waits for it (keep it short). The bytes are valid only during the call.
  using FrameObserver = std::function<void(const torvi_frame_hdr_t &, const uint8_t *, uint32_t)>;
  // Installs (or with nullptr removes) the observer; any thread. A call
  // already running may still finish with the previous observer, which the
  // stream keeps alive until then.
  void set_observer(std::shared_ptr<const FrameObserver> obs);

 private:
  using FrameList = torvi::stream::FrameList;

  std::size_t search(const uint8_t *p, std::size_t n);
  std::size_t resume_pending(const uint8_t *p, std::size_t n);
  void accept_header(bool completed_from_pending);
  void evaluate_header();
  std::size_t take_payload(const uint8_t *p, std::size_t n);
  void finish_chunk();
  void end_chunk();
  void discard_cur_frame();
  void complete_frames();
  void skip(std::size_t n);
  bool frame_in_progress() const;

  // The record's fields, in order.
  std::atomic<uint32_t> capacity_;
  FrameList ready_;
  mutable std::shared_mutex lock_;
  uint8_t hdr_[torvi::stream::kHeaderSize] = {};
  bool discarding_ = false;
  // A chunk's end is handled as soon as its last payload byte arrives, so
  // no separate chunk-done flag is kept.
  uint8_t hdr_bytes_ = 0;  // 36: header accepted, payload follows; less: start of a candidate
  uint32_t consumed_ = 0;  // payload bytes of the current chunk taken so far
  torvi::stream::PayloadSum sum_;
  uint16_t frames_in_chunk_ = 0;
  int32_t prev_sidx_ = -1;
  int32_t cur_fridx_ = -1;
  uint32_t fridx_step_ = 1;
  FrameList building_;
  kx_stream_state_t st_{};

  // Feeder-only helpers.
  torvi::stream::WireHeader cur_;  // decoded current header
  uint32_t skip_run_ = 0;          // bytes skipped since the current search began

  std::mutex observer_mu_;  // guards observer_ (the pointer, not the calls)
  std::shared_ptr<const FrameObserver> observer_;
};
