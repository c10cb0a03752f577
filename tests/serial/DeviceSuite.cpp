#include "tests/serial/DeviceSuite.h"

#include <atomic>
#include <chrono>

namespace qv::test {

// ---- the pieces ------------------------------------------------------------------

void TBackend::After(int afterMs, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(FMutex);
  FThreads.emplace_back([afterMs, fn = std::move(fn)] {
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    try {
      fn();
    } catch (...) {
      // The far end has gone meanwhile; the test says what it expected.
    }
  });
}

void TBackend::Finish() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    threads.swap(FThreads);
  }
  for (std::thread& t : threads) t.join();
}

void TPtyBackend::Send(const std::string& bytes, int afterMs) {
  if (afterMs == 0)
    Pty.WriteMaster(bytes);
  else
    After(afterMs, [this, bytes] { Pty.WriteMaster(bytes); });
}

std::string TPtyBackend::Received(size_t n, int timeoutMs) {
  if (!Echoing) return Pty.ReadMaster(n, timeoutMs);
  Pty.WaitReceived(n, timeoutMs);
  return Pty.Received().substr(0, n);
}

void TPtyBackend::Echo() {
  if (!Echoing) Pty.StartEcho();
  Echoing = true;
}

void TPtyBackend::HangUp(int afterMs) {
  if (afterMs == 0)
    Pty.CloseMaster();
  else
    After(afterMs, [this] { Pty.CloseMaster(); });
}

TOp::TOp() {
  TDevStatus st;
  Event = CreateComEvent(true, true, st);
  Ov.Event = Event.get();
}

TDevStatus TOp::StartRead(TComDevice& dev, uint32_t n, bool waitFollows) {
  Buffer.assign(n, 0xEE);
  Ov.Clear();
  Event->Reset();
  Ov.Buffer = Buffer.data();
  Ov.Length = n;
  Ov.WaitFollows = waitFollows;
  return dev.StartRead(Ov);
}

TDevStatus TOp::StartWrite(TComDevice& dev, const std::string& bytes) {
  Ov.Clear();
  Event->Reset();
  Ov.Data.assign(bytes.begin(), bytes.end());
  Ov.Length = static_cast<uint32_t>(bytes.size());
  return dev.StartWrite(Ov);
}

TDevStatus TOp::Read(TComDevice& dev, uint32_t n) {
  TDevStatus st = StartRead(dev, n);
  return st.Ok() ? Finish(dev) : st;
}

TDevStatus TOp::Write(TComDevice& dev, const std::string& bytes) {
  TDevStatus st = StartWrite(dev, bytes);
  return st.Ok() ? Finish(dev) : st;
}

TCommTimeouts ReadTimeouts(uint32_t interval, uint32_t multiplier, uint32_t constant) {
  TCommTimeouts t;
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  return t;
}

void Backend::SetUp() {
  std::string whyNot;
  FBackend = GetParam().Make(whyNot);
  if (!FBackend) GTEST_SKIP() << whyNot;
  Setup(Port);
}

void Backend::TearDown() {
  if (FBackend) FBackend->Finish();
}

void ProgramSettings(TComPort& port, const std::string& name, int32_t readConstant) {
  port.SetDeviceName(name);
  port.SetBaudRate(br9600);
  port.SetDataBits(db8);
  port.SetParity(paNone);
  port.SetStopBits(sb1);
  port.FlowControl().SetDTR(dcDisable);
  port.FlowControl().SetRTS(rcEnable);
  port.FlowControl().SetXOnXOff(xcDisable);
  port.Timeouts().SetReadConstant(readConstant);
}

void Backend::Setup(TComPort& port, int32_t readConstant) {
  port.SetClock(B().Clock());
  ProgramSettings(port, B().PortName(), readConstant);
}

bool Backend::OpenDevice() {
  const TDevStatus st = OpenComDevice(B().PortName(), B().Clock(), Dev);
  EXPECT_TRUE(st.Ok()) << st.Code << " " << st.Text;
  return Dev != nullptr;
}

