#include "stats/History.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <set>
#include <system_error>

#include "records/Files.h"
#include "records/Record.h"
#include "records/Sql.h"
#include "records/Store.h"
#include "records/Zstd.h"

namespace qv {

namespace {

namespace fs = std::filesystem;

using records::IntOf;
using records::kColumns;
using records::RealOf;
using records::TColumnInfo;
using records::TextOf;
using records::TRow;
using records::TValue;

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

// A path in an SQLite URI: everything but the plain characters escaped.
std::string UriPath(const std::string& path) {
  std::string out;
  for (const char c : path) {
    const auto b = static_cast<unsigned char>(c);
    if (std::isalnum(b) || c == '/' || c == '.' || c == '-' || c == '_' || c == '~') {
      out += c;
    } else {
      char esc[4];
      std::snprintf(esc, sizeof esc, "%%%02X", b);
      out += esc;
    }
  }
  return out;
}

std::string Text(sqlite3_stmt* s, int col) {
  const unsigned char* t = sqlite3_column_text(s, col);
  return t != nullptr ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s, col)))
                      : std::string();
}

// A unit's outcome counted into a group, n times.
void AddOutcome(TGroupFigures& g, TUnitOutcome kind, int n) {
  g.Units += n;
  switch (kind) {
    case TUnitOutcome::uoSuccess:
      g.Success += n;
      break;
    case TUnitOutcome::uoFailed:
      g.Failed += n;
      break;
    case TUnitOutcome::uoAborted:
      g.Aborted += n;
      break;
    case TUnitOutcome::uoAnalysis:
      g.Analysis += n;
      break;
    case TUnitOutcome::uoOther:
      g.Other += n;
      break;
  }
}

