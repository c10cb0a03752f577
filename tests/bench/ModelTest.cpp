// The bench models on the wire, driven directly: a stop-and-wait PC sends a
// byte, waits up to 50 ms for the answer, and the exchanges are compared as
// "sent:answer" pairs ("--" where the device stays silent).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/Dongle.h"
#include "bench/Faults.h"
#include "bench/Handheld.h"
#include "bench/Server.h"

namespace bench {
namespace {

constexpr TTime kChar = 1042;      // one character at 9600 baud, 8N1
constexpr TTime kProcessing = 50;  // the models' default firmware time
constexpr TTime kWait = 50000;     // the PC's read time-out while probing

std::string Hex2(int b) {
  static const char digits[] = "0123456789ABCDEF";
  if (b < 0) return "--";
  return std::string{digits[(b >> 4) & 15], digits[b & 15]};
}

// Expected exchanges, each a pair {sent, answer}; an answer of -1: none.
std::string Pairs(std::initializer_list<std::pair<int, int>> pairs) {
  std::string s;
  for (const auto& [sent, answer] : pairs) {
    if (!s.empty()) s += ' ';
    s += Hex2(sent) + ':' + Hex2(answer);
  }
  return s;
}

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// The PC side of the link, straight on a model.
class TPc {
 public:
  explicit TPc(TDevice& device, TTime start = 1000000) : FDevice(device), Now(start) {}

  int Exchange(uint8_t byte) {
    Now += kChar;
    FDevice.Receive(byte, Now);
    const TTime next = FDevice.NextOutput();
    if (next < 0 || next > Now + kWait) {
      Now += kWait;
      return -1;
    }
    Now = next;
    const std::string out = FDevice.Transmit(Now);
    EXPECT_EQ(out.size(), 1u) << "more than one answer to one byte";
    return out.empty() ? -1 : static_cast<uint8_t>(out[0]);
  }

  // The exchanges of every byte, as "sent:answer" pairs.
  std::string Run(const std::string& bytes) {
    std::string s;
    for (char c : bytes) {
      if (!s.empty()) s += ' ';
      const auto b = static_cast<uint8_t>(c);
      s += Hex2(b) + ':' + Hex2(Exchange(b));
    }
    return s;
  }

  // Runs bytes and expects every answer; for setting a device up.
  void Do(const std::string& bytes) {
    for (char c : bytes)
      ASSERT_GE(Exchange(static_cast<uint8_t>(c)), 0) << "no answer to " << Hex2(static_cast<uint8_t>(c));
  }

