// The network port backend over real loopback sockets: against qvbench
// (run as a child process on ports the system picks) for the settings,
// data, lines, queue and purge, and against a staged server for what only
// a misbehaving server shows: no confirmation, a refused setting, a lost
// connection, a server that stops reading.
#include "serial/rfc2217/Rfc2217Device.h"

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
#include "tests/support/Cases.h"

namespace qv {
namespace {

using test::PrintTo;

using namespace rfc2217;
using test::TBench;
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

TCommTimeouts ReadTimeouts(uint32_t interval, uint32_t multiplier, uint32_t constant) {
  TCommTimeouts t;
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  return t;
}

// Polls until the condition holds (the modem lines and the queue change
// when the server's bytes arrive, not at once).
bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 3000) {
  const auto start = TSteady::now();
  do {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  } while (MsSince(start) < timeoutMs);
  return condition();
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

// One asynchronous operation the way the port drives it.
struct TOp {
  TOp() {
    TDevStatus st;
    Event = CreateComEvent(true, true, st);
    Ov.Event = Event.get();
  }
  TDevStatus StartRead(TComDevice& dev, uint32_t n, bool waitFollows = false) {
    Buffer.assign(n, 0xEE);
    Ov.Clear();
    Event->Reset();
    Ov.Buffer = Buffer.data();
    Ov.Length = n;
    Ov.WaitFollows = waitFollows;
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

void Write(TComDevice& dev, const std::string& bytes) {
  TOp op;
  TDevStatus st = op.StartWrite(dev, bytes);
  if (st.Ok()) st = op.Finish(dev);
  EXPECT_TRUE(st.Ok()) << st.Text;
  EXPECT_EQ(op.Transferred, bytes.size());
}

std::string Read(TComDevice& dev, uint32_t n) {
  TOp op;
  TDevStatus st = op.StartRead(dev, n, true);
  if (st.Ok()) st = op.Finish(dev);
  EXPECT_TRUE(st.Ok()) << st.Text;
  return op.Got();
}

std::string AllBytes() {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  return all;
}

void ProgramSettings(TComPort& port, const std::string& name) {
  port.SetDeviceName(name);
  port.SetBaudRate(br9600);
  port.SetDataBits(db8);
  port.SetParity(paNone);
  port.SetStopBits(sb1);
  port.FlowControl().SetDTR(dcDisable);
  port.FlowControl().SetRTS(rcEnable);
  port.FlowControl().SetXOnXOff(xcDisable);
  port.Timeouts().SetReadConstant(50);
}

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
  EXPECT_TRUE(WaitFor([&] { return Modem(*dev) == c.Modem; })) << "modem word " << Modem(*dev);
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

TEST_F(NetBench, BadFormatIsRefusedBeforeTheServer) {
  auto dev = OpenOk(Url());
  ASSERT_TRUE(dev);
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  for (auto change :
       std::vector<std::function<void(TDCB&)>>{[](TDCB& d) { d.ByteSize = 4; }, [](TDCB& d) { d.ByteSize = 9; },
                                               [](TDCB& d) { d.Parity = 5; }, [](TDCB& d) { d.StopBits = 3; }}) {
    TDCB bad = dcb;
    change(bad);
    const TDevStatus st = dev->SetState(bad);
    EXPECT_EQ(st.Code, EINVAL);
    EXPECT_EQ(st.Text, "Invalid argument");
  }
  TDCB back;
  ASSERT_TRUE(dev->GetState(back).Ok());
  EXPECT_EQ(back, dcb);
}

TEST_F(NetBench, ProgramLinesThroughThePort) {
  TComPort port(nullptr);
  ProgramSettings(port, Url());
  port.Open();
  // DTR off and RTS on, looped back as DSR off and CTS on.
  EXPECT_TRUE(WaitFor([&] { return port.ModemStatus() == TModemStatus{msCTS}; }));
  port.FlowControl().SetDTR(dcEnable);
  EXPECT_TRUE(WaitFor([&] { return port.ModemStatus() == (TModemStatus{msCTS, msDSR}); }));
  port.FlowControl().SetRTS(rcDisable);
  EXPECT_TRUE(WaitFor([&] { return port.ModemStatus() == TModemStatus{msDSR}; }));
}

TEST_F(NetBench, EveryByteValueTravelsBothWays) {
  TComPort port(nullptr);
  ProgramSettings(port, Url());
  port.Timeouts().SetReadConstant(3000);
  port.Open();
  const std::string all = AllBytes() + AllBytes();
  port.Write(all.data(), static_cast<int32_t>(all.size()), true);
  std::string back(all.size(), '\0');
  port.Read(back.data(), static_cast<int32_t>(back.size()), true);
  EXPECT_EQ(back, all);
}

TEST_F(NetBench, WriteByteThenReadByteExchanges) {
  TComPort port(nullptr);
  ProgramSettings(port, Url());
  port.Open();
  for (int b : {0x00, 0xFF, 0x0D, 0xF0, 0xFA, 0x55}) {
    port.WriteByte(static_cast<uint8_t>(b));
    EXPECT_EQ(port.ReadByte(), b);
  }
}

TEST_F(NetBench, ReadByteTimesOutWithNothingReceived) {
  TComPort port(nullptr);
  ProgramSettings(port, Url());
  port.Open();
  const auto start = TSteady::now();
  try {
    port.ReadByte();
    FAIL() << "no time-out";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, 0);
    EXPECT_EQ(e.Message, "Timeout");
  }
  const int64_t ms = MsSince(start);
  EXPECT_GE(ms, 45);
  EXPECT_LT(ms, 1000);
}

TEST_F(NetBench, BytesAlreadyReceivedCompleteAReadAtOnce) {
  auto dev = OpenOk(Url());
  ASSERT_TRUE(dev);
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 5000)).Ok());
  Write(*dev, "abcdefg");
  ASSERT_TRUE(WaitFor([&] { return InQueue(*dev) == 7; }));
  TOp op;
  ASSERT_TRUE(op.StartRead(*dev, 7).Ok());
  EXPECT_FALSE(op.Ov.InProgress);
  EXPECT_TRUE(op.Event->IsSignalled());
  EXPECT_EQ(op.Got(), "abcdefg");
}