bool Backend::AwaitCalls(size_t n) {
  return Loop.RunUntil([&] {
    B().Tick();
    return Rec.Count() >= n;
  });
}

bool Backend::WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    B().Tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

uint32_t Backend::WaitInQueue(TComDevice& dev, uint32_t n) {
  uint32_t inQueue = 0;
  WaitFor([&] {
    uint32_t errors = 0;
    EXPECT_TRUE(dev.ClearError(errors, inQueue).Ok());
    return inQueue >= n;
  });
  return inQueue;
}

void Backend::Arrive(TComDevice& dev, const std::string& bytes) {
  if (B().Cannot(abSend).empty()) {
    B().Send(bytes);
  } else {
    TOp op;
    EXPECT_TRUE(op.Write(dev, bytes).Ok());
  }
  EXPECT_EQ(WaitInQueue(dev, static_cast<uint32_t>(bytes.size())), bytes.size());
}

void Backend::Arrive(TComPort& port, const std::string& bytes) {
  if (B().Cannot(abSend).empty())
    B().Send(bytes);
  else
    port.Write(bytes.data(), static_cast<int32_t>(bytes.size()), true);
  EXPECT_TRUE(WaitFor([&] { return port.InputCount() >= bytes.size(); })) << port.InputCount();
}

namespace {

// The kind of the EComError that call raises; ekNone when it raises none.
TComErrorKind KindOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const EComError& e) {
    return e.Kind;
  }
  return ekNone;
}

std::string AllBytes() {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  return all;
}

using TPort = TCustomComPort;

}  // namespace

// ---- the device layer ----------------------------------------------------------------

TEST_P(Backend, ReadEndsShortAtItsTimeouts) {
  struct TCase {
    const char* Label;
    TCommTimeouts Timeouts;
    std::string Sent;
    uint32_t Asked;
    int MinMs;
  } const cases[] = {
      {"constant with nothing received", ReadTimeouts(0, 0, 50), "", 1, 45},
      {"multiplier per byte asked for", ReadTimeouts(0, 20, 0), "a", 3, 55},
      {"interval after the last byte", ReadTimeouts(50, 0, 0), "ab", 10, 45},
      {"multiplier and constant", ReadTimeouts(0, 10, 30), "xy", 4, 65},
  };
  ASSERT_TRUE(OpenDevice());
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    ASSERT_TRUE(Dev->SetTimeouts(c.Timeouts).Ok());
    if (!c.Sent.empty()) Arrive(*Dev, c.Sent);
    TOp op;
    const auto start = Now();
    ASSERT_TRUE(op.Read(*Dev, c.Asked).Ok());
    const int64_t ms = MsSince(start);
    EXPECT_EQ(op.Got(), c.Sent);
    EXPECT_GE(ms, c.MinMs);
    EXPECT_LT(ms, 1000);
    EXPECT_TRUE(op.Event->IsSignalled());
    EXPECT_FALSE(op.Ov.InProgress);
  }
}

TEST_P(Backend, BytesAlreadyWaitingAreReadAsTheyCame) {
  ASSERT_TRUE(OpenDevice());
  ASSERT_TRUE(Dev->SetTimeouts(ReadTimeouts(0, 0, 5000)).Ok());
  const std::string bytes = AllBytes() + AllBytes();
  Arrive(*Dev, bytes);
  TOp op;
  const auto start = Now();
  ASSERT_TRUE(op.Read(*Dev, static_cast<uint32_t>(bytes.size())).Ok());
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_EQ(op.Got(), bytes);
}

TEST_P(Backend, AReadOfBytesWaitingEndsWhenItStarts) {
  QV_NEED(abEndsAtStart);
  ASSERT_TRUE(OpenDevice());
  ASSERT_TRUE(Dev->SetTimeouts(ReadTimeouts(0, 0, 5000)).Ok());
  Arrive(*Dev, "abcdefg");
  TOp op;
  ASSERT_TRUE(op.StartRead(*Dev, 7).Ok());
  EXPECT_FALSE(op.Ov.InProgress);
  EXPECT_TRUE(op.Event->IsSignalled());
  EXPECT_EQ(op.Got(), "abcdefg");
}

