// The MCAP writer and cursor: what is written reads back, and damaged,
// truncated and foreign files are read as far as they are intact.
#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "record/frame_msgs.h"
#include "record/mcap_reader.h"
#include "record/mcap_writer.h"
#include "record/recorder.h"
#include "record/replay.h"
#include "stream/parser.h"
#include "tests/common/temp_dir.h"

namespace {

using namespace torvi::record;

struct Written {
  uint16_t channel;
  uint64_t time;
  Bytes data;
};

Bytes slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes `n` messages of random sizes on two channels into small chunks.
class McapFile : public ::testing::Test {
 protected:
  // Every `large_every`-th message (when not 0) is large, and given in two parts.
  void write(int n, bool compress = true, std::size_t chunk_bytes = 20000,
             std::set<uint16_t> stored = {}, int large_every = 0) {
    WriterOptions o;
    o.library = "test";
    o.chunk_bytes = chunk_bytes;
    o.compress = compress;
    o.stored_channels = std::move(stored);
    McapWriter w(path, o);
    w.add_schema({1, "a/msg/A", "ros2msg", "uint8[] data\n"});
    w.add_channel({1, 1, "/a", "cdr", {{"k", "v"}}});
    w.add_channel({2, 1, "/b", "cdr", {}});
    w.add_metadata("meta", {{"x", "1"}, {"y", "two"}});
    std::mt19937 rng(7);
    for (int i = 0; i < n; ++i) {
      Written m{static_cast<uint16_t>(1 + i % 2), 1000u + static_cast<uint64_t>(i) * 10, {}};
      const bool large = large_every != 0 && i % large_every == 0;
      m.data.resize(large ? kLarge + rng() % kLarge : rng() % 5000);
      for (auto &b : m.data) b = static_cast<uint8_t>(rng() % 7);  // compressible
      const std::size_t cut = m.data.size() / 3;
      const std::span<const uint8_t> all(m.data);
      const std::span<const uint8_t> parts[] = {all.first(cut), all.subspan(cut)};
      w.add_message(m.channel, m.time, parts);
      sent.push_back(std::move(m));
    }
    const Bytes att = {1, 2, 3, 4, 5};
    w.add_attachment("cal.bin", "application/octet-stream", 5, att);
    w.finish();
    file = slurp(path);
  }

  // Reads `bytes` to the end; the messages it gave.
  static std::vector<Written> read_all(std::span<const uint8_t> bytes, ReadStatus *st = nullptr) {
    McapCursor cur(bytes);
    std::vector<Written> got;
    while (auto r = cur.next()) {
      if (r->op != Op::message) continue;
      auto m = parse_message(r->content);
      EXPECT_TRUE(m.has_value());
      if (m) got.push_back({m->channel, m->log_time, Bytes(m->data.begin(), m->data.end())});
    }
    if (st != nullptr) *st = cur.status();
    return got;
  }

  // Offsets of the chunk records, from the chunk indexes' point of view: the
  // offset every record of a chunk reports.
  std::vector<uint64_t> chunk_offsets() const {
    std::vector<uint64_t> at;
    McapCursor cur(file);
    while (auto r = cur.next())
      if (r->in_chunk && (at.empty() || at.back() != r->offset)) at.push_back(r->offset);
    return at;
  }

  // How many messages lie in chunks that start before `cut`... and end
  // before it: those are the ones a reader of the cut file can see.
  std::size_t messages_before(uint64_t cut) const {
    std::size_t n = 0;
    McapCursor cur(file);
    uint64_t chunk_end = 0;
    while (auto r = cur.next()) {
      if (r->op != Op::message || !r->in_chunk) continue;
      Get head(std::span<const uint8_t>(file).subspan(r->offset + 1, 8));
      chunk_end = r->offset + kRecordHead + head.u64();
      if (chunk_end <= cut) ++n;
    }
    return n;
  }

  static constexpr std::size_t kLarge = 70000;
  torvi::test::TempDir dir;
  std::string path = dir.file("t.mcap");
  std::vector<Written> sent;
  Bytes file;
};

void expect_same(const std::vector<Written> &a, const std::vector<Written> &b, std::size_t n) {
  ASSERT_GE(a.size(), n);
  ASSERT_GE(b.size(), n);
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_EQ(a[i].channel, b[i].channel) << i;
    EXPECT_EQ(a[i].time, b[i].time) << i;
    EXPECT_TRUE(a[i].data == b[i].data) << "message " << i;
  }
}

