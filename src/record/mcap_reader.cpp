// The MCAP cursor.
#include "record/mcap_reader.h"

#include <zstd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace torvi::record {
namespace {

bool magic_at(std::span<const uint8_t> file, uint64_t at) {
  return file.size() >= sizeof kMagic && at <= file.size() - sizeof kMagic &&
         std::memcmp(file.data() + at, kMagic, sizeof kMagic) == 0;
}

std::string at_text(const char *what, uint64_t at) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%s at byte %" PRIu64, what, at);
  return buf;
}

}  // namespace

std::optional<Message> parse_message(std::span<const uint8_t> content) {
  Get g(content);
  Message m;
  m.channel = g.u16();
  m.sequence = g.u32();
  m.log_time = g.u64();
  m.publish_time = g.u64();
  if (!g.ok()) return std::nullopt;
  m.data = g.rest();
  return m;
}

McapCursor::McapCursor(std::span<const uint8_t> file) : file_(file) {
  if (!magic_at(file_, 0)) {
    stop(ReadStatus::State::foreign, 0, "not an MCAP file (no MCAP magic at its start)");
    return;
  }
  pos_ = sizeof kMagic;
}

void McapCursor::stop(ReadStatus::State s, uint64_t at, const std::string &why) {
  st_.state = s;
  st_.offset = at;
  // The first damage seen stays in front of why reading ended.
  if (s != ReadStatus::State::complete && why != st_.reason)
    st_.reason = st_.reason.empty() ? why : st_.reason + "; " + why;
  chunk_view_ = {};
}

void McapCursor::note_damage(uint64_t at, const std::string &why) {
  ++st_.damaged_chunks;
  if (st_.reason.empty()) st_.reason = at_text(why.c_str(), at);
}

std::optional<Record> McapCursor::next() {
  while (st_.state == ReadStatus::State::reading) {
    if (auto r = next_in_chunk()) return r;
    if (file_.size() - pos_ < kRecordHead) {
      stop(ReadStatus::State::stopped, pos_,
           at_text(pos_ == file_.size() ? "the file ends without a footer"
                                        : "the file ends inside a record",
                   pos_));
      return std::nullopt;
    }
    Get head(file_.subspan(pos_, kRecordHead));
    const auto op = static_cast<Op>(head.u8());
    const uint64_t len = head.u64();
    if (len > file_.size() - pos_ - kRecordHead) {
      stop(ReadStatus::State::stopped, pos_, at_text("the file ends inside a record", pos_));
      return std::nullopt;
    }
    const uint64_t at = pos_;
    const auto content = file_.subspan(pos_ + kRecordHead, len);
    pos_ += kRecordHead + len;
    switch (op) {
      case Op::chunk:
        if (open_chunk(content, at)) continue;
        continue;
      case Op::footer:
        check_footer(content, at);
        return Record{op, content, at, false};
      case Op::data_end:
        if (!check_data_end(content, at)) return std::nullopt;
        return Record{op, content, at, false};
      case Op::attachment: {
        Get g(content);
        const auto before_crc = content.size() >= 4 ? content.first(content.size() - 4) : content;
        g.take(before_crc.size());
        const uint32_t crc = g.u32();
        if (!g.ok() || (crc != 0 && crc != crc32_of(before_crc))) {
          note_damage(at, "damaged attachment");
          continue;
        }
        return Record{op, content, at, false};
      }
      default:
        return Record{op, content, at, false};
    }
  }
  return std::nullopt;
}

bool McapCursor::open_chunk(std::span<const uint8_t> content, uint64_t at) {
  Get g(content);
  g.u64();  // start time
  g.u64();  // end time
  const uint64_t size = g.u64();
  const uint32_t crc = g.u32();
  const std::string compression = g.str();
  const uint64_t stored = g.u64();
  const auto body = g.take(stored);
  if (!g.ok()) {
    note_damage(at, "damaged chunk header");
    return false;
  }
  if (size > kMaxChunk) {
    note_damage(at, "chunk too large");
    return false;
  }
  if (compression.empty()) {
    if (body.size() != size) {
      note_damage(at, "chunk size mismatch");
      return false;
    }
    chunk_.assign(body.begin(), body.end());
  } else if (compression == "zstd") {
    if (!inflate_zstd(body, size)) {
      note_damage(at, "chunk does not decompress to its stated size");
      return false;
    }
  } else {
    note_damage(at, "chunk compression '" + compression + "' is not supported");
    return false;
  }
  if (crc != 0 && crc != crc32_of(chunk_)) {
    note_damage(at, "chunk CRC mismatch");
    return false;
  }
  chunk_view_ = chunk_;
  chunk_pos_ = 0;
  chunk_at_ = at;
  return true;
}

