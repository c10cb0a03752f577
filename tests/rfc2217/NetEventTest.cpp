// The event monitor on network ports where the option has rules of its own
// (the shared suite has the rest): the first modem state, delta bits,
// line-state notifications, and qvbench's loop of DTR to DSR. The test
// thread is the main thread.
#include <gtest/gtest.h>

#include <memory>
#include <string>
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

// qvbench's echo port loops DTR to DSR: the port's own line change comes
// back as a notification.
TEST(NetEventsBench, DsrFollowsDtr) {
  test::TMainLoop loop;
  test::TBench bench({"--echo"});
  ASSERT_FALSE(bench.Url().empty());
  test::TRecorder rec{&loop};
  TComPort port(nullptr);
  port.SetDeviceName(bench.Url());
  port.SetBaudRate(br9600);
  port.FlowControl().SetDTR(dcDisable);
  port.Timeouts().SetReadConstant(1000);
  rec.AssignTo(port, {TPort::deDSRChange});
  port.Open();
  // The open raises DTR before the settings drop it: the server's word of
  // that may come after the monitor has started.
  ASSERT_TRUE(loop.RunUntil([&] { return !port.ModemStatus().Contains(msDSR); }));
  loop.RunFor(100);
  const size_t before = rec.CountOf("DSRChange");
  port.FlowControl().SetDTR(dcEnable);
  ASSERT_TRUE(loop.RunUntil([&] { return rec.CountOf("DSRChange") == before + 1; }));
  port.FlowControl().SetDTR(dcDisable);
  EXPECT_TRUE(loop.RunUntil([&] { return rec.CountOf("DSRChange") == before + 2; }));
  EXPECT_TRUE(rec.AllOnMain(true));
}

}  // namespace
}  // namespace qv
