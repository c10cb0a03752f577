// The in-process backend on the virtual clock: the worker's link operations
// against the bench models through TComPort, the read time-outs in bench
// time, modem lines, purge, busy, missing and unplugged ports, and port
// detection on bench set-ups.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/Dongle.h"
#include "bench/Faults.h"
#include "bench/Server.h"
#include "procedure/MainIntf.h"
#include "procedure/SerThread.h"
#include "serial/ComPort.h"
#include "bench/inproc/InProcDevice.h"
#include "tests/support/Bench.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using TUs = std::chrono::microseconds;
using TSteady = std::chrono::steady_clock;

constexpr int64_t kChar = 1042;
constexpr int64_t kExchange = kChar + 50 + kChar;  // a byte out, its answer back

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

std::string Lines(const std::string& log) {
  std::string out;
  size_t pos = 0;
  while (pos < log.size()) {
    size_t end = log.find('\r', pos);
    if (end == std::string::npos) end = log.size();
    if (log[pos] == '>') out += log.substr(pos + 1, end - pos - 1) + "\n";
    pos = end + 1;
  }
  return out;
}

const char* const kVersionQueryLog = "2<65\r2>1\r2<0\r2>3\r2<132\r2>66\r2<194\r2>36\r2<195\r2>15\r2<193\r2>96\r";

// A dongle on COM3 (digit 1) and a server on COM4 (digit 2), both open with
// the probing time-out, and a worker on the bench clock.
class BenchPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Open(Dongle, "COM3", 0);
    Open(Server, "COM4", 1);
    Worker.LinkOk = true;
  }

  void Open(TComPort& port, const std::string& name, intptr_t tag) {
    Bench.Attach(port, tag);
    port.SetDeviceName(name);
    port.Timeouts().SetReadConstant(50);
    port.Open();
  }

  TUs Now() { return Bench.Clock.Now(); }

  test::TBench Bench;
  TComPort Dongle{nullptr}, Server{nullptr};
  THeadlessMain Main{TPortRoles{&Dongle, &Server}};
  TSerThread Worker{true, Main, Bench.Clock};
};

// ---- ports and names ----------------------------------------------------------

TEST_F(BenchPortTest, ListComDevicesGivesTheBenchPortsByTheirShortNames) {
  std::vector<std::string> list;
  Dongle.ListComDevices(list);
  EXPECT_EQ(list, (std::vector<std::string>{"COM3", "COM4"}));
  EXPECT_EQ(Bench.ComboItems(), (std::vector<std::string>{"Auto detect", "COM3", "COM4"}));
  EXPECT_TRUE(TBenchPorts::IsOpen("COM3"));
  EXPECT_TRUE(TBenchPorts::IsOpen("bench://COM4"));
  Server.Close();
  EXPECT_FALSE(TBenchPorts::IsOpen("COM4"));
}

TEST_F(BenchPortTest, OpeningFailsLikeTheSystemsPorts) {
  struct TCase {
    const char* Name;
    std::string Port;
    std::function<void()> Arrange;
    int Code;
    std::string Message;
  } cases[] = {
      {"second open", "COM3", nullptr, EBUSY, "Device or resource busy"},
      {"unplugged", "COM4",
       [this] {
         Server.Close();
         Bench.Unplug("COM4");
       },
       ENOENT, "No such file or directory"},
      {"scheme name of nothing plugged", "bench://COM9", nullptr, ENOENT, "No such file or directory"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.Arrange) c.Arrange();
    TComPort other(nullptr);
    Bench.Attach(other, 0);
    other.SetDeviceName(c.Port);
    try {
      other.Open();
      ADD_FAILURE() << "Open succeeded";
    } catch (const EComError& e) {
      EXPECT_EQ(e.ErrorCode, c.Code);
      EXPECT_EQ(e.Message, c.Message);
    }
    EXPECT_FALSE(other.Active());
  }
}