  TDevice& FDevice;
  TTime Now;
};

const std::string kHandshake = Bytes({0x80, 0x00, 0xA5}) + std::string(16, '\x55');

// The exchanges of the identification handshake of a device with this
// identity text (hardware byte first).
std::string HandshakePairs(const std::string& text) {
  std::string s = Hex2(0x80) + ':' + Hex2(static_cast<uint8_t>(text[0])) + " 00:55 A5:F0";
  for (size_t k = 1; k < text.size(); ++k) s += " 55:" + Hex2(static_cast<uint8_t>(text[k]));
  return s;
}

// ---- identification ------------------------------------------------------

TEST(BenchModels, IdentificationHandshake) {
  TDongle::TConfig lower;
  lower.Hw = 0x01;
  lower.Identity = "0123456789abcdef";  // lower case: the tool must reject it
  TServer::TConfig second;
  second.Hw = 0xFF;
  second.Identity = "RFQVSERVER[ZZZ99";
  struct TCase {
    const char* Name;
    std::function<std::shared_ptr<TSerialModel>()> Make;
    std::string Text;
  } cases[] = {
      {"dongle", [] { return std::make_shared<TDongle>(); }, "\x12QV0DONGLE0000001"},
      {"server", [] { return std::make_shared<TServer>(); }, "\x20RFQVSERVER000123"},
      {"dongle of its own identity", [&] { return std::make_shared<TDongle>(lower); },
       "\x01"
       "0123456789abcdef"},
      {"server of its own identity", [&] { return std::make_shared<TServer>(second); }, "\xFFRFQVSERVER[ZZZ99"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto device = c.Make();
    TPc pc(*device);
    EXPECT_EQ(pc.Run(kHandshake), HandshakePairs(c.Text));
  }
}

TEST(BenchModels, IdentityTextsAreSixteenCharactersBehindTheHardwareByte) {
  EXPECT_EQ(TDongle().IdentityText(), "\x12QV0DONGLE0000001");
  EXPECT_EQ(TServer().IdentityText(), "\x20RFQVSERVER000123");
  TDongle::TConfig shortId;
  shortId.Identity = "SHORT";
  EXPECT_THROW(TDongle{shortId}, std::invalid_argument);
  TServer::TConfig longId;
  longId.Identity = "RFQVSERVER0001234";
  EXPECT_THROW(TServer{longId}, std::invalid_argument);
}

TEST(BenchModels, HandshakeRestartsAtEachHardwareQuery) {
  // 0x80 starts the identity text again; 0x00 and 0xA5 may come at any
  // point of the handshake without moving it on.
  TDongle dongle;
  TPc pc(dongle);
  EXPECT_EQ(
      pc.Run(Bytes({0x55, 0x55, 0x80, 0x55, 0x00, 0xA5, 0x55, 0x42})),
      Pairs(
          {{0x55, 'Q'}, {0x55, 'V'}, {0x80, 0x12}, {0x55, 'Q'}, {0x00, 0x55}, {0xA5, 0xF0}, {0x55, 'V'}, {0x42, -1}}));
  EXPECT_TRUE(dongle.Identifying());
}

// ---- the dongle and its handheld -------------------------------------------

// A dongle just identified, its handheld woken by the probe pair.
struct TLinkedDongle {
  std::shared_ptr<THandheld> Handheld = std::make_shared<THandheld>();
  TDongle Dongle{TDongle::TConfig{}, Handheld};
  TPc Pc{Dongle};
  TLinkedDongle() {
    Pc.Do(kHandshake);
    EXPECT_EQ(Pc.Run(Bytes({0x00, 0x00})), Pairs({{0x00, -1}, {0x00, 0x21}}));
  }
};

TEST(BenchModels, DongleHandsBytesToTheHandheldOnceIdentified) {
  TDongle dongle;
  TPc pc(dongle);
  pc.Do(kHandshake);
  EXPECT_FALSE(dongle.Identifying());
  // Device initialisation: the first 0x00 unanswered, the next one the
  // hardware byte, then register 0x39 selected, read and written.
  EXPECT_EQ(pc.Run(Bytes({0x00, 0x00, 0x04, 0x39, 0x02, 0x04, 0x39, 0x06, 0x10})), Pairs({{0x00, -1},
                                                                                          {0x00, 0x21},
                                                                                          {0x04, 0x04},
                                                                                          {0x39, 0x39},
                                                                                          {0x02, 0x10},
                                                                                          {0x04, 0x04},
                                                                                          {0x39, 0x39},
                                                                                          {0x06, 0x06},
                                                                                          {0x10, 0x10}}));
  // Identification is over: its bytes are handheld commands now.
  EXPECT_EQ(pc.Run(Bytes({0x80, 0xA5, 0x55})), Pairs({{0x80, -1}, {0xA5, -1}, {0x55, -1}}));
}

TEST(BenchModels, HandheldCommands) {
  struct TCase {
    const char* Name;
    std::string Sent;
    std::string Exchanges;
    std::function<void(const THandheld&)> Check;
  } cases[] = {
      {"register write and read back", Bytes({0x04, 0x17, 0x06, 0x5A, 0x02}),
       Pairs({{0x04, 0x04}, {0x17, 0x17}, {0x06, 0x06}, {0x5A, 0x5A}, {0x02, 0x5A}}),
       [](const THandheld& h) { EXPECT_EQ(h.Register(0x17), 0x5A); }},
      {"registers use the low address byte only", Bytes({0x05, 0x12, 0x04, 0x39, 0x02}),
       Pairs({{0x05, 0x05}, {0x12, 0x12}, {0x04, 0x04}, {0x39, 0x39}, {0x02, 0x10}}),
       [](const THandheld& h) { EXPECT_EQ(h.Address(), 0x1239); }},
      {"EEPROM writes move the address on", Bytes({0x05, 0x12, 0x04, 0x34, 0x07, 0xAB, 0x07, 0xCD}),
       Pairs({{0x05, 0x05},
              {0x12, 0x12},
              {0x04, 0x04},
              {0x34, 0x34},
              {0x07, 0x07},
              {0xAB, 0xAB},
              {0x07, 0x07},
              {0xCD, 0xCD}}),
       [](const THandheld& h) {
         EXPECT_EQ(h.Eeprom(0x1234), 0xAB);
         EXPECT_EQ(h.Eeprom(0x1235), 0xCD);
         EXPECT_EQ(h.Address(), 0x1236);
       }},
      {"EEPROM reads move the address on",
       Bytes({0x04, 0x00, 0x05, 0x00, 0x07, 0x21, 0x07, 0x22, 0x04, 0x00, 0x03, 0x03, 0x03}),
       Pairs({{0x04, 0x04},
              {0x00, 0x00},
              {0x05, 0x05},
              {0x00, 0x00},
              {0x07, 0x07},
              {0x21, 0x21},
              {0x07, 0x07},
              {0x22, 0x22},
              {0x04, 0x04},
              {0x00, 0x00},
              {0x03, 0x21},
              {0x03, 0x22},
              {0x03, 0xFF}}),
       [](const THandheld& h) { EXPECT_EQ(h.Address(), 3); }},
      {"switching register 0x39 off leaves the value unanswered", Bytes({0x04, 0x39, 0x06, 0x00}),
       Pairs({{0x04, 0x04}, {0x39, 0x39}, {0x06, 0x06}, {0x00, -1}}),
       [](const THandheld& h) { EXPECT_EQ(h.Register(0x39), 0x00); }},
      {"0x00 to another register is echoed", Bytes({0x04, 0x38, 0x06, 0x00}),
       Pairs({{0x04, 0x04}, {0x38, 0x38}, {0x06, 0x06}, {0x00, 0x00}}), nullptr},
      {"probe pair again after other commands", Bytes({0x04, 0x10, 0x00, 0x00, 0x00}),
       Pairs({{0x04, 0x04}, {0x10, 0x10}, {0x00, -1}, {0x00, 0x21}, {0x00, 0x21}}), nullptr},
      {"unknown commands get nothing", Bytes({0x01, 0x08, 0x80, 0xFF}),
       Pairs({{0x01, -1}, {0x08, -1}, {0x80, -1}, {0xFF, -1}}), nullptr},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TLinkedDongle linked;
    EXPECT_EQ(linked.Pc.Run(c.Sent), c.Exchanges);
    if (c.Check) c.Check(*linked.Handheld);
  }
}

TEST(BenchModels, HandheldJobKeepsItBusyAndLeavesItsResult) {
  THandheld::TConfig config;
  config.JobUs = 300000;
  config.Mode = 0x11;
  auto handheld = std::make_shared<THandheld>(config);
  handheld->Faults().JobStatus = 0x01;
  TDongle dongle(TDongle::TConfig{}, handheld);
  TPc pc(dongle);
  pc.Do(kHandshake);
  EXPECT_EQ(pc.Run(Bytes({0x00, 0x00})), Pairs({{0x00, -1}, {0x00, 0x21}}));
  pc.Do(Bytes({0x04, 0x17, 0x06, 0x02}));
  EXPECT_TRUE(dongle.Dsr(pc.Now));
  // The start value's echo still goes out; then the handheld is away.
  EXPECT_EQ(pc.Run(Bytes({0x04, 0x39, 0x06, 0x77, 0x00, 0x00})),
            Pairs({{0x04, 0x04}, {0x39, 0x39}, {0x06, 0x06}, {0x77, 0x77}, {0x00, -1}, {0x00, -1}}));
  const TTime end = handheld->BusyUntil();
  EXPECT_FALSE(dongle.Dsr(end - 1));
  EXPECT_TRUE(dongle.Dsr(end));
  EXPECT_EQ(handheld->Jobs(), std::vector<uint8_t>{0x02});
  pc.Now = end;
  EXPECT_EQ(pc.Run(Bytes({0x00, 0x00, 0x04, 0x17, 0x02})),
            Pairs({{0x00, -1}, {0x00, 0x21}, {0x04, 0x04}, {0x17, 0x17}, {0x02, 0x01}}));
}

TEST(BenchModels, DongleWithoutAWorkingHandheldPassesNothingBack) {
  struct TCase {
    const char* Name;
    std::function<void(TDongle&, THandheld&)> Arrange;
  } cases[] = {
      {"disconnected", [](TDongle& d, THandheld&) { d.Disconnect(); }},
      {"switched off", [](TDongle&, THandheld& h) { h.SwitchOn(false); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto handheld = std::make_shared<THandheld>();
    TDongle dongle(TDongle::TConfig{}, handheld);
    c.Arrange(dongle, *handheld);
    TPc pc(dongle);
    // The dongle itself still identifies.
    EXPECT_EQ(pc.Run(kHandshake), HandshakePairs(dongle.IdentityText()));
    EXPECT_FALSE(dongle.Dsr(pc.Now));
    EXPECT_EQ(pc.Run(Bytes({0x00, 0x00, 0x04})), Pairs({{0x00, -1}, {0x00, -1}, {0x04, -1}}));
  }
}

TEST(BenchModels, ConnectingAHandheldStartsItsLinkAfresh) {
  TLinkedDongle linked;
  auto other = std::make_shared<THandheld>(THandheld::TConfig{0x33});
  linked.Dongle.Connect(other);
  EXPECT_EQ(linked.Pc.Run(Bytes({0x00, 0x00})), Pairs({{0x00, -1}, {0x00, 0x33}}));
}

// ---- the server ---------------------------------------------------------------

// A server just identified; its next byte is swallowed.
struct TIdentifiedServer {
  TServer Server;
  TPc Pc{Server};
  explicit TIdentifiedServer(TServer::TConfig config = {}) : Server(std::move(config)) {
    EXPECT_EQ(Pc.Run(kHandshake), HandshakePairs(Server.IdentityText()));
  }
};

TEST(BenchModels, ServerSwallowsTheFirstByteAfterItsIdentification) {
  TIdentifiedServer s;
  EXPECT_EQ(s.Pc.Run(Bytes({0x00, 0x00, 0x00})), Pairs({{0x00, -1}, {0x00, 0x00}, {0x00, 0x00}}));
  // Whatever that byte is: a length byte is lost as well.
  TIdentifiedServer t;
  EXPECT_EQ(t.Pc.Run(Bytes({0x41, 0x00})), Pairs({{0x41, -1}, {0x00, 0x00}}));
}

TEST(BenchModels, ServerFrames) {
  TServer::TConfig otherVersion;
  otherVersion.VersionX = 0x31;
  otherVersion.VersionY = 0x07;
  TServer::TConfig testFirmware;
  testFirmware.Firmware = TServer::TFirmware::Test;
  struct TCase {
    const char* Name;
    TServer::TConfig Config;
    std::function<void(TServer&)> Arrange;
    std::string Sent;
    std::string Exchanges;
  } cases[] = {
      {"version query",
       {},
       nullptr,
       Bytes({0x41, 0x00, 0x84, 0xC2, 0xC3, 0xC1}),
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, 0x42}, {0xC2, 0x24}, {0xC3, 0x0F}, {0xC1, 0x60}})},
      // D = rol8(rol8(0x42) + 0x31) + 0x07 = rol8(0xB5) + 0x07 = 0x6B + 0x07
      {"version query of other version bytes", otherVersion, nullptr, Bytes({0x41, 0x00, 0x84, 0xC2, 0xC3, 0xC1}),
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, 0x42}, {0xC2, 0x31}, {0xC3, 0x07}, {0xC1, 0x72}})},
      {"one-byte reply",
       {},
       nullptr,
       Bytes({0x41, 0x01, 0x85, 0x00}),
       Pairs({{0x41, 0x01}, {0x01, 0x03}, {0x85, 0x07}, {0x00, 0x00}})},
      {"test firmware answers the query with one byte", testFirmware, nullptr, Bytes({0x41, 0x00, 0x84, 0x00}),
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, 0x06}, {0x00, 0x00}})},
      {"empty flagged frame",
       {},
       nullptr,
       Bytes({0x40, 0x81, 0x00}),
       Pairs({{0x40, 0x03}, {0x81, 0x15}, {0x00, 0x00}})},
      {"wrong check byte",
       {},
       nullptr,
       Bytes({0x41, 0x00, 0x85, 0x00}),
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x85, 0x15}, {0x00, 0x00}})},
      {"unknown command", {}, nullptr, Bytes({0x41, 0x09, 0x8D}), Pairs({{0x41, 0x01}, {0x09, 0x03}, {0x8D, 0x15}})},
      {"payload acknowledgements",
       {},
       [](TServer& s) {
         s.SetReply(false, Bytes({0x10, 0x20, 0x30}), Bytes({0x07}));
       },
       // C = rol8(rol8(rol8(0x03) + 0x10) + 0x20) + 0x30 = 0xC8; K = 0x80 | ((0xC8 + 0x03) & 0x3F)
       Bytes({0x03, 0x10, 0x20, 0x30, 0x8B}),
       Pairs({{0x03, 0x01}, {0x10, 0x02}, {0x20, 0x02}, {0x30, 0x03}, {0x8B, 0x07}})},
      {"polls in any order, none past the reply",
       {},
       [](TServer& s) {
         s.SetReply(true, Bytes({0x01}), Bytes({'B', 0x5A, 0x11}));
       },
       Bytes({0x41, 0x01, 0x85, 0xC3, 0xC2, 0xC4, 0xC1}),
       // D = rol8(rol8(0x42) + 0x5A) + 0x11 = rol8(0xDE) + 0x11 = 0xBD + 0x11
       Pairs({{0x41, 0x01}, {0x01, 0x03}, {0x85, 'B'}, {0xC3, 0x11}, {0xC2, 0x5A}, {0xC4, -1}, {0xC1, 0xCE}})},
      {"a byte that is no poll abandons the reply",
       {},
       nullptr,
       Bytes({0x41, 0x00, 0x84, 0xC2, 0x00, 0xC3}),
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, 0x42}, {0xC2, 0x24}, {0x00, 0x00}, {0xC3, -1}})},
      {"an empty reply leaves the check byte unanswered",
       {},
       [](TServer& s) { s.SetReply(true, Bytes({0x00}), ""); },
       Bytes({0x41, 0x00, 0x84, 0x00}),
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, -1}, {0x00, 0x00}})},
      {"a handler goes before the table",
       {},
       [](TServer& s) {
         s.SetReply(true, Bytes({0x00}), Bytes({0x07}));
         s.SetHandler([](bool flagged, const std::string& payload, TTime) -> std::optional<std::string> {
           if (flagged && payload == std::string(1, '\0')) return Bytes({0x06});
           return std::nullopt;
         });
       },
       Bytes({0x41, 0x00, 0x84}),
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, 0x06}})},
      {"idle bytes",
       {},
       nullptr,
       Bytes({0x00, 0x00, 0xC1, 0xC2, 0xFF, 0x00}),
       Pairs({{0x00, 0x00}, {0x00, 0x00}, {0xC1, -1}, {0xC2, -1}, {0xFF, -1}, {0x00, 0x00}})},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TServer server(c.Config);
    if (c.Arrange) c.Arrange(server);
    TPc pc(server);
    EXPECT_EQ(pc.Run(c.Sent), c.Exchanges);
  }
}

