// The Win32 backend against COM ports that Wine maps to pseudo-terminals:
// its set-up for the backends' shared suite (modem lines and error
// counters from the modem shim preloaded into Wine), and what only it does:
// the system's codes and texts, the control block down to the terminal's
// settings, priorities and the port list, and a failed event wait. Where
// Wine's serial driver differs from Windows, the set-up or the test says
// what Windows does, and the test is skipped under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "tests/serial/DeviceSuite.h"
#include "tests/support/Cases.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/LinuxCalls.h"
#include "tests/support/MainLoop.h"
#include "tests/support/Pty.h"

namespace qv {
namespace {

namespace lc = test::linux_calls;
using test::PrintTo;
using test::TPty;
using TPort = TCustomComPort;

constexpr const char* kNotUnderWine = "the far end of a COM port is a pseudo-terminal under Wine only";

#define SKIP_UNDER_WINE(why) \
  if (lc::RunningUnderWine()) GTEST_SKIP() << "Wine: " << why

// ---- the shared suite ------------------------------------------------------------

// Wine's wait reads the modem lines at every look and fails at once on a
// device without them, so the pseudo-terminal has them from the shim.
class TWin32Backend final : public test::TShimBackend {
 public:
  TWin32Backend() : TShimBackend(60) {}
  std::string Cannot(test::TAbility what) const override {
    switch (what) {
      case test::abBusy:
        return "Wine: a share mode of 0 is not enforced (Windows refuses a second open with access denied)";
      case test::abDenied:
        return "Wine: no COM port is refused for want of permission";
      case test::abProtocol:
        return "a COM port has no port server";
      case test::abPollRead:
        return "Wine: an overlapped read in poll mode can hang (Windows ends it at once)";
      case test::abPurgeEndsRead:
        return "Wine: a purge leaves a read in progress running (Windows ends it)";
      case test::abOneRxChar:
        return "Wine reports RxChar at every look while bytes wait (Windows once for each arrival)";
      case test::abRxCharBesideReads:
        return "Wine looks at the queue now and then, and the reads of the other thread take the bytes first";
      case test::abFramingError:
        return "Wine: ClearCommError gives no error word (Windows gives CE_FRAME)";
      case test::abEndsAtStart:
        return "Wine: a read of bytes already waiting goes through its wait";
      case test::abDiscardNulls:
        return "Wine: fNull drops no zero bytes";
      case test::abRxFlag:
        return "Wine: no EV_RXFLAG for the event character";
      case test::abHangUp:
        return "Wine: a hung-up pseudo-terminal fails with ERROR_BROKEN_PIPE, which Windows gives no COM port (a "
               "removed adapter fails with access denied there)";
      default:
        return {};
    }
  }
  std::string PortName() override { return Pty.PortName(); }
  std::string MissingName() override { return "COM199"; }
};

using test::Backend;

INSTANTIATE_TEST_SUITE_P(Win32, Backend,
                         ::testing::Values(test::TBackendCase{
                             "ComPort",
                             [](std::string& whyNot) -> std::unique_ptr<test::TBackend> {
                               if (lc::RunningUnderWine()) return std::make_unique<TWin32Backend>();
                               whyNot = kNotUnderWine;
                               return nullptr;
                             }}),
                         test::TCaseName());

// ---- the system's codes -------------------------------------------------------------

TEST(Win32Open, MissingDeviceFailsWithFileNotFound) {
  std::unique_ptr<TComDevice> dev;
  TDevStatus st = OpenPlatformDevice("COM199", RealClock(), dev);
  EXPECT_EQ(st.Code, 2);
  EXPECT_EQ(st.Kind, ekNotFound);
  EXPECT_FALSE(st.Text.empty());
  EXPECT_EQ(st.Text, TrimSystemMessage(st.Text)) << "the system's text without its full stop and line end";
  EXPECT_EQ(dev, nullptr);
}

TEST(Win32Open, InvalidHandleStatusIsCodeSix) {
  TDevStatus st = InvalidHandleStatus();
  EXPECT_EQ(st.Code, 6);
  EXPECT_EQ(st.Kind, ekNotOpen);
  EXPECT_FALSE(st.Text.empty());
}

// ---- the control block ---------------------------------------------------------

// A pseudo-terminal as a COM port: Wine's only.
class Win32Device : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!lc::RunningUnderWine()) GTEST_SKIP() << kNotUnderWine;
    pty = std::make_unique<TPty>();
    TDevStatus st = OpenPlatformDevice(pty->PortName(), RealClock(), dev);
    ASSERT_TRUE(st.Ok()) << st.Code << " " << st.Text;
  }
  // The terminal's settings as the kernel holds them (master and slave
  // share them).
  lc::TTermios Attr() const {
    lc::TTermios t{};
    EXPECT_EQ(lc::Ioctl(pty->MasterFd(), lc::kTcGets, &t), 0);
    return t;
  }

  std::unique_ptr<TPty> pty;
  std::unique_ptr<TComDevice> dev;
};

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

