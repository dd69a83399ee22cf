// The capture engine over a scripted transport: getters, callbacks, the
// wait, error thresholds, discards and a close from another thread. The test
// thread (or a helper thread) plays the transport's event thread.
#include <gtest/gtest.h>
#include <torvi/kx_stream.h>
#include <torvi/torvi_cap.h>
#include <torvi/torvi_dev.h>
#include <torvi/torvi_dev_priv.h>
#include <torvi/torvi_log.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "api/dev_internal.h"
#include "tests/api/capture/fake_link.h"

using torvi::test::bind_fake;
using torvi::test::deliver;
using torvi::test::fake;
using torvi::test::FakeCamera;
using torvi::test::frame_index_of;
using torvi::test::StreamWriter;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kFrame = 614400;

struct Seen {
  std::vector<uint16_t> frames;     // index carried in each frame's bytes
  std::vector<uint16_t> info_idx;   // frame index of the frame information
  std::vector<const void *> where;  // data pointers
  std::vector<std::pair<int, int>> errors;
  bool error_answer = true;
  std::atomic<int> callbacks{0};  // frame-ready callbacks so far, for other threads
};
Seen *g_seen = nullptr;

void on_frame(torvi_dev_t *, torvi_cap_frame *f) {
  g_seen->frames.push_back(frame_index_of(static_cast<const uint8_t *>(f->data)));
  g_seen->info_idx.push_back(f->info.frame_idx);
  g_seen->where.push_back(f->data);
  ++g_seen->callbacks;
}

// Waits (at most 10 s) until `cond` holds; false when it never did.
template <typename Cond>
bool eventually(Cond cond) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Whether a getter of the device has installed its frame request (it waits
// for frames, or is about to).
bool getter_waits(torvi_dev_t &dev) {
  return std::atomic_ref<torvi_cap_req *>(dev.priv->req).load() != nullptr;
}
bool on_error(torvi_dev_t *, int err, int param) {
  g_seen->errors.emplace_back(err, param);
  return g_seen->error_answer;
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake() = &cam;
    g_seen = &seen;
    cam.product = "FAKE-T0-1.0";
    bind_fake(dev);
    ASSERT_EQ(torvi_dev_open(&dev), &dev);
  }
  void TearDown() override {
    if (dev.priv != nullptr) torvi_dev_close(&dev);
    g_seen = nullptr;
    fake() = nullptr;
  }
  void start() { ASSERT_TRUE(torvi_cap_start(&dev)); }
  void send(uint16_t idx, bool corrupt = false) { deliver(0, writer.frame(idx, corrupt)); }

  FakeCamera cam;
  Seen seen;
  torvi_dev_t dev{};
  StreamWriter writer;
};

// Frames ready in the device's parser.
int kx_ready(torvi_dev_t &dev) {
  return kx_stream_fetch_frames(dev.priv->stream, nullptr, 0, 0x7FFFFFFF, nullptr, true);
}

TEST_F(CaptureTest, ThreeFramesOneAfterAnotherWithFirstFrameInfo) {
  start();
  EXPECT_TRUE(torvi_cap_is_ongoing(&dev));
  for (uint16_t i = 7; i < 10; ++i) send(i);
  std::vector<uint8_t> buf(3 * kFrame);
  torvi_frame_info_t first{};
  ASSERT_EQ(torvi_cap_get_frames(&dev, 3, buf.data(), static_cast<unsigned>(buf.size()), &first),
            3);
  EXPECT_EQ(frame_index_of(&buf[0]), 7);
  EXPECT_EQ(frame_index_of(&buf[kFrame]), 8);
  EXPECT_EQ(frame_index_of(&buf[2 * kFrame]), 9);
  EXPECT_EQ(first.frame_idx, 7);
  EXPECT_EQ(first.frame_size, kFrame);
  EXPECT_EQ(first.width, 320u);
  EXPECT_EQ(first.pixel_bytes, 4);
  EXPECT_EQ(dev.api_busy, 0);
}