// The framed exchange of one command as the PC sends it: length byte,
// payload, check byte; every answer collected.
std::string Frame(bool flagged, const std::string& payload) {
  const auto length = static_cast<uint8_t>(payload.size() | (flagged ? 0x40 : 0));
  uint8_t sum = length;
  for (char b : payload) sum = FrameSumStep(sum, static_cast<uint8_t>(b));
  return static_cast<char>(length) + payload + static_cast<char>(CheckByte(sum));
}

TEST(BenchModels, ServerRecordsTheCommandsItAccepted) {
  TServer server;
  TPc pc(server);
  const std::string full(63, '\x11');
  pc.Do(Frame(true, Bytes({0x00})));
  pc.Do(Bytes({0xC2, 0xC3, 0xC1}));
  pc.Do(Frame(false, full));
  pc.Do(Bytes({0x41, 0x00, 0x85}));  // refused: not recorded
  ASSERT_EQ(server.Commands().size(), 2u);
  EXPECT_TRUE(server.Commands()[0].Flagged);
  EXPECT_EQ(server.Commands()[0].Payload, Bytes({0x00}));
  EXPECT_FALSE(server.Commands()[1].Flagged);
  EXPECT_EQ(server.Commands()[1].Payload, full);
}

TEST(BenchModels, ServerProgramFramesWriteAndVerifyGroups) {
  TServer server;
  TPc pc(server);
  const std::string opening = Bytes({0x01, 0x00, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05});
  const std::string group = Bytes({0x01, 0x04, 0x3F, 0xFF, 0x12, 0x34, 0x3F, 0xFF, 0x3F, 0xFF});
  struct TStep {
    bool Flagged;
    std::string Payload;
    int Reply;
  } steps[] = {
      {false, opening, 0x07},
      {false, group, 0x07},
      {true, '\0' + group, 0x07},
      {true, '\0' + opening, 0x07},
      {true, Bytes({0x00, 0x01, 0x04, 0x3F, 0xFF, 0x12, 0x35, 0x3F, 0xFF, 0x3F, 0xFF}), 0x15},  // differs
      {false, Bytes({0x01, 0x05, 0, 0, 0, 0, 0, 0, 0, 0}), 0x15},                               // not a group start
      {false, Bytes({0x01, 0x08, 0x40, 0, 0, 0, 0, 0, 0, 0}), 0x15},                            // more than 14 bits
  };
  for (const TStep& s : steps) {
    const std::string frame = Frame(s.Flagged, s.Payload);
    std::string answers;
    for (char b : frame) answers += static_cast<char>(pc.Exchange(static_cast<uint8_t>(b)));
    EXPECT_EQ(static_cast<uint8_t>(answers.back()), s.Reply) << Hex2(static_cast<uint8_t>(s.Payload[1]));
  }
  EXPECT_EQ(server.Word(0x100), 0x3405);
  EXPECT_EQ(server.Word(0x103), 0x3405);
  EXPECT_EQ(server.Word(0x104), 0x3FFF);
  EXPECT_EQ(server.Word(0x105), 0x1234);
  EXPECT_EQ(server.Word(0x108), 0xFFFF);
}

