// The termios backend over real pseudo-terminals: exclusive open and its
// failures, the control block in and out of termios, reads and writes under
// the time-outs, purge, queue count, hang-up, and the port on top of it.
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
#include "tests/support/Pty.h"

namespace qv {
namespace {

using test::TPty;
using TSteady = std::chrono::steady_clock;

// glibc's <termios.h> does not name the kernel's code for a free rate.
constexpr tcflag_t kBother = 0010000;

int64_t MsSince(TSteady::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TSteady::now() - start).count();
}

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

// Polls the queue count until it reaches n (the pty hands bytes to the
// slave's line discipline from a kernel worker, not at once).
uint32_t WaitInQueue(TComDevice& dev, uint32_t n) {
  uint32_t errors = 0, inQueue = 0;
  auto start = TSteady::now();
  do {
    EXPECT_TRUE(dev.ClearError(errors, inQueue).Ok());
    if (inQueue >= n) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  } while (MsSince(start) < 2000);
  return inQueue;
}

TCommTimeouts ReadTimeouts(uint32_t interval, uint32_t multiplier, uint32_t constant) {
  TCommTimeouts t;
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  return t;
}

// One asynchronous operation the way the port drives it.
struct TOp {
  TOp() {
    TDevStatus st;
    Event = CreateComEvent(true, true, st);
    Ov.Event = Event.get();
  }
  TDevStatus StartRead(TComDevice& dev, uint32_t n) {
    Buffer.assign(n, 0xEE);
    Ov.Clear();
    Event->Reset();
    Ov.Buffer = Buffer.data();
    Ov.Length = n;
    return dev.StartRead(Ov);
  }
  TDevStatus StartWrite(TComDevice& dev, const std::string& bytes) {
    Ov.Clear();
    Event->Reset();
    Ov.Data.assign(bytes.begin(), bytes.end());
    Ov.Length = static_cast<uint32_t>(bytes.size());
    return dev.StartWrite(Ov);
  }
  TDevStatus Finish(TComDevice& dev) { return dev.GetOverlappedResult(Ov, Transferred); }
  std::string Got() const { return std::string(Buffer.begin(), Buffer.begin() + Ov.Transferred); }

  std::unique_ptr<TComEvent> Event;
  TOverlapped Ov;
  std::vector<uint8_t> Buffer;
  uint32_t Transferred = 0;
};

// ---- open --------------------------------------------------------------------

TEST(TermiosOpen, MissingDeviceFailsWithNoSuchFile) {
  std::unique_ptr<TComDevice> dev;
  TDevStatus st = OpenPlatformDevice("/dev/qvtune-no-such-tty", RealClock(), dev);
  EXPECT_EQ(st.Code, ENOENT);
  EXPECT_EQ(st.Text, "No such file or directory");
  EXPECT_EQ(dev, nullptr);
}

TEST(TermiosOpen, RegularFileIsRefusedAsNotATerminal) {
  char path[] = "/tmp/qvtune-notatty-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::unique_ptr<TComDevice> dev;
  TDevStatus st = OpenPlatformDevice(path, RealClock(), dev);
  unlink(path);
  EXPECT_EQ(st.Code, ENOTTY);
  EXPECT_EQ(st.Text, "Not a terminal device");
  EXPECT_EQ(dev, nullptr);
}

TEST(TermiosOpen, SecondOpenOfTheSameDeviceIsBusyUntilTheFirstCloses) {
  TPty pty;
  auto first = OpenOk(pty.SlavePath());
  std::unique_ptr<TComDevice> second;
  TDevStatus st = OpenPlatformDevice(pty.SlavePath(), RealClock(), second);
  EXPECT_EQ(st.Code, EBUSY);
  EXPECT_EQ(st.Text, "Device or resource busy");
  EXPECT_EQ(second, nullptr);
  first.reset();
  // Closing gives the device back, exclusive mode included.
  EXPECT_NE(OpenOk(pty.SlavePath()), nullptr);
  int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(fd, 0) << "exclusive mode left behind";
  if (fd >= 0) close(fd);
}

TEST(TermiosOpen, DeviceWithoutPermissionFailsWithAccessDenied) {
  if (geteuid() == 0) GTEST_SKIP() << "root is never denied";
  TPty pty;
  ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0), 0);
  std::unique_ptr<TComDevice> dev;
  TDevStatus st = OpenPlatformDevice(pty.SlavePath(), RealClock(), dev);
  EXPECT_EQ(st.Code, EACCES);
  EXPECT_EQ(st.Text, "Permission denied");
}

