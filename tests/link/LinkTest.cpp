// The worker's byte exchange over real pseudo-terminals: the port under test
// opens the slave, a scripted device answers on the master, and every case
// checks the bytes that reached the device, the transcript and the state
// the worker is left in.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "procedure/MainIntf.h"
#include "procedure/SerThread.h"
#include "serial/ComPort.h"
#include "tests/support/Pty.h"
#include "tests/support/Cases.h"

namespace qv {
namespace {

using test::PrintTo;

using test::TPty;
using TMs = std::chrono::milliseconds;

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// Bytes as hex, so that a failing comparison of wire bytes reads well.
std::string Hex(const std::string& s) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (char c : s) {
    const auto b = static_cast<uint8_t>(c);
    if (!out.empty()) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// One step of a device script: the byte the device expects next and what it
// answers (empty: it stays silent). Before runs on the device's thread when
// that byte has arrived, ahead of the answer.
struct TStep {
  uint8_t In;
  std::string Out;
  std::function<void()> Before = {};
};

// A device that follows a script byte by byte. After the first byte that
// differs from the script it answers nothing more, so a deviation shows as
// a time-out in the worker and as extra bytes on the wire.
class TScriptedDevice {
public:
  explicit TScriptedDevice(TPty& pty) : FPty(pty) {}
  ~TScriptedDevice() { FPty.StopResponder(); }
  TScriptedDevice(const TScriptedDevice&) = delete;
  TScriptedDevice& operator=(const TScriptedDevice&) = delete;

  void Start(std::vector<TStep> script) {
    FPty.StopResponder();
    FScript = std::move(script);
    FNext = 0;
    FDeviated = false;
    FBase = FPty.Received().size();
    FPty.StartResponder([this](uint8_t b) -> std::optional<std::string> {
      if (FDeviated || FNext >= FScript.size() || FScript[FNext].In != b) {
        FDeviated = true;
        return std::nullopt;
      }
      TStep& step = FScript[FNext++];
      if (step.Before) step.Before();
      return step.Out;
    });
  }

  // Stops the device and gives every byte the port sent since Start,
  // including those the device had not read yet.
  std::string Finish() {
    FPty.StopResponder();
    return FPty.Received().substr(FBase) + FPty.ReadMaster(4096, 30);
  }

  // The bytes the script expects, in order: what the wire must carry when
  // the worker follows it to the end.
  std::string ScriptedWire() const {
    std::string s;
    for (const TStep& step : FScript) s += static_cast<char>(step.In);
    return s;
  }

private:
  TPty& FPty;
  std::vector<TStep> FScript;
  size_t FNext = 0;
  bool FDeviated = false;
  size_t FBase = 0;
};

// The version query of the worked example: payload 0x00 with the flag set,
// and a server holding the version bytes 0x24 0x0F.
std::vector<TStep> VersionQueryScript() {
  return {{0x41, B({0x01})}, {0x00, B({0x03})}, {0x84, B({0x42})},
          {0xC2, B({0x24})}, {0xC3, B({0x0F})}, {0xC1, B({0x60})}};
}

const char* const kVersionQueryLog = "2<65\r2>1\r2<0\r2>3\r2<132\r2>66\r2<194\r2>36\r2<195\r2>15\r2<193\r2>96\r";

// Two ports on two pseudo-terminals with the window's line settings and the
// probing time-out: Dongle (Tag 0, digit 1) and Server (Tag 1, digit 2) in
// their usual roles.
class LinkTest : public ::testing::Test {
protected:
  void SetUp() override {
    Configure(Dongle, DonglePty, 0);
    Configure(Server, ServerPty, 1);
    Worker.LinkOk = true;
  }

  static void Configure(TComPort& port, TPty& pty, intptr_t tag) {
    port.Tag = tag;
    port.SetDeviceName(pty.SlavePath());
    port.SetBaudRate(br9600);
    port.SetDataBits(db8);
    port.SetParity(paNone);
    port.SetStopBits(sb1);
    port.Timeouts().SetReadConstant(50);
    port.Open();
  }

  // Waits until the port's receive queue holds n bytes.
  static bool WaitInput(TComPort& port, uint32_t n) {
    const auto deadline = std::chrono::steady_clock::now() + TMs(2000);
    while (std::chrono::steady_clock::now() < deadline) {
      if (port.InputCount() >= n) return true;
      std::this_thread::sleep_for(TMs(1));
    }
    return false;
  }

  TPty DonglePty, ServerPty;
  TScriptedDevice DongleDevice{DonglePty}, ServerDevice{ServerPty};
  TComPort Dongle{nullptr}, Server{nullptr};
  THeadlessMain Main{TPortRoles{&Dongle, &Server}};
  // Created suspended and never started: the test thread runs its steps.
  TSerThread Worker{true, Main};
};

// ---- PutByte and GetByte ---------------------------------------------------

TEST_F(LinkTest, PutByteWritesAndTracesWithTheComponentsDigit) {
  EXPECT_TRUE(Worker.PutByte(Server, 0x41));
  EXPECT_TRUE(Worker.PutByte(Dongle, 0xFF));
  EXPECT_TRUE(Worker.PutByte(Dongle, 0x00));
  EXPECT_EQ(Worker.LogText, "2<65\r1<255\r1<0\r");
  EXPECT_EQ(Hex(ServerPty.ReadMaster(1)), "41");
  EXPECT_EQ(Hex(DonglePty.ReadMaster(2)), "FF 00");
}

TEST_F(LinkTest, PutByteOnAClosedPortIsTracedWithAnExclamationMark) {
  Dongle.Close();
  EXPECT_FALSE(Worker.PutByte(Dongle, 5));
  EXPECT_EQ(Worker.LogText, "!1<5\r");
  // What the worker swallowed there:
  try {
    Dongle.WriteByte(5);
    ADD_FAILURE() << "WriteByte on a closed port did not raise";
  } catch (const EComError& e) {
    EXPECT_EQ(e.Message, "Can't perform this operation on a closed port");
    EXPECT_EQ(e.ErrorCode, 0);
  }
}

TEST_F(LinkTest, GetByteOnAClosedPortGivesMinusOne) {
  Dongle.Close();
  EXPECT_EQ(Worker.GetByte(Dongle), -1);
  EXPECT_EQ(Worker.LogText, "1>-1\r");
}

TEST_F(LinkTest, GetByteReadsTheAnswerAndTracesIt) {
  ServerPty.WriteMaster(B({0x2A}));
  EXPECT_EQ(Worker.GetByte(Server), 0x2A);
  DonglePty.WriteMaster(B({0xFE}));
  EXPECT_EQ(Worker.GetByte(Dongle), 0xFE);
  EXPECT_EQ(Worker.LogText, "2>42\r1>254\r");
}

TEST_F(LinkTest, GetByteFromASilentDeviceTimesOutAndTracesMinusOne) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Worker.GetByte(Server), -1);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, TMs(45));
  EXPECT_LT(elapsed, TMs(1000));
  EXPECT_EQ(Worker.LogText, "2>-1\r");
}

