#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "protocol.h"

namespace {

using namespace torvi_cli::view;

uint16_t u16_at(const std::vector<uint8_t> &b, std::size_t off) {
  return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

TEST(ViewProtocol, FrameCarriesHeaderAndPlanesInOrder) {
  const std::vector<float> depth = {1.5f, 65.3f, 65.5f, 0.0f, -1.0f, std::nanf("")};
  const std::vector<float> gray = {0.0f, 12.0f, 70000.0f, 3.9f, 1.0f, 2.0f};
  const std::vector<uint16_t> truth = {1500, 1501, 1502, 1503, 1504, 1505};
  FrameImages f;
  f.seq = 0x01020304;
  f.width = 3;
  f.height = 2;
  f.arrival_ms = 1234.5;
  f.decoded_ms = 1240.25;
  f.depth_m = depth;
  f.gray = gray;
  f.truth = truth;
  const auto b = pack_frame(f);
  ASSERT_EQ(b.size(), kFrameHeaderBytes + 3 * 6 * 2);
  EXPECT_EQ(std::memcmp(b.data(), "TVF1", 4), 0);
  EXPECT_EQ(b[4], 0x04);
  EXPECT_EQ(b[7], 0x01);
  EXPECT_EQ(u16_at(b, 8), 3);
  EXPECT_EQ(u16_at(b, 10), 2);
  EXPECT_EQ(b[12], kDepth | kGray | kTruth);
  double arrival = 0;
  std::memcpy(&arrival, &b[16], 8);
  EXPECT_EQ(arrival, 1234.5);
  double decoded = 0;
  std::memcpy(&decoded, &b[24], 8);
  EXPECT_EQ(decoded, 1240.25);
  const std::size_t d0 = kFrameHeaderBytes, g0 = d0 + 12, t0 = g0 + 12;
  // Depth in mm with the markers kept; nothing usable becomes "invalid".
  const uint16_t want_depth[] = {1500, 65300, 65500, 0, 65500, 65500};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(u16_at(b, d0 + 2 * i), want_depth[i]) << i;
  const uint16_t want_gray[] = {0, 12, 65535, 3, 1, 2};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(u16_at(b, g0 + 2 * i), want_gray[i]) << i;
  for (int i = 0; i < 6; ++i) EXPECT_EQ(u16_at(b, t0 + 2 * i), truth[i]) << i;
}

// A camera-sized frame of random values: every pixel of every plane lands at
// its place in its plane, converted as a single value would be.
TEST(ViewProtocol, EveryPixelOfALargeFrameLandsInItsPlane) {
  const uint16_t w = 320, h = 240;
  const std::size_t n = std::size_t{w} * h;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> metres(-1.0f, 70.0f), amplitude(-10.0f, 70000.0f);
  std::vector<float> depth(n), gray(n);
  std::vector<uint16_t> truth(n);
  for (std::size_t i = 0; i < n; ++i) {
    depth[i] = i % 97 == 0 ? 65.3f : metres(rng);
    gray[i] = amplitude(rng);
    truth[i] = static_cast<uint16_t>(rng());
  }
  FrameImages f;
  f.width = w;
  f.height = h;
  f.depth_m = depth;
  f.gray = gray;
  f.truth = truth;
  const auto b = pack_frame(f);
  ASSERT_EQ(b.size(), kFrameHeaderBytes + 3 * n * 2);
  const std::size_t d0 = kFrameHeaderBytes, g0 = d0 + 2 * n, t0 = g0 + 2 * n;
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(u16_at(b, d0 + 2 * i), depth_to_mm(depth[i])) << i;
    const float g = gray[i];
    const uint16_t want = g <= 0 ? 0 : g >= 65535 ? 65535 : static_cast<uint16_t>(g);
    ASSERT_EQ(u16_at(b, g0 + 2 * i), want) << i;
    ASSERT_EQ(u16_at(b, t0 + 2 * i), truth[i]) << i;
  }
}

TEST(ViewProtocol, PlanesTooShortForTheImageAreLeftOut) {
  const std::vector<float> depth(6, 1.0f);
  const std::vector<float> short_gray(5, 1.0f);
  FrameImages f;
  f.width = 3;
  f.height = 2;
  f.depth_m = depth;
  f.gray = short_gray;
  const auto b = pack_frame(f);
  EXPECT_EQ(b[12], kDepth);
  EXPECT_EQ(b.size(), kFrameHeaderBytes + 12);
}

TEST(ViewProtocol, RaysNeedThreeFloatsPerPixel) {
  const std::vector<float> rays = {0.f, 0.f, 1.f, 0.6f, 0.f, 0.8f};
  const auto b = pack_rays(2, 1, rays);
  ASSERT_EQ(b.size(), 8u + 24u);
  float z = 0;
  std::memcpy(&z, &b[8 + 5 * 4], 4);
  EXPECT_EQ(z, 0.8f);
  EXPECT_TRUE(pack_rays(2, 2, rays).empty());
}

TEST(ViewProtocol, CommandsAreFlatObjectsOfScalars) {
  const auto c =
      parse_command(R"( {"cmd":"filter", "id": 2, "on": false, "arg":5.5e0, "s":"a\"b"} )");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->cmd(), "filter");
  EXPECT_EQ(c->number("id"), 2.0);
  EXPECT_EQ(c->flag("on"), false);
  EXPECT_EQ(c->number("arg"), 5.5);
  EXPECT_EQ(c->fields.at("s"), "a\"b");
  EXPECT_FALSE(c->number("cmd"));
  EXPECT_FALSE(c->flag("id"));
  EXPECT_FALSE(c->number("missing"));
}

TEST(ViewProtocol, EverythingElseIsRefused) {
  for (const char *bad : {"", "[]", "{", "{\"cmd\":}", "{\"a\":{\"b\":1}}", "{\"a\":[1]}",
                          "{\"a\":1,}", "{\"a\":1} x", "{a:1}", "{\"a\":\"unterminated}",
                          "{\"a\":1e}", "{\"a\":\"\\u0041\"}", "{\"a\":\"tab\there\"}"}) {
    EXPECT_FALSE(parse_command(bad)) << bad;
  }
  std::string many = "{";
  for (int i = 0; i < 40; ++i) many += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":1";
  EXPECT_FALSE(parse_command(many + "}"));
  EXPECT_FALSE(parse_command(std::string(5000, ' ') + "{}"));
  EXPECT_TRUE(parse_command("{}"));
}

TEST(ViewProtocol, JsonEscapeKeepsStringsInsideTheirQuotes) {
  EXPECT_EQ(json_escape("a\"b\\c\nd\x01"), "a\\\"b\\\\c\\nd\\u0001");
}

}  // namespace
