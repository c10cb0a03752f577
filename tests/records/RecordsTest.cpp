// The records writer on real SQLite files: a database that cannot take a
// record (locked, not a database, out of reach, of an unknown version, on a
// full disk) costs one line and nothing else, the spool keeps every record
// from the moment it is submitted and gives it to the database once it is
// back; no damaged spool or FIFO holds a record back or the writer up; a
// file of the first version is migrated.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Eventually.h"
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
                                      "units_handheld_fw_sha256", "units_station", "units_time"}));
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
    for (int i = 1; i <= 3; ++i) writer.Submit(SampleRecord("r" + std::to_string(i)));
    writer.Drain();
    EXPECT_EQ(writer.Spooled(), 3u);
    EXPECT_EQ(lines.Count(), 1u) << "one line for the outage, not one a record or a retry";
    repair();
    EXPECT_TRUE(test::Eventually([&] { return writer.Spooled() == 0; })) << "re-sent once the database is back";
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
  EXPECT_TRUE(test::Eventually([&] { return writer.Spooled() == 0; }));
  writer.Drain();
  EXPECT_EQ(TDb(db).Column("SELECT record_uid FROM units"), std::vector<std::string>{"early"});
}

// The operators of a station share its spool through a group: a spool the
// writer makes has the mode the umask leaves, here group-writable.
TEST(Records, SpoolTakesTheModeTheUmaskLeaves) {
  TTempDir dir;
  const std::string db = dir.File("u.records");
  const std::string spool = dir.File("u.records.spool");
  fs::create_directories(db);
  const mode_t before = ::umask(002);
  {
    TRecordWriter writer(SqliteStore(db, 20), spool, nullptr);
    writer.Submit(SampleRecord("shared"));
  }
  ::umask(before);
  struct stat st {};
  ASSERT_EQ(::stat(spool.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);
}

// A file written by an earlier version: its units table as that version
// made it, one unit in it; the next write migrates it in place.
class EarlierVersion : public ::testing::TestWithParam<int> {};

TEST_P(EarlierVersion, FileIsMigratedInPlace) {
  const int version = GetParam();
  TTempDir dir;
  const std::string path = dir.File("old.records");
  {
    TDb old(path);
    ASSERT_TRUE(old.Exec("CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT INTO schema_version VALUES (" +
                         std::to_string(version) + ");"));
    std::string create = "CREATE TABLE units (id INTEGER PRIMARY KEY";
    for (const TColumnInfo& c : kColumns) {
      if (!InVersion(c, version)) continue;
      const std::string name = c.Name;
      create += ", " + name +
                (c.Type == ctText      ? " TEXT"
                 : c.Type == ctInteger ? " INTEGER"
                                       : " REAL") +
                (c.NotNull ? " NOT NULL" : "") + (name == "record_uid" ? " UNIQUE" : "");
    }
    ASSERT_TRUE(old.Exec(create + ")"));
    ASSERT_TRUE(old.Exec("CREATE INDEX units_time ON units(time_utc)"));
    if (version >= 2) {
      ASSERT_TRUE(old.Exec("CREATE INDEX units_golden ON units(golden_id, time_utc)"));
    }
    if (version >= 3) {
      ASSERT_TRUE(old.Exec("CREATE INDEX units_handheld_fw_sha256 ON units(handheld_fw_sha256)"));
    }
    ASSERT_TRUE(
        old.Exec("INSERT INTO units (record_uid, time_utc, station, tool, golden, outcome, stored_offset, transcript) "
                 "VALUES ('old', '2026-01-02T03:04:05.006Z', 's', 'qvtune 0.1', 'server', 'success', 7, '>old\r')"));
  }
  {
    TRecordWriter writer(SqliteStore(path), dir.File("spool"), nullptr);
    writer.Submit(SampleRecord("new"));
  }
  TDb db(path);
  EXPECT_EQ(db.Column("SELECT version FROM schema_version"), std::vector<std::string>{std::to_string(kSchemaVersion)});
  EXPECT_EQ(db.Column("SELECT record_uid || ':' || stored_offset || ':' || coalesce(result_offset, 'NULL') || ':' || "
                      "coalesce(afc_mean, 'NULL') || ':' || coalesce(handheld_fw_sha256, 'NULL') || ':' || "
                      "coalesce(transcript, 'NULL') FROM units ORDER BY id"),
            (std::vector<std::string>{"old:7:NULL:NULL:NULL:NULL", "new:-37:-37:-0.375:NULL:NULL"}));
  const std::vector<std::string> transcripts = db.Column("SELECT transcript_zstd FROM units ORDER BY id");
  ASSERT_EQ(transcripts.size(), 2u);
  for (const auto& [frame, expected] : {std::pair{transcripts[0], std::string(">old\r")},
                                        std::pair{transcripts[1], SampleRecord("").Transcript}}) {
    std::string transcript;
    EXPECT_TRUE(Decompress(frame, transcript));
    EXPECT_EQ(transcript, expected);
  }
  EXPECT_EQ(db.Column("SELECT name FROM sqlite_master WHERE name IN ('units_golden', 'units_golden_mean', "
                      "'units_handheld_fw_sha256') ORDER BY name"),
            (std::vector<std::string>{"units_golden_mean", "units_handheld_fw_sha256"}));
}

INSTANTIATE_TEST_SUITE_P(Versions, EarlierVersion, ::testing::Values(1, 2, 3),
                         [](const ::testing::TestParamInfo<int>& p) { return "Version" + std::to_string(p.param); });

// ---- the spool: kept at once, never damaged by a damaged line ----

// The start of a record that a full disk or a crash cut short, as the last
// line of a spool: the next record goes on a line of its own, and the torn
// line is kept aside and told, never dropped in silence.
TEST(Records, TornLastLineIsNeverJoinedToTheNextRecord) {
  TTempDir dir;
  const std::string db = dir.File("u.records");
  const std::string spool = dir.File("u.records.spool");
  const std::string torn = "v2\tsst/2026-01-01T00:00:00.000Z/1-1\ts2026";
  TLines lines;
  {
    fs::create_directories(db);
    TRecordWriter writer(SqliteStore(db, 20), spool, lines.Report());
    writer.Submit(SampleRecord("first"));
    writer.Drain();
    std::ofstream(spool, std::ios::binary | std::ios::app) << torn;
    writer.Submit(SampleRecord("victim"));
    writer.Drain();
  }
  fs::remove(db);
  {
    TRecordWriter writer(SqliteStore(db), spool, lines.Report());
    writer.Submit(SampleRecord("last"));
    writer.Drain();
  }
  EXPECT_EQ(TDb(db).Column("SELECT record_uid FROM units ORDER BY id"),
            (std::vector<std::string>{"first", "victim", "last"}));
  std::ifstream aside(spool + ".damaged", std::ios::binary);
  std::string kept((std::istreambuf_iterator<char>(aside)), std::istreambuf_iterator<char>());
  EXPECT_EQ(kept, torn + "\n");
  ASSERT_EQ(lines.Count(), 2u);
  EXPECT_EQ(lines.Lines[1], "1 line of " + spool +
                                " held no whole unit record (cut short by a crash or a full disk); kept aside in " +
                                spool + ".damaged");
  EXPECT_EQ(fs::file_size(spool), 0u);
}

// What stands in the place of a file the writer opens on its own.
struct TInPlace {
  const char* Name;
  const char* File;  // beside the records file "u.records"
  const char* Told;  // in the one line of the outage
  // Where the record is once the writer is gone: "database" or "spool".
  const char* Ends;
};
using test::PrintTo;

class RecordsInPlace : public ::testing::TestWithParam<TInPlace> {};

// A FIFO never holds the writer or the submitting thread up: the record goes
// where it can, and one line says why.
TEST_P(RecordsInPlace, FifoHoldsNothingUp) {
  const TInPlace& c = GetParam();
  TTempDir dir;
  const std::string db = dir.File("u.records");
  const std::string spool = dir.File("u.records.spool");
  const std::string fifo = dir.File(c.File);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  TLines lines;
  std::atomic<bool> done{false};
  std::thread run([&] {
    TRecordWriter writer(SqliteStore(db), spool, lines.Report());
    writer.Submit(SampleRecord("r1"));
    writer.Drain();
    EXPECT_EQ(ReadConninfoFile(fifo), "") << "a FIFO holds no connection string";
    done = true;
  });
  const bool ended = test::Eventually([&] { return done.load(); });
  // Opening and closing either end lets whatever waits on the FIFO go on.
  for (int flags = O_RDONLY; !ended && !done.load(); flags = flags == O_RDONLY ? O_WRONLY : O_RDONLY)
    ::close(::open(fifo.c_str(), flags | O_NONBLOCK));
  run.join();
  ASSERT_TRUE(ended) << "held up by the FIFO " << fifo;
  ASSERT_EQ(lines.Count(), 1u);
  EXPECT_NE(lines.Lines[0].find(fifo + " is a FIFO, not a file"), std::string::npos) << lines.Lines[0];
  EXPECT_NE(lines.Lines[0].find(c.Told), std::string::npos) << lines.Lines[0];
  if (std::string(c.Ends) == "spool") {
    std::ifstream in(spool, std::ios::binary);
    std::string line;
    TUnitRecord kept;
    EXPECT_TRUE(std::getline(in, line) && DecodeSpoolLine(line, kept) && kept.Uid == "r1");
  } else {
    EXPECT_EQ(TDb(db).Column("SELECT record_uid FROM units"), std::vector<std::string>{"r1"});
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RecordsInPlace,
                         ::testing::Values(TInPlace{"Spool", "u.records.spool", "cannot be kept in the spool file",
                                                    "database"},
                                           TInPlace{"RecordsFile", "u.records", "not written to", "spool"},
                                           TInPlace{"WriteAheadLog", "u.records-wal", "not written to", "spool"}),
                         test::TCaseName());

// Stands for a store and counts what the writer asks of it.
class TCountingStore final : public TRecordStore {
 public:
  explicit TCountingStore(std::unique_ptr<TRecordStore> inner, std::atomic<int>& writes)
      : FInner(std::move(inner)), FWrites(writes) {}
  bool Write(const TUnitRecord& record, std::string& why) override {
    ++FWrites;
    return FInner->Write(record, why);
  }
  std::string Where() const override { return FInner->Where(); }

 private:
  std::unique_ptr<TRecordStore> FInner;
  std::atomic<int>& FWrites;
};

// A database known to be out is not asked again for each record, nor at the
// end: the records go to the spool at once, and the line says what to do
// about it.
TEST(Records, DatabaseKnownOutIsNotTriedForEachRecord) {
  TTempDir dir;
  const std::string db = dir.File("u.records");
  const std::string spool = dir.File("u.records.spool");
  { TRecordWriter(SqliteStore(db), spool, nullptr).Submit(SampleRecord("r0")); }
  TDb holder(db);
  ASSERT_TRUE(holder.Exec("BEGIN EXCLUSIVE"));
  ASSERT_TRUE(holder.Exec("INSERT INTO schema_version VALUES (2)"));
  std::atomic<int> writes{0};
  TLines lines;
  {
    TRecordWriter writer(std::make_unique<TCountingStore>(SqliteStore(db), writes), spool, lines.Report());
    for (int i = 1; i <= 41; ++i) {
      writer.Submit(SampleRecord("r" + std::to_string(i)));
      writer.Drain();
    }
    EXPECT_EQ(writer.Spooled(), 41u);
  }
  EXPECT_EQ(writes.load(), 1);
  ASSERT_EQ(lines.Count(), 1u);
  EXPECT_EQ(lines.Lines[0].rfind("Unit records not written to " + db +
                                     ": the database is locked by another program (database is locked); kept in " +
                                     spool + " until it takes them",
                                 0),
            0u)
      << lines.Lines[0];
  holder.Exec("ROLLBACK");
  { TRecordWriter(SqliteStore(db), spool, nullptr).Drain(); }
  EXPECT_EQ(TDb(db).Column("SELECT count(*) FROM units"), std::vector<std::string>{"42"});
}

// A full disk (a small file system of the test's own): the spool cannot
// keep the records either, so they wait in memory; each outage is one
// line, and nothing is lost once there is room again.
TEST(Records, FullDiskIsToldOnceInWordsAndLosesNothingOnceThereIsRoom) {
  TTempDir dir;
  const fs::path disk = dir.Path / "disk";
  fs::create_directories(disk);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "no small file system to fill: " << std::strerror(errno);
  struct TUnmount {
    std::string Path;
    ~TUnmount() { ::umount2(Path.c_str(), MNT_DETACH); }
  } unmount{disk.string()};
  const std::string db = (disk / "u.records").string();
  const std::string spool = db + ".spool";
  { TRecordWriter(SqliteStore(db), spool, nullptr).Submit(SampleRecord("r0")); }
  const std::string filler = (disk / "filler").string();
  {
    std::ofstream fill(filler, std::ios::binary);
    const std::string block(4096, 'x');
    while (fill.write(block.data(), block.size()) && fill.flush()) {
    }
  }
  TLines lines;
  {
    TRecordWriter writer(SqliteStore(db, 20), spool, lines.Report(), std::chrono::milliseconds(20));
    for (int i = 1; i <= 3; ++i) EXPECT_FALSE(writer.Submit(SampleRecord("r" + std::to_string(i))));
    writer.Drain();
    ASSERT_EQ(lines.Count(), 2u);
    EXPECT_EQ(lines.Lines[0], "Unit records cannot be kept in the spool file: " + spool +
                                  ": the disk is full; each waits in memory until " + db + " takes it");
    EXPECT_EQ(lines.Lines[1].rfind("Unit records not written to " + db + ": the disk is full (", 0), 0u)
        << lines.Lines[1];
    fs::remove(filler);
    writer.Drain();
    EXPECT_TRUE(
        test::Eventually([&] { return TDb(db).Column("SELECT count(*) FROM units") == std::vector<std::string>{"4"}; }));
  }
  EXPECT_EQ(lines.Count(), 2u);
}

}  // namespace
}  // namespace qv