TEST_F(LinkTest, ReadByteFromASilentDeviceRaisesTimeout) {
  const auto start = std::chrono::steady_clock::now();
  try {
    (void)Server.ReadByte();
    ADD_FAILURE() << "ReadByte returned without a byte";
  } catch (const EComError& e) {
    EXPECT_EQ(e.Message, "Timeout");
    EXPECT_EQ(e.ErrorCode, 0);
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, TMs(45));
  EXPECT_LT(elapsed, TMs(1000));
}

TEST_F(LinkTest, GetByteWithTwoBytesWaitingFailsAndLeavesThemQueued) {
  ServerPty.WriteMaster(B({0x01, 0x02}));
  ASSERT_TRUE(WaitInput(Server, 2));
  EXPECT_EQ(Worker.GetByte(Server), -1);
  EXPECT_EQ(Server.InputCount(), 2u);
  EXPECT_EQ(Worker.GetByte(Server), -1);
  EXPECT_EQ(Server.InputCount(), 2u);
  EXPECT_EQ(Worker.LogText, "2>-1\r2>-1\r");
  // Purging the input brings the port back into step.
  Server.PurgeInput();
  EXPECT_EQ(Server.InputCount(), 0u);
  ServerPty.WriteMaster(B({0x07}));
  EXPECT_EQ(Worker.GetByte(Server), 7);
  EXPECT_EQ(Worker.LogText, "2>-1\r2>-1\r2>7\r");
}

