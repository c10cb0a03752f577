// One connection to either database as the records code speaks to it: a
// statement with a ? for each parameter, the parameters as values, and the
// rows of its result handed over one at a time. The upkeep of the derived
// values and qvstats' figures are written once over it, for SQLite and for
// PostgreSQL alike.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "records/Schema.h"

struct sqlite3;
struct pg_conn;

namespace qv::records {

using TRow = std::vector<TValue>;

class TSql {
 public:
  using TEachRow = std::function<bool(const TRow& row)>;
  virtual ~TSql() = default;

  // Runs one statement (no ? inside its quoted texts); each row of the
  // result goes to each, which returns false to stop early. No other
  // statement may run on the connection while each runs. False, with
  // Error(), when the database refuses it.
  virtual bool Run(const std::string& sql, const std::vector<TValue>& params, const TEachRow& each) = 0;
  // The database's reason for the last failure, on one line, and its
  // codes for it: SQLite's extended result code with the system's errno,
  // PostgreSQL's SQLSTATE.
  virtual const std::string& Error() const = 0;
  virtual int Code() const { return 0; }
  virtual int System() const { return 0; }
  virtual std::string State() const { return {}; }
  virtual bool Postgres() const = 0;
  // Whether the table has that column.
  virtual bool HasColumn(const std::string& table, const std::string& column) = 0;

  bool Exec(const std::string& sql, const std::vector<TValue>& params = {}) { return Run(sql, params, nullptr); }
  bool Rows(const std::string& sql, const std::vector<TValue>& params, std::vector<TRow>& rows) {
    rows.clear();
    return Run(sql, params, [&](const TRow& row) {
      rows.push_back(row);
      return true;
    });
  }
};

// The connection stays the caller's unless owned; the statements prepared
// on it go with the TSql.
std::unique_ptr<TSql> SqliteSql(sqlite3* db, bool owned);
std::unique_ptr<TSql> PostgresSql(pg_conn* conn, bool owned);

// A PostgreSQL message (which may span lines) on one line, without its end.
std::string PostgresLine(const char* text);

}  // namespace qv::records
