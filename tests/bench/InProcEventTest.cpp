// The event monitor on the in-process bench ports: a model's lines, bytes
// and the end of a transmission as device events in virtual time, the
// monitor's wait beside a worker that moves the clock, and an unplugged
// port. The test thread is the main thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/qvbench/EchoDevice.h"
#include "serial/ComPort.h"
#include "tests/support/Bench.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/MainLoop.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using TPort = TCustomComPort;

// An echo device (DTR comes back as DSR, RTS as CTS) on ECHO.
class BenchEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    Bench.Attach(port, 0);
    port.SetDeviceName("ECHO");
    port.Timeouts().SetReadConstant(50);
  }
  bool AwaitCalls(size_t n) {
    return loop.RunUntil([&] { return rec.Count() >= n; });
  }

  test::TMainLoop loop;
  test::TBench Bench{{{"ECHO", std::make_shared<bench::TEchoDevice>()}}};
  test::TRecorder rec{&loop};
  TComPort port{nullptr};
};

TEST_F(BenchEvents, TheModelsLinesAreLineEvents) {
  rec.AssignTo(port, {TPort::deCTSChange, TPort::deDSRChange});
  port.Open();  // raises DTR and RTS: both lines come on before the monitor looks
  port.FlowControl().SetDTR(dcDisable);
  ASSERT_TRUE(AwaitCalls(1));
  port.FlowControl().SetRTS(rcDisable);
  ASSERT_TRUE(AwaitCalls(2));
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"DSRChange", "CTSChange"}));
  EXPECT_TRUE(port.ModemStatus().Empty());
  EXPECT_TRUE(rec.AllOnMain(true));
}

TEST_F(BenchEvents, AnEchoedByteIsOneWaitOfRxCharRxFlagAndTxEmpty) {
  port.Characters().SetEvent('!');
  rec.AssignTo(port, {TPort::deRxChar, TPort::deRxFlag, TPort::deTxEmpty});
  port.Open();
  port.WriteByte('!');
  loop.RunFor(20);
  EXPECT_EQ(rec.Count(), 0u) << "in virtual time nothing has left yet";
  Bench.Clock.Advance(2ms);
  ASSERT_TRUE(AwaitCalls(3));
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"RxChar", "RxFlag", "TxEmpty"}));
  EXPECT_EQ(port.ReadByte(), '!');
}

TEST_F(BenchEvents, TheWaitRunsBesideAWorkerThatMovesTheClock) {
  rec.AssignTo(port, {TPort::deRxChar, TPort::deTxEmpty});
  port.Open();
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
  EXPECT_EQ(answers.substr(0, 3), "abc");
  // What the worker's last exchanges gave may still be on its way.
  EXPECT_TRUE(loop.RunUntil([&] { return rec.CountOf("RxChar") > 0 && rec.CountOf("TxEmpty") > 0; }));
  EXPECT_TRUE(rec.AllOnMain(true));
}

TEST_F(BenchEvents, AnUnpluggedPortIsReportedOnceAndClosed) {
  std::vector<int32_t> codes;
  port.OnError = TComErrorEvent([](void* d, TCustomComPort*, EComError& e,
                                   TComAction&) { static_cast<std::vector<int32_t>*>(d)->push_back(e.ErrorCode); },
                                &codes);
  rec.AssignTo(port, {TPort::deDSRChange});
  port.Open();
  Bench.Unplug("ECHO");
  ASSERT_TRUE(loop.RunUntil([&] { return !port.Active(); }));
  loop.RunFor(20);
  EXPECT_EQ(codes, (std::vector<int32_t>{EIO}));
  EXPECT_EQ(port.Monitor(), nullptr);
}

}  // namespace
}  // namespace qv
