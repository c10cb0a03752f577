// The Win32 backend against COM ports that Wine maps to pseudo-terminals:
// open and its failures, the control block down to the terminal's settings,
// reads and writes under the driver's time-outs, purge, queue count,
// hang-up, the port on top of it. Where Wine's serial driver differs from
// Windows, the test says what Windows does and is skipped under Wine.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "tests/support/Cases.h"
#include "tests/support/LinuxCalls.h"
#include "tests/support/Pty.h"

namespace qv {
namespace {

namespace lc = test::linux_calls;
using test::PrintTo;
using test::TPty;
using TSteady = std::chrono::steady_clock;

int64_t MsSince(TSteady::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TSteady::now() - start).count();
}

#define SKIP_UNDER_WINE(why) \
  if (lc::RunningUnderWine()) GTEST_SKIP() << "Wine: " << why

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

// A pseudo-terminal as a COM port: Wine's only.
class Win32Device : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!lc::RunningUnderWine()) GTEST_SKIP() << "the far end of a COM port is a pseudo-terminal under Wine only";
    pty = std::make_unique<TPty>();
    dev = OpenOk(pty->PortName());
    ASSERT_NE(dev, nullptr);
  }
  static std::unique_ptr<TComDevice> OpenOk(const std::string& name) {
    std::unique_ptr<TComDevice> d;
    TDevStatus st = OpenPlatformDevice(name, RealClock(), d);
    EXPECT_TRUE(st.Ok()) << st.Code << " " << st.Text;
    return d;
  }
  // The terminal's settings as the kernel holds them (master and slave
  // share them).
  lc::TTermios Attr() const {
    lc::TTermios t{};
    EXPECT_EQ(lc::Ioctl(pty->MasterFd(), lc::kTcGets, &t), 0);
    return t;
  }
  uint32_t WaitInQueue(uint32_t n) {
    uint32_t errors = 0, inQueue = 0;
    const auto start = TSteady::now();
    do {
      EXPECT_TRUE(dev->ClearError(errors, inQueue).Ok());
      if (inQueue >= n) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (MsSince(start) < 2000);
    return inQueue;
  }

  std::unique_ptr<TPty> pty;
  std::unique_ptr<TComDevice> dev;
};

// ---- open --------------------------------------------------------------------

TEST(Win32Open, MissingDeviceFailsWithFileNotFound) {
  std::unique_ptr<TComDevice> dev;
  TDevStatus st = OpenPlatformDevice("COM199", RealClock(), dev);
  EXPECT_EQ(st.Code, 2);
  EXPECT_FALSE(st.Text.empty());
  EXPECT_EQ(st.Text, TrimSystemMessage(st.Text)) << "the system's text without its full stop and line end";
  EXPECT_EQ(dev, nullptr);
}

TEST(Win32Open, InvalidHandleStatusIsCodeSix) {
  TDevStatus st = InvalidHandleStatus();
  EXPECT_EQ(st.Code, 6);
  EXPECT_FALSE(st.Text.empty());
}

// Windows opens a COM port for one handle at a time (share mode 0) and
// refuses a second open with access denied, which is how a port in use by
// another program shows. Wine does not enforce the share mode on devices.
TEST_F(Win32Device, SecondOpenOfTheSamePortIsAccessDenied) {
  SKIP_UNDER_WINE("a share mode of 0 is not enforced");
  std::unique_ptr<TComDevice> second;
  TDevStatus st = OpenPlatformDevice(pty->PortName(), RealClock(), second);
  EXPECT_EQ(st.Code, 5);
  EXPECT_EQ(second, nullptr);
}

TEST_F(Win32Device, ClosingGivesThePortBack) {
  dev.reset();
  EXPECT_NE(OpenOk(pty->PortName()), nullptr);
}

// ---- the control block ---------------------------------------------------------

struct TStateCase {
  const char* Name;
  uint32_t Rate;
  uint8_t Stop;
  uint32_t Flags;
  uint32_t Speed;  // expected speed code of the terminal
  uint32_t Cflag;  // expected CSTOPB and CRTSCTS
  uint32_t Iflag;  // expected IXON and IXOFF
  char Xon = 0x11, Xoff = 0x13;
};