void Add(TGroupFigures& g, const TUnit& u) {
  AddOutcome(g, u.Kind, 1);
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

// The columns a listing reads: all but those read on demand.
bool Listed(const TColumnInfo& c) {
  return !c.OnDemand;
}

// A row of a listing: the local key, then the listed columns in the
// table's order. False for a unit whose time does not read.
bool FillUnit(const TRow& row, TUnit& u) {
  u.Id = IntOf(row[0]).value_or(0);
  size_t col = 1;
  for (const TColumnInfo& c : kColumns) {
    if (!Listed(c)) continue;
    const TValue& v = row[col++];
    if (std::holds_alternative<std::monostate>(v) && c.NotNull)
      records::SetColumnValue(u, c, std::string());
    else
      records::SetColumnValue(u, c, v);
  }
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
    return where + " holds records of a schema version newer than this qvstats reads (" + std::to_string(version) +
           "; it reads versions " + std::to_string(records::kFirstSchemaVersion) + " to " +
           std::to_string(records::kSchemaVersion) +
           "): use the qvstats of the same release as the program that wrote it.";
  if (version < records::kFirstSchemaVersion) return where + " is damaged: it has no valid schema version.";
  return {};
}

// The listed columns (the local key first), those an older schema lacks as
// NULL; empty, with the reason in error, when a column every version has
// is missing.
std::string ListedColumns(const std::set<std::string>& present, const std::string& where, std::string& error) {
  std::string sql = "id";
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
  return sql;
}

// The figures of units in memory, as the database's counts give them.
TFigures RowsFigures(const std::vector<TUnit>& units, const TFilter& filter, const TGoldenOptions& options) {
  TFigures f;
  std::map<std::string, TGroupFigures> days, hours, stations;
  std::set<std::string> goldenShown;
  for (const TUnit& u : units) {
    if (!filter.Accepts(u)) continue;
    if (u.StoredOffset) ++f.StoredValues[*u.StoredOffset];
    Add(f.Total, u);
    Add(days[u.Day()], u);
    Add(hours[u.Day() + "T" + u.TimeUtc.substr(11, 2)], u);
    Add(stations[u.Station], u);
    if (!u.GoldenId.empty()) goldenShown.insert(u.GoldenId);
  }
  f.Days = Listed(days);
  if (f.Days.size() == 1) {
    f.Hours = Listed(hours);
    for (TGroupFigures& g : f.Hours) g.Reasons.clear();
  }
  f.Stations = Listed(stations);
  for (TGoldenHealth& h : GoldenHealth(units, options))
    if (goldenShown.count(h.GoldenId)) f.Golden.push_back(std::move(h));
  return f;
}

// The most frequent reasons first, equal counts by name.
void SortReasons(TFigures& f) {
  f.Reasons.assign(f.Total.Reasons.begin(), f.Total.Reasons.end());
  std::stable_sort(f.Reasons.begin(), f.Reasons.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
}

// A point of a golden's chart.
TGoldenPoint Point(const std::string& time, double mean, double baseline, double threshold, int unit = 0) {
  TGoldenPoint p;
  p.Unit = unit;
  p.TimeUtc = time;
  p.TimeMs = ParseUtcMs(time).value_or(0);
  p.RunningMean = mean;
  p.Shift = mean - baseline;
  p.Over = std::fabs(p.Shift) > threshold;
  return p;
}

// FirstOver and Largest of points in time order, as the rows give them:
// the first beyond the threshold, the first of the largest shift.
void Judge(TGoldenHealth& h) {
  h.FirstOver = h.Largest = -1;
  for (size_t i = 0; i < h.Points.size(); ++i) {
    const TGoldenPoint& p = h.Points[i];
    if (p.Over && h.FirstOver < 0) h.FirstOver = static_cast<int>(i);
    if (h.Largest < 0 || std::fabs(p.Shift) > std::fabs(h.Points[static_cast<size_t>(h.Largest)].Shift))
      h.Largest = static_cast<int>(i);
  }
  h.Drifted = h.FirstOver >= 0;
}

}  // namespace

std::string FailureReason(const TUnit& u) {
  return records::FailureReason(u);
}

bool IsServerConninfo(const std::string& text) {
  return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0 ||
         (text.find('=') != std::string::npos &&
          (text.find("dbname=") != std::string::npos || text.find("host=") != std::string::npos));
}

std::vector<std::string> AddressForms(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const std::string given = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  std::string hex = given;
  if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.erase(0, 2);
  const bool digits = !hex.empty() && hex.size() <= 8 && std::all_of(hex.begin(), hex.end(), [](char c) {
    return std::isxdigit(static_cast<unsigned char>(c));
  });
  std::vector<std::string> forms{given};
  if (digits) {
    std::string written = "0x" + std::string(8 - hex.size(), '0');
    for (char c : hex) written += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (written != given) forms.push_back(written);
  }
  return forms;
}

bool TFilter::Accepts(const TUnit& u) const {
  if (!Station.empty() && u.Station != Station) return false;
  if (!FromDay.empty() && u.TimeUtc.compare(0, 10, FromDay) < 0) return false;
  if (!ToDay.empty() && u.TimeUtc.compare(0, 10, ToDay) > 0) return false;
  return true;
}

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool TRecordQuery::Accepts(const TUnit& u) const {
  if (!Filter.Accepts(u)) return false;
  if (!Firmware.empty() && FirmwareInputsOf(u, Firmware).empty()) return false;
  if (Address.empty()) return true;
  const std::vector<std::string> forms = AddressForms(Address);
  return std::find(forms.begin(), forms.end(), u.HandheldMac) != forms.end();
}

std::vector<std::string> FirmwareInputsOf(const records::TUnitRecord& unit, const std::string& sha256) {
  std::vector<std::string> inputs;
  const std::string want = Lower(sha256);
  for (size_t i = 0; i < std::size(records::kFirmwareFields); ++i)
    if (!want.empty() && unit.*records::kFirmwareFields[i].Sha256 == want) inputs.emplace_back(kFirmwareInputLabels[i]);
  return inputs;
}

// ---- the database's side ----

struct THistory::TDatabase {
  std::unique_ptr<records::TSql> Sql;
  sqlite3* Sqlite = nullptr;  // the same connection, for SQLite's own errors
  std::set<std::string> Columns;
  std::string Listed;  // the columns of a listing
  // The units of each day of the filter last asked for.
  TFilter DaysOf;
  std::vector<std::pair<std::string, int64_t>> DayList;
  bool DaysRead = false;
  // Every golden reference's health but for its threshold, for the
  // baseline it was taken with, and as judged for the last threshold.
  struct TBase;
  int BasesFor = -1;
  std::vector<TBase> Bases;
  double JudgedFor = -1;
  std::vector<TGoldenHealth> Golden;

  const std::vector<std::pair<std::string, int64_t>>& DayCounts(const TFilter& f) {
    if (DaysRead && DaysOf.FromDay == f.FromDay && DaysOf.ToDay == f.ToDay && DaysOf.Station == f.Station)
      return DayList;
    std::vector<TValue> params;
    DayList.clear();
    for (const TRow& r : Rows("SELECT day, sum(units) FROM counts_day WHERE " + Days(f, params) +
                                  " AND day > '' GROUP BY day ORDER BY day",
                              params))
      DayList.emplace_back(TextOf(r[0]), IntOf(r[1]).value_or(0));
    DaysOf = f;
    DaysRead = true;
    return DayList;
  }

  // One snapshot for the queries between Begin and End.
  void Begin() { Sql->Exec(Sql->Postgres() ? "BEGIN TRANSACTION ISOLATION LEVEL REPEATABLE READ READ ONLY" : "BEGIN"); }
  void End() { Sql->Exec("COMMIT"); }

  std::vector<TRow> Rows(const std::string& sql, const std::vector<TValue>& params = {}) const {
    std::vector<TRow> rows;
    Sql->Rows(sql, params, rows);
    return rows;
  }

  // The days of the filter over a table of counts (its day column named
  // day), and its station.
  static std::string Days(const TFilter& f, std::vector<TValue>& params, const char* day = "day") {
    params.push_back(f.FromDay.empty() ? std::string("0000-00-00") : f.FromDay);
    params.push_back(f.ToDay.empty() ? std::string("9999-99-99") : f.ToDay);
    std::string sql = std::string(day) + " >= ? AND " + day + " <= ?";
    if (!f.Station.empty()) {
      sql += " AND station = ?";
      params.push_back(f.Station);
    }
    return sql;
  }

  // The units of a query, by their time (every text of a day sorts after
  // the day and before "~").
  // One lower bound, the later of the filter's and from: SQLite takes the
  // first of two for its index range, whichever is the tighter.
  static std::string Units(const TRecordQuery& q, std::vector<TValue>& params, const std::string& from = {}) {
    const TFilter& f = q.Filter;
    params.push_back(std::max(f.FromDay.empty() ? std::string("0000-00-00") : f.FromDay, from));
    params.push_back((f.ToDay.empty() ? std::string("9999-99-99") : f.ToDay) + "~");
    std::string sql = "time_utc >= ? AND time_utc <= ?";
    if (!f.Station.empty()) {
      sql += " AND station = ?";
      params.push_back(f.Station);
    }
    if (!q.Address.empty()) {
      const std::vector<std::string> forms = AddressForms(q.Address);
      sql += " AND handheld_mac IN (";
      for (size_t i = 0; i < forms.size(); ++i) {
        sql += i == 0 ? "?" : ", ?";
        params.emplace_back(forms[i]);
      }
      sql += ")";
    }
    if (!q.Firmware.empty()) {
      // The tools write the hash in lower case.
      std::string any;
      for (const records::TFirmwareFields& input : records::kFirmwareFields) {
        any += std::string(any.empty() ? "" : " OR ") + records::ColumnOf(input.Sha256)->Name + " = ?";
        params.emplace_back(Lower(q.Firmware));
      }
      sql += " AND (" + any + ")";
    }
    return sql;
  }

  // Counts of outcome and reason, with the sums of the measurements, by key.
  void Groups(const std::string& key, const std::string& table, const std::string& where,
              const std::vector<TValue>& params, bool reasons, std::map<std::string, TGroupFigures>& groups) const {
    const std::string reason = reasons ? "reason" : "''";
    for (const TRow& r : Rows("SELECT " + key + ", outcome, " + reason +
                                  ", sum(units), sum(rssi_sum), sum(rssi_n), sum(afc_sum), sum(afc_n) FROM " + table +
                                  " WHERE " + where + " GROUP BY " + key + ", outcome" + (reasons ? ", reason" : ""),
                              params)) {
      TGroupFigures& g = groups[TextOf(r[0])];
      const int n = static_cast<int>(IntOf(r[3]).value_or(0));
      AddOutcome(g, OutcomeOf(TextOf(r[1])), n);
      if (const std::string why = TextOf(r[2]); !why.empty()) g.Reasons[why] += n;
      g.RssiSum += RealOf(r[4]).value_or(0);
      g.RssiCount += static_cast<int>(IntOf(r[5]).value_or(0));
      g.AfcSpreadSum += RealOf(r[6]).value_or(0);
      g.AfcSpreadCount += static_cast<int>(IntOf(r[7]).value_or(0));
    }
  }

  // The golden reference's valued units (golden_mean IS NOT NULL) in time
  // order, from the given one on.
  static constexpr const char* kValued = " FROM units WHERE golden_id = ? AND golden_mean IS NOT NULL";
  // Row values: both databases seek the index to them.
  static constexpr const char* kFrom = " AND (time_utc, id) >= (?, ?)";

  // A golden reference's health but for its threshold, from its running
  // means and the index that keeps them in time order: of a long history,
  // samples for its chart with the largest shift and the last; its units
  // after the baseline and the first window start at (T0, Id0).
  struct TBase {
    TGoldenHealth Health;
    bool All = true;  // every point is there
    std::string T0;
    int64_t Id0 = 0;
  };

  // The unit's number: the valued units up to it, those of the days before
  // from their counts.
  int NumberOf(const std::string& id, const std::string& time, int64_t uid) const {
    const std::string day = time.substr(0, 10);
    const std::vector<TRow> before =
        Rows("SELECT sum(units) FROM golden_day WHERE golden_id = ? AND day < ?", {id, day});
    const std::vector<TRow> that =
        Rows(std::string("SELECT count(*)") + kValued + " AND time_utc >= ? AND (time_utc, id) <= (?, ?)",
             {id, day, time, uid});
    return static_cast<int>((before.empty() ? 0 : IntOf(before[0][0]).value_or(0)) +
                            (that.empty() ? 0 : IntOf(that[0][0]).value_or(0)));
  }

  TBase Base(const std::string& id, int units, int baselineUnits) const {
    constexpr double kNone = HUGE_VAL;  // no threshold yet
    TBase base;
    TGoldenHealth& h = base.Health;
    h.GoldenId = id;
    h.Units = units;
    const std::vector<TValue> golden{id};
    std::vector<TRow> rows =
        Rows(std::string("SELECT golden") + kValued + " ORDER BY time_utc DESC, id DESC LIMIT 1", golden);
    if (!rows.empty()) h.Side = TextOf(rows[0][0]);
    const int first = std::max(1, baselineUnits);
    h.BaselineReady = units >= first;
    if (!h.BaselineReady) return base;
    int64_t sum = 0;
    for (const TRow& r : Rows(std::string("SELECT coalesce(result_offset, stored_offset)") + kValued +
                                  " ORDER BY time_utc, id LIMIT " + std::to_string(first),
                              golden))
      sum += IntOf(r[0]).value_or(0);
    h.Baseline = static_cast<double>(sum) / first;
    const int start = first + records::kGoldenWindow - 1;  // the first point, from 0
    if (units <= start) return base;
    const int points = units - start;
    if (points <= TGoldenHealth::kAllPoints) {
      int unit = start;
      for (const TRow& r :
           Rows(std::string("SELECT time_utc, golden_mean") + kValued + " ORDER BY time_utc, id LIMIT " +
                    std::to_string(points) + " OFFSET " + std::to_string(start),
                golden))
        h.Points.push_back(Point(TextOf(r[0]), RealOf(r[1]).value_or(0), h.Baseline, kNone, ++unit));
      return base;
    }
    base.All = false;
    rows = Rows(
        std::string("SELECT time_utc, id") + kValued + " ORDER BY time_utc, id LIMIT 1 OFFSET " + std::to_string(start),
        golden);
    if (rows.empty()) return base;
    const std::string t0 = base.T0 = TextOf(rows[0][0]);
    const int64_t id0 = base.Id0 = IntOf(rows[0][1]).value_or(0);
    auto at = [&](const TRow& r, int unit) {
      return Point(TextOf(r[0]), RealOf(r[2]).value_or(0), h.Baseline, kNone, unit);
    };
    // The last, and the extremes: the first unit of each extreme mean
    // after the baseline and the first window (those before number fewer
    // than start, hence the limit).
    std::vector<TGoldenPoint> special;
    rows = Rows(std::string("SELECT time_utc, id, golden_mean") + kValued + " ORDER BY time_utc DESC, id DESC LIMIT 1",
                golden);
    if (rows.empty()) return base;
    special.push_back(at(rows[0], units));
    std::optional<TGoldenPoint> largest;
    for (const char* order : {"DESC", "ASC"}) {
      for (const TRow& r : Rows(std::string("SELECT golden_mean, time_utc, id") + kValued + " ORDER BY golden_mean " +
                                    order + " LIMIT " + std::to_string(start + 1),
                                golden)) {
        const std::string t = TextOf(r[1]);
        const int64_t uid = IntOf(r[2]).value_or(0);
        if (t < t0 || (t == t0 && uid < id0)) continue;
        const std::vector<TRow> e = Rows(std::string("SELECT time_utc, id, golden_mean") + kValued +
                                             " AND golden_mean = ?" + kFrom + " ORDER BY time_utc, id LIMIT 1",
                                         {id, r[0], t0, id0});
        if (e.empty()) break;
        // Its number is told nowhere, and costs a count of all before it.
        TGoldenPoint p = at(e[0], 0);
        if (!largest || std::fabs(p.Shift) > std::fabs(largest->Shift) ||
            (std::fabs(p.Shift) == std::fabs(largest->Shift) && p.TimeUtc < largest->TimeUtc))
          largest = p;
        break;
      }
    }
    if (largest) special.push_back(*largest);
    // Samples across the points, enough for a chart. Where the units span
    // more hours than the chart has samples (a golden of months, whose
    // units a seek for each sample would find each with a read of the
    // disk, in a file far larger than the cache): the mean at the end of
    // every so many of its hours, read in one pass over its hours.
    // (The last unit of the first unit's hour is that unit or a later one.)
    const size_t samples = TGoldenHealth::kAllPoints / 4;
    rows = Rows("SELECT last_time, last_mean FROM golden_hour WHERE golden_id = ? AND hour >= ? ORDER BY hour",
                {id, t0.substr(0, 13)});
    if (rows.size() >= samples) {
      const size_t every = (rows.size() + samples - 1) / samples;
      for (size_t k = 0; k < rows.size(); k += every)
        h.Points.push_back(Point(TextOf(rows[k][0]), RealOf(rows[k][1]).value_or(0), h.Baseline, kNone));
      for (const TGoldenPoint& p : special) Place(h.Points, p);
      return base;
    }
    // Else its units lie close together: the latest unit before each of
    // even times across them.
    const int64_t a = ParseUtcMs(t0).value_or(0), b = special.front().TimeMs;
    std::string times;
    for (size_t i = 0; i < samples; ++i) {
      const int64_t t = a + (b - a) * static_cast<int64_t>(i) / static_cast<int64_t>(samples - 1);
      times += std::string(i == 0 ? "" : ", ") + "('" +
               records::UtcTimestamp(std::chrono::system_clock::time_point(std::chrono::milliseconds(t))) + "')";
    }
    const std::string latest = kValued + std::string(" AND time_utc <= s.t ORDER BY time_utc DESC, id DESC LIMIT 1");
    for (const TRow& r : Rows("WITH s(t) AS (VALUES " + times + ") SELECT (SELECT time_utc" + latest +
                                  "), (SELECT golden_mean" + latest + ") FROM s ORDER BY s.t",
                              {id, id})) {
      if (std::holds_alternative<std::monostate>(r[0])) continue;
      TGoldenPoint p = Point(TextOf(r[0]), RealOf(r[1]).value_or(0), h.Baseline, kNone);
      if (p.TimeUtc < t0 || (!h.Points.empty() && h.Points.back().TimeUtc == p.TimeUtc)) continue;
      h.Points.push_back(std::move(p));
    }
    for (const TGoldenPoint& p : special) Place(h.Points, p);
    return base;
  }

  // A unit judged takes the place of a sample at its time.
  static void Place(std::vector<TGoldenPoint>& points, const TGoldenPoint& p) {
    auto it = std::lower_bound(points.begin(), points.end(), p,
                               [](const TGoldenPoint& x, const TGoldenPoint& y) { return x.TimeUtc < y.TimeUtc; });
    if (it != points.end() && it->TimeUtc == p.TimeUtc)
      *it = p;
    else
      points.insert(it, p);
  }

  // The health for a threshold: of a long history, the first unit beyond
  // it found on the first day whose bounds reach beyond it, asked with a
  // hair's margin and judged as the rows are.
  TGoldenHealth Judged(const TBase& base, double threshold) const {
    TGoldenHealth h = base.Health;
    h.Threshold = threshold;
    for (TGoldenPoint& p : h.Points) p.Over = std::fabs(p.Shift) > threshold;
    Judge(h);
    if (base.All || !h.Drifted) return h;
    const double hi = h.Baseline + threshold - 1e-9, lo = h.Baseline - threshold + 1e-9;
    for (const TRow& d : Rows("SELECT day FROM golden_day WHERE golden_id = ? AND day >= ? AND (mean_hi > ? OR "
                              "mean_lo < ?) ORDER BY golden_id, day",
                              {h.GoldenId, base.T0.substr(0, 10), hi, lo})) {
      const std::string day = TextOf(d[0]);
      for (const TRow& r :
           Rows(std::string("SELECT time_utc, id, golden_mean") + kValued +
                    " AND (golden_mean > ? OR golden_mean < ?)" + kFrom + " AND time_utc < ? ORDER BY time_utc, id",
                {h.GoldenId, hi, lo, std::max(base.T0, day), base.Id0, day + "~"})) {
        TGoldenPoint p = Point(TextOf(r[0]), RealOf(r[2]).value_or(0), h.Baseline, threshold);
        if (!p.Over) continue;
        p.Unit = NumberOf(h.GoldenId, p.TimeUtc, IntOf(r[1]).value_or(0));
        Place(h.Points, p);
        Judge(h);
        return h;
      }
    }
    return h;
  }
};

THistory::THistory() = default;
THistory::~THistory() = default;
THistory::THistory(THistory&&) noexcept = default;
THistory& THistory::operator=(THistory&&) noexcept = default;

void THistory::Clear() {
  FError.clear();
  FNote.clear();
  FSkipped = 0;
  FVersion = 0;
  FUnitCount = 0;
  FStations.clear();
  FFirstDay.clear();
  FLastDay.clear();
  FInMemory = false;
  FUnits.clear();
  FDb.reset();
  FAll.clear();
  FAllRead = false;
}

bool THistory::LoadServer(const std::string& conninfo) {
  return ReadServer(conninfo, true);
}

bool THistory::ReadServer(const std::string& conninfo, bool upgrade) {
  Clear();
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
      if (!blank)
        t += *p;
      else if (!t.empty() && t.back() != ' ')
        t += ' ';
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
  FDb = std::make_unique<TDatabase>();
  FDb->Sql = records::PostgresSql(conn.get(), false);
  FDb->Columns = present;
  const bool current = FVersion == records::kSchemaVersion && present.count("record_version") &&
                       FDb->Rows("SELECT 1 FROM units WHERE record_version IS NULL LIMIT 1").empty();
  if (!current && upgrade) {
    exec("COMMIT", PGRES_COMMAND_OK);
    FDb.reset();
    conn.reset();
    std::string why;
    if (records::PostgresStore(conninfo)->Upgrade(why, Progress)) return ReadServer(conninfo, false);
    if (!ReadServer(conninfo, false)) return false;
    FNote += (FNote.empty() ? "" : " ") + FPath + " holds records of schema version " + std::to_string(FVersion) +
             " that could not be brought to version " + std::to_string(records::kSchemaVersion) + " (" + why +
             "): they are read as they stand, all into memory.";
    return true;
  }
  // The units themselves are read in the snapshot of the checks; the
  // figures each in a snapshot of their own.
  if (current) exec("COMMIT", PGRES_COMMAND_OK);
  FDb->Sql = records::PostgresSql(conn.release(), true);
  const bool ok = Opened(current);
  if (FDb && !current) FDb->End();
  return ok;
}

bool THistory::Load(const std::string& path) {
  if (IsServerConninfo(path)) return LoadServer(path);
  return Read(path, true);
}

bool THistory::Read(const std::string& path, bool upgrade) {
  Clear();
  FPath = path;
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
  // SQLite would wait in open() or read() on a FIFO or a device, in the
  // file's place or in that of its write-ahead log.
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string why = records::NotAFile(path + suffix);
    if (!why.empty()) {
      FError = why + ": not a records file.";
      return false;
    }
  }
  if (fs::file_size(path, ec) == 0) {
    FError = path + " is empty: no unit has been recorded in it.";
    return false;
  }

  TDb db;
  int rc = SQLITE_OK;
  TStmt stmt;
  auto prepare = [&](const std::string& sql, TStmt& out) {
    sqlite3_stmt* s = nullptr;
    const int r = sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &s, nullptr);
    out.reset(s);
    return r;
  };
  // The tables there are: the first read of the file, where a file that is
  // no database shows itself.
  std::set<std::string> tables;
  auto open = [&](bool immutable) {
    tables.clear();
    stmt.reset();
    db.reset();
    sqlite3* raw = nullptr;
    rc = immutable ? sqlite3_open_v2(("file:" + UriPath(path) + "?immutable=1").c_str(), &raw,
                                     SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr)
                   : sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    db.reset(raw);
    if (rc != SQLITE_OK) return false;
    // A writer holds its lock for a record's time only.
    sqlite3_busy_timeout(db.get(), 2000);
    rc = prepare("SELECT name FROM sqlite_master WHERE type = 'table'", stmt);
    if (rc == SQLITE_OK)
      while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) tables.insert(Text(stmt.get(), 0));
    return rc == SQLITE_DONE;
  };
  if (!open(false)) {
    // The tools write in write-ahead-log mode, and a reader needs the log's
    // index beside the file: in a folder that cannot be written (a share,
    // an archive, a read-only disk) it cannot be made. Without a log that
    // holds anything the file alone is the whole of it, and is read as it
    // stands, without the readers' lock. A log that holds records cannot be
    // read without its index.
    const int code = rc & 0xFF;
    const bool noIndex = code == SQLITE_CANTOPEN || code == SQLITE_READONLY;
    const bool logEmpty = fs::file_size(path + "-wal", ec) == 0 || ec;
    if (noIndex && !logEmpty) {
      FError = "Cannot read " + path + ": its folder cannot be written, and records still in its write-ahead log " +
               path + "-wal need an index beside it. Copy both files to a folder that can be written.";
      return false;
    }
    if (!noIndex || !open(true)) {
      FError = Failure(path, db.get(), rc);
      return false;
    }
    FNote = path + " was read as it stands, without the readers' lock: its folder cannot be written.";
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
  stmt.reset();
  FDb = std::make_unique<TDatabase>();
  FDb->Sqlite = db.get();
  FDb->Sql = records::SqliteSql(db.release(), true);
  FDb->Columns = present;
  const bool current = FVersion == records::kSchemaVersion && present.count("record_version") &&
                       FDb->Rows("SELECT 1 FROM units WHERE record_version IS NULL LIMIT 1").empty();
  if (!current && upgrade) {
    // Brought up in place, as the next writer would; read as it stands
    // where it cannot be written.
    FDb.reset();
    std::string why;
    if (records::SqliteStore(path)->Upgrade(why, Progress)) return Read(path, false);
    if (!Read(path, false)) return false;
    FNote += (FNote.empty() ? "" : " ") + path + " holds records of schema version " + std::to_string(FVersion) +
             " that could not be brought to version " + std::to_string(records::kSchemaVersion) + " (" + why +
             "): they are read as they stand, all into memory.";
    return true;
  }
  return Opened(current);
}

