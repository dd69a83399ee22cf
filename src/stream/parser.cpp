// The stream parser: header search and verification, payload checksums,
// cutting payload into frames, and the bounded buffer of ready frames.
//
// The parser treats its input as one continuous stream: nothing it decides
// depends on where the stream was cut into pieces. A candidate header cut by
// the end of a piece is held and completed by the next piece; when it then
// fails, the search goes on from its second byte. Bytes skipped while
// searching are counted whether or not the piece held a header.
#include "stream/parser.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "core/clock.h"
#include "core/log_internal.h"

using torvi::stream::FrameNode;
using torvi::stream::kHeaderSize;
using torvi::stream::NodePtr;

namespace {

int as_int(uint32_t v) { return static_cast<int>(v); }

void stamp(kx_stream_state_t &st) {
  struct timeval tv {};
  torvi::wall_clock(&tv);
  st.time_sec = static_cast<uint32_t>(tv.tv_sec);
  st.time_usec = static_cast<uint32_t>(tv.tv_usec);
}

}  // namespace

kx_stream::kx_stream(uint32_t capacity) : capacity_(capacity) {
  hdr_[2] = hdr_[3] = 0xFF;  // header index 0xFFFF: none yet
  cur_.sidx = 0xFFFF;
  stamp(st_);
}

void kx_stream::reset() {
  FrameList old_ready;
  FrameList old_building;
  {
    std::unique_lock lk(lock_);
    old_ready.splice_back(ready_);
    old_building.splice_back(building_);
    st_ = kx_stream_state_t{};
    stamp(st_);
  }
  std::memset(hdr_, 0, sizeof hdr_);
  hdr_[2] = hdr_[3] = 0xFF;
  cur_ = torvi::stream::WireHeader{};
  cur_.sidx = 0xFFFF;
  hdr_bytes_ = 0;
  consumed_ = 0;
  sum_.reset();
  frames_in_chunk_ = 0;
  prev_sidx_ = -1;
  cur_fridx_ = -1;
  fridx_step_ = 1;
  skip_run_ = 0;
  // discarding_ keeps its value: a parser left discarding resumes at the
  // next start-of-frame header.
}

kx_stream_state_t kx_stream::state() const {
  std::shared_lock lk(lock_);
  return st_;
}

unsigned kx_stream::ready_frames() const {
  std::shared_lock lk(lock_);
  return st_.frames_ready;
}

bool kx_stream::feed(const uint8_t *p, std::size_t n) {
  KX_LOG_NAME("kx_stream_feed_input");
  KX_TRC("%d raw bytes\n", static_cast<int>(n));
  while (n > 0) {
    const std::size_t used = hdr_bytes_ == kHeaderSize ? take_payload(p, n) : search(p, n);
    p += used;
    n -= used;
  }
  return ready_frames() > 0;
}

void kx_stream::skip(std::size_t n) {
  if (n == 0) return;
  skip_run_ += static_cast<uint32_t>(n);
  std::unique_lock lk(lock_);
  st_.bytes_discarded += static_cast<uint32_t>(n);
}

// Looks for the next header in the input; returns the bytes it used.
std::size_t kx_stream::search(const uint8_t *p, std::size_t n) {
  KX_LOG_NAME("_sync_stream_hdr");
  if (hdr_bytes_ > 0) return resume_pending(p, n);
  const std::size_t i = torvi::stream::find_magic(p, n);
  skip(i);
  if (i == n) {
    KX_DBG("not find hdr: skip %d bytes\n", as_int(skip_run_));
    return n;
  }
  const std::size_t rest = n - i;
  if (rest < kHeaderSize) {
    // The start of a header, cut by the end of the input.
    std::memcpy(hdr_, p + i, rest);
    hdr_bytes_ = static_cast<uint8_t>(rest);
    KX_TRC("partial stream hdr found: %d bytes, need more bytes.\n", as_int(hdr_bytes_));
    return n;
  }
  if (!torvi::stream::header_valid(p + i)) {
    skip(1);
    return i + 1;
  }
  std::memcpy(hdr_, p + i, kHeaderSize);
  hdr_bytes_ = kHeaderSize;
  accept_header(false);
  return i + kHeaderSize;
}