constexpr uint32_t kLines = dcbBinary | dcbDtrEnable | dcbRtsEnable;

const TStateCase kStateCases[] = {
    {"9600_8N1", 9600, 0, kLines, lc::kB9600, 0, 0},
    {"115200_8N1", 115200, 0, kLines, lc::kB115200, 0, 0},
    {"19200_8N2", 19200, 2, kLines, lc::kB19200, lc::kCstopb, 0},
    {"XOnXOffBothWays", 9600, 0, kLines | dcbOutX | dcbInX, lc::kB9600, 0, lc::kIxon | lc::kIxoff, 0x01, 0x02},
    {"XOffOnlyOutput", 9600, 0, kLines | dcbOutX, lc::kB9600, 0, lc::kIxon},
    {"RtsHandshakeWithCtsFlow", 9600, 0, dcbBinary | dcbDtrEnable | dcbRtsHandshake | dcbOutxCtsFlow, lc::kB9600,
     lc::kCrtscts, 0},
    {"LinesOff", 9600, 0, dcbBinary | dcbDtrDisable | dcbRtsDisable, lc::kB9600, 0, 0},
};

class Win32State : public Win32Device, public ::testing::WithParamInterface<TStateCase> {};

TEST_P(Win32State, LandsInTheTerminalAndReadsBack) {
  const TStateCase& c = GetParam();
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.BaudRate = c.Rate;
  dcb.ByteSize = 8;
  dcb.Parity = 0;
  dcb.StopBits = c.Stop;
  dcb.Flags = c.Flags;
  dcb.XonChar = c.Xon;
  dcb.XoffChar = c.Xoff;
  ASSERT_TRUE(dev->SetState(dcb).Ok());

  const lc::TTermios t = Attr();
  EXPECT_EQ(t.Cflag & lc::kCbaud, c.Speed);
  EXPECT_EQ(t.Cflag & (lc::kCstopb | lc::kCrtscts), c.Cflag);
  EXPECT_EQ(t.Iflag & (lc::kIxon | lc::kIxoff), c.Iflag);
  EXPECT_EQ(t.Cc[lc::kVstart], static_cast<uint8_t>(c.Xon));
  EXPECT_EQ(t.Cc[lc::kVstop], static_cast<uint8_t>(c.Xoff));

  TDCB back;
  ASSERT_TRUE(dev->GetState(back).Ok());
  EXPECT_EQ(back.DCBlength, 28u);
  EXPECT_EQ(back.BaudRate, c.Rate);
  EXPECT_EQ(back.ByteSize, 8);
  EXPECT_EQ(back.StopBits, c.Stop);
  EXPECT_EQ(back.XonChar, c.Xon);
  EXPECT_EQ(back.XoffChar, c.Xoff);
  EXPECT_EQ(back.Flags & (dcbXOnXOffMask | dcbOutxCtsFlow), c.Flags & (dcbXOnXOffMask | dcbOutxCtsFlow));
}

INSTANTIATE_TEST_SUITE_P(Cases, Win32State, ::testing::ValuesIn(kStateCases), test::TCaseName());

// The frame Windows keeps is the one asked for; a pseudo-terminal keeps no
// data bits or parity (the kernel forces CS8 without parity), so under Wine
// only the request reaches the terminal and nothing of it reads back.
TEST_F(Win32Device, SevenBitsEvenParityReadBack) {
  SKIP_UNDER_WINE("a pseudo-terminal keeps no data bits or parity");
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  ASSERT_TRUE(dev->SetState(dcb).Ok());
  TDCB back;
  ASSERT_TRUE(dev->GetState(back).Ok());
  EXPECT_EQ(back.ByteSize, 7);
  EXPECT_EQ(back.Parity, 2);
}

TEST_F(Win32Device, TimeoutsReadBackAsSet) {
  TCommTimeouts t;
  t.ReadIntervalTimeout = 7;
  t.ReadTotalTimeoutMultiplier = 3;
  t.ReadTotalTimeoutConstant = 250;
  t.WriteTotalTimeoutMultiplier = 2;
  t.WriteTotalTimeoutConstant = 90;
  ASSERT_TRUE(dev->SetTimeouts(t).Ok());
  TCommTimeouts back;
  ASSERT_TRUE(dev->GetTimeouts(back).Ok());
  EXPECT_EQ(back, t);
  EXPECT_TRUE(dev->SetupComm(4096, 2048).Ok());
}

