// The Telnet and COM-PORT-OPTION codec: IAC doubling in data and values,
// port commands on the wire, the parser on good, malformed and cut input
// (fed whole, split at every byte boundary and byte by byte), and the
// option negotiation of both roles.
#include "serial/rfc2217/Telnet.h"
#include "tests/support/Cases.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace qv::rfc2217 {
namespace {

using test::PrintTo;

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

std::string Hex(const std::string& s) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

const uint8_t* U(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

// The events of a feed as one line each; runs of data are joined, so that
// however the input was cut the transcript is the same.
class TRecorder final : public TTelnetSink {
 public:
  void OnData(const uint8_t* data, size_t n) override {
    if (Events.empty() || Events.back().rfind("data ", 0) != 0) Events.push_back("data ");
    FData.append(reinterpret_cast<const char*>(data), n);
    Events.back() = "data " + Hex(FData);
  }
  void OnPortCommand(uint8_t command, const uint8_t* value, size_t n) override {
    Push("port " + std::to_string(command) +
         (n ? " " + Hex(std::string(reinterpret_cast<const char*>(value), n)) : ""));
  }
  void OnSubnegotiation(uint8_t option, const uint8_t* value, size_t n) override {
    Push("sub " + std::to_string(option) + (n ? " " + Hex(std::string(reinterpret_cast<const char*>(value), n)) : ""));
  }
  void OnCommand(uint8_t command) override { Push("command " + std::to_string(command)); }
  void OnOptionChanged(uint8_t option, bool local, bool enabled) override {
    Push("option " + std::to_string(option) + (local ? " local " : " remote ") + (enabled ? "on" : "off"));
  }
  void OnError(TTelnetError error) override { Push(std::string("error ") + TelnetErrorName(error)); }

  std::vector<std::string> Events;

 private:
  void Push(std::string e) {
    FData.clear();
    Events.push_back(std::move(e));
  }
  std::string FData;
};

// ---- encoding ------------------------------------------------------------------

struct TEncodeCase {
  const char* Label;
  std::string Data;
  std::string Wire;
};

class TelnetEncodeData : public ::testing::TestWithParam<TEncodeCase> {};

TEST_P(TelnetEncodeData, DoublesEveryIac) {
  std::string out = "prefix";
  AppendData(out, U(GetParam().Data), GetParam().Data.size());
  EXPECT_EQ(Hex(out), Hex("prefix" + GetParam().Wire));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TelnetEncodeData,
    ::testing::Values(TEncodeCase{"Empty", "", ""},
                      TEncodeCase{"PlainBytes", B({0x00, 0x0D, 0xF0, 0xFE}), B({0x00, 0x0D, 0xF0, 0xFE})},
                      TEncodeCase{"LoneIac", B({0xFF}), B({0xFF, 0xFF})},
                      TEncodeCase{"IacRun", B({0xFF, 0xFF, 0xFF}), B({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
                      TEncodeCase{"IacBetween", B({'a', 0xFF, 'b', 0xFF}), B({'a', 0xFF, 0xFF, 'b', 0xFF, 0xFF})}),
    test::TCaseName());

struct TCommandCase {
  const char* Label;
  std::string Wire;  // what the encoder gives
  std::string Expected;
};

std::string Baud(uint8_t command, uint32_t value) {
  std::string out;
  AppendPortCommand32(out, command, value);
  return out;
}

std::string Cmd(uint8_t command, uint8_t value) {
  std::string out;
  AppendPortCommand(out, command, value);
  return out;
}

std::string Cmd0(uint8_t command) {
  std::string out;
  AppendPortCommand(out, command);
  return out;
}

class TelnetEncodePortCommand : public ::testing::TestWithParam<TCommandCase> {};

TEST_P(TelnetEncodePortCommand, GivesTheWireBytes) {
  EXPECT_EQ(Hex(GetParam().Wire), Hex(GetParam().Expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TelnetEncodePortCommand,
    ::testing::Values(
        TCommandCase{"SetBaudRate9600", Baud(cpSetBaudRate, 9600),
                     B({0xFF, 0xFA, 44, 1, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0})},
        TCommandCase{"BaudRateAsked", Baud(cpSetBaudRate, 0), B({0xFF, 0xFA, 44, 1, 0, 0, 0, 0, 0xFF, 0xF0})},
        TCommandCase{"IacInsideTheValueIsDoubled", Baud(cpSetBaudRate + kServerCode, 0xFF00FF01),
                     B({0xFF, 0xFA, 44, 101, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0x01, 0xFF, 0xF0})},
        TCommandCase{"DtrOn", Cmd(cpSetControl, ctDtrOn), B({0xFF, 0xFA, 44, 5, 8, 0xFF, 0xF0})},
        TCommandCase{"RtsOff", Cmd(cpSetControl, ctRtsOff), B({0xFF, 0xFA, 44, 5, 12, 0xFF, 0xF0})},
        TCommandCase{"PurgeReceive", Cmd(cpPurgeData, pgReceive), B({0xFF, 0xFA, 44, 12, 1, 0xFF, 0xF0})},
        TCommandCase{"ModemStateMaskOfAllLines", Cmd(cpSetModemStateMask, 0xFF),
                     B({0xFF, 0xFA, 44, 11, 0xFF, 0xFF, 0xFF, 0xF0})},
        TCommandCase{"ModemNotification", Cmd(cpNotifyModemState + kServerCode, mlDsr | mlDeltaDsr),
                     B({0xFF, 0xFA, 44, 107, 0x22, 0xFF, 0xF0})},
        TCommandCase{"SuspendHasNoValue", Cmd0(cpFlowControlSuspend), B({0xFF, 0xFA, 44, 8, 0xFF, 0xF0})}),
    test::TCaseName());

// ---- parsing -------------------------------------------------------------------

struct TParseCase {
  const char* Label;
  TTelnetRole Role;
  std::string Input;
  std::vector<std::string> Events;
};

std::vector<std::string> FeedInPieces(TTelnetRole role, const std::string& input, const std::vector<size_t>& cuts) {
  TTelnet telnet(role);
  TRecorder rec;
  std::string out;
  size_t from = 0;
  for (size_t cut : cuts) {
    telnet.Feed(U(input) + from, cut - from, rec, out);
    from = cut;
  }
  telnet.Feed(U(input) + from, input.size() - from, rec, out);
  // Whatever came before, the parser takes plain data again.
  telnet.Feed(U(std::string("Z")), 1, rec, out);
  return rec.Events;
}

class TelnetParse : public ::testing::TestWithParam<TParseCase> {
 protected:
  std::vector<std::string> Expected() const {
    std::vector<std::string> e = GetParam().Events;
    if (!e.empty() && e.back().rfind("data ", 0) == 0)
      e.back() += " 5A";
    else
      e.push_back("data 5A");
    return e;
  }
};

TEST_P(TelnetParse, WholeInputGivesTheEvents) {
  EXPECT_EQ(FeedInPieces(GetParam().Role, GetParam().Input, {}), Expected());
}

TEST_P(TelnetParse, EverySplitGivesTheSameEvents) {
  for (size_t cut = 1; cut < GetParam().Input.size(); ++cut)
    EXPECT_EQ(FeedInPieces(GetParam().Role, GetParam().Input, {cut}), Expected()) << "cut at " << cut;
}

TEST_P(TelnetParse, ByteByByteGivesTheSameEvents) {
  std::vector<size_t> cuts;
  for (size_t cut = 1; cut < GetParam().Input.size(); ++cut) cuts.push_back(cut);
  EXPECT_EQ(FeedInPieces(GetParam().Role, GetParam().Input, cuts), Expected());
}

const std::string kSb = B({0xFF, 0xFA});
const std::string kSe = B({0xFF, 0xF0});

INSTANTIATE_TEST_SUITE_P(
    Cases, TelnetParse,
    ::testing::Values(
        TParseCase{"PlainData", trClient, "hello", {"data 68 65 6C 6C 6F"}},
        TParseCase{"DoubledIacIsOneDataByte", trClient, B({'a', 0xFF, 0xFF, 'b', 0xFF, 0xFF}), {"data 61 FF 62 FF"}},
        TParseCase{"CommandBetweenData", trClient, B({'a', 0xFF, 0xF1, 'b'}), {"data 61", "command 241", "data 62"}},
        TParseCase{"BaudRateAnswer",
                   trClient,
                   kSb + B({44, 101, 0x00, 0x00, 0x25, 0x80}) + kSe + "x",
                   {"port 101 00 00 25 80", "data 78"}},
        TParseCase{"IacDoubledInsideAValue",
                   trClient,
                   kSb + B({44, 101, 0x00, 0x00, 0xFF, 0xFF, 0x01}) + kSe,
                   {"port 101 00 00 FF 01"}},
        TParseCase{"ModemStateOfAllLinesIsOneByte", trClient, kSb + B({44, 107, 0xFF, 0xFF}) + kSe, {"port 107 FF"}},
        TParseCase{"ServerTakesClientCommands",
                   trServer,
                   kSb + B({44, 5, 8}) + kSe + kSb + B({44, 8}) + kSe,
                   {"port 5 08", "port 8"}},
        TParseCase{"SignatureText", trServer, kSb + B({44, 0}) + "qv" + kSe, {"port 0 71 76"}},
        TParseCase{"ClientAsksForTheModemState", trServer, kSb + B({44, 7}) + kSe, {"port 7"}},
        TParseCase{"OtherOptionPassesThrough", trClient, kSb + B({24, 1}) + kSe, {"sub 24 01"}},
        // Faults: each one reported, and the parser goes on with what follows.
        TParseCase{"SeRightAfterSb", trClient, kSb + kSe + "ok", {"error empty subnegotiation", "data 6F 6B"}},
        TParseCase{"SeRightAfterTheOptionByte",
                   trClient,
                   kSb + B({44}) + kSe + "ok",
                   {"error empty subnegotiation", "data 6F 6B"}},
        TParseCase{"FourByteValueCutToTwo",
                   trClient,
                   kSb + B({44, 101, 0x00, 0x00}) + kSe + "ok",
                   {"error bad value length", "data 6F 6B"}},
        TParseCase{"OneByteValueTooLong", trClient, kSb + B({44, 102, 8, 8}) + kSe, {"error bad value length"}},
        TParseCase{"NotificationWithoutItsValue", trClient, kSb + B({44, 107}) + kSe, {"error bad value length"}},
        TParseCase{"MissingSeBeforeTheNextSubnegotiation",
                   trClient,
                   kSb + B({44, 105, 8}) + kSb + B({44, 105, 9}) + kSe,
                   {"error unterminated subnegotiation", "port 105 09"}},
        TParseCase{"MissingSeBeforeACommand",
                   trClient,
                   kSb + B({44, 105, 8, 0xFF, 0xF1}) + "ok",
                   {"error unterminated subnegotiation", "command 241", "data 6F 6B"}},
        TParseCase{"MissingSeBeforeData",
                   trClient,
                   kSb + B({44, 105, 8, 0xFF}) + "A",
                   {"error unterminated subnegotiation", "error not a command", "data 41"}},
        TParseCase{"IacBeforeANonCommand", trClient, B({0xFF}) + "Abc", {"error not a command", "data 41 62 63"}},
        TParseCase{"StraySe", trClient, "a" + kSe + "b", {"data 61", "error stray SE", "data 62"}},
        TParseCase{"OverlongSubnegotiation",
                   trClient,
                   kSb + B({44, 100}) + std::string(300, 'x') + kSe,
                   {"error subnegotiation too long", "data " + Hex(std::string(46, 'x')), "error stray SE"}},
        TParseCase{"ServerCodeToTheServer", trServer, kSb + B({44, 105, 8}) + kSe, {"error unknown port command"}},
        TParseCase{"ClientCodeToTheClient", trClient, kSb + B({44, 5, 8}) + kSe, {"error unknown port command"}},
        TParseCase{"UnknownCode", trServer, kSb + B({44, 50}) + kSe, {"error unknown port command"}}),
    test::TCaseName());

// ---- negotiation -----------------------------------------------------------------

struct TNegotiationCase {
  const char* Label;
  TTelnetRole Role;
  bool Started;
  std::string Input;
  std::string Answer;
  TPortAgreement Agreement;
};

class TelnetNegotiation : public ::testing::TestWithParam<TNegotiationCase> {};

TEST_P(TelnetNegotiation, AnswersAndAgrees) {
  TTelnet telnet(GetParam().Role);
  std::string out;
  if (GetParam().Started) telnet.Start(out);
  out.clear();
  TRecorder rec;
  telnet.Feed(U(GetParam().Input), GetParam().Input.size(), rec, out);
  EXPECT_EQ(Hex(out), Hex(GetParam().Answer));
  EXPECT_EQ(telnet.PortAgreement(), GetParam().Agreement);
}

constexpr int IAC = 0xFF, WILL = 0xFB, WONT = 0xFC, DO = 0xFD, DONT = 0xFE;

INSTANTIATE_TEST_SUITE_P(
    Cases, TelnetNegotiation,
    ::testing::Values(
        TNegotiationCase{"ClientOfferAccepted", trClient, true, B({IAC, DO, 44}), "", paAgreed},
        TNegotiationCase{"ClientOfferRefused", trClient, true, B({IAC, DONT, 44}), "", paRefused},
        TNegotiationCase{"ClientAnswersAServerThatOffersInstead", trClient, true, B({IAC, WILL, 44}), B({IAC, DO, 44}),
                         paAgreed},
        TNegotiationCase{"ClientStillWaiting", trClient, true, B({IAC, DO, 0, IAC, WILL, 0}), "", paPending},
        TNegotiationCase{"EchoRefused", trClient, true, B({IAC, WILL, 1, IAC, DO, 1}), B({IAC, DONT, 1, IAC, WONT, 1}),
                         paPending},
        TNegotiationCase{"UnknownOptionRefused", trServer, false, B({IAC, WILL, 99}), B({IAC, DONT, 99}), paPending},
        TNegotiationCase{"UnaskedBinaryAccepted", trServer, false, B({IAC, DO, 0, IAC, WILL, 0}),
                         B({IAC, WILL, 0, IAC, DO, 0}), paPending},
        TNegotiationCase{"ServerAgreesOnTheClientsOffer", trServer, true, B({IAC, WILL, 44}), "", paAgreed},
        // A client that asks the server to do the option and offers nothing.
        TNegotiationCase{"ServerAgreesOnARequestAlone", trServer, true, B({IAC, DO, 44}), B({IAC, WILL, 44}), paAgreed},
        TNegotiationCase{"ServerRefused", trServer, true, B({IAC, WONT, 44}), "", paRefused},
        // Turned off after agreeing: answered once, the repeat not at all.
        TNegotiationCase{"DisableAnsweredOnce", trClient, true, B({IAC, DO, 44, IAC, DONT, 44, IAC, DONT, 44}),
                         B({IAC, WONT, 44}), paRefused},
        // Agreement repeated: no answer, so that two sides cannot loop.
        TNegotiationCase{"RepeatedAgreementUnanswered", trClient, true, B({IAC, DO, 44, IAC, DO, 44, IAC, DO, 3}), "",
                         paAgreed}),
    test::TCaseName());

TEST(TelnetStart, EachRoleOpensWithItsRequests) {
  std::string client, server;
  TTelnet(trClient).Start(client);
  TTelnet(trServer).Start(server);
  EXPECT_EQ(Hex(client), Hex(B({IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44})));
  EXPECT_EQ(Hex(server), Hex(B({IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, DO, 44})));
}

TEST(TelnetStart, OptionStatesFollowTheAnswers) {
  TTelnet telnet(trClient);
  std::string out;
  telnet.Start(out);
  TRecorder rec;
  const std::string in = B({IAC, DO, 0, IAC, WONT, 0, IAC, DO, 44});
  telnet.Feed(U(in), in.size(), rec, out);
  EXPECT_TRUE(telnet.LocalEnabled(toBinary));
  EXPECT_FALSE(telnet.RemoteEnabled(toBinary));
  EXPECT_TRUE(telnet.LocalEnabled(toComPort));
  EXPECT_EQ(rec.Events, (std::vector<std::string>{"option 0 local on", "option 44 local on"}));
}

TEST(TelnetStart, SettingAnOptionRefusedTurnsThePeerDown) {
  TTelnet telnet(trServer);
  telnet.SetAccepted(toComPort, false);
  std::string out;
  TRecorder rec;
  const std::string in = B({IAC, WILL, 44, IAC, DO, 44});
  telnet.Feed(U(in), in.size(), rec, out);
  EXPECT_EQ(Hex(out), Hex(B({IAC, DONT, 44, IAC, WONT, 44})));
}

// The value length of every fixed-length command, through the parser.
TEST(TelnetLengths, EveryCommandTakesExactlyItsValueLength) {
  struct {
    uint8_t Command;
    size_t Length;
  } const fixed[] = {{cpSetBaudRate, 4},       {cpSetDataSize, 1},      {cpSetParity, 1},
                     {cpSetStopSize, 1},       {cpSetControl, 1},       {cpFlowControlSuspend, 0},
                     {cpFlowControlResume, 0}, {cpSetLineStateMask, 1}, {cpSetModemStateMask, 1},
                     {cpPurgeData, 1}};
  for (const auto& c : fixed) {
    for (size_t n = 0; n <= 5; ++n) {
      for (TTelnetRole role : {trServer, trClient}) {
        const uint8_t code = role == trServer ? c.Command : static_cast<uint8_t>(c.Command + kServerCode);
        TTelnet telnet(role);
        TRecorder rec;
        std::string out;
        const std::string wire = kSb + B({44, code}) + std::string(n, '\x01') + kSe;
        telnet.Feed(U(wire), wire.size(), rec, out);
        ASSERT_EQ(rec.Events.size(), 1u);
        if (n == c.Length)
          EXPECT_EQ(rec.Events[0].rfind("port ", 0), 0u) << int(code) << " with " << n;
        else
          EXPECT_EQ(rec.Events[0], "error bad value length") << int(code) << " with " << n;
      }
    }
  }
}

}  // namespace
}  // namespace qv::rfc2217