bool THistory::Opened(bool current) {
  FDb->Listed = ListedColumns(FDb->Columns, FPath, FError);
  if (FDb->Listed.empty()) {
    FDb.reset();
    return false;
  }
  if (current) {
    Summarise();
    return true;
  }
  FInMemory = true;
  const bool ok = FDb->Sql->Run("SELECT " + FDb->Listed + " FROM units", {}, [&](const TRow& row) {
    TUnit u;
    if (FillUnit(row, u))
      FUnits.push_back(std::move(u));
    else
      ++FSkipped;
    return true;
  });
  if (!ok) {
    FError = FDb->Sqlite != nullptr ? Failure(FPath, FDb->Sqlite, sqlite3_errcode(FDb->Sqlite))
                                    : FPath + ": " + FDb->Sql->Error();
    FUnits.clear();
    FDb.reset();
    return false;
  }
  SortByTime(FUnits);
  Summarise();
  return true;
}

void THistory::Summarise() {
  FStations.clear();
  if (FInMemory) {
    std::set<std::string> stations;
    for (const TUnit& u : FUnits) stations.insert(u.Station);
    FStations.assign(stations.begin(), stations.end());
    FUnitCount = static_cast<int64_t>(FUnits.size());
    FFirstDay = FUnits.empty() ? std::string() : FUnits.front().Day();
    FLastDay = FUnits.empty() ? std::string() : FUnits.back().Day();
    return;
  }
  FDb->Begin();
  for (const TRow& r : FDb->Rows("SELECT DISTINCT station FROM counts_day ORDER BY station"))
    FStations.push_back(TextOf(r[0]));
  for (const TRow& r : FDb->Rows("SELECT min(day), max(day), sum(units) FROM counts_day WHERE day > ''")) {
    FFirstDay = TextOf(r[0]);
    FLastDay = TextOf(r[1]);
    FUnitCount = IntOf(r[2]).value_or(0);
  }
  for (const TRow& r : FDb->Rows("SELECT sum(units) FROM counts_day WHERE day = ''"))
    FSkipped = static_cast<int>(IntOf(r[0]).value_or(0));
  FDb->End();
}

