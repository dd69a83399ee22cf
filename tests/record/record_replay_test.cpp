// Recording a virtual camera while the application takes frames, and
// replaying the recording as a camera through the ordinary capture path.
#include <gtest/gtest.h>
#include <torvi/torvi.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "record/frame_msgs.h"
#include "record/mcap_reader.h"
#include "record/mcap_writer.h"
#include "record/recorder.h"
#include "tests/common/temp_dir.h"

using namespace std::chrono_literals;
using torvi::record::Bytes;

namespace {

constexpr unsigned kMaxFrame = 4u << 20;

struct Frame {
  torvi_frame_info_t info{};
  Bytes bytes;
};

struct Recorded {
  torvi_frame_hdr_t hdr{};
  uint64_t time = 0;
  Bytes bytes;
};

struct FileContent {
  std::vector<Recorded> raw;
  std::vector<std::pair<uint64_t, Bytes>> depth;  // log time, whole message
  std::vector<std::string> metadata;
  std::vector<uint64_t> chunk_offsets;
  torvi::record::ReadStatus status;
};

Bytes slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

FileContent read_recording(const Bytes &file) {
  using namespace torvi::record;
  FileContent c;
  McapCursor cur(file);
  while (auto r = cur.next()) {
    if (r->in_chunk && (c.chunk_offsets.empty() || c.chunk_offsets.back() != r->offset))
      c.chunk_offsets.push_back(r->offset);
    if (r->op == Op::metadata) {
      Get g(r->content);
      c.metadata.push_back(g.str());
    }
    if (r->op != Op::message) continue;
    const auto m = parse_message(r->content);
    if (!m) continue;
    if (m->channel == kRawChannelId) {
      const auto f = decode_raw(m->data);
      EXPECT_TRUE(f.has_value());
      if (f) c.raw.push_back({f->hdr, m->log_time, Bytes(f->bytes.begin(), f->bytes.end())});
    } else if (m->channel == kDepthChannelId) {
      c.depth.emplace_back(m->log_time, Bytes(m->data.begin(), m->data.end()));
    }
  }
  c.status = cur.status();
  return c;
}

class RecordReplay : public ::testing::Test {
 protected:
  void SetUp() override {
    cam = torvi_vcam_create("VCAM-T0-1.0", 11);
    ASSERT_NE(cam, nullptr);
    torvi_vcam_set_frame_rate(cam, 60);
    torvi_vcam_plug(cam);
    torvi_vcam_enable(1);
  }
  void TearDown() override {
    if (dev.priv != nullptr) torvi_dev_close(&dev);
    if (replay.priv != nullptr) torvi_dev_close(&replay);
    torvi_vcam_enable(0);
    torvi_vcam_destroy(cam);
  }

  bool open_camera() {
    torvi_dev_t list[2];
    if (torvi_dev_list(list, 2) < 1) return false;
    dev = list[0];
    return torvi_dev_open(&dev) == &dev;
  }

  // Takes `n` frames one by one as an application would.
  static std::vector<Frame> take(torvi_dev_t &d, unsigned n) {
    std::vector<Frame> out;
    Bytes buf(kMaxFrame);
    for (int empty = 0; out.size() < n && empty < 3;) {
      torvi_frame_info_t info{};
      const int got = torvi_cap_get_frames(&d, 1, buf.data(), kMaxFrame, &info);
      if (got <= 0) {
        ++empty;
        continue;
      }
      out.push_back({info, Bytes(buf.begin(), buf.begin() + info.frame_size)});
    }
    return out;
  }

  // Takes frames from a replay until it has ended and nothing is left.
  static std::vector<Frame> take_all(torvi_dev_t &d) {
    std::vector<Frame> out;
    Bytes buf(kMaxFrame);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      torvi_frame_info_t info{};
      const int got = torvi_cap_get_frames(&d, 1, buf.data(), kMaxFrame, &info);
      if (got > 0) {
        out.push_back({info, Bytes(buf.begin(), buf.begin() + info.frame_size)});
        continue;
      }
      torvi_replay_info_t ri{};
      if (got < 0 || (torvi_replay_get_info(&d, &ri) && ri.ended)) break;
    }
    return out;
  }