TEST_F(BenchPortTest, UnpluggingAnOpenPortHangsItUp) {
  Bench.Unplug("COM4");
  for (auto call : {+[](TComPort& p) { p.WriteByte(0); }, +[](TComPort& p) { (void)p.ReadByte(); },
                    +[](TComPort& p) { (void)p.ModemStatus(); }, +[](TComPort& p) { (void)p.InputCount(); }}) {
    try {
      call(Server);
      ADD_FAILURE() << "the call succeeded on a hung-up port";
    } catch (const EComError& e) {
      EXPECT_EQ(e.ErrorCode, EIO);
      EXPECT_EQ(e.Message, "Input/output error");
    }
  }
  EXPECT_FALSE(Worker.PutByte(Server, 0x41));
  EXPECT_EQ(Worker.GetByte(Server), -1);
  EXPECT_EQ(Worker.LogText, "!2<65\r2>-1\r");
  // A device plugged in again under the name is a new device: the old
  // handle stays dead, a new open works.
  Bench.Plug("COM4", std::make_shared<bench::TServer>());
  EXPECT_THROW(Server.WriteByte(0), EComError);
  Server.Close();
  Server.Open();
  EXPECT_TRUE(Worker.PutByte(Server, 0x00));
  EXPECT_EQ(Worker.GetByte(Server), 0x00);
}

// ---- the worker's exchanges --------------------------------------------------

TEST_F(BenchPortTest, ServerCommandVersionQuery) {
  const TUs start = Now();
  EXPECT_EQ(Worker.ServerCommand(B({0x00}), true), B({0x42, 0x24, 0x0F}));
  EXPECT_TRUE(Worker.LinkOk);
  EXPECT_EQ(Worker.LogText, kVersionQueryLog);
  EXPECT_EQ(Worker.Reply, B({0x01, 0x03}));
  // Six exchanges, each a character out and one back after the firmware's
  // processing time.
  EXPECT_EQ(Now() - start, TUs(6 * kExchange));
  EXPECT_EQ(Bench.Server->FromPc(), B({0x41, 0x00, 0x84, 0xC2, 0xC3, 0xC1}));
}

TEST_F(BenchPortTest, ServerCommandOneByteReply) {
  EXPECT_EQ(Worker.ServerCommand(B({0x01}), true), B({0x07}));
  EXPECT_EQ(Worker.LogText, "2<65\r2>1\r2<1\r2>3\r2<133\r2>7\r");
  EXPECT_EQ(Worker.ServerCommand("", true), B({0x15}));
  EXPECT_EQ(Bench.Server->FromPc(), B({0x41, 0x01, 0x85, 0x40, 0x81}));
}

TEST_F(BenchPortTest, ServerCommandAgainstFaults) {
  struct TCase {
    const char* Name;
    bench::TFaultRule Rule;
    std::string Result;
    bool LinkOk;
    std::string Wire;  // what reached the server
  } cases[] = {
      {"wrong acknowledgement", bench::WrongAt(2, 0x02), "", false, B({0x41, 0x00})},
      {"missing acknowledgement", bench::SilentAt(1), "", false, B({0x41})},
      {"missing reply head", bench::SilentOn(0x84), "", false, B({0x41, 0x00, 0x84})},
      {"missing reply byte: no end byte", bench::SilentOn(0xC3), "", false, B({0x41, 0x00, 0x84, 0xC2, 0xC3})},
      {"wrong reply byte", bench::WrongOn(0xC2, 0x25), "", false, B({0x41, 0x00, 0x84, 0xC2, 0xC3, 0xC1})},
      {"wrong reply checksum", bench::WrongOn(0xC1), "", false, B({0x41, 0x00, 0x84, 0xC2, 0xC3, 0xC1})},
      {"late but within the time-out", bench::LateOn(0xC1, 45000), B({0x42, 0x24, 0x0F}), true,
       B({0x41, 0x00, 0x84, 0xC2, 0xC3, 0xC1})},
      {"late beyond the time-out", bench::LateOn(0xC1, 55000), "", false, B({0x41, 0x00, 0x84, 0xC2, 0xC3, 0xC1})},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    test::TBench bench;
    TComPort dongle(nullptr), server(nullptr);
    THeadlessMain main(TPortRoles{&dongle, &server});
    TSerThread worker(true, main, bench.Clock);
    bench.Attach(server, 1);
    server.SetDeviceName("COM4");
    server.Timeouts().SetReadConstant(50);
    server.Open();
    worker.LinkOk = true;
    bench.Server->Faults().Add(c.Rule);
    EXPECT_EQ(worker.ServerCommand(B({0x00}), true), c.Result);
    EXPECT_EQ(worker.LinkOk, c.LinkOk);
    EXPECT_EQ(bench.Server->FromPc(), c.Wire);
  }
}