TEST(BenchModels, ZerosBringAServerLeftInsideTheLongestFrameBackToIdle) {
  // The worst a probe can meet: a length byte for 63 payload bytes and
  // nothing more. 65 zeros end it: 63 payload bytes, the (wrong) check byte
  // and the first idle answer.
  TServer server;
  TPc pc(server);
  EXPECT_EQ(pc.Exchange(0x7F), 0x01);
  std::vector<int> answers;
  for (int k = 0; k < 65; ++k) answers.push_back(pc.Exchange(0x00));
  std::vector<int> expected(62, 0x02);
  expected.push_back(0x03);
  expected.push_back(0x15);
  expected.push_back(0x00);
  EXPECT_EQ(answers, expected);
  EXPECT_EQ(server.State(), TServer::TState::Idle);
}

TEST(BenchModels, ServerLeftInsideItsHandshakeFinishesItThenSwallowsOneByte) {
  // The second pass's resynchronisation: 0x00 gives 0x55 inside the
  // handshake, the identity characters run out, the next 0x55 goes
  // unanswered, and the idle answer follows.
  TServer server;
  TPc pc(server);
  pc.Do(Bytes({0x80, 0x00, 0xA5, 0x55, 0x55, 0x55, 0x55, 0x55}));
  EXPECT_EQ(pc.Exchange(0x00), 0x55);
  std::string rest;
  int answer = 0;
  for (int k = 0; k < 17 && (answer = pc.Exchange(0x55)) >= 0; ++k) rest += static_cast<char>(answer);
  EXPECT_EQ(rest, "ERVER000123");
  EXPECT_EQ(answer, -1);
  EXPECT_EQ(pc.Exchange(0x00), 0x00);
  EXPECT_EQ(pc.Run(kHandshake), HandshakePairs(server.IdentityText()));
}