TEST_P(Backend, IntervalRunsOnlyFromTheFirstByte) {
  QV_NEED(abSend);
  ASSERT_TRUE(OpenDevice());
  ASSERT_TRUE(Dev->SetTimeouts(ReadTimeouts(30, 0, 3000)).Ok());
  TOp op;
  const auto start = Now();
  ASSERT_TRUE(op.StartRead(*Dev, 5).Ok());
  B().Send("x", 150);
  ASSERT_TRUE(op.Finish(*Dev).Ok());
  const int64_t ms = MsSince(start);
  EXPECT_EQ(op.Got(), "x");
  EXPECT_GE(ms, 145);
  EXPECT_LT(ms, 2900);
}

TEST_P(Backend, AllTimeoutsZeroWaitsForEveryByte) {
  QV_NEED(abSend);
  ASSERT_TRUE(OpenDevice());
  ASSERT_TRUE(Dev->SetTimeouts(ReadTimeouts(0, 0, 0)).Ok());
  TOp op;
  ASSERT_TRUE(op.StartRead(*Dev, 3).Ok());
  B().Send("1", 40);
  B().Send("2", 80);
  B().Send("3", 120);
  ASSERT_TRUE(op.Finish(*Dev).Ok());
  EXPECT_EQ(op.Transferred, 3u);
  EXPECT_EQ(op.Got(), "123");
}

TEST_P(Backend, APollReadReturnsAtOnceWithWhatCame) {
  QV_NEED(abPollRead);
  ASSERT_TRUE(OpenDevice());
  ASSERT_TRUE(Dev->SetTimeouts(ReadTimeouts(0xFFFFFFFFu, 0, 0)).Ok());
  TOp op;
  const auto start = Now();
  ASSERT_TRUE(op.Read(*Dev, 4).Ok());
  EXPECT_EQ(op.Got(), "");
  Arrive(*Dev, "q");
  ASSERT_TRUE(op.Read(*Dev, 4).Ok());
  EXPECT_EQ(op.Got(), "q");
  EXPECT_LT(MsSince(start), 1000);
}

TEST_P(Backend, DiscardNullBytesDropsReceivedZeros) {
  QV_NEED(abDiscardNulls);
  ASSERT_TRUE(OpenDevice());
  TDCB dcb;
  ASSERT_TRUE(Dev->GetState(dcb).Ok());
  dcb.Flags |= dcbNull;
  ASSERT_TRUE(Dev->SetState(dcb).Ok());
  ASSERT_TRUE(Dev->SetTimeouts(ReadTimeouts(0, 0, 2000)).Ok());
  Arrive(*Dev, std::string("a\0b\0\0c", 6));
  TOp op;
  ASSERT_TRUE(op.Read(*Dev, 3).Ok());
  EXPECT_EQ(op.Got(), "abc");
}

TEST_P(Backend, EveryByteValueGoesOutUnchanged) {
  QV_NEED(abSeeReceived);
  ASSERT_TRUE(OpenDevice());
  TOp op;
  ASSERT_TRUE(op.Write(*Dev, AllBytes()).Ok());
  EXPECT_EQ(op.Transferred, 256u);
  EXPECT_EQ(B().Received(256), AllBytes());
}

TEST_P(Backend, LargeWriteFinishesOnceTheFarEndReads) {
  QV_NEED(abStallWrite);
  ASSERT_TRUE(OpenDevice());
  const std::string big(1 << 18, 'z');
  TOp op;
  ASSERT_TRUE(op.StartWrite(*Dev, big).Ok());
  ASSERT_TRUE(op.Ov.InProgress) << "the far end took it all at once";
  std::string got;
  std::thread peer([&] { got = B().Received(big.size(), 10000); });
  ASSERT_TRUE(op.Finish(*Dev).Ok());
  peer.join();
  EXPECT_EQ(op.Transferred, big.size());
  EXPECT_EQ(got.size(), big.size());
}

