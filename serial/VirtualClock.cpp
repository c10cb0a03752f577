#include "serial/VirtualClock.h"

#include <cerrno>

namespace qv {

TClock::TDuration TVirtualClock::Now() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FNow;
}

void TVirtualClock::Sleep(uint32_t ms) {
  TDuration now;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FNow += std::chrono::milliseconds(ms);
    FSlept += std::chrono::milliseconds(ms);
    now = FNow;
  }
  Moved(now);
}

int TVirtualClock::WaitFd(int, short, int64_t timeoutUs) {
  if (timeoutUs < 0) {
    errno = EDEADLK;
    return -1;
  }
  Advance(TDuration(timeoutUs));
  return 0;
}

void TVirtualClock::Advance(TDuration d) {
  if (d <= TDuration(0)) return;
  TDuration now;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FNow += d;
    now = FNow;
  }
  Moved(now);
}

void TVirtualClock::AdvanceTo(TDuration t) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (t <= FNow) return;
    FNow = t;
  }
  Moved(t);
}

void TVirtualClock::AddListener(const void* key, TListener listener) {
  std::lock_guard<std::recursive_mutex> lock(FListenerMutex);
  FListeners[key] = std::move(listener);
}

void TVirtualClock::RemoveListener(const void* key) {
  std::lock_guard<std::recursive_mutex> lock(FListenerMutex);
  FListeners.erase(key);
}

void TVirtualClock::Moved(TDuration now) {
  // Recursive: a listener may move the clock itself or remove itself.
  std::lock_guard<std::recursive_mutex> lock(FListenerMutex);
  if (FListeners.empty()) return;
  const auto listeners = FListeners;
  for (const auto& [key, listener] : listeners) listener(now);
}

TClock::TDuration TVirtualClock::Slept() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FSlept;
}

}  // namespace qv
