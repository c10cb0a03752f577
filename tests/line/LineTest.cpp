// qvline's runner against the in-process bench in virtual time: the same
// worker as the window, so the same log lines and the same transcript; the
// prompts answered by policy; Cancel; the exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "settings/SettingsFile.h"
#include "bench/Faults.h"
#include "line/LineRunner.h"

#include <nlohmann/json.hpp>
#include "tests/line/Station.h"
#include "tests/support/Cases.h"

namespace qv {
namespace {

using test::Lines;
using test::TStation;
using test::TUnitBench;

int Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

TEST(Line, GoodUnitLogsAndWritesWhatTheWindowDoes) {
  TUnitBench window;
  ASSERT_TRUE(window.Run({{TUnitBench::aOk}})) << window.RunError;

  TStation station;
  EXPECT_EQ(station.Run({}), line::ecSuccess) << station.Err;
  const std::vector<std::string> lines = Lines(station.Out);
  EXPECT_EQ(lines, window.Window.Screen().LogMemo);
  EXPECT_EQ(Count(lines, "Completed successfully!"), 1);
  EXPECT_EQ(lines.back(), "Error log file written");
  EXPECT_EQ(station.U.ErrorLog(), window.ErrorLog()) << "the same transcript, byte for byte";
  EXPECT_GE(station.U.Bench.Handheld->ReleasedAt(), 0) << "the unit got its production firmware";
  EXPECT_NE(station.Err.find("Press Ok to continue. -> Ok"), std::string::npos) << station.Err;
}

TEST(Line, UnitsInARowWithTheServerRestoredOnce) {
  TStation station("SR");
  bench::THandheld::TConfig second;
  second.Mac = 0x00C0FFEE;
  auto unit2 = std::make_shared<bench::THandheld>(second);
  unit2->AttachRadio(station.U.Bench.Radio);
  station.U.Bench.Dongle->QueueHandheld(unit2);
  EXPECT_EQ(station.Run({"--units", "2"}), line::ecSuccess) << station.Err;
  const std::vector<std::string> lines = Lines(station.Out);
  EXPECT_EQ(Count(lines, "=== Next Quorvantis ==="), 1);
  EXPECT_EQ(Count(lines, "Completed successfully!"), 3) << "two units and the restore";
  EXPECT_EQ(Count(lines, "--- Restoring server firmware to V2.1.3a ---"), 1);
  EXPECT_GE(unit2->ReleasedAt(), 0);
  EXPECT_NE(station.Err.find("Do you want to fine-tune another Quorvantis? -> Yes"), std::string::npos);
  EXPECT_NE(station.Err.find("Do you want to fine-tune another Quorvantis? -> No"), std::string::npos);
}

// A unit the handheld never lets initialise, with and without the prompt
// that offers a retry.
struct TFailCase {
  const char* Name;
  const char* Choices;
  std::vector<std::string> Args;
  int Attempts;
  // The closing server restore's, in restore mode.
  int Completed;
};
using test::PrintTo;

class LineFailure : public ::testing::TestWithParam<TFailCase> {};

TEST_P(LineFailure, FailedUnitIsRetriedAsToldThenExitsWithOne) {
  const TFailCase& c = GetParam();
  TStation station(c.Choices);
  station.U.Bench.Dongle->Faults().Add(bench::WrongOn(0x39, -1, 0));
  EXPECT_EQ(station.Run(c.Args), line::ecUnitFailed) << station.Err;
  const std::vector<std::string> lines = Lines(station.Out);
  EXPECT_EQ(Count(lines, "Failed to initialize Quorvantis!"), c.Attempts) << station.Out;
  EXPECT_EQ(Count(lines, "Completed successfully!"), c.Completed);
  EXPECT_EQ(lines.back(), "Error log file written");
}

INSTANTIATE_TEST_SUITE_P(Cases, LineFailure,
                         ::testing::Values(TFailCase{"NoRetries", "S", {}, 1, 0},
                                           TFailCase{"RetriedByTheNextRun", "S", {"--retries", "2"}, 3, 0},
                                           TFailCase{"RetriedAtThePrompt", "SR", {"--retries", "1"}, 2, 1}),
                         test::TCaseName());

TEST(Line, CancelStillRestoresTheServerAndWritesTheLog) {
  TStation station("SR");
  const int code = station.Run({"--units", "5"}, [](line::TLineRunner& runner, const std::string& line) {
    // Twice: the second request changes nothing.
    if (line == "Preparing to execute firmware update..." || line == "Programming server, please wait...")
      runner.RequestCancel();
  });
  EXPECT_EQ(code, line::ecAborted);
  const std::vector<std::string> lines = Lines(station.Out);
  const auto aborted = std::find(lines.begin(), lines.end(), "Aborted by user!");
  ASSERT_NE(aborted, lines.end()) << station.Out;
  EXPECT_EQ(std::vector<std::string>(aborted, lines.end()),
            (std::vector<std::string>{"Aborted by user!", "--- Restoring server firmware to V2.1.3a ---",
                                      "Programming server, please wait...", "Completed successfully!",
                                      "Error log file written"}));
  const std::string log = station.U.ErrorLog();
  EXPECT_NE(log.find(">--- Restoring server firmware to V2.1.3a ---\r"), std::string::npos);
  EXPECT_FALSE(station.U.Bench.Handheld->ReleasedAt() >= 0) << "the unit was left as it was";
}

// Every line a JSON object with its event: the log lines, then one result
// for the unit, then the summary; parsed and checked field by field.
TEST(Line, JsonLinesAreLogResultAndSummaryObjects) {
  TStation station;
  EXPECT_EQ(station.Run({"--json", "--operator", "A. Operator", "--station", "LINE-7"}), line::ecSuccess)
      << station.Err;
  std::vector<nlohmann::json> objects;
  for (const std::string& l : Lines(station.Out)) objects.push_back(nlohmann::json::parse(l));
  ASSERT_GE(objects.size(), 3u);
  const nlohmann::json& summary = objects.back();
  int results = 0;
  nlohmann::json result;
  for (size_t i = 0; i + 1 < objects.size(); ++i) {
    const nlohmann::json& o = objects[i];
    if (o["event"] == "result") {
      result = o;
      ++results;
      continue;
    }
    ASSERT_EQ(o["event"], "log") << o;
    EXPECT_EQ(o["station"], "LINE-7");
    EXPECT_EQ(o["unit"], 1);
    EXPECT_TRUE(o["time"].get<std::string>().rfind("20", 0) == 0);
  }
  EXPECT_NE(station.Out.find("\"step\":\"DetectPorts\",\"text\":\"Dongle found on COM3"), std::string::npos);

  ASSERT_EQ(results, 1);
  EXPECT_EQ(result["station"], "LINE-7");
  EXPECT_EQ(result["unit"], 1);
  EXPECT_EQ(result["radio_address"], "0x00A1B2C3");
  EXPECT_EQ(result["operator"], "A. Operator");
  EXPECT_TRUE(result["scan_id"].is_null());
  EXPECT_EQ(result["hardware"], "2.1");
  EXPECT_EQ(result["golden"]["side"], "server");
  EXPECT_EQ(result["golden"]["id"], "RFQVSERVER000123");
  EXPECT_EQ(result["before"]["factory"], station.U.Bench.Handheld->Config().FactoryOffset);
  const int stored = station.U.Bench.Handheld->Config().PcToolOffset;
  EXPECT_EQ(result["stored"]["steps"], stored);
  EXPECT_NEAR(result["stored"]["ppm"].get<double>(), stored / 1.92955, 0.005);
  EXPECT_GE(result["measurement"]["cycles"].get<int>(), 2);
  EXPECT_EQ(result["measurement"]["trial_offsets"].size(), result["measurement"]["records_per_cycle"].size());
  EXPECT_TRUE(result["limits"].is_array() && result["limits"].empty());
  EXPECT_EQ(result["outcome"], "success");
  EXPECT_TRUE(result["message"].is_null());
  EXPECT_GT(result["duration_s"].get<double>(), 0);
  // The firmware the unit got, each as sha256sum sees its file.
  std::vector<std::string> inputs;
  for (const nlohmann::json& f : result["firmware"]) {
    inputs.push_back(f["input"]);
    EXPECT_EQ(f["sha256"], test::Sha256sum(f["source"])) << f;
    EXPECT_EQ(f["size"].get<uint64_t>(), std::filesystem::file_size(f["source"].get<std::string>()));
  }
  EXPECT_EQ(inputs, (std::vector<std::string>{"Quorvantis test firmware", "Server test firmware", "RF modem firmware",
                                              "Quorvantis firmware"}));

  EXPECT_EQ(summary["event"], "summary");
  EXPECT_EQ(summary["units"], 1);
  EXPECT_EQ(summary["tuned"], 1);
  EXPECT_EQ(summary["failed"], 0);
  EXPECT_TRUE(summary["failed_by_reason"].empty());
}

// The policy answers each prompt by its kind, whatever its text says: these
// texts would mislead a policy that read them.
struct TPolicyCase {
  const char* Name;
  TPromptKind Kind;
  const char* Text;
  std::vector<std::string> Args;
  // What the worker reads after the prompt; for a wait, nothing is asked.
  std::optional<TAnswer> Answer;
  const char* Told;
};
void PrintTo(const TPolicyCase& c, std::ostream* os) {
  *os << c.Name;
}

class LinePolicy : public ::testing::TestWithParam<TPolicyCase> {};

TEST_P(LinePolicy, AnswersByKindNotByText) {
  const TPolicyCase& c = GetParam();
  TStation station;
  std::vector<TAnswer> answers;
  std::vector<bool> cancelled;
  const int code = station.Run(c.Args, {}, [&](TSerThread& worker) {
    worker.Steps.DetectPorts = [&](TSerThread& w) {
      w.Reply = c.Text;
      w.PromptAnswer = anCancel;
      if (c.Kind == pkConnect) {
        w.Synchronize(&TSerThread::PromptOk);
      } else if (IsQuestion(c.Kind)) {
        w.Synchronize([&] { w.PromptYesNo(c.Kind); });
      } else {
        w.Synchronize([&] { w.ShowStatus(c.Kind); });
        w.Synchronize(&TSerThread::HideStatus);
      }
      answers.push_back(w.PromptAnswer);
      cancelled.push_back(w.Terminated());
      w.Outcome = ocFailed;
    };
  });
  EXPECT_EQ(code, line::ecUnitFailed) << station.Err;
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0], c.Answer.value_or(anCancel)) << station.Err;
  EXPECT_FALSE(cancelled[0]);
  EXPECT_NE(station.Err.find(c.Told), std::string::npos) << station.Err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinePolicy,
    ::testing::Values(
        TPolicyCase{"ConnectAskedAsAQuestion", pkConnect, "Ready?\rAnswer Yes or No?", {}, anOk,
                    "qvline: Ready? Answer Yes or No? -> Ok\n"},
        TPolicyCase{"NextUnitSayingPressOk", pkNextUnit, "Press Ok for more", {"--units", "2"}, anYes,
                    "qvline: Press Ok for more -> Yes\n"},
        TPolicyCase{"NextAttemptWithRetriesLeft", pkNextAttempt, "Press Ok to go on", {"--retries", "1"}, anYes,
                    "qvline: Press Ok to go on -> Yes\n"},
        TPolicyCase{"NextAttemptWithNoneLeft", pkNextAttempt, "Retry? Press Ok", {}, anNo,
                    "qvline: Retry? Press Ok -> No\n"},
        TPolicyCase{"WaitThatAsks", pkAwaitHandheld, "Connect it. Press Ok?", {}, std::nullopt,
                    "qvline: Connect it. Press Ok?\n"}),
    test::TCaseName());

TEST(Line, SettingsFileIsReadButNeverWritten) {
  TStation station;
  const std::vector<std::string> before = ReadSettingsLines(station.Ini());
  EXPECT_EQ(station.Run({"--units", "1", "--golden", "server"}), line::ecSuccess) << station.Err;
  EXPECT_EQ(ReadSettingsLines(station.Ini()), before);
}

}  // namespace
}  // namespace qv