void THistory::Assign(std::vector<TUnit> units) {
  Clear();
  FInMemory = true;
  FUnits = std::move(units);
  SortByTime(FUnits);
  Summarise();
}

TFigures THistory::Figures(const TFilter& filter, const TGoldenOptions& options) const {
  if (FInMemory || !FDb) {
    TFigures f = RowsFigures(FUnits, filter, options);
    SortReasons(f);
    return f;
  }
  TDatabase& db = *FDb;
  TFigures f;
  db.Begin();
  std::vector<TValue> params;
  const std::string where = TDatabase::Days(filter, params) + " AND day > ''";
  std::map<std::string, TGroupFigures> days, stations, hours;
  db.Groups("day", "counts_day", where, params, true, days);
  db.Groups("station", "counts_day", where, params, true, stations);
  f.Days = Listed(days);
  f.Stations = Listed(stations);
  if (f.Days.size() == 1) {
    std::vector<TValue> one{f.Days[0].Key, f.Days[0].Key + "T99"};
    std::string hour = "hour >= ? AND hour <= ?";
    if (!filter.Station.empty()) {
      hour += " AND station = ?";
      one.push_back(filter.Station);
    }
    db.Groups("hour", "counts_hour", hour, one, false, hours);
    f.Hours = Listed(hours);
  }
  for (const TRow& r :
       db.Rows("SELECT stored_offset, sum(units) FROM stored_day WHERE " + where + " GROUP BY stored_offset", params))
    f.StoredValues[static_cast<int>(IntOf(r[0]).value_or(0))] = static_cast<int>(IntOf(r[1]).value_or(0));
  std::set<std::string> shown;
  for (const TRow& r :
       db.Rows("SELECT DISTINCT golden_id FROM counts_day WHERE " + where + " AND golden_id <> ''", params))
    shown.insert(TextOf(r[0]));
  if (db.BasesFor != options.BaselineUnits) {
    db.Bases.clear();
    for (const TRow& r : db.Rows("SELECT golden_id, sum(units) FROM golden_day GROUP BY golden_id ORDER BY golden_id"))
      db.Bases.push_back(db.Base(TextOf(r[0]), static_cast<int>(IntOf(r[1]).value_or(0)), options.BaselineUnits));
    db.BasesFor = options.BaselineUnits;
    db.JudgedFor = -1;
  }
  if (db.JudgedFor != options.Threshold) {
    db.Golden.clear();
    for (const TDatabase::TBase& b : db.Bases) db.Golden.push_back(db.Judged(b, options.Threshold));
    db.JudgedFor = options.Threshold;
  }
  db.End();
  for (const TGroupFigures& d : f.Days) {
    f.Total.Units += d.Units;
    f.Total.Success += d.Success;
    f.Total.Failed += d.Failed;
    f.Total.Aborted += d.Aborted;
    f.Total.Analysis += d.Analysis;
    f.Total.Other += d.Other;
    for (const auto& [reason, n] : d.Reasons) f.Total.Reasons[reason] += n;
    f.Total.RssiSum += d.RssiSum;
    f.Total.RssiCount += d.RssiCount;
    f.Total.AfcSpreadSum += d.AfcSpreadSum;
    f.Total.AfcSpreadCount += d.AfcSpreadCount;
  }
  SortReasons(f);
  for (const TGoldenHealth& h : db.Golden)
    if (shown.count(h.GoldenId)) f.Golden.push_back(h);
  return f;
}

