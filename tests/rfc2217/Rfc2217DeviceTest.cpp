// The network port backend over real loopback sockets: its set-ups for the
// backends' shared suite (qvbench's echo port, the independent peer, and a
// staged server that sends, notifies and goes away when told), and what only
// it does: the option's commands on the wire, the server's settings, names,
// servers that do not confirm, refuse or leave the lines unanswered, the
// connection's end, and writes cut short in the middle of a doubled IAC.
#include "tests/support/Eventually.h"
#include "serial/rfc2217/Rfc2217Device.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "serial/PortMap.h"
#include "tests/rfc2217/NetSupport.h"
#include "tests/serial/DeviceSuite.h"
#include "tests/support/Cases.h"

namespace qv {
namespace {

using test::PrintTo;

using namespace rfc2217;
using test::ReadTimeouts;
using test::TBench;
using test::TOp;
using test::TScriptServer;
using TSteady = std::chrono::steady_clock;

int64_t MsSince(TSteady::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TSteady::now() - start).count();
}

std::unique_ptr<TComDevice> OpenOk(const std::string& url, const TRfc2217Options& options = {}) {
  std::unique_ptr<TComDevice> dev;
  TDevStatus st = TRfc2217Device::Open(url, RealClock(), dev, options);
  EXPECT_TRUE(st.Ok()) << url << ": " << st.Code << " " << st.Text;
  return dev;
}

TDevStatus OpenFails(const std::string& url, const TRfc2217Options& options = {}) {
  std::unique_ptr<TComDevice> dev;
  TDevStatus st = TRfc2217Device::Open(url, RealClock(), dev, options);
  EXPECT_EQ(dev, nullptr);
  return st;
}

TRfc2217Options Quick() {
  TRfc2217Options o;
  o.ConfirmTimeoutMs = 200;
  return o;
}

uint32_t Modem(TComDevice& dev) {
  uint32_t word = 0xDEAD;
  EXPECT_TRUE(dev.GetModemStatus(word).Ok());
  return word;
}

uint32_t InQueue(TComDevice& dev) {
  uint32_t errors = 0, inQueue = 0;
  EXPECT_TRUE(dev.ClearError(errors, inQueue).Ok());
  return inQueue;
}

void Write(TComDevice& dev, const std::string& bytes) {
  TOp op;
  EXPECT_TRUE(op.Write(dev, bytes).Ok());
  EXPECT_EQ(op.Transferred, bytes.size());
}

std::string Read(TComDevice& dev, uint32_t n) {
  TOp op;
  TDevStatus st = op.StartRead(dev, n, true);
  if (st.Ok()) st = op.Finish(dev);
  EXPECT_TRUE(st.Ok()) << st.Text;
  return op.Got();
}

// ---- the shared suite ------------------------------------------------------------

std::string NetCannot(test::TAbility what) {
  switch (what) {
    case test::abStallWrite:
      return "socket buffers take a large write at once (NetWriteCut stalls one with small buffers)";
    case test::abDenied:
      return "no permission refuses a network port";
    default:
      return {};
  }
}

// qvbench's echo port: every byte comes back, DTR loops to DSR and RTS to
// CTS; going away is qvbench killed.
class TBenchBackend final : public test::TBackend {
 public:
  std::string Cannot(test::TAbility what) const override {
    switch (what) {
      case test::abSend:
        return "qvbench's echo port only sends back what it receives";
      case test::abSeeReceived:
        return "qvbench's echo port shows what it received only by its echo";
      case test::abLines:
        return "the echo port's lines follow DTR and RTS (NetBench.ProgramLinesThroughThePort)";
      case test::abBreak:
      case test::abFramingError:
        return "the echo port reports no line state";
      default:
        return NetCannot(what);
    }
  }
  std::string PortName() override { return Bench.Url(); }
  std::string MissingName() override { return Failures.Missing(); }
  std::string ProtocolFailureName() override { return Failures.RefusingPortControl(); }
  void Send(const std::string&, int) override {}
  std::string Received(size_t, int) override { return {}; }
  void Echo() override {}
  void HangUp(int afterMs) override {
    After(afterMs, [this] { Bench.Child.Signal(SIGKILL); });
  }