TEST_F(McapFile, EveryMessageReadsBackInOrder) {
  write(200);
  ReadStatus st;
  const auto got = read_all(file, &st);
  EXPECT_EQ(st.state, ReadStatus::State::complete);
  EXPECT_EQ(st.damaged_chunks, 0u);
  EXPECT_EQ(st.offset, file.size());
  ASSERT_EQ(got.size(), sent.size());
  expect_same(got, sent, sent.size());
  EXPECT_GT(chunk_offsets().size(), 5u);
}

// Per channel, the messages come back in the order they were written.
void expect_same_per_channel(const std::vector<Written> &got, const std::vector<Written> &sent) {
  for (uint16_t ch : {1, 2}) {
    std::vector<Written> a, b;
    for (const auto &m : got)
      if (m.channel == ch) a.push_back(m);
    for (const auto &m : sent)
      if (m.channel == ch) b.push_back(m);
    expect_same(a, b, b.size());
  }
}

// The compression named by each chunk, and by its entry in the summary's
// chunk index, with the channels the chunk holds.
struct ChunkSeen {
  std::string compression, indexed_compression;
  std::set<uint16_t> channels;
};

TEST_F(McapFile, StoredChannelsGetChunksOfTheirOwnAndTheIndexSaysSo) {
  write(60, true, 20000, {1});
  std::map<uint64_t, ChunkSeen> chunks;  // by offset
  McapCursor cur(file);
  while (auto r = cur.next()) {
    if (r->in_chunk && r->op == Op::message) {
      ChunkSeen &c = chunks[r->offset];
      c.channels.insert(parse_message(r->content)->channel);
      Get g(std::span<const uint8_t>(file).subspan(r->offset + kRecordHead));
      g.u64(), g.u64(), g.u64(), g.u32();
      c.compression = g.str();
    }
    if (r->op == Op::chunk_index) {
      Get g(r->content);
      g.u64(), g.u64();
      const uint64_t at = g.u64();
      g.u64();
      g.take(g.u32());  // message index offsets
      g.u64();
      chunks[at].indexed_compression = g.str();
    }
  }
  ASSERT_EQ(cur.status().state, ReadStatus::State::complete);
  int stored = 0;
  for (const auto &[at, c] : chunks) {
    const bool only_stored = c.channels == std::set<uint16_t>{1};
    EXPECT_TRUE(only_stored || c.channels.count(1) == 0) << "chunk at " << at;
    EXPECT_EQ(c.compression, only_stored ? "" : "zstd") << "chunk at " << at;
    EXPECT_EQ(c.indexed_compression, c.compression) << "chunk at " << at;
    stored += only_stored ? 1 : 0;
  }
  EXPECT_GT(stored, 0);
  std::vector<Written> got = read_all(file);
  ASSERT_EQ(got.size(), sent.size());
  expect_same_per_channel(got, sent);
}

TEST_F(McapFile, LargeStoredMessagesAreChunksOfTheirOwnWithTrueCrcs) {
  // Channel 1 stored, every 4th message large (and so on channel 1).
  write(90, true, 20000, {1}, 4);
  ReadStatus st;
  const auto got = read_all(file, &st);
  EXPECT_EQ(st.state, ReadStatus::State::complete) << st.reason;
  EXPECT_EQ(st.damaged_chunks, 0u);
  ASSERT_EQ(got.size(), sent.size());
  expect_same_per_channel(got, sent);
  // Each large message is the only one in its chunk.
  std::map<uint64_t, std::vector<std::size_t>> sizes;  // chunk offset -> message sizes
  McapCursor cur(file);
  while (auto r = cur.next())
    if (r->in_chunk && r->op == Op::message)
      sizes[r->offset].push_back(parse_message(r->content)->data.size());
  std::size_t own = 0;
  for (const auto &[at, in_chunk] : sizes) {
    const bool any_large =
        std::any_of(in_chunk.begin(), in_chunk.end(), [](std::size_t n) { return n >= kLarge; });
    if (any_large) {
      EXPECT_EQ(in_chunk.size(), 1u) << "chunk at " << at;
      ++own;
    }
  }
  EXPECT_EQ(own, 23u);
  // Cutting the file at every chunk keeps exactly the chunks before.
  for (uint64_t cut : chunk_offsets()) {
    const auto part = read_all(std::span<const uint8_t>(file.data(), cut));
    EXPECT_EQ(part.size(), messages_before(cut)) << cut;
  }
  // A flipped byte inside a large message's chunk fails that chunk's CRC.
  const uint64_t at = std::find_if(sizes.begin(), sizes.end(), [](const auto &c) {
                        return c.second.front() >= kLarge;
                      })->first;
  file[at + 1000] ^= 0x01;
  const auto damaged = read_all(file, &st);
  EXPECT_EQ(st.damaged_chunks, 1u);
  EXPECT_EQ(damaged.size(), sent.size() - 1);
}

