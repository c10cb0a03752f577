// The termios backend over real pseudo-terminals: what only it does (the
// exclusive open, the control block in and out of termios, the raw line,
// the errno values and texts, priorities, the real clock), and its set-up
// for the backends' shared suite. Modem lines and error counters come from
// the modem shim in serial_modem_tests (ModemLineTest.cpp).
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "serial/posix/TermiosDevice.h"
#include "tests/serial/DeviceSuite.h"
#include "tests/support/Cases.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/MainLoop.h"
#include "tests/support/Pty.h"

namespace qv {
namespace {

using test::PrintTo;

using test::TPty;
using TSteady = std::chrono::steady_clock;

// glibc's <termios.h> does not name the kernel's code for a free rate.
constexpr tcflag_t kBother = 0010000;

std::unique_ptr<TComDevice> OpenOk(const std::string& path) {
  std::unique_ptr<TComDevice> dev;
  TDevStatus st = OpenPlatformDevice(path, RealClock(), dev);
  EXPECT_TRUE(st.Ok()) << st.Code << " " << st.Text;
  return dev;
}

TTermiosDevice& Termios(const std::unique_ptr<TComDevice>& dev) {
  return dynamic_cast<TTermiosDevice&>(*dev);
}

termios Attr(int fd) {
  termios t{};
  EXPECT_EQ(tcgetattr(fd, &t), 0);
  return t;
}

// Sets the slave's termios before the device under test opens it; the pty
// keeps them because TPty holds the slave open.
void PresetSlave(const TPty& pty, const std::function<void(termios&)>& change) {
  int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  change(t);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
  close(fd);
}

// A pseudo-terminal keeps no data bits or parity enable (the kernel forces
// CS8 without parity), so the frame a device can bring along is 8N2.
void Set19200_8N2(termios& t) {
  cfsetispeed(&t, B19200);
  cfsetospeed(&t, B19200);
  t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CMSPAR | CRTSCTS)) | CS8 | CSTOPB;
  t.c_iflag &= ~(INPCK | IXON | IXOFF);
  t.c_cc[VSTART] = 0x11;
  t.c_cc[VSTOP] = 0x13;
  t.c_cc[VEOF] = 0;
}

// ---- the shared suite ------------------------------------------------------------

class TTermiosBackend final : public test::TPtyBackend {
 public:
  std::string Cannot(test::TAbility what) const override {
    switch (what) {
      case test::abDenied:
        return geteuid() == 0 ? "root is never denied" : "";
      case test::abProtocol:
        return "a terminal has no port server";
      case test::abLines:
        return "a pseudo-terminal has no modem lines (serial_modem_tests gives it some)";
      case test::abBreak:
      case test::abFramingError:
        return "a pseudo-terminal has no error counters (serial_modem_tests gives it some)";
      case test::abRxFlag:
        return "the event character cannot be seen without reading the bytes";
      default:
        return {};
    }
  }
  std::string PortName() override { return Pty.SlavePath(); }
  std::string MissingName() override { return "/dev/qvtune-no-such-tty"; }
  std::string DeniedName() override {
    EXPECT_EQ(chmod(Pty.SlavePath().c_str(), 0), 0);
    return Pty.SlavePath();
  }
};

using test::Backend;

INSTANTIATE_TEST_SUITE_P(Termios, Backend,
                         ::testing::Values(test::TBackendCase{
                             "Pty", [](std::string&) { return std::make_unique<TTermiosBackend>(); }}),
                         test::TCaseName());

// ---- open ------------------------------------------------------------------------

struct TOpenFailure {
  const char* Name;
  std::function<std::string(TPty&, std::unique_ptr<TComDevice>& holder)> Arrange;  // the path to open
  int Code;
  const char* Text;
  TComErrorKind Kind;
};

class TermiosOpenFailure : public ::testing::TestWithParam<TOpenFailure> {};

