// Compensation settings, the test cycle and the fine-tuning on a unit of
// the bench, in virtual time. Scripted radio cycles deliver exact record
// counts and AFC sums where a case needs them; the bench's record of the
// devices' compensation values decides what was stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/Faults.h"
#include "bench/Radio.h"
#include "tests/support/Unit.h"

namespace qv {
namespace {

using bench::TRadio;
using test::TUnitBench;
using TRecords = std::vector<TRadio::TRecord>;

constexpr uint32_t kMac = 0x00A1B2C3;

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// count records of the handheld with these AFC values, in turn.
TRecords Afc(std::vector<int> values, uint8_t rssi = 100) {
  TRecords r;
  for (int a : values) r.push_back(TRadio::Record(rssi, a, kMac));
  return r;
}
TRecords Same(int count, int afc) {
  return Afc(std::vector<int>(static_cast<size_t>(count), afc));
}

class Tuning : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(U.Connect()) << U.Worker->LogText; }
  TSerThread& W() { return *U.Worker; }
  std::vector<std::string> Since(size_t from) const { return U.MessagesFrom(from); }

  TUnitBench U;
};

// ---- the log form of a compensation value ----

TEST(FormatOffsetTest, StepsKilohertzAndPpm) {
  test::TTestWindow window;
  TSerThread worker(true, window);
  worker.UnitOffset = 10;
  struct TCase {
    int8_t Value;
    bool Relative;
    char Separator;
    const char* Text;
  };
  for (const TCase& c : {TCase{10, false, '.', "10 = 4.5 kHz = 5.2 ppm"}, TCase{-20, false, '.', "-20 = -9.0 kHz = -10.4 ppm"},
                         TCase{0, false, '.', "-"}, TCase{10, true, '.', "0 = 0.0 kHz = 0.0 ppm"},
                         TCase{-22, true, '.', "-32 = -14.4 kHz = -16.6 ppm"}, TCase{-128, true, '.', "-138 = -62.1 kHz = -71.5 ppm"},
                         TCase{10, false, ',', "10 = 4,5 kHz = 5,2 ppm"}}) {
    window.DecimalSeparator = c.Separator;
    EXPECT_EQ(worker.FormatOffset(c.Value, c.Relative), c.Text);
  }
}

// ---- the settings ----

TEST_F(Tuning, SettingsOfBothDevicesAreReadAndLogged) {
  U.Bench.Handheld->Config().FactoryOffset = 0;
  U.Bench.Handheld->Config().PcToolOffset = 0;
  U.Bench.Server->Config().PcToolOffset = 1;  // the server reads 1 as not set too
  const size_t from = U.Messages().size();
  U.Bench.Dongle->ClearWire();
  W().ReadHandheldSettings();
  // Address 0 (blank, so no test firmware) and the three bytes below the
  // image's end address 2048 are read all the same.
  EXPECT_EQ(U.Bench.Dongle->FromPc().substr(0, 12),
            B({0x04, 0x00, 0x05, 0x00, 0x03, 0x04, 0xFD, 0x05, 0x07, 0x03, 0x03, 0x03}));
  W().ReadServerSettings();
  ASSERT_TRUE(W().LinkOk);
  EXPECT_EQ(Since(from), (std::vector<std::string>{"Test firmware needs to be installed on Quorvantis",
                                                   "Programming Quorvantis, please wait...",
                                                   "Initializing Quorvantis RF module...",
                                                   "RF modem V1.2, MAC=0x00A1B2C3",
                                                   "Quorvantis offset compensation settings:",
                                                   "- from factory = -",
                                                   "- from PC tool = -",
                                                   "- effective = -",
                                                   "Test firmware needs to be installed on server",
                                                   "Programming server, please wait...",
                                                   "Server offset compensation settings:",
                                                   "- from factory = -8 = -3.6 kHz = -4.1 ppm",
                                                   "- from PC tool = -",
                                                   "- effective = -8 = -3.6 kHz = -4.1 ppm"}));
  EXPECT_EQ(W().HandheldMac, kMac);
  EXPECT_EQ(W().UnitOffset, 0);
  EXPECT_EQ(W().GoldenOffset, -8);
  EXPECT_EQ(U.Bench.Server->Running(), bench::TServer::TFirmware::Test);
}

