// The thread class on real threads: synchronised calls, suspension as the
// prompts use it, the wait for the end, and self-release.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "procedure/Thread.h"

namespace qv {
namespace {

using TMs = std::chrono::milliseconds;
constexpr TMs kLimit{20000};

class TProbe final : public TThread {
public:
  TProbe(bool createSuspended, std::shared_ptr<TSyncQueue> queue, std::function<void(TProbe&)> body,
         std::shared_ptr<std::atomic<bool>> destroyed = nullptr)
      : TThread(createSuspended, std::move(queue)), Body(std::move(body)), Destroyed(std::move(destroyed)) {
    AfterConstruction();
  }
  ~TProbe() override {
    if (Destroyed) Destroyed->store(true);
  }

  std::function<void(TProbe&)> Body;
  std::shared_ptr<std::atomic<bool>> Destroyed;

protected:
  void Execute() override { Body(*this); }
};

// A flag that one thread raises and another waits for.
class TFlag {
public:
  void Raise() {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FRaised = true;
    }
    FCond.notify_all();
  }
  bool Await(TMs limit = kLimit) {
    std::unique_lock<std::mutex> lock(FMutex);
    return FCond.wait_for(lock, limit, [this] { return FRaised; });
  }
  bool Raised() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FRaised;
  }

private:
  std::mutex FMutex;
  std::condition_variable FCond;
  bool FRaised = false;
};

// Drains the queue on this thread until the condition holds; false when it
// did not within the limit.
bool DrainUntil(TSyncQueue& queue, const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    queue.CheckSynchronize();
    std::this_thread::yield();
  }
  return true;
}

TEST(ThreadTest, SynchronizeRunsOnTheDrainingThreadAndWaitForCarriesItOut) {
  auto queue = std::make_shared<TSyncQueue>();
  std::vector<std::string> order;  // written on this thread only
  std::thread::id ranOn;
  std::vector<std::string> workerSaw;
  TProbe probe(false, queue, [&](TProbe& self) {
    for (const char* name : {"first", "second", "third"}) {
      self.Synchronize([&, name] {
        order.push_back(name);
        ranOn = std::this_thread::get_id();
      });
      // The call has run by the time Synchronize returns.
      workerSaw.push_back(order.back());
    }
  });
  probe.WaitFor();
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_EQ(workerSaw, order);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(probe.Completion()->Finished());
}

TEST(ThreadTest, SynchronizeRethrowsInTheWorkerWhatTheCallThrew) {
  auto queue = std::make_shared<TSyncQueue>();
  std::string caught;
  bool afterwards = false;
  TProbe probe(false, queue, [&](TProbe& self) {
    try {
      self.Synchronize([] { throw Exception("Window call failed"); });
    } catch (const Exception& e) {
      caught = e.Message;
    }
    self.Synchronize([&] { afterwards = true; });
  });
  probe.WaitFor();
  EXPECT_EQ(caught, "Window call failed");
  EXPECT_TRUE(afterwards) << "the queue stays usable after a failed call";
  EXPECT_FALSE(probe.Completion()->FatalException());
}

TEST(ThreadTest, SynchronizeOffTheThreadRunsAtOnce) {
  auto queue = std::make_shared<TSyncQueue>();
  TProbe probe(true, queue, [](TProbe&) {});
  bool ran = false;
  probe.Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_FALSE(queue->CheckSynchronize()) << "nothing was queued";
  EXPECT_THROW(probe.Synchronize([] { throw Exception("x"); }), Exception);
}

TEST(ThreadTest, NotifierAsksTheWindowToDrainAndCheckSynchronizeDoes) {
  auto queue = std::make_shared<TSyncQueue>();
  std::mutex mutex;
  std::condition_variable cond;
  int notified = 0;
  queue->SetNotifier([&] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++notified;
    }
    cond.notify_all();
  });
  int ran = 0;
  TProbe probe(false, queue, [&](TProbe& self) { self.Synchronize([&] { ++ran; }); });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cond.wait_for(lock, kLimit, [&] { return notified == 1; }));
  }
  EXPECT_EQ(ran, 0) << "the notifier only schedules the call";
  EXPECT_TRUE(queue->CheckSynchronize());
  EXPECT_EQ(ran, 1);
  ASSERT_TRUE(probe.Completion()->Wait(kLimit));
  EXPECT_FALSE(queue->CheckSynchronize());
  queue->SetNotifier(nullptr);
}

