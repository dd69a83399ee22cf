// The optimised inner loops against their plain versions, and the header
// rules against the test generator's independent encoder.
#include "stream/kernels.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "stream/wire_header.h"
#include "tests/common/stream_gen.h"

namespace ts = torvi::stream;
using torvi::test::gen_header;

namespace {

TEST(StreamKernels, CopySumMatchesReferenceForAnyCutAndAlignment) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 300; ++round) {
    const std::size_t n = std::uniform_int_distribution<std::size_t>(0, 700)(rng);
    const std::size_t off = round % 16;  // source alignment
    std::vector<uint8_t> src(n + 16);
    for (auto &b : src) b = static_cast<uint8_t>(byte(rng));
    std::vector<uint8_t> dst_fast(n + 16, 0xCC);
    std::vector<uint8_t> dst_ref(n + 16, 0xCC);
    ts::PayloadSum fast;
    ts::PayloadSum ref;
    // The same bytes in random pieces, as the parser hands them over.
    std::size_t at = 0;
    while (at < n) {
      const std::size_t k =
          std::min(n - at, std::uniform_int_distribution<std::size_t>(1, 97)(rng));
      const bool copy = (round % 3) != 0;
      ts::copy_sum(copy ? dst_fast.data() + 3 + at : nullptr, src.data() + off + at, k, fast);
      ts::copy_sum_ref(copy ? dst_ref.data() + 3 + at : nullptr, src.data() + off + at, k, ref);
      at += k;
    }
    ASSERT_EQ(fast.sum, ref.sum) << "n=" << n;
    ASSERT_EQ(fast.held, ref.held);
    ASSERT_EQ(fast.partial, ref.partial);
    ASSERT_EQ(dst_fast, dst_ref);
    // And both equal the sum of whole words of the payload in one piece.
    ASSERT_EQ(ref.value(), torvi::test::gen_payload_sum(src.data() + off, n));
  }
}

TEST(StreamKernels, FindMagicMatchesReference) {
  std::mt19937 rng(5);
  for (int round = 0; round < 2000; ++round) {
    const std::size_t n = std::uniform_int_distribution<std::size_t>(0, 300)(rng);
    std::vector<uint8_t> buf(n);
    // Dense in FB and 98 so that near misses are common.
    std::uniform_int_distribution<int> pick(0, 9);
    for (auto &b : buf) {
      const int r = pick(rng);
      b = r < 3 ? 0xFB : r < 6 ? 0x98 : static_cast<uint8_t>(rng());
    }
    // Rounds without any pair, so that the whole buffer is scanned.
    if (round % 2 == 0) {
      for (std::size_t i = 1; i < n; ++i) {
        if (buf[i - 1] == 0xFB && buf[i] == 0x98) buf[i] = 0x11;
      }
    }
    for (std::size_t from = 0; from <= std::min<std::size_t>(n, 40); ++from) {
      ASSERT_EQ(ts::find_magic(buf.data() + from, n - from),
                ts::find_magic_ref(buf.data() + from, n - from));
    }
  }
  const uint8_t tail[] = {1, 2, 0xFB};
  EXPECT_EQ(ts::find_magic(tail, 3), 2u);
  const uint8_t none[] = {0xFB, 0x97, 0x98, 0xFB, 0x00};
  EXPECT_EQ(ts::find_magic(none, 5), 5u);
}

torvi::stream::WireHeader good_fields() {
  torvi::stream::WireHeader f;
  f.sidx = 0x1234;
  f.len = 100;
  f.frlen = 300;
  f.fridx = 0xBEEF;
  f.frfmt = 1023;
  f.width = 320;
  f.height = 240;
  f.sensor_temp = -123;
  f.illum_temp = 456;
  f.extra = 0xDEADBEEF;
  f.payload_sum = 0x01020304;
  f.start_of_frame = true;
  f.has_payload_sum = true;
  return f;
}

TEST(StreamChecksums, Fletcher16GivesTheKnownValues) {
  auto f16 = [](const char *text) {
    return ts::fletcher16({reinterpret_cast<const uint8_t *>(text), std::strlen(text)});
  };
  EXPECT_EQ(f16(""), 0x0000);
  EXPECT_EQ(f16("abcde"), 0xC8F0);
  EXPECT_EQ(f16("abcdef"), 0x2057);
  EXPECT_EQ(f16("abcdefgh"), 0x0627);
  // Both sums wrap at 255, not 256: 255 bytes of 0xFF sum to 0 in each.
  const std::vector<uint8_t> ff(255, 0xFF);
  EXPECT_EQ(ts::fletcher16(ff), 0x0000);
  const std::vector<uint8_t> one(1, 0xFF);
  EXPECT_EQ(ts::fletcher16(one), 0x0000);
  const std::vector<uint8_t> two = {0x01, 0x02};
  EXPECT_EQ(ts::fletcher16(two), 0x0403);
}

