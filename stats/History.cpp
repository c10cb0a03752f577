#include "stats/History.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <set>
#include <system_error>

#include "records/Record.h"

namespace qv {

namespace {

namespace fs = std::filesystem;

std::string Number(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%+.*f", decimals, v);
  return buf;
}

std::string Plain(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// The shortest text that reads back as the same double.
std::string Exact(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

TUnitOutcome OutcomeOf(const std::string& text) {
  if (text == "success") return TUnitOutcome::uoSuccess;
  if (text == "failed") return TUnitOutcome::uoFailed;
  if (text == "aborted") return TUnitOutcome::uoAborted;
  if (text == "analysis") return TUnitOutcome::uoAnalysis;
  return TUnitOutcome::uoOther;
}

struct TDbClose {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct TStmtClose {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using TDb = std::unique_ptr<sqlite3, TDbClose>;
using TStmt = std::unique_ptr<sqlite3_stmt, TStmtClose>;

// What an SQLite failure means for the operator.
std::string Failure(const std::string& path, sqlite3* db, int code) {
  const std::string what = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  switch (code & 0xFF) {
    case SQLITE_NOTADB:
      return path + " is not a records file: it is damaged or not a database (" + what + ").";
    case SQLITE_CORRUPT:
      return path + " is damaged (" + what + ").";
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return path + " is locked by another program; try again in a moment (" + what + ").";
    default:
      return "Cannot read " + path + " (" + what + ").";
  }
}

std::string Text(sqlite3_stmt* s, int col) {
  const unsigned char* t = sqlite3_column_text(s, col);
  return t != nullptr ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s, col)))
                      : std::string();
}

void Add(TGroupFigures& g, const TUnit& u) {
  ++g.Units;
  switch (u.Kind) {
    case TUnitOutcome::uoSuccess:
      ++g.Success;
      break;
    case TUnitOutcome::uoFailed:
      ++g.Failed;
      break;
    case TUnitOutcome::uoAborted:
      ++g.Aborted;
      break;
    case TUnitOutcome::uoAnalysis:
      ++g.Analysis;
      break;
    case TUnitOutcome::uoOther:
      ++g.Other;
      break;
  }
  const std::string reason = FailureReason(u);
  if (!reason.empty()) ++g.Reasons[reason];
  if (u.RssiAvg) {
    g.RssiSum += *u.RssiAvg;
    ++g.RssiCount;
  }
  if (u.AfcSpread) {
    g.AfcSpreadSum += *u.AfcSpread;
    ++g.AfcSpreadCount;
  }
}

std::vector<TGroupFigures> Listed(std::map<std::string, TGroupFigures>& groups) {
  std::vector<TGroupFigures> list;
  list.reserve(groups.size());
  for (auto& [key, g] : groups) {
    g.Key = key;
    list.push_back(std::move(g));
  }
  return list;
}

// By time, equal times in the order of writing. Records come nearly in
// order (stations' clocks differ, a kept record is written late), so the
// common case is one pass.
void SortByTime(std::vector<TUnit>& units) {
  auto earlier = [](const TUnit& a, const TUnit& b) {
    return a.TimeMs < b.TimeMs || (a.TimeMs == b.TimeMs && a.Id < b.Id);
  };
  if (!std::is_sorted(units.begin(), units.end(), earlier)) std::sort(units.begin(), units.end(), earlier);
}

}  // namespace

std::string FailureReason(const TUnit& u) {
  return records::FailureReason(u);
}

namespace {

using records::kColumns;
using records::TColumnInfo;
using records::TValue;

// The columns a listing reads: all but those read on demand.
bool Listed(const TColumnInfo& c) {
  return !c.OnDemand;
}

// A row of a listing (the local key, then the listed columns in the
// table's order), as either database gives it.
struct TSqliteRow {
  sqlite3_stmt* S;
  bool Null(int col) const { return sqlite3_column_type(S, col) == SQLITE_NULL; }
  int64_t Int64(int col) const { return sqlite3_column_int64(S, col); }
  std::string Text(int col) const { return ::qv::Text(S, col); }
  double Real(int col) const { return sqlite3_column_double(S, col); }
};

struct TPgRow {
  const PGresult* R;
  int Row;
  bool Null(int col) const { return PQgetisnull(R, Row, col) != 0; }
  std::string Text(int col) const {
    return Null(col) ? std::string() : std::string(PQgetvalue(R, Row, col), static_cast<size_t>(PQgetlength(R, Row, col)));
  }
  int64_t Int64(int col) const { return Null(col) ? 0 : std::strtoll(PQgetvalue(R, Row, col), nullptr, 10); }
  double Real(int col) const { return std::strtod(PQgetvalue(R, Row, col), nullptr); }
};

// Each column read as its type says, as the writer wrote it.
template <class TRow>
TValue ValueOf(const TRow& row, int col, const TColumnInfo& c) {
  if (row.Null(col)) return c.NotNull ? TValue(std::string()) : TValue();
  switch (c.Type) {
    case records::ctInteger:
      return row.Int64(col);
    case records::ctReal:
      return row.Real(col);
    case records::ctText:
    case records::ctCompressed:
      break;
  }
  return row.Text(col);
}

// False for a unit whose time does not read.
template <class TRow>
bool FillUnit(const TRow& row, TUnit& u) {
  u.Id = row.Int64(0);
  int col = 1;
  for (const TColumnInfo& c : kColumns)
    if (Listed(c)) records::SetColumnValue(u, c, ValueOf(row, col++, c));
  const std::optional<int64_t> ms = ParseUtcMs(u.TimeUtc);
  if (!ms) return false;
  u.TimeMs = *ms;
  u.Kind = OutcomeOf(u.Outcome);
  return true;
}

// Why records of this schema version cannot be read, or empty; where
// names the file or server.
std::string VersionProblem(const std::string& where, int version) {
  if (version > records::kSchemaVersion)
    return where + " holds records of schema version " + std::to_string(version) +
           ", newer than this qvstats reads (versions " + std::to_string(records::kFirstSchemaVersion) + " to " +
           std::to_string(records::kSchemaVersion) + "): use the qvstats of the same release as the program that wrote it.";
  if (version < records::kFirstSchemaVersion) return where + " is damaged: it has no valid schema version.";
  return {};
}

// The query of every unit: the local key, then the listed columns in the
// table's order, those an older schema lacks as NULL; empty, with the
// reason in error, when a column every version has is missing.
std::string SelectUnits(const std::set<std::string>& present, const std::string& where, std::string& error) {
  std::string sql = "SELECT id";
  for (const TColumnInfo& c : kColumns) {
    if (!Listed(c)) continue;
    sql += ", ";
    if (present.count(c.Name)) {
      sql += c.Name;
    } else if (c.Since > records::kFirstSchemaVersion) {
      sql += "NULL";
    } else {
      error = where + " is not a records file of qvtune: its units have no column '" + c.Name + "'.";
      return {};
    }
  }
  if (!present.count("id")) {
    error = where + " is not a records file of qvtune: its units have no column 'id'.";
    return {};
  }
  // In the order of writing, which is nearly that of time: a walk along
  // the table, where following the time index would seek once a unit.
  return sql + " FROM units";
}

}  // namespace

bool IsServerConninfo(const std::string& text) {
  return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0 ||
         (text.find('=') != std::string::npos && (text.find("dbname=") != std::string::npos ||
                                                   text.find("host=") != std::string::npos));
}

bool THistory::LoadServer(const std::string& conninfo) {
  FError.clear();
  FSkipped = 0;
  FVersion = 0;
  FUnits.clear();
  FPath = "the records server";
  // A server that does not answer must not hold the window for long; a
  // time-out in the connection string still wins.
  const char* keywords[] = {"connect_timeout", "dbname", nullptr};
  const char* values[] = {"5", conninfo.c_str(), nullptr};
  std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdbParams(keywords, values, 1), PQfinish);
  // libpq's messages run over lines, indented with tabs: one line here,
  // ending in one full stop.
  auto oneLine = [](const char* text) {
    std::string t;
    for (const char* p = text != nullptr ? text : ""; *p != 0; ++p) {
      const bool blank = *p == '\n' || *p == '\t' || *p == ' ';
      if (!blank) t += *p;
      else if (!t.empty() && t.back() != ' ') t += ' ';
    }
    while (!t.empty() && (t.back() == ' ' || t.back() == '.')) t.pop_back();
    if (t.empty() || (t.back() != '?' && t.back() != '!')) t += '.';
    return t;
  };
  if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
    FError = "The records server cannot be reached: " +
             (conn ? oneLine(PQerrorMessage(conn.get())) : std::string("out of memory."));
    return false;
  }
  PQsetNoticeProcessor(
      conn.get(), [](void*, const char*) {}, nullptr);
  // Named without the password the connection string may hold.
  FPath = std::string("PostgreSQL ") + PQdb(conn.get()) + " on " + PQhost(conn.get());
  using TResult = std::unique_ptr<PGresult, void (*)(PGresult*)>;
  auto exec = [&](const std::string& sql, ExecStatusType want) {
    TResult r(PQexec(conn.get(), sql.c_str()), PQclear);
    if (!r || PQresultStatus(r.get()) != want) {
      FError = FPath + ": " + oneLine(PQerrorMessage(conn.get()));
      return TResult(nullptr, PQclear);
    }
    return r;
  };
  // One read-only snapshot: the version, the columns and the units agree.
  if (!exec("BEGIN TRANSACTION ISOLATION LEVEL REPEATABLE READ READ ONLY", PGRES_COMMAND_OK)) return false;
  TResult tables = exec(
      "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() AND table_name IN "
      "('units', 'schema_version')",
      PGRES_TUPLES_OK);
  if (!tables) return false;
  if (PQntuples(tables.get()) != 2) {
    FError = FPath + " holds no records of qvtune (no tables 'units' and 'schema_version').";
    return false;
  }
  TResult version = exec("SELECT version FROM schema_version", PGRES_TUPLES_OK);
  if (!version) return false;
  if (PQntuples(version.get()) >= 1 && !PQgetisnull(version.get(), 0, 0))
    FVersion = std::atoi(PQgetvalue(version.get(), 0, 0));
  FError = VersionProblem(FPath, FVersion);
  if (!FError.empty()) return false;
  TResult columns = exec(
      "SELECT column_name FROM information_schema.columns WHERE table_schema = current_schema() AND table_name = "
      "'units'",
      PGRES_TUPLES_OK);
  if (!columns) return false;
  std::set<std::string> present;
  for (int i = 0; i < PQntuples(columns.get()); ++i) present.insert(PQgetvalue(columns.get(), i, 0));
  const std::string sql = SelectUnits(present, FPath, FError);
  if (sql.empty()) return false;
  TResult rows = exec(sql, PGRES_TUPLES_OK);
  if (!rows) return false;
  const int n = PQntuples(rows.get());
  FUnits.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    TUnit u;
    if (!FillUnit(TPgRow{rows.get(), i}, u)) {
      ++FSkipped;
      continue;
    }
    FUnits.push_back(std::move(u));
  }
  exec("COMMIT", PGRES_COMMAND_OK);
  SortByTime(FUnits);
  return true;
}

