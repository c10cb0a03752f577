// qvstats from the command line: exports without a window, and the exit
// codes and messages of bad usage and unreadable files.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <QImage>
#include <QProcess>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "stats/History.h"

#include "tests/stats/RecordsGen.h"
#include "tests/stats/StatsTest.h"
#include "tests/support/Cases.h"

namespace qv::test {
namespace {

struct TRun {
  int Exit = -1;
  std::string Out, Err;
};

// Runs qvstats with the arguments, "{dir}" standing for the scratch folder.
TRun RunStats(const std::vector<std::string>& args, const std::string& dir) {
  QStringList list;
  for (std::string a : args) {
    if (const size_t at = a.find("{dir}"); at != std::string::npos) a.replace(at, 5, dir);
    list << QString::fromStdString(a);
  }
  QProcess p;
  p.start(QStringLiteral(QV_QVSTATS_PATH), list);
  TRun r;
  if (!p.waitForFinished(60000)) return r;
  r.Exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
  r.Out = p.readAllStandardOutput().toStdString();
  // Qt's own notes on its environment are not the program's.
  for (const QByteArray& line : p.readAllStandardError().split('\n'))
    if (line.startsWith("qvstats:") || line.startsWith("(qvstats")) r.Err += line.toStdString() + "\n";
  return r;
}

struct TCliCase {
  const char* Name;
  std::vector<std::string> Args;
  int Exit;
  const char* Says;  // on standard error
  // Changes the scratch folder after the records are written.
  void (*Prepare)(const std::string& dir) = nullptr;
};

void MakeFifo(const std::string& dir) {
  ASSERT_EQ(::mkfifo((dir + "/fifo.records").c_str(), 0644), 0);
}

// Two records whose time does not read.
void SpoilTwoTimes(const std::string& dir) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir + "/qvtune.records").c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "UPDATE units SET time_utc = 'soon' WHERE id <= 2", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
}
using test::PrintTo;

class CliUsageTest : public StatsTest, public ::testing::WithParamInterface<TCliCase> {};

TEST_P(CliUsageTest, ExitsWithAMessage) {
  WriteRecords(Db(), 2, GoldenRun("SRV-0001", 40, 3));
  if (GetParam().Prepare) GetParam().Prepare(Dir);
  const TRun r = RunStats(GetParam().Args, Dir);
  EXPECT_EQ(r.Exit, GetParam().Exit) << r.Err;
  EXPECT_NE(r.Err.find(GetParam().Says), std::string::npos) << r.Err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliUsageTest,
    ::testing::Values(
        TCliCase{"UnknownOption", {"--bogus"}, 2, "qvstats: unknown option --bogus"},
        TCliCase{"ValueMissing", {"--db"}, 2, "qvstats: --db needs a value"},
        TCliCase{"EmptyValue", {"--station="}, 2, "qvstats: --station needs a value"},
        TCliCase{"BadDay", {"--from", "2026-13-01"}, 2, "--from takes a day as YYYY-MM-DD, not 2026-13-01"},
        TCliCase{"BadThreshold", {"--threshold=-1"}, 2, "--threshold takes a number of steps above 0, not -1"},
        TCliCase{"FromAfterTo", {"--from", "2026-12-05", "--to", "2026-12-01"}, 2, "lies after --to 2026-12-01"},
        TCliCase{"NoRecordsFile",
                 {"--db", "{dir}/none.records", "--export-csv", "{dir}/u.csv"},
                 1,
                 "qvstats: There is no records file at "},
        TCliCase{"RecordsFileIsAFolder", {"--db", "{dir}", "--export-png", "{dir}/png"}, 1, " is a folder"},
        TCliCase{"CsvNotWritable",
                 {"--db", "{dir}/qvtune.records", "--export-csv", "{dir}/no/such/u.csv"},
                 3,
                 "qvstats: Cannot write "},
        TCliCase{"UnitsWithoutDemo", {"--units", "5"}, 2, "qvstats: --units goes with --demo"},
        TCliCase{"NoUnits", {"--demo", "{dir}/d.records", "--units", "0"}, 2, "--units takes a number of units from 1"},
        TCliCase{"DemoAndExport", {"--demo", "{dir}/d.records", "--export-csv", "{dir}/u.csv"}, 2, "takes none of"},
        TCliCase{"DemoOverARecordsFile",
                 {"--demo", "{dir}/qvtune.records"},
                 3,
                 "qvtune.records exists: the demo writes a new records file"},
        TCliCase{"UnitWithoutRecords",
                 {"--db", "{dir}/qvtune.records", "--unit", "0x12345678"},
                 6,
                 "qvstats: no record of the radio address 0x12345678 in "},
        TCliCase{"FirmwareNoUnitGot",
                 {"--db", "{dir}/qvtune.records", "--firmware", std::string(64, 'A')},
                 6,
                 "qvstats: no record of the units that got the file of SHA-256 aaaaaaaa"},
        TCliCase{"FirmwareFileMissing",
                 {"--db", "{dir}/qvtune.records", "--firmware", "{dir}/none.qpf"},
                 1,
                 "none.qpf: it does not exist"},
        TCliCase{"FirmwareAndUnit",
                 {"--firmware", std::string(64, 'a'), "--unit", "0x12345678"},
                 2,
                 "--unit and --firmware list units one way each"},
        TCliCase{"RecordsFileIsAFifo",
                 {"--db", "{dir}/fifo.records", "--export-csv", "{dir}/u.csv"},
                 1,
                 "fifo.records is a FIFO, not a file: not a records file.",
                 MakeFifo},
        TCliCase{"RecordsLeftOut",
                 {"--db", "{dir}/qvtune.records", "--export-csv", "{dir}/u.csv"},
                 4,
                 "qvtune.records left out: their time cannot be read",
                 SpoilTwoTimes}),
    TCaseName());

