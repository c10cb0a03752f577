// Programming and the update sequences against the device bench, in
// virtual time. The bench's record of what the devices hold (EEPROM,
// program memory, the firmware running) decides, not what the tool says.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/Firmware.h"
#include "tests/support/Unit.h"

namespace qv {
namespace {

using test::TUnitBench;

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// The group frames of a server programming as the server took them.
std::vector<bench::TServer::TCommand> Frames(const bench::TServer& server, size_t from) {
  const auto& all = server.Commands();
  return std::vector<bench::TServer::TCommand>(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
}

// Bar positions the window was given, in order.
std::vector<int> BarPositions(const test::TTestWindow& window) {
  std::vector<int> positions;
  for (const std::string& e : window.Journal())
    if (e.rfind("PrcBar.Position ", 0) == 0) positions.push_back(std::stoi(e.substr(16)));
  return positions;
}

class Programming : public ::testing::Test {
 protected:
  void SetUp() override {
    U.Window.RestoreServer = true;  // so that the server firmware is decoded too
    ASSERT_TRUE(U.Connect());
  }
  TSerThread& W() { return *U.Worker; }
  bench::THandheld& Handheld() { return *U.Bench.Handheld; }
  bench::TServer& Server() { return *U.Bench.Server; }

  TUnitBench U;
};

// ---- the handheld ----

TEST_F(Programming, HandheldImageOf64BytesSendsEveryByteOnceAndTheHardwareByteLast) {
  std::vector<uint8_t> image(64);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  image[0] = 0x21;
  std::copy(image.begin(), image.end(), W().HandheldImage[3].begin());
  W().HandheldImageLen[3] = 64;
  U.Bench.Dongle->ClearWire();
  const size_t before = U.Messages().size();

  W().ProgramHandheld(3);

  EXPECT_EQ(W().Outcome, ocNone);
  EXPECT_EQ(U.MessagesFrom(before), std::vector<std::string>{"Programming Quorvantis, please wait..."});
  const std::string sent = U.Bench.Dongle->FromPc();
  EXPECT_EQ(sent.size(), 6u + 2 * 63 + 4 + 63 + 9);
  EXPECT_EQ(sent.substr(0, 6), B({0x04, 0x00, 0x05, 0x00, 0x07, 0x00}));
  EXPECT_EQ(sent.substr(sent.size() - 9), B({0x04, 0x00, 0x05, 0x00, 0x07, 0x21, 0x04, 0x00, 0x03}));
  for (size_t i = 0; i < 64; ++i) EXPECT_EQ(Handheld().Eeprom(static_cast<uint16_t>(i)), image[i]) << i;
  // 126 ticks of 128: the bar stops short of 100, and is hidden again.
  EXPECT_EQ(BarPositions(U.Window).back(), 98);
  EXPECT_FALSE(U.Window.Screen().PrcBarVisible);
}

struct THandheldFault {
  const char* Name;
  int WrongReadAt, SilentReadAt, SilentWriteAt;
  size_t Sent;  // bytes sent, the last one the bad byte's
};

constexpr size_t kWritePhase = 6 + 2 * (bench::kHandheldLength - 1) + 4;

void PrintTo(const THandheldFault& c, std::ostream* os) { *os << c.Name; }

class HandheldFaults : public Programming, public ::testing::WithParamInterface<THandheldFault> {};

TEST_P(HandheldFaults, FailAtTheFirstBadByteAndLeaveAddressZeroAtZero) {
  const THandheldFault& f = GetParam();
  Handheld().Faults().WrongReadAt = f.WrongReadAt;
  Handheld().Faults().SilentReadAt = f.SilentReadAt;
  Handheld().Faults().SilentWriteAt = f.SilentWriteAt;
  U.Bench.Dongle->ClearWire();
  const size_t before = U.Messages().size();

  W().ProgramHandheld(2);

  EXPECT_EQ(W().Outcome, ocFailed);
  EXPECT_EQ(U.MessagesFrom(before), (std::vector<std::string>{"Programming Quorvantis, please wait...",
                                                              "Communication error, programming failed!"}));
  EXPECT_EQ(Handheld().Eeprom(0), 0x00) << "a half-written handheld never carries its hardware byte";
  EXPECT_EQ(U.Bench.Dongle->FromPc().size(), f.Sent) << "nothing after the bad byte";
}

INSTANTIATE_TEST_SUITE_P(Faults, HandheldFaults,
                         ::testing::Values(THandheldFault{"WrongReadBack", 1000, -1, -1, kWritePhase + 1000},
                                           THandheldFault{"SilentReadBack", -1, 77, -1, kWritePhase + 77},
                                           THandheldFault{"SilentWrite", -1, -1, 3000, 6 + 2 * 2999 + 2}),
                         [](const ::testing::TestParamInfo<THandheldFault>& p) { return std::string(p.param.Name); });

TEST_F(Programming, ClosingWriteSucceedsOnlyWhenTheHandheldStaysSilent) {
  W().WriteHandheldReg(0x39, 0x00, false);
  EXPECT_TRUE(W().LinkOk);
  EXPECT_GE(Handheld().ReleasedAt(), 0);

  TUnitBench echoing;
  ASSERT_TRUE(echoing.Connect());
  echoing.Bench.Handheld->Faults().EchoRelease = true;
  echoing.Worker->WriteHandheldReg(0x39, 0x00, false);
  EXPECT_FALSE(echoing.Worker->LinkOk) << "an answer of any kind fails";
}

TEST_F(Programming, AwaitHandheldReturnsAtOnceForAnotherDongle) {
  W().DongleId[5] ^= 1;
  const bench::TTime t0 = U.Now();
  W().AwaitHandheld(2500);
  EXPECT_FALSE(W().LinkOk);
  // The line reset (400 ms) and the identification; no DSR poll.
  EXPECT_LT(U.Now() - t0, 500000);
}

TEST_F(Programming, AwaitHandheldGivesUpAfterItsPolls) {
  Handheld().Faults().JobNeverEnds = true;
  W().StartHandheldJob(3, 1);  // a job with the wrong image: refused, but still busy
  ASSERT_TRUE(W().LinkOk);
  const bench::TTime t0 = U.Now();
  W().AwaitHandheld(20);
  EXPECT_FALSE(W().LinkOk);
  const bench::TTime waited = U.Now() - t0;
  EXPECT_GE(waited, 400000 + 20 * 50000);
  EXPECT_LT(waited, 400000 + 20 * 50000 + 350000) << "about one second of polls, then the probe's time-out";
}

TEST_F(Programming, JobRegistersComeFromTheImageAndTheHandheldChecksThem) {
  // Test firmware with its end address lowered, as the tool programs it,
  // then its RF module started.
  THandheldImage& test = W().HandheldImage[3];
  const auto end = static_cast<uint16_t>((test[27] | test[28] << 8) - 2);
  test[27] = static_cast<uint8_t>(end & 0xFF);
  test[28] = static_cast<uint8_t>(end >> 8);
  W().ProgramHandheld(3);
  ASSERT_EQ(W().Outcome, ocNone);
  W().StartHandheldJob(3, 1);
  W().AwaitHandheld(2500);
  ASSERT_TRUE(W().LinkOk);
  EXPECT_EQ(W().ReadHandheldReg(0x17), 0);
  EXPECT_EQ(W().ReadHandheldReg(0x11), 0xC3) << "the RF module reports its radio address";

  // Registers that do not describe the image in the EEPROM are refused.
  test[24] ^= 1;
  W().StartHandheldJob(3, 1);
  W().AwaitHandheld(2500);
  EXPECT_EQ(W().ReadHandheldReg(0x17), bench::THandheld::kJobBadParams);
}

TEST_F(Programming, HandheldOperationsDoNothingAfterATerminationEvenWhenFinishing) {
  W().Finishing = true;
  W().Terminate();
  U.Bench.Dongle->ClearWire();
  W().ProgramHandheld(2);
  W().WriteHandheldReg(0x39, 0x10, true);
  EXPECT_EQ(W().ReadHandheldReg(0x39), 0xFF);
  W().StartHandheldJob(3, 1);
  W().AwaitHandheld(20);
  EXPECT_EQ(U.Bench.Dongle->FromPc(), "");
  EXPECT_EQ(W().Outcome, ocNone);
}

// ---- the server ----

TEST_F(Programming, ServerImageWithOneWordSendsOneGroupEachPass) {
  TServerImage& image = W().ServerImage[2];
  image.Clear();
  image.At(0x105) = 0x2A5B;
  const size_t before = Server().Commands().size();
  W().ProgramServer(2);
  EXPECT_EQ(W().Outcome, ocNone);
  const std::string group = B({0x01, 0x04, 0x3F, 0xFF, 0x2A, 0x5B, 0x3F, 0xFF, 0x3F, 0xFF});
  const auto frames = Frames(Server(), before);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].Payload, B({0x01, 0x00, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05, 0x34, 0x05}));
  EXPECT_FALSE(frames[1].Flagged);
  EXPECT_EQ(frames[1].Payload, group);
  EXPECT_TRUE(frames[2].Flagged);
  EXPECT_EQ(frames[2].Payload, '\0' + group);
  EXPECT_EQ(BarPositions(U.Window), (std::vector<int>{0, 50, 100}));
  EXPECT_EQ(Server().Word(0x105), 0x2A5B);
  EXPECT_EQ(Server().Word(0x104), 0x3FFF);
}

TEST_F(Programming, AllBlankServerImageSendsTheOpeningFrameOnly) {
  W().ServerImage[2].Clear();
  const size_t before = Server().Commands().size();
  W().ProgramServer(2);
  EXPECT_EQ(W().Outcome, ocNone);
  EXPECT_EQ(Frames(Server(), before).size(), 1u);
}

TEST_F(Programming, ServerFirmwareIsWrittenTopDownVerifiedAndStarted) {
  const size_t before = Server().Commands().size();
  W().ProgramServer(1);
  ASSERT_EQ(W().Outcome, ocNone) << W().LogText;
  const auto frames = Frames(Server(), before);
  // Each pass from the top down, the group at 0x100 last.
  const size_t groups = (frames.size() - 1) / 2;
  EXPECT_EQ(frames[groups].Payload.substr(0, 2), B({0x01, 0x00}));
  EXPECT_EQ(frames[1].Payload.substr(0, 2), B({0x0B, 0xFC}));
  EXPECT_EQ(frames.back().Payload.substr(0, 3), B({0x00, 0x01, 0x00}));
  const bench::TServerWords expected = bench::MakeServerFirmware(U.Set.ServerX, U.Set.ServerY);
  for (uint32_t a = 0x100; a < 0x2000; ++a) ASSERT_EQ(Server().Word(a), expected[a]) << a;
  EXPECT_EQ(Server().Running(), bench::TServer::TFirmware::Production);
  EXPECT_EQ(Server().Config().VersionX, U.Set.ServerX);
  EXPECT_EQ(BarPositions(U.Window).back(), 100);
}

TEST_F(Programming, RefusedServerFrameFailsAndLeavesTheServerInItsLoader) {
  Server().RefuseFrame(40);
  const size_t before = U.Messages().size();
  W().ProgramServer(1);
  EXPECT_EQ(W().Outcome, ocFailed);
  EXPECT_EQ(U.MessagesFrom(before), (std::vector<std::string>{"Programming server, please wait...",
                                                              "Communication error, programming failed!"}));
  EXPECT_EQ(Server().ProgrammingFrames(), 40u) << "nothing after the refused frame";
  EXPECT_EQ(Server().Running(), bench::TServer::TFirmware::Loader);
}

TEST_F(Programming, ServerProgrammingRunsWhileFinishingAfterATermination) {
  W().Finishing = true;
  W().Terminate();
  W().ProgramServer(1);
  EXPECT_EQ(W().Outcome, ocNone);
  EXPECT_EQ(Server().Running(), bench::TServer::TFirmware::Production);

  W().Finishing = false;
  const size_t before = Server().Commands().size();
  W().ProgramServer(1);
  EXPECT_EQ(Server().Commands().size(), before) << "without Finishing the gate is closed";
}

// ---- the update sequences ----

TEST_F(Programming, HandheldUpdateInstallsTheModemThenTheFirmwareAndHandsOver) {
  const size_t before = U.Messages().size();
  W().UpdateHandheldFirmware();
  ASSERT_EQ(W().Outcome, ocNone) << W().LogText;
  EXPECT_EQ(U.MessagesFrom(before), (std::vector<std::string>{
                                        "--- Updating Quorvantis RF modem firmware to V1.3 ---",
                                        "Programming Quorvantis, please wait...",
                                        "Preparing to execute firmware update...",
                                        "Waiting for firmware update to finish...",
                                        "--- Updating Quorvantis EEPROM firmware to V2.4 ---",
                                        "Programming Quorvantis, please wait...",
                                    }));
  const bench::THandheldImage modem = bench::MakeModemImage(0x21, U.Set.ModemVersion);
  const bench::THandheldImage firmware = bench::MakeHandheldFirmware(0x21, U.Set.HandheldVersion);
  EXPECT_EQ(Handheld().ModemFirmware(), std::vector<uint8_t>(modem.begin(), modem.end()));
  EXPECT_EQ(Handheld().Config().ModemVersion, U.Set.ModemVersion);
  EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), Handheld().EepromBytes().begin()));
  EXPECT_GE(Handheld().ReleasedAt(), 0) << "the production firmware runs";
  EXPECT_EQ(Handheld().Jobs(), std::vector<uint8_t>{1});
}

