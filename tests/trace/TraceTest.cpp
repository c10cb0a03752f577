// The line's limits and the firmware manifest: limits at, inside and
// outside their bounds, damaged limits and manifest files refused whole,
// and a manifest that refuses an input before any byte goes to a device.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/Cases.h"
#include "tests/support/Unit.h"
#include "trace/Limits.h"
#include "trace/Manifest.h"
#include "trace/Sha256.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

std::string WriteTemp(const std::string& name, const std::string& text) {
  const fs::path path = fs::temp_directory_path() / ("qvtrace-" + std::to_string(::getpid()) + "-" + name);
  std::ofstream(path, std::ios::binary) << text;
  return path.string();
}

// A completed unit: stored -12 steps from an effective 12 before, the last
// cycle's RSSI 160 and AFC spread 2, three cycles.
TUnitResult Unit() {
  TUnitResult r;
  r.Verdict = uvCompleted;
  r.Facts.Stored = -12;
  r.Facts.Unit = TOffsetSettings{12, 0, 12};
  r.Facts.RssiAverage = 160;
  r.Facts.AfcSpread = 2;
  r.Facts.TrialOffsets = {0, 50, -24};
  return r;
}

struct TLimitCase {
  const char* Name;
  const char* Line;
  bool Pass;
  double Value;
};
using test::PrintTo;

class LimitBound : public ::testing::TestWithParam<TLimitCase> {};

