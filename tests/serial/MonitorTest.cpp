// The event monitor's own rules, on a device whose event waits the test
// ends by hand: when the monitor exists, the mask it sets, the dispatch
// order, the thread the handlers run on, a raising handler, and the failed
// wait. The test thread is the main thread.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#endif

#include "serial/ComPort.h"
#include "tests/support/Cases.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/MainLoop.h"
#include "tests/support/RecordingDevice.h"

namespace qv {
namespace {

using test::PrintTo;
using TDeviceEvent = TCustomComPort::TDeviceEvent;
using test::kAllEvents;
using test::TRecorder;

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rec.Loop = &loop;
    port->SetDeviceName("rec://a");
  }
  void TearDown() override { port.reset(); }

  void Assign(TDeviceEvent which) { port->SetDeviceEvent(which, rec.Handler(which)); }
  void Remove(TDeviceEvent which) { port->SetDeviceEvent(which, nullptr); }
  test::TRecordedDevice& Dev() { return devices.Devices["a"]; }
  test::TEventFeed& Feed() { return *Dev().Events; }
  bool AwaitCalls(size_t n) {
    return loop.RunUntil([&] { return rec.Count() >= n; });
  }

  test::TMainLoop loop;  // first: it outlives the port
  test::TRecordingScope devices;
  TRecorder rec;
  std::unique_ptr<TComPort> port = std::make_unique<TComPort>(nullptr);
};

TEST_F(MonitorTest, WithoutHandlersNoThreadWaitsAndTheMaskIsEmpty) {
  port->Open();
  loop.RunFor(50);
  EXPECT_EQ(Dev().EventMasks, (std::vector<uint32_t>{0}));
  EXPECT_EQ(port->Monitor(), nullptr);
  EXPECT_EQ(Feed().WaitsStarted(), 0);
}

// The monitor may take the port just before the port ends the wait, and
// begin its wait only after the change of the mask that was to end it. On
// a driver where a wait on an empty mask lasts, the port changes the mask
// again until the monitor has let go, instead of waiting for ever.
TEST_F(MonitorTest, AWaitBegunAfterTheEndingMaskChangeIsEndedToo) {
  Feed().EmptyMaskWaits = true;
  port->Open();
  Assign(TCustomComPort::deRxChar);
  ASSERT_TRUE(Feed().AwaitWaits(1));
  {
    std::lock_guard<std::mutex> lock(Feed().Mutex);
    Feed().HoldNextWait = true;
  }
  Feed().Deliver(EV_RXCHAR);
  ASSERT_TRUE(AwaitCalls(1));
  ASSERT_TRUE(Feed().AwaitHeld());
  Remove(TCustomComPort::deRxChar);
  EXPECT_EQ(port->Monitor(), nullptr);
  EXPECT_TRUE(Feed().AwaitIdle());
  EXPECT_GE(Dev().EventMasks.size(), 4u) << "the open's mask, the handler's, and mask 0 twice at least";
}

TEST_F(MonitorTest, FirstHandlerStartsTheMonitorAndTheLastOneEndsItWithMaskZero) {
  port->Open();
  Assign(TCustomComPort::deRxChar);
  EXPECT_NE(port->Monitor(), nullptr);
  ASSERT_TRUE(Feed().AwaitWaits(1));
  Assign(TCustomComPort::deCTSChange);
  // The new mask ends the wait in progress; the next one waits for both.
  ASSERT_TRUE(Feed().AwaitWaits(2));
  Remove(TCustomComPort::deRxChar);
  EXPECT_NE(port->Monitor(), nullptr);
  Remove(TCustomComPort::deCTSChange);
  EXPECT_EQ(port->Monitor(), nullptr);
  EXPECT_TRUE(Feed().AwaitIdle()) << "the wait in progress has ended";
  EXPECT_EQ(Dev().EventMasks, (std::vector<uint32_t>{0, EV_RXCHAR, EV_RXCHAR | EV_CTS, EV_CTS, 0, 0}));
  Feed().Deliver(EV_RXCHAR);
  loop.RunFor(50);
  EXPECT_EQ(rec.Count(), 0u) << "an ended monitor dispatches nothing";
  EXPECT_TRUE(port->Active());
}

TEST_F(MonitorTest, OnAClosedPortAHandlerIsOnlyStored) {
  Assign(TCustomComPort::deRxChar);
  EXPECT_EQ(port->Monitor(), nullptr);
  EXPECT_EQ(Dev().Opens, 0);
  port->Open();
  EXPECT_EQ(Dev().EventMasks, (std::vector<uint32_t>{EV_RXCHAR})) << "Open sets the stored handlers' mask";
  EXPECT_NE(port->Monitor(), nullptr);
  Feed().Deliver(EV_RXCHAR);
  ASSERT_TRUE(AwaitCalls(1));
  port->Close();
  EXPECT_EQ(port->Monitor(), nullptr);
  Remove(TCustomComPort::deRxChar);
  Assign(TCustomComPort::deDSRChange);
  EXPECT_EQ(port->Monitor(), nullptr);
  EXPECT_EQ(Dev().EventMasks.size(), 2u) << "the closed port's device saw the Close's mask 0 and nothing after";
}