bool THistory::Load(const std::string& path) {
  if (IsServerConninfo(path)) return LoadServer(path);
  FPath = path;
  FError.clear();
  FSkipped = 0;
  FVersion = 0;
  FUnits.clear();
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (!fs::exists(st)) {
    FError = "There is no records file at " + path + ".";
    return false;
  }
  if (fs::is_directory(st)) {
    FError = path + " is a folder, not a records file.";
    return false;
  }
  if (fs::file_size(path, ec) == 0) {
    FError = path + " is empty: no unit has been recorded in it.";
    return false;
  }

  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  TDb db(raw);
  if (rc != SQLITE_OK) {
    FError = Failure(path, raw, rc);
    return false;
  }
  // A writer holds its lock for a record's time only.
  sqlite3_busy_timeout(db.get(), 2000);

  auto prepare = [&](const std::string& sql, TStmt& out) {
    sqlite3_stmt* s = nullptr;
    const int r = sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &s, nullptr);
    out.reset(s);
    return r;
  };

  // The tables there are: the first read of the file, where a file that is
  // no database shows itself.
  TStmt stmt;
  std::set<std::string> tables;
  rc = prepare("SELECT name FROM sqlite_master WHERE type = 'table'", stmt);
  if (rc == SQLITE_OK)
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) tables.insert(Text(stmt.get(), 0));
  if (rc != SQLITE_DONE) {
    FError = Failure(path, db.get(), rc);
    return false;
  }
  if (!tables.count("units") || !tables.count("schema_version")) {
    FError = path + " is a database but not a records file of qvtune (it has no table '" +
             (tables.count("units") ? "schema_version" : "units") + "').";
    return false;
  }

  rc = prepare("SELECT version FROM schema_version", stmt);
  if (rc == SQLITE_OK && (rc = sqlite3_step(stmt.get())) == SQLITE_ROW &&
      sqlite3_column_type(stmt.get(), 0) == SQLITE_INTEGER) {
    FVersion = sqlite3_column_int(stmt.get(), 0);
  } else if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE) {
    FError = Failure(path, db.get(), rc);
    return false;
  }
  FError = VersionProblem(path, FVersion);
  if (!FError.empty()) return false;

  std::set<std::string> present;
  rc = prepare("PRAGMA table_info(units)", stmt);
  if (rc == SQLITE_OK)
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) present.insert(Text(stmt.get(), 1));
  if (rc != SQLITE_DONE) {
    FError = Failure(path, db.get(), rc);
    return false;
  }
  const std::string sql = SelectUnits(present, path, FError);
  if (sql.empty()) return false;
  rc = prepare(sql, stmt);
  sqlite3_stmt* s = stmt.get();
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    if ((rc = sqlite3_step(s)) != SQLITE_ROW) break;
    TUnit u;
    if (!FillUnit(TSqliteRow{s}, u)) {
      ++FSkipped;
      continue;
    }
    FUnits.push_back(std::move(u));
  }
  if (rc != SQLITE_DONE) {
    FError = Failure(path, db.get(), rc);
    FUnits.clear();
    return false;
  }
  SortByTime(FUnits);
  return true;
}

