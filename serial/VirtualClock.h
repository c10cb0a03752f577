// A clock whose time moves only when someone waits on it: Sleep and the
// in-process ports' read waits advance it, so a wait of any length costs no
// real time and every run repeats exactly. Shared by the worker and every
// bench port of a test; safe to use from several threads.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "serial/Clock.h"

namespace qv {

class TVirtualClock final : public TClock {
 public:
  explicit TVirtualClock(TDuration start = TDuration(0)) : FNow(start) {}

  TDuration Now() override;
  void Sleep(uint32_t ms) override;
  // There is no file descriptor to watch in virtual time: the wait runs to
  // its time-out and reports it. A wait without limit would never end, so
  // it fails with EDEADLK.
  int WaitFd(int fd, short events, int64_t timeoutUs) override;

  void Advance(TDuration d);
  // Moves time on to t; an earlier t leaves it where it is.
  void AdvanceTo(TDuration t);
  // Time spent in Sleep so far.
  TDuration Slept();

  // Called with the new time after every move of the clock, outside the
  // clock's own lock: the bench ports bring their devices up to date, so
  // that a device looked at after a Sleep has seen what reached it by then.
  // RemoveListener waits for a call in progress.
  using TListener = std::function<void(TDuration now)>;
  void AddListener(const void* key, TListener listener);
  void RemoveListener(const void* key);

 private:
  void Moved(TDuration now);

  std::mutex FMutex;
  TDuration FNow;
  TDuration FSlept{0};
  std::recursive_mutex FListenerMutex;
  std::map<const void*, TListener> FListeners;
};

}  // namespace qv
