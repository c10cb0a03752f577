// One clock for every wait: the procedure's sleeps and polls and the read
// and write time-outs of the device backends. The real clock sleeps and lets
// the operating system time out; a virtual clock (the device bench) advances
// time itself, so that whole runs take milliseconds and repeat exactly.
#pragma once

#include <chrono>
#include <cstdint>

namespace qv {

class TClock {
public:
  using TDuration = std::chrono::microseconds;

  virtual ~TClock() = default;

  // Monotonic time since an arbitrary origin.
  virtual TDuration Now() = 0;

  // Blocks for the given number of milliseconds.
  virtual void Sleep(uint32_t ms) = 0;

  // Waits until the file descriptor is ready for `events` (poll(2) bits) or
  // until timeoutUs has passed (negative: no limit). Returns the ready bits,
  // 0 on time-out, or -1 with errno set. Only fd-based backends call it.
  virtual int WaitFd(int fd, short events, int64_t timeoutUs) = 0;
};

// The operating system's clock; the default of every port and worker.
TClock& RealClock();

}  // namespace qv
