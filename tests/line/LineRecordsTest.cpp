// The record qvline writes for each unit, read back from the SQLite file:
// the outcome and the values a good, a failed, an aborted and an
// analysis-only unit leave, judged against the bench.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/Faults.h"
#include "records/Record.h"
#include "records/Zstd.h"
#include "tests/line/Station.h"
#include "tests/records/PgServer.h"
#include "tests/support/Cases.h"

namespace qv {
namespace {

using test::TStation;
using TRow = std::map<std::string, std::optional<std::string>>;

std::vector<TRow> ReadUnits(const std::string& path) {
  std::vector<TRow> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT * FROM units ORDER BY id", -1, &stmt, nullptr) == SQLITE_OK) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      TRow row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
        row[sqlite3_column_name(stmt, i)] =
            text != nullptr
                ? std::optional<std::string>(std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt, i))))
                : std::nullopt;
      }
      rows.push_back(std::move(row));
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

constexpr const char* kNull = "NULL";
constexpr const char* kDone = "Completed successfully!";
constexpr const char* kFailed = "Procedure failed!";

// The records of the spool beside the records file.
size_t SpooledRecords(const std::string& db) {
  std::ifstream in(db + ".spool", std::ios::binary);
  size_t n = 0;
  records::TUnitRecord record;
  for (std::string line; std::getline(in, line);) n += records::DecodeSpoolLine(line, record);
  return n;
}

// What goes wrong: nothing, the handheld never lets itself be initialised,
// the dongle never answers (so detection finds no dongle).
enum TRecordFault { rfNone, rfInit, rfNoDongle };

struct TRecordCase {
  const char* Name;
  const char* Choices;
  TRecordFault Fault;
  // Cancel once this line is logged (empty: never).
  const char* CancelAt;
  int ExitCode;
  const char* Outcome;
  const char* NotStoredReason;  // kNull when a value was stored
  const char* Message;          // kNull for none
  const char* Golden;
  bool Measured;
  const char* OutcomeLine;
};
using test::PrintTo;

class LineRecords : public ::testing::TestWithParam<TRecordCase> {};