TEST_P(Backend, WriteTimeoutEndsAStuckWriteShort) {
  QV_NEED(abStallWrite);
  ASSERT_TRUE(OpenDevice());
  TCommTimeouts t;
  t.WriteTotalTimeoutConstant = 50;
  ASSERT_TRUE(Dev->SetTimeouts(t).Ok());
  TOp op;
  const auto start = Now();
  ASSERT_TRUE(op.Write(*Dev, std::string(1 << 20, 'z')).Ok());
  const int64_t ms = MsSince(start);
  EXPECT_LT(op.Transferred, 1u << 20);
  EXPECT_GE(ms, 45);
  EXPECT_LT(ms, 2000);
}

TEST_P(Backend, InputCountAndPurgeOfTheReceiveQueue) {
  ASSERT_TRUE(OpenDevice());
  Arrive(*Dev, "hello");
  uint32_t errors = 0xFFFF, inQueue = 0;
  ASSERT_TRUE(Dev->ClearError(errors, inQueue).Ok());
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(inQueue, 5u);
  ASSERT_TRUE(Dev->Purge(PURGE_RXABORT | PURGE_RXCLEAR).Ok());
  ASSERT_TRUE(Dev->ClearError(errors, inQueue).Ok());
  EXPECT_EQ(inQueue, 0u);
  // Nothing of it is read afterwards.
  ASSERT_TRUE(Dev->SetTimeouts(ReadTimeouts(0, 0, 50)).Ok());
  TOp op;
  ASSERT_TRUE(op.Read(*Dev, 1).Ok());
  EXPECT_EQ(op.Transferred, 0u);
}

TEST_P(Backend, PurgeEndsAReadInProgressWithWhatCame) {
  QV_NEED(abPurgeEndsRead);
  ASSERT_TRUE(OpenDevice());
  ASSERT_TRUE(Dev->SetTimeouts(ReadTimeouts(0, 0, 0)).Ok());
  Arrive(*Dev, "ab");
  TOp op;
  ASSERT_TRUE(op.StartRead(*Dev, 5).Ok());
  ASSERT_TRUE(op.Ov.InProgress);
  ASSERT_TRUE(Dev->Purge(PURGE_RXABORT | PURGE_RXCLEAR).Ok());
  EXPECT_FALSE(op.Ov.InProgress);
  EXPECT_TRUE(op.Event->IsSignalled());
  const auto start = Now();
  ASSERT_TRUE(op.Finish(*Dev).Ok());
  EXPECT_LT(MsSince(start), 500);
  EXPECT_EQ(op.Got(), "ab");
}

TEST_P(Backend, AHangUpFailsTheWaitingReadAsDeviceLost) {
  QV_NEED(abHangUp);
  ASSERT_TRUE(OpenDevice());
  ASSERT_TRUE(Dev->SetTimeouts(ReadTimeouts(0, 0, 5000)).Ok());
  TOp op;
  const auto start = Now();
  ASSERT_TRUE(op.StartRead(*Dev, 1).Ok());
  B().HangUp(50);
  const TDevStatus st = op.Finish(*Dev);
  EXPECT_EQ(st.Kind, ekDeviceLost) << st.Code << " " << st.Text;
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_TRUE(op.Event->IsSignalled());
  EXPECT_FALSE(op.Ov.InProgress);
}

TEST_P(Backend, ABadFrameIsRefusedAndChangesNothing) {
  QV_NEED(abBadFrame);
  ASSERT_TRUE(OpenDevice());
  TDCB before;
  ASSERT_TRUE(Dev->GetState(before).Ok());
  for (auto change :
       std::vector<std::function<void(TDCB&)>>{[](TDCB& d) { d.ByteSize = 4; }, [](TDCB& d) { d.ByteSize = 9; },
                                               [](TDCB& d) { d.Parity = 5; }, [](TDCB& d) { d.StopBits = 3; }}) {
    TDCB bad = before;
    change(bad);
    const TDevStatus st = Dev->SetState(bad);
    EXPECT_EQ(st.Kind, ekUnsupported) << st.Code << " " << st.Text;
  }
  TDCB after;
  ASSERT_TRUE(Dev->GetState(after).Ok());
  EXPECT_EQ(after, before);
}

