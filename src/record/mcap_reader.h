// Reading MCAP files record by record, with the records inside chunks
// expanded, and every check a damaged or foreign file needs: the magic, record
// lengths within the file, known chunk compressions, chunk, attachment,
// data-section and summary CRCs, and the footer and closing magic.
//
// The cursor stops at the first record whose framing is broken (a truncated
// file, a length past the end) and says where; a chunk whose framing is
// intact but whose content is damaged (CRC, decompression) is skipped,
// counted, and reading goes on with the next record.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "record/mcap_format.h"

namespace torvi::record {

struct Record {
  Op op;
  std::span<const uint8_t> content;  // valid until the next call of next()
  uint64_t offset;                   // file offset of the record, or of its chunk
  bool in_chunk;
};

struct ReadStatus {
  enum class State { reading, complete, stopped, foreign };
  State state = State::reading;
  uint64_t offset = 0;  // where reading stopped (the file size when complete)
  std::string reason;   // why it stopped, or the first damage seen
  uint32_t damaged_chunks = 0;
  bool summary_crc_ok = true;
};

struct Message {
  uint16_t channel = 0;
  uint32_t sequence = 0;
  uint64_t log_time = 0;
  uint64_t publish_time = 0;
  std::span<const uint8_t> data;
};
// Decodes a message record's content; nullopt when it is too short.
std::optional<Message> parse_message(std::span<const uint8_t> content);

class McapCursor {
 public:
  // Largest uncompressed chunk accepted.
  static constexpr uint64_t kMaxChunk = 1ull << 30;

  explicit McapCursor(std::span<const uint8_t> file);
  ~McapCursor();
  McapCursor(const McapCursor &) = delete;
  McapCursor &operator=(const McapCursor &) = delete;
  // The next record; nullopt when reading has ended (see status()).
  std::optional<Record> next();
  const ReadStatus &status() const { return st_; }

 private:
  std::optional<Record> next_in_chunk();
  bool open_chunk(std::span<const uint8_t> content, uint64_t at);
  bool inflate_zstd(std::span<const uint8_t> body, uint64_t size);
  void note_damage(uint64_t at, const std::string &why);
  void stop(ReadStatus::State s, uint64_t at, const std::string &why);
  bool check_footer(std::span<const uint8_t> content, uint64_t at);
  bool check_data_end(std::span<const uint8_t> content, uint64_t at);

  std::span<const uint8_t> file_;
  uint64_t pos_ = 0;
  ReadStatus st_;
  Bytes chunk_;  // the open chunk's records, uncompressed
  std::span<const uint8_t> chunk_view_;
  uint64_t chunk_pos_ = 0;
  uint64_t chunk_at_ = 0;  // file offset of the open chunk
  void *dctx_ = nullptr;   // ZSTD_DCtx, made on the first compressed chunk
};

}  // namespace torvi::record
