// The event monitor on the Win32 backend (SetCommMask, WaitCommEvent),
// against COM ports that Wine maps to pseudo-terminals: received characters,
// the emptied output queue, modem lines and error counters, and a failed
// wait. Wine's wait reads the modem lines at every look and fails at once
// on a device without them, so every pseudo-terminal here has them from the
// modem shim preloaded into Wine. The test thread is the main thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/LinuxCalls.h"
#include "tests/support/MainLoop.h"
#include "tests/support/Pty.h"
#include "tests/support/modemshim/ModemShim.h"

namespace qv {
namespace {

namespace lc = test::linux_calls;
using TPort = TCustomComPort;

class Win32Events : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!lc::RunningUnderWine()) GTEST_SKIP() << "the far end of a COM port is a pseudo-terminal under Wine only";
    pty = std::make_unique<test::TPty>();
    shim = std::make_unique<test::TModemShim>();
    shim->Attach(pty->SlavePath());
    port->SetDeviceName(pty->PortName());
    port->SetBaudRate(br9600);
    port->FlowControl().SetDTR(dcDisable);
    port->FlowControl().SetRTS(rcEnable);
    port->Timeouts().SetReadConstant(250);
  }
  void TearDown() override {
    port.reset();
    shim.reset();
  }
  bool AwaitCalls(size_t n) {
    return loop.RunUntil([&] { return rec.Count() >= n; });
  }
  // Wine's driver looks at the lines and counters every few milliseconds;
  // a change waits until the wait has taken the state before it.
  void Settle() { loop.RunFor(60); }

  test::TMainLoop loop;
  std::unique_ptr<test::TPty> pty;
  std::unique_ptr<test::TModemShim> shim;
  test::TRecorder rec{&loop};
  std::unique_ptr<TComPort> port = std::make_unique<TComPort>(nullptr);
};

// Windows reports EV_RXCHAR once for each arrival; Wine reports it at every
// look while bytes wait in the queue, so here only the first one counts.
TEST_F(Win32Events, AnArrivalIsRxCharAndTheBytesStayToBeRead) {
  rec.AssignTo(*port, {TPort::deRxChar});
  port->Open();
  Settle();
  EXPECT_EQ(rec.Count(), 0u);
  pty->WriteMaster("ab");
  ASSERT_TRUE(AwaitCalls(1));
  ASSERT_TRUE(loop.RunUntil([&] { return port->InputCount() == 2; }));
  EXPECT_EQ(port->ReadByte(), 'a');
  EXPECT_EQ(port->ReadByte(), 'b');
  EXPECT_TRUE(rec.AllOnMain(true));
}

TEST_F(Win32Events, AWriteEndsInTxEmpty) {
  rec.AssignTo(*port, {TPort::deTxEmpty});
  port->Open();
  Settle();
  port->WriteByte('x');
  ASSERT_TRUE(AwaitCalls(1));
  EXPECT_EQ(pty->ReadMaster(1), "x");
}