TEST_F(Tuning, InstalledTestFirmwareIsNotProgrammedAgain) {
  W().ReadHandheldSettings();
  W().ReadServerSettings();
  ASSERT_TRUE(W().LinkOk);
  // The next unit's decode gives the slots afresh.
  W().DecodeFirmware();
  U.Bench.Handheld->Config().PcToolOffset = -5;
  const size_t from = U.Messages().size();
  W().ReadHandheldSettings();
  W().ReadServerSettings();
  const std::vector<std::string> lines = Since(from);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Initializing Quorvantis RF module...");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Programming server, please wait..."), 0);
  EXPECT_EQ(std::find(lines.begin(), lines.end(), "- effective = -5 = -2.2 kHz = -2.6 ppm") != lines.end(), true);
  EXPECT_EQ(W().UnitOffset, -5);
}

TEST_F(Tuning, ServerIdentityReplyOfAnotherShapeIsALinkFailure) {
  // Test firmware that answers the identity with two bytes: nothing is
  // programmed, the step ends as a link failure.
  W().ReadHandheldSettings();
  U.Bench.Server->Config().Firmware = bench::TServer::TFirmware::Test;
  U.Bench.Server->SetReply(true, B({0x01}), B({'B', 0x5A}));
  const size_t frames = U.Bench.Server->ProgrammingFrames();
  W().ReadServerSettings();
  EXPECT_FALSE(W().LinkOk);
  EXPECT_EQ(U.Bench.Server->ProgrammingFrames(), frames);
}

TEST_F(Tuning, TestFirmwareEndAddressOutsideTheImageReadsNothingOutsideIt) {
  for (const uint16_t end : {uint16_t{2}, uint16_t{0xFFFF}}) {
    SCOPED_TRACE(end);
    W().DecodeFirmware();
    W().HandheldImage[3][27] = static_cast<uint8_t>(end & 0xFF);
    W().HandheldImage[3][28] = static_cast<uint8_t>(end >> 8);
    const size_t from = U.Messages().size();
    W().ReadHandheldSettings();
    // Taken as not installed: programmed, and then refused by the handheld,
    // whose job registers cannot match such an image.
    const std::vector<std::string> lines = Since(from);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Test firmware needs to be installed on Quorvantis");
    W().LinkOk = true;
    W().Outcome = ocNone;
  }
}

TEST_F(Tuning, StoredServerValueMustReadBack) {
  U.Window.GoldenIsHandheld = true;
  W().ReadHandheldSettings();
  W().ReadServerSettings();
  ASSERT_TRUE(W().LinkOk);
  W().ProgressPos = 0x11;
  U.Bench.Server->SetReply(true, B({0x02, 0x03}), B({'A', 0x12}));
  W().StoreCompensation();
  EXPECT_FALSE(W().LinkOk);
  W().LinkOk = true;
  U.Bench.Server->ClearReplies();
  W().StoreCompensation();
  EXPECT_TRUE(W().LinkOk);
  EXPECT_EQ(U.Bench.Server->Config().PcToolOffset, 0x11);
}