TEST_P(LineRecords, OneRecordWithTheUnitsValues) {
  const TRecordCase& c = GetParam();
  TStation station(c.Choices);
  if (c.Fault == rfInit) station.U.Bench.Dongle->Faults().Add(bench::WrongOn(0x39, -1, 0));
  if (c.Fault == rfNoDongle) station.U.Bench.Dongle->Faults().SetSilent(true);
  const std::string db = station.U.File("units.records");
  const std::string cancelAt = c.CancelAt;
  // Once the outcome line is out, a kill would find the record kept: in the
  // database, or in the synced spool.
  std::optional<size_t> keptAtOutcome;
  EXPECT_EQ(station.Run({"--records", db, "--station", "line-7"},
                        [&](line::TLineRunner& runner, const std::string& line) {
                          if (!cancelAt.empty() && line == cancelAt) runner.RequestCancel();
                          if (line == c.OutcomeLine) keptAtOutcome = ReadUnits(db).size() + SpooledRecords(db);
                        }),
            c.ExitCode)
      << station.Err;
  EXPECT_EQ(keptAtOutcome, 1u);
  const std::vector<TRow> rows = ReadUnits(db);
  ASSERT_EQ(rows.size(), 1u) << station.Err;
  TRow r = rows[0];
  auto value = [&](const char* column) { return r[column].value_or(kNull); };

  EXPECT_EQ(value("outcome"), c.Outcome);
  EXPECT_EQ(value("not_stored_reason"), c.NotStoredReason);
  EXPECT_EQ(value("message"), c.Message);
  EXPECT_EQ(value("golden"), c.Golden);
  EXPECT_EQ(value("station"), "line-7");
  EXPECT_EQ(value("tool"), "qvline " + line::LineVersion());
  EXPECT_EQ(value("record_uid").rfind("line-7/" + value("time_utc") + "/", 0), 0u) << value("record_uid");
  EXPECT_EQ(value("time_utc").size(), 24u) << value("time_utc");
  EXPECT_EQ(value("dongle_id"), c.Fault == rfNoDongle ? kNull : "QV0DONGLE0000001");
  std::string transcript;
  EXPECT_TRUE(records::Decompress(value("transcript_zstd"), transcript));
  EXPECT_EQ(transcript, station.U.ErrorLog().substr(0, transcript.size())) << "the transcript up to the unit's outcome";

  const bench::THandheld& handheld = *station.U.Bench.Handheld;
  if (!c.Measured) {
    EXPECT_EQ(value("trial_offsets"), kNull);
    EXPECT_EQ(value("result_offset"), kNull);
    EXPECT_EQ(value("stored_offset"), kNull);
    return;
  }
  EXPECT_EQ(value("handheld_mac"), "0x00A1B2C3");
  EXPECT_EQ(value("handheld_hw"), "2.1");
  const std::string trials = value("trial_offsets");
  EXPECT_EQ(trials.substr(0, 2), "0,") << "the search starts at no offset";
  EXPECT_EQ(std::to_string(std::count(trials.begin(), trials.end(), ',') + 1), value("cycles"));
  const std::string counts = value("records_per_cycle");
  EXPECT_EQ(std::count(counts.begin(), counts.end(), ','), std::count(trials.begin(), trials.end(), ','));
  EXPECT_NE(value("rssi_avg"), kNull);
  EXPECT_NE(value("afc_mean"), kNull);
  EXPECT_NE(value("afc_spread"), kNull);
  if (std::string(c.Golden) == "server") {
    EXPECT_EQ(value("modem_fw"), "V1.3");
    EXPECT_EQ(value("handheld_fw"), "V2.4");
    EXPECT_EQ(value("golden_id"), "RFQVSERVER000123");
    EXPECT_EQ(value("factory_offset"), std::to_string(handheld.Config().FactoryOffset));
    if (std::string(c.Outcome) == "success") {
      EXPECT_EQ(value("stored_offset"), std::to_string(handheld.Config().PcToolOffset)) << "what the unit holds";
      EXPECT_EQ(value("stored_offset"), value("result_offset"));
    } else {
      EXPECT_EQ(handheld.Config().PcToolOffset, 0) << "analysis stores nothing";
      EXPECT_NE(value("result_offset"), kNull);
    }
  } else {
    EXPECT_EQ(value("server_fw"), "V2.1.3a");
    EXPECT_EQ(value("modem_fw"), kNull) << "a golden handheld is not updated";
    EXPECT_EQ(value("golden_id"), "0x00A1B2C3");
    EXPECT_EQ(value("golden_offset"), std::to_string(handheld.Config().FactoryOffset));
    EXPECT_EQ(value("stored_offset"), value("result_offset"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineRecords,
    ::testing::Values(
        TRecordCase{"Good", "S", rfNone, "", 0, "success", kNull, kNull, "server", true, kDone},
        TRecordCase{"GoldenHandheld", "B", rfNone, "", 0, "success", kNull, kNull, "handheld", true, kDone},
        TRecordCase{"AnalysisOnly", "SA", rfNone, "", 0, "analysis", "analysis only", kNull, "server", true, kDone},
        TRecordCase{"Failed", "S", rfInit, "", 1, "failed", "failed", "Failed to initialize Quorvantis!", "server",
                    false, kFailed},
        TRecordCase{"DongleNotFound", "S", rfNoDongle, "", 1, "failed", "failed", "Dongle not found!", "server", false,
                    kFailed},
        TRecordCase{"Aborted", "S", rfNone, "Initializing Quorvantis RF module...", 3, "aborted", "aborted",
                    "Aborted by user!", "server", false, "Aborted by user!"}),
    test::TCaseName());

// Which firmware went into which unit, tuned by whom, scanned as what.
TEST(LineRecords, RecordNamesTheFirmwareTheOperatorAndTheScannedUnit) {
  TStation station;
  const std::string db = station.U.File("units.records");
  int scanner[2];
  ASSERT_EQ(::pipe(scanner), 0);
  ASSERT_EQ(::write(scanner[1], "\r\nSN-0042\r\n", 11), 11);
  ::close(scanner[1]);
  station.InFd = scanner[0];
  EXPECT_EQ(station.Run({"--records", db, "--operator", "Ann", "--scan-id"}), line::ecSuccess) << station.Err;
  ::close(scanner[0]);
  const std::vector<TRow> rows = ReadUnits(db);
  ASSERT_EQ(rows.size(), 1u);
  const TRow& r = rows[0];
  EXPECT_EQ(r.at("operator").value_or(kNull), "Ann");
  EXPECT_EQ(r.at("scan_id").value_or(kNull), "SN-0042");
  EXPECT_NE(station.Err.find("qvline: scan the identifier of unit 1\n"), std::string::npos) << station.Err;
  for (const auto& [column, file] : std::vector<std::pair<std::string, std::string>>{
           {"modem_fw", "qvmodem.qpf"}, {"handheld_fw", "qvhandheld.qpf"}, {"handheld_test_fw", "qvftune.qpf"},
           {"server_test_fw", "srvftune.sff"}}) {
    SCOPED_TRACE(column);
    EXPECT_EQ(r.at(column + "_source").value_or(kNull), station.U.File(file));
    EXPECT_EQ(r.at(column + "_size").value_or(kNull),
              std::to_string(std::filesystem::file_size(station.U.File(file))));
    EXPECT_EQ(r.at(column + "_sha256").value_or(kNull), test::Sha256sum(station.U.File(file)));
  }
  EXPECT_EQ(r.at("server_fw_sha256").value_or(kNull), kNull) << "no server firmware was read";
}

// A scanner whose input ends starts no unit.
TEST(LineRecords, NoScannedIdentifierNoUnit) {
  TStation station;
  int scanner[2];
  ASSERT_EQ(::pipe(scanner), 0);
  ::close(scanner[1]);
  station.InFd = scanner[0];
  EXPECT_EQ(station.Run({"--scan-id"}), line::ecAborted) << station.Err;
  ::close(scanner[0]);
  EXPECT_NE(station.Err.find("no identifier was scanned"), std::string::npos) << station.Err;
  EXPECT_TRUE(station.U.Bench.Dongle->Wire().empty());
}

// A unit outside the line's limits counts as failed and is recorded so,
// with each limit's value, bounds and verdict; what it stored stays.
TEST(LineRecords, UnitOutsideALimitIsRecordedAsFailed) {
  TStation station;
  const std::string db = station.U.File("units.records");
  std::ofstream(station.U.File("qvtune.limits")) << "# the line's limits\nrssi_avg 100 -\nstored_steps 200 -\n";
  EXPECT_EQ(station.Run({"--records", db}), line::ecUnitFailed) << station.Err;
  EXPECT_NE(station.Err.find("qvline: unit 1 is outside limit stored_steps: stored_steps = "), std::string::npos)
      << station.Err;
  const std::vector<TRow> rows = ReadUnits(db);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("outcome").value_or(kNull), "failed");
  EXPECT_EQ(rows[0].at("message").value_or(kNull), "outside limit stored_steps");
  const int stored = station.U.Bench.Handheld->Config().PcToolOffset;
  EXPECT_EQ(rows[0].at("stored_offset").value_or(kNull), std::to_string(stored));
  const nlohmann::json limits = nlohmann::json::parse(rows[0].at("limits").value_or("null"));
  ASSERT_EQ(limits.size(), 2u);
  EXPECT_EQ(limits[0]["name"], "rssi_avg");
  EXPECT_EQ(limits[0]["pass"], true);
  EXPECT_EQ(limits[1]["name"], "stored_steps");
  EXPECT_EQ(limits[1]["value"], stored);
  EXPECT_EQ(limits[1]["min"], 200);
  EXPECT_TRUE(limits[1]["max"].is_null());
  EXPECT_EQ(limits[1]["pass"], false);
}

// The manifest refuses a file it lists with another hash before anything
// starts: one message naming the file, exit 2, no byte on any line.
TEST(LineRecords, ManifestMismatchRefusesTheFileBeforeAnyByteIsSent) {
  TStation station;
  std::ofstream manifest(station.U.File("qvtune.manifest"));
  for (const char* name : {"qvftune.qpf", "srvftune.sff", "qvmodem.qpf"})
    manifest << test::Sha256sum(station.U.File(name)) << "  " << name << "\n";
  manifest << std::string(64, '7') << "  qvhandheld.qpf\n";
  manifest.close();
  EXPECT_EQ(station.Run({}), line::ecBadUsage);
  EXPECT_EQ(station.Err.rfind("qvline: the Quorvantis firmware file \"" + station.U.File("qvhandheld.qpf") +
                                  "\" is refused: its SHA-256 ",
                              0),
            0u)
      << station.Err;
  EXPECT_TRUE(station.U.Bench.Dongle->Wire().empty());
  EXPECT_TRUE(station.U.Bench.Server->Wire().empty());
}

TEST(LineRecords, EveryAttemptOfARetriedUnitIsRecorded) {
  TStation station("SR");
  station.U.Bench.Dongle->Faults().Add(bench::WrongOn(0x39, -1, 0));
  const std::string db = station.U.File("units.records");
  EXPECT_EQ(station.Run({"--records", db, "--retries", "2"}), line::ecUnitFailed);
  const std::vector<TRow> rows = ReadUnits(db);
  ASSERT_EQ(rows.size(), 3u);
  for (const TRow& r : rows) EXPECT_EQ(r.at("outcome").value_or(kNull), "failed");
  EXPECT_NE(rows[0].at("record_uid"), rows[1].at("record_uid"));
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// --records-url: the same record on a shared server, here one of the
// test's own.
TEST(LineRecords, RecordGoesToTheServerOfTheConnectionString) {
  test::TPgServer server;
  if (!server.Problem().empty()) GTEST_SKIP() << "no PostgreSQL server for the test: " << server.Problem();
  TStation station;
  EXPECT_EQ(station.Run({"--records-url", server.Conninfo(), "--station", "line-9"}), line::ecSuccess) << station.Err;
  EXPECT_EQ(server.Query("SELECT station || ' ' || outcome || ' ' || golden_id || ' ' || handheld_mac FROM units"),
            "line-9 success RFQVSERVER000123 0x00A1B2C3");
  EXPECT_EQ(server.Query("SELECT stored_offset = result_offset FROM units"), "t");
}

}  // namespace
}  // namespace qv