TEST_F(BenchPortTest, SendEchoIdentifiesTheDongleAndInitialisesTheHandheld) {
  const std::string hello = B({0x80, 0x00, 0xA5}) + std::string(16, '\x55');
  Worker.SendEcho(Dongle, hello, "");
  EXPECT_EQ(Worker.Reply, B({0x12, 0x55, 0xF0}) + "QV0DONGLE0000001");
  Worker.SendEcho(Dongle, B({0x00}), "");
  EXPECT_EQ(Worker.Reply, "");
  Worker.SendEcho(Dongle, B({0x00, 0x04, 0x39, 0x02}), B({0x21, 0x04, 0x39, 0x10}));
  EXPECT_TRUE(Worker.LinkOk);
  Worker.SendEcho(Dongle, B({0x04, 0x39, 0x06, 0x00}), "");
  EXPECT_EQ(Worker.Reply, "");  // the last byte went unanswered
  EXPECT_EQ(Bench.Handheld->Register(0x39), 0x00);
}

TEST_F(BenchPortTest, GetByteWithTwoAnswersWaitingLeavesThemQueued) {
  EXPECT_TRUE(Worker.PutByte(Server, 0x00));
  EXPECT_TRUE(Worker.PutByte(Server, 0x00));
  Bench.Clock.Sleep(10);
  EXPECT_EQ(Worker.GetByte(Server), -1);
  EXPECT_EQ(Server.InputCount(), 2u);
  EXPECT_EQ(Worker.LogText, "2<0\r2<0\r2>-1\r");
}

// ---- time-outs in bench time -------------------------------------------------

TEST_F(BenchPortTest, ReadTimeOutCostsBenchTimeNotRealTime) {
  Bench.Server->Faults().SetSilent(true);
  const TUs start = Now();
  const auto realStart = TSteady::now();
  EXPECT_TRUE(Worker.PutByte(Server, 0x00));
  EXPECT_EQ(Worker.GetByte(Server), -1);
  EXPECT_EQ(Now() - start, 50ms);
  // Generous: only that no real 50 ms wait happened on an idle machine is
  // not asserted; a wait of seconds would be a real sleep gone wrong.
  EXPECT_LT(TSteady::now() - realStart, 1000ms);
  EXPECT_EQ(Worker.LogText, "2<0\r2>-1\r");
}

// A device that answers every byte with a burst: each byte complete at the
// given time after the byte it answers.
class TBurstDevice final : public bench::TDevice {
 public:
  explicit TBurstDevice(std::vector<std::pair<int64_t, uint8_t>> burst) : FBurst(std::move(burst)) {}
  void SetFormat(uint32_t, int, char, int, bench::TTime) override {}
  void SetLines(bool, bool, bench::TTime) override {}
  void Receive(uint8_t, bench::TTime t) override {
    for (const auto& [after, byte] : FBurst) FOut.push_back({t + after, byte});
  }
  std::string Transmit(bench::TTime t) override {
    std::string s;
    while (!FOut.empty() && FOut.front().first <= t) {
      s += static_cast<char>(FOut.front().second);
      FOut.erase(FOut.begin());
    }
    return s;
  }
  bench::TTime NextOutput() const override { return FOut.empty() ? -1 : FOut.front().first; }
  bool Dsr(bench::TTime) const override { return false; }

 private:
  std::vector<std::pair<int64_t, uint8_t>> FBurst;
  std::vector<std::pair<bench::TTime, uint8_t>> FOut;
};