TEST_P(TermiosOpenFailure, GivesTheSystemsCodeAndText) {
  const TOpenFailure& c = GetParam();
  if (c.Code == EACCES && geteuid() == 0) GTEST_SKIP() << "root is never denied";
  TPty pty;
  std::unique_ptr<TComDevice> holder, dev;
  const std::string path = c.Arrange(pty, holder);
  const TDevStatus st = OpenPlatformDevice(path, RealClock(), dev);
  EXPECT_EQ(st.Code, c.Code);
  EXPECT_EQ(st.Text, c.Text);
  EXPECT_EQ(st.Kind, c.Kind);
  EXPECT_EQ(dev, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TermiosOpenFailure,
    ::testing::Values(TOpenFailure{"Missing", [](TPty&, auto&) { return std::string("/dev/qvtune-no-such-tty"); },
                                   ENOENT, "No such file or directory", ekNotFound},
                      TOpenFailure{"NotATerminal", [](TPty&, auto&) { return std::string("/dev/null"); }, ENOTTY,
                                   "Not a terminal device", ekUnsupported},
                      TOpenFailure{"InUse",
                                   [](TPty& pty, auto& holder) {
                                     holder = OpenOk(pty.SlavePath());
                                     return pty.SlavePath();
                                   },
                                   EBUSY, "Device or resource busy", ekBusy},
                      TOpenFailure{"WithoutPermission",
                                   [](TPty& pty, auto&) {
                                     EXPECT_EQ(chmod(pty.SlavePath().c_str(), 0), 0);
                                     return pty.SlavePath();
                                   },
                                   EACCES, "Permission denied", ekAccessDenied}),
    test::TCaseName());

TEST(TermiosOpen, ClosingGivesBackTheDeviceWithoutExclusiveMode) {
  TPty pty;
  OpenOk(pty.SlavePath()).reset();
  EXPECT_NE(OpenOk(pty.SlavePath()), nullptr);
  int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(fd, 0) << "exclusive mode left behind";
  if (fd >= 0) close(fd);
}

TEST(TermiosOpen, InvalidHandleStatusIsBadFileDescriptor) {
  TDevStatus st = InvalidHandleStatus();
  EXPECT_EQ(st.Code, EBADF);
  EXPECT_EQ(st.Text, "Bad file descriptor");
  EXPECT_EQ(st.Kind, ekNotOpen);
}

TEST(TermiosOpen, KeepsTheDeviceSettingsAndMakesTheLineRaw) {
  TPty pty;
  PresetSlave(pty, [](termios& t) {
    Set19200_8N2(t);
    t.c_cflag |= CRTSCTS;
    t.c_iflag |= IXON | ICRNL | ISTRIP;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
  });
  auto dev = OpenOk(pty.SlavePath());
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(dcb.Flags & (dcbOutxCtsFlow | dcbRtsControlMask | dcbXOnXOffMask),
            dcbOutxCtsFlow | dcbRtsHandshake | dcbOutX);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);

  termios t = Attr(Termios(dev).Fd());
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | ISTRIP), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

// ---- the control block ---------------------------------------------------------

struct TStateCase {
  const char* Name;
  uint32_t Rate;
  uint8_t Size, Parity, Stop;
  uint32_t Flags;
  tcflag_t Cflag;  // expected CSIZE, parity, CSTOPB and CRTSCTS bits asked for
  tcflag_t Iflag;  // expected INPCK, IXON and IXOFF bits
  speed_t Code;    // expected speed code (kBother for a free rate)
  char Xon = 0x11, Xoff = 0x13, Eof = 0;
  uint16_t XonLim = 0, XoffLim = 0;
  char ErrorChar = 0, EvtChar = 0;
};

constexpr uint32_t kLines = dcbBinary | dcbDtrEnable | dcbRtsEnable;
constexpr tcflag_t kFormatBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