TEST_F(CaptureTest, GetterWaitsForAFrameFromTheEventThread) {
  start();
  std::thread event([&] {
    EXPECT_TRUE(eventually([&] { return getter_waits(dev); }));
    send(1);
  });
  std::vector<uint8_t> buf(kFrame);
  torvi_frame_info_t info{};
  EXPECT_EQ(torvi_cap_get_frames(&dev, 1, buf.data(), kFrame, &info), 1);
  event.join();
  EXPECT_EQ(frame_index_of(buf.data()), 1);
  EXPECT_EQ(info.frame_idx, 1);
}

TEST_F(CaptureTest, FramesBeyondTheRequestWaitForTheNextGetter) {
  start();
  for (uint16_t i = 0; i < 4; ++i) send(i);
  std::vector<uint8_t> buf(kFrame);
  ASSERT_EQ(torvi_cap_get_frames(&dev, 1, buf.data(), kFrame, nullptr), 1);
  EXPECT_EQ(frame_index_of(buf.data()), 0);
  ASSERT_EQ(torvi_cap_get_frame(&dev, buf.data(), kFrame, nullptr), 1);
  EXPECT_EQ(frame_index_of(buf.data()), 1);
  ASSERT_EQ(torvi_cap_get_frames(&dev, 2, nullptr, 0, nullptr), 2);  // counts without copying
  EXPECT_EQ(torvi_cap_get_frame(&dev, buf.data(), kFrame, nullptr), 0);
}

TEST_F(CaptureTest, AShortBufferCutsAFrameAndOverwritesNothing) {
  start();
  for (uint16_t i = 0; i < 3; ++i) send(i);
  std::vector<uint8_t> buf(kFrame + kFrame / 2, 0xEE);
  ASSERT_EQ(torvi_cap_get_frames(&dev, 3, buf.data(), static_cast<unsigned>(buf.size()), nullptr),
            3);
  EXPECT_EQ(frame_index_of(&buf[0]), 0);
  EXPECT_EQ(frame_index_of(&buf[kFrame]), 1);
  // Word 1 of frame 0 is intact: the later frames found no room.
  uint32_t w;
  std::memcpy(&w, &buf[4], 4);
  EXPECT_EQ(w, 1u);
}

TEST_F(CaptureTest, FrameReadyCallbackSeesFramesInTheGetterBuffer) {
  torvi_cap_set_callback_on_frame_ready(&dev, on_frame);
  start();
  send(3);
  send(4);
  std::vector<uint8_t> buf(2 * kFrame);
  ASSERT_EQ(torvi_cap_get_frames(&dev, 2, buf.data(), 2 * kFrame, nullptr), 2);
  EXPECT_EQ(seen.frames, (std::vector<uint16_t>{3, 4}));
  EXPECT_EQ(seen.info_idx, (std::vector<uint16_t>{3, 4}));
  ASSERT_EQ(seen.where.size(), 2u);
  EXPECT_EQ(seen.where[0], buf.data());
  EXPECT_EQ(seen.where[1], buf.data() + kFrame);
  // Frames beyond the request go to the callback alone.
  send(5);
  send(6);
  ASSERT_EQ(torvi_cap_get_frames(&dev, 1, buf.data(), kFrame, nullptr), 1);
  EXPECT_EQ(frame_index_of(buf.data()), 5);
  EXPECT_EQ(seen.frames, (std::vector<uint16_t>{3, 4, 5, 6}));
}

// Whether every word of a delivered frame carries the pattern of its index.
bool whole_frame(const void *data, uint32_t bytes) {
  const auto *b = static_cast<const uint8_t *>(data);
  const uint16_t idx = frame_index_of(b);
  for (uint32_t i = 0; i + 4 <= bytes; i += 4) {
    uint32_t w;
    std::memcpy(&w, b + i, 4);
    if (w != ((uint32_t{idx} << 16) ^ (i / 4))) return false;
  }
  return true;
}

struct ShortBuffer {
  const uint8_t *begin = nullptr;
  const uint8_t *end = nullptr;
  int outside = 0;  // callbacks whose frame did not fit where it pointed
  int broken = 0;   // callbacks whose frame bytes were wrong
};
ShortBuffer *g_short = nullptr;