TEST_P(Backend, TimeoutsReadBackAsSet) {
  ASSERT_TRUE(OpenDevice());
  const TCommTimeouts t{7, 3, 250, 2, 90};
  ASSERT_TRUE(Dev->SetTimeouts(t).Ok());
  TCommTimeouts back;
  ASSERT_TRUE(Dev->GetTimeouts(back).Ok());
  EXPECT_EQ(back, t);
  EXPECT_TRUE(Dev->SetupComm(4096, 2048).Ok());
}

// ---- opening, and the kinds of the failures -------------------------------------------

TEST_P(Backend, OpenOfAMissingDeviceFailsAsNotFound) {
  Port.SetDeviceName(B().MissingName());
  EXPECT_EQ(KindOf([&] { Port.Open(); }), ekNotFound);
  EXPECT_FALSE(Port.Active());
}

TEST_P(Backend, ASecondOpenIsBusyUntilTheFirstCloses) {
  QV_NEED(abBusy);
  TComPort first(nullptr), second(nullptr);
  Setup(first);
  Setup(second);
  first.Open();
  EXPECT_EQ(KindOf([&] { second.Open(); }), ekBusy);
  EXPECT_FALSE(second.Active());
  first.Close();
  // A port server frees the port once it has seen the close.
  EXPECT_TRUE(WaitFor([&] { return KindOf([&] { second.Open(); }) == ekNone; }));
}

TEST_P(Backend, AnOpenWithoutPermissionFailsAsAccessDenied) {
  QV_NEED(abDenied);
  Port.SetDeviceName(B().DeniedName());
  EXPECT_EQ(KindOf([&] { Port.Open(); }), ekAccessDenied);
}

TEST_P(Backend, AServerWithoutPortControlFailsTheOpenAsProtocol) {
  QV_NEED(abProtocol);
  Port.SetDeviceName(B().ProtocolFailureName());
  EXPECT_EQ(KindOf([&] { Port.Open(); }), ekProtocol);
  EXPECT_FALSE(Port.Active());
}

TEST_P(Backend, ThePortsOwnRulesFailWithTheirKinds) {
  for (auto call : {+[](TComPort& p) { p.ReadByte(); }, +[](TComPort& p) { p.WriteByte(0); },
                    +[](TComPort& p) { p.ModemStatus(); }, +[](TComPort& p) { p.InputCount(); }})
    EXPECT_EQ(KindOf([&] { call(Port); }), ekNotOpen);
  Port.Open();
  EXPECT_EQ(KindOf([&] { Port.SetDeviceName(B().MissingName()); }), ekOpenPort);
  EXPECT_EQ(Port.DeviceName(), B().PortName());
  // Closing gives the device back (a port server's once it has seen the
  // close).
  Port.Close();
  EXPECT_TRUE(WaitFor([&] { return KindOf([&] { Port.Open(); }) == ekNone; }));
}

// ---- the port --------------------------------------------------------------------------

TEST_P(Backend, ReadByteTimesOutWithNothingReceived) {
  Port.Timeouts().SetReadConstant(50);
  Port.Open();
  const auto start = Now();
  try {
    Port.ReadByte();
    FAIL() << "no time-out";
  } catch (const EComError& e) {
    EXPECT_EQ(e.Message, "Timeout");
    EXPECT_EQ(e.ErrorCode, 0);
    EXPECT_EQ(e.Kind, ekTimeout);
  }
  const int64_t ms = MsSince(start);
  EXPECT_GE(ms, 45);
  EXPECT_LT(ms, 1000);
}