// ---- whole sequences of the tool --------------------------------------------------

// A stop-and-wait echo: every byte answered, the answers equal to expected.
::testing::AssertionResult Echo(TPc& pc, const std::string& sent, const std::string& expected) {
  std::string got;
  for (char b : sent) {
    const int a = pc.Exchange(static_cast<uint8_t>(b));
    if (a < 0) return ::testing::AssertionFailure() << "no answer to byte " << got.size() << " of " << sent.size();
    got += static_cast<char>(a);
  }
  if (got != expected) return ::testing::AssertionFailure() << "answers differ at " << sent.size() << " bytes";
  return ::testing::AssertionSuccess();
}

TEST(BenchModels, HandheldProgrammingWithReadBack) {
  TLinkedDongle linked;
  std::string image(64, '\0');
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + 1);
  image[0] = 0x21;
  const std::string start = Bytes({0x04, 0x00, 0x05, 0x00, 0x07, 0x00});
  ASSERT_TRUE(Echo(linked.Pc, start, start));
  EXPECT_EQ(linked.Handheld->Eeprom(0), 0x00);
  for (size_t i = 1; i < image.size(); ++i) {
    const std::string write = std::string(1, '\x07') + image[i];
    ASSERT_TRUE(Echo(linked.Pc, write, write)) << i;
  }
  const std::string back = Bytes({0x04, 0x01, 0x05, 0x00});
  ASSERT_TRUE(Echo(linked.Pc, back, back));
  for (size_t i = 1; i < image.size(); ++i) ASSERT_TRUE(Echo(linked.Pc, Bytes({0x03}), image.substr(i, 1))) << i;
  const std::string last = Bytes({0x04, 0x00, 0x05, 0x00, 0x07, 0x21, 0x04, 0x00});
  ASSERT_TRUE(Echo(linked.Pc, last + Bytes({0x03}), last + Bytes({0x21})));
  for (size_t i = 0; i < image.size(); ++i)
    EXPECT_EQ(linked.Handheld->Eeprom(static_cast<uint16_t>(i)), static_cast<uint8_t>(image[i]));
  EXPECT_EQ(linked.Handheld->Address(), 1);
}

TEST(BenchModels, JobThenTheWaitForTheHandheld) {
  THandheld::TConfig config;
  config.JobUs = 2000000;
  auto handheld = std::make_shared<THandheld>(config);
  // Test firmware in the EEPROM whose header the job registers below match:
  // end address 0xFE, bytes 24, 31 and 2.
  for (const auto& [at, value] : std::initializer_list<std::pair<uint16_t, uint8_t>>{
           {27, 0xFE}, {28, 0x00}, {24, 0x11}, {31, 0x22}, {2, 0x33}, {2045, 'T'}, {2046, 'S'}, {2047, 'T'}})
    handheld->SetEeprom(at, value);
  TDongle dongle(TDongle::TConfig{}, handheld);
  TPc pc(dongle);
  pc.Do(kHandshake);
  EXPECT_EQ(pc.Run(Bytes({0x00, 0x00})), Pairs({{0x00, -1}, {0x00, 0x21}}));
  // The job registers, the control register last.
  const std::pair<uint8_t, uint8_t> writes[] = {{0x17, 0x02}, {0x1D, 0x11}, {0x30, 0xFE}, {0x31, 0x00},
                                                {0x33, 0x50}, {0x34, 0x22}, {0x37, 0x33}, {0x39, 0x76}};
  for (const auto& [reg, value] : writes) {
    const std::string w = Bytes({0x04, reg, 0x06, value});
    ASSERT_TRUE(Echo(pc, w, w)) << Hex2(reg);
  }
  // The wait: the dongle's reset, its identification, DSR on five polls.
  dongle.SetLines(false, true, pc.Now);
  pc.Now += 300000;
  dongle.SetLines(true, false, pc.Now);
  pc.Now += 100000;
  ASSERT_TRUE(Echo(pc, Bytes({0x80}) + std::string(16, '\x55'), dongle.IdentityText()));
  int stable = 0;
  int polls = 0;
  while (stable < 5 && polls < 2500) {
    ++polls;
    stable = dongle.Dsr(pc.Now) ? stable + 1 : 0;
    pc.Now += 50000;
  }
  EXPECT_EQ(stable, 5);
  EXPECT_GE(pc.Now, handheld->BusyUntil());
  EXPECT_EQ(pc.Run(Bytes({0x00})), Pairs({{0x00, -1}}));
  const std::string back = Bytes({0x00, 0x04, 0x39, 0x06, 0x10});
  ASSERT_TRUE(Echo(pc, back, Bytes({0x21, 0x04, 0x39, 0x06, 0x10})));
  ASSERT_TRUE(Echo(pc, Bytes({0x04, 0x17, 0x02}), Bytes({0x04, 0x17, 0x00})));
  EXPECT_EQ(handheld->Jobs(), std::vector<uint8_t>{0x02});
}

