// Writing a unit's record: the SQLite store's write (one transaction with
// the record's derived values, synced to disk) in ms per record against the
// target of 5 ms, and a submission to the background writer (the synced
// spool append that the window's thread waits for before a unit's outcome
// line), beside a plain fsync'd append of the same spool line measured in
// the same run. The transcript is that of a whole unit tuned on the
// in-process bench; the bytes a record takes in the file are given for
// this schema version (transcript compressed) and for version 2 (transcript
// as text), with the time to migrate those of version 2 in place.
//
//   record_bench [RECORDS]
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "records/Store.h"
#include "records/Zstd.h"
#include "tests/records/RecordSupport.h"
#include "tests/support/Unit.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kTargetMs = 5.0;

double MsPer(Clock::duration d, int n) {
  return std::chrono::duration<double, std::milli>(d).count() / n;
}

// The file's bytes once its write-ahead log is in it, a record.
double BytesPer(const std::string& path, int n) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return static_cast<double>(std::filesystem::file_size(path)) / n;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 200;
  std::string transcript;
  {
    qv::test::TUnitBench unit;
    if (!unit.Run({{qv::test::TUnitBench::aOk}})) {
      std::fprintf(stderr, "the bench's unit did not run: %s\n", unit.RunError.c_str());
      return 1;
    }
    transcript = unit.ErrorLog();
  }
  qv::test::TTempDir dir;
  qv::records::TUnitRecord record = qv::test::SampleRecord("x");
  record.Transcript = transcript;

  auto t0 = Clock::now();
  std::string frame;
  for (int i = 0; i < 20; ++i) frame = qv::records::Compress(transcript);
  const double compress = MsPer(Clock::now() - t0, 20);

  auto store = qv::records::SqliteStore(dir.File("bench.records"));
  std::string why;
  record.Uid = "warm-up";
  if (!store->Write(record, why)) {
    std::fprintf(stderr, "cannot write: %s\n", why.c_str());
    return 1;
  }
  t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    record.Uid = "s" + std::to_string(i);
    store->Write(record, why);
  }
  const double direct = MsPer(Clock::now() - t0, n);
  store.reset();
  const double bytes = BytesPer(dir.File("bench.records"), n + 1);

  // The same records as a writer of version 2 kept them.
  {
    sqlite3* db = nullptr;
    sqlite3_open(dir.File("v2.records").c_str(), &db);
    sqlite3_exec(db, qv::test::EarlierUnitsTable(2, qv::records::kSqliteTypes).c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(db,
                 "CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT INTO schema_version VALUES (2); "
                 "CREATE INDEX units_time ON units(time_utc); CREATE INDEX units_golden ON units(golden_id, time_utc)",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(
        db,
        "INSERT INTO units (record_uid, time_utc, station, tool, golden, golden_id, outcome, transcript) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
        -1, &s, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i <= n; ++i) {
      const std::string uid = "s" + std::to_string(i);
      const char* texts[] = {uid.c_str(),           record.TimeUtc.c_str(), record.Station.c_str(),
                             record.Tool.c_str(),   record.Golden.c_str(),  record.GoldenId.c_str(),
                             record.Outcome.c_str()};
      for (int k = 0; k < 7; ++k) sqlite3_bind_text(s, k + 1, texts[k], -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 8, transcript.data(), static_cast<int>(transcript.size()), SQLITE_TRANSIENT);
      sqlite3_step(s);
      sqlite3_reset(s);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(s);
    sqlite3_close(db);
  }
  const double bytes2 = BytesPer(dir.File("v2.records"), n + 1);
  // Those records migrated in place, as the next writer or qvstats does.
  t0 = Clock::now();
  if (!qv::records::SqliteStore(dir.File("v2.records"))->Upgrade(why, nullptr)) {
    std::fprintf(stderr, "cannot migrate: %s\n", why.c_str());
    return 1;
  }
  const double migrated = MsPer(Clock::now() - t0, n + 1);

  double submitted = 0;
  {
    qv::records::TRecordWriter writer(qv::records::SqliteStore(dir.File("bench.records")), dir.File("spool"), nullptr);
    t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
      record.Uid = "w" + std::to_string(i);
      writer.Submit(record);
    }
    submitted = MsPer(Clock::now() - t0, n);
    writer.Drain();
  }

  const std::string line = qv::records::EncodeSpoolLine(record) + "\n";
  t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    const int fd = ::open(dir.File("append").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    (void)!::write(fd, line.data(), line.size());
    ::fsync(fd);
    ::close(fd);
  }
  const double append = MsPer(Clock::now() - t0, n);
  std::printf("a whole unit's transcript: %zu bytes, compressed %zu (%.1f:1) in %.2f ms\n", transcript.size(),
              frame.size(), static_cast<double>(transcript.size()) / static_cast<double>(frame.size()), compress);
  std::printf("a record in the file: %.0f bytes (schema version %d), %.0f bytes as version 2 kept it (%.1f:1)\n", bytes,
              qv::records::kSchemaVersion, bytes2, bytes2 / bytes);
  std::printf("migrating records of version 2 in place: %.2f ms a record (its indexes first, then a batch a transaction)\n",
              migrated);
  std::printf(
      "record write (SQLite): %.3f ms a record (target < %.1f ms); submitting to the writer (synced to its spool) "
      "%.3f ms; fsync'd append of the same spool line (%zu bytes) %.3f ms; ratio to the append %.2f\n",
      direct, kTargetMs, submitted, line.size(), append, direct / append);
  return direct < kTargetMs ? 0 : 1;
}
