// Our network ports against ser2net, started here in the foreground with the
// README's example connection, in front of a pseudo-terminal whose far end
// the test plays. ser2net gets modem lines on the pseudo-terminal from our
// preload library, except where the point is a server without them.
// Skipped where ser2net is not installed.
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
#include "tests/support/Cases.h"
#include "tests/support/Pty.h"

namespace qv {
namespace {

using test::TModemLines;
using test::TPty;
using test::TSer2net;
using TSteady = std::chrono::steady_clock;

int64_t MsSince(TSteady::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TSteady::now() - start).count();
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 3000) {
  const auto start = TSteady::now();
  do {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  } while (MsSince(start) < timeoutMs);
  return condition();
}

// The window's settings.
void Program(TComPort& port, const std::string& url) {
  port.SetDeviceName(url);
  port.SetBaudRate(br9600);
  port.SetDataBits(db8);
  port.SetParity(paNone);
  port.SetStopBits(sb1);
  port.FlowControl().SetDTR(dcDisable);
  port.FlowControl().SetRTS(rcEnable);
  port.FlowControl().SetXOnXOff(xcDisable);
  port.Timeouts().SetReadConstant(250);
}

std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const EComError& e) {
    return std::to_string(e.ErrorCode) + " " + e.Message;
  }
  return "no error";
}

class Ser2netPort : public ::testing::Test {
 protected:
  void SetUp() override { Start(true); }

  void Start(bool modemLines) {
    if (test::Ser2netPath().empty()) GTEST_SKIP() << "ser2net is not installed (Debian package ser2net)";
    const test::TSer2netExample example = test::ReadmeSer2netExample();
    ASSERT_EQ(example.Error, "");
    FPort = test::UnusedPort();
    const std::string config = example.Header + test::Ser2netConnection(example, "qv", FPty.SlavePath(), FPort);
    std::vector<std::string> env;
    if (modemLines) env = FLines.Env(FPty.SlavePath());
    FServer.emplace(config, std::vector<uint16_t>{FPort}, env);
    ASSERT_EQ(FServer->Error(), "");
  }

  std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(FPort); }

  termios DeviceTermios() {
    termios t{};
    EXPECT_EQ(tcgetattr(FPty.MasterFd(), &t), 0);
    return t;
  }

  TPty FPty;
  TModemLines FLines;
  uint16_t FPort = 0;
  std::optional<TSer2net> FServer;  // last: gone before the terminal it serves
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
  Program(port, Url());
  port.Open();
  termios t = DeviceTermios();
  EXPECT_EQ(cfgetospeed(&t), B9600);
  EXPECT_EQ(FLines.Cflag() & kFormat, static_cast<tcflag_t>(CS8));
  const TLineCase& c = GetParam();
  port.SetBaudRate(c.Baud);
  port.SetDataBits(c.Bits);
  port.SetParity(c.Parity);
  port.SetStopBits(c.Stop);
  t = DeviceTermios();
  EXPECT_EQ(cfgetospeed(&t), c.Speed);
  EXPECT_EQ(t.c_cflag & CSTOPB, c.Format & CSTOPB);
  EXPECT_EQ(FLines.Cflag() & kFormat, c.Format);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ser2netSettings,
    ::testing::Values(TLineCase{"Baud19200_7E2", br19200, db7, paEven, sb2, B19200, CS7 | PARENB | CSTOPB},
                      TLineCase{"Baud115200_8O1", br115200, db8, paOdd, sb1, B115200, CS8 | PARENB | PARODD},
                      TLineCase{"Baud1200_5N1", br1200, db5, paNone, sb1, B1200, CS5}),
    test::TCaseName());

TEST_F(Ser2netPort, DtrAndRtsChangeBeforeTheAssignmentReturns) {
  TComPort port(nullptr);
  Program(port, Url());
  port.Open();
  EXPECT_TRUE(WaitFor([&] { return FLines.Driven() == static_cast<uint32_t>(TIOCM_RTS); }));
  const size_t before = FLines.History().size();
  // The line sequence of the dongle's reset.
  port.FlowControl().SetDTR(dcEnable);
  EXPECT_EQ(FLines.Driven(), static_cast<uint32_t>(TIOCM_DTR | TIOCM_RTS));
  port.FlowControl().SetRTS(rcDisable);
  EXPECT_EQ(FLines.Driven(), static_cast<uint32_t>(TIOCM_DTR));
  const std::vector<uint32_t> history = FLines.History();
  ASSERT_GE(history.size(), before);
  EXPECT_EQ(std::vector<uint32_t>(history.begin() + static_cast<std::ptrdiff_t>(before), history.end()),
            (std::vector<uint32_t>{TIOCM_DTR | TIOCM_RTS, TIOCM_DTR}));
  // Other settings send the lines again, unchanged.
  port.SetBaudRate(br19200);
  EXPECT_EQ(FLines.History().size(), history.size());
}

