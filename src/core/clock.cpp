#include "core/clock.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace torvi {

namespace {

struct Now {
  time_t seconds;
  unsigned millisecond;
};

Now now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return {ts.tv_sec, static_cast<unsigned>(ts.tv_nsec / 1000000)};
}

}  // namespace

LocalTime local_time_now() {
  const Now n = now_ms();
  struct tm tmv {};
  localtime_r(&n.seconds, &tmv);
  return {static_cast<unsigned>(tmv.tm_year + 1900),
          static_cast<unsigned>(tmv.tm_mon + 1),
          static_cast<unsigned>(tmv.tm_mday),
          static_cast<unsigned>(tmv.tm_hour),
          static_cast<unsigned>(tmv.tm_min),
          static_cast<unsigned>(tmv.tm_sec),
          n.millisecond};
}

// The seconds come straight from the system clock instead of a round trip
// through the broken-down local time, which would jump back by an hour in the
// repeated hour at the end of daylight saving time.
int wall_clock(struct timeval *tv) {
  if (tv == nullptr) return 0;
  const Now n = now_ms();
  tv->tv_sec = n.seconds;
  tv->tv_usec = static_cast<suseconds_t>(n.millisecond) * 1000;
  return 0;
}

int64_t wall_clock_ms() {
  const Now n = now_ms();
  return static_cast<int64_t>(n.seconds) * 1000 + n.millisecond;
}

unsigned os_thread_id() { return static_cast<unsigned>(syscall(SYS_gettid)); }

void sleep_ms(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace torvi