TEST_P(Backend, WriteByteThenReadByteExchangesWithTheFarEnd) {
  B().Echo();
  Port.Open();
  const std::string bytes("\x00\x0A\x0D\x11\x13\x55\xF0\xFA\xFF", 9);
  for (char b : bytes) {
    Port.WriteByte(static_cast<uint8_t>(b));
    EXPECT_EQ(Port.ReadByte(), static_cast<uint8_t>(b));
  }
  // Where the far end's account is there to see, it got each byte once.
  if (B().Cannot(abSeeReceived).empty()) {
    EXPECT_EQ(B().Received(bytes.size()), bytes);
  }
}

TEST_P(Backend, InputCountAndPurgeInput) {
  Port.Open();
  Arrive(Port, "abc");
  EXPECT_EQ(Port.InputCount(), 3u);
  Port.PurgeInput();
  EXPECT_EQ(Port.InputCount(), 0u);
  EXPECT_EQ(KindOf([&] { Port.ReadByte(); }), ekTimeout);
  // The stream goes on after the purge.
  B().Echo();
  Port.WriteByte('z');
  EXPECT_EQ(Port.ReadByte(), 'z');
}

TEST_P(Backend, AHangUpFailsEveryLaterCallAsDeviceLost) {
  QV_NEED(abHangUp);
  Port.Timeouts().SetReadConstant(5000);
  Port.Open();
  B().HangUp(50);
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"the waiting read", [&] { Port.ReadByte(); }}, {"a later write", [&] { Port.WriteByte(1); }},
      {"a later read", [&] { Port.ReadByte(); }},     {"InputCount", [&] { Port.InputCount(); }},
      {"ModemStatus", [&] { Port.ModemStatus(); }},   {"a setting", [&] { Port.FlowControl().SetDTR(dcEnable); }},
  };
  for (const auto& [what, call] : calls) {
    const auto start = Now();
    EXPECT_EQ(KindOf(call), ekDeviceLost) << what;
    EXPECT_LT(MsSince(start), 2000) << what;
  }
  Port.Close();
  EXPECT_FALSE(Port.Active());
}

// ---- device events ----------------------------------------------------------------------

TEST_P(Backend, AnArrivalIsRxCharAndTheBytesStayToBeRead) {
  Rec.AssignTo(Port, {TPort::deRxChar});
  Port.Open();
  B().Settle();
  EXPECT_EQ(Rec.Count(), 0u);
  Arrive(Port, "ab");
  ASSERT_TRUE(AwaitCalls(1));
  EXPECT_EQ(Port.InputCount(), 2u);
  EXPECT_EQ(Port.ReadByte(), 'a');
  EXPECT_EQ(Port.ReadByte(), 'b');
  EXPECT_TRUE(Rec.AllOnMain(true));
}

TEST_P(Backend, EachArrivalIsOneRxChar) {
  QV_NEED(abOneRxChar);
  Rec.AssignTo(Port, {TPort::deRxChar});
  Port.Open();
  B().Settle();
  Arrive(Port, "a");
  ASSERT_TRUE(AwaitCalls(1));
  // Bytes nobody reads do not make the event again; new ones do.
  Loop.RunFor(100);
  EXPECT_EQ(Rec.Count(), 1u);
  Arrive(Port, "b");
  ASSERT_TRUE(AwaitCalls(2));
  EXPECT_EQ(Port.InputCount(), 2u);
}

TEST_P(Backend, AWriteEndsInTxEmpty) {
  Rec.AssignTo(Port, {TPort::deTxEmpty});
  Port.Open();
  B().Settle();
  Loop.RunFor(50);
  EXPECT_EQ(Rec.Count(), 0u) << "nothing written yet";
  Port.WriteByte('x');
  ASSERT_TRUE(AwaitCalls(1));
  if (B().Cannot(abSeeReceived).empty()) {
    EXPECT_EQ(B().Received(1), "x");
  }
}