TEST(TermiosOpen, InvalidHandleStatusIsBadFileDescriptor) {
  TDevStatus st = InvalidHandleStatus();
  EXPECT_EQ(st.Code, EBADF);
  EXPECT_EQ(st.Text, "Bad file descriptor");
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

INSTANTIATE_TEST_SUITE_P(Cases, TermiosState, ::testing::ValuesIn(kStateCases),
                         [](const auto& p) { return std::string(p.param.Name); });

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
  EXPECT_EQ(st.Text, "Invalid argument");
  TDCB after;
  ASSERT_TRUE(dev->GetState(after).Ok());
  EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(Cases, TermiosBadFormat,
                         ::testing::Values(TBadFormat{"FourBits", 4, 0, 0}, TBadFormat{"NineBits", 9, 0, 0},
                                           TBadFormat{"ParityFive", 8, 5, 0}, TBadFormat{"StopThree", 8, 0, 3},
                                           TBadFormat{"OneAndAHalfAtEight", 8, 0, 1}, TBadFormat{"TwoAtFive", 5, 0, 2}),
                         [](const auto& p) { return std::string(p.param.Name); });

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
  // Driving the lines is no failure: the requested state is what GetState tells.
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.Flags = (dcb.Flags & ~(dcbDtrControlMask | dcbRtsControlMask)) | dcbDtrDisable | dcbRtsEnable;
  ASSERT_TRUE(dev->SetState(dcb).Ok());
  TDCB back;
  ASSERT_TRUE(dev->GetState(back).Ok());
  EXPECT_EQ(back.Flags & (dcbDtrControlMask | dcbRtsControlMask), dcbDtrDisable | dcbRtsEnable);
}

// ---- reading -------------------------------------------------------------------

TEST(TermiosRead, ConstantTimeoutWithNothingReceivedEndsEmpty) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 50)).Ok());
  TOp op;
  auto start = TSteady::now();
  ASSERT_TRUE(op.StartRead(*dev, 1).Ok());
  EXPECT_TRUE(op.Ov.InProgress);
  EXPECT_FALSE(op.Event->IsSignalled());
  ASSERT_TRUE(op.Finish(*dev).Ok());
  const int64_t ms = MsSince(start);
  EXPECT_EQ(op.Transferred, 0u);
  EXPECT_GE(ms, 45);
  EXPECT_LT(ms, 1000);
  EXPECT_TRUE(op.Event->IsSignalled());
  EXPECT_FALSE(op.Ov.InProgress);
}

TEST(TermiosRead, BytesAlreadyWaitingCompleteAtOnce) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 5000)).Ok());
  // Bytes a cooked terminal would change or act on arrive as they are.
  const std::string bytes("\r\n\x03\x04\x7f\x00\xff", 7);
  pty.WriteMaster(bytes);
  ASSERT_EQ(WaitInQueue(*dev, 7), 7u);
  TOp op;
  ASSERT_TRUE(op.StartRead(*dev, 7).Ok());
  EXPECT_FALSE(op.Ov.InProgress);
  EXPECT_TRUE(op.Event->IsSignalled());
  EXPECT_EQ(op.Got(), bytes);
}

TEST(TermiosRead, MultiplierCountsPerRequestedByte) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 20, 0)).Ok());
  pty.WriteMaster("a");
  ASSERT_EQ(WaitInQueue(*dev, 1), 1u);
  TOp op;
  auto start = TSteady::now();
  ASSERT_TRUE(op.StartRead(*dev, 3).Ok());
  EXPECT_TRUE(op.Ov.InProgress);
  ASSERT_TRUE(op.Finish(*dev).Ok());
  const int64_t ms = MsSince(start);
  EXPECT_EQ(op.Got(), "a");
  EXPECT_GE(ms, 55);
  EXPECT_LT(ms, 1000);
}