  TBench Bench{{"--echo"}};
  test::TNetFailures Failures;
};

// The staged server: it sends data and notifications when told, echoes,
// and ends the connection.
class TScriptBackend final : public test::TBackend {
 public:
  std::string Cannot(test::TAbility what) const override { return NetCannot(what); }
  std::string PortName() override { return Server.Url(); }
  std::string MissingName() override { return Failures.Missing(); }
  std::string ProtocolFailureName() override { return Failures.RefusingPortControl(); }
  void Send(const std::string& bytes, int afterMs) override {
    After(afterMs, [this, bytes] { Server.SendData(bytes); });
  }
  std::string Received(size_t n, int timeoutMs) override {
    Server.WaitData(n, timeoutMs);
    return Server.Data().substr(0, n);
  }
  void Echo() override { Server.SetEcho(true); }
  void HangUp(int afterMs) override {
    After(afterMs, [this] { Server.Close(); });
  }
  void SetLines(uint32_t lines) override {
    Server.SendPortCommand(
        cpNotifyModemState + kServerCode,
        static_cast<uint8_t>(((lines & MS_CTS_ON) ? mlCts : 0) | ((lines & MS_DSR_ON) ? mlDsr : 0) |
                             ((lines & MS_RING_ON) ? mlRi : 0) | ((lines & MS_RLSD_ON) ? mlDcd : 0)));
  }
  // DTR and RTS as the port last set them (both on before it has).
  uint32_t PortLines() override {
    uint32_t lines = test::kDtr | test::kRts;
    for (const std::string& c : Server.Commands()) {
      if (c == "5 08") lines |= test::kDtr;
      if (c == "5 09") lines &= ~test::kDtr;
      if (c == "5 0B") lines |= test::kRts;
      if (c == "5 0C") lines &= ~test::kRts;
    }
    return lines;
  }
  void Break() override { Server.SendPortCommand(cpNotifyLineState + kServerCode, lsBreak); }
  void FramingError() override { Server.SendPortCommand(cpNotifyLineState + kServerCode, lsFraming); }

  // The first modem state, at open, is where the lines start.
  TScriptServer Server{[] {
    TScriptServer::TPolicy policy;
    policy.ModemState = 0;
    return policy;
  }()};
  test::TNetFailures Failures;
};

using test::Backend;

INSTANTIATE_TEST_SUITE_P(
    Net, Backend,
    ::testing::Values(test::TBackendCase{"Qvbench",
                                         [](std::string& whyNot) -> std::unique_ptr<test::TBackend> {
                                           auto b = std::make_unique<TBenchBackend>();
                                           if (b->Bench.Url().empty()) {
                                             whyNot = "qvbench did not start: " + test::QvbenchPath();
                                             return nullptr;
                                           }
                                           return b;
                                         }},
                      test::TBackendCase{"StagedServer",
                                         [](std::string&) { return std::make_unique<TScriptBackend>(); }}),
    test::TCaseName());

// ---- against qvbench ---------------------------------------------------------------

class NetBench : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FBench.Child.Started()) << test::QvbenchPath();
    ASSERT_EQ(FBench.Ports.size(), 1u);
  }
  std::string Url() const { return FBench.Url(); }
  TBench FBench{{"--echo"}};
};

TEST_F(NetBench, OpenTakesTheServersSettings) {
  auto dev = OpenOk(Url());
  ASSERT_TRUE(dev);
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
  // The server's port raised both lines when it opened for us.
  EXPECT_EQ(dcb.Flags & (dcbDtrControlMask | dcbRtsControlMask), dcbDtrEnable | dcbRtsEnable);
  EXPECT_EQ(dcb.Flags & (dcbOutX | dcbInX | dcbOutxCtsFlow), 0u);
}

struct TStateCase {
  const char* Label;
  uint32_t Baud;
  uint8_t ByteSize, Parity, StopBits;
  uint32_t Flags;
  uint32_t Modem;  // the lines the echo loops back
};