bool McapCursor::inflate_zstd(std::span<const uint8_t> body, uint64_t size) {
  // The output grows with what really comes out, so a chunk that only claims
  // a huge size costs no more memory than it holds.
  if (dctx_ == nullptr) {
    dctx_ = ZSTD_createDCtx();
    if (dctx_ == nullptr) return false;
  }
  auto *d = static_cast<ZSTD_DCtx *>(dctx_);
  ZSTD_DCtx_reset(d, ZSTD_reset_session_only);
  chunk_.clear();
  ZSTD_inBuffer in{body.data(), body.size(), 0};
  std::size_t produced = 0;
  for (;;) {
    if (produced == chunk_.size()) {
      if (chunk_.size() >= size) {
        // Full: the frame must end here with no byte left over.
        uint8_t probe = 0;
        ZSTD_outBuffer out{&probe, 1, 0};
        const size_t rc = ZSTD_decompressStream(d, &out, &in);
        return !ZSTD_isError(rc) && rc == 0 && out.pos == 0;
      }
      chunk_.resize(std::min<uint64_t>(size, std::max<uint64_t>(chunk_.size() * 2, 1u << 16)));
    }
    ZSTD_outBuffer out{chunk_.data(), chunk_.size(), produced};
    const size_t rc = ZSTD_decompressStream(d, &out, &in);
    if (ZSTD_isError(rc)) return false;
    produced = out.pos;
    if (rc == 0) {  // the frame ended
      chunk_.resize(produced);
      return produced == size;
    }
    if (in.pos == in.size && out.pos < out.size) return false;  // input ran out
  }
}

McapCursor::~McapCursor() { ZSTD_freeDCtx(static_cast<ZSTD_DCtx *>(dctx_)); }

std::optional<Record> McapCursor::next_in_chunk() {
  while (!chunk_view_.empty()) {
    if (chunk_pos_ == chunk_view_.size()) {
      chunk_view_ = {};
      return std::nullopt;
    }
    if (chunk_view_.size() - chunk_pos_ < kRecordHead) {
      note_damage(chunk_at_, "chunk ends inside a record");
      chunk_view_ = {};
      return std::nullopt;
    }
    Get head(chunk_view_.subspan(chunk_pos_, kRecordHead));
    const auto op = static_cast<Op>(head.u8());
    const uint64_t len = head.u64();
    if (len > chunk_view_.size() - chunk_pos_ - kRecordHead) {
      note_damage(chunk_at_, "chunk ends inside a record");
      chunk_view_ = {};
      return std::nullopt;
    }
    const auto content = chunk_view_.subspan(chunk_pos_ + kRecordHead, len);
    chunk_pos_ += kRecordHead + len;
    return Record{op, content, chunk_at_, true};
  }
  return std::nullopt;
}

bool McapCursor::check_data_end(std::span<const uint8_t> content, uint64_t at) {
  Get g(content);
  const uint32_t crc = g.u32();
  if (!g.ok()) {
    stop(ReadStatus::State::stopped, at, at_text("damaged data-end record", at));
    return false;
  }
  if (crc != 0 && crc != crc32_of(file_.first(at))) {
    stop(ReadStatus::State::stopped, at, at_text("data section CRC mismatch", at));
    return false;
  }
  return true;
}

bool McapCursor::check_footer(std::span<const uint8_t> content, uint64_t at) {
  Get g(content);
  const uint64_t summary_start = g.u64();
  g.u64();  // summary offset start
  const uint32_t crc = g.u32();
  const uint64_t end = at + kRecordHead + content.size();
  if (!g.ok() || !magic_at(file_, end) || end + sizeof kMagic != file_.size()) {
    stop(ReadStatus::State::stopped, at, at_text("damaged footer or closing magic", at));
    return false;
  }
  if (crc != 0) {
    const uint64_t from = summary_start != 0 ? summary_start : at;
    if (from > at || crc32_of(file_.subspan(from, end - 4 - from)) != crc) {
      st_.summary_crc_ok = false;
      stop(ReadStatus::State::stopped, at, at_text("summary CRC mismatch", at));
      return false;
    }
  }
  stop(ReadStatus::State::complete, file_.size(), st_.reason);
  return true;
}

}  // namespace torvi::record
