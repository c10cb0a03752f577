// The figures of a records file written in either schema version, the
// golden reference's health, the files a reader must refuse, and the CSV
// files.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "records/Store.h"
#include "stats/History.h"
#include "tests/stats/RecordsGen.h"
#include "tests/stats/StatsTest.h"
#include "tests/support/Cases.h"

namespace qv::test {
namespace {

// Two days on two stations, every outcome and a multi-line message with a
// comma in it.
std::vector<TGenUnit> SmallHistory() {
  auto unit = [](int day, int minute, const char* station, const char* outcome, std::optional<int> stored,
                 const char* message = "", const char* reason = "") {
    TGenUnit u;
    u.Time = GenTime(day, 8 * 3600 + 60 * minute, 250);
    u.Station = station;
    u.Outcome = outcome;
    u.Stored = stored;
    u.Result = stored ? stored : std::optional<int>(4);
    u.GoldenId = "SRV-0007";
    u.Message = message;
    u.NotStoredReason = reason;
    u.Rssi = day == 0 ? -60.0 : -70.0;
    u.AfcSpread = day == 0 ? 1.5 : 2.5;
    return u;
  };
  return {
      unit(0, 1, "LINE-1", "success", 5),
      unit(0, 2, "LINE-1", "success", 5),
      unit(0, 3, "LINE-1", "failed", std::nullopt, "No answer from the server.", "failed"),
      unit(0, 4, "LINE-2", "success", 6),
      unit(0, 5, "LINE-2", "analysis", std::nullopt, "", "analysis only"),
      unit(1, 1, "LINE-1", "success", 4),
      unit(1, 2, "LINE-1", "aborted", std::nullopt, "", "aborted"),
      unit(1, 3, "LINE-2", "success", 5),
      unit(1, 4, "LINE-2", "failed", std::nullopt, "Too few packets heard, 3 of 40\r\nCheck the antenna", "failed"),
      unit(1, 5, "LINE-2", "success", 7),
  };
}

struct TVersionCase {
  const char* Name;
  int Version;
  // A writer holds the file: it cannot be brought up, and is read as it
  // stands.
  bool Held;
};
using test::PrintTo;

class HistoryVersionTest : public StatsTest, public ::testing::WithParamInterface<TVersionCase> {};

TEST_P(HistoryVersionTest, FiguresPerDayAndStation) {
  const TVersionCase& c = GetParam();
  WriteRecords(Db(), c.Version, SmallHistory());
  sqlite3* holder = nullptr;
  if (c.Held) {
    ASSERT_EQ(sqlite3_open(Db().c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  THistory h;
  ASSERT_TRUE(h.Load(Db())) << h.Error();
  sqlite3_close(holder);
  EXPECT_EQ(h.SchemaVersion(), c.Held ? c.Version : records::kSchemaVersion);
  EXPECT_EQ(h.InMemory(), c.Held);
  EXPECT_EQ(
      h.Note().find("could not be brought to version " + std::to_string(records::kSchemaVersion)) != std::string::npos,
      c.Held)
      << h.Note();
  if (!c.Held) {
    THistory again;
    ASSERT_TRUE(again.Load(Db()));
    EXPECT_EQ(again.SchemaVersion(), records::kSchemaVersion) << "brought up in place, for good";
  }
  ASSERT_EQ(h.Units().size(), 10u);
  const TUnit& first = h.Units().front();
  EXPECT_EQ(first.TimeUtc, "2026-12-01T08:01:00.250Z");
  EXPECT_EQ(first.TimeMs, 1796112060250);
  EXPECT_EQ(first.StoredOffset, 5);
  // Version 1 has no result column: it reads as none.
  EXPECT_EQ(first.ResultOffset, c.Version == 1 ? std::nullopt : std::optional<int>(5));
  EXPECT_EQ(first.AfcMean.has_value(), c.Version == 2);

  const TFigures f = ComputeFigures(h, {}, {});
  EXPECT_EQ(f.Total.Units, 10);
  EXPECT_EQ(f.StoredValues, (std::map<int, int>{{4, 1}, {5, 3}, {6, 1}, {7, 1}}));
  struct TExpected {
    std::string Key;
    int Units, Success, Failed, Aborted, Analysis;
    double Yield;
  };
  auto check = [](const std::vector<TGroupFigures>& groups, const std::vector<TExpected>& expected) {
    ASSERT_EQ(groups.size(), expected.size());
    for (size_t i = 0; i < groups.size(); ++i) {
      const TGroupFigures& g = groups[i];
      const TExpected& e = expected[i];
      SCOPED_TRACE(e.Key);
      EXPECT_EQ(g.Key, e.Key);
      EXPECT_EQ(std::vector<int>({g.Units, g.Success, g.Failed, g.Aborted, g.Analysis}),
                std::vector<int>({e.Units, e.Success, e.Failed, e.Aborted, e.Analysis}));
      EXPECT_DOUBLE_EQ(g.Yield().value_or(-1), e.Yield);
    }
  };
  // Analysis-only units do not count against the yield.
  check(f.Days, {{"2026-12-01", 5, 3, 1, 0, 1, 0.75}, {"2026-12-02", 5, 3, 1, 1, 0, 0.6}});
  check(f.Stations, {{"LINE-1", 5, 3, 1, 1, 0, 0.6}, {"LINE-2", 5, 3, 1, 0, 1, 0.75}});
  EXPECT_DOUBLE_EQ(f.Days[1].RssiMean().value_or(0), -70.0);
  EXPECT_DOUBLE_EQ(f.Days[0].AfcSpreadMean().value_or(0), 1.5);
  using TReasons = std::vector<std::pair<std::string, int>>;
  EXPECT_EQ(f.Reasons,
            (TReasons{{"No answer from the server", 1}, {"Too few packets heard, 3 of 40", 1}, {"aborted", 1}}));
  EXPECT_EQ(f.Stations[0].TopReason(), "No answer from the server");
}

INSTANTIATE_TEST_SUITE_P(Versions, HistoryVersionTest,
                         ::testing::Values(TVersionCase{"Version1", 1, false}, TVersionCase{"Version2", 2, false},
                                           TVersionCase{"Version1AsItStands", 1, true},
                                           TVersionCase{"Version2AsItStands", 2, true}),
                         TCaseName());

struct TFilterCase {
  const char* Name;
  TFilter Filter;
  size_t Shown;
};

class FilterTest : public StatsTest, public ::testing::WithParamInterface<TFilterCase> {};

TEST_P(FilterTest, ShowsTheUnitsOfTheDaysAndStation) {
  WriteRecords(Db(), 2, SmallHistory());
  THistory h;
  ASSERT_TRUE(h.Load(Db()));
  const TFigures f = ComputeFigures(h, GetParam().Filter, {});
  const std::vector<TUnit> shown = h.Records({GetParam().Filter, "", ""}, 0, -1);
  EXPECT_EQ(shown.size(), GetParam().Shown);
  for (const TUnit& u : shown) EXPECT_TRUE(GetParam().Filter.Accepts(u)) << u.TimeUtc << " " << u.Station;
  EXPECT_EQ(f.Total.Units, static_cast<int>(GetParam().Shown));
  EXPECT_EQ(h.CountRecords({GetParam().Filter, "", ""}), static_cast<int64_t>(GetParam().Shown));
}

INSTANTIATE_TEST_SUITE_P(Cases, FilterTest,
                         ::testing::Values(TFilterCase{"All", {}, 10},
                                           TFilterCase{"FromSecondDay", {"2026-12-02", "", ""}, 5},
                                           TFilterCase{"ToFirstDay", {"", "2026-12-01", ""}, 5},
                                           TFilterCase{"OneDayOneStation", {"2026-12-02", "2026-12-02", "LINE-2"}, 3},
                                           TFilterCase{"OneStation", {"", "", "LINE-1"}, 5},
                                           TFilterCase{"UnknownStation", {"", "", "LINE-9"}, 0},
                                           TFilterCase{"DaysOutside", {"2027-01-01", "", ""}, 0}),
                         TCaseName());

struct TGoldenCase {
  const char* Name;
  int Units;
  int DriftFrom;  // 0: none
  int Drift;
  double Threshold;
  bool BaselineReady;
  double Baseline;
  bool Drifted;
  int FirstOverUnit;  // 0: not checked
};

class GoldenTest : public ::testing::TestWithParam<TGoldenCase> {};

// A baseline of 10 from 20 units, a window of 10: the shift of a step drift
// grows by a tenth of the step a unit, with the units' own spread of
// +-0.1 on top.
TEST_P(GoldenTest, WarnsWhenTheRunningMeanLeavesTheBaseline) {
  const TGoldenCase& c = GetParam();
  THistory h;
  std::vector<TUnit> units;
  for (const TGenUnit& g : GoldenRun("SRV-0042", c.Units, 10, c.DriftFrom, c.Drift)) {
    TUnit u;
    u.TimeUtc = g.Time;
    u.TimeMs = *ParseUtcMs(g.Time);
    u.GoldenId = g.GoldenId;
    u.Golden = "server";
    u.ResultOffset = g.Result;
    units.push_back(u);
  }
  h.Assign(units);
  TGoldenOptions o;
  o.Threshold = c.Threshold;
  const TFigures f = ComputeFigures(h, {}, o);
  ASSERT_EQ(f.Golden.size(), 1u);
  const TGoldenHealth& g = f.Golden[0];
  EXPECT_EQ(g.Units, c.Units);
  EXPECT_EQ(g.BaselineReady, c.BaselineReady);
  if (c.BaselineReady) {
    EXPECT_DOUBLE_EQ(g.Baseline, c.Baseline);
  }
  EXPECT_EQ(g.Drifted, c.Drifted);
  EXPECT_EQ(f.Drifted().size(), c.Drifted ? 1u : 0u);
  EXPECT_EQ(g.Warning().empty(), !c.Drifted);
  if (c.Drifted) {
    EXPECT_NE(
        g.Warning().find("Golden reference SRV-0042 (server) has drifted by " + std::string(c.Drift > 0 ? "+" : "-")),
        std::string::npos)
        << g.Warning();
  }
  if (c.FirstOverUnit != 0) {
    ASSERT_GE(g.FirstOver, 0);
    EXPECT_EQ(g.Points[static_cast<size_t>(g.FirstOver)].Unit, c.FirstOverUnit);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenTest,
                         ::testing::Values(TGoldenCase{"Stable", 80, 0, 0, 3, true, 10, false, 0},
                                           TGoldenCase{"StepUpByFour", 80, 41, 4, 3, true, 10, true, 48},
                                           TGoldenCase{"StepDownByFour", 80, 41, -4, 3, true, 10, true, 48},
                                           TGoldenCase{"SmallStepUnderThreshold", 80, 41, 2, 3, true, 10, false, 0},
                                           TGoldenCase{"SmallStepUnderLowThreshold", 80, 41, 2, 1.5, true, 10, true, 0},
                                           TGoldenCase{"DriftInsideTheBaseline", 80, 5, 4, 3, true, 13.2, false, 0},
                                           TGoldenCase{"NoWholeWindowYet", 28, 21, 9, 3, true, 10, false, 0},
                                           TGoldenCase{"TooFewForBaseline", 12, 0, 0, 3, false, 10, false, 0}),
                         TCaseName());

TEST(GoldenWarningTest, NamesTheIdentityTheShiftAndWhereItBegan) {
  THistory h;
  std::vector<TUnit> units;
  for (const TGenUnit& g : GoldenRun("SRV-0042", 80, 10, 41, 4)) {
    TUnit u;
    u.TimeUtc = g.Time;
    u.TimeMs = *ParseUtcMs(g.Time);
    u.GoldenId = g.GoldenId;
    u.Golden = "server";
    u.ResultOffset = g.Result;
    units.push_back(u);
  }
  h.Assign(units);
  const TFigures f = ComputeFigures(h, {}, {});
  ASSERT_EQ(f.Drifted().size(), 1u);
  EXPECT_EQ(f.Drifted()[0]->Warning(),
            "Golden reference SRV-0042 (server) has drifted by +4.1 steps from its baseline 10.0 (threshold 3.0): "
            "beyond the threshold from unit 48 on 2026-12-01 06:48 UTC, now +3.9.");
}

// Files a reader meets that are no records of this system.
struct TBadFile {
  const char* Name;
  void (*Make)(const std::string& path);
  const char* Says;
};

void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

void Overwrite(const std::string& path, std::streamoff at, size_t count) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(at);
  f << std::string(count, '\x5a');
}

const TBadFile kBadFiles[] = {
    {"Missing", [](const std::string&) {}, "There is no records file at "},
    {"Folder", [](const std::string& p) { std::filesystem::create_directory(p); }, " is a folder, not a records file"},
    {"Empty", [](const std::string& p) { std::ofstream{p}; }, " is empty"},
    {"Text", [](const std::string& p) { std::ofstream(p) << std::string(4096, 'x'); },
     " is not a records file: it is damaged or not a database"},
    {"DamagedPages",
     [](const std::string& p) {
       WriteRecords(p, 2, Production(2000, 4));
       Overwrite(p, 8192, 16384);
     },
     " is damaged (database disk image is malformed)"},
    {"ForeignDatabase", [](const std::string& p) { Sql(p, "CREATE TABLE customers (name TEXT)"); },
     " is a database but not a records file of qvtune (it has no table 'units')"},
    {"NoVersionTable", [](const std::string& p) { Sql(p, "CREATE TABLE units (id INTEGER)"); },
     "(it has no table 'schema_version')"},
    {"NewerVersion",
     [](const std::string& p) {
       WriteRecords(p, 2, SmallHistory());
       Sql(p, "UPDATE schema_version SET version = " + std::to_string(records::kSchemaVersion + 1));
     },
     " holds records of a schema version newer than this qvstats reads"},
    {"NoVersionRow",
     [](const std::string& p) {
       WriteRecords(p, 2, SmallHistory());
       Sql(p, "DELETE FROM schema_version");
     },
     " is damaged: it has no valid schema version"},
    {"ColumnsMissing",
     [](const std::string& p) {
       Sql(p,
           "CREATE TABLE schema_version (version INTEGER); INSERT INTO schema_version VALUES (2);"
           "CREATE TABLE units (id INTEGER PRIMARY KEY, record_uid TEXT, time_utc TEXT)");
     },
     " is not a records file of qvtune: its units have no column 'station'"},
};

class BadFileTest : public StatsTest, public ::testing::WithParamInterface<TBadFile> {};

TEST_P(BadFileTest, RefusedWithAMessage) {
  GetParam().Make(Db());
  THistory h;
  EXPECT_FALSE(h.Load(Db()));
  EXPECT_NE(h.Error().find(GetParam().Says), std::string::npos) << h.Error();
  EXPECT_NE(h.Error().find(Db()), std::string::npos) << "the message names the file: " << h.Error();
  EXPECT_TRUE(h.Units().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, BadFileTest, ::testing::ValuesIn(kBadFiles), TCaseName());

TEST_F(StatsTest, ReadingLeavesTheFileAsItWas) {
  {
    auto store = records::SqliteStore(Db());
    int n = 0;
    std::string why;
    for (const TGenUnit& u : SmallHistory()) ASSERT_TRUE(store->Write(GenRecord(u, ++n), why)) << why;
  }
  const std::string before = ReadAll(Db());
  const auto time = std::filesystem::last_write_time(Db());
  {
    THistory h;
    ASSERT_TRUE(h.Load(Db()));
    EXPECT_EQ(ComputeFigures(h, {}, {}).Total.Units, 10);
  }
  EXPECT_EQ(ReadAll(Db()), before);
  EXPECT_EQ(std::filesystem::last_write_time(Db()), time);
  EXPECT_FALSE(std::filesystem::exists(Db() + "-journal"));
  // A reader of a file in write-ahead-log mode may leave the log beside
  // it, empty.
  std::error_code ec;
  EXPECT_EQ(std::filesystem::file_size(Db() + "-wal", ec), ec ? static_cast<uintmax_t>(-1) : 0u);
}

TEST_F(StatsTest, CsvQuotesWhatNeedsIt) {
  WriteRecords(Db(), 2, SmallHistory());
  THistory h;
  ASSERT_TRUE(h.Load(Db()));
  const TFigures f = ComputeFigures(h, {"2026-12-02", "", "LINE-2"}, {});
  std::ostringstream records, days;
  EXPECT_TRUE(WriteRecordsCsv(records, h, {{"2026-12-02", "", "LINE-2"}, "", ""}));
  WriteGroupsCsv(days, "day", f.Days);
  std::istringstream lines(records.str());
  std::string header;
  std::getline(lines, header);
  EXPECT_EQ(header.substr(0, 45), "id,record_uid,time_utc,station,tool,handheld_");
  EXPECT_NE(records.str().find(",failed,\"Too few packets heard, 3 of 40\r\nCheck the antenna\","), std::string::npos)
      << records.str();
  EXPECT_EQ(days.str(),
            "day,units,success,failed,aborted,analysis,other,yield_percent,rssi_mean,afc_spread_mean,top_reason,"
            "reasons\r\n"
            "2026-12-02,3,2,1,0,0,0,66.7,-70.00,2.50,\"Too few packets heard, 3 of 40\","
            "\"Too few packets heard, 3 of 40: 1\"\r\n");
  EXPECT_EQ(CsvField("say \"no\""), "\"say \"\"no\"\"\"");
}

}  // namespace
}  // namespace qv::test
