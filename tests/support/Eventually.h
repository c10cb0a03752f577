// Polls a condition that another thread or process makes true (bytes that
// arrive, a record that the writer's thread puts away), until it holds or
// the time is up; true once it holds.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace qv::test {

inline bool Eventually(const std::function<bool()>& condition, int timeoutMs = 5000, int stepMs = 2) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
  } while (std::chrono::steady_clock::now() < end);
  return condition();
}

}  // namespace qv::test
