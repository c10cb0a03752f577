// The records on a PostgreSQL server that many stations share: the same
// table and columns as the SQLite file, created under a lock so that two
// stations starting at once do not both create it.
#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "records/SqlStore.h"

namespace qv::records {

namespace {

// Any value, even inside the transaction, that no other program is likely
// to lock: the schema's own lock.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7131302)";

// What a failure (its SQLSTATE code) means for the operator, with the
// server's text in brackets.
std::string Failure(PGconn* conn, const std::string& code, const std::string& text) {
  std::string words;
  if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
    if (code.rfind("28", 0) == 0 || text.find("authentication") != std::string::npos)
      words = "the server refused the login";
    else if (code == "3D000" || text.find("does not exist") != std::string::npos)
      words = "the database does not exist on the server";
    else
      words = "the server cannot be reached";
  } else if (code == "53100") {
    words = "the server's disk is full";
  } else if (code == "42501") {
    words = "the server denies this station the table";
  } else if (code.rfind("55P03", 0) == 0 || code == "40P01") {
    words = "the table is locked on the server";
  } else if (code.rfind("08", 0) == 0 || code.rfind("57P", 0) == 0) {
    words = "the server cannot be reached";
  } else {
    return text;
  }
  return words + " (" + text + ")";
}

// result is the statement's, or none for the connection.
std::string Failure(PGconn* conn, const PGresult* result) {
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  return Failure(conn, state != nullptr ? state : "",
                 PostgresLine(conn != nullptr ? PQerrorMessage(conn) : "out of memory"));
}

class TPostgresStore final : public TSqlStore {
 public:
  explicit TPostgresStore(std::string conninfo) : FConninfo(std::move(conninfo)) {}
  ~TPostgresStore() override { Close(); }

  std::string Where() const override { return "the PostgreSQL server"; }

 private:
  std::string Words(const TSql& sql, const std::string& why) const override { return Failure(FConn, sql.State(), why); }

  bool Exec(const std::string& sql, std::string& why, int* version = nullptr) {
    PGresult* result = PQexec(FConn, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok) why = Failure(FConn, result);
    if (ok && version != nullptr) *version = PQntuples(result) > 0 ? std::atoi(PQgetvalue(result, 0, 0)) : 0;
    PQclear(result);
    return ok;
  }

  bool Schema(std::string& why) {
    int version = 0;
    bool ok = Exec("BEGIN", why) && Exec(kSchemaLock, why) &&
              Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", why) &&
              Exec("SELECT version FROM schema_version", why, &version);
    std::vector<std::string> steps;
    if (ok && !SchemaSteps(version, kPostgresTypes, steps)) {
      why = "schema version " + std::to_string(version) + " is not one this tool writes";
      ok = false;
    }
    for (size_t i = 0; ok && i < steps.size(); ++i) ok = Exec(steps[i], why);
    std::string ignored;
    if (ok && Exec("COMMIT", why)) {
      KeyIndexes();
      return true;
    }
    Exec("ROLLBACK", ignored);
    return false;
  }

  // A server of this version made before the covering indexes of the
  // golden references' days and hours gets them from its first writer that
  // may make them (the tables' owner). They only speed up qvstats' charts:
  // one that cannot be made leaves the records as they are, and an account
  // that may only write records writes them as before.
  void KeyIndexes() {
    std::string names;
    for (const TCountsInfo& c : kCounts)
      if (c.KeyOrdered != nullptr) names += (names.empty() ? "'" : ", '") + KeyIndexName(c) + "'";
    int present = 0;
    std::string ignored;
    const std::vector<std::string> steps = KeyIndexSteps(kPostgresTypes);
    if (steps.empty() ||
        !Exec("SELECT count(*) FROM pg_indexes WHERE schemaname = current_schema() AND indexname IN (" + names + ")",
              ignored, &present) ||
        present == static_cast<int>(steps.size()))
      return;
    for (const std::string& step : steps) Exec(step, ignored);
  }

  bool Open(std::string& why) override {
    // A server that does not answer must not hold the writer for long; a
    // time-out in the connection string still wins.
    const char* keywords[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {"5", FConninfo.c_str(), nullptr};
    FConn = PQconnectdbParams(keywords, values, 1);
    if (FConn == nullptr || PQstatus(FConn) != CONNECTION_OK) {
      why = Failure(FConn, nullptr);
      Close();
      return false;
    }
    // The server's notices ("already exists, skipping") are not the
    // operator's business.
    PQsetNoticeProcessor(
        FConn, [](void*, const char*) {}, nullptr);
    if (!Schema(why)) {
      Close();
      return false;
    }
    Opened(PostgresSql(FConn, false));
    return true;
  }

  void Close() override {
    Closing();
    if (FConn != nullptr) PQfinish(FConn);
    FConn = nullptr;
  }

  const std::string FConninfo;
  PGconn* FConn = nullptr;
};

}  // namespace

std::unique_ptr<TRecordStore> PostgresStore(const std::string& conninfo) {
  return std::make_unique<TPostgresStore>(conninfo);
}

}  // namespace qv::records
