#include "tests/stats/RecordsGen.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <type_traits>

namespace qv::test {

namespace {

const char kSchemaV2[] =
    "CREATE TABLE schema_version (version INTEGER NOT NULL);"
    "CREATE TABLE units (id INTEGER PRIMARY KEY, record_uid TEXT NOT NULL UNIQUE, time_utc TEXT NOT NULL,"
    " station TEXT NOT NULL, tool TEXT NOT NULL, handheld_fw TEXT, server_fw TEXT, modem_fw TEXT, dongle_id TEXT,"
    " handheld_mac TEXT, handheld_hw TEXT, golden TEXT NOT NULL, golden_id TEXT, golden_offset INTEGER,"
    " factory_offset INTEGER, pctool_offset INTEGER, effective_offset INTEGER, stored_offset INTEGER,"
    " not_stored_reason TEXT, result_offset INTEGER, trial_offsets TEXT, records_per_cycle TEXT, rssi_avg REAL,"
    " afc_mean REAL, afc_spread REAL, cycles INTEGER, outcome TEXT NOT NULL, message TEXT, transcript TEXT);"
    "CREATE INDEX units_time ON units(time_utc);"
    "CREATE INDEX units_golden ON units(golden_id, time_utc);";

const char kSchemaV1[] =
    "CREATE TABLE schema_version (version INTEGER NOT NULL);"
    "CREATE TABLE units (id INTEGER PRIMARY KEY, record_uid TEXT NOT NULL UNIQUE, time_utc TEXT NOT NULL,"
    " station TEXT NOT NULL, tool TEXT NOT NULL, handheld_fw TEXT, server_fw TEXT, modem_fw TEXT, dongle_id TEXT,"
    " handheld_mac TEXT, handheld_hw TEXT, golden TEXT NOT NULL, golden_id TEXT, golden_offset INTEGER,"
    " factory_offset INTEGER, pctool_offset INTEGER, effective_offset INTEGER, stored_offset INTEGER,"
    " not_stored_reason TEXT, trial_offsets TEXT, records_per_cycle TEXT, rssi_avg REAL, afc_spread REAL,"
    " cycles INTEGER, outcome TEXT NOT NULL, message TEXT, transcript TEXT);"
    "CREATE INDEX units_time ON units(time_utc);";

void Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "") << "\n" << sql;
}

void BindText(sqlite3_stmt* s, int at, const std::string& v) {
  if (v.empty())
    sqlite3_bind_null(s, at);
  else
    sqlite3_bind_text(s, at, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

template <class T>
void BindOpt(sqlite3_stmt* s, int at, const std::optional<T>& v) {
  if (!v)
    sqlite3_bind_null(s, at);
  else if constexpr (std::is_integral_v<T>)
    sqlite3_bind_int(s, at, *v);
  else
    sqlite3_bind_double(s, at, *v);
}

}  // namespace

std::string GenTime(int day, int second, int ms) {
  char buf[40];
  const int date = 1 + day;  // December, then on into the next months
  const int month = date <= 31 ? 12 : date <= 62 ? 1 : 2;
  const int year = month == 12 ? 2026 : 2027;
  const int dom = date <= 31 ? date : date <= 62 ? date - 31 : date - 62;
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, dom, second / 3600 % 24,
                second / 60 % 60, second % 60, ms);
  return buf;
}