TEST(TermiosRead, IntervalGapEndsAPartialRead) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(50, 0, 0)).Ok());
  pty.WriteMaster("ab");
  ASSERT_EQ(WaitInQueue(*dev, 2), 2u);
  TOp op;
  auto start = TSteady::now();
  ASSERT_TRUE(op.StartRead(*dev, 10).Ok());
  ASSERT_TRUE(op.Finish(*dev).Ok());
  const int64_t ms = MsSince(start);
  EXPECT_EQ(op.Got(), "ab");
  EXPECT_GE(ms, 45);
  EXPECT_LT(ms, 1000);
}

TEST(TermiosRead, IntervalRunsOnlyFromTheFirstByte) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(30, 0, 3000)).Ok());
  TOp op;
  auto start = TSteady::now();
  ASSERT_TRUE(op.StartRead(*dev, 5).Ok());
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    pty.WriteMaster("x");
  });
  ASSERT_TRUE(op.Finish(*dev).Ok());
  const int64_t ms = MsSince(start);
  peer.join();
  EXPECT_EQ(op.Got(), "x");
  EXPECT_GE(ms, 145);
  EXPECT_LT(ms, 2900);
}

TEST(TermiosRead, AllTimeoutsZeroWaitsForEveryByte) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 0)).Ok());
  TOp op;
  ASSERT_TRUE(op.StartRead(*dev, 3).Ok());
  std::thread peer([&] {
    for (const char* part : {"1", "2", "3"}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      pty.WriteMaster(part);
    }
  });
  ASSERT_TRUE(op.Finish(*dev).Ok());
  peer.join();
  EXPECT_EQ(op.Transferred, 3u);
  EXPECT_EQ(op.Got(), "123");
}

TEST(TermiosRead, DiscardNullBytesDropsReceivedZeros) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.Flags |= dcbNull;
  ASSERT_TRUE(dev->SetState(dcb).Ok());
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 2000)).Ok());
  pty.WriteMaster(std::string("a\0b\0\0c", 6));
  TOp op;
  ASSERT_TRUE(op.StartRead(*dev, 3).Ok());
  ASSERT_TRUE(op.Finish(*dev).Ok());
  EXPECT_EQ(op.Got(), "abc");
}

TEST(TermiosRead, HangUpBeforeTheReadFailsWithIoError) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 5000)).Ok());
  pty.CloseMaster();
  TOp op;
  auto start = TSteady::now();
  TDevStatus st = op.StartRead(*dev, 1);
  if (st.Ok()) st = op.Finish(*dev);
  EXPECT_EQ(st.Code, EIO);
  EXPECT_EQ(st.Text, "Input/output error");
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_TRUE(op.Event->IsSignalled());
  EXPECT_FALSE(op.Ov.InProgress);
}

TEST(TermiosRead, HangUpDuringTheReadFailsWithIoError) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 5000)).Ok());
  TOp op;
  auto start = TSteady::now();
  ASSERT_TRUE(op.StartRead(*dev, 1).Ok());
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty.CloseMaster();
  });
  TDevStatus st = op.Finish(*dev);
  peer.join();
  EXPECT_EQ(st.Code, EIO);
  EXPECT_EQ(st.Text, "Input/output error");
  EXPECT_LT(MsSince(start), 2000);
}

TEST(TermiosRead, CallsOnAHungUpDeviceFail) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  pty.CloseMaster();
  uint32_t errors = 0, inQueue = 0, word = 0;
  EXPECT_EQ(dev->ClearError(errors, inQueue).Code, EIO);
  EXPECT_EQ(dev->GetModemStatus(word).Code, EIO);
  TOp op;
  TDevStatus st = op.StartWrite(*dev, "x");
  if (st.Ok()) st = op.Finish(*dev);
  EXPECT_EQ(st.Code, EIO);
}

// ---- writing, purge, queue -----------------------------------------------------------

TEST(TermiosWrite, EveryByteValueGoesOutUnchanged) {
  TPty pty;
  PresetSlave(pty, [](termios& t) { t.c_oflag |= OPOST | ONLCR | OCRNL; });
  auto dev = OpenOk(pty.SlavePath());
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  TOp op;
  ASSERT_TRUE(op.StartWrite(*dev, all).Ok());
  EXPECT_FALSE(op.Ov.InProgress);
  EXPECT_TRUE(op.Event->IsSignalled());
  EXPECT_EQ(op.Ov.Transferred, 256u);
  EXPECT_EQ(pty.ReadMaster(257, 500), all);
}