  // Records `n` frames taken by the application; returns what it took.
  std::vector<Frame> record(unsigned n, torvi_record_stats_t *stats = nullptr) {
    EXPECT_TRUE(open_camera());
    torvi_record_t *rec = torvi_record_start(&dev, path.c_str(), nullptr);
    EXPECT_NE(rec, nullptr);
    EXPECT_TRUE(torvi_cap_start(&dev));
    auto frames = take(dev, n);
    EXPECT_TRUE(torvi_cap_stop(&dev));
    torvi_record_stats_t s{};
    EXPECT_TRUE(torvi_record_stop(rec, &s));
    if (stats != nullptr) *stats = s;
    torvi_dev_close(&dev);
    return frames;
  }

  torvi_vcam_t *cam = nullptr;
  torvi_dev_t dev{};
  torvi_dev_t replay{};
  torvi::test::TempDir dir;
  std::string path = dir.file("run.mcap");
};

TEST_F(RecordReplay, EveryFrameTheApplicationTookIsInTheFile) {
  torvi_record_stats_t s{};
  const auto taken = record(12, &s);
  ASSERT_EQ(taken.size(), 12u);
  const FileContent c = read_recording(slurp(path));
  EXPECT_EQ(c.status.state, torvi::record::ReadStatus::State::complete);
  EXPECT_EQ(s.frames_dropped, 0u);
  EXPECT_EQ(s.frames_written, c.raw.size());
  EXPECT_EQ(s.frames_seen, s.frames_written);
  // The application's frames appear in the file in order, byte for byte.
  std::size_t at = 0;
  for (const Frame &f : taken) {
    while (at < c.raw.size() && c.raw[at].hdr.fridx != f.info.frame_idx) ++at;
    ASSERT_LT(at, c.raw.size()) << "frame " << f.info.frame_idx << " is not in the file";
    EXPECT_EQ(c.raw[at].hdr.frlen, f.info.frame_size);
    EXPECT_EQ(c.raw[at].hdr.frfmt, f.info.frame_format);
    EXPECT_TRUE(c.raw[at].bytes == f.bytes) << "frame " << f.info.frame_idx;
  }
  // Host times grow and the metadata is there.
  for (std::size_t i = 1; i < c.raw.size(); ++i) EXPECT_GE(c.raw[i].time, c.raw[i - 1].time);
  EXPECT_EQ(c.metadata,
            (std::vector<std::string>{"torvi.device", "torvi.parameters", "torvi.filters",
                                      "torvi.registers", "torvi.recording"}));
}

TEST_F(RecordReplay, ReplayDeliversTheRecordedFramesByteForByte) {
  record(15);
  const FileContent c = read_recording(slurp(path));
  ASSERT_GE(c.raw.size(), 15u);
  ASSERT_EQ(torvi_replay_open(path.c_str(), TORVI_REPLAY_FAST, &replay), &replay);
  EXPECT_STREQ(replay.product, "VCAM-T0-1.0");
  EXPECT_EQ(replay.if_type, static_cast<uint32_t>(TORVI_LL_IF_REPLAY));
  ASSERT_TRUE(torvi_cap_start(&replay));
  const auto got = take_all(replay);
  ASSERT_EQ(got.size(), c.raw.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].info.frame_idx, c.raw[i].hdr.fridx);
    EXPECT_EQ(got[i].info.frame_format, c.raw[i].hdr.frfmt);
    EXPECT_TRUE(got[i].bytes == c.raw[i].bytes) << "frame " << i;
  }
  torvi_replay_info_t ri{};
  ASSERT_TRUE(torvi_replay_get_info(&replay, &ri));
  EXPECT_EQ(ri.intact, 1);
  EXPECT_EQ(ri.ended, 1);
  EXPECT_EQ(ri.frames_in_file, c.raw.size());
  EXPECT_EQ(ri.frames_replayed, c.raw.size());
  EXPECT_STREQ(ri.reason, "");
  // The recorded parameters answer the application's questions.
  torvi_param_t fps{};
  fps.number = 12;
  ASSERT_TRUE(torvi_param_batch_get(&replay, &fps, 1));
  uint32_t rate = 0;
  std::memcpy(&rate, fps.value, 4);
  EXPECT_EQ(rate, 60u);
}