// Continues a candidate held from the previous input: hdr_[0, hdr_bytes_)
// starts with FB. Candidates may begin at any held byte.
std::size_t kx_stream::resume_pending(const uint8_t *p, std::size_t n) {
  KX_LOG_NAME("kx_stream_feed_input");
  const std::size_t held = hdr_bytes_;
  uint8_t win[2 * kHeaderSize];
  const std::size_t m = std::min(n, kHeaderSize - 1);
  std::memcpy(win, hdr_, held);
  std::memcpy(win + held, p, m);
  const std::size_t w = held + m;
  for (std::size_t q = 0; q < held; ++q) {
    const std::size_t at = q + torvi::stream::find_magic(win + q, w - q);
    if (at >= held) break;
    q = at;
    if (q + kHeaderSize > w) {
      // Still too short: keep it and wait for more input.
      skip(q);
      std::memmove(hdr_, win + q, w - q);
      hdr_bytes_ = static_cast<uint8_t>(w - q);
      KX_TRC("partial stream hdr found: %d bytes, need more bytes.\n", as_int(hdr_bytes_));
      return n;
    }
    if (torvi::stream::header_valid(win + q)) {
      skip(q);
      std::memcpy(hdr_, win + q, kHeaderSize);
      hdr_bytes_ = kHeaderSize;
      accept_header(true);
      return q + kHeaderSize - held;
    }
  }
  skip(held);
  hdr_bytes_ = 0;
  return 0;
}

void kx_stream::accept_header(bool completed_from_pending) {
  KX_LOG_NAME("_sync_stream_hdr");
  cur_ = torvi::stream::decode_header(hdr_);
  if (completed_from_pending) {
    KX_TRC("HDR found: idx/len=%d/%d(frlen:%d,fridx=%d,frfmt=%d)\n", cur_.sidx, as_int(cur_.len),
           as_int(cur_.frlen), cur_.fridx, cur_.frfmt);
  } else {
    KX_TRC("HDR found: idx/len=%d/%d (frlen:%d,fridx=%d,frfmt=%d)\n", cur_.sidx, as_int(cur_.len),
           as_int(cur_.frlen), cur_.fridx, cur_.frfmt);
  }
  if (skip_run_ > 0) {
    KX_TRC("sync hdr: skip %d bytes\n", as_int(skip_run_));
    skip_run_ = 0;
  }
  evaluate_header();
}

bool kx_stream::frame_in_progress() const { return !building_.empty(); }

// Sequence checks on a newly accepted header.
void kx_stream::evaluate_header() {
  KX_LOG_NAME("kx_stream_feed_input");
  const bool sof = cur_.start_of_frame;
  if (discarding_) {
    if (!sof) {
      end_chunk();  // its payload is skipped by the search
      return;
    }
    discarding_ = false;
    prev_sidx_ = -1;
  }
  if (!sof) {
    if (cur_fridx_ >= 0 && cur_fridx_ != cur_.fridx) {
      KX_DBG("discard frame: frame idx not consist (prev=%d, cur=%d)\n", cur_fridx_, cur_.fridx);
      discard_cur_frame();
      prev_sidx_ = -1;
    }
  } else if (frame_in_progress()) {
    KX_DBG("discard frame: frame bound met, prev not complete\n");
    discard_cur_frame();
    prev_sidx_ = -1;
  } else if (cur_fridx_ >= 0 && state().frames_assembled > 0) {
    const uint16_t expected = static_cast<uint16_t>(cur_fridx_ + fridx_step_);
    if (expected != cur_.fridx) {
      KX_DBG("missing frame: jumpping frame idx (prev=%d, cur=%d)\n", expected, cur_.fridx);
    }
  }
  if (prev_sidx_ >= 0 && !sof && cur_.sidx != static_cast<uint16_t>(prev_sidx_ + 1)) {
    KX_DBG("discard frame: stream hdr idx not correct (prev=%d, cur=%d)\n", prev_sidx_, cur_.sidx);
    discarding_ = true;
    discard_cur_frame();
    end_chunk();
    return;
  }
  consumed_ = 0;
  sum_.reset();
  frames_in_chunk_ = 0;
  if (cur_.len == 0) finish_chunk();
}

