#include "tests/support/MainLoop.h"

#include <chrono>
#include <exception>

#include "serial/Component.h"

namespace qv::test {

// Held by both sides: the caller waits on the call's own lock, so that the
// loop may go as soon as the call has run.
struct TMainLoop::TCall {
  std::function<void()> Method;
  std::exception_ptr Error;
  bool Done = false;
  std::mutex Mutex;
  std::condition_variable Cond;
};

TMainLoop::TMainLoop() : FMain(std::this_thread::get_id()) {
  TApplicationServices services;
  services.Synchronize = [this](const std::function<void()>& method) { Synchronize(method); };
  services.HandleException = [this](std::exception_ptr error) {
    std::string message = "unknown exception";
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      message = e.what();
    } catch (...) {
    }
    std::lock_guard<std::mutex> lock(FMutex);
    FHandled.push_back({message, OnMainThread()});
  };
  SetApplicationServices(services);
}

TMainLoop::~TMainLoop() {
  SetApplicationServices({});
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FClosed = true;
  }
  RunPending();
}

void TMainLoop::Synchronize(const std::function<void()>& method) {
  if (OnMainThread()) {
    method();
    return;
  }
  auto call = std::make_shared<TCall>();
  call->Method = method;
  {
    std::unique_lock<std::mutex> lock(FMutex);
    if (FClosed) {
      lock.unlock();
      method();
      return;
    }
    FQueue.push_back(call);
    FCond.notify_all();
  }
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(call->Mutex);
    call->Cond.wait(lock, [&] { return call->Done; });
    error = call->Error;
  }
  if (error) std::rethrow_exception(error);
}

bool TMainLoop::RunPending() {
  bool ran = false;
  for (;;) {
    std::shared_ptr<TCall> call;
    {
      std::lock_guard<std::mutex> lock(FMutex);
      if (FQueue.empty()) return ran;
      call = FQueue.front();
      FQueue.pop_front();
    }
    std::exception_ptr error;
    try {
      call->Method();
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(FMutex);
      ++FCallsRun;
    }
    {
      std::lock_guard<std::mutex> lock(call->Mutex);
      call->Error = error;
      call->Done = true;
      call->Cond.notify_all();
    }
    ran = true;
  }
}

bool TMainLoop::RunUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    RunPending();
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::unique_lock<std::mutex> lock(FMutex);
    FCond.wait_for(lock, std::chrono::milliseconds(10), [this] { return !FQueue.empty(); });
  }
}

void TMainLoop::RunFor(int ms) {
  RunUntil([] { return false; }, ms);
}

std::vector<TMainLoop::THandled> TMainLoop::Handled() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FHandled;
}

bool TMainLoop::AwaitQueued(int timeoutMs) {
  std::unique_lock<std::mutex> lock(FMutex);
  return FCond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !FQueue.empty(); });
}

size_t TMainLoop::CallsRun() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FCallsRun;
}

}  // namespace qv::test