TEST_P(Backend, EightyPercentOfTheInputQueueComesBeforeRxChar) {
  QV_NEED(abOneRxChar);
  Port.BufferSizes().SetInput(10);
  Rec.AssignTo(Port, {TPort::deRxChar, TPort::deRx80PercFull});
  Port.Open();
  B().Settle();
  Arrive(Port, "1234567");
  ASSERT_TRUE(AwaitCalls(1));
  Arrive(Port, "8");
  ASSERT_TRUE(AwaitCalls(3));
  EXPECT_EQ(Rec.TakeCalls(), (std::vector<std::string>{"RxChar", "Rx80PercFull", "RxChar"}));
}

TEST_P(Backend, TheEventCharacterIsRxFlag) {
  QV_NEED(abRxFlag);
  Port.Characters().SetEvent('!');
  Rec.AssignTo(Port, {TPort::deRxChar, TPort::deRxFlag});
  Port.Open();
  B().Settle();
  Arrive(Port, "ab");
  ASSERT_TRUE(AwaitCalls(1));
  Arrive(Port, "x!");
  ASSERT_TRUE(AwaitCalls(3));
  EXPECT_EQ(Rec.TakeCalls(), (std::vector<std::string>{"RxChar", "RxChar", "RxFlag"}));
  std::string got;
  for (int i = 0; i < 4; ++i) got.push_back(static_cast<char>(Port.ReadByte()));
  EXPECT_EQ(got, "abx!");
}

TEST_P(Backend, LineChangesAreDeviceEvents) {
  QV_NEED(abLines);
  Rec.AssignTo(Port, {TPort::deCTSChange, TPort::deDSRChange, TPort::deRLSDChange, TPort::deRing});
  Port.Open();
  uint32_t lines = 0;
  for (uint32_t line : {MS_DSR_ON, MS_CTS_ON, MS_RLSD_ON, MS_RING_ON}) {
    B().Settle();
    const size_t before = Rec.Count();
    B().SetLines(lines |= line);
    ASSERT_TRUE(Loop.RunUntil([&] {
      B().Tick();
      return Rec.Count() > before;
    })) << "line "
        << line;
  }
  EXPECT_EQ(Rec.TakeCalls(), (std::vector<std::string>{"DSRChange", "CTSChange", "RLSDChange", "Ring"}));
  EXPECT_TRUE(Rec.AllOnMain(true));
}

TEST_P(Backend, ThePortDrivesAndReadsTheLines) {
  QV_NEED(abLines);
  Port.Open();
  EXPECT_TRUE(WaitFor([&] { return B().PortLines() == kRts; })) << B().PortLines();
  // Each change of a line is made before the assignment returns.
  Port.FlowControl().SetDTR(dcEnable);
  EXPECT_EQ(B().PortLines(), kDtr | kRts);
  Port.FlowControl().SetRTS(rcDisable);
  EXPECT_EQ(B().PortLines(), kDtr);
  const std::pair<uint32_t, TModemStatus> steps[] = {
      {MS_DSR_ON | MS_CTS_ON, TModemStatus{msCTS, msDSR}},
      {MS_RLSD_ON | MS_RING_ON, TModemStatus{msRing, msRLSD}},
      {0, TModemStatus{}},
  };
  for (const auto& [lines, status] : steps) {
    B().SetLines(lines);
    EXPECT_TRUE(WaitFor([&] { return Port.ModemStatus() == status; })) << "far end's lines " << lines;
  }
}

TEST_P(Backend, ABreakIsADeviceEvent) {
  QV_NEED(abBreak);
  Rec.AssignTo(Port, {TPort::deBreak});
  Port.Open();
  B().Settle();
  B().Break();
  ASSERT_TRUE(AwaitCalls(1));
  EXPECT_EQ(Rec.TakeCalls(), (std::vector<std::string>{"Break"}));
}