class NetBenchState : public NetBench, public ::testing::WithParamInterface<TStateCase> {};

TEST_P(NetBenchState, IsConfirmedAndReachesTheLines) {
  auto dev = OpenOk(Url());
  ASSERT_TRUE(dev);
  const TStateCase& c = GetParam();
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.BaudRate = c.Baud;
  dcb.ByteSize = c.ByteSize;
  dcb.Parity = c.Parity;
  dcb.StopBits = c.StopBits;
  dcb.Flags = dcbBinary | c.Flags;
  ASSERT_TRUE(dev->SetState(dcb).Ok());
  TDCB back;
  ASSERT_TRUE(dev->GetState(back).Ok());
  EXPECT_EQ(back.BaudRate, c.Baud);
  EXPECT_EQ(back.ByteSize, c.ByteSize);
  EXPECT_EQ(back.Parity, c.Parity);
  EXPECT_EQ(back.StopBits, c.StopBits);
  const uint32_t flow = dcbDtrControlMask | dcbRtsControlMask | dcbOutX | dcbInX | dcbOutxCtsFlow;
  EXPECT_EQ(back.Flags & flow, c.Flags & flow);
  EXPECT_TRUE(test::Eventually([&] { return Modem(*dev) == c.Modem; })) << "modem word " << Modem(*dev);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetBenchState,
    ::testing::Values(TStateCase{"Program9600_8N1_DtrOffRtsOn", 9600, 8, 0, 0, dcbDtrDisable | dcbRtsEnable, MS_CTS_ON},
                      TStateCase{"Both19200_7E2", 19200, 7, 2, 2, dcbDtrEnable | dcbRtsEnable, MS_CTS_ON | MS_DSR_ON},
                      TStateCase{"Mark5Bits1_5Stop", 115200, 5, 3, 1, dcbDtrEnable | dcbRtsDisable, MS_DSR_ON},
                      TStateCase{"SpaceBothOff", 1200, 6, 4, 0, dcbDtrDisable | dcbRtsDisable, 0},
                      TStateCase{"XonXoffBothWays", 9600, 8, 1, 0, dcbDtrEnable | dcbRtsEnable | dcbOutX | dcbInX,
                                 MS_CTS_ON | MS_DSR_ON},
                      // RTS under handshake goes as inbound flow control; the line stays
                      // as the port's open left it.
                      TStateCase{"HardwareHandshake", 9600, 8, 0, 0, dcbDtrEnable | dcbRtsHandshake | dcbOutxCtsFlow,
                                 MS_CTS_ON | MS_DSR_ON}),
    test::TCaseName());

TEST_F(NetBench, ProgramLinesThroughThePort) {
  TComPort port(nullptr);
  test::ProgramSettings(port, Url(), 50);
  port.Open();
  // DTR off and RTS on, looped back as DSR off and CTS on.
  EXPECT_TRUE(test::Eventually([&] { return port.ModemStatus() == TModemStatus{msCTS}; }));
  port.FlowControl().SetDTR(dcEnable);
  EXPECT_TRUE(test::Eventually([&] { return port.ModemStatus() == (TModemStatus{msCTS, msDSR}); }));
  port.FlowControl().SetRTS(rcDisable);
  EXPECT_TRUE(test::Eventually([&] { return port.ModemStatus() == TModemStatus{msDSR}; }));
}

TEST_F(NetBench, PortMapNameStandsForTheNetworkPort) {
  namespace fs = std::filesystem;
  const TComEnumConfig saved = ComEnumConfig();
  const fs::path file = fs::temp_directory_path() / ("qvnet-" + std::to_string(getpid()) + ".ports");
  std::ofstream(file) << "COM31=" << Url() << "\n";
  TComEnumConfig config = saved;
  config.PortMapPath = file.string();
  SetComEnumConfig(config);
  {
    TComPort port(nullptr);
    test::ProgramSettings(port, "COM31", 50);
    port.Open();
    port.WriteByte(0x80);
    EXPECT_EQ(port.ReadByte(), 0x80);
  }
  SetComEnumConfig(saved);
  fs::remove(file);
}

