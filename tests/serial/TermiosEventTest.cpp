// The event monitor on the termios backend, over real pseudo-terminals:
// received characters from the wait on the descriptor, the emptied output
// queue, the 80-percent mark, the hang-up, and what a pseudo-terminal
// cannot report at all. The test thread is the main thread.
#include <termios.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/MainLoop.h"
#include "tests/support/Pty.h"

namespace qv {
namespace {

using TPort = TCustomComPort;

class TermiosEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    port->SetDeviceName(pty.SlavePath());
    port->SetBaudRate(br9600);
    port->Timeouts().SetReadConstant(250);
  }
  bool AwaitCalls(size_t n) {
    return loop.RunUntil([&] { return rec.Count() >= n; });
  }

  test::TMainLoop loop;
  test::TPty pty;
  test::TRecorder rec{&loop};
  std::unique_ptr<TComPort> port = std::make_unique<TComPort>(nullptr);
};

TEST_F(TermiosEvents, EachArrivalIsOneRxCharAndTheBytesStayToBeRead) {
  rec.AssignTo(*port, {TPort::deRxChar});
  port->Open();
  pty.WriteMaster("a");
  ASSERT_TRUE(AwaitCalls(1));
  // Bytes nobody reads do not make the event again; new ones do.
  loop.RunFor(100);
  EXPECT_EQ(rec.Count(), 1u);
  pty.WriteMaster("b");
  ASSERT_TRUE(AwaitCalls(2));
  EXPECT_EQ(port->InputCount(), 2u);
  EXPECT_EQ(port->ReadByte(), 'a');
  EXPECT_EQ(port->ReadByte(), 'b');
  EXPECT_TRUE(rec.AllOnMain(true));
}

TEST_F(TermiosEvents, AWriteEndsInTxEmpty) {
  rec.AssignTo(*port, {TPort::deTxEmpty});
  port->Open();
  loop.RunFor(50);
  EXPECT_EQ(rec.Count(), 0u) << "nothing written yet";
  port->WriteByte('x');
  ASSERT_TRUE(AwaitCalls(1));
  EXPECT_EQ(pty.ReadMaster(1), "x");
}

TEST_F(TermiosEvents, EightyPercentOfTheInputQueueComesBeforeRxChar) {
  port->BufferSizes().SetInput(10);
  rec.AssignTo(*port, {TPort::deRxChar, TPort::deRx80PercFull});
  port->Open();
  pty.WriteMaster("1234567");
  ASSERT_TRUE(AwaitCalls(1));
  pty.WriteMaster("8");
  ASSERT_TRUE(AwaitCalls(3));
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"RxChar", "Rx80PercFull", "RxChar"}));
}

// A pseudo-terminal has no modem lines and no error counters, and the event
// character cannot be seen without reading: none of those ever comes.
TEST_F(TermiosEvents, WhatAPseudoTerminalCannotReportNeverComes) {
  port->Characters().SetEvent('!');
  rec.AssignTo(*port, {TPort::deBreak, TPort::deCTSChange, TPort::deDSRChange, TPort::deEvent1, TPort::deEvent2,
                       TPort::dePrinterError, TPort::deRing, TPort::deRLSDChange, TPort::deRxFlag, TPort::deRxChar});
  port->SetOnLineError(rec.LineErrorHandler());
  port->Open();
  pty.WriteMaster("!");
  ASSERT_TRUE(AwaitCalls(1));
  ASSERT_EQ(tcsendbreak(pty.MasterFd(), 0), 0);
  pty.WriteMaster("!!");
  ASSERT_TRUE(AwaitCalls(2));
  loop.RunFor(100);
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"RxChar", "RxChar"}));
}

TEST_F(TermiosEvents, AHangUpIsReportedOnceOnTheMainThreadAndClosesThePort) {
  struct TSeen {
    test::TMainLoop* Loop;
    std::vector<int32_t> Codes;
    bool OnMain = true;
    int Closes = 0;
  } seen{&loop, {}};
  port->OnError = TComErrorEvent(
      [](void* d, TCustomComPort*, EComError& e, TComAction&) {
        auto* s = static_cast<TSeen*>(d);
        s->Codes.push_back(e.ErrorCode);
        s->OnMain = s->OnMain && s->Loop->OnMainThread();
      },
      &seen);
  port->AfterClose = TOpenCloseEvent([](void* d, TCustomComPort*) { ++static_cast<TSeen*>(d)->Closes; }, &seen);
  rec.AssignTo(*port, {TPort::deRxChar});
  port->Open();
  pty.CloseMaster();
  ASSERT_TRUE(loop.RunUntil([&] { return !port->Active(); }));
  loop.RunFor(50);
  EXPECT_EQ(seen.Codes, (std::vector<int32_t>{EIO}));
  EXPECT_TRUE(seen.OnMain);
  EXPECT_EQ(seen.Closes, 1);
  EXPECT_EQ(port->Monitor(), nullptr);
  ASSERT_EQ(loop.Handled().size(), 1u);
  EXPECT_EQ(loop.Handled()[0].Message, "Input/output error");
}

// The monitor's wait runs beside the reads and writes of another thread;
// the handlers run on the main thread meanwhile.
TEST_F(TermiosEvents, TheWaitRunsBesideExchangesOnAnotherThread) {
  rec.AssignTo(*port, {TPort::deRxChar, TPort::deTxEmpty});
  port->Open();
  // The monitor waits once the first event has come.
  pty.WriteMaster("s");
  ASSERT_TRUE(AwaitCalls(1));
  ASSERT_EQ(port->ReadByte(), 's');
  pty.StartEcho();
  std::atomic<bool> done{false};
  std::string answers;
  std::thread worker([&] {
    for (int i = 0; i < 50; ++i) {
      port->WriteByte(static_cast<uint8_t>('A' + i % 26));
      answers.push_back(static_cast<char>(port->ReadByte()));
    }
    done = true;
  });
  EXPECT_TRUE(loop.RunUntil([&] { return done.load(); }, 20000));
  worker.join();
  pty.StopResponder();
  ASSERT_EQ(answers.size(), 50u);
  EXPECT_EQ(answers.substr(0, 3), "ABC");
  // What the last exchanges gave may still be on its way.
  EXPECT_TRUE(loop.RunUntil([&] { return rec.CountOf("TxEmpty") > 0 && rec.CountOf("RxChar") > 1; }));
  EXPECT_TRUE(rec.AllOnMain(true));
}

}  // namespace
}  // namespace qv