TEST_F(BenchPortTest, ReadTimeOuts) {
  constexpr int32_t kMax = -1;  // MAXDWORD as the component's signed field
  struct TCase {
    const char* Name;
    int32_t Interval, Multiplier, Constant;
    std::vector<std::pair<int64_t, uint8_t>> Burst;  // after the byte written has arrived
    int32_t Length;
    bool TimesOut;
    int64_t ElapsedUs;  // from the write
    std::string Read;
  } cases[] = {
      {"constant", 0, 0, 50, {}, 1, true, 50000, ""},
      {"multiplier per byte", 0, 10, 20, {}, 3, true, 50000, ""},
      {"bytes within the total", 0, 0, 50, {{1000, 'a'}, {2000, 'b'}}, 2, false, kChar + 2000, "ab"},
      {"total ends a slow burst", 0, 0, 10, {{1000, 'a'}, {20000, 'b'}}, 2, true, 10000, "a"},
      {"interval after the first byte", 5, 0, 0, {{2000, 'a'}, {9000, 'b'}}, 2, true, kChar + 2000 + 5000, "a"},
      {"interval restarts at each byte",
       5,
       0,
       0,
       {{1000, 'a'}, {4000, 'b'}, {8000, 'c'}},
       3,
       false,
       kChar + 8000,
       "abc"},
      {"interval waits for a first byte", 5, 0, 0, {{30000, 'a'}}, 1, false, kChar + 30000, "a"},
      {"total before interval", 50, 0, 10, {{1000, 'a'}}, 3, true, 10000, "a"},
      {"at once", kMax, 0, 0, {{1000, 'a'}}, 1, false, 0, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Bench.Plug("COM5", std::make_shared<TBurstDevice>(c.Burst));
    TComPort port(nullptr);
    Bench.Attach(port, 0);
    port.SetDeviceName("COM5");
    port.Timeouts().SetReadInterval(c.Interval);
    port.Timeouts().SetReadMultiplier(c.Multiplier);
    port.Timeouts().SetReadConstant(c.Constant);
    port.Open();
    const TUs start = Now();
    port.WriteByte(0x00);
    std::string buffer(static_cast<size_t>(c.Length), '\0');
    bool timedOut = false;
    try {
      port.Read(buffer.data(), c.Length, true);
    } catch (const EComError& e) {
      EXPECT_EQ(e.Message, "Timeout");
      timedOut = true;
    }
    EXPECT_EQ(timedOut, c.TimesOut);
    EXPECT_EQ((Now() - start).count(), c.ElapsedUs);
    EXPECT_EQ(buffer.substr(0, c.Read.size()), c.Read);
  }
}

TEST_F(BenchPortTest, ReadWithoutAnyTimeOutFromASilentDeviceFailsInsteadOfHanging) {
  Server.Close();
  Server.Timeouts().SetReadConstant(0);
  Server.Open();
  try {
    (void)Server.ReadByte();
    ADD_FAILURE() << "ReadByte returned";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, EDEADLK);
  }
  // With something on its way the same read simply waits for it.
  Server.WriteByte(0x00);
  EXPECT_EQ(Server.ReadByte(), 0x00);
}

TEST(BenchPortRealClock, TheSameBackendRunsOnTheRealClock) {
  auto server = std::make_shared<bench::TServer>();
  TBenchPorts::Plug("REAL1", server, RealClock());
  TComPort port(nullptr);
  port.SetDeviceName(TBenchPorts::Url("REAL1"));
  port.Timeouts().SetReadConstant(50);
  port.Open();
  port.WriteByte(0x00);
  EXPECT_EQ(port.ReadByte(), 0x00);
  const auto start = TSteady::now();
  EXPECT_THROW((void)port.ReadByte(), EComError);
  const auto elapsed = TSteady::now() - start;
  EXPECT_GE(elapsed, 45ms);
  EXPECT_LT(elapsed, 1000ms);
  // Without a clock that tells the port, the purge itself must collect
  // what the device has sent by now.
  port.WriteByte(0x00);
  std::this_thread::sleep_for(20ms);
  port.PurgeInput();
  EXPECT_EQ(port.InputCount(), 0u);
  port.Close();
  TBenchPorts::Unplug("REAL1");
}

// ---- lines, purge and format ---------------------------------------------------

TEST_F(BenchPortTest, DsrFollowsTheModel) {
  auto dsr = [this] { return Dongle.ModemStatus().Contains(msDSR); };
  EXPECT_TRUE(dsr());
  EXPECT_TRUE(Server.ModemStatus().Contains(msDSR));
  EXPECT_FALSE(Dongle.ModemStatus().Contains(msCTS));
  Bench.Handheld->SwitchOn(false);
  EXPECT_FALSE(dsr());
  Bench.Handheld->SwitchOn(true);
  EXPECT_TRUE(dsr());
  // Lost 100 ms from now, for 50 ms.
  const bench::TTime now = Bench.Now();
  Bench.Dongle->Faults().LoseDsr(now + 100000, now + 150000);
  Bench.Clock.Sleep(99);
  EXPECT_TRUE(dsr());
  Bench.Clock.Sleep(1);
  EXPECT_FALSE(dsr());
  Bench.Clock.Sleep(50);
  EXPECT_TRUE(dsr());
}

TEST_F(BenchPortTest, PurgeDropsWhatTheDeviceHasSentByNow) {
  Server.WriteByte(0x00);
  Bench.Clock.Sleep(5);
  EXPECT_EQ(Server.InputCount(), 1u);
  Server.PurgeInput();
  EXPECT_EQ(Server.InputCount(), 0u);
  // An answer still on its way arrives after the purge.
  Server.WriteByte(0x00);
  Server.PurgeInput();
  EXPECT_EQ(Server.ReadByte(), 0x00);
  // Output not yet on the line is dropped: the second byte never arrives.
  Server.Write(B({0x00, 0x80}).data(), 2, false);
  Server.PurgeOutput();
  Bench.Clock.Sleep(20);
  EXPECT_EQ(Bench.Server->FromPc(), B({0x00, 0x00, 0x00}));
}