TEST_F(RecordReplay, DistanceImagesMatchTheDecodeOfTheReplayedFrames) {
  record(6);
  const FileContent c = read_recording(slurp(path));
  ASSERT_EQ(c.depth.size(), c.raw.size());
  ASSERT_EQ(torvi_replay_open(path.c_str(), TORVI_REPLAY_FAST, &replay), &replay);
  ASSERT_TRUE(torvi_cap_start(&replay));
  const auto got = take_all(replay);
  ASSERT_EQ(got.size(), c.raw.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    const auto &info = got[i].info;
    // The replayed frame decoded by the library, in millimetres.
    std::vector<float> m(size_t{info.width} * info.height);
    ASSERT_EQ(
        torvi_frame_get_distance(&replay, m.data(), static_cast<int>(m.size()), got[i].bytes.data(),
                                 static_cast<int>(got[i].bytes.size()), &info),
        static_cast<int>(m.size()));
    std::vector<uint16_t> mm(m.size());
    for (std::size_t k = 0; k < m.size(); ++k)
      mm[k] = static_cast<uint16_t>(std::lround(m[k] * 1000.0f));
    const Bytes expect =
        torvi::record::encode_depth_image(c.raw[i].time, info.width, info.height, mm);
    EXPECT_EQ(c.depth[i].first, c.raw[i].time);
    EXPECT_TRUE(c.depth[i].second == expect) << "distance image " << i;
  }
}

TEST_F(RecordReplay, PacedReplayKeepsTheRecordedPace) {
  record(10);
  const FileContent c = read_recording(slurp(path));
  ASSERT_GE(c.raw.size(), 10u);
  const auto span = std::chrono::nanoseconds(c.raw.back().time - c.raw.front().time);
  ASSERT_EQ(torvi_replay_open(path.c_str(), TORVI_REPLAY_PACED, &replay), &replay);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(torvi_cap_start(&replay));
  const auto got = take_all(replay);
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(got.size(), c.raw.size());
  // Never faster than recorded (a slow host may take longer).
  EXPECT_GE(took, span - 5ms);
}

TEST_F(RecordReplay, LoopingReplayStartsAgainAtTheEnd) {
  record(5);
  const FileContent c = read_recording(slurp(path));
  ASSERT_EQ(torvi_replay_open(path.c_str(), TORVI_REPLAY_FAST | TORVI_REPLAY_LOOP, &replay),
            &replay);
  ASSERT_TRUE(torvi_cap_start(&replay));
  const auto got = take(replay, static_cast<unsigned>(2 * c.raw.size() + 2));
  ASSERT_EQ(got.size(), 2 * c.raw.size() + 2);
  EXPECT_TRUE(got[c.raw.size()].bytes == c.raw[0].bytes);
  torvi_replay_info_t ri{};
  ASSERT_TRUE(torvi_replay_get_info(&replay, &ri));
  EXPECT_GE(ri.loops, 2u);
  EXPECT_EQ(ri.ended, 0);
}

TEST_F(RecordReplay, TruncatedRecordingReplaysItsIntactChunks) {
  // Small chunks: the frames are spread over many.
  record(12);
  const Bytes file = slurp(path);
  const FileContent whole = read_recording(file);
  ASSERT_GE(whole.chunk_offsets.size(), 2u);
  for (uint64_t cut : whole.chunk_offsets) {
    SCOPED_TRACE(cut);
    const std::string part = dir.file("cut.mcap");
    {
      std::ofstream out(part, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char *>(file.data()), static_cast<std::streamsize>(cut));
    }
    const FileContent c =
        read_recording(Bytes(file.begin(), file.begin() + static_cast<long>(cut)));
    torvi_dev_t d{};
    ASSERT_EQ(torvi_replay_open(part.c_str(), TORVI_REPLAY_FAST, &d), &d);
    ASSERT_TRUE(torvi_cap_start(&d));
    const auto got = take_all(d);
    torvi_replay_info_t ri{};
    ASSERT_TRUE(torvi_replay_get_info(&d, &ri));
    EXPECT_EQ(ri.intact, 0);
    EXPECT_EQ(ri.stop_offset, cut);
    EXPECT_NE(std::string(ri.reason).find("without a footer"), std::string::npos) << ri.reason;
    EXPECT_EQ(ri.frames_in_file, c.raw.size());
    ASSERT_EQ(got.size(), c.raw.size());
    for (std::size_t i = 0; i < got.size(); ++i)
      EXPECT_TRUE(got[i].bytes == whole.raw[i].bytes) << "frame " << i;
    torvi_dev_close(&d);
  }
}

