// The library's stream parser accepts the camera's stream frame for frame.
#include <torvi/kx_stream.h>

#include "host.h"

namespace torvi::vcam::test {
namespace {

constexpr int kLen = 153600;
constexpr size_t kFrame = 320 * 240 * 8;

struct ParserDeleter {
  void operator()(kx_stream_t *s) const { kx_stream_destroy(s); }
};

class Parser : public BusFixture {
 protected:
  // Streams about `frames` frames and feeds each transfer to a parser as the
  // transport's event handler would.
  std::unique_ptr<kx_stream_t, ParserDeleter> run(CameraConfig cfg, size_t frames,
                                                  const std::vector<StreamFault> &faults = {},
                                                  bool upload = false) {
    cam = plug(std::move(cfg));
    for (const StreamFault &f : faults) cam->add_stream_fault(f);
    Host host;
    EXPECT_EQ(host.open(), 0);
    if (upload) {
      EXPECT_TRUE(host.param_set({Host::u32_param(0, 9, 1)}));
    }
    EXPECT_TRUE(host.out(0xC2, 4, {0, 0, 0, 0}));
    Streamer s(host, 16, kLen);
    s.submit_all();
    const size_t want =
        upload ? cam->config().upload_block.size() + 36 : frames * cam->frame_bytes(0).size();
    s.collect(want, 5000);
    kx_stream_cfg_t pc{32};
    std::unique_ptr<kx_stream_t, ParserDeleter> parser(kx_stream_create(&pc));
    size_t begin = 0;
    for (size_t end : s.piece_ends) {
      kx_stream_feed_input(parser.get(), reinterpret_cast<const char *>(s.data.data() + begin),
                           static_cast<int>(end - begin));
      begin = end;
    }
    return parser;
  }
  CameraPtr cam;
};

CameraConfig unpaced() {
  CameraConfig cfg;
  cfg.stream.paced = false;
  return cfg;
}

TEST_F(Parser, AcceptsEveryFrameWithItsIndexAndHeader) {
  auto parser = run(unpaced(), 5);
  kx_stream_state_t st{};
  kx_stream_get_state(parser.get(), &st);
  EXPECT_EQ(st.frames_discarded, 0u);
  EXPECT_EQ(st.bytes_discarded, 0u);
  ASSERT_GE(st.frames_ready, 5u);
  std::vector<char> buf(kFrame);
  for (uint32_t i = 0; i < 5; ++i) {
    torvi_frame_hdr_t h{};
    ASSERT_EQ(kx_stream_fetch_frames(parser.get(), buf.data(), kFrame, 1, &h, false), 1);
    EXPECT_EQ(h.frlen, kFrame);
    EXPECT_EQ(h.fridx, i);
    EXPECT_EQ(h.frfmt, 2);
    EXPECT_EQ(h.width, 320);
    EXPECT_EQ(h.height, 240);
    EXPECT_EQ(h.sensor_temp, 361);
    EXPECT_EQ(h.illum_temp, 341);
    const std::vector<uint8_t> raw = cam->raw_frame(i);
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), reinterpret_cast<uint8_t *>(buf.data()))) << i;
  }
}

TEST_F(Parser, DamagedFramesAreDiscardedAndTheRestKept) {
  StreamFault flip;
  flip.kind = StreamFault::Kind::flip_payload_bit;
  flip.frame = 1;
  flip.chunk = 4;
  flip.byte = 12;
  StreamFault drop;
  drop.kind = StreamFault::Kind::drop_chunk;
  drop.frame = 3;
  drop.chunk = 9;
  auto parser = run(unpaced(), 6, {flip, drop});
  kx_stream_state_t st{};
  kx_stream_get_state(parser.get(), &st);
  EXPECT_EQ(st.frames_discarded, 2u);
  std::vector<uint16_t> got;
  torvi_frame_hdr_t h{};
  while (kx_stream_fetch_frames(parser.get(), nullptr, 0, 1, &h, false) == 1)
    got.push_back(h.fridx);
  ASSERT_GE(got.size(), 4u);
  EXPECT_EQ(std::vector<uint16_t>(got.begin(), got.begin() + 4),
            (std::vector<uint16_t>{0, 2, 4, 5}));
}

TEST_F(Parser, TakesTheUploadFrame) {
  CameraConfig cfg;
  cfg.upload_block.assign(20003, 0x5A);
  auto parser = run(cfg, 1, {}, true);
  torvi_frame_hdr_t h{};
  std::vector<char> buf(20003);
  ASSERT_EQ(kx_stream_fetch_frames(parser.get(), buf.data(), 20003, 1, &h, false), 1);
  EXPECT_EQ(h.frfmt, 171);
  EXPECT_EQ(h.frlen, 20003u);
  EXPECT_EQ(buf.back(), 0x5A);
}

}  // namespace
}  // namespace torvi::vcam::test