int64_t THistory::CountRecords(const TRecordQuery& q) const {
  if (FInMemory || !FDb) {
    return std::count_if(FUnits.begin(), FUnits.end(), [&](const TUnit& u) { return q.Accepts(u); });
  }
  std::vector<TValue> params;
  const std::vector<TRow> rows =
      !q.Narrowed()
          ? FDb->Rows("SELECT sum(units) FROM counts_day WHERE " + TDatabase::Days(q.Filter, params) + " AND day > ''",
                      params)
          : FDb->Rows("SELECT count(*) FROM units WHERE " + TDatabase::Units(q, params), params);
  return rows.empty() ? 0 : IntOf(rows[0][0]).value_or(0);
}

std::vector<TUnit> THistory::Records(const TRecordQuery& q, int64_t offset, int64_t count, const TUnit* after) const {
  std::vector<TUnit> list;
  if (offset < 0 || count == 0) return list;
  if (FInMemory || !FDb) {
    int64_t at = 0;
    for (const TUnit& u : FUnits) {
      if (!q.Accepts(u)) continue;
      if (at++ < offset) continue;
      list.push_back(u);
      if (count > 0 && static_cast<int64_t>(list.size()) == count) break;
    }
    return list;
  }
  int64_t skip = offset;
  std::string from;
  if (after != nullptr) {
    skip = 0;
  } else if (!q.Narrowed() && offset > 0) {
    // A page far in: its day from the counts of the days before, and only
    // that day's units counted off, not all before it.
    for (const auto& [day, units] : FDb->DayCounts(q.Filter)) {
      if (skip < units) {
        from = day;
        break;
      }
      skip -= units;
    }
  }
  std::vector<TValue> params;
  std::string sql = "SELECT " + FDb->Listed + " FROM units WHERE " + TDatabase::Units(q, params, from);
  if (after != nullptr) {
    // A seek past the record before: a page after a page costs its rows.
    sql += " AND (time_utc, id) > (?, ?)";
    params.insert(params.end(), {after->TimeUtc, after->Id});
  }
  sql += " ORDER BY time_utc, id";
  if (count >= 0)
    sql += " LIMIT " + std::to_string(count);
  else if (skip > 0 && !FDb->Sql->Postgres())
    sql += " LIMIT -1";
  if (skip > 0) sql += " OFFSET " + std::to_string(skip);
  FDb->Sql->Run(sql, params, [&](const TRow& row) {
    TUnit u;
    FillUnit(row, u);
    list.push_back(std::move(u));
    return true;
  });
  return list;
}