struct TTimeoutCase {
  const char* Label;
  TCommTimeouts Timeouts;
  std::string Sent;
  uint32_t Asked;
  int MinMs;
};

class NetBenchTimeout : public NetBench, public ::testing::WithParamInterface<TTimeoutCase> {};

TEST_P(NetBenchTimeout, EndsTheReadShortAfterItsTime) {
  auto dev = OpenOk(Url());
  ASSERT_TRUE(dev);
  const TTimeoutCase& c = GetParam();
  ASSERT_TRUE(dev->SetTimeouts(c.Timeouts).Ok());
  if (!c.Sent.empty()) {
    Write(*dev, c.Sent);
    ASSERT_TRUE(WaitFor([&] { return InQueue(*dev) == c.Sent.size(); }));
  }
  TOp op;
  const auto start = TSteady::now();
  ASSERT_TRUE(op.StartRead(*dev, c.Asked, true).Ok());
  EXPECT_TRUE(op.Ov.InProgress);
  ASSERT_TRUE(op.Finish(*dev).Ok());
  const int64_t ms = MsSince(start);
  EXPECT_EQ(op.Got(), c.Sent);
  EXPECT_GE(ms, c.MinMs);
  EXPECT_LT(ms, 1000);
  EXPECT_TRUE(op.Event->IsSignalled());
}

INSTANTIATE_TEST_SUITE_P(Cases, NetBenchTimeout,
                         ::testing::Values(TTimeoutCase{"ConstantWithNothing", ReadTimeouts(0, 0, 50), "", 1, 45},
                                           TTimeoutCase{"MultiplierPerAskedByte", ReadTimeouts(0, 20, 0), "a", 3, 55},
                                           TTimeoutCase{"IntervalGapAfterBytes", ReadTimeouts(50, 0, 0), "ab", 10, 45},
                                           TTimeoutCase{"MultiplierAndConstant", ReadTimeouts(0, 10, 30), "xy", 4, 65}),
                         test::TCaseName());

TEST_F(NetBench, InputCountAndPurgeInput) {
  TComPort port(nullptr);
  ProgramSettings(port, Url());
  port.Open();
  port.Write("abc", 3, true);
  EXPECT_TRUE(WaitFor([&] { return port.InputCount() == 3; }));
  port.PurgeInput();
  EXPECT_EQ(port.InputCount(), 0u);
  EXPECT_THROW(port.ReadByte(), EComError);
  // The stream goes on after the purge.
  port.WriteByte('z');
  EXPECT_EQ(port.ReadByte(), 'z');
}

TEST_F(NetBench, SecondClientFindsThePortBusy) {
  auto first = OpenOk(Url());
  ASSERT_TRUE(first);
  const TDevStatus st = OpenFails(Url());
  EXPECT_EQ(st.Code, EBUSY);
  EXPECT_EQ(st.Text, "Device or resource busy");
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
    ProgramSettings(port, "COM31");
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

TEST(NetOpen, RefusedConnectionIsAnOpenFailure) {
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(test::UnusedPort());
  const TDevStatus st = OpenFails(url);
  EXPECT_EQ(st.Code, ECONNREFUSED);
  EXPECT_EQ(st.Text, "Connection refused");
  TComPort port(nullptr);
  port.SetDeviceName(url);
  try {
    port.Open();
    FAIL() << "opened";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, ECONNREFUSED);
    EXPECT_EQ(e.Message, "Connection refused");
  }
  EXPECT_FALSE(port.Active());
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
  ASSERT_TRUE(WaitFor([&] { return InQueue(*dev) == 3; }));
  ASSERT_TRUE(dev->Purge(PURGE_RXABORT | PURGE_RXCLEAR).Ok());
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 2000)).Ok());
  EXPECT_EQ(Read(*dev, 5), "fresh");
}