void on_frame_check_room(torvi_dev_t *, torvi_cap_frame *f) {
  const auto *d = static_cast<const uint8_t *>(f->data);
  // A frame inside the getter's buffer must fit there as a whole.
  if (d >= g_short->begin && d <= g_short->end && d + f->info.frame_size > g_short->end) {
    ++g_short->outside;
    return;
  }
  if (!whole_frame(d, f->info.frame_size)) ++g_short->broken;
  g_seen->frames.push_back(frame_index_of(d));
}

TEST_F(CaptureTest, CallbackGetsWholeFramesWhenTheGetterBufferRunsShort) {
  ShortBuffer room;
  g_short = &room;
  torvi_cap_set_callback_on_frame_ready(&dev, on_frame_check_room);
  start();
  for (uint16_t i = 0; i < 3; ++i) send(i);
  std::vector<uint8_t> buf(kFrame + kFrame / 2, 0xEE);
  room.begin = buf.data();
  room.end = buf.data() + buf.size();
  ASSERT_EQ(torvi_cap_get_frames(&dev, 3, buf.data(), static_cast<unsigned>(buf.size()), nullptr),
            3);
  g_short = nullptr;
  EXPECT_EQ(room.outside, 0);
  EXPECT_EQ(room.broken, 0);
  EXPECT_EQ(seen.frames, (std::vector<uint16_t>{0, 1, 2}));
  // The getter's buffer still holds frame 0 and the part of frame 1 that fits.
  EXPECT_TRUE(whole_frame(buf.data(), kFrame));
  EXPECT_EQ(frame_index_of(&buf[kFrame]), 1);
  EXPECT_TRUE(whole_frame(&buf[kFrame], kFrame / 2));
}

TEST_F(CaptureTest, FramesTakenAfterAStopAreCountedAsDelivered) {
  start();
  for (uint16_t i = 0; i < 3; ++i) send(i);
  ASSERT_TRUE(torvi_cap_stop(&dev));
  std::vector<uint8_t> buf(2 * kFrame);
  EXPECT_EQ(torvi_cap_get_frames(&dev, 2, buf.data(), 2 * kFrame, nullptr), 2);
  EXPECT_EQ(frame_index_of(&buf[kFrame]), 1);
  EXPECT_EQ(torvi_cap_get_frame(&dev, buf.data(), kFrame, nullptr), 1);
  EXPECT_EQ(frame_index_of(buf.data()), 2);
  EXPECT_EQ(torvi_cap_get_frames(&dev, 1, buf.data(), kFrame, nullptr), -2);
  EXPECT_EQ(torvi_cap_get_frame(&dev, buf.data(), kFrame, nullptr), -2);
}

TEST_F(CaptureTest, AStopDuringAWaitReturnsTheFramesAlreadyTaken) {
  start();
  send(4);
  std::vector<uint8_t> buf(3 * kFrame);
  int got = 99;
  std::thread getter([&] { got = torvi_cap_get_frames(&dev, 3, buf.data(), 3 * kFrame, nullptr); });
  // The getter waits for two more frames when the second one comes, and for
  // one more when the stop comes (the frames it took are no longer ready).
  ASSERT_TRUE(eventually([&] { return getter_waits(dev) && kx_ready(dev) == 0; }));
  send(5);
  ASSERT_TRUE(eventually([&] { return kx_ready(dev) == 0; }));
  ASSERT_TRUE(torvi_cap_stop(&dev));
  getter.join();
  EXPECT_EQ(got, 2);
  EXPECT_EQ(frame_index_of(&buf[0]), 4);
  EXPECT_EQ(frame_index_of(&buf[kFrame]), 5);
}

TEST_F(CaptureTest, ACancelledStreamWakesAWaitingGetter) {
  start();
  send(4);
  std::vector<uint8_t> buf(3 * kFrame);
  int got = 99;
  const auto t0 = std::chrono::steady_clock::now();
  std::thread getter([&] { got = torvi_cap_get_frames(&dev, 3, buf.data(), 3 * kFrame, nullptr); });
  std::this_thread::sleep_for(30ms);
  deliver(TORVI_LL_CAP_CANCELLED);
  getter.join();
  // The getter's own deadline is 3 x 133 ms + 2 s away.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  EXPECT_EQ(got, 1);
  EXPECT_EQ(frame_index_of(&buf[0]), 4);
}

