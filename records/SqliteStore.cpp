// The records in one SQLite file: the schema created, or a file of an
// earlier version migrated in place, on the first write; one transaction a
// record (or a batch of a bulk write), with its derived values.
#include <sqlite3.h>

#include <cerrno>
#include <string>

#include "records/Files.h"
#include "records/SqlStore.h"

namespace qv::records {

namespace {

const char* kJournal = "PRAGMA journal_mode = WAL";

// What SQLite's extended result code (and the system's errno behind it)
// means for the operator; SQLite's own text stays in brackets, for whoever
// looks further.
std::string Failure(int code, int system, const std::string& text) {
  std::string words;
  switch (code & 0xFF) {
    case SQLITE_FULL:
      words = "the disk is full";
      break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      words = "the database is locked by another program";
      break;
    case SQLITE_READONLY:
      words = "the file or its folder is read-only";
      break;
    case SQLITE_PERM:
    case SQLITE_AUTH:
      words = "permission denied";
      break;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      words = "the file is damaged or not a records file";
      break;
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
      // A full disk shows itself as an I/O error of the write-ahead log.
      words = system != 0                        ? ErrnoText(system)
              : (code & 0xFF) == SQLITE_CANTOPEN ? "the file cannot be opened"
                                                 : "the disk reports an error";
      break;
    default:
      return text;
  }
  return words + " (" + text + ")";
}

std::string Failure(sqlite3* db, const char* message = nullptr) {
  return Failure(sqlite3_extended_errcode(db), sqlite3_system_errno(db),
                 message != nullptr ? message : sqlite3_errmsg(db));
}

class TSqliteStore final : public TSqlStore {
 public:
  TSqliteStore(std::string path, int busyMs) : FPath(std::move(path)), FBusyMs(busyMs) {}
  ~TSqliteStore() override { Close(); }

  std::string Where() const override { return FPath; }

 private:
  void Bulk() override {
    // A bulk write touches every index all over: a cache of its own size.
    std::string ignored;
    Exec("PRAGMA cache_size = -262144", ignored);
  }

  std::string Words(const TSql& sql, const std::string& why) const override {
    return Failure(sql.Code(), sql.System(), why);
  }

  bool Exec(const char* sql, std::string& why) {
    char* error = nullptr;
    if (sqlite3_exec(FDb, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
    why = Failure(FDb, error);
    sqlite3_free(error);
    return false;
  }

  // The schema version, 0 for a file without one.
  bool Version(int& version, std::string& why) {
    version = 0;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(FDb, "SELECT version FROM schema_version", -1, &stmt, nullptr) != SQLITE_OK) {
      why = Failure(FDb);
      return false;
    }
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) version = sqlite3_column_int(stmt, 0);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) rc = SQLITE_OK;
    if (rc != SQLITE_OK) why = Failure(FDb);
    sqlite3_finalize(stmt);
    return rc == SQLITE_OK;
  }

  bool Schema(std::string& why) {
    if (!Exec("BEGIN IMMEDIATE", why)) return false;
    int version = 0;
    bool ok =
        Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", why) && Version(version, why);
    std::vector<std::string> steps;
    if (ok && !SchemaSteps(version, kSqliteTypes, steps)) {
      why = "schema version " + std::to_string(version) + " is not one this tool writes";
      ok = false;
    }
    for (size_t i = 0; ok && i < steps.size(); ++i) ok = Exec(steps[i].c_str(), why);
    std::string ignored;
    if (ok) return Exec("COMMIT", why);
    Exec("ROLLBACK", ignored);
    return false;
  }

  bool Open(std::string& why) override {
    // SQLite would wait in open() or read() on a FIFO, here or in place of
    // one of its own files beside it.
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      why = NotAFile(FPath + suffix);
      if (!why.empty()) return false;
    }
    if (const int rc = sqlite3_open_v2(FPath.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        rc != SQLITE_OK) {
      why = FDb != nullptr ? Failure(FDb) : "out of memory";
      Close();
      return false;
    }
    sqlite3_busy_timeout(FDb, FBusyMs);
    // Write-ahead logging: a record costs one sync of the log instead of the
    // rollback journal's three or four, and readers are never blocked by it.
    // Synced at every commit all the same: a record written is on disk.
    if (!Exec(kJournal, why) || !Exec("PRAGMA synchronous = FULL", why) || !Schema(why)) {
      if (why.empty()) why = Failure(FDb);
      Close();
      return false;
    }
    Opened(SqliteSql(FDb, false));
    return true;
  }

  void Close() override {
    Closing();
    sqlite3_close_v2(FDb);
    FDb = nullptr;
  }

  const std::string FPath;
  const int FBusyMs;
  sqlite3* FDb = nullptr;
};

}  // namespace

std::unique_ptr<TRecordStore> SqliteStore(const std::string& path, int busyMs) {
  return std::make_unique<TSqliteStore>(path, busyMs);
}

}  // namespace qv::records
