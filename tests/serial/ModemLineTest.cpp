// The termios backend where the driver has modem lines and error counters,
// on a pseudo-terminal that the modem shim gives them: the shared suite of
// the backends with the lines the port drives and reads, line changes
// through TIOCMIWAIT, line errors and breaks from the counters; and what
// only the counters tell (a line gone and back between two looks).
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "tests/serial/DeviceSuite.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/MainLoop.h"
#include "tests/support/Pty.h"
#include "tests/support/modemshim/ModemShim.h"

namespace qv {
namespace {

using TPort = TCustomComPort;

// TIOCMIWAIT counts from the moment it is called, so a change made between
// the watcher's look at the counters and its next wait only shows with the
// change after it (the driver's race, not the port's): each change waits
// for the watcher to be back in its wait.
void Settle() {
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

class TModemBackend final : public test::TShimBackend {
 public:
  TModemBackend() : TShimBackend(30) {}
  std::string Cannot(test::TAbility what) const override {
    if (what == test::abDenied) return "the termios backend opens without permission in serial_tests";
    if (what == test::abProtocol) return "a terminal has no port server";
    if (what == test::abRxFlag) return "the event character cannot be seen without reading the bytes";
    return {};
  }
  std::string PortName() override { return Pty.SlavePath(); }
  std::string MissingName() override { return "/dev/qvtune-no-such-tty"; }
};

using test::Backend;

INSTANTIATE_TEST_SUITE_P(TermiosModem, Backend,
                         ::testing::Values(test::TBackendCase{
                             "PtyWithLines", [](std::string&) { return std::make_unique<TModemBackend>(); }}),
                         test::TCaseName());

TEST(ModemLines, ALineGoneAndBackIsSeenByItsCountAndTheWatcherStopsWithTheLastHandler) {
  test::TModemShim shim;  // first: the port's descriptor is shimmed while it lives
  test::TMainLoop loop;
  test::TPty pty;
  test::TRecorder rec{&loop};
  shim.Attach(pty.SlavePath());
  TComPort port(nullptr);
  port.SetDeviceName(pty.SlavePath());
  rec.AssignTo(port, {TPort::deRLSDChange, TPort::deRing});
  port.Open();
  Settle();
  shim.Pulse(TIOCM_CD);
  ASSERT_TRUE(loop.RunUntil([&] { return rec.Count() >= 1; }));
  Settle();
  shim.Pulse(TIOCM_RNG);
  ASSERT_TRUE(loop.RunUntil([&] { return rec.Count() >= 2; }));
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"RLSDChange", "Ring"}));
  // Without line handlers the watcher stops, however long its wait.
  const auto start = std::chrono::steady_clock::now();
  port.SetDeviceEvent(TPort::deRLSDChange, nullptr);
  port.SetDeviceEvent(TPort::deRing, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  shim.SetLines(TIOCM_CD);
  loop.RunFor(50);
  EXPECT_EQ(rec.Count(), 2u);
}

}  // namespace
}  // namespace qv
