// The records writer on real SQLite files: a database that cannot take a
// record (locked, not a database, out of reach, of an unknown version) costs
// one line and nothing else, the spool keeps every record and gives it to
// the database once it is back; a file of the first version is migrated.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "records/Store.h"
#include "records/Zstd.h"
#include "tests/records/RecordSupport.h"
#include "tests/support/Cases.h"

namespace qv {
namespace {

using namespace records;
using test::SampleRecord;
using test::TTempDir;
namespace fs = std::filesystem;

struct TDb {
  explicit TDb(const std::string& path) { sqlite3_open(path.c_str(), &Db); }
  ~TDb() { sqlite3_close(Db); }
  bool Exec(const std::string& sql) { return sqlite3_exec(Db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }
  // The first column of each row, as text ("NULL" for null).
  std::vector<std::string> Column(const std::string& sql) {
    std::vector<std::string> values;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(Db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
      return {"error: " + std::string(sqlite3_errmsg(Db))};
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
      values.push_back(text != nullptr ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt, 0)))
                                       : "NULL");
    }
    sqlite3_finalize(stmt);
    return values;
  }
  sqlite3* Db = nullptr;
};

struct TLines {
  std::mutex Mutex;
  std::vector<std::string> Lines;
  TRecordWriter::TReport Report() {
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(Mutex);
      Lines.push_back(line);
    };
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Lines.size();
  }
};

bool Eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

TEST(Records, WrittenRecordReadsBackValueForValue) {
  TTempDir dir;
  const TUnitRecord sample = SampleRecord("line-3/a");
  {
    TRecordWriter writer(SqliteStore(dir.File("u.records")), dir.File("u.spool"), nullptr);
    writer.Submit(sample);
    writer.Submit(sample);  // sent twice: one row
  }
  TDb db(dir.File("u.records"));
  EXPECT_EQ(db.Column("SELECT version FROM schema_version"), std::vector<std::string>{std::to_string(kSchemaVersion)});
  EXPECT_EQ(db.Column("SELECT count(*) FROM units"), std::vector<std::string>{"1"});
  std::string transcript;
  EXPECT_TRUE(Decompress(db.Column("SELECT transcript_zstd FROM units").at(0), transcript));
  EXPECT_EQ(transcript, sample.Transcript);
  EXPECT_EQ(db.Column("SELECT stored_offset FROM units"), std::vector<std::string>{"-37"});
  EXPECT_EQ(db.Column("SELECT afc_mean FROM units"), std::vector<std::string>{"-0.375"});
  EXPECT_EQ(db.Column("SELECT message FROM units"), std::vector<std::string>{"NULL"});
  EXPECT_EQ(db.Column("SELECT name FROM sqlite_master WHERE type = 'index' AND name LIKE 'units_%' ORDER BY name"),
            (std::vector<std::string>{"units_address", "units_behind", "units_golden_mean", "units_golden_shift",
                                      "units_station", "units_time"}));
}

TEST(Records, SpoolLineKeepsEveryValue) {
  const TUnitRecord sample = SampleRecord("line-3/b");
  const std::string line = EncodeSpoolLine(sample);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  TUnitRecord back;
  ASSERT_TRUE(DecodeSpoolLine(line, back));
  EXPECT_EQ(back, sample);
  EXPECT_FALSE(DecodeSpoolLine(line.substr(0, line.size() - 3), back)) << "a line cut short";
}

// How a database fails, and what puts it right again.
struct TOutage {
  const char* Name;
  std::function<std::function<void()>(const TTempDir& dir, const std::string& db)> Break;
};
using test::PrintTo;

class RecordsOutage : public ::testing::TestWithParam<TOutage> {};

TEST_P(RecordsOutage, OneLineThenEveryRecordOnceTheDatabaseIsBack) {
  TTempDir dir;
  fs::create_directories(dir.Path / "db");
  const std::string db = dir.File("db/u.records");
  const std::string spool = dir.File("u.records.spool");
  {
    // The database exists with one record already.
    TRecordWriter first(SqliteStore(db), spool, nullptr);
    first.Submit(SampleRecord("r0"));
  }
  const std::function<void()> repair = GetParam().Break(dir, db);
  TLines lines;
  {
    TRecordWriter writer(SqliteStore(db, 20), spool, lines.Report(), std::chrono::milliseconds(20));
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 1; i <= 3; ++i) writer.Submit(SampleRecord("r" + std::to_string(i)));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(20)) << "submitting never waits";
    writer.Drain();
    EXPECT_EQ(writer.Spooled(), 3u);
    EXPECT_EQ(lines.Count(), 1u) << "one line for the outage, not one a record or a retry";
    repair();
    EXPECT_TRUE(Eventually([&] { return writer.Spooled() == 0; })) << "re-sent once the database is back";
    writer.Submit(SampleRecord("r4"));
  }
  EXPECT_EQ(lines.Count(), 1u);
  TDb check(db);
  EXPECT_EQ(check.Column("SELECT record_uid FROM units ORDER BY id"),
            (std::vector<std::string>{"r0", "r1", "r2", "r3", "r4"}));
}