TEST(StreamChecksums, PayloadSumAddsWholeLittleEndianWords) {
  const std::vector<uint8_t> p = {0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF,
                                  0xFF, 0x10, 0x20, 0x30, 0x40, 0x7F};
  // 1 + 0xFFFFFFFF wraps to 0; + 0x40302010; the trailing byte is no word.
  EXPECT_EQ(ts::payload_sum(p), 0x40302010u);
  EXPECT_EQ(ts::payload_sum({}), 0u);
}

TEST(StreamHeader, DecodesEveryFieldAndAgreesOnTheChecksum) {
  const torvi::stream::WireHeader f = good_fields();
  const auto h = gen_header(f);
  ASSERT_TRUE(ts::header_valid(h.data()));
  const ts::WireHeader w = ts::decode_header(h.data());
  EXPECT_EQ(w.sidx, f.sidx);
  EXPECT_EQ(w.len, f.len);
  EXPECT_EQ(w.frlen, f.frlen);
  EXPECT_EQ(w.fridx, f.fridx);
  EXPECT_EQ(w.frfmt, f.frfmt);
  EXPECT_EQ(w.width, f.width);
  EXPECT_EQ(w.height, f.height);
  EXPECT_EQ(w.sensor_temp, f.sensor_temp);
  EXPECT_EQ(w.illum_temp, f.illum_temp);
  EXPECT_EQ(w.extra, f.extra);
  EXPECT_EQ(w.payload_sum, f.payload_sum);
  EXPECT_TRUE(w.start_of_frame);
  EXPECT_TRUE(w.has_payload_sum);
  // The library's own encoder writes the same bytes.
  std::array<uint8_t, 36> again{};
  ts::encode_header(w, again.data());
  EXPECT_EQ(again, h);
  // Only bit 0 of the flag bytes counts.
  auto flags = h;
  flags[32] = 0xFE;
  flags[33] = 0x02;
  torvi::put_le16(&flags[34], ts::fletcher16({flags.data(), 34}));
  const ts::WireHeader wf = ts::decode_header(flags.data());
  EXPECT_FALSE(wf.start_of_frame);
  EXPECT_FALSE(wf.has_payload_sum);
}

TEST(StreamHeader, FieldLimitsAndChecksumAreEnforced) {
  struct Case {
    const char *what;
    void (*edit)(torvi::stream::WireHeader &);
    bool valid;
  };
  const Case cases[] = {
      {"len at limit", [](torvi::stream::WireHeader &f) { f.len = 0xFFFFF; }, true},
      {"len over limit", [](torvi::stream::WireHeader &f) { f.len = 0x100000; }, false},
      {"frlen at limit", [](torvi::stream::WireHeader &f) { f.frlen = 0x7FFFFFF; }, true},
      {"frlen over limit", [](torvi::stream::WireHeader &f) { f.frlen = 0x8000000; }, false},
      {"frlen zero", [](torvi::stream::WireHeader &f) { f.frlen = 0; }, false},
      {"frlen one", [](torvi::stream::WireHeader &f) { f.frlen = 1; }, true},
      {"frfmt over limit", [](torvi::stream::WireHeader &f) { f.frfmt = 1024; }, false},
      {"len zero", [](torvi::stream::WireHeader &f) { f.len = 0; }, true},
  };
  for (const Case &c : cases) {
    torvi::stream::WireHeader f = good_fields();
    c.edit(f);
    EXPECT_EQ(ts::header_valid(gen_header(f).data()), c.valid) << c.what;
  }
  EXPECT_FALSE(ts::header_valid(gen_header(good_fields(), true).data()));
  // Every single-bit error in the 36 bytes is caught.
  const auto h = gen_header(good_fields());
  for (std::size_t bit = 0; bit < 36 * 8; ++bit) {
    auto bad = h;
    bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(ts::header_valid(bad.data())) << "bit " << bit;
  }
}

}  // namespace