TEST(DepthMillimetres, EveryDriverValueSurvivesThePublicMetresRoundTrip) {
  // The depth channel takes the driver's millimetres directly; a user who
  // rounds the public call's metres back gets the same value for every
  // 16-bit value, the marks for filtered and invalid pixels included.
  for (uint32_t v = 0; v <= 65535; ++v) {
    const float metres = static_cast<float>(v) / 1000.0f;
    ASSERT_EQ(std::lround(metres * 1000.0f), static_cast<long>(v)) << v;
  }
}

TEST_F(McapFile, StoredChunksReadBackToo) {
  write(50, false);
  ReadStatus st;
  const auto got = read_all(file, &st);
  EXPECT_EQ(st.state, ReadStatus::State::complete);
  ASSERT_EQ(got.size(), sent.size());
  expect_same(got, sent, sent.size());
}

TEST_F(McapFile, MetadataAndAttachmentArePresent) {
  write(3);
  McapCursor cur(file);
  bool meta = false, att = false;
  while (auto r = cur.next()) {
    Get g(r->content);
    if (r->op == Op::metadata) {
      EXPECT_EQ(g.str(), "meta");
      const StringMap m = g.str_map();
      EXPECT_EQ(m.at("y"), "two");
      meta = true;
    }
    if (r->op == Op::attachment) {
      g.u64();
      g.u64();
      EXPECT_EQ(g.str(), "cal.bin");
      g.str();
      EXPECT_EQ(g.u64(), 5u);
      att = true;
    }
  }
  EXPECT_TRUE(meta);
  EXPECT_TRUE(att);
}

TEST_F(McapFile, TruncationAtEveryChunkBoundaryKeepsTheChunksBefore) {
  write(120);
  const auto chunks = chunk_offsets();
  ASSERT_GT(chunks.size(), 3u);
  for (uint64_t cut : chunks) {
    SCOPED_TRACE(cut);
    const std::span<const uint8_t> part(file.data(), cut);
    ReadStatus st;
    const auto got = read_all(part, &st);
    EXPECT_EQ(st.state, ReadStatus::State::stopped);
    EXPECT_EQ(st.offset, cut);
    EXPECT_NE(st.reason.find("without a footer"), std::string::npos) << st.reason;
    EXPECT_EQ(got.size(), messages_before(cut));
    expect_same(got, sent, got.size());
  }
}

TEST_F(McapFile, TruncationInsideAChunkKeepsOnlyWholeChunks) {
  write(120);
  const auto chunks = chunk_offsets();
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    const uint64_t cut = chunks[k] + 100;  // inside chunk k
    ReadStatus st;
    const auto got = read_all(std::span<const uint8_t>(file.data(), cut), &st);
    EXPECT_EQ(st.state, ReadStatus::State::stopped);
    EXPECT_EQ(st.offset, chunks[k]);
    EXPECT_NE(st.reason.find("inside a record"), std::string::npos) << st.reason;
    EXPECT_EQ(got.size(), messages_before(chunks[k]));
  }
}

TEST_F(McapFile, EveryCutReadsAPrefixWithoutFailing) {
  write(40);
  for (std::size_t cut = 0; cut < file.size(); cut += 97) {
    ReadStatus st;
    const auto got = read_all(std::span<const uint8_t>(file.data(), cut), &st);
    EXPECT_NE(st.state, ReadStatus::State::complete);
    expect_same(got, sent, got.size());
  }
}