TEST_P(LimitBound, IsCheckedAgainstTheUnitsValue) {
  const TLimitCase& c = GetParam();
  trace::TLimits limits;
  std::string error;
  ASSERT_TRUE(limits.Read(WriteTemp(c.Name, std::string("# the line's limits\n") + c.Line + "\n"), error)) << error;
  const std::vector<trace::TLimitVerdict> verdicts = limits.Check(Unit());
  ASSERT_EQ(verdicts.size(), 1u);
  ASSERT_TRUE(verdicts[0].Value);
  EXPECT_NEAR(*verdicts[0].Value, c.Value, 0.001);
  EXPECT_EQ(verdicts[0].Pass, c.Pass) << trace::Describe(verdicts[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LimitBound,
    ::testing::Values(TLimitCase{"StoredInside", "stored_steps -60 60", true, -12},
                      TLimitCase{"StoredAtLowest", "stored_steps -12 -", true, -12},
                      TLimitCase{"StoredBelowLowest", "stored_steps -11 -", false, -12},
                      TLimitCase{"PpmAtHighest", "stored_ppm - -6.219", true, -6.219},
                      TLimitCase{"PpmAboveHighest", "stored_ppm - -6.3", false, -6.219},
                      TLimitCase{"ChangeInside", "change_steps -30 30", true, -24},
                      TLimitCase{"ChangeOutside", "change_steps -20 20", false, -24},
                      TLimitCase{"RssiAtLowest", "rssi_avg 160 -", true, 160},
                      TLimitCase{"RssiBelowLowest", "rssi_avg 161 -", false, 160},
                      TLimitCase{"SpreadAtHighest", "afc_spread - 2", true, 2},
                      TLimitCase{"SpreadAboveHighest", "afc_spread - 1", false, 2},
                      TLimitCase{"CyclesInside", "cycles 1 7", true, 3},
                      TLimitCase{"CyclesOutside", "cycles - 2", false, 3}),
    test::TCaseName());

TEST(Limits, UnitWithoutTheValueFailsAndUnitsThatFailedAreNotChecked) {
  trace::TLimits limits;
  std::string error;
  ASSERT_TRUE(limits.Read(WriteTemp("novalue", "stored_steps -60 60\nrssi_avg 100 -\n"), error)) << error;
  TUnitResult r = Unit();
  r.Facts.RssiAverage.reset();
  const std::vector<trace::TLimitVerdict> verdicts = limits.Check(r);
  ASSERT_EQ(verdicts.size(), 2u);
  EXPECT_TRUE(verdicts[0].Pass);
  EXPECT_FALSE(verdicts[1].Pass);
  EXPECT_EQ(trace::OutsideLimit(*trace::FirstFailed(verdicts)), "outside limit rssi_avg");
  r.Verdict = uvFailed;
  EXPECT_TRUE(limits.Check(r).empty());
  // Analysis only: the value found stands for the value stored.
  r = Unit();
  r.AnalysisOnly = true;
  r.Facts.Stored.reset();
  r.Facts.Result = 70;
  EXPECT_FALSE(limits.Check(r)[0].Pass);
}

struct TBadFileCase {
  const char* Name;
  const char* Text;
  const char* Says;
};

class DamagedLimits : public ::testing::TestWithParam<TBadFileCase> {};

TEST_P(DamagedLimits, AreRefusedWholeWithTheLineAndTheReason) {
  trace::TLimits limits;
  std::string error;
  const std::string path = WriteTemp(GetParam().Name, GetParam().Text);
  EXPECT_FALSE(limits.Read(path, error));
  EXPECT_NE(error.find(GetParam().Says), std::string::npos) << error;
  EXPECT_TRUE(limits.Empty()) << "never half applied";
}

INSTANTIATE_TEST_SUITE_P(
    Limits, DamagedLimits,
    ::testing::Values(TBadFileCase{"UnknownName", "cycles 1 7\nstored_volts 1 2\n", ", line 2: no limit \"stored_volts\""},
                      TBadFileCase{"MissingBound", "stored_steps -60\n", ", line 1: a limit is its name"},
                      TBadFileCase{"NotANumber", "\n\nrssi_avg hundred -\n", ", line 3: a bound is a decimal number"},
                      TBadFileCase{"NoBoundAtAll", "rssi_avg - -\n", "at least one bound"},
                      TBadFileCase{"LowestAboveHighest", "cycles 7 1\n", "the lowest value is above the highest"},
                      TBadFileCase{"Twice", "cycles 1 7\ncycles 1 5\n", ", line 2: \"cycles\" is limited twice"}),
    test::TCaseName());

TEST(Manifest, AcceptsOnlyTheFilesItListsWithTheirHash) {
  const std::string bytes = "firmware bytes";
  const std::string sha = trace::Sha256Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(trace::Sha256Hex(reinterpret_cast<const uint8_t*>("abc"), 3),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  trace::TManifest manifest;
  std::string error;
  // As sha256sum writes it: text and binary mode, a path before the name.
  ASSERT_TRUE(manifest.Read(WriteTemp("ok.manifest", sha + "  fw/qvhandheld.qpf\n" + std::string(64, 'a') +
                                                         " *qvserver.hex\n"),
                            error))
      << error;
  EXPECT_EQ(manifest.Refusal("/opt/qvtune/qvhandheld.qpf", sha), "");
  EXPECT_NE(manifest.Refusal("qvhandheld.qpf", std::string(64, 'b')).find("is not the one in the firmware manifest"),
            std::string::npos);
  EXPECT_NE(manifest.Refusal("qvmodem.qpf", sha).find("not in the firmware manifest"), std::string::npos);
  EXPECT_FALSE(manifest.Read(WriteTemp("bad.manifest", sha + " qvhandheld.qpf\n"), error));
  EXPECT_NE(error.find(", line 1: not a line of sha256sum"), std::string::npos) << error;
}

// The window's way: the worker reads its inputs with the manifest's check;
// a refused file is one more entry of the reading errors, and the unit
// fails before any byte goes to a device.
TEST(Manifest, RefusedInputFailsTheRunBeforeAnyByteIsSent) {
  test::TUnitBench u;
  auto manifest = std::make_shared<trace::TManifest>();
  std::string error;
  std::string listed;
  for (const char* name : {"qvftune.qpf", "srvftune.sff", "qvmodem.qpf"}) {
    std::ifstream in(u.File(name), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    listed += trace::Sha256Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) + "  " + name + "\n";
  }
  // The handheld firmware is listed with the hash of another file.
  listed += std::string(64, '0') + "  qvhandheld.qpf\n";
  ASSERT_TRUE(manifest->Read(WriteTemp("unit.manifest", listed), error)) << error;
  u.Window.FirmwareCheck = trace::FirmwareCheck(manifest);
  // A failed reading asks nothing: the run goes to its end.
  ASSERT_TRUE(u.Run({})) << u.RunError;
  const std::vector<std::string> pane = u.Window.Screen().LogMemo;
  ASSERT_FALSE(pane.empty());
  EXPECT_EQ(pane[0].rfind("Error reading file(s):\r\n Quorvantis firmware \"" + u.File("qvhandheld.qpf") +
                              "\" (its SHA-256 ",
                          0),
            0u)
      << pane[0];
  EXPECT_NE(pane[0].find("is not the one in the firmware manifest"), std::string::npos);
  EXPECT_EQ(pane[0].find("RF modem firmware"), std::string::npos) << "the listed files are accepted";
  EXPECT_TRUE(u.Bench.Dongle->Wire().empty()) << "no byte reached the dongle";
  EXPECT_TRUE(u.Bench.Server->Wire().empty()) << "no byte reached the server";
}

}  // namespace
}  // namespace qv