TEST(NetWire, PurgeEndsAReadInProgressWithWhatCame) {
  TScriptServer server;
  auto dev = OpenOk(server.Url());
  ASSERT_TRUE(dev);
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 0)).Ok());
  server.SendData("ab");
  ASSERT_TRUE(WaitFor([&] { return InQueue(*dev) == 2; }));
  TOp op;
  ASSERT_TRUE(op.StartRead(*dev, 5).Ok());
  ASSERT_TRUE(op.Ov.InProgress);
  ASSERT_TRUE(dev->Purge(PURGE_RXABORT | PURGE_RXCLEAR).Ok());
  EXPECT_FALSE(op.Ov.InProgress);
  EXPECT_TRUE(op.Event->IsSignalled());
  ASSERT_TRUE(op.Finish(*dev).Ok());
  EXPECT_EQ(op.Got(), "ab");
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
  EXPECT_TRUE(WaitFor([&] { return Modem(*dev) == (MS_CTS_ON | MS_DSR_ON); }));
  server.SendPortCommand(cpNotifyModemState + kServerCode, mlCts | mlDeltaDsr);
  EXPECT_TRUE(WaitFor([&] { return Modem(*dev) == MS_CTS_ON; }));
  server.SendPortCommand(cpNotifyModemState + kServerCode, mlRi | mlDcd | mlDeltaCts);
  EXPECT_TRUE(WaitFor([&] { return Modem(*dev) == (MS_RING_ON | MS_RLSD_ON); }));
}

TEST(NetModem, LineStateNotificationsBecomeLineErrors) {
  TScriptServer server;
  auto dev = OpenOk(server.Url());
  ASSERT_TRUE(dev);
  server.SendPortCommand(cpNotifyLineState + kServerCode, lsFraming | lsDataReady);
  server.SendPortCommand(cpNotifyLineState + kServerCode, lsOverrun | lsParity | lsBreak);
  uint32_t errors = 0, inQueue = 0;
  EXPECT_TRUE(WaitFor([&] {
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

TEST_P(NetLoss, FailsTheWaitingReadAndEveryLaterCallAtOnce) {
  TScriptServer server;
  TComPort port(nullptr);
  ProgramSettings(port, server.Url());
  port.Timeouts().SetReadConstant(5000);
  port.Open();
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (GetParam().Reset)
      server.Reset();
    else
      server.Close();
  });
  auto expectFailure = [&](const std::function<void()>& call, const char* what) {
    const auto start = TSteady::now();
    try {
      call();
      ADD_FAILURE() << what << " did not fail";
    } catch (const EComError& e) {
      EXPECT_EQ(e.ErrorCode, GetParam().Code) << what;
      EXPECT_EQ(e.Message, GetParam().Message) << what;
    }
    EXPECT_LT(MsSince(start), 2000) << what;
  };
  expectFailure([&] { port.ReadByte(); }, "the waiting read");
  peer.join();
  expectFailure([&] { port.WriteByte(1); }, "a later write");
  expectFailure([&] { port.ReadByte(); }, "a later read");
  expectFailure([&] { port.InputCount(); }, "InputCount");
  expectFailure([&] { port.ModemStatus(); }, "ModemStatus");
  expectFailure([&] { port.FlowControl().SetDTR(dcEnable); }, "a setting");
  port.Close();
  EXPECT_FALSE(port.Active());
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

TEST(NetRead, AllTimeoutsZeroWaitsForEveryByte) {
  TScriptServer server;
  auto dev = OpenOk(server.Url());
  ASSERT_TRUE(dev);
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 0)).Ok());
  TOp op;
  ASSERT_TRUE(op.StartRead(*dev, 3, true).Ok());
  std::thread peer([&] {
    for (const char* part : {"1", "2", "3"}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      server.SendData(part);
    }
  });
  ASSERT_TRUE(op.Finish(*dev).Ok());
  peer.join();
  EXPECT_EQ(op.Got(), "123");
}

TEST(NetRead, IntervalRunsOnlyFromTheFirstByte) {
  TScriptServer server;
  auto dev = OpenOk(server.Url());
  ASSERT_TRUE(dev);
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(30, 0, 3000)).Ok());
  TOp op;
  const auto start = TSteady::now();
  ASSERT_TRUE(op.StartRead(*dev, 5, true).Ok());
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    server.SendData("x");
  });
  ASSERT_TRUE(op.Finish(*dev).Ok());
  const int64_t ms = MsSince(start);
  peer.join();
  EXPECT_EQ(op.Got(), "x");
  EXPECT_GE(ms, 145);
  EXPECT_LT(ms, 2900);
}

TEST(NetRead, DiscardNullBytesDropsReceivedZeros) {
  TScriptServer server;
  auto dev = OpenOk(server.Url());
  ASSERT_TRUE(dev);
  TDCB dcb;
  ASSERT_TRUE(dev->GetState(dcb).Ok());
  dcb.Flags |= dcbNull;
  ASSERT_TRUE(dev->SetState(dcb).Ok());
  ASSERT_TRUE(dev->SetTimeouts(ReadTimeouts(0, 0, 2000)).Ok());
  server.SendData(std::string("a\0b\0\0c", 6));
  EXPECT_EQ(Read(*dev, 3), "abc");
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