// ---- against a staged server ----------------------------------------------------------

struct TNameCase {
  const char* Label;
  const char* Name;
};

class NetBadName : public ::testing::TestWithParam<TNameCase> {};

TEST_P(NetBadName, IsRefusedAtOpen) {
  const TDevStatus st = OpenFails(GetParam().Name);
  EXPECT_EQ(st.Code, 0);
  EXPECT_EQ(st.Kind, ekNotFound);
  EXPECT_EQ(st.Text, "Not a network port name");
}

INSTANTIATE_TEST_SUITE_P(Cases, NetBadName,
                         ::testing::Values(TNameCase{"NothingAfterTheScheme", "rfc2217://"},
                                           TNameCase{"NoPort", "rfc2217://127.0.0.1"},
                                           TNameCase{"NoHost", "rfc2217://:7031"},
                                           TNameCase{"PortZero", "rfc2217://127.0.0.1:0"},
                                           TNameCase{"PortTooLarge", "rfc2217://127.0.0.1:65536"},
                                           TNameCase{"PortNotANumber", "rfc2217://127.0.0.1:70x1"},
                                           TNameCase{"BareIpv6", "rfc2217://::1:7031"},
                                           TNameCase{"BracketWithoutPort", "rfc2217://[::1]7031"},
                                           TNameCase{"PathAfterThePort", "rfc2217://127.0.0.1:7031/x"}),
                         test::TCaseName());

TEST(NetName, HostAndPortAreTakenApart) {
  std::string host, port;
  ASSERT_TRUE(ParseRfc2217Name("rfc2217://127.0.0.1:7031", host, port));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, "7031");
  ASSERT_TRUE(ParseRfc2217Name("rfc2217://[::1]:65535", host, port));
  EXPECT_EQ(host, "::1");
  EXPECT_EQ(port, "65535");
  ASSERT_TRUE(ParseRfc2217Name("rfc2217://bench.local:1", host, port));
  EXPECT_EQ(host, "bench.local");
}

TEST(NetOpen, RegisteredSchemeReachesTheBackend) {
  TScriptServer server;
  std::unique_ptr<TComDevice> dev;
  ASSERT_TRUE(OpenComDevice(server.Url(), RealClock(), dev).Ok());
  EXPECT_NE(dynamic_cast<TRfc2217Device*>(dev.get()), nullptr);
}

TEST(NetOpen, ServerThatNeverConfirmsFailsTheOpen) {
  TScriptServer::TPolicy policy;
  policy.AnswerPortCommands = false;
  TScriptServer server(policy);
  const auto start = TSteady::now();
  const TDevStatus st = OpenFails(server.Url(), Quick());
  const int64_t ms = MsSince(start);
  EXPECT_EQ(st.Code, 0);
  EXPECT_EQ(st.Kind, ekTimeout);
  EXPECT_EQ(st.Text, "The port server did not confirm the request");
  EXPECT_GE(ms, 190);
  EXPECT_LT(ms, 2000);
}

TEST(NetOpen, ServerWithoutPortControlIsRefused) {
  TScriptServer::TPolicy policy;
  policy.RefusePortOption = true;
  TScriptServer server(policy);
  const TDevStatus st = OpenFails(server.Url(), Quick());
  EXPECT_EQ(st.Code, 0);
  EXPECT_EQ(st.Kind, ekProtocol);
  EXPECT_EQ(st.Text, "The server does not offer port control");
}

TEST(NetOpen, ServerThatClosesAtOnceHasThePortTaken) {
  TScriptServer::TPolicy policy;
  policy.CloseAtOnce = true;
  TScriptServer server(policy);
  const TDevStatus st = OpenFails(server.Url(), Quick());
  EXPECT_EQ(st.Code, EBUSY);
  EXPECT_EQ(st.Text, "Device or resource busy");
}