TEST_F(MonitorTest, OneWaitsEventsAreDispatchedInTheFixedOrderOnTheMainThread) {
  for (int e = TCustomComPort::deBreak; e <= TCustomComPort::deTxEmpty; ++e) Assign(static_cast<TDeviceEvent>(e));
  port->SetOnLineError(rec.LineErrorHandler());
  port->Open();
  Dev().ErrorWord = CE_FRAME;
  Feed().Deliver(kAllEvents);
  ASSERT_TRUE(AwaitCalls(13));
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"Break", "CTSChange", "DSRChange", "LineError", "Event1",
                                                       "Event2", "PrinterError", "Ring", "RLSDChange", "Rx80PercFull",
                                                       "RxChar", "RxFlag", "TxEmpty"}));
  EXPECT_TRUE(rec.AllOnMain(true));
  // EV_ERR goes through the line-error check: an empty error word calls
  // nothing.
  Feed().Deliver(EV_RXCHAR | EV_ERR | EV_DSR);
  ASSERT_TRUE(AwaitCalls(15));
  const std::vector<std::string> calls = rec.TakeCalls();
  EXPECT_EQ(std::vector<std::string>(calls.begin() + 13, calls.end()),
            (std::vector<std::string>{"DSRChange", "RxChar"}));
}

TEST_F(MonitorTest, WithoutSynchronizeEventsTheHandlersRunOnTheMonitorThread) {
  port->SetSynchronizeEvents(false);
  Assign(TCustomComPort::deRxChar);
  port->Open();
  EXPECT_THROW(port->SetSynchronizeEvents(true), EComError);
  Feed().Deliver(EV_RXCHAR);
  ASSERT_TRUE(AwaitCalls(1));
  EXPECT_TRUE(rec.AllOnMain(false));
  EXPECT_EQ(loop.CallsRun(), 0u);
}

class MonitorRaisingHandler : public MonitorTest, public ::testing::WithParamInterface<bool> {};

TEST_P(MonitorRaisingHandler, StopsTheWalkOfThatWaitOnlyAndReachesTheApplication) {
  port->SetSynchronizeEvents(GetParam());
  Assign(TCustomComPort::deCTSChange);
  Assign(TCustomComPort::deRxChar);
  bool raised = false;
  rec.Action = [&](const std::string& name) {
    if (name == "CTSChange" && !raised) {
      raised = true;
      throw std::runtime_error("handler failed");
    }
  };
  port->Open();
  Feed().Deliver(EV_CTS | EV_RXCHAR);
  ASSERT_TRUE(loop.RunUntil([&] { return !loop.Handled().empty(); }));
  Feed().Deliver(EV_CTS | EV_RXCHAR);
  ASSERT_TRUE(AwaitCalls(3));
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"CTSChange", "CTSChange", "RxChar"}));
  const auto handled = loop.Handled();
  ASSERT_EQ(handled.size(), 1u);
  EXPECT_EQ(handled[0].Message, "handler failed");
  EXPECT_TRUE(handled[0].OnMainThread);
  EXPECT_NE(port->Monitor(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Dispatch, MonitorRaisingHandler, ::testing::Values(true, false),
                         [](const auto& i) { return i.param ? "OnTheMainThread" : "OnTheMonitorThread"; });

struct TFailureCase {
  const char* Name;
  TDevStatus Failure;
  TComAction Action;
  bool StaysOpen;
};

struct TErrorSeen {
  std::string Message;
  int32_t Code;
  TComErrorKind Kind;
  bool OnMain;
  bool PortOpen;
};

class MonitorFailedWait : public MonitorTest, public ::testing::WithParamInterface<TFailureCase> {
 public:
  void OnError(TCustomComPort* p, EComError& e, TComAction& action) {
    errors.push_back({e.Message, e.ErrorCode, e.Kind, loop.OnMainThread(), p->Active()});
    action = GetParam().Action;
  }

 protected:
  std::vector<TErrorSeen> errors;  // written on the main thread only
};

TEST_P(MonitorFailedWait, IsReportedOnceOnTheMainThreadAndClosesOnlyALostDevice) {
  const TFailureCase& c = GetParam();
  port->OnError = TComErrorEvent::Of<&MonitorFailedWait::OnError>(this);
  Assign(TCustomComPort::deRxChar);
  port->Open();
  Feed().Fail(c.Failure);
  ASSERT_TRUE(loop.RunUntil([&] { return !errors.empty(); }));
  loop.RunFor(50);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].Message, c.Failure.Text);
  EXPECT_EQ(errors[0].Code, c.Failure.Code);
  // A failure the device gives no kind is of no known kind.
  EXPECT_EQ(errors[0].Kind, c.StaysOpen ? ekOther : ekDeviceLost);
  EXPECT_TRUE(errors[0].OnMain);
  EXPECT_TRUE(errors[0].PortOpen) << "OnError sees the port before it closes";
  EXPECT_EQ(port->Active(), c.StaysOpen);
  EXPECT_EQ(port->MonitorError(), c.Failure.Code);
  EXPECT_EQ(port->Monitor(), nullptr) << "the port has let go of the ended monitor";
  const auto handled = loop.Handled();
  if (c.Action == caAbort) {
    EXPECT_TRUE(handled.empty()) << "the silent abort is not shown";
  } else {
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].Message, c.Failure.Text);
  }
  if (!c.StaysOpen) return;
  // The next handler assigned starts a monitor again.
  Assign(TCustomComPort::deDSRChange);
  EXPECT_NE(port->Monitor(), nullptr);
  Feed().Deliver(EV_DSR);
  ASSERT_TRUE(AwaitCalls(1));
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"DSRChange"}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MonitorFailedWait,
    ::testing::Values(TFailureCase{"AccessDenied", {5, "Access is denied", ekDeviceLost}, caFail, false},
                      TFailureCase{"HangUp", {EIO, "Input/output error", ekDeviceLost}, caFail, false},
                      TFailureCase{"AccessDeniedSilentAbort", {5, "Access is denied", ekDeviceLost}, caAbort, false},
                      TFailureCase{
                          "OtherCode", {31, "A device attached to the system is not functioning"}, caFail, true}),
    test::TCaseName());