// ---- the exchange gate -------------------------------------------------------

TEST_F(LinkTest, ClosedGateMovesNoByteAndWritesNoEntry) {
  DongleDevice.Start({});
  ServerDevice.Start({});
  ServerPty.WriteMaster(B({0x07}));
  ASSERT_TRUE(WaitInput(Server, 1));
  Worker.Reply = "old";
  Worker.Terminate();

  EXPECT_FALSE(Worker.PutByte(Dongle, 5));
  EXPECT_EQ(Worker.GetByte(Server), -1);
  Worker.SendEcho(Dongle, "AB", "AB");
  EXPECT_EQ(Worker.ServerCommand(B({0x00}), true), "");

  EXPECT_EQ(Worker.LogText, "");
  EXPECT_EQ(Worker.Reply, "old");
  EXPECT_TRUE(Worker.LinkOk);
  EXPECT_EQ(Server.InputCount(), 1u) << "GetByte consumed the waiting byte";
  EXPECT_EQ(Hex(DongleDevice.Finish()), "");
  EXPECT_EQ(Hex(ServerDevice.Finish()), "");
}

TEST_F(LinkTest, FinishingHoldsTheGateOpenAfterTermination) {
  Worker.Terminate();
  Worker.Finishing = true;
  DongleDevice.Start({{0x41, "a"}});
  ServerDevice.Start(VersionQueryScript());

  EXPECT_TRUE(Worker.PutByte(Dongle, 0x41));
  EXPECT_EQ(Worker.GetByte(Dongle), 'a');
  Worker.LogText.clear();
  EXPECT_EQ(Hex(Worker.ServerCommand(B({0x00}), true)), "42 24 0F");
  EXPECT_TRUE(Worker.LinkOk);
  EXPECT_EQ(Worker.LogText, kVersionQueryLog);
  EXPECT_EQ(Hex(ServerDevice.Finish()), Hex(ServerDevice.ScriptedWire()));
}

TEST_F(LinkTest, TerminationDuringThePollLoopFailsTheCommand) {
  std::vector<TStep> script = VersionQueryScript();
  script[3].Before = [this] { Worker.Terminate(); };  // on the first poll
  script.resize(4);
  ServerDevice.Start(script);

  EXPECT_EQ(Worker.ServerCommand(B({0x00}), true), "");
  EXPECT_FALSE(Worker.LinkOk);
  // Neither the second poll nor the end byte goes out.
  EXPECT_EQ(Hex(ServerDevice.Finish()), "41 00 84 C2");
  EXPECT_EQ(Worker.LogText.find("2<195\r"), std::string::npos);
  EXPECT_EQ(Worker.LogText.find("2<193\r"), std::string::npos);
}

// ---- SendEcho ----------------------------------------------------------------

struct TEchoCase {
  const char* Name;
  std::string Text;
  std::string Expected;
  std::vector<TStep> Script;  // also the bytes the wire must carry
  bool LinkOkBefore;
  std::string Reply;
  bool LinkOk;
  std::string Log;
};

class SendEchoTest : public LinkTest, public ::testing::WithParamInterface<TEchoCase> {};

