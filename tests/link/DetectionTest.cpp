// Port detection and device initialisation against the device bench, in
// virtual time: every reset wait and read time-out of a detection costs no
// real time, and each run repeats exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/Dongle.h"
#include "bench/Handheld.h"
#include "bench/Server.h"
#include "procedure/SerThread.h"
#include "serial/ComPort.h"
#include "tests/support/Bench.h"
#include "tests/support/TestWindow.h"
#include "tests/support/Cases.h"

namespace qv {
namespace {

using test::PrintTo;

using test::TBench;
using test::TScreen;
using test::TTestWindow;

constexpr const char* kDongleLine = "Dongle found on COM3, #QV0DONGLE0000001, HW1.2";
constexpr const char* kServerLine = "Server found on COM4, #RFQVSERVER000123, HW2.0";

std::string B(std::initializer_list<uint8_t> bytes) {
  std::string s;
  for (uint8_t b : bytes) s += static_cast<char>(b);
  return s;
}

std::shared_ptr<bench::TDongle> MakeDongle(const std::string& identity = "QV0DONGLE0000001", uint8_t hw = 0x12) {
  bench::TDongle::TConfig config;
  config.Identity = identity;
  config.Hw = hw;
  return std::make_shared<bench::TDongle>(config);
}

std::shared_ptr<bench::TServer> MakeServer(const std::string& identity = "RFQVSERVER000123") {
  bench::TServer::TConfig config;
  config.Identity = identity;
  return std::make_shared<bench::TServer>(config);
}

// A device that takes part in nothing: a port with something else behind it.
std::shared_ptr<bench::TDongle> MakeSilent() {
  auto d = MakeDongle();
  d->Faults().SetSilent(true);
  return d;
}

// The worker, the window and the two port components, on a bench.
class Detection : public ::testing::Test {
protected:
  void Use(std::vector<TBench::TSlot> ports) { Bench = std::make_unique<TBench>(std::move(ports)); }

  // Builds the worker once the bench stands; the combos name a port or
  // stay on "Auto detect" (empty).
  void Setup(const std::string& dongleChoice = "", const std::string& serverChoice = "") {
    if (!Bench) Bench = std::make_unique<TBench>();
    Bench->Attach(PortA, 0);
    Bench->Attach(PortB, 1);
    Window.Ports = {&PortA, &PortB};
    Choose(ciCOM1, dongleChoice);
    Choose(ciCOM2, serverChoice);
    Worker = std::make_unique<TSerThread>(true, Window, Bench->Clock);
  }

  void Choose(TComboId id, const std::string& port) {
    TComboState& c = Window.Combos[id];
    c.Items = Bench->ComboItems();
    auto it = std::find(c.Items.begin(), c.Items.end(), port);
    c.ItemIndex = port.empty() || it == c.Items.end() ? 0 : static_cast<int>(it - c.Items.begin());
    c.Text = c.Items[static_cast<size_t>(c.ItemIndex)];
  }

  // The message lines of the transcript.
  std::vector<std::string> Messages() const {
    std::vector<std::string> lines;
    size_t at = 0;
    const std::string& log = Worker->LogText;
    while (at < log.size()) {
      const size_t end = log.find('\r', at);
      const std::string entry = log.substr(at, end - at);
      if (!entry.empty() && entry[0] == '>') lines.push_back(entry.substr(1));
      at = end + 1;
    }
    return lines;
  }
  int Resets() const {
    int n = 0;
    for (size_t at = Worker->LogText.find("R\r"); at != std::string::npos; at = Worker->LogText.find("R\r", at + 1))
      ++n;
    return n;
  }
  // The ports in the order their devices first heard from the PC.
  std::vector<std::string> ProbeOrder(const std::map<std::string, bench::TSerialModel*>& models) const {
    std::vector<std::pair<bench::TTime, std::string>> firsts;
    for (const auto& [name, model] : models)
      if (!model->Wire().empty()) firsts.emplace_back(model->Wire().front().Time, name);
    std::sort(firsts.begin(), firsts.end());
    std::vector<std::string> order;
    for (const auto& f : firsts) order.push_back(f.second);
    return order;
  }