std::size_t kx_stream::take_payload(const uint8_t *p, std::size_t n) {
  KX_LOG_NAME("kx_stream_feed_input");
  const std::size_t k = std::min<std::size_t>(n, cur_.len - consumed_);
  consumed_ += static_cast<uint32_t>(k);
  KX_TRC("Add %d bytes to frlist\n", static_cast<int>(k));
  const std::size_t stored = add_data(p, k, cur_.has_payload_sum ? &sum_ : nullptr);
  if (stored < k) {
    // Out of memory: the next frame cannot be whole. Frames this payload
    // finished before it are whole (unless a payload checksum is still to
    // confirm them) and go out as they would have had the input been cut
    // just after them. Drop what else is built of this chunk; the rest of
    // its payload is skipped by the search for the next start of a frame.
    if (!cur_.has_payload_sum) complete_frames();
    discarding_ = true;
    discard_cur_frame();
    end_chunk();
    return stored;
  }
  // Frames of a chunk with a payload checksum stay unfinished until the
  // checksum has been compared at the chunk's end.
  if (!cur_.has_payload_sum) complete_frames();
  if (consumed_ == cur_.len) finish_chunk();
  return k;
}

void kx_stream::finish_chunk() {
  KX_LOG_NAME("kx_stream_feed_input");
  if (cur_.has_payload_sum) {
    KX_TRC("check data checksum: sidx=%d\n", cur_.sidx);
    if (sum_.value() != cur_.payload_sum) {
      KX_DBG("discard frame: verify data checksum failed: sidx=%d\n", cur_.sidx);
      discard_cur_frame();
      discarding_ = true;
    } else {
      complete_frames();
    }
  }
  end_chunk();
}

// The header's chunk is over (or skipped): it becomes the previous header
// and the search for the next one begins.
void kx_stream::end_chunk() {
  prev_sidx_ = cur_.sidx;
  cur_fridx_ = cur_.fridx;
  fridx_step_ = cur_.frlen < cur_.len ? cur_.len / cur_.frlen : 1;
  hdr_bytes_ = 0;
  consumed_ = 0;
  sum_.reset();
}

// Frees the frames still being built: the incomplete last one, and frames
// of the current chunk whose payload checksum has not been confirmed.
void kx_stream::discard_cur_frame() {
  KX_LOG_NAME("_discard_cur_frame");
  while (!building_.empty()) {
    NodePtr n = building_.pop_back();
    {
      std::unique_lock lk(lock_);
      st_.bytes_discarded += n->filled;
      st_.frames_discarded += 1;
    }
    KX_DBG("discard frame: idx = %d\n", n->rec.fridx);
  }
}

// Moves full frames to the ready list and drops the oldest beyond capacity.
void kx_stream::complete_frames() {
  KX_LOG_NAME("_fr_list_refresh");
  FrameList dropped;
  uint32_t total_dropped = 0;
  if (!building_.empty() && building_.front()->full()) {
    // The full frames at the front are the ones about to become ready; they
    // are still the feeder's alone.
    std::shared_ptr<const FrameObserver> obs;
    {
      std::lock_guard lk(observer_mu_);
      obs = observer_;
    }
    if (obs) {
      for (const FrameNode *f = building_.front(); f != nullptr && f->full(); f = f->next)
        (*obs)(f->rec, f->data(), f->filled);
    }
  }
  {
    std::unique_lock lk(lock_);
    if (!building_.empty() && building_.front()->full()) {
      FrameList moved;
      moved.splice_back(building_);
      if (!moved.back()->full()) building_.push_back(moved.pop_back());
      st_.frames_completed += static_cast<uint32_t>(moved.size());
      st_.frames_ready += static_cast<uint32_t>(moved.size());
      ready_.splice_back(moved);
    }
    const uint32_t cap = capacity();
    if (st_.frames_ready > cap) {
      const uint32_t k = st_.frames_ready - cap;
      ready_.move_front(k, dropped);
      for (FrameNode *f = dropped.front(); f != nullptr; f = f->next)
        st_.bytes_discarded += f->filled;
      st_.frames_ready -= k;
      st_.frames_dropped += k;
      total_dropped = st_.frames_dropped;
    }
  }
  if (!dropped.empty()) {
    const auto k = static_cast<int>(dropped.size());
    KX_DBG("discard frames: frame buffer is full (%d/%d)\n", k, as_int(total_dropped));
    for (FrameNode *f = dropped.front(); f != nullptr; f = f->next) {
      KX_DBG("discard frame: idx = %d\n", f->rec.fridx);
    }
  }
}