TEST(TermiosWrite, LargeWriteFinishesOnceThePeerReads) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  std::string big(1 << 20, 'z');
  TOp op;
  ASSERT_TRUE(op.StartWrite(*dev, big).Ok());
  ASSERT_TRUE(op.Ov.InProgress) << "the pty took a whole megabyte at once";
  std::string got;
  std::thread peer([&] { got = pty.ReadMaster(big.size(), 10000); });
  ASSERT_TRUE(op.Finish(*dev).Ok());
  peer.join();
  EXPECT_EQ(op.Transferred, big.size());
  EXPECT_EQ(got.size(), big.size());
}

TEST(TermiosWrite, WriteTimeoutEndsAStuckWriteShort) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  TCommTimeouts t;
  t.WriteTotalTimeoutConstant = 50;
  ASSERT_TRUE(dev->SetTimeouts(t).Ok());
  TOp op;
  auto start = TSteady::now();
  ASSERT_TRUE(op.StartWrite(*dev, std::string(1 << 20, 'z')).Ok());
  ASSERT_TRUE(op.Finish(*dev).Ok());
  const int64_t ms = MsSince(start);
  EXPECT_LT(op.Transferred, 1u << 20);
  EXPECT_GE(ms, 45);
  EXPECT_LT(ms, 1000);
}

TEST(TermiosQueue, InputCountAndPurgeOfTheReceiveQueue) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  pty.WriteMaster("hello");
  EXPECT_EQ(WaitInQueue(*dev, 5), 5u);
  uint32_t errors = 0xFFFF, inQueue = 0;
  ASSERT_TRUE(dev->ClearError(errors, inQueue).Ok());
  EXPECT_EQ(errors, 0u);
  ASSERT_TRUE(dev->Purge(PURGE_RXABORT | PURGE_RXCLEAR).Ok());
  ASSERT_TRUE(dev->ClearError(errors, inQueue).Ok());
  EXPECT_EQ(inQueue, 0u);
  // Nothing of it is read afterwards.
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 50)).Ok());
  TOp op;
  ASSERT_TRUE(op.StartRead(*dev, 1).Ok());
  ASSERT_TRUE(op.Finish(*dev).Ok());
  EXPECT_EQ(op.Transferred, 0u);
}

TEST(TermiosQueue, PurgeEndsAReadInProgressWithWhatCame) {
  TPty pty;
  auto dev = OpenOk(pty.SlavePath());
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 0)).Ok());
  pty.WriteMaster("ab");
  ASSERT_EQ(WaitInQueue(*dev, 2), 2u);
  TOp op;
  ASSERT_TRUE(op.StartRead(*dev, 5).Ok());
  ASSERT_TRUE(op.Ov.InProgress);
  ASSERT_TRUE(dev->Purge(PURGE_RXABORT | PURGE_RXCLEAR).Ok());
  EXPECT_FALSE(op.Ov.InProgress);
  EXPECT_TRUE(op.Event->IsSignalled());
  auto start = TSteady::now();
  ASSERT_TRUE(op.Finish(*dev).Ok());
  EXPECT_LT(MsSince(start), 500);
  EXPECT_EQ(op.Got(), "ab");
}

// ---- platform pieces -------------------------------------------------------------

TEST(TermiosPlatform, EventsResetManuallyOrByTheWait) {
  TDevStatus st;
  auto manual = CreateComEvent(true, true, st);
  ASSERT_TRUE(st.Ok());
  EXPECT_TRUE(manual->IsSignalled());
  EXPECT_TRUE(manual->IsSignalled());
  manual->Reset();
  EXPECT_FALSE(manual->IsSignalled());
  auto automatic = CreateComEvent(false, false, st);
  ASSERT_TRUE(st.Ok());
  EXPECT_FALSE(automatic->IsSignalled());
  automatic->Set();
  EXPECT_TRUE(automatic->IsSignalled());
  EXPECT_FALSE(automatic->IsSignalled());
}

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
  port.SetDeviceName(pty.SlavePath());
  port.SetBaudRate(br9600);
  port.SetDataBits(db8);
  port.SetParity(paNone);
  port.SetStopBits(sb1);
  port.FlowControl().SetDTR(dcDisable);
  port.FlowControl().SetRTS(rcEnable);
  port.FlowControl().SetXOnXOff(xcDisable);
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