TEST_F(StatsTest, ExportsWithoutAWindow) {
  std::vector<TGenUnit> units = GoldenRun("SRV-0042", 80, 10, 41, 4);
  for (TGenUnit& u : GoldenRun("SRV-0001", 60, -2)) {
    u.Station = "LINE-2";
    units.push_back(u);
  }
  WriteRecords(Db(), 2, units);
  const TRun r = RunStats(
      {"--db", Db(), "--export-csv", Dir + "/units.csv", "--export-png", Dir + "/png", "--to", "2026-12-31"}, Dir);
  ASSERT_EQ(r.Exit, 5) << "a drifted golden reference is an exit status of its own: " << r.Err;
  EXPECT_EQ(r.Out, "140 units exported of 140\n");
  EXPECT_EQ(r.Err,
            "qvstats: warning: Golden reference SRV-0042 (server) has drifted by +4.1 steps from its "
            "baseline 10.0 (threshold 3.0): beyond the threshold from unit 48 on 2026-12-01 06:48 UTC, "
            "now +3.9.\n");
  const std::string records = ReadAll(Dir + "/units.csv");
  EXPECT_EQ(std::count(records.begin(), records.end(), '\n'), 141);
  EXPECT_EQ(ReadAll(Dir + "/units-days.csv").substr(0, 4), "day,");
  EXPECT_NE(ReadAll(Dir + "/units-stations.csv").find("\r\nLINE-2,60,60,0,0,0,0,100.0,"), std::string::npos);
  const std::string golden = ReadAll(Dir + "/units-golden.csv");
  EXPECT_NE(golden.find("\r\nSRV-0001,server,60,-2.00,"), std::string::npos) << golden;
  EXPECT_NE(golden.find(",yes,48,2026-12-01T06:48:00.000Z\r\n"), std::string::npos) << golden;
  for (const char* name :
       {"stored-values", "yield-per-day", "yield-per-station", "failure-reasons", "quality", "golden-reference"}) {
    const QImage png(QString::fromStdString(Dir + "/png/" + name + ".png"));
    EXPECT_EQ(png.size(), QSize(1200, 700)) << name;
  }

  // A higher threshold: no warning; one station: its records only.
  const TRun quiet = RunStats({"--db", Db(), "--threshold", "5", "--export-csv", Dir + "/b.csv"}, Dir);
  ASSERT_EQ(quiet.Exit, 0) << quiet.Err;
  EXPECT_EQ(quiet.Err, "");
  const TRun one = RunStats({"--db", Db(), "--station", "LINE-2", "--export-csv", Dir + "/c.csv"}, Dir);
  EXPECT_EQ(one.Out, "60 units exported of 140\n");
}

