// The records on a PostgreSQL server that many stations share: the same
// table and columns as the SQLite file, created under a lock so that two
// stations starting at once do not both create it.
#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "records/Store.h"
#include "records/Text.h"

namespace qv::records {

namespace {

// Any value, even inside the transaction, that no other program is likely
// to lock: the schema's own lock.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7131302)";

// The server takes UTF-8 text without NUL bytes only: bytes that are not
// UTF-8 (a transcript of 8-bit names) are taken as Latin-1, so that none is
// lost.
std::string Utf8(const std::string& s) {
  std::string out = Utf8Text(s);
  out.erase(std::remove(out.begin(), out.end(), '\0'), out.end());
  return out;
}

std::string OneLine(const char* text) {
  std::string line = text != nullptr ? text : "";
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// What a failure means for the operator, with the server's text in
// brackets. result is the statement's, or none for the connection.
std::string Failure(PGconn* conn, const PGresult* result) {
  const std::string text = OneLine(conn != nullptr ? PQerrorMessage(conn) : "out of memory");
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const std::string code = state != nullptr ? state : "";
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

class TPostgresStore final : public TRecordStore {
 public:
  explicit TPostgresStore(std::string conninfo) : FConninfo(std::move(conninfo)) {}
  ~TPostgresStore() override { Close(); }

  std::string Where() const override { return "the PostgreSQL server"; }

  bool Write(const TUnitRecord& record, std::string& why) override {
    if (FConn == nullptr && !Open(why)) return false;
    std::vector<std::string> texts(kColumnCount);
    std::vector<const char*> values(kColumnCount, nullptr);
    for (size_t i = 0; i < kColumnCount; ++i) {
      const TValue v = ColumnValue(record, kColumns[i]);
      if (const auto* n = std::get_if<int64_t>(&v)) {
        texts[i] = std::to_string(*n);
      } else if (const auto* d = std::get_if<double>(&v)) {
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", *d);
        texts[i] = text;
      } else if (const auto* s = std::get_if<std::string>(&v)) {
        texts[i] = Utf8(*s);
      } else {
        continue;
      }
      values[i] = texts[i].c_str();
    }
    PGresult* result = PQexecParams(FConn, FInsert.c_str(), static_cast<int>(kColumnCount), nullptr, values.data(),
                                    nullptr, nullptr, 0);
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!ok) why = Failure(FConn, result);
    PQclear(result);
    if (!ok) Close();
    return ok;
  }

 private:
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
    if (ok && !SchemaSteps(version, {"BIGSERIAL PRIMARY KEY", "TEXT", "BIGINT", "DOUBLE PRECISION"}, steps)) {
      why = "schema version " + std::to_string(version) + " is not one this tool writes";
      ok = false;
    }
    for (size_t i = 0; ok && i < steps.size(); ++i) ok = Exec(steps[i], why);
    std::string ignored;
    if (ok) return Exec("COMMIT", why);
    Exec("ROLLBACK", ignored);
    return false;
  }

  bool Open(std::string& why) {
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
    FInsert = InsertStatement([](size_t position) { return "$" + std::to_string(position); });
    return true;
  }

  void Close() {
    if (FConn != nullptr) PQfinish(FConn);
    FConn = nullptr;
  }

  const std::string FConninfo;
  PGconn* FConn = nullptr;
  std::string FInsert;
};

}  // namespace

std::unique_ptr<TRecordStore> PostgresStore(const std::string& conninfo) {
  return std::make_unique<TPostgresStore>(conninfo);
}

}  // namespace qv::records