TEST(NetWire, OpenAndSettingsSendTheCommandsInOrder) {
  TScriptServer server;
  auto dev = OpenOk(server.Url());
  ASSERT_TRUE(dev);
  // The lines and the masks of what is reported, then the current settings.
  const std::vector<std::string> atOpen = {"5 07", "5 0A", "11 FF", "10 1E", "1 00000000",
                                           "2 00", "3 00", "4 00",  "5 00"};
  EXPECT_EQ(server.Commands(), atOpen);
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.BaudRate = 9600;
  dcb.Flags = (dcb.Flags & ~(dcbDtrControlMask | dcbRtsControlMask)) | dcbDtrDisable | dcbRtsEnable;
  ASSERT_TRUE(dev->SetState(dcb).Ok());
  std::vector<std::string> expected = atOpen;
  for (const char* c : {"1 00002580", "2 08", "3 01", "4 01", "5 01", "5 09", "5 0B"}) expected.push_back(c);
  EXPECT_EQ(server.Commands(), expected);
  // Inbound flow control goes only when it changes; RTS under handshake
  // goes as inbound flow and not as a line.
  dcb.Flags = (dcb.Flags & ~dcbRtsControlMask) | dcbRtsHandshake;
  ASSERT_TRUE(dev->SetState(dcb).Ok());
  for (const char* c : {"1 00002580", "2 08", "3 01", "4 01", "5 01", "5 10", "5 09"}) expected.push_back(c);
  EXPECT_EQ(server.Commands(), expected);
  ASSERT_TRUE(dev->Purge(PURGE_RXABORT | PURGE_RXCLEAR).Ok());
  ASSERT_TRUE(dev->Purge(PURGE_TXABORT | PURGE_TXCLEAR).Ok());
  ASSERT_TRUE(dev->Purge(PURGE_RXABORT | PURGE_TXABORT).Ok());  // aborts alone ask the server nothing
  for (const char* c : {"12 01", "12 02"}) expected.push_back(c);
  EXPECT_EQ(server.Commands(), expected);
  EXPECT_TRUE(server.Errors().empty());
}

TEST(NetWire, SettingNeverConfirmedFails) {
  TScriptServer::TPolicy policy;
  policy.Answer = [](uint8_t command, const std::string& value, std::string&) {
    return command == cpSetBaudRate && Be32(reinterpret_cast<const uint8_t*>(value.data())) != 0;
  };
  TScriptServer server(policy);
  auto dev = OpenOk(server.Url(), Quick());
  ASSERT_TRUE(dev);
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.BaudRate = 19200;
  const auto start = TSteady::now();
  const TDevStatus st = dev->SetState(dcb);
  const int64_t ms = MsSince(start);
  EXPECT_EQ(st.Code, 0);
  EXPECT_EQ(st.Kind, ekTimeout);
  EXPECT_EQ(st.Text, "The port server did not confirm the request");
  EXPECT_GE(ms, 190);
  EXPECT_LT(ms, 2000);
  TDCB back;
  ASSERT_TRUE(dev->GetState(back).Ok());
  EXPECT_EQ(back.BaudRate, 9600u);
}

TEST(NetWire, SettingAnsweredWithAnotherValueIsRefused) {
  TScriptServer::TPolicy policy;
  policy.Answer = [](uint8_t command, const std::string& value, std::string& wire) {
    if (command != cpSetDataSize || value != std::string(1, '\x07')) return false;
    AppendPortCommand(wire, cpSetDataSize + kServerCode, 8);
    return true;
  };
  TScriptServer server(policy);
  auto dev = OpenOk(server.Url());
  ASSERT_TRUE(dev);
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.ByteSize = 7;
  const TDevStatus st = dev->SetState(dcb);
  EXPECT_EQ(st.Code, 0);
  EXPECT_EQ(st.Kind, ekUnsupported);
  EXPECT_EQ(st.Text, "The port server refused the setting");
  TDCB back;
  ASSERT_TRUE(dev->GetState(back).Ok());
  EXPECT_EQ(back.ByteSize, 8);
}