TEST_F(MonitorTest, CloseOnTheMonitorThreadIsCarriedOutOnTheMainThread) {
  port->SetSynchronizeEvents(false);
  struct TCloseSeen {
    test::TMainLoop* Loop;
    bool Called = false, OnMain = false;
  } seen{&loop};
  port->BeforeClose = TOpenCloseEvent(
      [](void* d, TCustomComPort*) {
        auto* s = static_cast<TCloseSeen*>(d);
        s->Called = true;
        s->OnMain = s->Loop->OnMainThread();
      },
      &seen);
  Assign(TCustomComPort::deRxChar);
  Assign(TCustomComPort::deTxEmpty);
  rec.Action = [&](const std::string& name) {
    if (name == "RxChar") port->Close();
  };
  port->Open();
  Feed().Deliver(EV_RXCHAR | EV_TXEMPTY);
  ASSERT_TRUE(AwaitCalls(1));
  EXPECT_FALSE(port->Active());
  EXPECT_TRUE(seen.Called);
  EXPECT_TRUE(seen.OnMain);
  EXPECT_EQ(port->Monitor(), nullptr);
  loop.RunFor(50);
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"RxChar"})) << "the walk stops at the Close";
}

TEST_F(MonitorTest, AHandlerThatClosesThePortEndsTheWalk) {
  Assign(TCustomComPort::deRxChar);
  Assign(TCustomComPort::deTxEmpty);
  rec.Action = [&](const std::string& name) {
    if (name == "RxChar") port->Close();
  };
  port->Open();
  Feed().Deliver(EV_RXCHAR | EV_TXEMPTY);
  ASSERT_TRUE(loop.RunUntil([&] { return !port->Active(); }));
  loop.RunFor(50);
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"RxChar"}));
  EXPECT_TRUE(loop.Handled().empty());
}

TEST_F(MonitorTest, FreeingThePortLeavesNothingForTheMonitorToTouch) {
  Assign(TCustomComPort::deRxChar);
  port->Open();
  ASSERT_TRUE(Feed().AwaitWaits(1));
  // The dispatch is queued for the main thread, which frees the port first.
  Feed().Deliver(EV_RXCHAR);
  ASSERT_TRUE(loop.AwaitQueued());
  port.reset();
  loop.RunFor(50);
  EXPECT_EQ(rec.Count(), 0u);
  EXPECT_FALSE(Dev().IsOpen);
}

#ifdef __linux__
TEST_F(MonitorTest, ThreadPriorityIsGivenToTheRunningMonitor) {
  // Lowering a thread's priority needs no privilege; nice values are per
  // thread on Linux.
  port->SetSynchronizeEvents(false);
  port->SetThreadPriority(tpLower);
  std::vector<int> nice;
  rec.Action = [&](const std::string&) {
    nice.push_back(::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid))));
  };
  Assign(TCustomComPort::deRxChar);
  port->Open();
  Feed().Deliver(EV_RXCHAR);
  ASSERT_TRUE(AwaitCalls(1));
  port->SetThreadPriority(tpIdle);
  Feed().Deliver(EV_RXCHAR);
  ASSERT_TRUE(AwaitCalls(2));
  EXPECT_EQ(nice, (std::vector<int>{5, 19}));
}
#endif

}  // namespace
}  // namespace qv