// A whole framed command as the PC runs it; the reply, or empty when an
// acknowledgement, the head or a reply byte is missing or wrong.
std::string Command(TPc& pc, bool flagged, const std::string& payload) {
  const std::string frame = Frame(flagged, payload);
  for (size_t k = 0; k + 1 < frame.size(); ++k) {
    const int ack = pc.Exchange(static_cast<uint8_t>(frame[k]));
    if (ack != (k + 2 == frame.size() ? 0x03 : k == 0 ? 0x01 : 0x02)) return "";
  }
  const int head = pc.Exchange(static_cast<uint8_t>(frame.back()));
  if (head < 0) return "";
  std::string reply(1, static_cast<char>(head));
  if (head < 0x41 || head > 0x7E) return reply;
  uint8_t sum = static_cast<uint8_t>(head);
  for (int k = 1; k <= head - 0x40; ++k) {
    const int v = pc.Exchange(static_cast<uint8_t>(0xC1 + k));
    if (v < 0) return "";
    reply += static_cast<char>(v);
    sum = FrameSumStep(sum, static_cast<uint8_t>(v));
  }
  return pc.Exchange(0xC1) == sum ? reply : "";
}

TEST(BenchModels, ServerProgrammingSequence) {
  // An image whose only word is 0x105: the opening group, the group at
  // 0x104 written, then verified, then the new firmware started.
  TServer server;
  TPc pc(server);
  const std::string opening = Bytes({0x01, 0x00, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05});
  const std::string group = Bytes({0x01, 0x04, 0x3F, 0xFF, 0x2A, 0x5B, 0x3F, 0xFF, 0x3F, 0xFF});
  EXPECT_EQ(Command(pc, false, opening), Bytes({0x07}));
  EXPECT_EQ(Command(pc, false, group), Bytes({0x07}));
  EXPECT_EQ(Command(pc, true, '\0' + group), Bytes({0x07}));
  EXPECT_EQ(Command(pc, true, Bytes({0x01})), Bytes({0x07}));
  EXPECT_EQ(server.Word(0x105), 0x2A5B);
  EXPECT_EQ(server.Word(0x100), 0x3405);
  // Nothing runnable was programmed: the loader stays and refuses the query.
  EXPECT_EQ(server.Running(), TServer::TFirmware::Loader);
  EXPECT_EQ(Command(pc, true, Bytes({0x00})), Bytes({0x15}));
}

// ---- lines, format and timing ---------------------------------------------------