TEST_F(BenchPortTest, LineSettingsReachTheModel) {
  Server.SetBaudRate(br19200);
  EXPECT_EQ(Bench.Server->PcFormat(), (bench::TLineFormat{19200, 8, 'N', 1}));
  EXPECT_EQ(Worker.GetByte(Server), -1);
  Worker.PutByte(Server, 0x00);
  EXPECT_EQ(Worker.GetByte(Server), -1);
  Server.SetBaudRate(br9600);
  Server.SetParity(paEven);
  Server.SetStopBits(sb2);
  EXPECT_EQ(Bench.Server->PcFormat(), (bench::TLineFormat{9600, 8, 'E', 2}));
  Server.SetParity(paNone);
  Server.SetStopBits(sb1);
  Worker.PutByte(Server, 0x00);
  EXPECT_EQ(Worker.GetByte(Server), 0x00);
}

TEST_F(BenchPortTest, ProbeResetThroughThePortLines) {
  // Into the handheld link first, so that only a reset brings the
  // identification back.
  Worker.SendEcho(Dongle, B({0x80}) + std::string(16, '\x55'), "");
  EXPECT_FALSE(Bench.Dongle->Identifying());
  Dongle.FlowControl().SetDTR(dcDisable);
  Dongle.FlowControl().SetRTS(rcEnable);
  EXPECT_TRUE(Bench.Dongle->HeldInReset());
  Bench.Clock.Sleep(200);
  Dongle.FlowControl().SetDTR(dcEnable);
  Dongle.FlowControl().SetRTS(rcDisable);
  EXPECT_FALSE(Bench.Dongle->HeldInReset());
  EXPECT_EQ(Bench.Dongle->Resets(), 1);
  Bench.Clock.Sleep(100);
  Dongle.PurgeInput();
  Worker.SendEcho(Dongle, B({0x80}) + std::string(16, '\x55'), B({0x12}) + "QV0DONGLE0000001");
  EXPECT_TRUE(Worker.LinkOk);
  // Closing drops both lines, which is no reset.
  Dongle.Close();
  EXPECT_FALSE(Bench.Dongle->HeldInReset());
  EXPECT_EQ(Bench.Dongle->Resets(), 1);
}

// ---- port detection on bench set-ups ---------------------------------------------

struct TDetection {
  std::string Log;  // the message lines
  uint8_t Outcome;
  std::string DonglePort, ServerPort;
  int Probes;  // ports opened for probing ("R" entries)
};

TDetection Detect(test::TBench& bench, int dongleItem = 0, int serverItem = 0) {
  TComPort a(nullptr), b(nullptr);
  bench.Attach(a, 0);
  bench.Attach(b, 1);
  THeadlessMain main(TPortRoles{&a, &b});
  for (TComboId id : {ciCOM1, ciCOM2}) {
    main.Combos[id].Items = bench.ComboItems();
    const int item = id == ciCOM1 ? dongleItem : serverItem;
    main.Combos[id].ItemIndex = item;
    main.Combos[id].Text = main.Combos[id].Items[static_cast<size_t>(item)];
  }
  TSerThread worker(true, main, bench.Clock);
  worker.DetectPorts();
  if (worker.Outcome == ocNone) {
    worker.InitDevice(*main.Ports.SerIF2, false);
    worker.InitDevice(*main.Ports.SerIF1, true);
  }
  int probes = 0;
  for (size_t at = worker.LogText.find("R\r"); at != std::string::npos; at = worker.LogText.find("R\r", at + 1))
    ++probes;
  return {Lines(worker.LogText), worker.Outcome, main.Ports.SerIF1->DeviceName(), main.Ports.SerIF2->DeviceName(),
          probes};
}