// A new user's first look: demo records, their charts, and one unit's
// history by its radio address, in any of its spellings.
TEST_F(StatsTest, DemoRecordsThenOneUnitsHistory) {
  const std::string demo = Dir + "/demo.records";
  const TRun made = RunStats({"--demo", demo, "--units", "3000", "--seed", "3"}, Dir);
  ASSERT_EQ(made.Exit, 0) << made.Err;
  EXPECT_EQ(made.Out.rfind("3000 demo units on 5 stations written to " + demo, 0), 0u) << made.Out;
  const TRun report = RunStats({"--db", demo, "--export-csv", Dir + "/demo.csv"}, Dir);
  EXPECT_EQ(report.Out, "3000 units exported of 3000\n");
  const std::string stations = ReadAll(Dir + "/demo-stations.csv");
  for (const char* s : {"LINE-1", "LINE-2", "LINE-3", "LINE-4", "REWORK"})
    EXPECT_NE(stations.find(std::string("\r\n") + s + ",600,"), std::string::npos) << s;
  EXPECT_NE(ReadAll(Dir + "/demo-days.csv").find("Radio failure!"), std::string::npos);

  // A handheld that failed and came back: two records or more.
  std::string address;
  for (const TUnit& u : [&] {
         THistory h;
         EXPECT_TRUE(h.Load(demo));
         return h.Units();
       }()) {
    if (u.Outcome == "failed" && u.Station != "REWORK") {
      address = u.HandheldMac;
      break;
    }
  }
  ASSERT_EQ(address.rfind("0x00A1", 0), 0u) << address;
  for (const std::string& spelling : {address, address.substr(4)}) {
    const TRun unit = RunStats({"--db", demo, "--unit", spelling}, Dir);
    ASSERT_EQ(unit.Exit, 0) << unit.Err;
    const std::vector<std::string> lines = [&] {
      std::vector<std::string> l;
      std::istringstream in(unit.Out);
      for (std::string line; std::getline(in, line);) l.push_back(line);
      return l;
    }();
    ASSERT_GE(lines.size(), 3u) << unit.Out;
    EXPECT_NE(lines[0].find(" records of " + address), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1].rfind("time (UTC)", 0), 0u) << lines[1];
    EXPECT_NE(unit.Out.find(" failed "), std::string::npos) << unit.Out;
  }

  // The units that got one firmware file: the demo's new handheld firmware
  // (the file whose SHA-256 its records keep), found by the file and by
  // the hash that sha256sum prints, in the days and station asked for.
  const std::string file = Dir + "/qvhandheld-2.5.qpf";
  std::ofstream(file, std::ios::binary) << "demo qvhandheld V2.5";
  QProcess sum;
  sum.start(QStringLiteral("sha256sum"), {QString::fromStdString(file)});
  ASSERT_TRUE(sum.waitForFinished(10000));
  const std::string sha = sum.readAllStandardOutput().left(64).toStdString();
  THistory h;
  ASSERT_TRUE(h.Load(demo));
  size_t got = 0, gotThere = 0;
  for (const TUnit& u : h.Units()) {
    if (u.HandheldFwSha256 != sha) continue;
    ++got;
    if (u.Station == "LINE-2") ++gotThere;
  }
  ASSERT_GT(got, 0u);
  ASSERT_LT(got, h.Units().size()) << "the older file went into the units of the first days";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--db", demo, "--firmware", file},
        std::vector<std::string>{"--db", demo, "--firmware", sha, "--station", "LINE-2"}}) {
    const TRun listed = RunStats(args, Dir);
    ASSERT_EQ(listed.Exit, 0) << listed.Err;
    const size_t rows = static_cast<size_t>(std::count(listed.Out.begin(), listed.Out.end(), '\n')) - 2;
    EXPECT_EQ(rows, args.size() == 4 ? got : gotThere) << listed.Out.substr(0, 400);
    EXPECT_NE(listed.Out.find(sha), std::string::npos) << listed.Out.substr(0, 400);
    EXPECT_NE(listed.Out.find("  Quorvantis firmware\n"), std::string::npos) << listed.Out.substr(0, 400);
  }
}

}  // namespace
}  // namespace qv::test