TEST(BenchModels, LineReset) {
  struct TCase {
    const char* Name;
    std::function<std::shared_ptr<TSerialModel>()> Make;
    std::string Before;  // brings the device into a state the reset should end (or not)
    std::string After;   // sent once the device has booted
    std::string Exchanges;
    int Resets;
  } cases[] = {
      {"dongle identifies again", [] { return std::make_shared<TDongle>(); }, kHandshake + Bytes({0x00}),
       Bytes({0x80, 0x55}), Pairs({{0x80, 0x12}, {0x55, 'Q'}}), 1},
      {"server keeps its state", [] { return std::make_shared<TServer>(); }, Bytes({0x43, 0x01}), Bytes({0x02, 0x03}),
       Pairs({{0x02, 0x02}, {0x03, 0x03}}), 0},
      {"server wired for reset starts idle",
       [] {
         TServer::TConfig c;
         c.ResetByLines = true;
         return std::make_shared<TServer>(c);
       },
       Bytes({0x43, 0x01}), Bytes({0x02, 0x00}), Pairs({{0x02, 0x01}, {0x00, 0x02}}), 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto device = c.Make();
    TPc pc(*device);
    for (char b : c.Before) pc.Exchange(static_cast<uint8_t>(b));
    // The detection's sequence: DTR off with RTS on holds the reset for 200
    // ms, the release boots the device, 100 ms later the PC talks.
    device->SetLines(false, true, pc.Now);
    pc.Now += 200000;
    device->SetLines(true, false, pc.Now);
    pc.Now += 100000;
    EXPECT_EQ(pc.Run(c.After), c.Exchanges);
    EXPECT_EQ(device->Resets(), c.Resets);
  }
}

TEST(BenchModels, DeviceHearsNothingWhileHeldInResetOrBooting) {
  TDongle dongle;
  TPc pc(dongle);
  dongle.SetLines(false, true, pc.Now);
  EXPECT_TRUE(dongle.HeldInReset());
  EXPECT_EQ(pc.Run(Bytes({0x80})), Pairs({{0x80, -1}}));
  dongle.SetLines(true, false, pc.Now);
  EXPECT_FALSE(dongle.HeldInReset());
  // Within the boot time (20 ms) bytes are lost; then the device listens.
  pc.Now += dongle.BootUs - 2 * kChar;
  dongle.Receive(0x80, pc.Now + kChar);
  EXPECT_EQ(dongle.NextOutput(), -1);
  pc.Now += 2 * kChar;
  EXPECT_EQ(pc.Run(Bytes({0x80})), Pairs({{0x80, 0x12}}));
  // Opening a port raises both lines: no reset.
  dongle.SetLines(true, true, pc.Now);
  EXPECT_FALSE(dongle.HeldInReset());
  EXPECT_EQ(dongle.Resets(), 1);
}

TEST(BenchModels, ResetDiscardsWhatTheDeviceHadNotSentYet) {
  TServer::TConfig config;
  config.ResetByLines = true;
  TServer server(config);
  const TTime t = 1000000;
  server.Receive(0x00, t);
  server.Receive(0x00, t + kChar);
  // The first answer is complete at t + 50 + 1042, the second one after it.
  server.SetLines(false, true, t + kProcessing + kChar + 10);
  EXPECT_EQ(server.Transmit(t + 100000), std::string(1, '\0'));
  EXPECT_EQ(server.NextOutput(), -1);
}

TEST(BenchModels, AnswersTakeTheProcessingTimeAndOneCharacter) {
  EXPECT_EQ(CharTime(TLineFormat{}), 1042);
  EXPECT_EQ(CharTime(TLineFormat{19200, 8, 'E', 2}), 625);
  EXPECT_EQ(CharTime(TLineFormat{9600, 7, 'O', 1}), 1042);

  TServer server;
  const TTime t = 5000000;
  server.Receive(0x00, t);
  EXPECT_EQ(server.NextOutput(), t + kProcessing + kChar);
  EXPECT_EQ(server.Transmit(t + kProcessing + kChar - 1), "");
  EXPECT_EQ(server.Transmit(t + kProcessing + kChar), std::string(1, '\0'));
  // Two answers in a row share the line: the second starts when the first
  // has left.
  server.Receive(0x00, t + 10000);
  server.Receive(0x00, t + 10001);
  EXPECT_EQ(server.NextOutput(), t + 10000 + kProcessing + kChar);
  server.Transmit(t + 10000 + kProcessing + kChar);
  EXPECT_EQ(server.NextOutput(), t + 10000 + kProcessing + 2 * kChar);

  // The handheld's answers also cross the radio.
  TLinkedDongle linked;
  linked.Dongle.Receive(0x02, linked.Pc.Now);
  EXPECT_EQ(linked.Dongle.NextOutput(), linked.Pc.Now + kProcessing + 1500 + kChar);
}

TEST(BenchModels, BytesAtAnotherLineFormatAreNotUnderstood) {
  TServer server;
  TPc pc(server);
  struct TCase {
    TLineFormat Format;
    int Answer;
  } cases[] = {
      {{19200, 8, 'N', 1}, -1}, {{9600, 7, 'N', 1}, -1},   {{9600, 8, 'E', 1}, -1},
      {{9600, 8, 'N', 2}, -1},  {{9600, 8, 'N', 1}, 0x00},
  };
  for (const TCase& c : cases) {
    server.SetFormat(c.Format.Baud, c.Format.DataBits, c.Format.Parity, c.Format.StopBits, pc.Now);
    EXPECT_EQ(pc.Exchange(0x00), c.Answer)
        << c.Format.Baud << " " << c.Format.DataBits << c.Format.Parity << c.Format.StopBits;
  }
}

TEST(BenchModels, DsrFollowsTheHandheldAndTheFaultSwitch) {
  auto handheld = std::make_shared<THandheld>();
  TDongle dongle(TDongle::TConfig{}, handheld);
  const TTime t = 1000;
  EXPECT_TRUE(dongle.Dsr(t));
  handheld->SwitchOn(false);
  EXPECT_FALSE(dongle.Dsr(t));
  handheld->SwitchOn(true);
  dongle.Disconnect();
  EXPECT_FALSE(dongle.Dsr(t));
  dongle.Connect(handheld);
  EXPECT_TRUE(dongle.Dsr(t));
  dongle.Faults().LoseDsr(2000, 3000);
  EXPECT_TRUE(dongle.Dsr(1999));
  EXPECT_FALSE(dongle.Dsr(2000));
  EXPECT_FALSE(dongle.Dsr(2999));
  EXPECT_TRUE(dongle.Dsr(3000));
  dongle.Faults().LoseDsr(4000);
  EXPECT_FALSE(dongle.Dsr(1000000000));
  dongle.Faults().RestoreDsr();
  EXPECT_TRUE(dongle.Dsr(1000000000));

  TServer::TConfig dark;
  dark.DsrOn = false;
  EXPECT_TRUE(TServer().Dsr(t));
  EXPECT_FALSE(TServer(dark).Dsr(t));
}

// ---- fault switches ----------------------------------------------------------------

TEST(BenchModels, FaultSwitches) {
  const std::string query = Bytes({0x41, 0x00, 0x84, 0xC2, 0xC3, 0xC1});
  struct TCase {
    const char* Name;
    std::function<void(TFaults&)> Set;
    std::string Exchanges;
  } cases[] = {
      {"none", [](TFaults&) {},
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, 0x42}, {0xC2, 0x24}, {0xC3, 0x0F}, {0xC1, 0x60}})},
      {"silent", [](TFaults& f) { f.SetSilent(true); },
       Pairs({{0x41, -1}, {0x00, -1}, {0x84, -1}, {0xC2, -1}, {0xC3, -1}, {0xC1, -1}})},
      // The server still takes the byte: the frame goes on.
      {"no answer at the 3rd", [](TFaults& f) { f.Add(SilentAt(3)); },
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, -1}, {0xC2, 0x24}, {0xC3, 0x0F}, {0xC1, 0x60}})},
      {"no answer to a byte", [](TFaults& f) { f.Add(SilentOn(0xC3)); },
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, 0x42}, {0xC2, 0x24}, {0xC3, -1}, {0xC1, 0x60}})},
      {"wrong byte at the 4th", [](TFaults& f) { f.Add(WrongAt(4, 0x25)); },
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, 0x42}, {0xC2, 0x25}, {0xC3, 0x0F}, {0xC1, 0x60}})},
      {"inverted answer to a byte", [](TFaults& f) { f.Add(WrongOn(0xC1)); },
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, 0x42}, {0xC2, 0x24}, {0xC3, 0x0F}, {0xC1, 0x9F}})},
      // The server never sees the payload byte: the check byte is taken in
      // its place and the polls meet a frame still waiting for its check.
      {"dropped 2nd byte", [](TFaults& f) { f.Add(DropAt(2)); },
       Pairs({{0x41, 0x01}, {0x00, -1}, {0x84, 0x03}, {0xC2, 0x15}, {0xC3, -1}, {0xC1, -1}})},
      {"dropped byte by value", [](TFaults& f) { f.Add(DropOn(0x84)); },
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, -1}, {0xC2, 0x15}, {0xC3, -1}, {0xC1, -1}})},
      {"late answer beyond the time-out", [](TFaults& f) { f.Add(LateAt(6, 60000)); },
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, 0x42}, {0xC2, 0x24}, {0xC3, 0x0F}, {0xC1, -1}})},
      {"late answer within the time-out", [](TFaults& f) { f.Add(LateOn(0x84, 40000)); },
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, 0x42}, {0xC2, 0x24}, {0xC3, 0x0F}, {0xC1, 0x60}})},
      {"cleared",
       [](TFaults& f) {
         f.SetSilent(true);
         f.Add(WrongAt(1, 0));
         f.Clear();
       },
       Pairs({{0x41, 0x01}, {0x00, 0x03}, {0x84, 0x42}, {0xC2, 0x24}, {0xC3, 0x0F}, {0xC1, 0x60}})},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TServer server;
    c.Set(server.Faults());
    TPc pc(server);
    EXPECT_EQ(pc.Run(query), c.Exchanges);
  }
}