TEST_F(McapFile, ADamagedChunkIsSkippedAndTheRestRead) {
  write(120);
  const auto chunks = chunk_offsets();
  ASSERT_GT(chunks.size(), 3u);
  const std::size_t in_first = messages_before(chunks[1]);
  const std::size_t in_second = messages_before(chunks[2]) - in_first;
  // A byte in the middle of the second chunk's compressed body.
  file[(chunks[1] + chunks[2]) / 2] ^= 0x40;
  ReadStatus st;
  const auto got = read_all(file, &st);
  EXPECT_EQ(st.damaged_chunks, 1u);
  EXPECT_NE(st.reason.find("chunk"), std::string::npos) << st.reason;
  EXPECT_NE(st.reason.find(std::to_string(chunks[1])), std::string::npos) << st.reason;
  ASSERT_EQ(got.size(), sent.size() - in_second);
  expect_same(got, sent, in_first);
  // The chunks after the damaged one are read too.
  const std::vector<Written> after(sent.begin() + static_cast<long>(in_first + in_second),
                                   sent.end());
  const std::vector<Written> got_after(got.begin() + static_cast<long>(in_first), got.end());
  expect_same(got_after, after, after.size());
}

TEST_F(McapFile, DamageOutsideChunksFailsTheDataSectionCrc) {
  write(10);
  // The metadata value "two" sits outside every chunk.
  const std::string needle = "two";
  auto it = std::search(file.begin(), file.end(), needle.begin(), needle.end());
  ASSERT_NE(it, file.end());
  *it = 'T';
  ReadStatus st;
  read_all(file, &st);
  EXPECT_EQ(st.state, ReadStatus::State::stopped);
  EXPECT_NE(st.reason.find("data section CRC"), std::string::npos) << st.reason;
}

TEST_F(McapFile, DamagedSummaryFailsItsCrc) {
  write(10);
  file[file.size() - 8 - 29 - 5] ^= 0x01;  // inside the last summary offset record
  ReadStatus st;
  const auto got = read_all(file, &st);
  EXPECT_EQ(got.size(), sent.size());
  EXPECT_EQ(st.state, ReadStatus::State::stopped);
  EXPECT_FALSE(st.summary_crc_ok);
}

TEST_F(McapFile, DamagedAttachmentIsSkipped) {
  write(4);
  const Bytes att = {1, 2, 3, 4, 5};
  auto it = std::search(file.begin(), file.end(), att.begin(), att.end());
  ASSERT_NE(it, file.end());
  *it = 9;
  ReadStatus st;
  McapCursor cur(file);
  int attachments = 0;
  while (auto r = cur.next()) attachments += r->op == Op::attachment;
  EXPECT_EQ(attachments, 0);
  EXPECT_EQ(cur.status().damaged_chunks, 1u);
}

TEST(McapForeign, FilesWithoutTheMagicAreForeign) {
  const std::string text = "time,x,y\n1,2,3\n";
  for (std::span<const uint8_t> bytes :
       {std::span<const uint8_t>(),
        std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(text.data()), text.size())}) {
    McapCursor cur(bytes);
    EXPECT_FALSE(cur.next().has_value());
    EXPECT_EQ(cur.status().state, ReadStatus::State::foreign);
    EXPECT_NE(cur.status().reason.find("not an MCAP file"), std::string::npos);
  }
}

TEST(McapForeign, RecordLengthsPastTheEndStopWithoutReading) {
  Bytes f(kMagic, kMagic + 8);
  Put(f).u8(0x05).u64(~uint64_t{0});
  Put(f).u32(1);
  McapCursor cur(f);
  EXPECT_FALSE(cur.next().has_value());
  EXPECT_EQ(cur.status().state, ReadStatus::State::stopped);
  EXPECT_EQ(cur.status().offset, 8u);
}

TEST(McapForeign, AChunkClaimingAHugeSizeIsDamagedNotAllocated) {
  Bytes content;
  Put(content).u64(0).u64(0).u64(uint64_t{1} << 40).u32(0).str("zstd").u64(0);
  Bytes f(kMagic, kMagic + 8);
  Put(f).u8(static_cast<uint8_t>(Op::chunk)).u64(content.size()).bytes(content);
  McapCursor cur(f);
  EXPECT_FALSE(cur.next().has_value());
  EXPECT_EQ(cur.status().damaged_chunks, 1u);
}