TEST_F(RecordReplay, FilesThatAreNotRecordingsFailToOpen) {
  const std::string text = dir.file("notes.txt");
  std::ofstream(text) << "not a recording\n";
  EXPECT_EQ(torvi_replay_open(text.c_str(), 0, &replay), nullptr);
  EXPECT_EQ(replay.priv, nullptr);
  EXPECT_EQ(torvi_replay_open(dir.file("missing.mcap").c_str(), 0, &replay), nullptr);
  // An MCAP file of another program: no raw frames of ours.
  const std::string other = dir.file("other.mcap");
  {
    torvi::record::McapWriter w(other, {});
    w.add_schema({1, "std_msgs/msg/String", "ros2msg", "string data\n"});
    w.add_channel({1, 1, "/chatter", "cdr", {}});
    const Bytes msg = {0, 1, 0, 0, 3, 0, 0, 0, 'h', 'i', 0};
    const std::span<const uint8_t> parts[] = {msg};
    w.add_message(1, 1, parts);
    w.finish();
  }
  EXPECT_EQ(torvi_replay_open(other.c_str(), 0, &replay), nullptr);
  EXPECT_EQ(replay.priv, nullptr);
  EXPECT_EQ(torvi_replay_open(path.c_str(), 0x80, &replay), nullptr);  // unknown flag
}

TEST_F(RecordReplay, RecordingNeedsAnOpenDeviceOnceAtATime) {
  EXPECT_EQ(torvi_record_start(&dev, path.c_str(), nullptr), nullptr);  // not open
  ASSERT_TRUE(open_camera());
  EXPECT_EQ(torvi_record_start(&dev, dir.file("no/such/folder/x.mcap").c_str(), nullptr), nullptr);
  torvi_record_t *rec = torvi_record_start(&dev, path.c_str(), nullptr);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(torvi_record_start(&dev, dir.file("second.mcap").c_str(), nullptr), nullptr);
  torvi_record_stats_t s{};
  EXPECT_TRUE(torvi_record_get_stats(rec, &s));
  EXPECT_FALSE(torvi_record_get_stats(nullptr, &s));
  EXPECT_TRUE(torvi_record_stop(rec, &s));
  EXPECT_EQ(s.frames_written, 0u);
  EXPECT_FALSE(torvi_record_stop(nullptr, nullptr));
  // Stopped: the device may be recorded again.
  rec = torvi_record_start(&dev, dir.file("again.mcap").c_str(), nullptr);
  ASSERT_NE(rec, nullptr);
  EXPECT_TRUE(torvi_record_stop(rec, nullptr));
}

TEST_F(RecordReplay, AFullQueueDropsFramesAndSaysSo) {
  // An unpaced camera floods the stream; a queue of one frame cannot keep
  // every frame while the writer compresses.
  torvi_vcam_set_paced(cam, 0);
  ASSERT_TRUE(open_camera());
  torvi_record_opts_t o{};
  o.queue_frames = 1;
  torvi_record_t *rec = torvi_record_start(&dev, path.c_str(), &o);
  ASSERT_NE(rec, nullptr);
  ASSERT_TRUE(torvi_cap_start(&dev));
  torvi_record_stats_t s{};
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  std::vector<Frame> taken;
  while (s.frames_dropped == 0 && std::chrono::steady_clock::now() < deadline) {
    taken = take(dev, 4);
    torvi_record_get_stats(rec, &s);
  }
  torvi_cap_stop(&dev);
  ASSERT_TRUE(torvi_record_stop(rec, &s));
  EXPECT_GT(s.frames_dropped, 0u);
  EXPECT_EQ(s.frames_written + s.frames_dropped, s.frames_seen);
  EXPECT_EQ(read_recording(slurp(path)).raw.size(), s.frames_written);
}

}  // namespace