TEST_F(Ser2netPort, DeviceLinesReachModemStatus) {
  TComPort port(nullptr);
  Program(port, Url());
  port.Open();
  EXPECT_EQ(port.ModemStatus(), TModemStatus{});
  // ser2net looks at the lines once a second.
  const std::vector<std::pair<uint32_t, TModemStatus>> steps = {
      {TIOCM_DSR, TModemStatus{msDSR}},
      {TIOCM_CTS | TIOCM_CAR | TIOCM_RNG, TModemStatus{msCTS, msRLSD, msRing}},
      {0, TModemStatus{}},
  };
  for (const auto& [lines, status] : steps) {
    FLines.SetInputs(lines);
    EXPECT_TRUE(WaitFor([&] { return port.ModemStatus() == status; })) << "device lines " << lines;
  }
}

TEST_F(Ser2netPort, PurgeDropsWhatTheDeviceSent) {
  TComPort port(nullptr);
  Program(port, Url());
  port.Open();
  FPty.WriteMaster("stale");
  ASSERT_TRUE(WaitFor([&] { return port.InputCount() == 5; }));
  port.PurgeInput();
  EXPECT_EQ(port.InputCount(), 0u);
  EXPECT_EQ(ErrorOf([&] { port.ReadByte(); }), "0 Timeout");
  port.PurgeOutput();
  FPty.WriteMaster("x");
  EXPECT_EQ(port.ReadByte(), 'x');
}

TEST_F(Ser2netPort, StopAndWaitExchangeByteForByte) {
  FPty.StartResponder(
      [](uint8_t b) { return std::optional<std::string>(std::string(1, static_cast<char>(b ^ 0xA5))); });
  TComPort port(nullptr);
  Program(port, Url());
  port.Open();
  std::string sent, back;
  for (int v = 0; v < 256; ++v) {
    port.WriteByte(static_cast<uint8_t>(v));
    sent.push_back(static_cast<char>(v));
    back.push_back(static_cast<char>(port.ReadByte() ^ 0xA5));
  }
  EXPECT_EQ(back, sent);
  EXPECT_EQ(FPty.Received(), sent);
  FPty.StopResponder();
  // The bytes Telnet treats apart, both ways in blocks.
  const std::string block("\xFF\xFF\r\n\r\0\xFF\xF0\0\r", 10);
  port.Write(block.data(), static_cast<int32_t>(block.size()), true);
  EXPECT_EQ(FPty.ReadMaster(block.size()), block);
  FPty.WriteMaster(block);
  std::string got(block.size(), '?');
  port.Read(got.data(), static_cast<int32_t>(got.size()), true);
  EXPECT_EQ(got, block);
}

TEST_F(Ser2netPort, SecondClientFindsThePortBusy) {
  FPty.StartEcho();
  TComPort first(nullptr), second(nullptr);
  Program(first, Url());
  Program(second, Url());
  first.Open();
  EXPECT_EQ(ErrorOf([&] { second.Open(); }), std::to_string(EBUSY) + " Device or resource busy");
  EXPECT_FALSE(second.Active());
  first.WriteByte('a');
  EXPECT_EQ(first.ReadByte(), 'a');
  first.Close();
  // ser2net frees the port once it has seen the close.
  EXPECT_TRUE(WaitFor([&] { return ErrorOf([&] { second.Open(); }) == "no error"; }));
  second.WriteByte('b');
  EXPECT_EQ(second.ReadByte(), 'b');
}

TEST_F(Ser2netPort, ServerGoneMidExchangeFailsTheReadAtOnce) {
  const pid_t server = FServer->Pid();
  FPty.StartResponder([server](uint8_t) {
    kill(server, SIGKILL);
    return std::optional<std::string>();
  });
  TComPort port(nullptr);
  Program(port, Url());
  port.Timeouts().SetReadConstant(5000);
  port.Open();
  port.WriteByte('a');
  const auto start = TSteady::now();
  const std::string error = ErrorOf([&] { port.ReadByte(); });
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_TRUE(error == std::to_string(EIO) + " Input/output error" ||
              error == std::to_string(ECONNRESET) + " Connection reset by peer")
      << error;
  EXPECT_EQ(ErrorOf([&] { port.WriteByte('b'); }), error);
  EXPECT_TRUE(port.Active());
}

class Ser2netWithoutModemLines : public Ser2netPort {
 protected:
  void SetUp() override { Start(false); }
};

TEST_F(Ser2netWithoutModemLines, OpensAndExchangesButNoLineChangeIsTakenForDone) {
  FPty.StartEcho();
  TComPort port(nullptr);
  Program(port, Url());
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