INSTANTIATE_TEST_SUITE_P(Cases, RecordsOutage,
                         ::testing::Values(TOutage{"LockedByAnotherProgram",
                                                   [](const TTempDir&, const std::string& db) {
                                                     auto holder = std::make_shared<TDb>(db);
                                                     holder->Exec("BEGIN EXCLUSIVE");
                                                     holder->Exec("INSERT INTO schema_version VALUES (2)");
                                                     return std::function<void()>(
                                                         [holder] { holder->Exec("ROLLBACK"); });
                                                   }},
                                           TOutage{"FolderGone",
                                                   [](const TTempDir& dir, const std::string&) {
                                                     fs::rename(dir.Path / "db", dir.Path / "away");
                                                     return std::function<void()>(
                                                         [&dir] { fs::rename(dir.Path / "away", dir.Path / "db"); });
                                                   }},
                                           TOutage{"NewerSchema",
                                                   [](const TTempDir&, const std::string& db) {
                                                     TDb(db).Exec("UPDATE schema_version SET version = " +
                                                                  std::to_string(kSchemaVersion + 1));
                                                     return std::function<void()>([db] {
                                                       TDb(db).Exec("UPDATE schema_version SET version = " +
                                                                    std::to_string(kSchemaVersion));
                                                     });
                                                   }},
                                           TOutage{"NotADatabase",
                                                   [](const TTempDir& dir, const std::string& db) {
                                                     fs::rename(db, dir.Path / "kept.records");
                                                     std::ofstream(db, std::ios::binary) << std::string(4096, 'x');
                                                     return std::function<void()>(
                                                         [&dir, db] { fs::rename(dir.Path / "kept.records", db); });
                                                   }}),
                         test::TCaseName());

TEST(Records, SpoolLeftByAnEarlierRunIsSentWhenTheWriterStarts) {
  TTempDir dir;
  const std::string db = dir.File("u.records");
  const std::string spool = dir.File("u.records.spool");
  {
    // A folder where the file should be: nothing can be written.
    fs::create_directories(db);
    TRecordWriter writer(SqliteStore(db, 20), spool, nullptr);
    writer.Submit(SampleRecord("early"));
  }
  fs::remove(db);
  TRecordWriter writer(SqliteStore(db), spool, nullptr);
  EXPECT_TRUE(Eventually([&] { return writer.Spooled() == 0; }));
  writer.Drain();
  EXPECT_EQ(TDb(db).Column("SELECT record_uid FROM units"), std::vector<std::string>{"early"});
}

TEST(Records, FirstVersionFileIsMigratedInPlace) {
  TTempDir dir;
  const std::string path = dir.File("v1.records");
  {
    TDb v1(path);
    ASSERT_TRUE(
        v1.Exec("CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT INTO schema_version VALUES (1);"));
    std::string create = "CREATE TABLE units (id INTEGER PRIMARY KEY";
    for (const TColumnInfo& c : kColumns) {
      const std::string name = c.Name;
      if (!InVersion(c, 1)) continue;
      create += ", " + name +
                (c.Type == ctText      ? " TEXT"
                 : c.Type == ctInteger ? " INTEGER"
                                       : " REAL") +
                (c.NotNull ? " NOT NULL" : "") + (name == "record_uid" ? " UNIQUE" : "");
    }
    ASSERT_TRUE(v1.Exec(create + ")"));
    ASSERT_TRUE(v1.Exec("CREATE INDEX units_time ON units(time_utc)"));
    ASSERT_TRUE(
        v1.Exec("INSERT INTO units (record_uid, time_utc, station, tool, golden, outcome, stored_offset) "
                "VALUES ('old', '2026-01-02T03:04:05.006Z', 's', 'qvtune 0.1', 'server', 'success', 7)"));
  }
  {
    TRecordWriter writer(SqliteStore(path), dir.File("spool"), nullptr);
    writer.Submit(SampleRecord("new"));
  }
  TDb db(path);
  EXPECT_EQ(db.Column("SELECT version FROM schema_version"), std::vector<std::string>{std::to_string(kSchemaVersion)});
  EXPECT_EQ(db.Column("SELECT record_uid || ':' || stored_offset || ':' || coalesce(result_offset, 'NULL') || ':' || "
                      "coalesce(afc_mean, 'NULL') FROM units ORDER BY id"),
            (std::vector<std::string>{"old:7:NULL:NULL", "new:-37:-37:-0.375"}));
  EXPECT_EQ(db.Column("SELECT count(*) FROM sqlite_master WHERE name = 'units_golden_mean'"),
            std::vector<std::string>{"1"});
}

}  // namespace
}  // namespace qv