// ---- reading -------------------------------------------------------------------

// Windows ends a read cut short by its time-out as a success with the bytes
// that came; Wine fails it with ERROR_TIMEOUT (1460). The backend takes both
// as the same end, so the port sees 0 bytes either way.
TEST_F(Win32Device, ConstantTimeoutWithNothingReceivedEndsEmpty) {
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 50)).Ok());
  TOp op;
  const auto start = TSteady::now();
  ASSERT_TRUE(op.StartRead(*dev, 1).Ok());
  TDevStatus st = op.Finish(*dev);
  const int64_t ms = MsSince(start);
  EXPECT_TRUE(st.Ok()) << st.Code << " " << st.Text;
  EXPECT_EQ(op.Transferred, 0u);
  EXPECT_GE(ms, 45);
  EXPECT_LT(ms, 1000);
  EXPECT_TRUE(op.Event->IsSignalled());
  EXPECT_FALSE(op.Ov.InProgress);
}

TEST_F(Win32Device, BytesAlreadyWaitingAreReadAsTheyCame) {
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 5000)).Ok());
  const std::string bytes("\r\n\x03\x04\x7f\x00\xff\x11\x13", 9);
  pty->WriteMaster(bytes);
  ASSERT_EQ(WaitInQueue(9), 9u);
  TOp op;
  const auto start = TSteady::now();
  ASSERT_TRUE(op.StartRead(*dev, 9).Ok());
  ASSERT_TRUE(op.Finish(*dev).Ok());
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_EQ(op.Got(), bytes);
}

TEST_F(Win32Device, MultiplierCountsPerRequestedByte) {
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 20, 0)).Ok());
  pty->WriteMaster("a");
  ASSERT_EQ(WaitInQueue(1), 1u);
  TOp op;
  const auto start = TSteady::now();
  ASSERT_TRUE(op.StartRead(*dev, 3).Ok());
  ASSERT_TRUE(op.Finish(*dev).Ok());
  const int64_t ms = MsSince(start);
  EXPECT_EQ(op.Got(), "a");
  EXPECT_GE(ms, 55);
  EXPECT_LT(ms, 1000);
}

TEST_F(Win32Device, IntervalGapEndsAPartialRead) {
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(50, 0, 0)).Ok());
  pty->WriteMaster("ab");
  ASSERT_EQ(WaitInQueue(2), 2u);
  TOp op;
  ASSERT_TRUE(op.StartRead(*dev, 10).Ok());
  ASSERT_TRUE(op.Finish(*dev).Ok());
  EXPECT_EQ(op.Got(), "ab");
}

TEST_F(Win32Device, IntervalRunsOnlyFromTheFirstByte) {
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(30, 0, 3000)).Ok());
  TOp op;
  const auto start = TSteady::now();
  ASSERT_TRUE(op.StartRead(*dev, 5).Ok());
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    pty->WriteMaster("x");
  });
  ASSERT_TRUE(op.Finish(*dev).Ok());
  const int64_t ms = MsSince(start);
  peer.join();
  EXPECT_EQ(op.Got(), "x");
  EXPECT_GE(ms, 145);
  EXPECT_LT(ms, 2900);
}

TEST_F(Win32Device, AllTimeoutsZeroWaitsForEveryByte) {
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 0)).Ok());
  TOp op;
  ASSERT_TRUE(op.StartRead(*dev, 3).Ok());
  std::thread peer([&] {
    for (const char* part : {"1", "2", "3"}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      pty->WriteMaster(part);
    }
  });
  ASSERT_TRUE(op.Finish(*dev).Ok());
  peer.join();
  EXPECT_EQ(op.Transferred, 3u);
  EXPECT_EQ(op.Got(), "123");
}

// With the interval at MAXDWORD and no totals, Windows ends a read at once
// with what has arrived. Wine's overlapped read in this mode can wait for
// good instead.
TEST_F(Win32Device, PollModeReadReturnsAtOnceWithWhatCame) {
  SKIP_UNDER_WINE("an overlapped read in poll mode can hang");
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0xFFFFFFFFu, 0, 0)).Ok());
  pty->WriteMaster("q");
  ASSERT_EQ(WaitInQueue(1), 1u);
  TOp op;
  ASSERT_TRUE(op.StartRead(*dev, 4).Ok());
  ASSERT_TRUE(op.Finish(*dev).Ok());
  EXPECT_EQ(op.Got(), "q");
}