TEST_F(CaptureTest, BytesOfATimedOutTransferReachTheStream) {
  start();
  // A whole frame in a timed-out transfer, then a frame split across a
  // timed-out transfer and a normal one.
  deliver(TORVI_LL_CAP_TIMEOUT, writer.frame(11));
  const std::vector<uint8_t> next = writer.frame(12);
  const auto half = static_cast<std::ptrdiff_t>(next.size() / 2);
  deliver(TORVI_LL_CAP_TIMEOUT, std::vector<uint8_t>(next.begin(), next.begin() + half));
  deliver(0, std::vector<uint8_t>(next.begin() + half, next.end()));
  EXPECT_EQ(dev.priv->timeout_cnt, 2u);
  std::vector<uint8_t> buf(2 * kFrame);
  ASSERT_EQ(torvi_cap_get_frames(&dev, 2, buf.data(), 2 * kFrame, nullptr), 2);
  EXPECT_EQ(frame_index_of(&buf[0]), 11);
  EXPECT_EQ(frame_index_of(&buf[kFrame]), 12);
  EXPECT_TRUE(whole_frame(&buf[kFrame], kFrame));
}

TEST_F(CaptureTest, ARefusedStopIsReportedAndTheCaptureGoesOn) {
  start();
  cam.cap_stop_ok = false;
  EXPECT_FALSE(torvi_cap_stop(&dev));
  EXPECT_TRUE(torvi_cap_is_ongoing(&dev));
  EXPECT_EQ(dev.api_busy, 0);
  cam.cap_stop_ok = true;
  EXPECT_TRUE(torvi_cap_stop(&dev));
  EXPECT_FALSE(torvi_cap_is_ongoing(&dev));
  EXPECT_TRUE(torvi_cap_stop(&dev));  // stopping an idle device is no failure
  EXPECT_EQ(cam.cap_stops, 2);
}

TEST_F(CaptureTest, WaitWithoutDeadlineEndsOnStopFromAnotherThread) {
  torvi_cap_set_callback_on_frame_ready(&dev, on_frame);
  start();
  std::thread other([&] {
    // Each frame is handed out by the wait before the next event: the wait
    // is running when the stop comes.
    send(1);
    EXPECT_TRUE(eventually([&] { return seen.callbacks.load() == 1; }));
    send(2);
    EXPECT_TRUE(eventually([&] { return seen.callbacks.load() == 2; }));
    EXPECT_TRUE(torvi_cap_stop(&dev));
  });
  EXPECT_TRUE(torvi_cap_wait(&dev, 0));
  other.join();
  EXPECT_EQ(seen.frames, (std::vector<uint16_t>{1, 2}));
  EXPECT_FALSE(torvi_cap_is_ongoing(&dev));
  EXPECT_FALSE(torvi_cap_wait(&dev, 0));  // not capturing
}

TEST_F(CaptureTest, WaitRunsOutOfTime) {
  torvi_cap_set_callback_on_frame_ready(&dev, on_frame);
  start();
  send(9);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(torvi_cap_wait(&dev, 40));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 35ms);
  EXPECT_EQ(seen.frames, (std::vector<uint16_t>{9}));
}

TEST_F(CaptureTest, DiscardsAreReportedWithTheirCount) {
  torvi_cap_set_callback_on_error(&dev, on_error);
  start();
  send(0);
  send(1, true);
  send(2, true);
  send(3);
  std::vector<uint8_t> buf(2 * kFrame);
  ASSERT_EQ(torvi_cap_get_frames(&dev, 2, buf.data(), 2 * kFrame, nullptr), 2);
  EXPECT_EQ(frame_index_of(&buf[kFrame]), 3);
  ASSERT_FALSE(seen.errors.empty());
  EXPECT_EQ(seen.errors.back(), std::make_pair(3, 2));
  EXPECT_EQ(dev.priv->discard_cnt, 2u);
  EXPECT_TRUE(torvi_cap_is_ongoing(&dev));
}

