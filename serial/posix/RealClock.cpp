#include <poll.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

#include "serial/Clock.h"

namespace qv {

namespace {

class TRealClock final : public TClock {
 public:
  TDuration Now() override {
    return std::chrono::duration_cast<TDuration>(std::chrono::steady_clock::now().time_since_epoch());
  }

  void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  int WaitFd(int fd, short events, int64_t timeoutUs) override {
    const TDuration deadline = Now() + TDuration(timeoutUs);
    for (;;) {
      int ms = -1;
      if (timeoutUs >= 0) {
        const int64_t leftUs = (deadline - Now()).count();
        // Rounded up, so that a remainder under a millisecond does not spin.
        const int64_t leftMs = leftUs <= 0 ? 0 : (leftUs + 999) / 1000;
        ms = leftMs > INT_MAX ? INT_MAX : static_cast<int>(leftMs);
      }
      pollfd p{fd, events, 0};
      const int r = ::poll(&p, 1, ms);
      if (r > 0) return p.revents;
      if (r < 0 && errno != EINTR) return -1;
      // A signal, an early wake or a poll cut at INT_MAX ms: a time-out may
      // end late, never early.
      if (r == 0 && (timeoutUs < 0 || Now() >= deadline)) return 0;
    }
  }
};

}  // namespace

TClock& RealClock() {
  static TRealClock clock;
  return clock;
}

}  // namespace qv