TEST_F(Programming, ModemJobEndAddressIsLoweredByTwoWithBorrow) {
  THandheldImage& modem = W().HandheldImage[1];
  modem[27] = 0x00;
  modem[28] = 0x01;
  W().UpdateHandheldFirmware();
  EXPECT_EQ(modem[27], 0xFE);
  EXPECT_EQ(modem[28], 0x00);
  EXPECT_EQ(Handheld().Register(0x30), 0xFE);
  EXPECT_EQ(Handheld().Register(0x31), 0x00);
}

struct TUpdateFault {
  const char* Name;
  void (*Arrange)(bench::THandheld&);
  std::vector<std::string> Tail;  // the last lines logged
  bool FirmwareProgrammed;
};

void PrintTo(const TUpdateFault& c, std::ostream* os) { *os << c.Name; }

class UpdateFaults : public Programming, public ::testing::WithParamInterface<TUpdateFault> {};

TEST_P(UpdateFaults, EachFailureHasItsMessage) {
  const TUpdateFault& f = GetParam();
  f.Arrange(Handheld());
  W().UpdateHandheldFirmware();
  EXPECT_EQ(W().Outcome, ocFailed);
  const std::vector<std::string> all = U.Messages();
  ASSERT_GE(all.size(), f.Tail.size());
  EXPECT_EQ(std::vector<std::string>(all.end() - static_cast<std::ptrdiff_t>(f.Tail.size()), all.end()), f.Tail);
  const bench::THandheldImage firmware = bench::MakeHandheldFirmware(0x21, "V2.4");
  EXPECT_EQ(std::equal(firmware.begin(), firmware.end(), Handheld().EepromBytes().begin()), f.FirmwareProgrammed);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UpdateFaults,
    ::testing::Values(
        TUpdateFault{"ModemJobReportsFailure", [](bench::THandheld& h) { h.Faults().JobStatus = 1; },
                     {"Waiting for firmware update to finish...", "Modem firmare update failed!"}, false},
        TUpdateFault{"HandheldNeverBack", [](bench::THandheld& h) { h.Faults().JobNeverEnds = true; },
                     {"Waiting for firmware update to finish...", "Communication error, firmware execution failed!"},
                     false},
        TUpdateFault{"ClosingValueEchoed", [](bench::THandheld& h) { h.Faults().EchoRelease = true; },
                     {"Programming Quorvantis, please wait...", "Communication error, finalization failed!"}, true},
        TUpdateFault{"ModemImageReadBackWrong", [](bench::THandheld& h) { h.Faults().WrongReadAt = 10; },
                     {"Programming Quorvantis, please wait...", "Communication error, programming failed!"}, false}),
    [](const ::testing::TestParamInfo<TUpdateFault>& p) { return std::string(p.param.Name); });