TEST(McapForeign, AChunkLargerThanItsDataIsDamaged) {
  // Real zstd data of 100 bytes in a chunk that claims 500 MiB, and one that
  // claims fewer bytes than it holds.
  const Bytes plain(100, 7);
  Bytes z(ZSTD_compressBound(plain.size()));
  z.resize(ZSTD_compress(z.data(), z.size(), plain.data(), plain.size(), 1));
  for (uint64_t claim : {uint64_t{500} << 20, uint64_t{99}}) {
    Bytes content;
    Put(content).u64(0).u64(0).u64(claim).u32(0).str("zstd").u64(z.size()).bytes(z);
    Bytes f(kMagic, kMagic + 8);
    Put(f).u8(static_cast<uint8_t>(Op::chunk)).u64(content.size()).bytes(content);
    McapCursor cur(f);
    EXPECT_FALSE(cur.next().has_value());
    EXPECT_EQ(cur.status().damaged_chunks, 1u) << claim;
  }
}

TEST(RawFrameMessage, HeaderFieldsAndBytesSurviveTheMessage) {
  torvi_frame_hdr_t h{4, 65535, 1023, 320, 240, -12, 415, 0xDEADBEEF};
  const uint8_t bytes[] = {9, 8, 7, 6};
  const RawPrefix p = encode_raw_prefix(1700000000123456789ull, h, 4);
  Bytes msg(p.begin(), p.end());
  msg.insert(msg.end(), bytes, bytes + 4);
  const auto f = decode_raw(msg);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->host_time_ns, 1700000000123456789ull);
  EXPECT_EQ(std::memcmp(&f->hdr, &h, sizeof h), 0);
  EXPECT_TRUE(std::equal(f->bytes.begin(), f->bytes.end(), bytes));
  msg.pop_back();  // the data length no longer matches
  EXPECT_FALSE(decode_raw(msg).has_value());
  EXPECT_FALSE(decode_raw(std::span<const uint8_t>(msg.data(), 10)).has_value());
}

TEST(DepthImageMessage, FieldsSitWhereCdrPutsThem) {
  const std::vector<uint16_t> mm = {1, 0x0203, 65500};
  const Bytes m = encode_depth_image(5'000000007ull, 3, 1, mm);
  auto u32 = [&](std::size_t at) {
    uint32_t v;
    std::memcpy(&v, m.data() + at, 4);
    return v;
  };
  EXPECT_EQ(u32(4), 5u);    // sec
  EXPECT_EQ(u32(8), 7u);    // nanosec
  EXPECT_EQ(u32(12), 12u);  // "torvi_depth" and its terminator
  EXPECT_EQ(u32(28), 1u);   // height
  EXPECT_EQ(u32(32), 3u);   // width
  EXPECT_EQ(u32(36), 6u);   // "16UC1" and its terminator
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(m.data() + 40)), "16UC1");
  EXPECT_EQ(m[46], 0);     // is_bigendian
  EXPECT_EQ(u32(48), 6u);  // step, aligned to 4
  EXPECT_EQ(u32(52), 6u);  // data length
  ASSERT_EQ(m.size(), 62u);
  EXPECT_EQ(m[58], 0x03);
  EXPECT_EQ(m[59], 0x02);
}

// Frames encoded for replay come out of the stream parser unchanged.
TEST(ReplayStream, EncodedFramesParseBackIntoTheSameFrames) {
  std::mt19937 rng(3);
  kx_stream parser(8);
  uint16_t sidx = 65530;  // wraps on the way
  std::vector<std::pair<torvi_frame_hdr_t, Bytes>> frames;
  for (uint32_t len : {4u, 1001u, 307200u, 1300000u}) {  // the last spans three chunks
    torvi_frame_hdr_t h{len, static_cast<uint16_t>(frames.size() + 7), 2, 320, 240, 301, -5, 77};
    Bytes b(len);
    for (auto &x : b) x = static_cast<uint8_t>(rng());
    Bytes stream;
    encode_stream_frame(h, b, 512 * 1024, sidx, stream);
    // Fed in uneven pieces, as transfers would deliver them.
    for (std::size_t at = 0; at < stream.size(); at += 16384)
      parser.feed(stream.data() + at, std::min<std::size_t>(16384, stream.size() - at));
    frames.emplace_back(h, std::move(b));
  }
  const kx_stream_state_t st = parser.state();
  EXPECT_EQ(st.frames_discarded, 0u);
  ASSERT_EQ(st.frames_ready, frames.size());
  for (const auto &[h, b] : frames) {
    Bytes out(b.size());
    torvi_frame_hdr_t got{};
    ASSERT_EQ(parser.fetch(out.data(), static_cast<unsigned>(out.size()), 1, &got, false), 1u);
    EXPECT_EQ(std::memcmp(&got, &h, sizeof h), 0);
    EXPECT_TRUE(out == b);
  }
}

}  // namespace