TEST(BenchModels, FaultRulesCountFromTheirAdditionAndFireAsOftenAsAsked) {
  TServer server;
  TPc pc(server);
  const std::string zeros(4, '\0');
  pc.Do(zeros);  // four answers before the rules
  server.Faults().Add(WrongAt(2, 0x77));
  EXPECT_EQ(pc.Run(zeros), Pairs({{0, 0}, {0, 0x77}, {0, 0}, {0, 0}}));
  server.Faults().Clear();
  server.Faults().Add(SilentOn(0x00, 2));
  EXPECT_EQ(pc.Run(zeros), Pairs({{0, -1}, {0, -1}, {0, 0}, {0, 0}}));
  server.Faults().Clear();
  server.Faults().Add(WrongOn(0x00, 0x01, 0));  // every time
  EXPECT_EQ(pc.Run(zeros), Pairs({{0, 1}, {0, 1}, {0, 1}, {0, 1}}));
  server.Faults().Clear();
  // A drop counts bytes received, answered or not.
  pc.Run(Bytes({0xFF, 0xFF, 0xFF}));
  server.Faults().Add(DropAt(2));
  EXPECT_EQ(pc.Run(Bytes({0x00, 0x00, 0x00})), Pairs({{0, 0}, {0, -1}, {0, 0}}));
}

TEST(BenchModels, LateAnswerLeavesLaterAndHoldsUpWhatFollows) {
  TServer server;
  server.Faults().Add(LateAt(1, 30000));
  const TTime t = 1000000;
  server.Receive(0x00, t);
  server.Receive(0x00, t + kChar);
  EXPECT_EQ(server.NextOutput(), t + kProcessing + 30000 + kChar);
  server.Transmit(t + kProcessing + 30000 + kChar);
  EXPECT_EQ(server.NextOutput(), t + kProcessing + 30000 + 2 * kChar);
}

TEST(BenchModels, FaultsOfTheDongleCoverTheHandheldsAnswers) {
  TLinkedDongle linked;
  linked.Dongle.Faults().Add(WrongOn(0x02, 0x99));
  EXPECT_EQ(linked.Pc.Run(Bytes({0x04, 0x39, 0x02})), Pairs({{0x04, 0x04}, {0x39, 0x39}, {0x02, 0x99}}));
}

TEST(BenchModels, WireRecordsBothDirections) {
  TServer server;
  TPc pc(server);
  pc.Run(Bytes({0x00, 0xC1, 0x00}));
  EXPECT_EQ(server.FromPc(), Bytes({0x00, 0xC1, 0x00}));
  EXPECT_EQ(server.ToPc(), Bytes({0x00, 0x00}));
  ASSERT_EQ(server.Wire().size(), 5u);
  EXPECT_TRUE(server.Wire()[0].FromPc);
  EXPECT_FALSE(server.Wire()[1].FromPc);
  EXPECT_EQ(server.Wire()[1].Time, server.Wire()[0].Time + kProcessing + kChar);
  server.ClearWire();
  EXPECT_TRUE(server.Wire().empty());
}

}  // namespace
}  // namespace bench