// Servers that never confirm DTR and RTS. One that answers the line queries
// with the query itself cannot tell the lines (ser2net in front of a
// device without them): the open's update goes on without them. Once the
// port is open, a change of a line fails on every such server.
struct TLineServerCase {
  const char* Label;
  bool ShowsLines;         // answers the line queries with the lines' state
  const char* OpenUpdate;  // result of the open's update (DTR off, RTS on)
};

class NetLineControl : public ::testing::TestWithParam<TLineServerCase> {};

TEST_P(NetLineControl, UnconfirmedLinesNeverPassForDone) {
  TScriptServer::TPolicy policy;
  const bool shows = GetParam().ShowsLines;
  policy.Answer = [shows](uint8_t command, const std::string& value, std::string& wire) {
    if (command != cpSetControl || ControlGroup(static_cast<uint8_t>(value[0])) == cgOutboundFlow) return false;
    const auto v = static_cast<uint8_t>(value[0]);
    if (v == ctRequestDtr || v == ctRequestRts)
      AppendPortCommand(wire, cpSetControl + kServerCode, shows ? static_cast<uint8_t>(v + 1) : v);
    return true;  // line changes: no answer
  };
  TScriptServer server(policy);
  auto dev = OpenOk(server.Url(), Quick());
  ASSERT_TRUE(dev);
  auto result = [](const TDevStatus& st) { return st.Ok() ? std::string("ok") : st.Text; };
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.Flags = (dcb.Flags & ~(dcbDtrControlMask | dcbRtsControlMask)) | dcbDtrDisable | dcbRtsEnable;
  auto start = TSteady::now();
  ASSERT_EQ(result(dev->SetState(dcb)), GetParam().OpenUpdate);
  if (shows) return;
  EXPECT_LT(MsSince(start), 150);
  dcb.BaudRate = 19200;  // the lines go again, unchanged
  EXPECT_EQ(result(dev->SetState(dcb)), "ok");
  TDCB raised = dcb;
  raised.Flags = (raised.Flags & ~dcbDtrControlMask) | dcbDtrEnable;
  start = TSteady::now();
  EXPECT_EQ(result(dev->SetState(raised)), "The port server did not confirm the change of DTR or RTS");
  EXPECT_GE(MsSince(start), 190);
  // Still usable with the lines as they were.
  dcb.BaudRate = 4800;
  EXPECT_EQ(result(dev->SetState(dcb)), "ok");
  EXPECT_TRUE(server.Errors().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, NetLineControl,
                         ::testing::Values(TLineServerCase{"CannotTellTheLines", false, "ok"},
                                           TLineServerCase{"ShowsTheLines", true,
                                                           "The port server did not confirm the change of DTR or RTS"}),
                         [](const auto& p) { return std::string(p.param.Label); });

TEST(NetWire, ReceivePurgeDropsWhatCameBeforeItsAnswer) {
  TScriptServer::TPolicy policy;
  policy.Answer = [](uint8_t command, const std::string& value, std::string& wire) {
    if (command != cpPurgeData) return false;
    const std::string stale = "stale", fresh = "fresh";
    AppendData(wire, reinterpret_cast<const uint8_t*>(stale.data()), stale.size());
    AppendPortCommand(wire, cpPurgeData + kServerCode, static_cast<uint8_t>(value[0]));
    AppendData(wire, reinterpret_cast<const uint8_t*>(fresh.data()), fresh.size());
    return true;
  };
  TScriptServer server(policy);
  auto dev = OpenOk(server.Url());
  ASSERT_TRUE(dev);
  server.SendData("old");
  ASSERT_TRUE(test::Eventually([&] { return InQueue(*dev) == 3; }));
  ASSERT_TRUE(dev->Purge(PURGE_RXABORT | PURGE_RXCLEAR).Ok());
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 2000)).Ok());
  EXPECT_EQ(Read(*dev, 5), "fresh");
}

TEST(NetModem, NoNotificationMeansNoLines) {
  TScriptServer server;  // never notifies
  auto dev = OpenOk(server.Url());
  ASSERT_TRUE(dev);
  EXPECT_EQ(Modem(*dev), 0u);
  EXPECT_FALSE(static_cast<TRfc2217Device&>(*dev).ModemStateKnown());
}

