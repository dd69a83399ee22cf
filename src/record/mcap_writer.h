// A small MCAP writer: header, schemas and channels, messages gathered into
// zstd-compressed chunks with their message indexes (a large message for a
// stored, uncompressed chunk is written as a chunk of its own, straight
// from the caller's buffers), metadata, attachments,
// and at the end the data-end record, the summary (schemas, channels,
// statistics, chunk, attachment and metadata indexes, summary offsets) and
// the footer, with CRC-32 over chunks, attachments, data section and summary.
//
// One thread uses a writer at a time. Failures to write throw
// std::runtime_error; the file is then incomplete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "record/mcap_format.h"

namespace torvi::record {

struct SchemaDef {
  uint16_t id = 0;
  std::string name;
  std::string encoding;  // "ros2msg"
  std::string data;      // the message definition text
};

struct ChannelDef {
  uint16_t id = 0;
  uint16_t schema_id = 0;
  std::string topic;
  std::string message_encoding;  // "cdr"
  StringMap metadata;
};

struct WriterOptions {
  std::string profile = "ros2";
  std::string library;
  std::size_t chunk_bytes = 4u << 20;  // uncompressed bytes per chunk
  bool compress = true;                // zstd; false: chunks stored as they are
  int zstd_level = 1;
  // Channels whose messages go into chunks of their own, stored without
  // compression (data that compresses slowly for little gain).
  std::set<uint16_t> stored_channels;
};

class McapWriter {
 public:
  // Creates the file and writes the magic and the header.
  McapWriter(const std::string &path, WriterOptions opt);
  ~McapWriter();
  McapWriter(const McapWriter &) = delete;
  McapWriter &operator=(const McapWriter &) = delete;

  void add_schema(const SchemaDef &s);
  void add_channel(const ChannelDef &c);
  // A message whose data is the given parts one after another.
  void add_message(uint16_t channel, uint64_t log_time,
                   std::span<const std::span<const uint8_t>> parts);
  void add_metadata(const std::string &name, const StringMap &values);
  void add_attachment(const std::string &name, const std::string &media_type, uint64_t log_time,
                      std::span<const uint8_t> data);
  // Closes the last chunk and writes the summary and the footer; the file is
  // complete afterwards. Further calls are refused.
  void finish();

  uint64_t bytes_written() const { return offset_; }
  uint64_t messages_written() const { return message_count_; }

 private:
  struct ChunkIndexEntry {
    uint64_t start_time, end_time, offset, length;
    std::map<uint16_t, uint64_t> index_offsets;
    uint64_t index_length, compressed_size, uncompressed_size;
    bool compressed;
  };
  struct AttachmentIndexEntry {
    uint64_t offset, length, log_time, data_size;
    std::string name, media_type;
  };
  struct MetadataIndexEntry {
    uint64_t offset, length;
    std::string name;
  };

  // Writes bytes to the file; `known_crc` is their CRC-32 when the caller
  // has it already (the data-section CRC then needs no second pass).
  void write_raw(std::span<const uint8_t> bytes, const uint32_t *known_crc = nullptr);
  // Writes one record to the file; returns its offset.
  uint64_t write_record(Op op, std::span<const uint8_t> content);
  static void append_record(Bytes &out, Op op, std::span<const uint8_t> content);
  void require_open() const;

  std::FILE *f_ = nullptr;
  WriterOptions opt_;
  uint64_t offset_ = 0;
  uint32_t data_crc_ = 0;  // CRC-32 of every byte written so far
  bool finished_ = false;

  std::map<uint16_t, Bytes> schemas_;   // id -> schema record content
  std::map<uint16_t, Bytes> channels_;  // id -> channel record content
  std::map<uint16_t, uint32_t> sequence_;
  std::map<uint16_t, uint64_t> per_channel_;

  // An open chunk: its records and, per channel, (log time, offset) pairs.
  struct OpenChunk {
    bool compress = false;
    Bytes records;
    std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> index;
    uint64_t start = 0, end = 0;
  };
  void flush_chunk(OpenChunk &c);
  // A chunk's body as written: its pieces (with their CRCs where known),
  // and the size and CRC of the records it holds.
  struct ChunkPiece {
    std::span<const uint8_t> bytes;
    std::optional<uint32_t> crc;
  };
  struct ChunkBody {
    uint64_t records_size = 0;
    uint32_t records_crc = 0;
    bool compressed = false;
    std::vector<ChunkPiece> pieces;
  };
  void write_chunk(uint64_t start, uint64_t end, const ChunkBody &body,
                   const std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> &index);
  // One message (its record head and data parts) as a stored chunk of its own.
  void write_message_chunk(uint16_t channel, uint64_t log_time, std::span<const uint8_t> head,
                           std::span<const std::span<const uint8_t>> parts);
  OpenChunk &chunk_for(uint16_t channel);

  // The open chunks: compressed (when compression is on) and stored.
  OpenChunk packed_, stored_;
  Bytes compressed_;
  void *zctx_ = nullptr;  // ZSTD_CCtx

  std::vector<ChunkIndexEntry> chunk_indexes_;
  std::vector<AttachmentIndexEntry> attachment_indexes_;
  std::vector<MetadataIndexEntry> metadata_indexes_;
  uint64_t message_count_ = 0;
  uint64_t first_time_ = UINT64_MAX, last_time_ = 0;
};

}  // namespace torvi::record