  // The bench first: open ports run on its clock until they are gone.
  std::unique_ptr<TBench> Bench;
  TComPort PortA{nullptr};
  TComPort PortB{nullptr};
  TTestWindow Window;
  std::unique_ptr<TSerThread> Worker;
};

TEST_F(Detection, AutoDetectFindsBothAndLeavesThemOpenWithTheLongTimeout) {
  Setup();
  Worker->DetectPorts();
  EXPECT_EQ(Worker->Outcome, ocNone);
  EXPECT_TRUE(Worker->LinkOk);
  EXPECT_EQ(Messages(), (std::vector<std::string>{kDongleLine, kServerLine}));
  EXPECT_EQ(Window.Ports.SerIF1, &PortA) << "the dongle came first: no exchange of roles";
  EXPECT_EQ(Window.Ports.SerIF2, &PortB);
  for (TComPort* port : {&PortA, &PortB}) {
    EXPECT_TRUE(port->Active());
    EXPECT_TRUE(port->Tag & 2);
    EXPECT_EQ(port->Timeouts().ReadConstant(), 250);
  }
  EXPECT_EQ(PortA.DeviceName(), "COM3");
  EXPECT_EQ(PortB.DeviceName(), "COM4");
  EXPECT_EQ(Window.LastDonglePort, "COM3");
  EXPECT_EQ(Window.LastServerPort, "COM4");
  EXPECT_EQ(Worker->DongleId, "\x12QV0DONGLE0000001");
  // The line reset: held low for 200 ms, then 100 ms to settle, per probe.
  EXPECT_GE(Bench->Clock.Slept().count(), 2 * 300000);
}

TEST_F(Detection, TheProbeOfADongleIsTheResetAndTheNineteenExchanges) {
  Setup();
  Worker->DetectPorts();
  std::string expected = "1R\r1<128\r1>18\r1<0\r1>85\r1<165\r1>240\r";
  for (char c : std::string("QV0DONGLE0000001")) expected += "1<85\r1>" + std::to_string(c) + "\r";
  EXPECT_EQ(Worker->LogText.substr(0, expected.size()), expected);
  EXPECT_EQ(Bench->Dongle->FromPc(), B({0x80, 0x00, 0xA5}) + std::string(16, 0x55));
  EXPECT_EQ(Bench->Dongle->Resets(), 1);
}

TEST_F(Detection, BothCombosNamingPortsProbeOnlyThoseTwoServerFirst) {
  auto other = MakeDongle("QV0DONGLE0000009");
  Use({{"COM3", MakeDongle()}, {"COM4", MakeServer()}, {"COM5", other}});
  Setup("COM3", "COM4");
  Worker->DetectPorts();
  EXPECT_EQ(Worker->Outcome, ocNone);
  EXPECT_EQ(Messages(), (std::vector<std::string>{kServerLine, kDongleLine}));
  EXPECT_TRUE(other->Wire().empty()) << "COM5 was probed";
  EXPECT_EQ(Resets(), 2);
}

// The server found while no dongle is known takes the server's role at
// once: from then on its bytes carry the digit of the component designed
// for the dongle, and the other component goes on probing.
TEST_F(Detection, ServerAnsweringFirstExchangesTheRoles) {
  Setup("", "COM4");
  Worker->DetectPorts();
  EXPECT_EQ(Worker->Outcome, ocNone);
  EXPECT_EQ(Window.Ports.SerIF1, &PortB);
  EXPECT_EQ(Window.Ports.SerIF2, &PortA);
  EXPECT_EQ(PortA.DeviceName(), "COM4");
  EXPECT_EQ(PortB.DeviceName(), "COM3");
  EXPECT_EQ(Worker->LogText.substr(0, 17), "1R\r1<128\r1>32\r1<0") << "the server on digit 1";
  EXPECT_NE(Worker->LogText.find("2R\r2<128\r2>18\r"), std::string::npos) << "the dongle on digit 2";

  // And the server's commands go out on it, with its digit.
  Worker->InitDevice(*Window.Ports.SerIF2, false);
  ASSERT_TRUE(Worker->LinkOk);
  Worker->LogText.clear();
  const std::string reply = Worker->ServerCommand(B({0x00}), true);
  EXPECT_EQ(reply, B({0x42, 0x24, 0x0F}));
  EXPECT_EQ(Worker->LogText.substr(0, 10), "1<65\r1>1\r1");
}

TEST_F(Detection, FewerThanTwoPortsAreRefusedBeforeAnyProbe) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Ports;
    std::string Dongle, Server;
  } cases[] = {
      {"the same port in both combos", {"COM3", "COM4"}, "COM3", "COM3"},
      {"a single port on Auto detect", {"COM3"}, "", ""},
      {"no ports at all", {}, "", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<TBench::TSlot> slots;
    for (const std::string& name : c.Ports) slots.push_back({name, MakeDongle()});
    Use(slots);
    Setup(c.Dongle, c.Server);
    Worker->DetectPorts();
    EXPECT_EQ(Messages(), std::vector<std::string>{"At least 2 communication ports required!"});
    EXPECT_EQ(Worker->Outcome, ocFailed);
    EXPECT_EQ(Resets(), 0);
    EXPECT_FALSE(PortA.Active());
    Worker.reset();
    Bench.reset();
  }
}

TEST_F(Detection, RememberedPortsAreProbedFirstAndAVanishedOneIsNotInserted) {
  auto silent = MakeSilent();
  auto dongle = MakeDongle();
  auto server = MakeServer();
  auto spare = MakeSilent();
  Use({{"COM3", silent}, {"COM4", spare}, {"COM5", dongle}, {"COM6", server}});
  const std::map<std::string, bench::TSerialModel*> models = {
      {"COM3", silent.get()}, {"COM4", spare.get()}, {"COM5", dongle.get()}, {"COM6", server.get()}};

  Setup();
  Window.LastDonglePort = "COM5";
  Window.LastServerPort = "COM6";
  Worker->DetectPorts();
  EXPECT_EQ(Worker->Outcome, ocNone);
  EXPECT_EQ(ProbeOrder(models), (std::vector<std::string>{"COM6", "COM5"}));
  EXPECT_EQ(Resets(), 2);

  // A remembered server port that is gone: the list keeps its own order
  // behind the remembered dongle port.
  for (auto& [name, model] : models) model->ClearWire();
  PortA.Close();
  PortB.Close();
  PortA.Tag = 0;
  PortB.Tag = 1;
  Setup();
  Window.LastDonglePort = "COM5";
  Window.LastServerPort = "COM9";
  Worker->DetectPorts();
  EXPECT_EQ(Worker->Outcome, ocNone);
  EXPECT_EQ(ProbeOrder(models), (std::vector<std::string>{"COM5", "COM3", "COM4", "COM6"}));
  EXPECT_EQ(Worker->LogText.find("COM9"), std::string::npos);
}

// Outcomes of the checks against the operator's choices. Bench: a dongle
// on COM3, a server on COM4, and on COM5 what the case puts there; the
// remembered ports order the probes.
struct TConflictCase {
  const char* Name;
  std::string Com5;  // "dongle", "server", "silent"
  std::string Dongle, Server;  // the combos' choices; empty: "Auto detect"
  std::string LastDongle, LastServer;
  std::vector<std::string> Messages;
  uint8_t Outcome;
};

class DetectionConflict : public Detection, public ::testing::WithParamInterface<TConflictCase> {};

TEST_P(DetectionConflict, Messages) {
  const TConflictCase& c = GetParam();
  std::shared_ptr<bench::TDevice> com5;
  if (c.Com5 == "dongle") com5 = MakeDongle("QV0DONGLE0000002");
  if (c.Com5 == "server") com5 = MakeServer("RFQVSERVER000456");
  if (c.Com5 == "silent") com5 = MakeSilent();
  Use({{"COM3", MakeDongle()}, {"COM4", MakeServer()}, {"COM5", com5}});
  Setup(c.Dongle, c.Server);
  Window.LastDonglePort = c.LastDongle;
  Window.LastServerPort = c.LastServer;
  Worker->DetectPorts();
  EXPECT_EQ(Messages(), c.Messages);
  EXPECT_EQ(Worker->Outcome, c.Outcome);
}

const char* const kDongle2Line = "Dongle found on COM5, #QV0DONGLE0000002, HW1.2";

INSTANTIATE_TEST_SUITE_P(
    Detection, DetectionConflict,
    ::testing::Values(
        TConflictCase{"ServerOnTheDonglesPort", "silent", "COM4", "", "", "",
                      {"Dongle expected on COM4, server found instead!"}, 1},
        TConflictCase{"DongleOnTheServersPort", "silent", "", "COM3", "", "",
                      {"Server expected on COM3, dongle found instead!"}, 1},
        TConflictCase{"SecondDongleOnAutoDetect", "dongle", "", "", "COM5", "",
                      {kDongle2Line, "Second dongle found, uncertain which one to use?!"}, 1},
        TConflictCase{"SecondDongleBesideAChosenPort", "dongle", "COM3", "", "", "COM5",
                      {"Dongle not found on COM3 but on COM5", kDongle2Line, kServerLine}, 0},
        TConflictCase{"SecondServerOnAutoDetect", "server", "", "", "COM5", "COM4",
                      {kServerLine, "Second server found, uncertain which one to use?!"}, 1},
        TConflictCase{"SecondServerBesideAChosenPort", "server", "", "COM4", "COM5", "",
                      {kServerLine, kDongleLine}, 0},
        TConflictCase{"DongleElsewhere", "silent", "COM5", "", "", "",
                      {"Dongle not found on COM5 but on COM3", kDongleLine, kServerLine}, 0},
        TConflictCase{"ServerElsewhere", "silent", "", "COM5", "", "",
                      {kDongleLine, "Server not found on COM5 but on COM4", kServerLine}, 0}),
    test::TCaseName());

TEST_F(Detection, NeitherDeviceFoundGivesBothMessages) {
  Use({{"COM3", MakeSilent()}, {"COM4", MakeSilent()}});
  Setup();
  Worker->DetectPorts();
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Dongle not found!", "Server not found!"}));
  EXPECT_EQ(Worker->Outcome, ocFailed);
  EXPECT_EQ(Resets(), 4) << "the server missing after the first pass brings a second one";
}

TEST_F(Detection, AMissingDongleAloneBringsNoSecondPass) {
  Use({{"COM3", MakeSilent()}, {"COM4", MakeServer()}});
  Setup();
  Worker->DetectPorts();
  EXPECT_EQ(Messages(), (std::vector<std::string>{kServerLine, "Dongle not found!"}));
  EXPECT_EQ(Resets(), 2);
}

// A server left inside a frame does not identify in the first pass; the
// second pass finds it after running the frame out with zero bytes.
TEST_F(Detection, SecondPassResynchronisesAServerLeftInsideAFrame) {
  Setup();
  Bench->Server->Receive(0x05, Bench->Now());  // a length byte: five payload bytes to come
  Bench->Server->ClearWire();
  Worker->DetectPorts();
  EXPECT_EQ(Worker->Outcome, ocNone);
  EXPECT_EQ(Messages(), (std::vector<std::string>{kDongleLine, kServerLine}));
  EXPECT_EQ(Resets(), 3);
  // First pass: 0x80 and 0x00 were taken as payload. Second pass: a zero,
  // then zeros until the server answers one with a zero, then the
  // handshake.
  const std::string heard = Bench->Server->FromPc();
  const std::string secondPass = heard.substr(2);
  ASSERT_GE(secondPass.size(), 5u);
  EXPECT_EQ(secondPass.substr(0, secondPass.size() - 19), std::string(secondPass.size() - 19, '\0'));
  EXPECT_EQ(secondPass.substr(secondPass.size() - 19), B({0x80, 0x00, 0xA5}) + std::string(16, 0x55));
}

TEST_F(Detection, ALowerCaseIdentityCharacterEndsTheHandshake) {
  auto dongle = MakeDongle("QV0DONGLe0000001");
  Use({{"COM3", dongle}, {"COM4", MakeServer()}});
  Setup();
  Worker->DetectPorts();
  EXPECT_EQ(Messages(), (std::vector<std::string>{kServerLine, "Dongle not found!"}));
  EXPECT_EQ(dongle->FromPc(), B({0x80, 0x00, 0xA5}) + std::string(9, 0x55));
}

TEST_F(Detection, AnIdentityWithoutTheServerMarkIsADongle) {
  Use({{"COM3", MakeDongle("RFQVSERVE0000001")}, {"COM4", MakeServer()}});
  Setup();
  Worker->DetectPorts();
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Dongle found on COM3, #RFQVSERVE0000001, HW1.2", kServerLine}));
}

TEST_F(Detection, AMissingPortIsSkippedWithItsResetEntry) {
  Setup();
  Bench->Unplug("COM3");
  Bench->Plug("COM5", MakeDongle());
  Choose(ciCOM1, "");
  Choose(ciCOM2, "");
  Worker->DetectPorts();
  EXPECT_EQ(Worker->Outcome, ocNone);
  EXPECT_EQ(Worker->LogText.substr(0, 3), "1R\r") << "the port that would not open still shows";
  EXPECT_EQ(Window.LastDonglePort, "COM5");
}

TEST_F(Detection, NothingHappensAfterAFailureOrATerminationRequest) {
  Setup();
  Worker->Outcome = ocFailed;
  Worker->DetectPorts();
  Worker->Outcome = ocNone;
  Worker->Terminate();
  Worker->DetectPorts();
  EXPECT_TRUE(Worker->LogText.empty());
  EXPECT_FALSE(PortA.Active());
}

// ---- device initialisation ----------------------------------------------------

class Init : public Detection {
protected:
  void Detected() {
    Setup();
    Worker->DetectPorts();
    ASSERT_EQ(Worker->Outcome, ocNone);
  }
};

TEST_F(Init, ServerThenHandheld) {
  Bench = std::make_unique<TBench>();
  Bench->Handheld->SetRegister(0x39, 0x11);
  Detected();
  Bench->Server->ClearWire();
  Bench->Dongle->ClearWire();
  Worker->InitDevice(*Window.Ports.SerIF2, false);
  EXPECT_TRUE(Worker->LinkOk);
  EXPECT_EQ(Bench->Server->FromPc(), B({0x00, 0x00}));
  EXPECT_EQ(Bench->Server->ToPc(), B({0x00}));

  Worker->InitDevice(*Window.Ports.SerIF1, true);
  EXPECT_TRUE(Worker->LinkOk);
  EXPECT_EQ(Worker->Outcome, ocNone);
  EXPECT_EQ(Worker->HandheldHw, 0x21);
  EXPECT_EQ(Worker->HandheldMode, 0x11);
  EXPECT_EQ(Bench->Dongle->FromPc(), B({0x00, 0x00, 0x04, 0x39, 0x02, 0x04, 0x39, 0x06, 0x11}));
  EXPECT_EQ(Bench->Handheld->Register(0x39), 0x11);
  EXPECT_EQ(Messages().back(), "Quorvantis HW2.1");
  const std::vector<std::string> journal = Window.Journal();
  EXPECT_TRUE(std::none_of(journal.begin(), journal.end(),
                           [](const std::string& j) { return j.find("StatTxt") != std::string::npos; }))
      << "DSR was present: no prompt";
}

TEST_F(Init, ADeviceAnsweringTheFirstZeroFailsInitialisation) {
  Detected();
  // The server is past its identification now: idle, it answers a zero.
  Worker->InitDevice(*Window.Ports.SerIF2, false);
  ASSERT_EQ(Worker->Outcome, ocNone);
  Worker->InitDevice(*Window.Ports.SerIF2, false);
  EXPECT_EQ(Worker->Outcome, ocFailed);
  EXPECT_EQ(Messages().back(), "Failed to initialize server!");

  // The handheld answers the second of two zeros: one zero sent before
  // makes the initialisation's first zero that second one.
  Worker->Outcome = ocNone;
  Worker->LinkOk = true;
  Worker->SendEcho(*Window.Ports.SerIF1, B({0x00}), "");
  Worker->InitDevice(*Window.Ports.SerIF1, true);
  EXPECT_EQ(Worker->Outcome, ocFailed);
  EXPECT_EQ(Messages().back(), "Failed to initialize Quorvantis!");
}

TEST_F(Init, ASilentHandheldFails) {
  Detected();
  Bench->Dongle->Faults().SetSilent(true);
  Worker->InitDevice(*Window.Ports.SerIF1, true);
  EXPECT_FALSE(Worker->LinkOk);
  EXPECT_EQ(Worker->Outcome, ocFailed);
  EXPECT_EQ(Messages().back(), "Failed to initialize Quorvantis!");
}

// A dongle whose DSR follows a timetable on top of its own.
class TDsrTimetable final : public bench::TDevice {
public:
  explicit TDsrTimetable(std::shared_ptr<bench::TDongle> dongle) : Dongle(std::move(dongle)) {}
  void SetFormat(uint32_t baud, int dataBits, char parity, int stopBits, bench::TTime t) override {
    Dongle->SetFormat(baud, dataBits, parity, stopBits, t);
  }
  void SetLines(bool dtr, bool rts, bench::TTime t) override { Dongle->SetLines(dtr, rts, t); }
  void Receive(uint8_t byte, bench::TTime t) override { Dongle->Receive(byte, t); }
  std::string Transmit(bench::TTime t) override { return Dongle->Transmit(t); }
  bench::TTime NextOutput() const override { return Dongle->NextOutput(); }
  bool Dsr(bench::TTime t) const override {
    if (Origin < 0) return Dongle->Dsr(t);
    const bench::TTime ms = (t - Origin) / 1000;
    const bool present = (ms >= 500 && ms < 650) || ms >= 900;
    return present && Dongle->Dsr(t);
  }
  std::shared_ptr<bench::TDongle> Dongle;
  std::atomic<bench::TTime> Origin{-1};
};

// DSR absent for 500 ms, present for three polls, absent again, present
// for good from 900 ms: only five successive polls with DSR end the wait.
TEST_F(Init, TheDsrPromptWaitsForFiveSuccessivePollsWithDsr) {
  auto timetable = std::make_shared<TDsrTimetable>(MakeDongle());
  Use({{"COM3", timetable}, {"COM4", MakeServer()}});
  Detected();
  Worker->InitDevice(*Window.Ports.SerIF2, false);
  const bench::TTime t0 = Bench->Now();
  timetable->Origin = t0;
  Worker->InitDevice(*Window.Ports.SerIF1, true);
  const bench::TTime waited = Bench->Now() - t0;
  EXPECT_EQ(Worker->Outcome, ocNone);
  EXPECT_EQ(Messages().back(), "Quorvantis HW2.1");
  // The fifth poll with DSR comes at 1100 ms and its wait ends at 1150;
  // then the unanswered first zero costs the 250 ms time-out and the rest
  // of the exchange a few milliseconds. Had the count not started again,
  // the whole would end near 1280 ms; one poll too many adds 50.
  EXPECT_GE(waited, 1400000) << "the count did not start again after DSR dropped";
  EXPECT_LT(waited, 1450000) << "the wait went on after five polls with DSR";
  const TScreen s = Window.Screen();
  EXPECT_FALSE(s.StatTxtVisible);
  EXPECT_TRUE(s.LogMemoVisible);
  EXPECT_EQ(s.StatTxt, "Make sure the Quorvantis is connected to the dongle, powered\rand switched ON.");
}

TEST_F(Init, CancelEndsTheDsrPrompt) {
  Detected();
  Bench->Handheld->SwitchOn(false);
  Bench->Dongle->ClearWire();
  std::thread operatorHand([&] {
    if (Window.AwaitScreen([](const TScreen& s) { return s.StatTxtVisible; })) Worker->Terminate();
  });
  Worker->InitDevice(*Window.Ports.SerIF1, true);
  operatorHand.join();
  EXPECT_TRUE(Worker->Terminated());
  EXPECT_FALSE(Window.Screen().StatTxtVisible) << "the prompt is taken down";
  EXPECT_EQ(Bench->Dongle->FromPc(), "") << "no byte after the termination request";
  EXPECT_EQ(Worker->Outcome, ocNone);
  EXPECT_EQ(Worker->LogText.find("Failed"), std::string::npos);
}

}  // namespace
}  // namespace qv