TEST(BenchDetection, SetUps) {
  using bench::TDongle;
  using bench::TServer;
  TDongle::TConfig second;
  second.Identity = "QV0DONGLE0000002";
  TDongle::TConfig lower;
  lower.Identity = "QV0DONGLE000000a";
  struct TCase {
    const char* Name;
    std::vector<test::TBench::TSlot> Ports;
    std::string Log;
    uint8_t Outcome;
  } cases[] = {
      {"dongle and server",
       {{"COM3", std::make_shared<TDongle>()}, {"COM4", std::make_shared<TServer>()}},
       "Dongle found on COM3, #QV0DONGLE0000001, HW1.2\n"
       "Server found on COM4, #RFQVSERVER000123, HW2.0\n"
       "Quorvantis HW2.1\n",
       ocNone},
      {"server first",
       {{"COM3", std::make_shared<TServer>()}, {"COM4", std::make_shared<TDongle>()}},
       "Server found on COM3, #RFQVSERVER000123, HW2.0\n"
       "Dongle found on COM4, #QV0DONGLE0000001, HW1.2\n"
       "Quorvantis HW2.1\n",
       ocNone},
      {"second dongle",
       {{"COM3", std::make_shared<TDongle>()},
        {"COM4", std::make_shared<TDongle>(second)},
        {"COM5", std::make_shared<TServer>()}},
       "Dongle found on COM3, #QV0DONGLE0000001, HW1.2\n"
       "Second dongle found, uncertain which one to use?!\n",
       ocFailed},
      {"dongle identity with a lower-case character",
       {{"COM3", std::make_shared<TDongle>(lower)}, {"COM4", std::make_shared<TServer>()}},
       "Server found on COM4, #RFQVSERVER000123, HW2.0\n"
       "Dongle not found!\n",
       ocFailed},
      {"silent server",
       {{"COM3", std::make_shared<TDongle>()},
        {"COM4",
         [] {
           auto s = std::make_shared<TServer>();
           s->Faults().SetSilent(true);
           return s;
         }()}},
       "Dongle found on COM3, #QV0DONGLE0000001, HW1.2\n"
       "Server not found!\n",
       ocFailed},
      {"handheld's DSR present, handheld answering late",
       {{"COM3",
         [] {
           auto d = std::make_shared<TDongle>();
           d->Faults().Add(bench::LateOn(0x02, 300000));
           return d;
         }()},
        {"COM4", std::make_shared<TServer>()}},
       "Dongle found on COM3, #QV0DONGLE0000001, HW1.2\n"
       "Server found on COM4, #RFQVSERVER000123, HW2.0\n"
       "Failed to initialize Quorvantis!\n",
       ocFailed},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    test::TBench bench(c.Ports);
    const TDetection d = Detect(bench);
    EXPECT_EQ(d.Log, c.Log);
    EXPECT_EQ(d.Outcome, c.Outcome);
    if (c.Outcome == ocNone) {
      EXPECT_EQ(d.Probes, 2);
    }
  }
}

TEST(BenchDetection, ServerOnThePortChosenForTheDongle) {
  test::TBench bench;
  const TDetection d = Detect(bench, 2, 0);  // COM1Combo names COM4, the server's port
  EXPECT_EQ(d.Outcome, ocFailed);
  EXPECT_NE(d.Log.find("Dongle expected on COM4, server found instead!\n"), std::string::npos) << d.Log;
}

TEST(BenchDetection, SecondPassFindsAServerLeftInsideAFrame) {
  // A server that kept running with a frame of 63 payload bytes begun: the
  // first pass's handshake bytes are taken as payload, the second pass's
  // zeros run the frame out.
  test::TBench bench;
  bench.Server->Receive(0x7F, 0);
  const TDetection d = Detect(bench);
  EXPECT_EQ(d.Log,
            "Dongle found on COM3, #QV0DONGLE0000001, HW1.2\n"
            "Server found on COM4, #RFQVSERVER000123, HW2.0\n"
            "Quorvantis HW2.1\n");
  EXPECT_EQ(d.Outcome, ocNone);
  EXPECT_EQ(d.DonglePort, "COM3");
  EXPECT_EQ(d.ServerPort, "COM4");
  EXPECT_EQ(d.Probes, 3);  // COM3, COM4, and COM4 again in the second pass
}

TEST(BenchDetection, SecondPassFindsAServerLeftInsideItsHandshake) {
  // The 5th identity character comes too late for the first pass; the
  // server stays inside its handshake, which the second pass finishes
  // before starting its own.
  test::TBench bench;
  bench.Server->Faults().Add(bench::LateAt(8, 60000));
  const TDetection d = Detect(bench);
  EXPECT_EQ(d.Log,
            "Dongle found on COM3, #QV0DONGLE0000001, HW1.2\n"
            "Server found on COM4, #RFQVSERVER000123, HW2.0\n"
            "Quorvantis HW2.1\n");
  EXPECT_EQ(d.Outcome, ocNone);
  EXPECT_EQ(d.Probes, 3);
}

}  // namespace
}  // namespace qv
