// The event monitor on network ports: what RFC 2217 carries (modem-state
// and line-state notifications, data) as device events, against a staged
// server and against qvbench; the lost connection; exchanges on another
// thread beside the monitor's wait. The test thread is the main thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "tests/rfc2217/NetSupport.h"
#include "tests/support/Cases.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/MainLoop.h"

namespace qv {
namespace {

using test::PrintTo;
using namespace rfc2217;
using TPort = TCustomComPort;

class NetEvents : public ::testing::Test {
 protected:
  void OpenOn(const std::string& url) {
    port->SetDeviceName(url);
    port->SetBaudRate(br9600);
    port->Timeouts().SetReadConstant(1000);
    port->Open();
  }
  bool AwaitCalls(size_t n) {
    return loop.RunUntil([&] { return rec.Count() >= n; });
  }
  void Notify(uint8_t command, uint8_t value) { server.SendPortCommand(command + kServerCode, value); }

  test::TMainLoop loop;
  test::TScriptServer server;
  test::TRecorder rec{&loop};
  std::unique_ptr<TComPort> port = std::make_unique<TComPort>(nullptr);
};

TEST_F(NetEvents, ModemStateChangesAreLineEvents) {
  rec.AssignTo(*port, {TPort::deCTSChange, TPort::deDSRChange, TPort::deRLSDChange, TPort::deRing});
  OpenOn(server.Url());
  // The first state is where the lines start; after it, a line that
  // differs, or the server's delta bit for one that went and came back.
  Notify(cpNotifyModemState, mlDsr);
  Notify(cpNotifyModemState, mlDsr | mlCts);
  ASSERT_TRUE(AwaitCalls(1));
  Notify(cpNotifyModemState, mlDsr | mlCts | mlDeltaDcd);
  ASSERT_TRUE(AwaitCalls(2));
  Notify(cpNotifyModemState, mlDsr | mlCts | mlRiTrailingEdge);
  ASSERT_TRUE(AwaitCalls(3));
  Notify(cpNotifyModemState, mlCts);
  ASSERT_TRUE(AwaitCalls(4));
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"CTSChange", "RLSDChange", "Ring", "DSRChange"}));
  EXPECT_TRUE(rec.AllOnMain(true));
  EXPECT_EQ(port->ModemStatus(), (TModemStatus{msCTS}));
}

TEST_F(NetEvents, LineStateGivesBreakAndLineErrors) {
  rec.AssignTo(*port, {TPort::deBreak});
  TLineErrors seen;
  port->SetOnLineError(TLineErrorEvent(
      [](void* d, TCustomComPort*, TLineErrors e) { static_cast<TLineErrors*>(d)->Bits |= e.Bits; }, &seen));
  OpenOn(server.Url());
  Notify(cpNotifyLineState, lsBreak | lsFraming | lsDataReady);
  ASSERT_TRUE(AwaitCalls(1));
  ASSERT_TRUE(loop.RunUntil([&] { return !seen.Empty(); }));
  EXPECT_EQ(seen, (TLineErrors{leBreak, leFrame}));
  // Data ready alone is no error.
  Notify(cpNotifyLineState, lsDataReady);
  loop.RunFor(100);
  EXPECT_EQ(rec.Count(), 1u);
}

TEST_F(NetEvents, DataIsRxCharAndTheEventCharacterRxFlag) {
  port->Characters().SetEvent('\r');
  rec.AssignTo(*port, {TPort::deRxChar, TPort::deRxFlag});
  OpenOn(server.Url());
  server.SendData("ab");
  ASSERT_TRUE(AwaitCalls(1));
  server.SendData("x\r");
  ASSERT_TRUE(AwaitCalls(3));
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"RxChar", "RxChar", "RxFlag"}));
  // The monitor took the bytes in; they wait for the reads.
  std::string got;
  for (int i = 0; i < 4; ++i) got.push_back(static_cast<char>(port->ReadByte()));
  EXPECT_EQ(got, "abx\r");
}

TEST_F(NetEvents, AWriteThatHasGoneIsTxEmpty) {
  rec.AssignTo(*port, {TPort::deTxEmpty});
  OpenOn(server.Url());
  port->WriteByte('q');
  ASSERT_TRUE(AwaitCalls(1));
  EXPECT_TRUE(server.WaitData(1, 2000));
}

struct TNetLossCase {
  const char* Name;
  bool Reset;
  int32_t Code;
};

class NetEventLoss : public NetEvents, public ::testing::WithParamInterface<TNetLossCase> {};

TEST_P(NetEventLoss, IsReportedOnceOnTheMainThreadAndClosesThePort) {
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
  rec.AssignTo(*port, {TPort::deDSRChange});
  OpenOn(server.Url());
  if (GetParam().Reset)
    server.Reset();
  else
    server.Close();
  ASSERT_TRUE(loop.RunUntil([&] { return !port->Active(); }));
  loop.RunFor(50);
  EXPECT_EQ(seen.Codes, (std::vector<int32_t>{GetParam().Code}));
  EXPECT_TRUE(seen.OnMain);
  EXPECT_EQ(port->Monitor(), nullptr);
  EXPECT_EQ(loop.Handled().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, NetEventLoss,
                         ::testing::Values(TNetLossCase{"EndOfStream", false, EIO},
                                           TNetLossCase{"Reset", true, ECONNRESET}),
                         test::TCaseName());

// qvbench's echo port loops DTR to DSR: the port's own line change comes
// back as a notification, while another thread exchanges bytes.
TEST(NetEventsBench, DsrFollowsDtrWhileExchangesRunOnAnotherThread) {
  test::TMainLoop loop;
  test::TBench bench({"--echo"});
  ASSERT_FALSE(bench.Url().empty());
  test::TRecorder rec{&loop};
  TComPort port(nullptr);
  port.SetDeviceName(bench.Url());
  port.SetBaudRate(br9600);
  port.FlowControl().SetDTR(dcDisable);
  port.Timeouts().SetReadConstant(1000);
  rec.AssignTo(port, {TPort::deDSRChange, TPort::deRxChar});
  port.Open();
  // The open raises DTR before the settings drop it: the server's word of
  // that may come after the monitor has started.
  ASSERT_TRUE(loop.RunUntil([&] { return !port.ModemStatus().Contains(msDSR); }));
  loop.RunFor(100);
  const size_t before = rec.CountOf("DSRChange");
  port.FlowControl().SetDTR(dcEnable);
  ASSERT_TRUE(loop.RunUntil([&] { return rec.CountOf("DSRChange") == before + 1; }));
  std::atomic<bool> done{false};
  std::string answers;
  std::thread worker([&] {
    for (int i = 0; i < 50; ++i) {
      port.WriteByte(static_cast<uint8_t>('a' + i % 26));
      answers.push_back(static_cast<char>(port.ReadByte()));
    }
    done = true;
  });
  EXPECT_TRUE(loop.RunUntil([&] { return done.load(); }, 20000));
  worker.join();
  EXPECT_EQ(answers.substr(0, 4), "abcd");
  EXPECT_EQ(answers.size(), 50u);
  EXPECT_TRUE(loop.RunUntil([&] { return rec.CountOf("RxChar") > 0; }));
  port.FlowControl().SetDTR(dcDisable);
  EXPECT_TRUE(loop.RunUntil([&] { return rec.CountOf("DSRChange") == before + 2; }));
  EXPECT_TRUE(rec.AllOnMain(true));
}

}  // namespace
}  // namespace qv