void WriteRecords(const std::string& path, int version, const std::vector<TGenUnit>& units) {
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  Exec(db, version == 1 ? kSchemaV1 : kSchemaV2);
  Exec(db, "INSERT INTO schema_version VALUES (" + std::to_string(version) + ")");
  Exec(db, "BEGIN");
  const std::string sql = std::string(
                              "INSERT INTO units (record_uid, time_utc, station, tool, handheld_mac, golden, "
                              "golden_id, golden_offset, stored_offset, not_stored_reason, rssi_avg, "
                              "afc_spread, cycles, outcome, message, transcript") +
                          (version == 1 ? ") VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"
                                        : ", result_offset, afc_mean) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  int n = 0;
  for (const TGenUnit& u : units) {
    sqlite3_reset(s);
    BindText(s, 1, u.Station + "-" + u.Time + "-" + std::to_string(++n));
    BindText(s, 2, u.Time);
    BindText(s, 3, u.Station);
    BindText(s, 4, "qvline 0.1");
    BindText(s, 5, "00:1A:2B:00:" + std::to_string(n % 100));
    BindText(s, 6, "server");
    BindText(s, 7, u.GoldenId);
    BindOpt(s, 8, u.GoldenId.empty() ? std::optional<int>() : std::optional<int>(7));
    BindOpt(s, 9, u.Stored);
    BindText(s, 10, u.NotStoredReason);
    BindOpt(s, 11, u.Rssi);
    BindOpt(s, 12, u.AfcSpread);
    BindOpt(s, 13, std::optional<int>(3));
    BindText(s, 14, u.Outcome);
    BindText(s, 15, u.Message);
    BindText(s, 16, "Test cycle 1 of 3\r\n");
    if (version != 1) {
      BindOpt(s, 17, u.Result);
      BindOpt(s, 18, std::optional<double>(0.5));
    }
    ASSERT_EQ(sqlite3_step(s), SQLITE_DONE) << sqlite3_errmsg(db);
  }
  sqlite3_finalize(s);
  Exec(db, "COMMIT");
  sqlite3_close(db);
}

records::TUnitRecord GenRecord(const TGenUnit& u, int n) {
  records::TUnitRecord r;
  r.Uid = u.Station + "-" + u.Time + "-" + std::to_string(n);
  r.TimeUtc = u.Time;
  r.Station = u.Station;
  r.Tool = "qvline 0.1";
  r.HandheldMac = "00:1A:2B:00:" + std::to_string(n % 100);
  r.Golden = "server";
  r.GoldenId = u.GoldenId;
  if (!u.GoldenId.empty()) r.GoldenOffset = 7;
  r.StoredOffset = u.Stored;
  r.ResultOffset = u.Result;
  r.NotStoredReason = u.NotStoredReason;
  r.RssiAvg = u.Rssi;
  r.AfcSpread = u.AfcSpread;
  r.AfcMean = 0.5;
  r.Cycles = 3;
  r.Outcome = u.Outcome;
  r.Message = u.Message;
  r.Transcript = "Test cycle 1 of 3\r\n";
  return r;
}

std::vector<TGenUnit> GoldenRun(const std::string& goldenId, int n, int base, int driftFrom, int drift,
                                int minutesApart) {
  static const int kSpread[] = {-1, 0, 1, 0};
  std::vector<TGenUnit> units;
  for (int i = 1; i <= n; ++i) {
    TGenUnit u;
    const int minute = 6 * 60 + minutesApart * i;
    u.Time = GenTime(minute / 1440, 60 * (minute % 1440));
    u.GoldenId = goldenId;
    u.Stored = u.Result = base + kSpread[i % 4] + (driftFrom > 0 && i >= driftFrom ? drift : 0);
    u.Rssi = -60.0;
    u.AfcSpread = 1.5;
    units.push_back(u);
  }
  return units;
}

std::vector<TGenUnit> Production(int n, int days) {
  static const char* const kStations[] = {"LINE-1", "LINE-2", "LINE-3", "REWORK"};
  static const char* const kGoldens[] = {"SRV-0001", "SRV-0002", "HH-00:1A:2B:3C"};
  std::vector<TGenUnit> units;
  units.reserve(static_cast<size_t>(n));
  const int perDay = std::max(1, n / days);
  for (int i = 0; i < n; ++i) {
    TGenUnit u;
    u.Time = GenTime(i / perDay, 6 * 3600 + (i % perDay) * (14 * 3600) / perDay, i % 1000);
    u.Station = kStations[i % 4];
    u.GoldenId = kGoldens[i % 3];
    u.Rssi = -55.0 - (i % 17);
    u.AfcSpread = 0.5 + (i % 9) * 0.25;
    const int value = -4 + (i * 7) % 11;
    if (i % 37 == 0) {
      u.Outcome = "failed";
      u.Message = i % 74 == 0 ? "No answer from the server" : "Too few packets heard";
      u.NotStoredReason = "failed";
    } else if (i % 101 == 0) {
      u.Outcome = "aborted";
      u.NotStoredReason = "aborted";
    } else if (i % 53 == 0) {
      u.Outcome = "analysis";
      u.Result = value;
      u.NotStoredReason = "analysis only";
    } else {
      u.Stored = u.Result = value;
    }
    units.push_back(u);
  }
  return units;
}

}  // namespace qv::test