bool THistory::EachRecord(const TRecordQuery& q, const std::function<bool(const TUnit&)>& each) const {
  if (FInMemory || !FDb) {
    for (const TUnit& u : FUnits)
      if (q.Accepts(u) && !each(u)) break;
    return true;
  }
  std::vector<TValue> params;
  const std::string sql =
      "SELECT " + FDb->Listed + " FROM units WHERE " + TDatabase::Units(q, params) + " ORDER BY time_utc, id";
  return FDb->Sql->Run(sql, params, [&](const TRow& row) {
    TUnit u;
    FillUnit(row, u);
    return each(u);
  });
}

const std::vector<TUnit>& THistory::Units() const {
  if (FInMemory || !FDb) return FUnits;
  if (!FAllRead) {
    FAll = Records({}, 0, -1);
    FAllRead = true;
  }
  return FAll;
}

bool THistory::Transcript(int64_t id, std::string& bytes, std::string& why) const {
  bytes.clear();
  if (!FDb) {
    why = "No records file is open.";
    return false;
  }
  const bool compressed = FDb->Columns.count("transcript_zstd") > 0;
  const bool text = FDb->Columns.count("transcript") > 0;
  std::vector<TRow> rows;
  if (!FDb->Sql->Rows(std::string("SELECT ") + (compressed ? "transcript_zstd" : "NULL") + ", " +
                          (text ? "transcript" : "NULL") + " FROM units WHERE id = ?",
                      {id}, rows)) {
    why = FPath + ": " + FDb->Sql->Error();
    return false;
  }
  if (rows.empty()) {
    why = "The record " + std::to_string(id) + " is no longer in " + FPath + ".";
    return false;
  }
  if (const auto* z = std::get_if<records::TBlob>(&rows[0][0])) {
    if (records::Decompress(z->Bytes, bytes)) return true;
    why = "The transcript of record " + std::to_string(id) + " is damaged.";
    return false;
  }
  bytes = TextOf(rows[0][1]);
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
  const size_t window = records::kGoldenWindow;
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
      for (size_t i = baseUnits + window - 1; i < golden.size(); ++i)
        h.Points.push_back(Point(golden[i]->TimeUtc, (sum[i + 1] - sum[i + 1 - window]) / static_cast<double>(window),
                                 h.Baseline, options.Threshold, static_cast<int>(i + 1)));
    }
    Judge(h);
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
  return history.Figures(filter, options);
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

bool WriteRecordsCsv(std::ostream& out, const THistory& history, const TRecordQuery& query) {
  std::vector<std::string> fields{"id"};
  for (const TColumnInfo& c : kColumns)
    if (Listed(c)) fields.push_back(c.Name);
  Row(out, fields);
  return history.EachRecord(query, [&](const TUnit& u) {
    fields = {std::to_string(u.Id)};
    for (const TColumnInfo& c : kColumns) {
      if (!Listed(c)) continue;
      const TValue v = records::ColumnValue(u, c);
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
    return static_cast<bool>(out);
  });
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
