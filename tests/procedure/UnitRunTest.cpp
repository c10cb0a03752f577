// Whole runs of the worker against the device bench in virtual time, from
// Start to the end, with an operator answering the prompts: units in a row,
// the closing server restore, Cancel. The bench's record of the devices
// decides.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "bench/Firmware.h"
#include "tests/support/Unit.h"

namespace qv {
namespace {

using test::TUnitBench;
using A = TUnitBench::TAction;

int Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

bool HoldsServerFirmware(const bench::TServer& server, const bench::TFirmwareSet& set) {
  const bench::TServerWords words = bench::MakeServerFirmware(set.ServerX, set.ServerY);
  for (uint32_t a = 0x100; a < 0x2000; ++a)
    if (server.Word(a) != words[a]) return false;
  return server.Running() == bench::TServer::TFirmware::Production;
}

TEST(UnitRun, TwoUnitsThenTheServerRestoredOnce) {
  TUnitBench u;
  u.Window.RestoreServer = true;
  bench::THandheld::TConfig unit2;
  unit2.Mac = 0x00C0FFEE;
  unit2.Crystal = -37;
  auto second = std::make_shared<bench::THandheld>(unit2);
  second->AttachRadio(u.Bench.Radio);
  u.Bench.Dongle->QueueHandheld(second);
  ASSERT_TRUE(u.Run({{TUnitBench::aOk}, {TUnitBench::aYes}, {TUnitBench::aNo}})) << u.RunError;

  const std::vector<std::string> pane = u.Window.Screen().LogMemo;
  std::string all;
  for (const std::string& l : pane) all += l + "\n";
  SCOPED_TRACE(all);
  EXPECT_EQ(Count(pane, "=== Next Quorvantis ==="), 1);
  EXPECT_EQ(Count(pane, "--- Restoring server firmware to V2.1.3a ---"), 1);
  EXPECT_EQ(Count(pane, "Completed successfully!"), 3) << "two units and the restore";
  EXPECT_EQ(pane.back(), "Error log file written");
  EXPECT_TRUE(HoldsServerFirmware(*u.Bench.Server, u.Set));
  EXPECT_GE(u.Bench.Handheld->ReleasedAt(), 0);
  EXPECT_GE(second->ReleasedAt(), 0) << "the second unit was updated too";

  // The file keeps the common start, "...", and the second unit onwards.
  const std::string log = u.ErrorLog();
  EXPECT_NE(log.find("...\r"), std::string::npos);
  EXPECT_EQ(log.find(">=== Next Quorvantis ===\r"), std::string::npos) << "the cut comes after it";
  EXPECT_NE(log.find(">--- Restoring server firmware to V2.1.3a ---\r"), std::string::npos);
  EXPECT_EQ(log.find("Completed successfully!"), std::string::npos) << "outcome lines stay out of the file";
}

// The unit fails before its fine-tuning (the handheld cannot be
// initialised), so the server never left the firmware it ran, whose version
// equals the image's.
TEST(UnitRun, NothingIsSentWhenTheServerStillRunsTheSameVersion) {
  TUnitBench u;
  u.Window.RestoreServer = true;
  u.Bench.Server->Config().VersionX = u.Set.ServerX;
  u.Bench.Server->Config().VersionY = u.Set.ServerY;
  u.Bench.Dongle->Faults().Add(bench::WrongOn(0x39, -1, 0));
  ASSERT_TRUE(u.Run({{TUnitBench::aOk}, {TUnitBench::aNo}})) << u.RunError;
  const std::vector<std::string> pane = u.Window.Screen().LogMemo;
  std::string all;
  for (const std::string& l : pane) all += l + "\n";
  SCOPED_TRACE(all);
  EXPECT_EQ(Count(pane, "--- Restoring server firmware to V2.1.3a ---"), 0);
  EXPECT_EQ(u.Bench.Server->ProgrammingFrames(), 0u);
  EXPECT_EQ(Count(pane, "Failed to initialize Quorvantis!"), 1);
  EXPECT_EQ(Count(pane, "Procedure failed!"), 1);
  EXPECT_EQ(pane.back(), "Error log file written");
}

// A unit whose first attempt fails (one read-back byte answered wrongly) is
// retried: everything starts again from the loading of the files, and the
// second attempt tunes it.
TEST(UnitRun, FailedUnitRetriedThenTuned) {
  TUnitBench u;
  u.Window.RestoreServer = true;
  u.Bench.Handheld->Faults().WrongReadAt = 1500;
  u.Bench.Clock.AddListener(&u, [&](qv::TClock::TDuration) {
    // The fault strikes once: gone as soon as the first attempt has failed.
    const std::vector<std::string> lines = u.Window.Screen().LogMemo;
    if (std::find(lines.begin(), lines.end(), "Procedure failed!") != lines.end())
      u.Bench.Handheld->Faults().WrongReadAt = -1;
  });
  const bool ran = u.Run({{TUnitBench::aOk}, {TUnitBench::aYes}, {TUnitBench::aOk}, {TUnitBench::aNo}});
  u.Bench.Clock.RemoveListener(&u);
  const std::vector<std::string> pane = u.Window.Screen().LogMemo;
  std::string all;
  for (const std::string& l : pane) all += l + "\n";
  ASSERT_TRUE(ran) << u.RunError << "\n" << all;
  const std::vector<std::string> expected = {"Communication error, programming failed!", "Procedure failed!",
                                             "=== Next attempt ==="};
  EXPECT_NE(std::search(pane.begin(), pane.end(), expected.begin(), expected.end()), pane.end());
  EXPECT_EQ(Count(pane, "Completed successfully!"), 2) << "the unit, then the restore";
  const double handheld = u.Bench.Handheld->Config().Crystal + u.Bench.Handheld->EffectiveOffset();
  const double server = u.Bench.Server->Config().Crystal + u.Bench.Server->EffectiveOffset();
  EXPECT_LE(std::abs(handheld - server), 2.0);
  EXPECT_GE(u.Bench.Handheld->ReleasedAt(), 0);
}

TEST(UnitRun, CancelDuringTheUnitStillRestoresTheServer) {
  TUnitBench u;
  u.Window.RestoreServer = true;
  ASSERT_TRUE(u.Run({{TUnitBench::aOk}, {TUnitBench::aCancel, "Preparing to execute firmware update..."}})) << u.RunError;
  const std::vector<std::string> pane = u.Window.Screen().LogMemo;
  const auto aborted = std::find(pane.begin(), pane.end(), "Aborted by user!");
  ASSERT_NE(aborted, pane.end());
  const std::vector<std::string> tail(aborted, pane.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"Aborted by user!", "--- Restoring server firmware to V2.1.3a ---",
                                            "Programming server, please wait...", "Completed successfully!",
                                            "Error log file written"}));
  EXPECT_TRUE(HoldsServerFirmware(*u.Bench.Server, u.Set));
  EXPECT_GT(u.Window.Screen().LogMemoRepaints, 0) << "the pane is repainted while the window waits";
}

TEST(UnitRun, ServerTunedGetsItsFirmwareBackAndNoRestore) {
  TUnitBench u;
  u.Window.GoldenIsHandheld = true;
  ASSERT_TRUE(u.Run({{TUnitBench::aOk}})) << u.RunError;
  const std::vector<std::string> pane = u.Window.Screen().LogMemo;
  EXPECT_EQ(Count(pane, "--- Updating server firmware to V2.1.3a ---"), 1);
  EXPECT_EQ(Count(pane, "Completed successfully!"), 1);
  EXPECT_TRUE(HoldsServerFirmware(*u.Bench.Server, u.Set));
  EXPECT_LT(u.Bench.Handheld->ReleasedAt(), 0) << "the golden handheld is left alone";
}

}  // namespace
}  // namespace qv
