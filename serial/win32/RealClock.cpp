// The operating system's clock on Windows. Reads and writes time out in the
// communications driver, so this clock only serves the procedure's sleeps
// and polls.
#include "serial/Clock.h"

#include <cerrno>
#include <chrono>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace qv {

namespace {

class TWin32Clock final : public TClock {
 public:
  TDuration Now() override {
    return std::chrono::duration_cast<TDuration>(std::chrono::steady_clock::now().time_since_epoch());
  }

  void Sleep(uint32_t ms) override { ::Sleep(ms); }

  // No backend on Windows waits on a file descriptor: serial devices are
  // handles with overlapped I/O, and network ports have their own sockets.
  int WaitFd(int /*fd*/, short /*events*/, int64_t /*timeoutUs*/) override {
    errno = ENOSYS;
    return -1;
  }
};

}  // namespace

TClock& RealClock() {
  static TWin32Clock clock;
  return clock;
}

}  // namespace qv