TEST_P(Backend, AFramingErrorReachesOnLineError) {
  QV_NEED(abFramingError);
  Port.SetOnLineError(Rec.LineErrorHandler());
  Port.Open();
  B().Settle();
  B().FramingError();
  ASSERT_TRUE(AwaitCalls(1));
  // The dispatch's line-error check has read and cleared the error word.
  Port.InputCount();
  Loop.RunFor(50);
  EXPECT_EQ(Rec.TakeCalls(), (std::vector<std::string>{"LineError"}));
}

TEST_P(Backend, ALostDeviceIsReportedOnceOnTheMainThreadAndClosesThePort) {
  QV_NEED(abHangUp);
  struct TSeen {
    TMainLoop* Loop;
    std::vector<TComErrorKind> Kinds;
    bool OnMain = true;
    int Closes = 0;
  } seen{&Loop, {}};
  Port.OnError = TComErrorEvent(
      [](void* d, TCustomComPort*, EComError& e, TComAction&) {
        auto* s = static_cast<TSeen*>(d);
        s->Kinds.push_back(e.Kind);
        s->OnMain = s->OnMain && s->Loop->OnMainThread();
      },
      &seen);
  Port.AfterClose = TOpenCloseEvent([](void* d, TCustomComPort*) { ++static_cast<TSeen*>(d)->Closes; }, &seen);
  Rec.AssignTo(Port, {TPort::deRxChar});
  Port.Open();
  B().Settle();
  B().HangUp();
  ASSERT_TRUE(Loop.RunUntil([&] { return !Port.Active(); }));
  Loop.RunFor(50);
  EXPECT_EQ(seen.Kinds, (std::vector<TComErrorKind>{ekDeviceLost}));
  EXPECT_TRUE(seen.OnMain);
  EXPECT_EQ(seen.Closes, 1);
  EXPECT_EQ(Port.Monitor(), nullptr);
  EXPECT_EQ(Loop.Handled().size(), 1u);
}

// The monitor's wait runs beside the reads and writes of another thread;
// the handlers run on the main thread meanwhile.
TEST_P(Backend, TheWaitRunsBesideExchangesOnAnotherThread) {
  Port.Timeouts().SetReadConstant(1000);
  Rec.AssignTo(Port, {TPort::deRxChar, TPort::deTxEmpty});
  Port.Open();
  B().Settle();
  B().Echo();
  std::atomic<bool> done{false};
  std::string sent, answers, failure;
  for (int i = 0; i < 30; ++i) sent.push_back(static_cast<char>('A' + i % 26));
  std::thread worker([&] {
    try {
      for (char c : sent) {
        Port.WriteByte(static_cast<uint8_t>(c));
        answers.push_back(static_cast<char>(Port.ReadByte()));
      }
    } catch (const EComError& e) {
      // A reader that slept through bytes the monitor took in times out.
      failure = e.what();
    }
    done = true;
  });
  EXPECT_TRUE(Loop.RunUntil([&] { return done.load(); }, 20000));
  worker.join();
  EXPECT_EQ(failure, "") << "after " << answers.size() << " exchanges";
  EXPECT_EQ(answers, sent);
  // What the last exchanges gave may still be on its way.
  EXPECT_TRUE(Loop.RunUntil([&] {
    B().Tick();
    return Rec.CountOf("TxEmpty") > 0 && (!B().Cannot(abRxCharBesideReads).empty() || Rec.CountOf("RxChar") > 0);
  }));
  EXPECT_TRUE(Rec.AllOnMain(true));
}

TEST_P(Backend, RemovingTheLastHandlerEndsTheWaitAndTheMonitor) {
  Rec.AssignTo(Port, {TPort::deRxChar});
  Port.Open();
  B().Settle();
  ASSERT_NE(Port.Monitor(), nullptr);
  const auto start = std::chrono::steady_clock::now();
  Port.SetDeviceEvent(TPort::deRxChar, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(Port.Monitor(), nullptr);
  Arrive(Port, "z");
  Loop.RunFor(100);
  EXPECT_EQ(Rec.Count(), 0u);
  EXPECT_EQ(Port.ReadByte(), 'z');
}

}  // namespace qv::test
