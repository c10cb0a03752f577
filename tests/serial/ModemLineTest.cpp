// The termios backend where the driver has modem lines and error counters,
// on a pseudo-terminal that the modem shim gives them: the lines the port
// drives and reads, line changes through TIOCMIWAIT as device events, and
// line errors and breaks from the counters.
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/MainLoop.h"
#include "tests/support/Pty.h"
#include "tests/support/modemshim/ModemShim.h"

namespace qv {
namespace {

using TPort = TCustomComPort;

class ModemLines : public ::testing::Test {
 protected:
  void SetUp() override {
    shim.Attach(pty.SlavePath());
    port->SetDeviceName(pty.SlavePath());
    port->SetBaudRate(br9600);
    port->FlowControl().SetDTR(dcDisable);
    port->FlowControl().SetRTS(rcEnable);
  }
  bool AwaitCalls(size_t n) {
    return loop.RunUntil([&] { return rec.Count() >= n; });
  }
  // TIOCMIWAIT counts from the moment it is called, so a change made
  // between the watcher's look at the counters and its next wait only
  // shows with the change after it (the driver's race, not the port's):
  // each change here waits for the watcher to be back in its wait.
  void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

  test::TModemShim shim;  // first: the port's descriptor is shimmed while it lives
  test::TMainLoop loop;
  test::TPty pty;
  test::TRecorder rec{&loop};
  std::unique_ptr<TComPort> port = std::make_unique<TComPort>(nullptr);
};

TEST_F(ModemLines, ThePortDrivesAndReadsTheLines) {
  port->Open();
  EXPECT_EQ(shim.HostLines(), TIOCM_RTS);
  port->FlowControl().SetDTR(dcEnable);
  EXPECT_EQ(shim.HostLines(), TIOCM_RTS | TIOCM_DTR);
  shim.SetLines(TIOCM_DSR | TIOCM_CTS);
  EXPECT_EQ(port->ModemStatus(), (TModemStatus{msCTS, msDSR}));
}

TEST_F(ModemLines, LineChangesAreDeviceEvents) {
  rec.AssignTo(*port, {TPort::deCTSChange, TPort::deDSRChange, TPort::deRLSDChange, TPort::deRing});
  port->Open();
  Settle();
  shim.SetLines(TIOCM_DSR);
  ASSERT_TRUE(AwaitCalls(1));
  Settle();
  shim.SetLines(TIOCM_DSR | TIOCM_CTS);
  ASSERT_TRUE(AwaitCalls(2));
  Settle();
  // Gone and back between two looks: the interrupt count still tells.
  shim.Pulse(TIOCM_CD);
  ASSERT_TRUE(AwaitCalls(3));
  Settle();
  shim.Pulse(TIOCM_RNG);
  ASSERT_TRUE(AwaitCalls(4));
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"DSRChange", "CTSChange", "RLSDChange", "Ring"}));
  EXPECT_TRUE(rec.AllOnMain(true));
  // Without line handlers the watcher stops, however long its wait.
  const auto start = std::chrono::steady_clock::now();
  port->SetDeviceEvent(TPort::deCTSChange, nullptr);
  port->SetDeviceEvent(TPort::deDSRChange, nullptr);
  port->SetDeviceEvent(TPort::deRLSDChange, nullptr);
  port->SetDeviceEvent(TPort::deRing, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  shim.SetLines(0);
  loop.RunFor(50);
  EXPECT_EQ(rec.Count(), 4u);
}

TEST_F(ModemLines, LineErrorsAndBreaksComeFromTheCountersWithTheirByte) {
  rec.AssignTo(*port, {TPort::deBreak, TPort::deRxChar});
  port->SetOnLineError(rec.LineErrorHandler());
  port->Open();
  // A break arrives as a zero byte, a framing error with its character.
  shim.AddErrors(0, 0, 0, 1);
  pty.WriteMaster(std::string(1, '\0'));
  ASSERT_TRUE(AwaitCalls(2));
  shim.AddErrors(1, 0, 0, 0);
  pty.WriteMaster("x");
  ASSERT_TRUE(AwaitCalls(4));
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"Break", "RxChar", "LineError", "RxChar"}));
  // The error word was read and cleared by the dispatch's line-error check.
  EXPECT_EQ(port->InputCount(), 2u);
  EXPECT_EQ(rec.Count(), 4u);
}

}  // namespace
}  // namespace qv
