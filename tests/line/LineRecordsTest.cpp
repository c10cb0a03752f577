// The record qvline writes for each unit, read back from the SQLite file:
// the outcome and the values a good, a failed, an aborted and an
// analysis-only unit leave, judged against the bench.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench/Faults.h"
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

struct TRecordCase {
  const char* Name;
  const char* Choices;
  // Fault: the handheld never lets itself be initialised.
  bool FailInit;
  // Cancel once this line is logged (empty: never).
  const char* CancelAt;
  int ExitCode;
  const char* Outcome;
  const char* NotStoredReason;  // kNull when a value was stored
  const char* Message;          // kNull for none
  const char* Golden;
  bool Measured;
};
using test::PrintTo;

class LineRecords : public ::testing::TestWithParam<TRecordCase> {};

TEST_P(LineRecords, OneRecordWithTheUnitsValues) {
  const TRecordCase& c = GetParam();
  TStation station(c.Choices);
  if (c.FailInit) station.U.Bench.Dongle->Faults().Add(bench::WrongOn(0x39, -1, 0));
  const std::string db = station.U.File("units.records");
  const std::string cancelAt = c.CancelAt;
  EXPECT_EQ(station.Run({"--records", db, "--station", "line-7"},
                        [&](line::TLineRunner& runner, const std::string& line) {
                          if (!cancelAt.empty() && line == cancelAt) runner.RequestCancel();
                        }),
            c.ExitCode)
      << station.Err;
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
  EXPECT_EQ(value("dongle_id"), "QV0DONGLE0000001");
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
    ::testing::Values(TRecordCase{"Good", "S", false, "", 0, "success", kNull, kNull, "server", true},
                      TRecordCase{"GoldenHandheld", "B", false, "", 0, "success", kNull, kNull, "handheld", true},
                      TRecordCase{"AnalysisOnly", "SA", false, "", 0, "analysis", "analysis only", kNull, "server",
                                  true},
                      TRecordCase{"Failed", "S", true, "", 1, "failed", "failed", "Failed to initialize Quorvantis!",
                                  "server", false},
                      TRecordCase{"Aborted", "S", false, "Initializing Quorvantis RF module...", 3, "aborted",
                                  "aborted", "Aborted by user!", "server", false}),
    test::TCaseName());

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
