// TThread: a thread object with a termination request, self-release,
// synchronised calls into the window's thread, suspension for prompts and a
// wait for its end that keeps the window's synchronised calls going.
//
// The window's thread owns a TSyncQueue. A worker's Synchronize queues the
// call there and blocks; the window drains the queue with CheckSynchronize
// when its notifier tells it to (the GUI installs a queued call), and
// WaitFor drains it as well while the window waits for a worker to end.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "serial/Component.h"

namespace qv {

class TThread;
class TSyncQueue;
struct TSyncCall;

// What survives the thread object: whether the thread has ended (after a
// self-releasing thread has freed itself) and the exception that escaped
// Execute, if any.
class TThreadCompletion {
public:
  explicit TThreadCompletion(std::shared_ptr<TSyncQueue> queue) : FQueue(std::move(queue)) {}

  bool Finished() const { return FFinished.load(std::memory_order_acquire); }
  // Blocks until the thread has ended or the time has passed; true if ended.
  bool Wait(std::chrono::milliseconds limit) const;
  // For the window's thread: as TThread::WaitFor, for a thread that may
  // already have freed itself.
  void WaitFor() const;
  std::exception_ptr FatalException() const;

private:
  friend class TThread;
  void MarkFinished(std::exception_ptr fatal);

  const std::shared_ptr<TSyncQueue> FQueue;
  mutable std::mutex FMutex;
  mutable std::condition_variable FCond;
  std::atomic<bool> FFinished{false};
  std::exception_ptr FFatal;
};

// The window thread's queue of synchronised calls.
class TSyncQueue {
public:
  using TNotifier = std::function<void()>;

  TSyncQueue() = default;
  TSyncQueue(const TSyncQueue&) = delete;
  TSyncQueue& operator=(const TSyncQueue&) = delete;

  // Called on the posting thread after each call is queued. It must only
  // arrange for CheckSynchronize to run on the window's thread; it must not
  // run the calls itself.
  void SetNotifier(TNotifier notifier);

  // Runs every queued call on the calling thread, in order. True when at
  // least one ran.
  bool CheckSynchronize();

private:
  friend class TThread;
  friend class TThreadCompletion;
  void Post(const std::shared_ptr<TSyncCall>& call);
  // Blocks until a call is queued or the thread has ended.
  void AwaitCallOrEnd(const TThreadCompletion& end);
  void Wake();

  std::mutex FMutex;
  std::condition_variable FCond;
  std::deque<std::shared_ptr<TSyncCall>> FCalls;
  TNotifier FNotifier;
};

// The queue of the program's one window thread.
std::shared_ptr<TSyncQueue> MainSyncQueue();

class TThread {
public:
  // No thread runs before AfterConstruction (or, when created suspended,
  // before the first Resume), so a derived class is complete when Execute
  // starts.
  explicit TThread(bool createSuspended, std::shared_ptr<TSyncQueue> queue = MainSyncQueue());
  // By the time this runs the derived object is gone, so a thread that is
  // still running cannot be stopped here any more: another thread that
  // deletes a started thread must have waited for its end (the program is
  // aborted otherwise). A self-releasing thread is deleted by itself.
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Terminate() { FTerminated.store(true, std::memory_order_release); }
  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }

  // A self-releasing thread deletes its object once Execute has returned.
  // Such an object must be created with new, and nobody may touch it after
  // its last synchronised call has returned (WaitFor is safe: it holds only
  // the completion).
  bool FreeOnTerminate() const { return FFreeOnTerminate.load(std::memory_order_acquire); }
  void SetFreeOnTerminate(bool value) { FFreeOnTerminate.store(value, std::memory_order_release); }

  // The system runs its worker at tpNormal, the scheduler's default, so the
  // value is kept for the record and not passed to the scheduler.
  TThreadPriority Priority() const { return FPriority.load(std::memory_order_acquire); }
  void SetPriority(TThreadPriority value) { FPriority.store(value, std::memory_order_release); }

  // Runs method on the window's thread and waits for it; an exception thrown
  // there is rethrown here. Called on any other thread than this one's own
  // (the window's, or a test driving the object without starting it), it
  // runs the method at once. If the method suspended this thread, the
  // thread stays here until Resume.
  void Synchronize(const std::function<void()>& method);
  template <class T>
  void Synchronize(void (T::*method)()) {
    Synchronize(std::function<void()>([this, method] { (static_cast<T*>(this)->*method)(); }));
  }

  // On this thread's own thread Suspend blocks until Resume. On any other
  // thread (inside a synchronised call, by a prompt) it marks the thread,
  // which blocks as soon as that synchronised call has returned. Resume
  // releases a suspended thread and starts one that was created suspended;
  // a Resume without a Suspend before it does nothing.
  void Suspend();
  void Resume();
  bool Suspended() const;

  // For the window's thread: blocks until the thread has ended, carrying out
  // its synchronised calls meanwhile and nothing else. With a self-releasing
  // thread the object is gone when WaitFor returns. The object must still
  // exist when WaitFor is called: the window calls it while its Worker field
  // names the worker, which only the worker's last synchronised call clears.
  // Where that is not certain, wait on Completion() instead.
  void WaitFor();

  std::shared_ptr<TThreadCompletion> Completion() const { return FCompletion; }

  // The TThread whose Execute runs on the calling thread, if any.
  static TThread* Current();

protected:
  virtual void Execute() = 0;
  // The most derived constructor calls it last: it starts the thread unless
  // the object was created suspended.
  void AfterConstruction();

private:
  static void ThreadMain(TThread* self, std::shared_ptr<TThreadCompletion> end, std::shared_ptr<TSyncQueue> queue);
  void Launch();
  void AwaitResume();

  std::shared_ptr<TSyncQueue> FQueue;
  std::shared_ptr<TThreadCompletion> FCompletion;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFreeOnTerminate{false};
  std::atomic<TThreadPriority> FPriority{tpNormal};

  mutable std::mutex FMutex;
  std::condition_variable FCond;
  bool FCreateSuspended;
  bool FStarted = false;
  bool FSuspended;
};

}  // namespace qv