TEST(NetModem, FirstNotificationIsTheInitialStateAndLaterOnesFollow) {
  TScriptServer::TPolicy policy;
  policy.ModemState = mlCts | mlDsr;
  TScriptServer server(policy);
  auto dev = OpenOk(server.Url());
  ASSERT_TRUE(dev);
  // Sent with the answer to the mask, which the open waits for.
  EXPECT_TRUE(test::Eventually([&] { return Modem(*dev) == (MS_CTS_ON | MS_DSR_ON); }));
  server.SendPortCommand(cpNotifyModemState + kServerCode, mlCts | mlDeltaDsr);
  EXPECT_TRUE(test::Eventually([&] { return Modem(*dev) == MS_CTS_ON; }));
  server.SendPortCommand(cpNotifyModemState + kServerCode, mlRi | mlDcd | mlDeltaCts);
  EXPECT_TRUE(test::Eventually([&] { return Modem(*dev) == (MS_RING_ON | MS_RLSD_ON); }));
}

TEST(NetModem, LineStateNotificationsBecomeLineErrors) {
  TScriptServer server;
  auto dev = OpenOk(server.Url());
  ASSERT_TRUE(dev);
  server.SendPortCommand(cpNotifyLineState + kServerCode, lsFraming | lsDataReady);
  server.SendPortCommand(cpNotifyLineState + kServerCode, lsOverrun | lsParity | lsBreak);
  uint32_t errors = 0, inQueue = 0;
  EXPECT_TRUE(test::Eventually([&] {
    uint32_t e = 0;
    EXPECT_TRUE(dev->ClearError(e, inQueue).Ok());
    errors |= e;
    return errors == (CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_BREAK);
  }));
  ASSERT_TRUE(dev->ClearError(errors, inQueue).Ok());
  EXPECT_EQ(errors, 0u);  // given once, then cleared
}

struct TLossCase {
  const char* Label;
  bool Reset;
  int32_t Code;
  const char* Message;
};

class NetLoss : public ::testing::TestWithParam<TLossCase> {};

// The shared suite ends connections with the end of stream; the code and
// text say which end it was.
TEST_P(NetLoss, TheWaitingReadAndTheNextWriteGiveTheConnectionsCode) {
  TScriptServer server;
  auto dev = OpenOk(server.Url());
  ASSERT_TRUE(dev);
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 5000)).Ok());
  TOp op;
  ASSERT_TRUE(op.StartRead(*dev, 1, true).Ok());
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (GetParam().Reset)
      server.Reset();
    else
      server.Close();
  });
  for (TDevStatus st : {op.Finish(*dev), TOp().Write(*dev, "x")}) {
    EXPECT_EQ(st.Code, GetParam().Code);
    EXPECT_EQ(st.Text, GetParam().Message);
    EXPECT_EQ(st.Kind, ekDeviceLost);
  }
  peer.join();
}

INSTANTIATE_TEST_SUITE_P(Cases, NetLoss,
                         ::testing::Values(TLossCase{"EndOfStream", false, EIO, "Input/output error"},
                                           TLossCase{"Reset", true, ECONNRESET, "Connection reset by peer"}),
                         test::TCaseName());

TEST(NetLossIdle, EndWhileNothingWaitsFailsTheNextWrite) {
  TScriptServer server;
  auto dev = OpenOk(server.Url());
  ASSERT_TRUE(dev);
  server.Close();
  // Give the end of stream time to arrive; nothing reads meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  TOp op;
  const TDevStatus st = op.StartWrite(*dev, "x");
  EXPECT_EQ(st.Code, EIO);
  EXPECT_FALSE(op.Ov.InProgress);
  EXPECT_TRUE(op.Event->IsSignalled());
}

TEST(NetLossIdle, BytesReceivedBeforeTheEndAreStillRead) {
  TScriptServer server;
  auto dev = OpenOk(server.Url());
  ASSERT_TRUE(dev);
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 2000)).Ok());
  server.SendData("last");
  server.Close();
  EXPECT_EQ(Read(*dev, 4), "last");
  TOp op;
  TDevStatus st = op.StartRead(*dev, 1, true);
  if (st.Ok()) st = op.Finish(*dev);
  EXPECT_EQ(st.Code, EIO);
}