// A register's value has no check of its own on the dongle's line, so those
// that decide what is stored are read twice: the settings and the radio
// address (either golden side), and the store's status. A byte corrupted in
// a second read is a link failure.
TEST_F(Tuning, ValuesThatDecideWhatIsStoredAreReadTwice) {
  // The nth answer to the read command 0x02 in a call whose wire is this
  // one: that of the read at `at`.
  auto nthRead = [](const std::string& wire, size_t at) {
    return static_cast<uint64_t>(std::count(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(at), '\x02')) + 1;
  };
  W().ReadHandheldSettings();
  W().ReadServerSettings();
  ASSERT_TRUE(W().LinkOk);
  W().DecodeFirmware();
  U.Bench.Dongle->ClearWire();
  W().ReadHandheldSettings();
  ASSERT_TRUE(W().LinkOk);
  const std::string wire = U.Bench.Dongle->FromPc();
  const std::string answers = U.Bench.Dongle->ToPc();
  const std::vector<int> regs = {0x17, 0x10, 0x15, 0x16, 0x14, 0x13, 0x12, 0x11, 0x15, 0x16, 0x14, 0x13, 0x12, 0x11};
  std::string reads;
  for (int reg : regs) reads += B({0x04, reg, 0x02});
  ASSERT_GE(wire.size(), reads.size());
  EXPECT_EQ(wire.substr(wire.size() - reads.size()), reads) << "the status, the version, the settings twice";
  for (size_t i = 8; i < regs.size(); ++i) {
    SCOPED_TRACE(regs[i]);
    const size_t at = wire.size() - reads.size() + 3 * i + 2;
    W().DecodeFirmware();
    U.Bench.Dongle->ClearWire();
    U.Bench.Dongle->Faults().Add(bench::WrongOnNth(0x02, nthRead(wire, at)));
    W().ReadHandheldSettings();
    // The one answer that differs is the register's value, inverted.
    const std::string told = U.Bench.Dongle->ToPc();
    ASSERT_EQ(told.size(), answers.size());
    std::vector<size_t> differ;
    for (size_t k = 0; k < told.size(); ++k)
      if (told[k] != answers[k]) differ.push_back(k);
    ASSERT_EQ(differ.size(), 1u);
    EXPECT_EQ(static_cast<uint8_t>(told[differ[0]]), static_cast<uint8_t>(~answers[differ[0]]));
    EXPECT_EQ(answers.size() - differ[0], 3 * (regs.size() - i) - 2) << "in the second reads";
    EXPECT_FALSE(W().LinkOk);
    W().LinkOk = true;
  }

  // A store that failed, whose status reads 0 the first time.
  W().ProgressPos = 0x11;
  U.Bench.Dongle->ClearWire();
  W().StoreCompensation();
  ASSERT_TRUE(W().LinkOk);
  const std::string store = U.Bench.Dongle->FromPc();
  ASSERT_GE(store.size(), 6u);
  EXPECT_EQ(store.substr(store.size() - 6), B({0x04, 0x17, 0x02, 0x04, 0x17, 0x02}));
  W().Facts.Stored.reset();
  U.Bench.Handheld->Faults().JobStatus = 5;
  U.Bench.Handheld->Faults().JobFaultAt = 0;
  U.Bench.Dongle->Faults().Add(bench::WrongOnNth(0x02, nthRead(store, store.size() - 4), 0x00));
  U.Bench.Dongle->ClearWire();
  W().StoreCompensation();
  const std::string told = U.Bench.Dongle->ToPc();
  ASSERT_GE(told.size(), 4u);
  EXPECT_EQ(told.substr(told.size() - 4), B({0x00, 0x04, 0x17, 0x05})) << "0 the first time, 5 the second";
  EXPECT_FALSE(W().LinkOk);
  EXPECT_FALSE(W().Facts.Stored);
}

// ---- the test cycle ----

struct TCycleCase {
  const char* Name;
  bool ServerTuned;
  std::vector<TRecords> Cycles;
  // Expected: the lines from the first "Running test cycle..." on, the
  // outcome and ProgressPos.
  std::vector<std::string> Lines;
  uint8_t Outcome;
  int Progress;  // -1: not checked
};

void PrintTo(const TCycleCase& c, std::ostream* os) { *os << c.Name; }

class TestCycle : public Tuning, public ::testing::WithParamInterface<TCycleCase> {};