const TStateCase kStateCases[] = {
    {"9600_8N1", 9600, 8, 0, 0, kLines, CS8, 0, B9600},
    {"115200_7E1_CheckParity", 115200, 7, 2, 0, kLines | dcbParity, CS7 | PARENB, INPCK, B115200},
    {"250000_8O2", 250000, 8, 1, 2, kLines, CS8 | PARENB | PARODD | CSTOPB, 0, kBother},
    {"31250_8N1", 31250, 8, 0, 0, kLines, CS8, 0, kBother},
    {"1200_6Mark1", 1200, 6, 3, 0, kLines, CS6 | PARENB | PARODD | CMSPAR, 0, B1200},
    {"4800_8Space1", 4800, 8, 4, 0, kLines, CS8 | PARENB | CMSPAR, 0, B4800},
    {"110_5N1_5", 110, 5, 0, 1, kLines, CS5 | CSTOPB, 0, B110},
    {"XOnXOffBothWays", 9600, 8, 0, 0, kLines | dcbOutX | dcbInX, CS8, IXON | IXOFF, B9600, 0x01, 0x02, 0x1A},
    {"XOffOnlyOutput", 9600, 8, 0, 0, kLines | dcbOutX, CS8, IXON, B9600},
    {"CtsFlowAloneStillRaisesRts", 57600, 8, 0, 0, kLines | dcbOutxCtsFlow, CS8 | CRTSCTS, 0, B57600},
    {"RtsHandshake", 38400, 8, 0, 0, dcbBinary | dcbDtrEnable | dcbRtsHandshake | dcbOutxCtsFlow, CS8 | CRTSCTS, 0,
     B38400},
    {"RtsHandshakeWithoutCtsFlow", 38400, 8, 0, 0, dcbBinary | dcbDtrEnable | dcbRtsHandshake, CS8 | CRTSCTS, 0,
     B38400},
    {"LinesOff", 9600, 8, 0, 0, dcbBinary | dcbDtrDisable | dcbRtsDisable, CS8, 0, B9600},
    {"ShadowOnlyFields", 19200, 8, 2, 0,
     dcbDtrHandshake | dcbRtsToggle | dcbOutxDsrFlow | dcbDsrSensitivity | dcbTXContinueOnXoff | dcbErrorChar |
         dcbNull | dcbAbortOnError,
     CS8 | PARENB, 0, B19200, 0x11, 0x13, 0, 100, 200, '?', '\n'},
};

class TermiosState : public ::testing::TestWithParam<TStateCase> {};

TEST_P(TermiosState, RoundTripsAndLandsInTermios) {
  const TStateCase& c = GetParam();
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  TDCB dcb;
  dcb.BaudRate = c.Rate;
  dcb.ByteSize = c.Size;
  dcb.Parity = c.Parity;
  dcb.StopBits = c.Stop;
  dcb.Flags = c.Flags;
  dcb.XonChar = c.Xon;
  dcb.XoffChar = c.Xoff;
  dcb.EofChar = c.Eof;
  dcb.XonLim = c.XonLim;
  dcb.XoffLim = c.XoffLim;
  dcb.ErrorChar = c.ErrorChar;
  dcb.EvtChar = c.EvtChar;
  ASSERT_TRUE(dev->SetState(dcb).Ok());
  TDCB back;
  ASSERT_TRUE(dev->GetState(back).Ok());
  EXPECT_EQ(back, dcb);
  EXPECT_EQ(back.BaudRate, c.Rate);
  EXPECT_EQ(back.Flags, c.Flags);

  EXPECT_EQ(Termios(dev).AskedCflag() & kFormatBits, c.Cflag);
  termios t = Attr(Termios(dev).Fd());
  // What the pseudo-terminal keeps of the frame.
  EXPECT_EQ(t.c_cflag & (kFormatBits & ~(CSIZE | PARENB)), c.Cflag & ~(CSIZE | PARENB));
  EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF), c.Iflag);
  EXPECT_EQ(t.c_cflag & CBAUD, c.Code);
  EXPECT_EQ(t.c_cc[VSTART], static_cast<cc_t>(c.Xon));
  EXPECT_EQ(t.c_cc[VSTOP], static_cast<cc_t>(c.Xoff));
  EXPECT_EQ(t.c_cc[VEOF], static_cast<cc_t>(c.Eof));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, TermiosState, ::testing::ValuesIn(kStateCases), test::TCaseName());

struct TBadFormat {
  const char* Name;
  uint8_t Size, Parity, Stop;
};

class TermiosBadFormat : public ::testing::TestWithParam<TBadFormat> {};

TEST_P(TermiosBadFormat, IsRefusedAndChangesNothing) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  TDCB before;
  ASSERT_TRUE(dev->GetState(before).Ok());
  TDCB dcb = before;
  dcb.ByteSize = GetParam().Size;
  dcb.Parity = GetParam().Parity;
  dcb.StopBits = GetParam().Stop;
  TDevStatus st = dev->SetState(dcb);
  EXPECT_EQ(st.Code, EINVAL);
  EXPECT_EQ(st.Kind, ekUnsupported);
  TDCB after;
  ASSERT_TRUE(dev->GetState(after).Ok());
  EXPECT_EQ(after, before);
}