// Small socket buffers on both sides, so that a server that stops reading
// holds the writer up after a few kilobytes.
std::unique_ptr<TComDevice> OpenSmallBuffers(TScriptServer& server) {
  auto dev = OpenOk(server.Url());
  if (!dev) return dev;
  const int size = 4096;
  setsockopt(static_cast<TRfc2217Device&>(*dev).Fd(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  return dev;
}

TScriptServer::TPolicy SmallReceiveBuffer() {
  TScriptServer::TPolicy policy;
  policy.ReceiveBuffer = 4096;
  return policy;
}

class NetWriteCut : public ::testing::TestWithParam<int> {};

// Every other byte an IAC, which goes twice on the wire: wherever the
// socket stops taking bytes, the cut must not leave half of one behind.
// The lead-in shifts the pattern against the socket's buffer boundary, so
// that among the cases one stops in the middle of a doubled IAC.
TEST_P(NetWriteCut, TimedOutWriteSendsNoMoreThanItCounts) {
  TScriptServer server(SmallReceiveBuffer());
  auto dev = OpenSmallBuffers(server);
  ASSERT_TRUE(dev);
  server.SetReading(false);
  TCommTimeouts t;
  t.WriteTotalTimeoutConstant = 100;
  ASSERT_TRUE(dev->SetTimeouts(t).Ok());
  std::string big(static_cast<size_t>(GetParam()), 'y');
  for (size_t i = 0; i < (1u << 20); ++i) big.push_back(static_cast<char>(i % 2 ? 0xFF : i % 251));
  TOp op;
  const auto start = TSteady::now();
  ASSERT_TRUE(op.StartWrite(*dev, big).Ok());
  ASSERT_TRUE(op.Ov.InProgress) << "the socket took everything at once";
  ASSERT_TRUE(op.Finish(*dev).Ok());
  const int64_t ms = MsSince(start);
  EXPECT_LT(op.Transferred, big.size());
  EXPECT_GT(op.Transferred, 0u);
  EXPECT_GE(ms, 95);
  EXPECT_LT(ms, 3000);
  server.SetReading(true);
  // What the server gets is exactly the part counted, and the stream goes on.
  Write(*dev, "end");
  const size_t expected = op.Transferred + 3;
  EXPECT_TRUE(server.WaitData(expected, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string got = server.Data();
  ASSERT_EQ(got.size(), expected);
  EXPECT_TRUE(got.compare(0, op.Transferred, big, 0, op.Transferred) == 0);
  EXPECT_EQ(got.substr(op.Transferred), "end");
  EXPECT_TRUE(server.Errors().empty());
}

INSTANTIATE_TEST_SUITE_P(LeadIn, NetWriteCut, ::testing::Values(0, 1, 2));

TEST(NetWrite, TransmitPurgeEndsAStuckWrite) {
  TScriptServer server(SmallReceiveBuffer());
  auto dev = OpenSmallBuffers(server);
  ASSERT_TRUE(dev);
  server.SetReading(false);
  const std::string big(1 << 20, 'z');
  TOp op;
  ASSERT_TRUE(op.StartWrite(*dev, big).Ok());
  ASSERT_TRUE(op.Ov.InProgress);
  // The purge's own command must get through the queue, so the server reads
  // again before it is asked.
  server.SetReading(true);
  ASSERT_TRUE(dev->Purge(PURGE_TXABORT | PURGE_TXCLEAR).Ok());
  EXPECT_FALSE(op.Ov.InProgress);
  EXPECT_LT(op.Ov.Transferred, big.size());
  EXPECT_TRUE(server.WaitCommands(10, 5000));
  EXPECT_EQ(server.Commands().back(), "12 02");
  EXPECT_EQ(server.Data().size(), op.Ov.Transferred);
}

}  // namespace
}  // namespace qv