// An error callback during which the camera damages one more frame.
StreamWriter *g_writer = nullptr;
bool on_error_while_more_damage(torvi_dev_t *, int err, int param) {
  g_seen->errors.emplace_back(err, param);
  if (g_seen->errors.size() == 1) deliver(0, g_writer->frame(2, true));
  return true;
}

TEST_F(CaptureTest, ADiscardReportedDuringTheErrorCallbackIsNotLost) {
  g_writer = &writer;
  torvi_cap_set_callback_on_error(&dev, on_error_while_more_damage);
  start();
  send(0);
  send(1, true);
  std::vector<uint8_t> buf(kFrame);
  ASSERT_EQ(torvi_cap_get_frames(&dev, 1, buf.data(), kFrame, nullptr), 1);
  g_writer = nullptr;
  // The second report came while the callback ran on the first: the callback
  // learns the newer total before the getter returns.
  EXPECT_EQ(seen.errors, (std::vector<std::pair<int, int>>{{3, 1}, {3, 2}}));
  EXPECT_EQ(dev.priv->pending_err, 0);
}

TEST_F(CaptureTest, ErrorCallbackReturningFalseStopsDelivery) {
  seen.error_answer = false;
  torvi_cap_set_callback_on_error(&dev, on_error);
  start();
  send(0, true);
  send(1);
  std::vector<uint8_t> buf(kFrame);
  EXPECT_EQ(torvi_cap_get_frames(&dev, 1, buf.data(), kFrame, nullptr), 0);
  EXPECT_EQ(seen.errors, (std::vector<std::pair<int, int>>{{3, 1}}));
  EXPECT_EQ(dev.priv->stop, 1);
  // Later calls deliver nothing until the next start, though a frame is ready.
  EXPECT_EQ(torvi_cap_get_frame(&dev, buf.data(), kFrame, nullptr), 0);
  ASSERT_TRUE(torvi_cap_stop(&dev));
  seen.error_answer = true;
  start();
  send(5);
  EXPECT_EQ(torvi_cap_get_frame(&dev, buf.data(), kFrame, nullptr), 1);
  EXPECT_EQ(frame_index_of(buf.data()), 5);
}

TEST_F(CaptureTest, ThirtyThreeTimeoutsStopEvenWithDataBetween) {
  start();
  for (int i = 0; i < 32; ++i) {
    deliver(TORVI_LL_CAP_TIMEOUT);
    if (i % 8 == 0) send(static_cast<uint16_t>(i));
  }
  EXPECT_EQ(dev.priv->stop, 0);
  EXPECT_EQ(cam.aborts, 0);
  deliver(TORVI_LL_CAP_TIMEOUT);
  EXPECT_EQ(dev.priv->stop, 1);
  EXPECT_EQ(cam.aborts, 1);
  // Frames still buffered come first, then the error.
  std::vector<uint8_t> buf(4 * kFrame);
  ASSERT_EQ(torvi_cap_get_frames(&dev, 5, buf.data(), 4 * kFrame, nullptr), 4);
  EXPECT_EQ(frame_index_of(&buf[3 * kFrame]), 24);
  EXPECT_EQ(torvi_cap_get_frames(&dev, 1, nullptr, 0, nullptr), TORVI_ERR_CAP_TIMEOUT);
  EXPECT_EQ(torvi_cap_get_frame(&dev, nullptr, 0, nullptr), TORVI_ERR_CAP_TIMEOUT);
  ASSERT_TRUE(torvi_cap_stop(&dev));
  EXPECT_EQ(torvi_cap_get_frames(&dev, 1, nullptr, 0, nullptr), TORVI_ERR_CAP_TIMEOUT);
  start();  // a new start clears the error
  EXPECT_EQ(torvi_cap_get_frame(&dev, nullptr, 0, nullptr), 0);
}