// The frames termios cannot make (one bit for both stop settings); the
// shared suite has those no line carries.
INSTANTIATE_TEST_SUITE_P(Cases, TermiosBadFormat,
                         ::testing::Values(TBadFormat{"OneAndAHalfAtEight", 8, 0, 1}, TBadFormat{"TwoAtFive", 5, 0, 2}),
                         test::TCaseName());

// A pseudo-terminal has no serial info to ask for low latency: the request
// is skipped and the port opens as usual.
TEST(TermiosOpen, LowLatencyRequestIsSkippedWhereTheDriverHasNone) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  EXPECT_FALSE(Termios(dev).LowLatency());
  serial_struct info{};
  EXPECT_NE(ioctl(Termios(dev).Fd(), TIOCGSERIAL, &info), 0) << "a pty answering serial info would be tested here";
}

TEST(TermiosStateRules, FrameChangedOutsideShowsThrough) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  ASSERT_TRUE(Termios(dev).IsPseudoTerminal());
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  dcb.StopBits = 0;
  ASSERT_TRUE(dev->SetState(dcb).Ok());
  termios t = Attr(Termios(dev).Fd());
  t.c_cflag |= CSTOPB;
  ASSERT_EQ(tcsetattr(Termios(dev).Fd(), TCSANOW, &t), 0);
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 2);
}

TEST(TermiosStateRules, RateZeroKeepsTheRate) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.BaudRate = 250000;
  ASSERT_TRUE(dev->SetState(dcb).Ok());
  dcb.BaudRate = 0;
  ASSERT_TRUE(dev->SetState(dcb).Ok());
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  EXPECT_EQ(dcb.BaudRate, 250000u);
}

TEST(TermiosStateRules, FlowControlChangedOutsideIsReported) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.Flags = kLines;
  ASSERT_TRUE(dev->SetState(dcb).Ok());
  termios t = Attr(Termios(dev).Fd());
  t.c_cflag |= CRTSCTS;
  ASSERT_EQ(tcsetattr(Termios(dev).Fd(), TCSANOW, &t), 0);
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  EXPECT_EQ(dcb.Flags & (dcbOutxCtsFlow | dcbRtsControlMask), dcbOutxCtsFlow | dcbRtsHandshake);
  t.c_cflag &= ~CRTSCTS;
  ASSERT_EQ(tcsetattr(Termios(dev).Fd(), TCSANOW, &t), 0);
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  EXPECT_EQ(dcb.Flags & (dcbOutxCtsFlow | dcbRtsControlMask), dcbRtsEnable);
}

TEST(TermiosModem, PseudoTerminalHasNoModemLinesButTakesLineSettings) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  EXPECT_FALSE(Termios(dev).HasModemLines());
  uint32_t word = 0xFFFF;
  TDevStatus st = dev->GetModemStatus(word);
  EXPECT_TRUE(st.Code == ENOTTY || st.Code == EINVAL) << st.Code;
  EXPECT_EQ(st.Text, "The device has no modem lines");
  EXPECT_EQ(st.Kind, ekUnsupported);
  // Driving the lines is no failure: the requested state is what GetState tells.
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.Flags = (dcb.Flags & ~(dcbDtrControlMask | dcbRtsControlMask)) | dcbDtrDisable | dcbRtsEnable;
  ASSERT_TRUE(dev->SetState(dcb).Ok());
  TDCB back;
  ASSERT_TRUE(dev->GetState(back).Ok());
  EXPECT_EQ(back.Flags & (dcbDtrControlMask | dcbRtsControlMask), dcbDtrDisable | dcbRtsEnable);
}

// ---- platform pieces -------------------------------------------------------------

TEST(TermiosPlatform, PriorityClassesMapOntoNiceValues) {
  if (geteuid() != 0) GTEST_SKIP() << "raising priority needs privilege";
  const int before = getpriority(PRIO_PROCESS, 0);
  const uint32_t saved = GetProcessPriorityClass();
  struct {
    uint32_t Class;
    int Nice;
  } const cases[] = {{IDLE_PRIORITY_CLASS, 19},
                     {HIGH_PRIORITY_CLASS, -10},
                     {REALTIME_PRIORITY_CLASS, -20},
                     {NORMAL_PRIORITY_CLASS, 0}};
  for (const auto& c : cases) {
    SetProcessPriorityClass(c.Class);
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), c.Nice);
    EXPECT_EQ(GetProcessPriorityClass(), c.Class);
  }
  SetProcessPriorityClass(saved);
  setpriority(PRIO_PROCESS, 0, before);
}

