// The records in one SQLite file: the schema created, or a file of an
// earlier version migrated in place, on the first write; one transaction a
// record (or a batch of a bulk write), with its derived values.
#include <sqlite3.h>

#include <string>

#include "records/SqlStore.h"

namespace qv::records {

namespace {

const char* kJournal = "PRAGMA journal_mode = WAL";

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

  bool Exec(const char* sql, std::string& why) {
    char* error = nullptr;
    if (sqlite3_exec(FDb, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
    why = error != nullptr ? error : sqlite3_errmsg(FDb);
    sqlite3_free(error);
    return false;
  }

  // The schema version, 0 for a file without one.
  bool Version(int& version, std::string& why) {
    version = 0;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(FDb, "SELECT version FROM schema_version", -1, &stmt, nullptr) != SQLITE_OK) {
      why = sqlite3_errmsg(FDb);
      return false;
    }
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) version = sqlite3_column_int(stmt, 0);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) rc = SQLITE_OK;
    if (rc != SQLITE_OK) why = sqlite3_errmsg(FDb);
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
    if (sqlite3_open_v2(FPath.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
      why = FDb != nullptr ? sqlite3_errmsg(FDb) : "out of memory";
      Close();
      return false;
    }
    sqlite3_busy_timeout(FDb, FBusyMs);
    // Write-ahead logging: a record costs one sync of the log instead of the
    // rollback journal's three or four, and readers are never blocked by it.
    // Synced at every commit all the same: a record written is on disk.
    if (!Exec(kJournal, why) || !Exec("PRAGMA synchronous = FULL", why) || !Schema(why)) {
      if (why.empty()) why = sqlite3_errmsg(FDb);
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
