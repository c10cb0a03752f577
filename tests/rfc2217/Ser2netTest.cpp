// Our network ports against ser2net, started here in the foreground with the
// README's example connection, in front of a pseudo-terminal whose far end
// the test plays: the backends' shared suite, and what ser2net itself
// shows (the device's settings, the lines' history, a busy port's text, a
// server without modem lines). ser2net gets modem lines on the
// pseudo-terminal from our preload library, except where the point is a
// server without them. Skipped where ser2net is not installed.
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "serial/PortMap.h"
#include "serial/rfc2217/Rfc2217Device.h"
#include "tests/rfc2217/Ser2net.h"
#include "tests/serial/DeviceSuite.h"
#include "tests/support/Cases.h"
#include "tests/support/Pty.h"

namespace qv {
namespace {

using test::TModemLines;
using test::TSer2net;

std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const EComError& e) {
    return std::to_string(e.ErrorCode) + " " + e.Message;
  }
  return "no error";
}

// ser2net in front of the pseudo-terminal; going away is ser2net killed.
class TSer2netBackend final : public test::TPtyBackend {
 public:
  // Empty when ser2net serves the terminal; otherwise why not.
  std::string Start(bool modemLines) {
    if (test::Ser2netPath().empty()) return "ser2net is not installed (Debian package ser2net)";
    const test::TSer2netExample example = test::ReadmeSer2netExample();
    if (!example.Error.empty()) return example.Error;
    FPort = test::UnusedPort();
    const std::string config = example.Header + test::Ser2netConnection(example, "qv", Pty.SlavePath(), FPort);
    std::vector<std::string> env;
    if (modemLines) env = Lines.Env(Pty.SlavePath());
    Server.emplace(config, std::vector<uint16_t>{FPort}, env);
    return Server->Error();
  }

  std::string Cannot(test::TAbility what) const override {
    switch (what) {
      case test::abStallWrite:
        return "socket buffers take a large write at once";
      case test::abDenied:
        return "no permission refuses a network port";
      case test::abBreak:
      case test::abFramingError:
        return "the pseudo-terminal behind ser2net has no error counters";
      default:
        return {};
    }
  }
  std::string PortName() override { return "rfc2217://127.0.0.1:" + std::to_string(FPort); }
  std::string MissingName() override { return Failures.Missing(); }
  std::string ProtocolFailureName() override { return Failures.RefusingPortControl(); }
  void HangUp(int afterMs) override {
    const pid_t pid = Server->Pid();
    After(afterMs, [pid] { kill(pid, SIGKILL); });
  }
  void SetLines(uint32_t lines) override {
    Lines.SetInputs(((lines & MS_CTS_ON) ? TIOCM_CTS : 0) | ((lines & MS_DSR_ON) ? TIOCM_DSR : 0) |
                    ((lines & MS_RLSD_ON) ? TIOCM_CAR : 0) | ((lines & MS_RING_ON) ? TIOCM_RNG : 0));
  }
  uint32_t PortLines() override {
    const uint32_t driven = Lines.Driven();
    return ((driven & TIOCM_DTR) ? test::kDtr : 0) | ((driven & TIOCM_RTS) ? test::kRts : 0);
  }

  TModemLines Lines;
  uint16_t FPort = 0;
  test::TNetFailures Failures;
  std::optional<TSer2net> Server;  // last: gone before the terminal it serves
};

using test::Backend;

INSTANTIATE_TEST_SUITE_P(Ser2net, Backend,
                         ::testing::Values(test::TBackendCase{
                             "ReadmeExample",
                             [](std::string& whyNot) -> std::unique_ptr<test::TBackend> {
                               auto b = std::make_unique<TSer2netBackend>();
                               whyNot = b->Start(true);
                               return whyNot.empty() ? std::move(b) : nullptr;
                             }}),
                         test::TCaseName());

class Ser2netPort : public ::testing::Test {
 protected:
  void SetUp() override { Start(true); }
  void Start(bool modemLines) {
    const std::string why = B.Start(modemLines);
    if (why.find("not installed") != std::string::npos) GTEST_SKIP() << why;
    ASSERT_EQ(why, "");
  }
  std::string Url() { return B.PortName(); }
  termios DeviceTermios() {
    termios t{};
    EXPECT_EQ(tcgetattr(B.Pty.MasterFd(), &t), 0);
    return t;
  }
  bool WaitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 1500 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return condition();
  }

  TSer2netBackend B;
};

struct TLineCase {
  const char* Label;
  TBaudRate Baud;
  TDataBits Bits;
  TParity Parity;
  TStopBits Stop;
  speed_t Speed;
  tcflag_t Format;  // CSIZE, PARENB, PARODD, CSTOPB as ser2net set them
};

using test::PrintTo;

constexpr tcflag_t kFormat = CSIZE | PARENB | PARODD | CSTOPB;