TEST_P(SendEchoTest, ExchangesOneByteAtATime) {
  const TEchoCase& c = GetParam();
  DongleDevice.Start(c.Script);
  Worker.LinkOk = c.LinkOkBefore;
  Worker.Reply = "old";
  Worker.SendEcho(Dongle, c.Text, c.Expected);
  EXPECT_EQ(Hex(Worker.Reply), Hex(c.Reply));
  EXPECT_EQ(Worker.LinkOk, c.LinkOk);
  EXPECT_EQ(Worker.LogText, c.Log);
  EXPECT_EQ(Hex(DongleDevice.Finish()), Hex(DongleDevice.ScriptedWire()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SendEchoTest,
    ::testing::Values(
        TEchoCase{"MatchingAnswerKeepsLinkOk", "AB", "ab", {{'A', "a"}, {'B', "b"}}, true, "ab", true,
                  "1<65\r1>97\r1<66\r1>98\r"},
        TEchoCase{"WrongAnswerClearsLinkOk", "AB", "ab", {{'A', "a"}, {'B', "c"}}, true, "ac", false,
                  "1<65\r1>97\r1<66\r1>99\r"},
        TEchoCase{"NoExpectedStringMakesNoComparison", "AB", "", {{'A', "x"}, {'B', "y"}}, true, "xy", true,
                  "1<65\r1>120\r1<66\r1>121\r"},
        TEchoCase{"SilentDeviceWithoutExpectedKeepsLinkOk", "AB", "", {{'A', ""}}, true, "", true,
                  "1<65\r1>-1\r"},
        TEchoCase{"SilentDeviceWithExpectedClearsLinkOk", "AB", "ab", {{'A', ""}}, true, "", false,
                  "1<65\r1>-1\r"},
        TEchoCase{"AnswerMissingMidwayStopsAndClearsReply", "ABC", "", {{'A', "a"}, {'B', ""}}, true, "", true,
                  "1<65\r1>97\r1<66\r1>-1\r"},
        TEchoCase{"ShortTextAgainstLongerExpectedFails", "A", "ab", {{'A', "a"}}, true, "a", false,
                  "1<65\r1>97\r"},
        TEchoCase{"EnteredWithLinkOkFalseSendsNothing", "AB", "", {}, false, "", false, ""},
        TEchoCase{"EmptyTextSendsNothing", "", "", {}, true, "", true, ""}),
    test::TCaseName());

TEST_F(LinkTest, SendEchoWithAFailedWriteClearsLinkOk) {
  Dongle.Close();
  Worker.SendEcho(Dongle, "AB", "");
  EXPECT_FALSE(Worker.LinkOk);
  EXPECT_EQ(Worker.Reply, "");
  EXPECT_EQ(Worker.LogText, "!1<65\r");
}

TEST_F(LinkTest, SendEchoAndServerCommandDoNothingOnceAnOutcomeIsSet) {
  for (int outcome : {1, 128, 129}) {
    SCOPED_TRACE(outcome);
    DongleDevice.Start({});
    ServerDevice.Start({});
    Worker.Outcome = static_cast<uint8_t>(outcome);
    Worker.Reply = "old";
    Worker.LinkOk = true;
    Worker.SendEcho(Dongle, "AB", "ab");
    EXPECT_EQ(Worker.ServerCommand(B({0x00}), true), "");
    EXPECT_EQ(Worker.Reply, "old");
    EXPECT_TRUE(Worker.LinkOk);
    EXPECT_EQ(Worker.LogText, "");
    EXPECT_EQ(Hex(DongleDevice.Finish()), "");
    EXPECT_EQ(Hex(ServerDevice.Finish()), "");
  }
}

// ---- ServerCommand -----------------------------------------------------------

TEST_F(LinkTest, ServerCommandVersionQueryByteForByte) {
  ServerDevice.Start(VersionQueryScript());
  EXPECT_EQ(Hex(Worker.ServerCommand(B({0x00}), true)), "42 24 0F");
  EXPECT_TRUE(Worker.LinkOk);
  EXPECT_EQ(Hex(Worker.Reply), "01 03");
  EXPECT_EQ(Worker.LogText, kVersionQueryLog);
  EXPECT_EQ(Hex(ServerDevice.Finish()), "41 00 84 C2 C3 C1");
}

TEST_F(LinkTest, ServerCommandFollowsTheServerRoleNotTheComponent) {
  // Port detection found the server on the component designed for the
  // dongle: the server's bytes now carry that component's digit.
  Main.Ports.SerIF1 = &Server;
  Main.Ports.SerIF2 = &Dongle;
  DongleDevice.Start(VersionQueryScript());
  ServerDevice.Start({});
  EXPECT_EQ(Hex(Worker.ServerCommand(B({0x00}), true)), "42 24 0F");
  EXPECT_TRUE(Worker.LinkOk);
  EXPECT_EQ(Worker.LogText, "1<65\r1>1\r1<0\r1>3\r1<132\r1>66\r1<194\r1>36\r1<195\r1>15\r1<193\r1>96\r");
  EXPECT_EQ(Hex(DongleDevice.Finish()), "41 00 84 C2 C3 C1");
  EXPECT_EQ(Hex(ServerDevice.Finish()), "");
}

TEST_F(LinkTest, ServerCommandRejectsAPayloadLongerThan63Bytes) {
  ServerDevice.Start({});
  Worker.Reply = "old";
  EXPECT_EQ(Worker.ServerCommand(std::string(64, '\x01'), true), "");
  EXPECT_FALSE(Worker.LinkOk);
  EXPECT_EQ(Worker.Reply, "");
  EXPECT_EQ(Worker.LogText, "");
  EXPECT_EQ(Hex(ServerDevice.Finish()), "");
}

TEST_F(LinkTest, ServerCommandEnteredWithLinkOkFalseSendsNothing) {
  ServerDevice.Start({});
  Worker.LinkOk = false;
  EXPECT_EQ(Worker.ServerCommand(B({0x00}), true), "");
  EXPECT_FALSE(Worker.LinkOk);
  EXPECT_EQ(Worker.LogText, "");
  EXPECT_EQ(Hex(ServerDevice.Finish()), "");
}

struct TCommandCase {
  const char* Name;
  std::string Payload;
  bool Flagged;
  std::vector<TStep> Script;  // also the bytes the wire must carry
  std::string Result;
  bool LinkOk;
  std::string Reply;  // the acknowledgements afterwards
};

// The version query up to its reply head, answered with head.
std::vector<TStep> HeadScript(int head) { return {{0x41, B({0x01})}, {0x00, B({0x03})}, {0x84, B({head})}}; }

std::vector<TStep> Then(std::vector<TStep> script, std::initializer_list<TStep> more) {
  script.insert(script.end(), more);
  return script;
}

// The longest frame: 63 payload bytes 0x00 .. 0x3E with the flag, so L is
// 0x7F; C ends at 0xC6, where the (C >> 6) term of the check byte shows.
TCommandCase LongestPayload() {
  TCommandCase c{"LongestPayload", {}, true, {}, B({0x05}), true, {}};
  for (int i = 0; i < 63; ++i) c.Payload += static_cast<char>(i);
  c.Script.push_back({0x7F, B({0x01})});
  for (int i = 0; i < 63; ++i) c.Script.push_back({static_cast<uint8_t>(i), B({i == 62 ? 0x03 : 0x02})});
  c.Script.push_back({0x89, B({0x05})});
  c.Reply = B({0x01}) + std::string(62, '\x02') + B({0x03});
  return c;
}

// The longest reply: head 0x7E, polls 0xC2 .. 0xFF, answers (37k + 5) mod 256,
// reply checksum 0xEA.
TCommandCase LongestReply() {
  TCommandCase c{"LongestReply", B({0x00}), true, HeadScript(0x7E), B({0x7E}), true, B({0x01, 0x03})};
  for (int k = 1; k <= 62; ++k) {
    const int v = (k * 37 + 5) & 0xFF;
    c.Script.push_back({static_cast<uint8_t>(0xC1 + k), B({v})});
    c.Result += static_cast<char>(v);
  }
  c.Script.push_back({0xC1, B({0xEA})});
  return c;
}

std::vector<TCommandCase> CommandCases() {
  const std::string acks = B({0x01, 0x03});
  return {
      {"VersionQuery", B({0x00}), true, VersionQueryScript(), B({0x42, 0x24, 0x0F}), true, acks},
      {"OneByteReply", B({0x01}), true, {{0x41, B({0x01})}, {0x01, B({0x03})}, {0x85, B({0x07})}}, B({0x07}), true,
       acks},
      {"EmptyPayloadFlagged", "", true, {{0x40, B({0x03})}, {0x81, B({0x05})}}, B({0x05}), true, B({0x03})},
      {"EmptyPayloadUnflagged", "", false, {{0x00, B({0x03})}, {0x80, B({0x00})}}, B({0x00}), true, B({0x03})},
      {"UnflaggedPayloadWithOnePolledByte", B({0x01, 0x02, 0x03}), false,
       {{0x03, B({0x01})}, {0x01, B({0x02})}, {0x02, B({0x02})}, {0x03, B({0x03})}, {0xA3, B({0x41})},
        {0xC2, B({0x10})}, {0xC1, B({0x92})}},
       B({0x41, 0x10}), true, B({0x01, 0x02, 0x02, 0x03})},
      // C = 0xFE: C + (C >> 6) carries out of the byte.
      {"CheckByteCarry", B({0x7C}), true, {{0x41, B({0x01})}, {0x7C, B({0x03})}, {0x81, B({0x11})}}, B({0x11}), true,
       acks},
      LongestPayload(),
      LongestReply(),
      {"HeadZeroIsAWholeReply", B({0x00}), true, HeadScript(0x00), B({0x00}), true, acks},
      {"Head40IsAWholeReply", B({0x00}), true, HeadScript(0x40), B({0x40}), true, acks},
      {"Head80IsAWholeReply", B({0x00}), true, HeadScript(0x80), B({0x80}), true, acks},
      {"HeadFFIsAWholeReply", B({0x00}), true, HeadScript(0xFF), B({0xFF}), true, acks},
      // 63 announced bytes cannot be polled: failed at once, nothing more sent.
      {"Head7FFailsWithoutPolling", B({0x00}), true, HeadScript(0x7F), "", false, acks},
      // The whole frame goes out before the acknowledgements are compared;
      // the check byte does not.
      {"WrongFirstAcknowledgement", B({0x00}), true, {{0x41, B({0x02})}, {0x00, B({0x03})}}, "", false,
       B({0x02, 0x03})},
      {"WrongLastAcknowledgement", B({0x00}), true, {{0x41, B({0x01})}, {0x00, B({0x02})}}, "", false,
       B({0x01, 0x02})},
      {"EmptyPayloadAcknowledgedWith01", "", true, {{0x40, B({0x01})}}, "", false, B({0x01})},
      {"MissingAcknowledgementStopsTheFrame", B({0x01, 0x02}), true, {{0x42, ""}}, "", false, ""},
      {"MissingLastAcknowledgement", B({0x00}), true, {{0x41, B({0x01})}, {0x00, ""}}, "", false, ""},
      {"MissingReplyHead", B({0x00}), true, {{0x41, B({0x01})}, {0x00, B({0x03})}, {0x84, ""}}, "", false, acks},
      {"FirstPollTimesOut", B({0x00}), true, Then(HeadScript(0x42), {{0xC2, ""}}), "", false, acks},
      {"LaterPollTimesOutAndNoEndByteFollows", B({0x00}), true,
       Then(HeadScript(0x42), {{0xC2, B({0x24})}, {0xC3, ""}}), "", false, acks},
      {"WrongReplyChecksum", B({0x00}), true,
       Then(HeadScript(0x42), {{0xC2, B({0x24})}, {0xC3, B({0x0F})}, {0xC1, B({0x61})}}), "", false, acks},
      {"MissingReplyChecksum", B({0x00}), true,
       Then(HeadScript(0x42), {{0xC2, B({0x24})}, {0xC3, B({0x0F})}, {0xC1, ""}}), "", false, acks},
  };
}

class ServerCommandTest : public LinkTest, public ::testing::WithParamInterface<TCommandCase> {};

TEST_P(ServerCommandTest, FramesTheCommandAndFetchesTheReply) {
  const TCommandCase& c = GetParam();
  ServerDevice.Start(c.Script);
  EXPECT_EQ(Hex(Worker.ServerCommand(c.Payload, c.Flagged)), Hex(c.Result));
  EXPECT_EQ(Worker.LinkOk, c.LinkOk);
  EXPECT_EQ(Hex(Worker.Reply), Hex(c.Reply));
  EXPECT_EQ(Hex(ServerDevice.Finish()), Hex(ServerDevice.ScriptedWire()));
}

INSTANTIATE_TEST_SUITE_P(Cases, ServerCommandTest, ::testing::ValuesIn(CommandCases()),
                         test::TCaseName());

}  // namespace
}  // namespace qv
