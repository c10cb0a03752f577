// The test thread as the application's main thread: while a MainLoop
// lives, the component's synchronised calls are queued for the thread that
// created it, which runs them inside RunUntil; exceptions handed to the
// application-wide handler are recorded with the thread they arrived on.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qv::test {

class TMainLoop {
 public:
  struct THandled {
    std::string Message;
    bool OnMainThread;
  };

  TMainLoop();
  // Runs what is still queued; calls posted later run on their own thread.
  ~TMainLoop();
  TMainLoop(const TMainLoop&) = delete;
  TMainLoop& operator=(const TMainLoop&) = delete;

  // Runs synchronised calls until done() holds (checked after each call and
  // at least every 10 ms) or timeoutMs has passed; true when done() held.
  bool RunUntil(const std::function<bool()>& done, int timeoutMs = 5000);
  void RunFor(int ms);

  std::thread::id MainThread() const { return FMain; }
  bool OnMainThread() const { return std::this_thread::get_id() == FMain; }
  std::vector<THandled> Handled();
  size_t CallsRun();
  // Waits (without running them) until a synchronised call is queued.
  bool AwaitQueued(int timeoutMs = 5000);

 private:
  struct TCall;
  void Synchronize(const std::function<void()>& method);
  bool RunPending();

  const std::thread::id FMain;
  std::mutex FMutex;
  std::condition_variable FCond;
  std::deque<std::shared_ptr<TCall>> FQueue;
  std::vector<THandled> FHandled;
  size_t FCallsRun = 0;
  bool FClosed = false;
};

}  // namespace qv::test
