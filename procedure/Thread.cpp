#include "procedure/Thread.h"

#include <cstdio>
#include <thread>
#include <utility>

namespace qv {

// One queued call. Both sides hold it, so neither depends on the other's
// stack once the call is done.
struct TSyncCall {
  explicit TSyncCall(std::function<void()> method) : Method(std::move(method)) {}
  std::function<void()> Method;
  std::exception_ptr Error;
  std::mutex Mutex;
  std::condition_variable Cond;
  bool Done = false;
};

namespace {
thread_local TThread* CurrentThread = nullptr;
}  // namespace

// ---- TThreadCompletion ------------------------------------------------------

bool TThreadCompletion::Wait(std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(FMutex);
  return FCond.wait_for(lock, limit, [this] { return Finished(); });
}

void TThreadCompletion::WaitFor() const {
  for (;;) {
    FQueue->CheckSynchronize();
    if (Finished()) return;
    FQueue->AwaitCallOrEnd(*this);
  }
}

std::exception_ptr TThreadCompletion::FatalException() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FFatal;
}

void TThreadCompletion::MarkFinished(std::exception_ptr fatal) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FFatal = std::move(fatal);
    FFinished.store(true, std::memory_order_release);
  }
  FCond.notify_all();
}

// ---- TSyncQueue -------------------------------------------------------------

void TSyncQueue::SetNotifier(TNotifier notifier) {
  std::lock_guard<std::mutex> lock(FMutex);
  FNotifier = std::move(notifier);
}

bool TSyncQueue::CheckSynchronize() {
  bool ran = false;
  for (;;) {
    std::shared_ptr<TSyncCall> call;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      if (FCalls.empty()) break;
      call = std::move(FCalls.front());
      FCalls.pop_front();
    }
    try {
      call->Method();
    } catch (...) {
      call->Error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(call->Mutex);
      call->Done = true;
    }
    call->Cond.notify_all();
    ran = true;
  }
  return ran;
}

void TSyncQueue::Post(const std::shared_ptr<TSyncCall>& call) {
  TNotifier notifier;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FCalls.push_back(call);
    notifier = FNotifier;
    FCond.notify_all();
  }
  if (notifier) notifier();
}

void TSyncQueue::AwaitCallOrEnd(const TThreadCompletion& end) {
  std::unique_lock<std::mutex> lock(FMutex);
  FCond.wait(lock, [&] { return !FCalls.empty() || end.Finished(); });
}

void TSyncQueue::Wake() {
  // Under the lock, so that a waiter between its check and its wait cannot
  // miss the end.
  std::lock_guard<std::mutex> lock(FMutex);
  FCond.notify_all();
}

std::shared_ptr<TSyncQueue> MainSyncQueue() {
  static const std::shared_ptr<TSyncQueue> queue = std::make_shared<TSyncQueue>();
  return queue;
}

// ---- TThread ----------------------------------------------------------------

TThread::TThread(bool createSuspended, std::shared_ptr<TSyncQueue> queue)
    : FQueue(std::move(queue)),
      FCompletion(std::make_shared<TThreadCompletion>(FQueue)),
      FCreateSuspended(createSuspended),
      FSuspended(createSuspended) {}

TThread::~TThread() {
  if (CurrentThread == this) return;
  bool started;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    started = FStarted;
  }
  if (started && !FCompletion->Finished()) {
    std::fputs("TThread: a running thread was deleted\n", stderr);
    std::terminate();
  }
}

TThread* TThread::Current() {
  return CurrentThread;
}

void TThread::AfterConstruction() {
  if (!FCreateSuspended) Launch();
}

void TThread::Launch() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (FStarted) return;
    FStarted = true;
    FSuspended = false;
  }
  // Detached: a self-releasing thread cannot join itself, and every wait
  // for the end goes through the completion, which outlives the object.
  std::thread(&TThread::ThreadMain, this, FCompletion, FQueue).detach();
}

void TThread::ThreadMain(TThread* self, std::shared_ptr<TThreadCompletion> end, std::shared_ptr<TSyncQueue> queue) {
  CurrentThread = self;
  std::exception_ptr fatal;
  try {
    if (!self->Terminated()) self->Execute();
  } catch (...) {
    fatal = std::current_exception();
  }
  if (self->FreeOnTerminate()) delete self;
  CurrentThread = nullptr;
  // From here on only the shared parts are touched: the object may be gone,
  // or its owner may free it as soon as it sees the end.
  end->MarkFinished(std::move(fatal));
  queue->Wake();
}

void TThread::Synchronize(const std::function<void()>& method) {
  if (CurrentThread != this) {
    method();
    return;
  }
  auto call = std::make_shared<TSyncCall>(method);
  FQueue->Post(call);
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(call->Mutex);
    call->Cond.wait(lock, [&] { return call->Done; });
    // Taken out, so that the exception object is released on this thread
    // only: the window's thread may drop the call at any time now.
    error = std::move(call->Error);
  }
  AwaitResume();
  if (error) std::rethrow_exception(error);
}

void TThread::Suspend() {
  std::unique_lock<std::mutex> lock(FMutex);
  FSuspended = true;
  if (CurrentThread == this) FCond.wait(lock, [this] { return !FSuspended; });
}

void TThread::Resume() {
  bool start;
  {
    // Notified under the lock: once released, a self-releasing thread may
    // run to its end and free the object.
    std::lock_guard<std::mutex> lock(FMutex);
    start = !FStarted;
    FSuspended = false;
    FCond.notify_all();
  }
  if (start) Launch();
}

bool TThread::Suspended() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FSuspended;
}

void TThread::AwaitResume() {
  std::unique_lock<std::mutex> lock(FMutex);
  FCond.wait(lock, [this] { return !FSuspended; });
}

void TThread::WaitFor() {
  if (CurrentThread == this) throw Exception("Thread cannot wait for its own end");
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (!FStarted) throw Exception("Thread was never started");
  }
  // Only the completion is used from here on: a self-releasing thread
  // frees its object while the wait runs.
  const std::shared_ptr<TThreadCompletion> end = FCompletion;
  end->WaitFor();
}

}  // namespace qv