TEST_F(Win32Events, RemovingTheLastHandlerEndsTheWaitAndTheMonitor) {
  rec.AssignTo(*port, {TPort::deRxChar});
  port->Open();
  Settle();
  ASSERT_NE(port->Monitor(), nullptr);
  const auto start = std::chrono::steady_clock::now();
  port->SetDeviceEvent(TPort::deRxChar, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(port->Monitor(), nullptr);
  pty->WriteMaster("z");
  loop.RunFor(100);
  EXPECT_EQ(rec.Count(), 0u);
  EXPECT_EQ(port->ReadByte(), 'z');
}

// On Windows a removed USB adapter fails the wait with access denied (5)
// and the port closes; any other failed wait is reported and leaves the
// port open. Wine fails the wait on a device without modem lines, which is
// the second case.
TEST_F(Win32Events, AFailedWaitIsReportedOnceOnTheMainThreadAndLeavesThePortOpen) {
  shim.reset();
  struct TSeen {
    test::TMainLoop* Loop;
    std::vector<int32_t> Codes;
    bool OnMain = true;
  } seen{&loop, {}};
  port->OnError = TComErrorEvent(
      [](void* d, TCustomComPort*, EComError& e, TComAction&) {
        auto* s = static_cast<TSeen*>(d);
        s->Codes.push_back(e.ErrorCode);
        s->OnMain = s->OnMain && s->Loop->OnMainThread();
      },
      &seen);
  // The handler goes before what it writes to, however the test ends.
  struct TUnhook {
    TComPort& Port;
    ~TUnhook() { Port.OnError = {}; }
  } unhook{*port};
  rec.AssignTo(*port, {TPort::deRxChar, TPort::deDSRChange});
  port->Open();
  ASSERT_TRUE(loop.RunUntil([&] { return !seen.Codes.empty(); }));
  loop.RunFor(100);
  ASSERT_EQ(seen.Codes.size(), 1u);
  if (lc::RunningUnderWine()) {
    EXPECT_EQ(seen.Codes[0], 50) << "ERROR_NOT_SUPPORTED";
  }
  EXPECT_NE(seen.Codes[0], 5);
  EXPECT_TRUE(seen.OnMain);
  EXPECT_EQ(port->Monitor(), nullptr);
  EXPECT_TRUE(port->Active());
  ASSERT_EQ(loop.Handled().size(), 1u);
  EXPECT_TRUE(loop.Handled()[0].OnMainThread);
}

// ---- modem lines and counters, through the modem shim -------------------------------

using Win32ModemLines = Win32Events;

TEST_F(Win32ModemLines, ThePortDrivesAndReadsTheLines) {
  port->Open();
  EXPECT_EQ(shim->HostLines(), TIOCM_RTS);
  port->FlowControl().SetDTR(dcEnable);
  EXPECT_EQ(shim->HostLines(), TIOCM_RTS | TIOCM_DTR);
  port->FlowControl().SetRTS(rcDisable);
  EXPECT_EQ(shim->HostLines(), TIOCM_DTR);
  shim->SetLines(TIOCM_DSR | TIOCM_CTS);
  EXPECT_EQ(port->ModemStatus(), (TModemStatus{msCTS, msDSR}));
  shim->SetLines(TIOCM_CD | TIOCM_RNG);
  EXPECT_EQ(port->ModemStatus(), (TModemStatus{msRing, msRLSD}));
}

TEST_F(Win32ModemLines, LineChangesAreDeviceEvents) {
  rec.AssignTo(*port, {TPort::deCTSChange, TPort::deDSRChange, TPort::deRLSDChange, TPort::deRing});
  port->Open();
  int lines = 0;
  for (int line : {TIOCM_DSR, TIOCM_CTS, TIOCM_CD, TIOCM_RNG}) {
    Settle();
    lines |= line;
    shim->SetLines(lines);
    const size_t before = rec.Count();
    ASSERT_TRUE(loop.RunUntil([&] { return rec.Count() > before; }));
  }
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"DSRChange", "CTSChange", "RLSDChange", "Ring"}));
  EXPECT_TRUE(rec.AllOnMain(true));
}

TEST_F(Win32ModemLines, ABreakFromTheCountersIsADeviceEvent) {
  rec.AssignTo(*port, {TPort::deBreak});
  port->Open();
  Settle();
  shim->AddErrors(0, 0, 0, 1);
  ASSERT_TRUE(AwaitCalls(1));
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"Break"}));
}

// Windows gives the framing error in the error word (CE_FRAME) that the
// line-error check reads and clears, so OnLineError hears of it. Wine's
// ClearCommError gives no error word at all.
TEST_F(Win32ModemLines, AFramingErrorReachesOnLineError) {
  if (lc::RunningUnderWine()) GTEST_SKIP() << "Wine: ClearCommError gives no error word";
  port->SetOnLineError(rec.LineErrorHandler());
  port->Open();
  Settle();
  shim->AddErrors(1, 0, 0, 0);
  ASSERT_TRUE(AwaitCalls(1));
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"LineError"}));
}

// The monitor's wait runs beside the reads and writes of another thread;
// the handlers run on the main thread meanwhile.
TEST_F(Win32Events, TheWaitRunsBesideExchangesOnAnotherThread) {
  rec.AssignTo(*port, {TPort::deRxChar, TPort::deTxEmpty});
  port->Open();
  pty->StartEcho();
  std::atomic<bool> done{false};
  std::string answers;
  std::thread worker([&] {
    for (int i = 0; i < 30; ++i) {
      port->WriteByte(static_cast<uint8_t>('A' + i % 26));
      answers.push_back(static_cast<char>(port->ReadByte()));
    }
    done = true;
  });
  EXPECT_TRUE(loop.RunUntil([&] { return done.load(); }, 20000));
  worker.join();
  pty->StopResponder();
  EXPECT_EQ(answers.substr(0, 3), "ABC");
  EXPECT_EQ(answers.size(), 30u);
  EXPECT_TRUE(loop.RunUntil([&] { return rec.CountOf("TxEmpty") > 0; }));
  // Windows signals each arrival; Wine looks at the queue now and then, and
  // the worker's reads have taken the bytes before it looks.
  if (!lc::RunningUnderWine()) {
    EXPECT_GT(rec.CountOf("RxChar"), 0u);
  }
  EXPECT_TRUE(rec.AllOnMain(true));
}

}  // namespace
}  // namespace qv