TEST_F(CaptureTest, StallsCountOnlyInARow) {
  start();
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 16; ++i) deliver(TORVI_LL_CAP_STALL);
    send(static_cast<uint16_t>(round));
  }
  EXPECT_EQ(dev.priv->stop, 0);
  for (int i = 0; i < 16; ++i) deliver(TORVI_LL_CAP_STALL);
  EXPECT_EQ(dev.priv->stop, 0);
  torvi_cap_set_callback_on_error(&dev, on_error);
  deliver(TORVI_LL_CAP_STALL);
  EXPECT_EQ(dev.priv->stop, 1);
  EXPECT_EQ(torvi_cap_get_frames(&dev, 3, nullptr, 0, nullptr), 3);  // buffered frames still come
  EXPECT_EQ(seen.errors, (std::vector<std::pair<int, int>>{{TORVI_ERR_CAP_STALL, 0}}));
}

TEST_F(CaptureTest, UnpluggedMidCaptureGivesMinusTen) {
  start();
  std::thread event([&] {
    std::this_thread::sleep_for(20ms);
    deliver(TORVI_LL_CAP_UNKNOWN);
    deliver(TORVI_LL_CAP_CANCELLED);  // the rest of the ring
    send(1, true);                    // a late discard does not hide the error
  });
  std::vector<uint8_t> buf(kFrame);
  EXPECT_EQ(torvi_cap_get_frames(&dev, 1, buf.data(), kFrame, nullptr), TORVI_ERR_CAP_UNKNOWN);
  event.join();
  EXPECT_EQ(cam.aborts, 2);
  EXPECT_EQ(torvi_cap_get_frame(&dev, buf.data(), kFrame, nullptr), TORVI_ERR_CAP_UNKNOWN);
  EXPECT_TRUE(torvi_cap_is_ongoing(&dev));  // until the application stops
  ASSERT_TRUE(torvi_cap_stop(&dev));
  EXPECT_FALSE(torvi_cap_is_ongoing(&dev));
}

TEST_F(CaptureTest, CloseFromAnotherThreadWakesAWaitingGetter) {
  start();
  std::vector<uint8_t> buf(5 * kFrame);
  int got = 99;
  const auto t0 = std::chrono::steady_clock::now();
  // A slow camera: the getter would wait 5 x 100 + 5 x 1000 + 2000 ms.
  torvi::cached_frame_rate(dev.priv).store(1);
  std::thread getter([&] { got = torvi_cap_get_frames(&dev, 5, buf.data(), 5 * kFrame, nullptr); });
  ASSERT_TRUE(eventually([&] { return getter_waits(dev); }));
  torvi_dev_close(&dev);
  getter.join();
  EXPECT_EQ(got, -2);
  EXPECT_EQ(dev.priv, nullptr);
  // Back before its own deadline: the close woke it.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 7500ms);
  EXPECT_EQ(cam.cap_stops, 1);
}

TEST_F(CaptureTest, CloseFromAnotherThreadEndsAWait) {
  torvi_cap_set_callback_on_frame_ready(&dev, on_frame);
  start();
  bool result = false;
  std::thread waiter([&] { result = torvi_cap_wait(&dev, 0); });
  // Once the wait has handed out a frame it is past its checks and sleeps.
  send(1);
  ASSERT_TRUE(eventually([&] { return seen.callbacks.load() == 1; }));
  torvi_dev_close(&dev);
  waiter.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(dev.priv, nullptr);
  EXPECT_EQ(seen.frames, (std::vector<uint16_t>{1}));
}

TEST_F(CaptureTest, FrameBufferSizing) {
  EXPECT_TRUE(torvi_cap_set_frame_buffer(&dev, nullptr, 2 * 307200 - 1));
  int size = 0;
  ASSERT_TRUE(torvi_cap_get_frame_buffer(&dev, nullptr, &size));
  EXPECT_EQ(size, 307200);
  EXPECT_FALSE(torvi_cap_start(&dev));
  EXPECT_EQ(cam.cap_starts, 0);
  EXPECT_TRUE(torvi_cap_set_frame_buffer(&dev, nullptr, 2 * 307200));
  start();
  EXPECT_FALSE(torvi_cap_set_frame_buffer(&dev, nullptr, 20 * 307200));
  ASSERT_TRUE(torvi_cap_get_frame_buffer(&dev, nullptr, &size));
  EXPECT_EQ(size, 2 * 307200);
  // Two frames fit; a third drops the oldest.
  for (uint16_t i = 0; i < 3; ++i) send(i);
  std::vector<uint8_t> buf(2 * kFrame);
  ASSERT_EQ(torvi_cap_get_frames(&dev, 2, buf.data(), 2 * kFrame, nullptr), 2);
  EXPECT_EQ(frame_index_of(&buf[0]), 1);
  EXPECT_FALSE(torvi_cap_set_frame_buffer(&dev, nullptr, -1));
}