void kx_stream::set_observer(std::shared_ptr<const FrameObserver> obs) {
  std::lock_guard lk(observer_mu_);
  observer_ = std::move(obs);
}

std::size_t kx_stream::add_data(const uint8_t *src, std::size_t n, torvi::stream::PayloadSum *sum) {
  KX_LOG_NAME("_fr_node_add_data");
  if (cur_.frlen == 0) return 0;  // no header yet: nothing to cut frames by
  torvi::stream::PayloadSum scratch;
  torvi::stream::PayloadSum &ps = sum != nullptr ? *sum : scratch;
  std::size_t done = 0;
  while (done < n) {
    FrameNode *last = building_.back();
    if (last == nullptr || last->full()) {
      const torvi_frame_hdr_t rec =
          torvi::stream::frame_record(cur_, static_cast<uint16_t>(cur_.fridx + frames_in_chunk_));
      NodePtr node = torvi::stream::make_node(rec);
      if (!node) {
        KX_ERR("malloc failed: %d bytes\n", static_cast<int>(rec.frlen + torvi::stream::kNodeHead));
        return done;
      }
      last = node.get();
      building_.push_back(std::move(node));
    }
    const std::size_t k = std::min<std::size_t>(n - done, last->capacity - last->filled);
    if (sum != nullptr) {
      torvi::stream::copy_sum(last->data() + last->filled, src + done, k, ps);
    } else {
      std::memcpy(last->data() + last->filled, src + done, k);
    }
    last->filled += static_cast<uint32_t>(k);
    done += k;
    if (last->full()) {
      ++frames_in_chunk_;
      std::unique_lock lk(lock_);
      st_.frames_assembled += 1;
    }
  }
  return done;
}

unsigned kx_stream::fetch(uint8_t *dst, unsigned dst_len, unsigned max_frames,
                          torvi_frame_hdr_t *first, bool peek) {
  auto copy_out = [&](const FrameNode &f, unsigned &left, uint8_t *&out) {
    const unsigned k = std::min(left, f.filled);
    if (k != 0) std::memcpy(out, f.data(), k);
    out += k;
    left -= k;
  };
  unsigned left = dst_len;
  uint8_t *out = dst;
  if (peek) {
    std::shared_lock lk(lock_);
    const unsigned n = std::min(max_frames, st_.frames_ready);
    if (n == 0 || dst == nullptr) return n;
    const FrameNode *f = ready_.front();
    if (first != nullptr) *first = f->rec;
    for (unsigned i = 0; i < n; ++i, f = f->next) copy_out(*f, left, out);
    return n;
  }
  FrameList taken;
  {
    std::unique_lock lk(lock_);
    const unsigned n = std::min(max_frames, st_.frames_ready);
    ready_.move_front(n, taken);
    st_.frames_ready -= n;
  }
  // The taken frames belong to this thread alone now: copy and free them
  // outside the lock.
  if (taken.empty()) return 0;
  if (first != nullptr) *first = taken.front()->rec;
  if (dst != nullptr) {
    for (const FrameNode *f = taken.front(); f != nullptr; f = f->next) copy_out(*f, left, out);
  }
  return static_cast<unsigned>(taken.size());
}