TEST_F(Win32Device, ProgramLineSettingsLandInTheTerminal) {
  dev.reset();
  TComPort port(nullptr);
  test::ProgramSettings(port, pty->PortName());
  port.Open();
  const lc::TTermios t = Attr();
  EXPECT_EQ(t.Cflag & lc::kCbaud, lc::kB9600);
  EXPECT_EQ(t.Cflag & (lc::kCsize | lc::kCstopb | lc::kCrtscts), lc::kCs8);
  EXPECT_EQ(t.Iflag & (lc::kIxon | lc::kIxoff), 0u);
}

// ---- platform pieces -------------------------------------------------------------

TEST(Win32Platform, EventsAreTheSystemsObjects) {
  TDevStatus st;
  EXPECT_NE(CreateComEvent(true, true, st)->NativeHandle(), nullptr);
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

// ---- a failed event wait ------------------------------------------------------------

// On Windows a removed USB adapter fails the wait with access denied (5)
// and the port closes; any other failed wait is reported and leaves the
// port open. Wine fails the wait on a device without modem lines, which is
// the second case.
TEST(Win32Events, AFailedWaitIsReportedOnceOnTheMainThreadAndLeavesThePortOpen) {
  if (!lc::RunningUnderWine()) GTEST_SKIP() << kNotUnderWine;
  test::TMainLoop loop;
  TPty pty;
  test::TRecorder rec{&loop};
  struct TSeen {
    test::TMainLoop* Loop;
    std::vector<TComErrorKind> Kinds;
    bool OnMain = true;
  } seen{&loop, {}};
  TComPort port(nullptr);
  port.SetDeviceName(pty.PortName());
  port.OnError = TComErrorEvent(
      [](void* d, TCustomComPort*, EComError& e, TComAction&) {
        auto* s = static_cast<TSeen*>(d);
        s->Kinds.push_back(e.Kind);
        s->OnMain = s->OnMain && s->Loop->OnMainThread();
        EXPECT_EQ(e.ErrorCode, 50) << "ERROR_NOT_SUPPORTED";
      },
      &seen);
  rec.AssignTo(port, {TPort::deRxChar, TPort::deDSRChange});
  port.Open();
  ASSERT_TRUE(loop.RunUntil([&] { return !seen.Kinds.empty(); }));
  loop.RunFor(100);
  EXPECT_EQ(seen.Kinds, (std::vector<TComErrorKind>{ekUnsupported}));
  EXPECT_TRUE(seen.OnMain);
  EXPECT_EQ(port.Monitor(), nullptr);
  EXPECT_TRUE(port.Active());
  ASSERT_EQ(loop.Handled().size(), 1u);
  EXPECT_TRUE(loop.Handled()[0].OnMainThread);
}

}  // namespace
}  // namespace qv
