// The MCAP writer.
#include "record/mcap_writer.h"

#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace torvi::record {
namespace {

// Stdio buffer of the output file.
constexpr std::size_t kFileBuffer = 1u << 20;
// Channel id, sequence, log time and publish time before a message's data.
constexpr std::size_t kMessageHead = 2 + 4 + 8 + 8;
// Pieces at least this large are written past the stdio buffer.
constexpr std::size_t kDirectWrite = 64u << 10;
// Stored messages at least this large get a chunk of their own.
constexpr std::size_t kOwnChunkBytes = 64u << 10;

[[noreturn]] void fail(const std::string &what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Writes all of `bytes` to the descriptor, across short writes and signals.
void write_all(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("write failed");
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
}

}  // namespace

McapWriter::McapWriter(const std::string &path, WriterOptions opt) : opt_(std::move(opt)) {
  f_ = std::fopen(path.c_str(), "wb");
  if (f_ == nullptr) fail("cannot create " + path);
  std::setvbuf(f_, nullptr, _IOFBF, kFileBuffer);
  packed_.compress = opt_.compress;
  if (opt_.compress) {
    zctx_ = ZSTD_createCCtx();
    if (zctx_ == nullptr) throw std::bad_alloc();
    ZSTD_CCtx_setParameter(static_cast<ZSTD_CCtx *>(zctx_), ZSTD_c_compressionLevel,
                           opt_.zstd_level);
  }
  write_raw(kMagic);
  Bytes c;
  Put(c).str(opt_.profile).str(opt_.library);
  write_record(Op::header, c);
}

McapWriter::~McapWriter() {
  if (f_ != nullptr) std::fclose(f_);
  ZSTD_freeCCtx(static_cast<ZSTD_CCtx *>(zctx_));
}

void McapWriter::require_open() const {
  if (finished_ || f_ == nullptr) throw std::logic_error("the recording is already finished");
}

void McapWriter::write_raw(std::span<const uint8_t> bytes, const uint32_t *known_crc) {
  if (bytes.empty()) return;
  if (bytes.size() >= kDirectWrite) {
    // Large pieces skip the stdio buffer (and the copy into it).
    if (std::fflush(f_) != 0) fail("write failed");
    write_all(fileno(f_), bytes);
  } else if (std::fwrite(bytes.data(), 1, bytes.size(), f_) != bytes.size()) {
    fail("write failed");
  }
  data_crc_ = known_crc != nullptr ? static_cast<uint32_t>(crc32_combine(
                                         data_crc_, *known_crc, static_cast<z_off_t>(bytes.size())))
                                   : crc32_of(bytes, data_crc_);
  offset_ += bytes.size();
}

void McapWriter::append_record(Bytes &out, Op op, std::span<const uint8_t> content) {
  Put(out).u8(static_cast<uint8_t>(op)).u64(content.size()).bytes(content);
}

uint64_t McapWriter::write_record(Op op, std::span<const uint8_t> content) {
  const uint64_t at = offset_;
  Bytes head;
  Put(head).u8(static_cast<uint8_t>(op)).u64(content.size());
  write_raw(head);
  write_raw(content);
  return at;
}

void McapWriter::add_schema(const SchemaDef &s) {
  require_open();
  Bytes c;
  Put(c).u16(s.id).str(s.name).str(s.encoding).str(s.data);
  write_record(Op::schema, c);
  schemas_[s.id] = std::move(c);
}

void McapWriter::add_channel(const ChannelDef &ch) {
  require_open();
  Bytes c;
  Put(c).u16(ch.id).u16(ch.schema_id).str(ch.topic).str(ch.message_encoding).str_map(ch.metadata);
  write_record(Op::channel, c);
  channels_[ch.id] = std::move(c);
  per_channel_.emplace(ch.id, 0);
}

void McapWriter::add_message(uint16_t channel, uint64_t log_time,
                             std::span<const std::span<const uint8_t>> parts) {
  require_open();
  if (channels_.find(channel) == channels_.end())
    throw std::invalid_argument("message on an unknown channel");
  uint64_t len = kMessageHead;
  for (const auto &p : parts) len += p.size();
  OpenChunk &chunk = chunk_for(channel);
  Bytes head;
  head.reserve(kRecordHead + kMessageHead);
  Put(head)
      .u8(static_cast<uint8_t>(Op::message))
      .u64(len)
      .u16(channel)
      .u32(sequence_[channel]++)
      .u64(log_time)
      .u64(log_time);
  ++message_count_;
  ++per_channel_[channel];
  first_time_ = std::min(first_time_, log_time);
  last_time_ = std::max(last_time_, log_time);
  if (!chunk.compress && len >= kOwnChunkBytes) {
    // A large stored message becomes a chunk of its own, written straight
    // from its parts: it is never copied.
    flush_chunk(chunk);
    write_message_chunk(channel, log_time, head, parts);
    return;
  }
  if (chunk.index.empty()) chunk.start = chunk.end = log_time;
  chunk.index[channel].emplace_back(log_time, chunk.records.size());
  chunk.start = std::min(chunk.start, log_time);
  chunk.end = std::max(chunk.end, log_time);
  chunk.records.reserve(chunk.records.size() + kRecordHead + len);
  Put(chunk.records).bytes(head);
  for (const auto &p : parts) Put(chunk.records).bytes(p);
  if (chunk.records.size() >= opt_.chunk_bytes) flush_chunk(chunk);
}

McapWriter::OpenChunk &McapWriter::chunk_for(uint16_t channel) {
  return opt_.stored_channels.count(channel) != 0 ? stored_ : packed_;
}

void McapWriter::flush_chunk(OpenChunk &chunk) {
  const Bytes &records = chunk.records;
  if (records.empty()) return;
  const uint32_t crc = crc32_of(records);
  ChunkBody body{records.size(), crc, false, {}};
  if (chunk.compress) {
    compressed_.resize(ZSTD_compressBound(records.size()));
    const size_t n = ZSTD_compress2(static_cast<ZSTD_CCtx *>(zctx_), compressed_.data(),
                                    compressed_.size(), records.data(), records.size());
    if (ZSTD_isError(n)) throw std::runtime_error(ZSTD_getErrorName(n));
    body.compressed = true;
    body.pieces.push_back({std::span<const uint8_t>(compressed_.data(), n), std::nullopt});
  } else {
    // A stored chunk's body is its records, whose CRC is known.
    body.pieces.push_back({records, crc});
  }
  write_chunk(chunk.start, chunk.end, body, chunk.index);
  chunk.records.clear();
  chunk.index.clear();
}

void McapWriter::write_message_chunk(uint16_t channel, uint64_t log_time,
                                     std::span<const uint8_t> head,
                                     std::span<const std::span<const uint8_t>> parts) {
  ChunkBody body{head.size(), crc32_of(head), false, {}};
  body.pieces.push_back({head, body.records_crc});
  for (const auto &p : parts) {
    if (p.empty()) continue;
    const uint32_t crc = crc32_of(p);
    body.pieces.push_back({p, crc});
    body.records_crc =
        static_cast<uint32_t>(crc32_combine(body.records_crc, crc, static_cast<z_off_t>(p.size())));
    body.records_size += p.size();
  }
  std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> index;
  index[channel].emplace_back(log_time, 0);
  write_chunk(log_time, log_time, body, index);
}

void McapWriter::write_chunk(
    uint64_t start, uint64_t end, const ChunkBody &body,
    const std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> &index) {
  uint64_t body_size = 0;
  for (const auto &piece : body.pieces) body_size += piece.bytes.size();
  Bytes head;
  Put(head)
      .u64(start)
      .u64(end)
      .u64(body.records_size)
      .u32(body.records_crc)
      .str(body.compressed ? "zstd" : "")
      .u64(body_size);
  ChunkIndexEntry e{};
  e.start_time = start;
  e.end_time = end;
  e.offset = offset_;
  Bytes rec_head;
  Put(rec_head).u8(static_cast<uint8_t>(Op::chunk)).u64(head.size() + body_size);
  write_raw(rec_head);
  write_raw(head);
  for (const auto &piece : body.pieces) write_raw(piece.bytes, piece.crc ? &*piece.crc : nullptr);
  e.length = offset_ - e.offset;
  const uint64_t index_start = offset_;
  for (const auto &[channel, entries] : index) {
    Bytes c;
    Put p(c);
    p.u16(channel).u32(static_cast<uint32_t>(entries.size() * 16));
    for (const auto &[t, off] : entries) p.u64(t).u64(off);
    e.index_offsets[channel] = write_record(Op::message_index, c);
  }
  e.index_length = offset_ - index_start;
  e.compressed_size = body_size;
  e.compressed = body.compressed;
  e.uncompressed_size = body.records_size;
  chunk_indexes_.push_back(std::move(e));
}

void McapWriter::add_metadata(const std::string &name, const StringMap &values) {
  require_open();
  Bytes c;
  Put(c).str(name).str_map(values);
  MetadataIndexEntry e{offset_, 0, name};
  write_record(Op::metadata, c);
  e.length = offset_ - e.offset;
  metadata_indexes_.push_back(std::move(e));
}

void McapWriter::add_attachment(const std::string &name, const std::string &media_type,
                                uint64_t log_time, std::span<const uint8_t> data) {
  require_open();
  Bytes c;
  Put(c).u64(log_time).u64(log_time).str(name).str(media_type).u64(data.size()).bytes(data);
  Put(c).u32(crc32_of(c));
  AttachmentIndexEntry e{offset_, 0, log_time, data.size(), name, media_type};
  write_record(Op::attachment, c);
  e.length = offset_ - e.offset;
  attachment_indexes_.push_back(std::move(e));
}

void McapWriter::finish() {
  require_open();
  flush_chunk(packed_);
  flush_chunk(stored_);
  {
    Bytes c;
    Put(c).u32(data_crc_);
    write_record(Op::data_end, c);
  }
  // The summary is built in memory, so that its CRC covers exactly it.
  const uint64_t summary_start = offset_;
  Bytes sum;
  std::vector<std::tuple<Op, uint64_t, uint64_t>> groups;
  auto group = [&](Op op, auto &&emit) {
    const uint64_t start = sum.size();
    emit();
    if (sum.size() > start) groups.emplace_back(op, summary_start + start, sum.size() - start);
  };
  group(Op::schema, [&] {
    for (const auto &[id, c] : schemas_) append_record(sum, Op::schema, c);
  });
  group(Op::channel, [&] {
    for (const auto &[id, c] : channels_) append_record(sum, Op::channel, c);
  });
  group(Op::statistics, [&] {
    Bytes c;
    Put(c)
        .u64(message_count_)
        .u16(static_cast<uint16_t>(schemas_.size()))
        .u32(static_cast<uint32_t>(channels_.size()))
        .u32(static_cast<uint32_t>(attachment_indexes_.size()))
        .u32(static_cast<uint32_t>(metadata_indexes_.size()))
        .u32(static_cast<uint32_t>(chunk_indexes_.size()))
        .u64(message_count_ == 0 ? 0 : first_time_)
        .u64(last_time_)
        .id_count_map(per_channel_);
    append_record(sum, Op::statistics, c);
  });
  group(Op::chunk_index, [&] {
    for (const auto &e : chunk_indexes_) {
      Bytes c;
      Put(c)
          .u64(e.start_time)
          .u64(e.end_time)
          .u64(e.offset)
          .u64(e.length)
          .id_count_map(e.index_offsets)
          .u64(e.index_length)
          .str(e.compressed ? "zstd" : "")
          .u64(e.compressed_size)
          .u64(e.uncompressed_size);
      append_record(sum, Op::chunk_index, c);
    }
  });
  group(Op::attachment_index, [&] {
    for (const auto &e : attachment_indexes_) {
      Bytes c;
      Put(c)
          .u64(e.offset)
          .u64(e.length)
          .u64(e.log_time)
          .u64(e.log_time)
          .u64(e.data_size)
          .str(e.name)
          .str(e.media_type);
      append_record(sum, Op::attachment_index, c);
    }
  });
  group(Op::metadata_index, [&] {
    for (const auto &e : metadata_indexes_) {
      Bytes c;
      Put(c).u64(e.offset).u64(e.length).str(e.name);
      append_record(sum, Op::metadata_index, c);
    }
  });
  const uint64_t summary_offset_start = summary_start + sum.size();
  for (const auto &[op, start, length] : groups) {
    Bytes c;
    Put(c).u8(static_cast<uint8_t>(op)).u64(start).u64(length);
    append_record(sum, Op::summary_offset, c);
  }
  Put(sum)
      .u8(static_cast<uint8_t>(Op::footer))
      .u64(kFooterContent)
      .u64(summary_start)
      .u64(summary_offset_start);
  Put(sum).u32(crc32_of(sum));
  write_raw(sum);
  write_raw(kMagic);
  finished_ = true;
  const int rc = std::fclose(f_);
  f_ = nullptr;
  if (rc != 0) fail("closing the recording failed");
}

}  // namespace torvi::record
