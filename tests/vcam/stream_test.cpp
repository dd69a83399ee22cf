// The camera's byte stream: headers, chunking, indexes, faults, determinism.
#include "host.h"
#include "stream_check.h"
#include "vcam/stream_encoder.h"

namespace torvi::vcam::test {
namespace {

constexpr int kLen = 153600;

class Stream : public BusFixture {
 protected:
  // Streams `frames` frames of a camera with `cfg` and parses them.
  ParsedStream capture(CameraConfig cfg, size_t frames, std::vector<uint8_t> *raw = nullptr) {
    cam = plug(std::move(cfg));
    Host host;
    EXPECT_EQ(host.open(), 0);
    EXPECT_TRUE(host.out(0xC2, 4, {0, 0, 0, 0}));
    Streamer s(host, 16, kLen);
    s.submit_all();
    s.collect(frames * cam->frame_bytes(0).size(), 5000);
    EXPECT_TRUE(host.out(0xC2, 5, {0xC2}));
    EXPECT_EQ(host.status().status, kStatusOk);
    if (raw) *raw = s.data;
    return parse_stream(s.data);
  }
  static CameraConfig fast() {
    CameraConfig cfg;
    cfg.stream.paced = false;
    return cfg;
  }
  CameraPtr cam;
};

TEST(StreamHeader, FieldsAndChecksums) {
  StreamConfig cfg;
  torvi::stream::WireHeader d;
  d.fridx = 0x1234;
  d.frfmt = 2;
  d.width = 320;
  d.height = 240;
  d.sensor_temp = -15;
  d.illum_temp = 400;
  const std::vector<uint8_t> payload = {1, 0, 0, 0, 2, 0, 0, 0, 9};
  std::array<uint8_t, 36> h{};
  write_stream_header(h, 65535, 9, 1000, d, true, cfg, payload);
  EXPECT_EQ(get_le16(&h[0]), 0x98FB);
  EXPECT_EQ(get_le16(&h[2]), 65535);
  EXPECT_EQ(get_le32(&h[4]), 9u);
  EXPECT_EQ(get_le32(&h[8]), 1000u);
  EXPECT_EQ(get_le16(&h[12]), 0x1234);
  EXPECT_EQ(get_le16(&h[14]), 2);
  EXPECT_EQ(get_le16(&h[16]), 320);
  EXPECT_EQ(static_cast<int16_t>(get_le16(&h[20])), -15);
  EXPECT_EQ(get_le32(&h[28]), 3u);  // whole words only: the trailing 9 is not summed
  EXPECT_EQ(h[32], 1);
  EXPECT_EQ(h[33], 1);
  // Fletcher-16 of "abcde" is 0xC8F0.
  const uint8_t abcde[] = {'a', 'b', 'c', 'd', 'e'};
  EXPECT_EQ(torvi::stream::fletcher16(abcde), 0xC8F0);
  EXPECT_EQ(get_le16(&h[34]), torvi::stream::fletcher16(std::span<const uint8_t>(h.data(), 34)));
}

TEST_F(Stream, FramesArriveWholeWithConsecutiveIndexes) {
  const ParsedStream p = capture(fast(), 4);
  EXPECT_TRUE(p.errors.empty()) << p.errors.front();
  ASSERT_GE(p.frames.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    const ParsedFrame &f = p.frames[i];
    EXPECT_EQ(f.fridx, i);
    EXPECT_EQ(f.format, 2);
    EXPECT_EQ(f.width, 320);
    EXPECT_EQ(f.height, 240);
    EXPECT_EQ(f.t_sensor, 361);
    EXPECT_EQ(f.data, cam->raw_frame(static_cast<uint32_t>(i))) << i;
  }
  // 614400 bytes in chunks of 61440: ten headers per frame, sidx 0, 1, 2 ...
  ASSERT_GE(p.sidx.size(), 40u);
  for (size_t i = 0; i < 40; ++i) EXPECT_EQ(p.sidx[i], i);
}

TEST_F(Stream, InjectedStreamFaultsShowWhereTheyWereAimed) {
  struct Case {
    StreamFault fault;
    const char *error;  // first error the reader must find
  };
  const auto fault = [](StreamFault::Kind k, uint32_t frame, uint32_t chunk, uint32_t byte = 0) {
    StreamFault f;
    f.kind = k;
    f.frame = frame;
    f.chunk = chunk;
    f.byte = byte;
    f.mask = 0x10;
    return f;
  };
  const std::vector<Case> cases = {
      {fault(StreamFault::Kind::flip_header_bit, 1, 2, 5), "fletcher"},
      {fault(StreamFault::Kind::flip_payload_bit, 1, 2, 100), "checksum sidx 12"},
      {fault(StreamFault::Kind::drop_chunk, 1, 3), "sidx 12->14"},
      {fault(StreamFault::Kind::duplicate_chunk, 1, 3), "sidx 13->13"},
      {fault(StreamFault::Kind::skip_sidx, 1, 0), "sidx 9->11"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.error);
    CameraConfig cfg = fast();
    cfg.sensor.width = 64;  // small frames of ten 2048-byte chunks, as fast as the test goes
    cfg.sensor.height = 40;
    cfg.stream.chunk_payload = 2048;
    auto camera = CameraPtr::make(cfg);
    camera->add_stream_fault(c.fault);
    VirtualBus::instance().attach(camera);
    Host host;
    ASSERT_EQ(host.open(), 0);
    ASSERT_TRUE(host.out(0xC2, 4, {0, 0, 0, 0}));
    Streamer s(host, 16, kLen);
    s.submit_all();
    s.collect(3 * camera->frame_bytes(0).size(), 5000);
    const ParsedStream p = parse_stream(s.data);
    ASSERT_FALSE(p.errors.empty());
    EXPECT_EQ(p.errors.front().rfind(c.error, 0), 0u) << p.errors.front();
    ASSERT_FALSE(p.frames.empty());
    EXPECT_EQ(p.frames[0].fridx, 0);  // frame 0 is untouched
    EXPECT_EQ(p.frames[0].data, camera->raw_frame(0));
    VirtualBus::instance().detach(camera.get());
  }
}

TEST_F(Stream, FrameIndexJump) {
  CameraConfig cfg = fast();
  StreamFault f;
  f.kind = StreamFault::Kind::skip_fridx;
  f.frame = 2;
  auto camera = CameraPtr::make(cfg);
  camera->add_stream_fault(f);
  cam = camera;
  VirtualBus::instance().attach(camera);
  Host host;
  ASSERT_EQ(host.open(), 0);
  ASSERT_TRUE(host.out(0xC2, 4, {0, 0, 0, 0}));
  Streamer s(host, 16, kLen);
  s.submit_all();
  s.collect(4 * camera->frame_bytes(0).size(), 5000);
  const ParsedStream p = parse_stream(s.data);
  EXPECT_TRUE(p.errors.empty());
  ASSERT_GE(p.frames.size(), 4u);
  EXPECT_EQ(p.frames[1].fridx, 1);
  EXPECT_EQ(p.frames[2].fridx, 3);
  EXPECT_EQ(p.frames[3].fridx, 4);
}

TEST_F(Stream, SameSeedSameBytesOtherSeedOtherBytes) {
  std::vector<uint8_t> a, b, c;
  CameraConfig cfg = fast();
  cfg.sensor.width = 64;
  cfg.sensor.height = 40;
  cfg.seed = 77;
  capture(cfg, 2, &a);
  VirtualBus::instance().detach_all();
  capture(cfg, 2, &b);
  VirtualBus::instance().detach_all();
  cfg.seed = 78;
  capture(cfg, 2, &c);
  const size_t n = 2 * cam->frame_bytes(0).size();
  ASSERT_GE(a.size(), n);
  ASSERT_GE(b.size(), n);
  ASSERT_GE(c.size(), n);
  EXPECT_TRUE(std::equal(a.begin(), a.begin() + static_cast<long>(n), b.begin()));
  EXPECT_FALSE(std::equal(a.begin(), a.begin() + static_cast<long>(n), c.begin()));
}

TEST_F(Stream, DataUploadModeSendsTheBlockOnceAsFormat171) {
  CameraConfig cfg;
  cfg.upload_block.resize(150001);
  for (size_t i = 0; i < cfg.upload_block.size(); ++i)
    cfg.upload_block[i] = static_cast<uint8_t>(i * 7);
  cam = plug(cfg);
  Host host;
  ASSERT_EQ(host.open(), 0);
  ASSERT_TRUE(host.param_set({Host::u32_param(0, 9, 1)}));
  ASSERT_TRUE(host.out(0xC2, 4, {0, 0, 0, 0}));
  Streamer s(host, 16, kLen, 150);
  s.submit_all();
  s.collect(1 << 20, 400);  // everything there is, then time-outs
  const ParsedStream p = parse_stream(s.data);
  EXPECT_TRUE(p.errors.empty());
  ASSERT_EQ(p.frames.size(), 1u);
  EXPECT_EQ(p.frames[0].format, 171);
  EXPECT_EQ(p.frames[0].data, cfg.upload_block);
  EXPECT_NE(std::find(s.statuses.begin(), s.statuses.end(), LIBUSB_TRANSFER_TIMED_OUT),
            s.statuses.end());
  // Back in the normal mode, a new capture streams depth frames.
  ASSERT_TRUE(host.out(0xC2, 5, {0xC2}));
  ASSERT_TRUE(host.param_set({Host::u32_param(0, 0, 1)}));
  EXPECT_EQ(cam->mode(), 0);
}

TEST_F(Stream, PacingFollowsTheFrameRate) {
  CameraConfig cfg;
  cfg.frame_rate = 50;
  cam = plug(cfg);
  Host host;
  ASSERT_EQ(host.open(), 0);
  ASSERT_TRUE(host.param_set({Host::u32_param(12, 20)}));  // 50 ms per frame
  const auto t0 = Clock::now();
  ASSERT_TRUE(host.out(0xC2, 4, {0, 0, 0, 0}));
  Streamer s(host, 16, kLen);
  s.submit_all();
  s.collect(3 * cam->frame_bytes(0).size(), 3000);
  // Frames 0, 1, 2 are due at 0, 50 and 100 ms; none is sent before its time.
  const auto sent = cam->stats().frames_sent;
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
  EXPECT_GE(elapsed, std::chrono::milliseconds(95));
  EXPECT_GE(sent, 3u);
  EXPECT_LE(sent, static_cast<uint64_t>(elapsed.count()) / 50 + 1);
}

}  // namespace
}  // namespace torvi::vcam::test