TEST_F(CaptureTest, GetterArgumentsAndStates) {
  EXPECT_EQ(torvi_cap_get_frames(&dev, 1, nullptr, 0, nullptr), -2);  // not capturing
  EXPECT_EQ(torvi_cap_get_frame(&dev, nullptr, 0, nullptr), -2);
  start();
  EXPECT_EQ(torvi_cap_get_frames(&dev, 0, nullptr, 0, nullptr), -1);
  EXPECT_EQ(torvi_cap_get_frames(nullptr, 1, nullptr, 0, nullptr), -1);
  EXPECT_EQ(torvi_cap_get_frame(nullptr, nullptr, 0, nullptr), -1);
  EXPECT_EQ(dev.api_busy, 0);
  torvi_dev_t closed{};
  EXPECT_EQ(torvi_cap_get_frames(&closed, 1, nullptr, 0, nullptr), -1);
  // Start reads the rate from the camera.
  cam.frame_rate = 45;
  start();
  EXPECT_EQ(torvi::cached_frame_rate(dev.priv).load(), 45u);
  EXPECT_EQ(cam.cap_stops, 1);  // restarting stopped the running capture
  // A getter without a cached rate falls back to 20 frames a second.
  ASSERT_TRUE(torvi_cap_stop(&dev));
  torvi::cached_frame_rate(dev.priv).store(0);
  EXPECT_EQ(torvi_cap_get_frames(&dev, 1, nullptr, 0, nullptr), -2);
  EXPECT_EQ(torvi::cached_frame_rate(dev.priv).load(), 20u);
}

TEST_F(CaptureTest, EachDeviceKeepsItsOwnFrameRate) {
  cam.frame_rate = 45;
  start();
  torvi_dev_t second{};
  bind_fake(second);
  ASSERT_EQ(torvi_dev_open(&second), &second);
  cam.frame_rate = 5;
  ASSERT_TRUE(torvi_cap_start(&second));
  EXPECT_EQ(torvi::cached_frame_rate(second.priv).load(), 5u);
  EXPECT_EQ(torvi::cached_frame_rate(dev.priv).load(), 45u);
  torvi_dev_close(&second);
}

TEST_F(CaptureTest, FailedTransportStartLeavesTheDeviceIdle) {
  cam.cap_start_ok = false;
  EXPECT_FALSE(torvi_cap_start(&dev));
  EXPECT_FALSE(torvi_cap_is_ongoing(&dev));
  EXPECT_EQ(dev.priv->stop, 1);
  EXPECT_EQ(dev.api_busy, 0);
}

TEST_F(CaptureTest, SnapshotStartsAndStops) {
  std::thread event([&] {
    while (cam.cap_starts.load() == 0) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(10ms);
    send(42);
  });
  std::vector<uint8_t> buf(kFrame);
  torvi_frame_info_t info{};
  EXPECT_TRUE(torvi_cap_snapshot(&dev, buf.data(), kFrame, &info));
  event.join();
  EXPECT_EQ(info.frame_idx, 42);
  EXPECT_EQ(frame_index_of(buf.data()), 42);
  EXPECT_FALSE(torvi_cap_is_ongoing(&dev));
  EXPECT_EQ(cam.cap_stops, 1);
}

TEST_F(CaptureTest, SnapshotReportsAFailedGetter) {
  std::thread event([&] {
    while (cam.cap_starts.load() == 0) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(10ms);
    deliver(TORVI_LL_CAP_UNKNOWN);
  });
  std::vector<uint8_t> buf(kFrame);
  EXPECT_FALSE(torvi_cap_snapshot(&dev, buf.data(), kFrame, nullptr));
  event.join();
  torvi_dev_t closed{};
  EXPECT_FALSE(torvi_cap_snapshot(&closed, buf.data(), kFrame, nullptr));
}

}  // namespace