TEST_F(Programming, TerminationBetweenStepsEndsTheUpdateWithoutAMessage) {
  // The request comes as soon as the modem job has started.
  bool requested = false;
  U.Bench.Clock.AddListener(this, [&](TClock::TDuration) {
    if (!requested && U.Bench.Handheld->Jobs().size() == 1) {
      requested = true;
      W().Terminate();
    }
  });
  W().UpdateHandheldFirmware();
  U.Bench.Clock.RemoveListener(this);
  EXPECT_TRUE(requested);
  EXPECT_EQ(W().Outcome, ocNone) << "the driver reports the abort";
  EXPECT_EQ(U.Messages().back(), "Preparing to execute firmware update...");
  EXPECT_EQ(U.Bench.Dongle->Resets(), 1) << "no wait for the handheld after the request";
}

TEST_F(Programming, ServerUpdateHeadlineWithAndWithoutAVersion) {
  W().ServerFwVersion = " to V2.1.3a";
  W().UpdateServerFirmware();
  EXPECT_EQ(U.Messages()[U.Messages().size() - 2], "--- Updating server firmware to V2.1.3a ---");
  EXPECT_EQ(W().Outcome, ocNone);

  W().ServerFwVersion.clear();
  W().UpdateServerFirmware();
  EXPECT_EQ(U.Messages()[U.Messages().size() - 2], "--- Updating server firmware ---");
}

}  // namespace
}  // namespace qv