TEST(TermiosPlatform, RealClockWaitNeverEndsBeforeItsTimeout) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  for (int64_t us : {1, 999, 1001, 2500, 20000}) {
    auto start = TSteady::now();
    EXPECT_EQ(RealClock().WaitFd(fds[0], POLLIN, us), 0);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(TSteady::now() - start).count(), us);
  }
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  EXPECT_EQ(RealClock().WaitFd(fds[0], POLLIN, -1) & POLLIN, POLLIN);
  close(fds[0]);
  close(fds[1]);
}

// ---- the port over this backend --------------------------------------------------------

TEST(TermiosPort, DefaultValuesKeepTheDeviceSettings) {
  TPty pty;
  PresetSlave(pty, Set19200_8N2);
  TDCB before;
  {
    auto dev = OpenOk(pty.SlavePath());
    ASSERT_TRUE(dev->GetState(before).Ok());
  }
  TComPort port(nullptr);
  port.SetDeviceName(pty.SlavePath());
  port.Open();
  TDCB after;
  ASSERT_TRUE(port.Device()->GetState(after).Ok());
  EXPECT_EQ(after, before);
  EXPECT_EQ(after.BaudRate, 19200u);
  EXPECT_EQ(after.ByteSize, 8);
  EXPECT_EQ(after.Parity, 0);
  EXPECT_EQ(after.StopBits, 2);
}

TEST(TermiosPort, ProgramLineSettingsLandInTermios) {
  TPty pty;
  PresetSlave(pty, [](termios& t) {
    Set19200_8N2(t);
    t.c_cflag |= PARODD | CMSPAR;
    t.c_iflag |= IXON | IXOFF | INPCK;
  });
  TComPort port(nullptr);
  test::ProgramSettings(port, pty.SlavePath());
  port.Open();
  termios t = Attr(dynamic_cast<TTermiosDevice*>(port.Device())->Fd());
  EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
  EXPECT_EQ(cfgetispeed(&t), speed_t(B9600));
  EXPECT_EQ(t.c_cflag & kFormatBits, tcflag_t(CS8));
  EXPECT_EQ(dynamic_cast<TTermiosDevice*>(port.Device())->AskedCflag() & kFormatBits, tcflag_t(CS8));
  EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF), 0u);
  TDCB dcb;
  ASSERT_TRUE(port.Device()->GetState(dcb).Ok());
  EXPECT_EQ(dcb.Flags & (dcbDtrControlMask | dcbRtsControlMask), dcbDtrDisable | dcbRtsEnable);
}

// A pseudo-terminal has no modem lines and no error counters, and the event
// character cannot be seen without reading: none of those ever comes.
TEST(TermiosEvents, WhatAPseudoTerminalCannotReportNeverComes) {
  using TPort = TCustomComPort;
  test::TMainLoop loop;
  TPty pty;
  test::TRecorder rec{&loop};
  TComPort port(nullptr);
  port.SetDeviceName(pty.SlavePath());
  port.Characters().SetEvent('!');
  rec.AssignTo(port, {TPort::deBreak, TPort::deCTSChange, TPort::deDSRChange, TPort::deEvent1, TPort::deEvent2,
                      TPort::dePrinterError, TPort::deRing, TPort::deRLSDChange, TPort::deRxFlag, TPort::deRxChar});
  port.SetOnLineError(rec.LineErrorHandler());
  port.Open();
  pty.WriteMaster("!");
  ASSERT_TRUE(loop.RunUntil([&] { return rec.Count() >= 1; }));
  ASSERT_EQ(tcsendbreak(pty.MasterFd(), 0), 0);
  pty.WriteMaster("!!");
  ASSERT_TRUE(loop.RunUntil([&] { return rec.Count() >= 2; }));
  loop.RunFor(100);
  EXPECT_EQ(rec.TakeCalls(), (std::vector<std::string>{"RxChar", "RxChar"}));
}

}  // namespace
}  // namespace qv
