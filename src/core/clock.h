// The library's wall clock: local wall time with millisecond resolution.
// Internal only: it is deliberately not called gettimeofday, so the library
// never replaces the C library's function of that name.
#pragma once

#include <sys/time.h>

#include <cstdint>

namespace torvi {

struct LocalTime {
  unsigned year, month, day, hour, minute, second, millisecond;
};

// Current local time broken down to the millisecond.
LocalTime local_time_now();

// Seconds since the epoch and microseconds (always a multiple of 1000).
int wall_clock(struct timeval *tv);

// Milliseconds since the epoch, from the same clock.
int64_t wall_clock_ms();

// The calling thread's numeric id from the operating system.
unsigned os_thread_id();

// Sleeps for the given number of milliseconds.
void sleep_ms(unsigned ms);

}  // namespace torvi