// A suspended worker stays put until the window resumes it, however it was
// suspended: by a prompt (inside a synchronised call, on the window's
// thread), by a prompt that met a Resume before its Suspend (a resumption
// never comes before its suspension), or on its own thread.
TEST(ThreadTest, ASuspendedWorkerGoesOnOnlyAfterResume) {
  const std::pair<const char*, std::function<void(TProbe&)>> cases[] = {
      {"prompt", [](TProbe& self) { self.Synchronize([&] { self.Suspend(); }); }},
      {"resume before the prompt",
       [](TProbe& self) {
         self.Synchronize([&] {
           self.Resume();  // nothing to release yet
           self.Suspend();
         });
       }},
      {"own thread", [](TProbe& self) { self.Suspend(); }},
  };
  for (const auto& [name, suspend] : cases) {
    SCOPED_TRACE(name);
    auto queue = std::make_shared<TSyncQueue>();
    TFlag passed;
    TProbe probe(false, queue, [&](TProbe& self) {
      suspend(self);
      passed.Raise();
    });
    ASSERT_TRUE(DrainUntil(*queue, [&] { return probe.Suspended(); }));
    EXPECT_FALSE(passed.Await(TMs(200))) << "went on while suspended";
    probe.Resume();
    EXPECT_FALSE(probe.Suspended());
    EXPECT_TRUE(passed.Await());
    probe.WaitFor();
  }
}

TEST(ThreadTest, CreatedSuspendedRunsOnlyAfterResume) {
  auto queue = std::make_shared<TSyncQueue>();
  std::atomic<bool> ran{false};
  TProbe probe(true, queue, [&](TProbe&) { ran = true; });
  EXPECT_TRUE(probe.Suspended());
  EXPECT_THROW(probe.WaitFor(), Exception) << "waiting for a thread that never started would never end";
  EXPECT_FALSE(ran);
  probe.Resume();
  probe.WaitFor();
  EXPECT_TRUE(ran);
}

TEST(ThreadTest, TerminatedBeforeTheStartSkipsExecute) {
  auto queue = std::make_shared<TSyncQueue>();
  std::atomic<bool> ran{false};
  TProbe probe(true, queue, [&](TProbe&) { ran = true; });
  probe.Terminate();
  probe.Resume();
  probe.WaitFor();
  EXPECT_FALSE(ran);
}

TEST(ThreadTest, TerminateIsSeenByAPollingWorker) {
  auto queue = std::make_shared<TSyncQueue>();
  TFlag running;
  TProbe probe(false, queue, [&](TProbe& self) {
    running.Raise();
    while (!self.Terminated()) self.Synchronize([] {});
  });
  ASSERT_TRUE(running.Await());
  probe.Terminate();
  EXPECT_TRUE(probe.Terminated());
  probe.WaitFor();
}

TEST(ThreadTest, ExceptionEscapingExecuteIsKeptInTheCompletion) {
  auto queue = std::make_shared<TSyncQueue>();
  TProbe probe(false, queue, [](TProbe&) { throw Exception("Execute failed"); });
  probe.WaitFor();
  auto fatal = probe.Completion()->FatalException();
  ASSERT_TRUE(fatal);
  try {
    std::rethrow_exception(fatal);
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message, "Execute failed");
  }
}

// The window waits for a self-releasing worker: the object is gone when the
// wait returns, and the wait never touches it afterwards (AddressSanitizer
// checks that). The member WaitFor is called while the worker is held by a
// synchronised call, as the window does; the completion's wait serves a
// worker that may already have ended. Many rounds, so that the worker's end
// falls at different points of the wait.
TEST(ThreadTest, WaitingForASelfReleasingWorkerEndsAfterItFreedItself) {
  auto queue = std::make_shared<TSyncQueue>();
  for (int round = 0; round < 200; ++round) {
    const bool held = round % 2 == 0;
    auto destroyed = std::make_shared<std::atomic<bool>>(false);
    bool lastCallRan = false;
    auto* probe = new TProbe(
        true, queue,
        [&lastCallRan, held](TProbe& self) {
          if (held)
            self.Synchronize([&] { lastCallRan = true; });
          else
            lastCallRan = true;
        },
        destroyed);
    probe->SetFreeOnTerminate(true);
    auto end = probe->Completion();
    probe->Resume();
    if (round % 3 == 0) std::this_thread::yield();
    if (held)
      probe->WaitFor();
    else
      end->WaitFor();
    EXPECT_TRUE(destroyed->load()) << "round " << round;
    EXPECT_TRUE(end->Finished());
    EXPECT_TRUE(lastCallRan);
  }
}

TEST(ThreadTest, WaitForOnTheThreadItselfIsRefused) {
  auto queue = std::make_shared<TSyncQueue>();
  bool refused = false;
  TProbe probe(false, queue, [&](TProbe& self) {
    try {
      self.WaitFor();
    } catch (const Exception&) {
      refused = true;
    }
  });
  probe.WaitFor();
  EXPECT_TRUE(refused);
}

TEST(ThreadTest, PriorityAndFreeOnTerminateAreKept) {
  auto queue = std::make_shared<TSyncQueue>();
  TProbe probe(true, queue, [](TProbe&) {});
  EXPECT_EQ(probe.Priority(), tpNormal);
  EXPECT_FALSE(probe.FreeOnTerminate());
  probe.SetPriority(tpHigher);
  EXPECT_EQ(probe.Priority(), tpHigher);
}

}  // namespace
}  // namespace qv
