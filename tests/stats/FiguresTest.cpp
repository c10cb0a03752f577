// The figures read from the database's counts and running means are those
// computed from the rows themselves, on SQLite and on PostgreSQL, for a
// table of filters: demo records of five stations (golden references long
// enough to be sampled for their charts, one drifting), a short drifting
// golden run, records that arrive late and one sent twice, a golden of a
// month whose chart is sampled by the hour. The pages of the
// records table and their transcripts come from the database as asked.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "records/Store.h"
#include "stats/Demo.h"
#include "stats/History.h"
#include "tests/records/PgServer.h"
#include "tests/records/RecordSupport.h"
#include "tests/stats/RecordsGen.h"
#include "tests/support/Cases.h"

namespace qv::test {
namespace {

constexpr int kMonthUnits = 2100;

// One database of each kind for the whole suite, written once.
struct TWritten {
  std::unique_ptr<TPgServer> Server;
  std::unique_ptr<TTempDir> Dir;
  std::string Where;
  std::string Problem;
};

std::map<bool, TWritten>& Databases() {
  static std::map<bool, TWritten> databases;
  return databases;
}

const TWritten& Written(bool postgres) {
  TWritten& w = Databases()[postgres];
  if (!w.Where.empty() || !w.Problem.empty()) return w;
  if (postgres) {
    w.Server = std::make_unique<TPgServer>();
    w.Problem = w.Server->Problem();
    if (!w.Problem.empty()) return w;
    w.Where = w.Server->Conninfo();
  } else {
    w.Dir = std::make_unique<TTempDir>();
    w.Where = w.Dir->File("figures.records");
  }
  auto store = postgres ? records::PostgresStore(w.Where) : records::SqliteStore(w.Where);
  TDemoOptions demo;
  demo.Units = 12000;
  demo.Seed = 7;
  demo.LastDay = "2026-12-20";
  std::string why;
  if (!WriteDemo(*store, demo, why)) w.Problem = why;
  std::vector<records::TUnitRecord> run;
  int n = 0;
  for (const TGenUnit& u : GoldenRun("SRV-0042", 80, 10, 41, 4)) run.push_back(GenRecord(u, ++n));
  // Late: the second half first; then the first half, and one again.
  std::vector<records::TUnitRecord> late(run.begin() + 40, run.end());
  late.insert(late.end(), run.begin(), run.begin() + 40);
  late.push_back(run[3]);
  // A golden of a month, a unit every twenty minutes, which drifts by four
  // steps near its end: its chart is sampled from the ends of its hours.
  for (const TGenUnit& u : GoldenRun("SRV-0777", kMonthUnits, -3, 1800, 4, 20)) late.push_back(GenRecord(u, ++n));
  for (size_t i = 0; i < late.size() && w.Problem.empty(); i += 25)
    if (!store->WriteMany(
            {late.begin() + static_cast<long>(i), late.begin() + static_cast<long>(std::min(late.size(), i + 25))},
            why))
      w.Problem = why;
  return w;
}

struct TFiguresCase {
  const char* Name;
  bool Postgres;
  TFilter Filter;
  const char* Address;
  const char* Firmware = "";
};

// The demo's new handheld firmware, which its units of the last day got.
constexpr const char* kNewFirmware = "3cb9be49fb220ddb2bff3fcee49b45fd0b7e05af7614dd8bc19ce16b9e112f48";
using test::PrintTo;

class FiguresTest : public ::testing::TestWithParam<TFiguresCase> {
 public:
  static void TearDownTestSuite() { Databases().clear(); }
};

void ExpectSameGroups(const std::vector<TGroupFigures>& db, const std::vector<TGroupFigures>& rows) {
  ASSERT_EQ(db.size(), rows.size());
  for (size_t i = 0; i < db.size(); ++i) EXPECT_EQ(db[i], rows[i]) << db[i].Key;
}

// A golden reference judged alike; of a long history, whose points the
// database samples for the chart, the points judged and the last.
void ExpectSameGolden(const TGoldenHealth& db, const TGoldenHealth& rows) {
  SCOPED_TRACE(db.GoldenId);
  if (rows.Points.size() <= TGoldenHealth::kAllPoints) {
    EXPECT_EQ(db, rows);
    return;
  }
  EXPECT_EQ(db.Warning(), rows.Warning());
  EXPECT_EQ(db.Summary(), rows.Summary());
  EXPECT_EQ(db.Units, rows.Units);
  EXPECT_EQ(db.Baseline, rows.Baseline);
  EXPECT_EQ(db.Drifted, rows.Drifted);
  ASSERT_FALSE(db.Points.empty());
  EXPECT_EQ(db.Points.back(), rows.Points.back());
  // Numbered only where it is also the first beyond the threshold or the
  // last.
  TGoldenPoint largest = rows.Points[static_cast<size_t>(rows.Largest)];
  if (db.Points[static_cast<size_t>(db.Largest)].Unit == 0) largest.Unit = 0;
  EXPECT_EQ(db.Points[static_cast<size_t>(db.Largest)], largest);
  if (rows.Drifted) {
    EXPECT_EQ(db.Points[static_cast<size_t>(db.FirstOver)], rows.Points[static_cast<size_t>(rows.FirstOver)]);
  }
  EXPECT_LE(db.Points.size(), static_cast<size_t>(TGoldenHealth::kAllPoints) + 4);
  EXPECT_GE(db.Points.size(), 100u) << "enough of them for a chart";
}

TEST_P(FiguresTest, FromTheDatabaseAsFromTheRows) {
  const TFiguresCase& c = GetParam();
  const TWritten& w = Written(c.Postgres);
  if (c.Postgres && w.Server && !w.Server->Problem().empty()) GTEST_SKIP() << w.Problem;
  ASSERT_EQ(w.Problem, "");
  THistory db;
  ASSERT_TRUE(db.Load(w.Where)) << db.Error();
  ASSERT_FALSE(db.InMemory());
  THistory rows;
  rows.Assign(db.Units());
  ASSERT_EQ(rows.UnitCount(), 12000 + 80 + kMonthUnits);
  EXPECT_EQ(db.UnitCount(), rows.UnitCount());
  EXPECT_EQ(db.Stations(), rows.Stations());
  EXPECT_EQ(db.FirstDay() + db.LastDay(), rows.FirstDay() + rows.LastDay());

  for (double threshold : {3.0, 1.5}) {
    SCOPED_TRACE(threshold);
    TGoldenOptions o;
    o.Threshold = threshold;
    const TFigures a = db.Figures(c.Filter, o), b = rows.Figures(c.Filter, o);
    EXPECT_EQ(a.StoredValues, b.StoredValues);
    EXPECT_EQ(a.Total, b.Total);
    ExpectSameGroups(a.Days, b.Days);
    ExpectSameGroups(a.Hours, b.Hours);
    ExpectSameGroups(a.Stations, b.Stations);
    EXPECT_EQ(a.Reasons, b.Reasons);
    ASSERT_EQ(a.Golden.size(), b.Golden.size());
    for (size_t i = 0; i < a.Golden.size(); ++i) ExpectSameGolden(a.Golden[i], b.Golden[i]);
    // The month's golden: each sample is the last unit of its hour, with
    // that unit's running mean.
    for (size_t i = 0; i < a.Golden.size(); ++i) {
      if (a.Golden[i].GoldenId != "SRV-0777") continue;
      std::map<std::string, TGoldenPoint> lastOfHour;
      for (const TGoldenPoint& p : b.Golden[i].Points) lastOfHour[p.TimeUtc.substr(0, 13)] = p;
      size_t sampled = 0;
      for (size_t k = 0; k < a.Golden[i].Points.size(); ++k) {
        const TGoldenPoint& p = a.Golden[i].Points[k];
        if (p.Unit != 0 || static_cast<int>(k) == a.Golden[i].Largest) continue;
        ++sampled;
        const TGoldenPoint& last = lastOfHour[p.TimeUtc.substr(0, 13)];
        EXPECT_EQ(p.TimeUtc, last.TimeUtc);
        EXPECT_EQ(p.RunningMean, last.RunningMean) << p.TimeUtc;
      }
      EXPECT_GE(sampled, 300u);
    }
  }

  // The pages of the records table, a seek or the units of their day
  // counted off.
  const TRecordQuery q{c.Filter, c.Address, c.Firmware};
  const int64_t total = rows.CountRecords(q);
  EXPECT_EQ(db.CountRecords(q), total);
  if (*c.Firmware != '\0') {
    EXPECT_GT(total, 0) << "the units of the last day got the new file";
    EXPECT_LT(total, rows.UnitCount());
  }
  const std::vector<TUnit> all = rows.Records(q, 0, -1);
  ASSERT_EQ(static_cast<int64_t>(all.size()), total);
  auto same = [&](const std::vector<TUnit>& page, int64_t from) {
    for (size_t i = 0; i < page.size(); ++i) {
      EXPECT_EQ(page[i].Uid, all[static_cast<size_t>(from) + i].Uid);
      EXPECT_EQ(static_cast<const records::TUnitRecord&>(page[i]),
                static_cast<const records::TUnitRecord&>(all[static_cast<size_t>(from) + i]));
    }
  };
  for (const int64_t from : {int64_t{0}, total / 3, total - total / 4, total - 1}) {
    if (from < 0 || from >= total) continue;
    SCOPED_TRACE(from);
    const std::vector<TUnit> page = db.Records(q, from, 50);
    EXPECT_EQ(static_cast<int64_t>(page.size()), std::min<int64_t>(50, total - from));
    same(page, from);
    if (from > 0) same(db.Records(q, from, 50, &all[static_cast<size_t>(from - 1)]), from);
  }
}

const TFilter kAll{};
INSTANTIATE_TEST_SUITE_P(
    Cases, FiguresTest,
    ::testing::Values(TFiguresCase{"Sqlite", false, kAll, ""},
                      TFiguresCase{"SqliteOneDay", false, {"2026-12-18", "2026-12-18", ""}, ""},
                      TFiguresCase{"SqliteDays", false, {"2026-12-17", "2026-12-19", ""}, ""},
                      TFiguresCase{"SqliteFirstDayOnly", false, {"", "2026-12-01", ""}, ""},
                      TFiguresCase{"SqliteOneStation", false, {"", "", "LINE-2"}, ""},
                      TFiguresCase{"SqliteStationOnOneDay", false, {"2026-12-16", "2026-12-16", "REWORK"}, ""},
                      TFiguresCase{"SqliteUnknownStation", false, {"", "", "LINE-9"}, ""},
                      TFiguresCase{"SqliteDaysOutside", false, {"2030-01-01", "", ""}, ""},
                      TFiguresCase{"SqliteOneAddress", false, kAll, "00:1A:2B:00:7"},
                      TFiguresCase{"SqliteAddressAsDigits", false, kAll, "a1000c"},
                      TFiguresCase{"SqliteOneFirmware", false, kAll, "", kNewFirmware},
                      TFiguresCase{"SqliteFirmwareOnOneStation", false, {"", "", "LINE-3"}, "", kNewFirmware},
                      TFiguresCase{"Postgres", true, kAll, ""},
                      TFiguresCase{"PostgresOneDay", true, {"2026-12-18", "2026-12-18", ""}, ""},
                      TFiguresCase{"PostgresOneStation", true, {"", "", "LINE-2"}, ""},
                      TFiguresCase{"PostgresStationOnOneDay", true, {"2026-12-16", "2026-12-16", "REWORK"}, ""},
                      TFiguresCase{"PostgresAddressAsDigits", true, kAll, "0xA1000C"},
                      TFiguresCase{"PostgresOneFirmware", true, kAll, "", kNewFirmware}),
    TCaseName());

// A transcript comes back byte for byte, read only when one unit's is
// opened: of a record written now, and of one a writer of version 2 left.
TEST(FiguresTranscript, ReadWhenOneUnitIsOpened) {
  TTempDir dir;
  const std::string now = dir.File("now.records"), earlier = dir.File("v2.records");
  const records::TUnitRecord sample = SampleRecord("line-3/1");
  std::string why;
  ASSERT_TRUE(records::SqliteStore(now)->Write(sample, why)) << why;
  WriteRecords(earlier, 2, GoldenRun("SRV-0001", 3, 1));
  for (const auto& [path, expected] :
       {std::pair{now, sample.Transcript}, std::pair{earlier, std::string("Test cycle 1 of 3\r\n")}}) {
    THistory h;
    ASSERT_TRUE(h.Load(path)) << h.Error();
    ASSERT_FALSE(h.Units().empty());
    std::string bytes;
    EXPECT_TRUE(h.Transcript(h.Units().front().Id, bytes, why)) << why;
    EXPECT_EQ(bytes, expected);
    EXPECT_FALSE(h.Transcript(999999, bytes, why));
    EXPECT_NE(why.find("no longer in"), std::string::npos) << why;
  }
}

}  // namespace
}  // namespace qv::test