class Ser2netSettings : public Ser2netPort, public ::testing::WithParamInterface<TLineCase> {};

TEST_P(Ser2netSettings, ReachTheDevice) {
  TComPort port(nullptr);
  test::ProgramSettings(port, Url());
  port.Open();
  termios t = DeviceTermios();
  EXPECT_EQ(cfgetospeed(&t), B9600);
  EXPECT_EQ(B.Lines.Cflag() & kFormat, static_cast<tcflag_t>(CS8));
  const TLineCase& c = GetParam();
  port.SetBaudRate(c.Baud);
  port.SetDataBits(c.Bits);
  port.SetParity(c.Parity);
  port.SetStopBits(c.Stop);
  t = DeviceTermios();
  EXPECT_EQ(cfgetospeed(&t), c.Speed);
  EXPECT_EQ(t.c_cflag & CSTOPB, c.Format & CSTOPB);
  EXPECT_EQ(B.Lines.Cflag() & kFormat, c.Format);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ser2netSettings,
    ::testing::Values(TLineCase{"Baud19200_7E2", br19200, db7, paEven, sb2, B19200, CS7 | PARENB | CSTOPB},
                      TLineCase{"Baud115200_8O1", br115200, db8, paOdd, sb1, B115200, CS8 | PARENB | PARODD},
                      TLineCase{"Baud1200_5N1", br1200, db5, paNone, sb1, B1200, CS5}),
    test::TCaseName());

TEST_F(Ser2netPort, DtrAndRtsChangeBeforeTheAssignmentReturns) {
  TComPort port(nullptr);
  test::ProgramSettings(port, Url());
  port.Open();
  EXPECT_TRUE(WaitFor([&] { return B.Lines.Driven() == static_cast<uint32_t>(TIOCM_RTS); }));
  const size_t before = B.Lines.History().size();
  // The line sequence of the dongle's reset.
  port.FlowControl().SetDTR(dcEnable);
  EXPECT_EQ(B.Lines.Driven(), static_cast<uint32_t>(TIOCM_DTR | TIOCM_RTS));
  port.FlowControl().SetRTS(rcDisable);
  EXPECT_EQ(B.Lines.Driven(), static_cast<uint32_t>(TIOCM_DTR));
  const std::vector<uint32_t> history = B.Lines.History();
  ASSERT_GE(history.size(), before);
  EXPECT_EQ(std::vector<uint32_t>(history.begin() + static_cast<std::ptrdiff_t>(before), history.end()),
            (std::vector<uint32_t>{TIOCM_DTR | TIOCM_RTS, TIOCM_DTR}));
  // Other settings send the lines again, unchanged.
  port.SetBaudRate(br19200);
  EXPECT_EQ(B.Lines.History().size(), history.size());
}

// What the README tells users a second client gets.
TEST_F(Ser2netPort, SecondClientFindsThePortBusy) {
  TComPort first(nullptr), second(nullptr);
  test::ProgramSettings(first, Url());
  test::ProgramSettings(second, Url());
  first.Open();
  EXPECT_EQ(ErrorOf([&] { second.Open(); }), std::to_string(EBUSY) + " Device or resource busy");
}

class Ser2netWithoutModemLines : public Ser2netPort {
 protected:
  void SetUp() override { Start(false); }
};

TEST_F(Ser2netWithoutModemLines, OpensAndExchangesButNoLineChangeIsTakenForDone) {
  B.Pty.StartEcho();
  TComPort port(nullptr);
  test::ProgramSettings(port, Url());
  port.Open();
  port.SetBaudRate(br19200);
  termios t = DeviceTermios();
  EXPECT_EQ(cfgetospeed(&t), B19200);
  port.WriteByte(0x55);
  EXPECT_EQ(port.ReadByte(), 0x55);
  EXPECT_EQ(ErrorOf([&] { port.FlowControl().SetDTR(dcEnable); }),
            "0 The port server did not confirm the change of DTR or RTS");
  EXPECT_TRUE(port.Active());
  EXPECT_EQ(port.ModemStatus(), TModemStatus{});
  port.WriteByte(0xAA);
  EXPECT_EQ(port.ReadByte(), 0xAA);
}

TEST(Ser2netReadme, PortMapEntryNamesTheExamplesAccepter) {
  const test::TSer2netExample example = test::ReadmeSer2netExample();
  ASSERT_EQ(example.Error, "");
  const TPortMap map = ParsePortMap(example.MapEntry);
  ASSERT_EQ(map.size(), 1u);
  std::string host, port;
  ASSERT_TRUE(ParseRfc2217Name(map[0].Target, host, port)) << map[0].Target;
  EXPECT_NE(example.Connection.find("accepter: telnet(rfc2217),tcp," + host + "," + port + "\n"), std::string::npos)
      << example.Connection;
}

}  // namespace
}  // namespace qv