void THistory::Assign(std::vector<TUnit> units) {
  FUnits = std::move(units);
  SortByTime(FUnits);
}

std::vector<std::string> THistory::Stations() const {
  std::set<std::string> set;
  for (const TUnit& u : FUnits) set.insert(u.Station);
  return {set.begin(), set.end()};
}

bool TFilter::Accepts(const TUnit& u) const {
  if (!Station.empty() && u.Station != Station) return false;
  if (!FromDay.empty() && u.TimeUtc.compare(0, 10, FromDay) < 0) return false;
  if (!ToDay.empty() && u.TimeUtc.compare(0, 10, ToDay) > 0) return false;
  return true;
}

std::optional<double> TGroupFigures::Yield() const {
  const int tried = Success + Failed + Aborted + Other;
  if (tried == 0) return std::nullopt;
  return static_cast<double>(Success) / tried;
}

std::optional<double> TGroupFigures::RssiMean() const {
  if (RssiCount == 0) return std::nullopt;
  return RssiSum / RssiCount;
}

std::optional<double> TGroupFigures::AfcSpreadMean() const {
  if (AfcSpreadCount == 0) return std::nullopt;
  return AfcSpreadSum / AfcSpreadCount;
}

std::string TGroupFigures::TopReason() const {
  const auto top = std::max_element(Reasons.begin(), Reasons.end(),
                                    [](const auto& a, const auto& b) { return a.second < b.second; });
  return top == Reasons.end() ? std::string() : top->first;
}