// ---- writing, purge, queue -----------------------------------------------------------

TEST_F(Win32Device, EveryByteValueGoesOutUnchanged) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  TOp op;
  ASSERT_TRUE(op.StartWrite(*dev, all).Ok());
  ASSERT_TRUE(op.Finish(*dev).Ok());
  EXPECT_EQ(op.Transferred, 256u);
  EXPECT_EQ(pty->ReadMaster(257, 500), all);
}

TEST_F(Win32Device, LargeWriteFinishesOnceThePeerReads) {
  const std::string big(1 << 18, 'z');
  TOp op;
  ASSERT_TRUE(op.StartWrite(*dev, big).Ok());
  std::string got;
  std::thread peer([&] { got = pty->ReadMaster(big.size(), 10000); });
  ASSERT_TRUE(op.Finish(*dev).Ok());
  peer.join();
  EXPECT_EQ(op.Transferred, big.size());
  EXPECT_EQ(got.size(), big.size());
}

TEST_F(Win32Device, WriteTimeoutEndsAStuckWriteShort) {
  TCommTimeouts t;
  t.WriteTotalTimeoutConstant = 50;
  ASSERT_TRUE(dev->SetTimeouts(t).Ok());
  TOp op;
  const auto start = TSteady::now();
  ASSERT_TRUE(op.StartWrite(*dev, std::string(1 << 20, 'z')).Ok());
  ASSERT_TRUE(op.Finish(*dev).Ok());
  const int64_t ms = MsSince(start);
  EXPECT_LT(op.Transferred, 1u << 20);
  EXPECT_GE(ms, 45);
  EXPECT_LT(ms, 2000);
}

TEST_F(Win32Device, InputCountAndPurgeOfTheReceiveQueue) {
  pty->WriteMaster("hello");
  EXPECT_EQ(WaitInQueue(5), 5u);
  uint32_t errors = 0xFFFF, inQueue = 0;
  ASSERT_TRUE(dev->ClearError(errors, inQueue).Ok());
  EXPECT_EQ(errors, 0u);
  ASSERT_TRUE(dev->Purge(PURGE_RXABORT | PURGE_RXCLEAR).Ok());
  ASSERT_TRUE(dev->ClearError(errors, inQueue).Ok());
  EXPECT_EQ(inQueue, 0u);
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 50)).Ok());
  TOp op;
  ASSERT_TRUE(op.StartRead(*dev, 1).Ok());
  ASSERT_TRUE(op.Finish(*dev).Ok());
  EXPECT_EQ(op.Transferred, 0u);
}

// PURGE_RXABORT ends a read in progress on Windows (with the bytes it had
// and ERROR_OPERATION_ABORTED); Wine's purge only empties the queue, and
// the read goes on.
TEST_F(Win32Device, PurgeEndsAReadInProgress) {
  SKIP_UNDER_WINE("a purge leaves a read in progress running");
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 0)).Ok());
  TOp op;
  ASSERT_TRUE(op.StartRead(*dev, 5).Ok());
  ASSERT_TRUE(op.Ov.InProgress);
  ASSERT_TRUE(dev->Purge(PURGE_RXABORT | PURGE_RXCLEAR).Ok());
  const auto start = TSteady::now();
  const TDevStatus st = op.Finish(*dev);
  EXPECT_TRUE(st.Ok() || st.Code == 995) << st.Code;
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_FALSE(op.Ov.InProgress);
  EXPECT_EQ(op.Transferred, 0u);
}

// ---- platform pieces -------------------------------------------------------------