TEST(TermiosPort, ReadByteTimesOutWithNothingReceived) {
  TPty pty;
  TComPort port(nullptr);
  port.SetDeviceName(pty.SlavePath());
  port.Timeouts().SetReadConstant(50);
  port.Open();
  auto start = TSteady::now();
  try {
    port.ReadByte();
    FAIL() << "no time-out";
  } catch (const EComError& e) {
    EXPECT_EQ(e.Message, "Timeout");
    EXPECT_EQ(e.ErrorCode, 0);
  }
  const int64_t ms = MsSince(start);
  EXPECT_GE(ms, 45);
  EXPECT_LT(ms, 1000);
}

TEST(TermiosPort, WriteByteThenReadByteExchangesWithThePeer) {
  TPty pty;
  pty.StartResponder([](uint8_t b) { return std::optional<std::string>(std::string(1, static_cast<char>(b ^ 0xFF))); });
  TComPort port(nullptr);
  port.SetDeviceName(pty.SlavePath());
  port.SetBaudRate(br9600);
  port.Timeouts().SetReadConstant(250);
  port.Open();
  for (int v : {0x00, 0x0A, 0x0D, 0x11, 0x13, 0x55, 0xFF}) {
    const auto b = static_cast<uint8_t>(v);
    port.WriteByte(b);
    EXPECT_EQ(port.ReadByte(), static_cast<uint8_t>(b ^ 0xFF));
  }
  pty.StopResponder();
  EXPECT_EQ(pty.Received(), std::string("\x00\x0A\x0D\x11\x13\x55\xFF", 7));
}

TEST(TermiosPort, InputCountAndPurgeInput) {
  TPty pty;
  TComPort port(nullptr);
  port.SetDeviceName(pty.SlavePath());
  port.Open();
  pty.WriteMaster("abc");
  auto start = TSteady::now();
  while (port.InputCount() < 3 && MsSince(start) < 2000) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(port.InputCount(), 3u);
  port.PurgeInput();
  EXPECT_EQ(port.InputCount(), 0u);
}

struct TPortFailure {
  const char* Name;
  std::function<void(TPty&, TComPort&)> Act;
  int32_t Code;
  const char* Message;
};

class TermiosPortFailure : public ::testing::TestWithParam<TPortFailure> {};

TEST_P(TermiosPortFailure, ReachesTheCallerAsComError) {
  TPty pty;
  TComPort port(nullptr);
  port.SetDeviceName(pty.SlavePath());
  port.Timeouts().SetReadConstant(5000);
  auto start = TSteady::now();
  try {
    GetParam().Act(pty, port);
    FAIL() << "no error";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, GetParam().Code);
    EXPECT_EQ(e.Message, GetParam().Message);
  }
  EXPECT_LT(MsSince(start), 2000);
}

INSTANTIATE_TEST_SUITE_P(Cases, TermiosPortFailure,
                         ::testing::Values(TPortFailure{"MissingDevice",
                                                        [](TPty&, TComPort& p) {
                                                          p.SetDeviceName("/dev/qvtune-no-such-tty");
                                                          p.Open();
                                                        },
                                                        ENOENT, "No such file or directory"},
                                           TPortFailure{"DeviceInUse",
                                                        [](TPty& pty, TComPort& p) {
                                                          auto holder = OpenOk(pty.SlavePath());
                                                          p.Open();
                                                        },
                                                        EBUSY, "Device or resource busy"},
                                           TPortFailure{"ModemStatusOnAPseudoTerminal",
                                                        [](TPty&, TComPort& p) {
                                                          p.Open();
                                                          p.ModemStatus();
                                                        },
                                                        ENOTTY, "The device has no modem lines"},
                                           TPortFailure{"ReadAfterHangUp",
                                                        [](TPty& pty, TComPort& p) {
                                                          p.Open();
                                                          pty.CloseMaster();
                                                          p.ReadByte();
                                                        },
                                                        EIO, "Input/output error"}),
                         [](const auto& p) { return std::string(p.param.Name); });

}  // namespace
}  // namespace qv