std::string TGoldenHealth::Warning() const {
  if (!Drifted) return {};
  const TGoldenPoint& big = Points[static_cast<size_t>(Largest)];
  const TGoldenPoint& first = Points[static_cast<size_t>(FirstOver)];
  std::string text = "Golden reference " + GoldenId + " (" + Side + ") has drifted by " + Number(big.Shift, 1) +
                     " steps from its baseline " + Plain(Baseline, 1) + " (threshold " + Plain(Threshold, 1) +
                     "): beyond the threshold from unit " + std::to_string(first.Unit) + " on " +
                     first.TimeUtc.substr(0, 10) + " " + first.TimeUtc.substr(11, 5) + " UTC";
  const TGoldenPoint& last = Points.back();
  text += ", now " + Number(last.Shift, 1) + ".";
  return text;
}

std::string TGoldenHealth::Summary() const {
  std::string text = GoldenId + " (" + Side + "): " + std::to_string(Units) + " units, ";
  if (!BaselineReady) return text + "baseline not yet set";
  text += "baseline " + Plain(Baseline, 1);
  if (!Points.empty()) text += ", now " + Number(Points.back().Shift, 1) + " steps";
  return text + (Drifted ? ", DRIFTED" : "");
}

std::vector<TGoldenHealth> GoldenHealth(const std::vector<TUnit>& units, const TGoldenOptions& options) {
  std::map<std::string, std::vector<const TUnit*>> byGolden;
  for (const TUnit& u : units) {
    if (!u.GoldenId.empty() && (u.ResultOffset || u.StoredOffset)) byGolden[u.GoldenId].push_back(&u);
  }
  const size_t baseUnits = static_cast<size_t>(std::max(1, options.BaselineUnits));
  const size_t window = static_cast<size_t>(std::max(1, options.WindowUnits));
  std::vector<TGoldenHealth> list;
  for (const auto& [id, golden] : byGolden) {
    TGoldenHealth h;
    h.GoldenId = id;
    h.Side = golden.back()->Golden;
    h.Units = static_cast<int>(golden.size());
    h.Threshold = options.Threshold;
    std::vector<double> sum(golden.size() + 1, 0.0);
    for (size_t i = 0; i < golden.size(); ++i) {
      const TUnit& u = *golden[i];
      sum[i + 1] = sum[i] + (u.ResultOffset ? *u.ResultOffset : *u.StoredOffset);
    }
    h.BaselineReady = golden.size() >= baseUnits;
    if (h.BaselineReady) {
      h.Baseline = sum[baseUnits] / static_cast<double>(baseUnits);
      for (size_t i = baseUnits + window - 1; i < golden.size(); ++i) {
        TGoldenPoint p;
        p.Unit = static_cast<int>(i + 1);
        p.TimeMs = golden[i]->TimeMs;
        p.TimeUtc = golden[i]->TimeUtc;
        p.RunningMean = (sum[i + 1] - sum[i + 1 - window]) / static_cast<double>(window);
        p.Shift = p.RunningMean - h.Baseline;
        p.Over = std::fabs(p.Shift) > options.Threshold;
        const int at = static_cast<int>(h.Points.size());
        if (p.Over && h.FirstOver < 0) h.FirstOver = at;
        if (h.Largest < 0 || std::fabs(p.Shift) > std::fabs(h.Points[static_cast<size_t>(h.Largest)].Shift))
          h.Largest = at;
        h.Points.push_back(std::move(p));
      }
    }
    h.Drifted = h.FirstOver >= 0;
    list.push_back(std::move(h));
  }
  return list;
}