TEST(Win32Platform, EventsResetManuallyOrByTheWait) {
  TDevStatus st;
  auto manual = CreateComEvent(true, true, st);
  ASSERT_TRUE(st.Ok());
  EXPECT_NE(manual->NativeHandle(), nullptr);
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

TEST(Win32Platform, PriorityClassesAreTheSystems) {
  const uint32_t saved = GetProcessPriorityClass();
  for (uint32_t c : {IDLE_PRIORITY_CLASS, HIGH_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS}) {
    SetProcessPriorityClass(c);
    EXPECT_EQ(GetProcessPriorityClass(), c);
  }
  SetProcessPriorityClass(saved);
}

TEST(Win32Platform, ListedPortsAreTheSystemsComDevices) {
  std::vector<std::string> list{"kept"};
  ListPlatformComDevices(list);
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(list.front(), "kept") << "the list is appended to";
  for (size_t i = 1; i < list.size(); ++i) EXPECT_TRUE(list[i].starts_with("COM")) << list[i];
  if (lc::RunningUnderWine()) {
    // The ports mapped to pseudo-terminals for these tests.
    for (const char* name : {"COM5", "COM6"}) EXPECT_NE(std::find(list.begin(), list.end(), name), list.end()) << name;
  }
}

// ---- the port over this backend --------------------------------------------------------

class Win32Port : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!lc::RunningUnderWine()) GTEST_SKIP() << "the far end of a COM port is a pseudo-terminal under Wine only";
    pty = std::make_unique<TPty>();
    port.SetDeviceName(pty->PortName());
    port.SetBaudRate(br9600);
    port.SetDataBits(db8);
    port.SetParity(paNone);
    port.SetStopBits(sb1);
    port.FlowControl().SetDTR(dcDisable);
    port.FlowControl().SetRTS(rcEnable);
    port.FlowControl().SetXOnXOff(xcDisable);
  }
  std::unique_ptr<TPty> pty;
  TComPort port{nullptr};
};

TEST_F(Win32Port, ProgramLineSettingsLandInTheTerminal) {
  port.Open();
  lc::TTermios t{};
  ASSERT_EQ(lc::Ioctl(pty->MasterFd(), lc::kTcGets, &t), 0);
  EXPECT_EQ(t.Cflag & lc::kCbaud, lc::kB9600);
  EXPECT_EQ(t.Cflag & (lc::kCsize | lc::kCstopb | lc::kCrtscts), lc::kCs8);
  EXPECT_EQ(t.Iflag & (lc::kIxon | lc::kIxoff), 0u);
  TDCB dcb;
  ASSERT_TRUE(port.Device()->GetState(dcb).Ok());
  EXPECT_EQ(dcb.BaudRate, 9600u);
}

TEST_F(Win32Port, ReadByteTimesOutWithNothingReceived) {
  port.Timeouts().SetReadConstant(50);
  port.Open();
  const auto start = TSteady::now();
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

TEST_F(Win32Port, WriteByteThenReadByteExchangesWithThePeer) {
  pty->StartResponder(
      [](uint8_t b) { return std::optional<std::string>(std::string(1, static_cast<char>(b ^ 0xFF))); });
  port.Timeouts().SetReadConstant(250);
  port.Open();
  for (int v : {0x00, 0x0A, 0x0D, 0x11, 0x13, 0x55, 0xFF}) {
    const auto b = static_cast<uint8_t>(v);
    port.WriteByte(b);
    EXPECT_EQ(port.ReadByte(), static_cast<uint8_t>(b ^ 0xFF));
  }
  pty->StopResponder();
  EXPECT_EQ(pty->Received(), std::string("\x00\x0A\x0D\x11\x13\x55\xFF", 7));
}

TEST_F(Win32Port, InputCountAndPurgeInput) {
  port.Open();
  pty->WriteMaster("abc");
  const auto start = TSteady::now();
  while (port.InputCount() < 3 && MsSince(start) < 2000) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(port.InputCount(), 3u);
  port.PurgeInput();
  EXPECT_EQ(port.InputCount(), 0u);
}

TEST_F(Win32Port, CallsOnAClosedPortFail) {
  try {
    static_cast<void>(port.InputCount());
    FAIL() << "no error";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, 6);
  }
  EXPECT_THROW(port.ReadByte(), EComError);
}

TEST_F(Win32Port, MissingPortFailsToOpenAndStaysClosed) {
  port.SetDeviceName("COM199");
  try {
    port.Open();
    FAIL() << "no error";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, 2);
  }
  EXPECT_FALSE(port.Active());
}

}  // namespace
}  // namespace qv