TEST_P(TestCycle, Evaluation) {
  const TCycleCase& c = GetParam();
  U.Window.GoldenIsHandheld = c.ServerTuned;
  U.Window.AnaChk = true;
  U.Bench.Radio->Script(c.Cycles);
  W().RunFineTuning();
  std::vector<std::string> lines = U.Messages();
  const auto first = std::find(lines.begin(), lines.end(), "Running test cycle...");
  ASSERT_NE(first, lines.end()) << W().LogText;
  std::vector<std::string> got(first, lines.end());
  // Only the evaluation's lines: drop "Running test cycle...".
  got.erase(std::remove(got.begin(), got.end(), "Running test cycle..."), got.end());
  EXPECT_EQ(got, c.Lines);
  EXPECT_EQ(W().Outcome, c.Outcome);
  if (c.Progress >= 0) {
    EXPECT_EQ(W().ProgressPos, c.Progress);
  }
}

// The bench's handheld has factory +12 and the server factory -8: tuning
// the handheld, GoldenOffset is -8 and UnitOffset +12; tuning the server,
// GoldenOffset is +12 and UnitOffset -8.
INSTANTIATE_TEST_SUITE_P(
    Cases, TestCycle,
    ::testing::Values(
        TCycleCase{"StraightToRefinement",
                   false,
                   {Same(20, 3), Same(20, 0)},
                   {"20 packets received", "20 packets received",
                    "avRSSI = 100, offset = -16 = -7.2 kHz = -8.3 ppm, varAFC=0",
                    "Compared to previous offset = -28 = -12.6 kHz = -14.5 ppm"},
                   ocNone,
                   0xF0},
        TCycleCase{"SevenRecordsAreTooFew",
                   false,
                   {Same(7, 0), Same(7, 0), Same(7, 0), Same(7, 0), Same(7, 0), Same(7, 0)},
                   {"7 packets received", "7 packets received", "7 packets received", "7 packets received",
                    "7 packets received", "7 packets received", "Radio failure!"},
                   ocFailed,
                   -1},
        TCycleCase{"EightAreEnough", false, {Same(8, 0), Same(8, 0)},
                   {"8 packets received", "8 packets received", "avRSSI = 100, offset = -8 = -3.6 kHz = -4.1 ppm, varAFC=0",
                    "Compared to previous offset = -20 = -9.0 kHz = -10.4 ppm"},
                   ocNone, 0xF8},
        TCycleCase{"ForeignAndMalformedRecordsDoNotEndTheFetch",
                   false,
                   {[] {
                      TRecords r = Same(8, 0);
                      r.insert(r.begin() + 2, TRadio::Record(100, 0, 0x12345678));
                      TRadio::TRecord shortOne = TRadio::Record(100, 0, kMac);
                      shortOne.resize(16);
                      shortOne[0] = 'O';
                      r.insert(r.begin() + 4, shortOne);
                      TRadio::TRecord badByte = TRadio::Record(100, 0, kMac);
                      badByte[9] = 0x01;
                      r.insert(r.begin() + 6, badByte);
                      return r;
                    }(),
                    Same(8, 0)},
                   {"8 packets received", "8 packets received", "avRSSI = 100, offset = -8 = -3.6 kHz = -4.1 ppm, varAFC=0",
                    "Compared to previous offset = -20 = -9.0 kHz = -10.4 ppm"},
                   ocNone, -1},
        // 0x80 is +128, 0x81 is -127: a spread of 255.
        TCycleCase{"AfcBytesAtTheTurn", false, {Afc({128, 128, 128, 128, 128, 128, 128, -127})},
                   {"8 packets received", "Measurements inconsistent!"}, ocFailed, -1},
        TCycleCase{"SpreadOfFourIsAccepted", false, {Afc({-2, -2, -2, -2, 2, 2, 2, 2}), Same(8, 0)},
                   {"8 packets received", "8 packets received", "avRSSI = 100, offset = -8 = -3.6 kHz = -4.1 ppm, varAFC=0",
                    "Compared to previous offset = -20 = -9.0 kHz = -10.4 ppm"},
                   ocNone, -1},
        TCycleCase{"SpreadOfFiveIsNot", false, {Afc({-2, -2, -2, -2, 3, 3, 3, 3})},
                   {"8 packets received", "Measurements inconsistent!"}, ocFailed, -1},
        // d = -48 / 60 = 0, not -1.
        TCycleCase{"DivisionTruncatesTowardZero", false,
                   {Same(20, 0), Afc({-1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
                   {"20 packets received", "20 packets received", "avRSSI = 100, offset = -8 = -3.6 kHz = -4.1 ppm, varAFC=1",
                    "Compared to previous offset = -20 = -9.0 kHz = -10.4 ppm"},
                   ocNone, 0xF8},
        TCycleCase{"RefinementWithTooFewRecordsIsInconsistent", false, {Same(20, 0), Same(7, 0)},
                   {"20 packets received", "7 packets received", "Measurements inconsistent!"}, ocFailed, -1},
        // Trial -100 (the fifth attempt) and d = -40: -140, at once.
        TCycleCase{"FirstMeasurementOutOfRangeEndsAtOnce", false,
                   {Same(0, 0), Same(0, 0), Same(0, 0), Same(0, 0), Same(20, -15)},
                   {"0 packets received", "0 packets received", "0 packets received", "0 packets received",
                    "20 packets received", "Frequency offset too large to compensate!"},
                   ocFailed, -1},
        // Measured +8, then -16 at +8: -8, negated +8, plus GoldenOffset -8
        // = 0, which means not set: stored as -1.
        TCycleCase{"FinalZeroBecomesMinusOne", false, {Same(20, 3), Same(20, -6)},
                   {"20 packets received", "20 packets received",
                    "avRSSI = 100, offset = -1 = -0.5 kHz = -0.5 ppm, varAFC=0",
                    "Compared to previous offset = -13 = -5.9 kHz = -6.7 ppm"},
                   ocNone, 0xFF},
        // Server tuned, GoldenOffset +12: d = -400 / 36 = -11 gives 1, stored
        // as 2.
        TCycleCase{"ServerFinalOneBecomesTwo", true, {Same(20, 0), Afc({-4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -5, -5})},
                   {"20 packets received", "12 packets received",
                    "avRSSI = 100, offset = 2 = 0.9 kHz = 1.0 ppm, varAFC=1",
                    "Compared to previous offset = 10 = 4.5 kHz = 5.2 ppm"},
                   ocNone, 2},
        // d = 6960 / 60 = 116, +12: +128 passes and is the byte 0x80 (logged
        // as the signed byte it is).
        TCycleCase{"PlusOneTwentyEightPasses", true, {Same(20, 0), [] {
                      TRecords r = Same(10, 43);
                      TRecords more = Same(10, 44);
                      r.insert(r.end(), more.begin(), more.end());
                      return r;
                    }()},
                   {"20 packets received", "20 packets received",
                    "avRSSI = 100, offset = -128 = -57.6 kHz = -66.3 ppm, varAFC=1",
                    "Compared to previous offset = -120 = -54.0 kHz = -62.2 ppm"},
                   ocNone, 0x80},
        // d = -8400 / 60 = -140, +12: -128 does not.
        TCycleCase{"MinusOneTwentyEightIsRefused", true, {Same(20, 0), [] {
                      TRecords r = Same(10, -52);
                      TRecords more = Same(10, -53);
                      r.insert(r.end(), more.begin(), more.end());
                      return r;
                    }()},
                   {"20 packets received", "20 packets received", "Frequency offset too large to compensate!"},
                   ocFailed, -1}),
    [](const ::testing::TestParamInfo<TCycleCase>& p) { return std::string(p.param.Name); });

TEST_F(Tuning, WorkedExampleWithItsExactLines) {
  // Handheld tuned, GoldenOffset +4, UnitOffset +10.
  U.Bench.Server->Config().FactoryOffset = 4;
  U.Bench.Handheld->Config().FactoryOffset = 10;
  std::vector<int> second(10, -11), third{-2, 1, -1, -1, -1, -1, -1};
  second.insert(second.end(), 10, -7);
  third.insert(third.end(), 13, 0);
  U.Bench.Radio->Script({Same(5, 0), Afc(second), Afc(third)});
  W().RunFineTuning();
  ASSERT_EQ(W().Outcome, ocNone) << W().LogText;
  std::vector<std::string> lines = U.Messages();
  const auto first = std::find(lines.begin(), lines.end(), "Running test cycle...");
  EXPECT_EQ(std::vector<std::string>(first, lines.end()),
            (std::vector<std::string>{"Running test cycle...", "5 packets received", "Running test cycle...",
                                      "20 packets received", "Running test cycle...", "20 packets received",
                                      "avRSSI = 100, offset = -22 = -9.9 kHz = -11.4 ppm, varAFC=3",
                                      "Compared to previous offset = -32 = -14.4 kHz = -16.6 ppm",
                                      "Storing obtained compensation value"}));
  EXPECT_EQ(U.Bench.Radio->TrialOffset(), 26) << "the third cycle at the measured offset";
  EXPECT_EQ(U.Bench.Handheld->Config().PcToolOffset, -22);
  EXPECT_EQ(W().ProgressPos, 0xEA);
}

TEST_F(Tuning, TestCycleJobFailureEndsWithoutAResult) {
  U.Bench.Handheld->Faults().JobStatus = 0;
  W().ReadHandheldSettings();
  W().ReadServerSettings();
  U.Bench.Handheld->Faults().JobStatus = 2;
  const size_t from = U.Messages().size();
  W().RunTestCycle();
  EXPECT_EQ(Since(from), (std::vector<std::string>{"Running test cycle...", "Test cycle failed!"}));
  EXPECT_EQ(W().Outcome, ocFailed);
}

// Cancel while the refinement cycle's records are fetched: the cycle was
// cut short, not inconsistent, so the unit ends as aborted and nothing is
// stored.
TEST_F(Tuning, CancelDuringACycleIsNoVerdictOnTheMeasurement) {
  U.Bench.Radio->Script({Same(20, 0), Same(20, 0)});
  W().ReadHandheldSettings();
  W().ReadServerSettings();
  const size_t from = U.Messages().size();
  // The clock moves on the worker's own thread: its waits for the
  // handheld's second cycle.
  U.Bench.Clock.AddListener(this, [&](TClock::TDuration) {
    const std::string& log = W().LogText;
    const std::string line = ">Running test cycle...\r";
    const size_t first = log.find(line);
    if (first != std::string::npos && log.find(line, first + 1) != std::string::npos) W().Terminate();
  });
  W().RunTestCycle();
  W().StoreCompensation();
  U.Bench.Clock.RemoveListener(this);
  EXPECT_EQ(Since(from), (std::vector<std::string>{"Running test cycle...", "20 packets received",
                                                   "Running test cycle..."}));
  EXPECT_EQ(W().Outcome, ocNone) << "no verdict: the unit ends as aborted";
  EXPECT_EQ(U.Bench.Handheld->Config().PcToolOffset, 0);
}

TEST_F(Tuning, AnalysisOnlyMeasuresAndStoresNothing) {
  U.Window.AnaChk = true;
  U.Bench.Handheld->Config().Crystal = 17;
  W().RunFineTuning();
  EXPECT_EQ(W().Outcome, ocNone);
  const std::vector<std::string> lines = U.Messages();
  EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                         [](const std::string& l) { return l.rfind("Compared to previous offset = ", 0) == 0; }),
            lines.end());
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Storing obtained compensation value"), 0);
  EXPECT_EQ(U.Bench.Handheld->Config().PcToolOffset, 0);
  EXPECT_EQ(U.Bench.Server->Config().PcToolOffset, 0);
}

// ---- end to end: the stored value makes the unit agree with the golden
// reference ----

struct TCrystals {
  const char* Name;
  bool ServerTuned;
  double Unit;
  bool InRange;
};

void PrintTo(const TCrystals& c, std::ostream* os) { *os << c.Name; }

class Agreement : public ::testing::TestWithParam<TCrystals> {};

TEST_P(Agreement, StoredValueMakesTheUnitAgreeWithTheGoldenReference) {
  const TCrystals& c = GetParam();
  TUnitBench u;
  u.Window.GoldenIsHandheld = c.ServerTuned;
  // The golden reference's own crystal and value, and the unit's old value.
  if (c.ServerTuned) {
    u.Bench.Handheld->Config().Crystal = 7;
    u.Bench.Handheld->Config().FactoryOffset = -7;
    u.Bench.Server->Config().Crystal = c.Unit;
    u.Bench.Radio->SetServerCrystal(c.Unit);
  } else {
    u.Bench.Server->Config().Crystal = -3;
    u.Bench.Radio->SetServerCrystal(-3);
    u.Bench.Server->Config().FactoryOffset = 5;
    u.Bench.Handheld->Config().Crystal = c.Unit;
  }
  ASSERT_TRUE(u.Run({{TUnitBench::aOk}})) << u.RunError;
  const std::vector<std::string> pane = u.Window.Screen().LogMemo;
  const double handheld = u.Bench.Handheld->Config().Crystal + u.Bench.Handheld->EffectiveOffset();
  const double server = u.Bench.Server->Config().Crystal + u.Bench.Server->EffectiveOffset();
  if (c.InRange) {
    EXPECT_EQ(pane[pane.size() - 2], "Completed successfully!");
    EXPECT_LE(std::abs(handheld - server), 2.0) << "handheld at " << handheld << ", server at " << server;
  } else {
    const bool tooLarge =
        std::find(pane.begin(), pane.end(), "Frequency offset too large to compensate!") != pane.end();
    const bool notHeard = std::find(pane.begin(), pane.end(), "Radio failure!") != pane.end();
    EXPECT_TRUE(std::abs(c.Unit) > 150 ? notHeard : tooLarge);
    EXPECT_EQ(u.Bench.Handheld->Config().PcToolOffset, 0) << "nothing stored";
    EXPECT_EQ(u.Bench.Server->Config().PcToolOffset, 0);
  }
}

std::vector<TCrystals> AgreementCases() {
  std::vector<TCrystals> cases;
  static const char* const kHandheldNames[] = {"HandheldMinus120", "HandheldMinus77", "HandheldMinus31", "HandheldMinus1",
                                               "HandheldZero",     "HandheldPlus2",   "HandheldPlus49",  "HandheldPlus88",
                                               "HandheldPlus120"};
  static const char* const kServerNames[] = {"ServerMinus120", "ServerMinus77", "ServerMinus31", "ServerMinus1",
                                             "ServerZero",     "ServerPlus2",   "ServerPlus49",  "ServerPlus88",
                                             "ServerPlus120"};
  const double crystals[] = {-120, -77, -31, -1, 0, 2, 49, 88, 120};
  for (size_t i = 0; i < 9; ++i) cases.push_back({kHandheldNames[i], false, crystals[i], true});
  for (size_t i = 0; i < 9; ++i) cases.push_back({kServerNames[i], true, crystals[i], true});
  // Heard, but the value would lie outside -127..+128 (the golden
  // reference's own values included); and too far off to be heard at all.
  cases.push_back({"HandheldPastTheRange", false, -128, false});
  cases.push_back({"ServerPastTheRange", true, 128, false});
  cases.push_back({"HandheldFarBeyond", false, 200, false});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Crystals, Agreement, ::testing::ValuesIn(AgreementCases()),
                         [](const ::testing::TestParamInfo<TCrystals>& p) { return std::string(p.param.Name); });

}  // namespace
}  // namespace qv