std::vector<const TGoldenHealth*> TFigures::Drifted() const {
  std::vector<const TGoldenHealth*> list;
  for (const TGoldenHealth& h : Golden)
    if (h.Drifted) list.push_back(&h);
  return list;
}

TFigures ComputeFigures(const THistory& history, const TFilter& filter, const TGoldenOptions& options) {
  TFigures f;
  std::map<std::string, TGroupFigures> days, stations;
  std::map<std::string, int> reasons;
  std::set<std::string> goldenShown;
  for (const TUnit& u : history.Units()) {
    if (!filter.Accepts(u)) continue;
    f.Shown.push_back(&u);
    if (u.StoredOffset) ++f.StoredValues[*u.StoredOffset];
    Add(f.Total, u);
    Add(days[u.Day()], u);
    Add(stations[u.Station], u);
    if (!u.GoldenId.empty()) goldenShown.insert(u.GoldenId);
  }
  f.Days = Listed(days);
  f.Stations = Listed(stations);
  f.Reasons.assign(f.Total.Reasons.begin(), f.Total.Reasons.end());
  std::stable_sort(f.Reasons.begin(), f.Reasons.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  for (TGoldenHealth& h : GoldenHealth(history.Units(), options))
    if (goldenShown.count(h.GoldenId)) f.Golden.push_back(std::move(h));
  return f;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string q = "\"";
  for (char c : text) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + '"';
}

namespace {

template <class TFields>
void Row(std::ostream& out, const TFields& fields) {
  bool first = true;
  for (const std::string& f : fields) {
    if (!first) out << ',';
    out << CsvField(f);
    first = false;
  }
  out << "\r\n";
}

void Row(std::ostream& out, std::initializer_list<std::string> fields) {
  Row<std::initializer_list<std::string>>(out, fields);
}

}  // namespace

void WriteRecordsCsv(std::ostream& out, const std::vector<const TUnit*>& units) {
  std::vector<std::string> fields{"id"};
  for (const TColumnInfo& c : kColumns)
    if (Listed(c)) fields.push_back(c.Name);
  Row(out, fields);
  for (const TUnit* u : units) {
    fields = {std::to_string(u->Id)};
    for (const TColumnInfo& c : kColumns) {
      if (!Listed(c)) continue;
      const TValue v = records::ColumnValue(*u, c);
      if (const auto* n = std::get_if<int64_t>(&v))
        fields.push_back(std::to_string(*n));
      else if (const auto* d = std::get_if<double>(&v))
        fields.push_back(Exact(*d));
      else if (const auto* t = std::get_if<std::string>(&v))
        fields.push_back(*t);
      else
        fields.emplace_back();
    }
    Row(out, fields);
  }
}

void WriteGroupsCsv(std::ostream& out, const char* keyName, const std::vector<TGroupFigures>& groups) {
  Row(out, {keyName, "units", "success", "failed", "aborted", "analysis", "other", "yield_percent", "rssi_mean",
            "afc_spread_mean", "top_reason", "reasons"});
  for (const TGroupFigures& g : groups) {
    std::string reasons;
    for (const auto& [reason, count] : g.Reasons)
      reasons += (reasons.empty() ? "" : "; ") + reason + ": " + std::to_string(count);
    const std::optional<double> yield = g.Yield();
    const std::optional<double> rssi = g.RssiMean(), afc = g.AfcSpreadMean();
    Row(out,
        {g.Key, std::to_string(g.Units), std::to_string(g.Success), std::to_string(g.Failed), std::to_string(g.Aborted),
         std::to_string(g.Analysis), std::to_string(g.Other), yield ? Plain(*yield * 100, 1) : std::string(),
         rssi ? Plain(*rssi, 2) : std::string(), afc ? Plain(*afc, 2) : std::string(), g.TopReason(), reasons});
  }
}

void WriteGoldenCsv(std::ostream& out, const std::vector<TGoldenHealth>& golden) {
  Row(out, {"golden_id", "side", "units", "baseline", "shift_now", "largest_shift", "threshold", "drifted",
            "first_over_unit", "first_over_time_utc"});
  for (const TGoldenHealth& h : golden) {
    const bool points = !h.Points.empty();
    Row(out, {h.GoldenId, h.Side, std::to_string(h.Units), h.BaselineReady ? Plain(h.Baseline, 2) : std::string(),
              points ? Plain(h.Points.back().Shift, 2) : std::string(),
              points ? Plain(h.Points[static_cast<size_t>(h.Largest)].Shift, 2) : std::string(), Plain(h.Threshold, 1),
              h.Drifted ? "yes" : "no",
              h.Drifted ? std::to_string(h.Points[static_cast<size_t>(h.FirstOver)].Unit) : std::string(),
              h.Drifted ? h.Points[static_cast<size_t>(h.FirstOver)].TimeUtc : std::string()});
  }
}

}  // namespace qv
