#include "records/Upkeep.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <utility>

#include "records/Text.h"
#include "records/Zstd.h"

namespace qv::records {

namespace {

// Records brought up a transaction, when they are many: a station's writes
// wait for one such batch at most.
constexpr int kCatchUpRows = 64;

// Rows a statement carries at most: well inside the parameters either
// database takes (SQLite 32766, PostgreSQL 65535).
constexpr size_t kRowsAStatement = 100;

// ? for each of n values, separated by commas.
std::string Marks(size_t n, const std::string& one = "?") {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += (i == 0 ? "" : ", ") + one;
  return s;
}

// Rows of one statement's shape (head, then a row's marks each, then the
// tail) written kRowsAStatement a statement.
class TRowBatch {
 public:
  TRowBatch(TSql& sql, std::string head, std::string row, std::string tail)
      : FSql(sql), FHead(std::move(head)), FRow(std::move(row)), FTail(std::move(tail)) {}
  bool Add(std::initializer_list<TValue> values) {
    FParams.insert(FParams.end(), values);
    return ++FRows < kRowsAStatement || Flush();
  }
  bool Flush() {
    if (FRows == 0) return true;
    const bool ok = FSql.Exec(FHead + Marks(FRows, FRow) + FTail, FParams);
    FParams.clear();
    FRows = 0;
    return ok;
  }

 private:
  TSql& FSql;
  const std::string FHead, FRow, FTail;
  std::vector<TValue> FParams;
  size_t FRows = 0;
};

std::string Version() {
  return std::to_string(kSchemaVersion);
}

struct TSums {
  int64_t Units = 0, RssiN = 0, AfcN = 0;
  double Rssi = 0, Afc = 0;
};

// A golden reference's units of a day, and the bounds of their means.
struct TBounds {
  int64_t Units = 0;
  double Lo = HUGE_VAL, Hi = -HUGE_VAL;
  void Add(double mean, int64_t units) {
    Units += units;
    Lo = std::min(Lo, mean);
    Hi = std::max(Hi, mean);
  }
};
// By golden identity and day.
using TGoldenDays = std::map<std::pair<std::string, std::string>, TBounds>;

// The golden references' units per day and the bounds of their means:
// added to and widened, never narrowed.
bool Widen(TSql& sql, const TGoldenDays& days) {
  TRowBatch batch(
      sql, "INSERT INTO golden_day (golden_id, day, units, mean_lo, mean_hi) VALUES ", "(?, ?, ?, ?, ?)",
      " ON CONFLICT (golden_id, day) DO UPDATE SET units = golden_day.units + excluded.units, mean_lo = CASE "
      "WHEN excluded.mean_lo < golden_day.mean_lo THEN excluded.mean_lo ELSE golden_day.mean_lo END, mean_hi = "
      "CASE WHEN excluded.mean_hi > golden_day.mean_hi THEN excluded.mean_hi ELSE golden_day.mean_hi END");
  for (const auto& [key, b] : days)
    if (!batch.Add({key.first, key.second, b.Units, b.Lo, b.Hi})) return false;
  return batch.Flush();
}

// By golden identity and UTC hour ("2026-12-09T08").
using TGoldenHours = std::set<std::pair<std::string, std::string>>;

void AddHour(TGoldenHours& hours, const std::string& golden, const std::string& time) {
  // A time that does not read has no place on the golden's chart.
  if (ParseUtcMs(time)) hours.emplace(golden, time.substr(0, 13));
}

// Each golden reference's last unit with a running mean in each of the
// hours, read again from the units as they now stand (a record that arrives
// late may be the hour's last, or move the last one's mean): a seek of the
// golden's index an hour, on pages just written.
bool Hours(TSql& sql, const TGoldenHours& hours) {
  TRowBatch batch(sql, "INSERT INTO golden_hour (golden_id, hour, last_time, last_id, last_mean) VALUES ",
                  "(?, ?, ?, ?, ?)",
                  " ON CONFLICT (golden_id, hour) DO UPDATE SET last_time = excluded.last_time, "
                  "last_id = excluded.last_id, last_mean = excluded.last_mean");
  for (const auto& [golden, hour] : hours) {
    std::vector<TRow> last;
    if (!sql.Rows("SELECT time_utc, id, golden_mean FROM units WHERE golden_id = ? AND golden_mean IS NOT NULL AND "
                  "time_utc >= ? AND time_utc <= ? ORDER BY time_utc DESC, id DESC LIMIT 1",
                  {golden, hour, hour + "~"}, last))
      return false;
    if (!last.empty() && !batch.Add({golden, hour, last[0][0], last[0][1], last[0][2]})) return false;
  }
  return batch.Flush();
}

// (time, id) order, as the golden references' units are walked.
struct TKey {
  std::string Time;
  int64_t Id = 0;
  bool operator<(const TKey& o) const { return Time < o.Time || (Time == o.Time && Id < o.Id); }
};

}  // namespace

struct TUpkeep::TFacts {
  int64_t Id = 0;
  std::string Time, Station, GoldenId, Outcome, Message, NotStoredReason;
  std::optional<int64_t> Stored, Result;
  std::optional<double> Rssi, Afc;
  bool Legacy = false;  // a transcript in the column of earlier versions
  std::string Transcript;

  std::optional<int64_t> Value() const { return Result ? Result : Stored; }
  bool Golden() const { return !GoldenId.empty() && Value().has_value(); }
};

bool TUpkeep::Fail() {
  FError = FSql.Error();
  return false;
}

bool TUpkeep::Transaction(const std::function<bool()>& work) {
  if (!FSql.Exec(FSql.Postgres() ? "BEGIN" : "BEGIN IMMEDIATE")) return Fail();
  if (work() && (FSql.Exec("COMMIT") || Fail())) return true;
  const std::string why = FError;
  FSql.Exec("ROLLBACK");
  FError = why;
  return false;
}

bool TUpkeep::Write(const std::vector<TUnitRecord>& records) {
  return Transaction([&] { return Insert(records); });
}

bool TUpkeep::Finish(const std::function<void(int64_t left)>& progress) {
  int64_t left = 0;
  if (!Behind(left)) return false;
  for (bool more = left > 0; more;) {
    if (!Transaction([&] { return CatchUp(kCatchUpRows, more); })) return false;
    left = std::max<int64_t>(more ? 1 : 0, left - kCatchUpRows);
    if (progress) progress(left);
  }
  // The server's planner walks a golden reference's index only once its
  // statistics know the rows and its visibility map their pages (else a
  // walk of the time index looks cheaper): after a migration or a bulk
  // load now, rather than by the next autovacuum.
  if (FSql.Postgres() &&
      !FSql.Exec("VACUUM (ANALYZE) units, counts_day, counts_hour, stored_day, golden_day, golden_hour"))
    return Fail();
  return true;
}

bool TUpkeep::Slice() {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  bool more = true;
  while (more && std::chrono::steady_clock::now() < end)
    if (!Transaction([&] { return CatchUp(kCatchUpRows, more); })) return false;
  return !more;
}

bool TUpkeep::Insert(const std::vector<TUnitRecord>& records) {
  // A record whose uid is there already (sent again from a spool) is left
  // as it is, and counts no second time.
  std::set<std::string> known;
  for (size_t from = 0; from < records.size(); from += 5 * kRowsAStatement) {
    const size_t n = std::min(5 * kRowsAStatement, records.size() - from);
    std::vector<TValue> uids;
    for (size_t r = from; r < from + n; ++r) uids.emplace_back(records[r].Uid);
    if (!FSql.Run("SELECT record_uid FROM units WHERE record_uid IN (" + Marks(n) + ")", uids, [&](const TRow& row) {
          known.insert(TextOf(row[0]));
          return true;
        }))
      return Fail();
  }
  std::vector<const TUnitRecord*> fresh;
  for (const TUnitRecord& r : records)
    if (known.insert(r.Uid).second) fresh.push_back(&r);
  if (fresh.empty()) return true;

  std::vector<TFacts> facts(fresh.size());
  std::map<std::string, std::vector<size_t>> goldens;
  for (size_t i = 0; i < fresh.size(); ++i) {
    const TUnitRecord& r = *fresh[i];
    TFacts& f = facts[i];
    f.Time = r.TimeUtc;
    f.Station = r.Station;
    f.GoldenId = r.GoldenId;
    f.Outcome = r.Outcome;
    f.Message = r.Message;
    f.NotStoredReason = r.NotStoredReason;
    if (r.StoredOffset) f.Stored = *r.StoredOffset;
    if (r.ResultOffset) f.Result = *r.ResultOffset;
    f.Rssi = r.RssiAvg;
    f.Afc = r.AfcSpread;
    if (f.Golden()) goldens[f.GoldenId].push_back(i);
  }
  // New records come after every unit there of their golden reference, as
  // a station writes them: their running means are taken here and written
  // with them. A golden that has units after the first of them (records
  // that arrive late) goes the general way, its records brought up after.
  std::vector<std::optional<double>> means(fresh.size());
  std::vector<bool> late(fresh.size(), false);
  const std::string valued = " FROM units WHERE golden_id = ? AND coalesce(result_offset, stored_offset) IS NOT NULL";
  for (auto& [id, rows] : goldens) {
    if (!Lock(id)) return false;
    std::stable_sort(rows.begin(), rows.end(), [&](size_t a, size_t b) { return facts[a].Time < facts[b].Time; });
    const std::string& first = facts[rows.front()].Time;
    std::vector<TRow> found;
    if (!FSql.Rows("SELECT 1" + valued + " AND time_utc > ? LIMIT 1", {id, first}, found)) return Fail();
    if (!found.empty()) {
      for (size_t i : rows) late[i] = true;
      continue;
    }
    if (!FSql.Rows("SELECT coalesce(result_offset, stored_offset)" + valued +
                       " AND time_utc <= ? ORDER BY time_utc DESC, id DESC LIMIT " + std::to_string(kGoldenWindow - 1),
                   {id, first}, found))
      return Fail();
    std::vector<int64_t> window;
    for (auto it = found.rbegin(); it != found.rend(); ++it) window.push_back(IntOf((*it)[0]).value_or(0));
    for (size_t i : rows) {
      window.push_back(*facts[i].Value());
      const size_t from = window.size() > static_cast<size_t>(kGoldenWindow) ? window.size() - kGoldenWindow : 0;
      int64_t sum = 0;
      for (size_t k = from; k < window.size(); ++k) sum += window[k];
      means[i] = static_cast<double>(sum) / static_cast<double>(window.size() - from);
    }
  }
  std::vector<TFacts> counted;
  TGoldenDays days;
  TGoldenHours hours;
  for (size_t i = 0; i < fresh.size(); ++i) {
    if (late[i]) continue;
    counted.push_back(facts[i]);
    if (!means[i]) continue;
    days[{facts[i].GoldenId, facts[i].Time.substr(0, 10)}].Add(*means[i], 1);
    AddHour(hours, facts[i].GoldenId, facts[i].Time);
  }
  if (!Count(counted)) return false;
  if (!Widen(FSql, days)) return Fail();

  std::vector<const TColumnInfo*> columns;
  for (const TColumnInfo& c : kColumns)
    if (InVersion(c, kSchemaVersion)) columns.push_back(&c);
  for (size_t from = 0; from < fresh.size(); from += kRowsAStatement) {
    const size_t n = std::min(kRowsAStatement, fresh.size() - from);
    std::vector<TValue> values;
    values.reserve(n * (columns.size() + 2));
    for (size_t i = from; i < from + n; ++i) {
      for (const TColumnInfo* c : columns) values.push_back(ColumnValue(*fresh[i], *c));
      if (means[i])
        values.emplace_back(*means[i]);
      else
        values.emplace_back();
      if (late[i])
        values.emplace_back();
      else
        values.emplace_back(static_cast<int64_t>(kSchemaVersion));
    }
    size_t written = 0;
    if (!FSql.Run(InsertStatement(n, true) + " RETURNING id", values, [&](const TRow&) {
          ++written;
          return true;
        }))
      return Fail();
    // Only another writer of the same records, between the look and the
    // insert, takes one: nothing is counted twice, the batch is written
    // again later.
    if (written != n) {
      FError = "a record of the batch was written meanwhile by another writer";
      return false;
    }
  }
  if (!Hours(FSql, hours)) return Fail();
  std::vector<TValue> uids;
  for (size_t i = 0; i < fresh.size(); ++i)
    if (late[i]) uids.emplace_back(fresh[i]->Uid);
  for (size_t from = 0; from < uids.size(); from += 5 * kRowsAStatement) {
    const size_t n = std::min(5 * kRowsAStatement, uids.size() - from);
    size_t got = 0;
    if (!Bring("record_uid IN (" + Marks(n) + ")",
               {uids.begin() + static_cast<long>(from), uids.begin() + static_cast<long>(from + n)}, 0, got))
      return false;
  }
  return true;
}

bool TUpkeep::Lock(const std::string& golden) {
  // Stations writing units of one golden reference at once take turns
  // (SQLite's writers always do), so that each sees the other's units;
  // in the order of the identities, so that no two wait for each other.
  return !FSql.Postgres() || FSql.Exec("SELECT pg_advisory_xact_lock(hashtext(?))", {golden}) || Fail();
}

bool TUpkeep::CatchUp(int rows, bool& more) {
  size_t got = 0;
  more = false;
  if (!Bring("", {}, rows + 1, got)) return false;
  more = got > static_cast<size_t>(rows);
  return true;
}

bool TUpkeep::Behind(int64_t& count) {
  std::vector<TRow> rows;
  if (!FSql.Rows("SELECT count(*) FROM units WHERE record_version IS NULL", {}, rows)) return Fail();
  count = rows.empty() ? 0 : IntOf(rows[0][0]).value_or(0);
  return true;
}

// The rows that lack their derived values and satisfy where (all such rows,
// or the first limit - 1 of them by id when limit is set; got counts up to
// limit), brought up.
bool TUpkeep::Bring(const std::string& where, const std::vector<TValue>& params, int limit, size_t& got) {
  if (FLegacy == 0) FLegacy = FSql.HasColumn("units", "transcript") ? 1 : -1;
  std::string sql =
      "SELECT id, time_utc, station, golden_id, outcome, message, not_stored_reason, stored_offset, result_offset, "
      "rssi_avg, afc_spread";
  if (FLegacy > 0) sql += ", transcript";
  sql += " FROM units WHERE record_version IS NULL";
  if (!where.empty()) sql += " AND " + where;
  sql += " ORDER BY id";
  if (limit > 0) sql += " LIMIT " + std::to_string(limit);
  std::vector<TRow> found;
  if (!FSql.Rows(sql, params, found)) return Fail();
  got = found.size();
  if (limit > 0 && found.size() >= static_cast<size_t>(limit)) found.resize(static_cast<size_t>(limit - 1));
  if (found.empty()) return true;

  std::vector<TFacts> rows(found.size());
  for (size_t i = 0; i < found.size(); ++i) {
    const TRow& r = found[i];
    TFacts& f = rows[i];
    f.Id = IntOf(r[0]).value_or(0);
    f.Time = TextOf(r[1]);
    f.Station = TextOf(r[2]);
    f.GoldenId = TextOf(r[3]);
    f.Outcome = TextOf(r[4]);
    f.Message = TextOf(r[5]);
    f.NotStoredReason = TextOf(r[6]);
    f.Stored = IntOf(r[7]);
    f.Result = IntOf(r[8]);
    f.Rssi = RealOf(r[9]);
    f.Afc = RealOf(r[10]);
    if (FLegacy > 0 && !std::holds_alternative<std::monostate>(r[11])) {
      f.Legacy = true;
      f.Transcript = TextOf(r[11]);
    }
  }
  if (!Count(rows) || !GoldenMeans(rows)) return false;
  for (const TFacts& f : rows) {
    if (!f.Legacy) continue;
    // An empty transcript is none, as the writer keeps it.
    std::vector<TValue> update(2);
    if (!f.Transcript.empty()) update[0] = TBlob{Compress(f.Transcript)};
    update[1] = f.Id;
    if (!FSql.Exec("UPDATE units SET transcript_zstd = ?, transcript = NULL WHERE id = ?", update)) return Fail();
  }
  return true;
}

// Each row's part in the counts, summed over the rows first: a batch of a
// line's units touches a few rows of each table.
bool TUpkeep::Count(const std::vector<TFacts>& rows) {
  std::map<std::array<std::string, 5>, TSums> days;
  std::map<std::array<std::string, 3>, TSums> hours;
  std::map<std::tuple<std::string, std::string, int64_t>, int64_t> stored;
  for (const TFacts& f : rows) {
    TUnitRecord r;
    r.Outcome = f.Outcome;
    r.Message = f.Message;
    r.NotStoredReason = f.NotStoredReason;
    // A record whose time does not read counts under no day: qvstats
    // reports how many there are.
    const bool timed = ParseUtcMs(f.Time).has_value();
    const std::string day = timed ? f.Time.substr(0, 10) : std::string();
    auto add = [&](TSums& s) {
      ++s.Units;
      if (f.Rssi) {
        s.Rssi += *f.Rssi;
        ++s.RssiN;
      }
      if (f.Afc) {
        s.Afc += *f.Afc;
        ++s.AfcN;
      }
    };
    add(days[{day, f.Station, f.GoldenId, f.Outcome, FailureReason(r)}]);
    if (!timed) continue;
    add(hours[{day + "T" + f.Time.substr(11, 2), f.Station, f.Outcome}]);
    if (f.Stored) ++stored[{day, f.Station, *f.Stored}];
  }

  // INSERT ... ON CONFLICT DO UPDATE adding to what is there.
  auto upsert = [&](const char* table, const char* keys, const std::vector<const char*>& sums, size_t keyCount,
                    const std::vector<std::vector<TValue>>& values) {
    std::string add;
    for (const char* s : sums)
      add += std::string(add.empty() ? "" : ", ") + s + " = " + table + "." + s + " + excluded." + s;
    std::string names = keys;
    for (const char* s : sums) names += std::string(", ") + s;
    const std::string row = "(" + Marks(keyCount + sums.size()) + ")";
    for (size_t from = 0; from < values.size(); from += kRowsAStatement) {
      const size_t n = std::min(kRowsAStatement, values.size() - from);
      std::vector<TValue> params;
      for (size_t i = from; i < from + n; ++i) params.insert(params.end(), values[i].begin(), values[i].end());
      if (!FSql.Exec(std::string("INSERT INTO ") + table + " (" + names + ") VALUES " + Marks(n, row) +
                         " ON CONFLICT (" + keys + ") DO UPDATE SET " + add,
                     params))
        return false;
    }
    return true;
  };
  std::vector<std::vector<TValue>> dayRows, hourRows, storedRows;
  for (const auto& [k, s] : days)
    dayRows.push_back({k[0], k[3], k[4], k[1], k[2], s.Units, s.Rssi, s.RssiN, s.Afc, s.AfcN});
  for (const auto& [k, s] : hours) hourRows.push_back({k[0], k[1], k[2], s.Units, s.Rssi, s.RssiN, s.Afc, s.AfcN});
  for (const auto& [k, n] : stored) storedRows.push_back({std::get<0>(k), std::get<1>(k), std::get<2>(k), n});
  if (!upsert("counts_day", "day, outcome, reason, station, golden_id",
              {"units", "rssi_sum", "rssi_n", "afc_sum", "afc_n"}, 5, dayRows) ||
      !upsert("counts_hour", "hour, station, outcome", {"units", "rssi_sum", "rssi_n", "afc_sum", "afc_n"}, 3,
              hourRows) ||
      !upsert("stored_day", "day, station, stored_offset", {"units"}, 3, storedRows))
    return Fail();
  return true;
}

// The running mean of each row's golden reference, and of those of its
// golden's later units whose window now holds one of the rows (a record
// that arrives late, from a spool, shifts the means of the next units of
// its golden).
bool TUpkeep::GoldenMeans(const std::vector<TFacts>& rows) {
  const int w = kGoldenWindow;
  std::map<int64_t, std::optional<double>> brought;  // every row: its mean
  std::map<int64_t, double> moved;                   // units already up whose mean changes
  TGoldenDays days;
  TGoldenHours hours;
  std::map<std::string, std::vector<TKey>> goldens;
  for (const TFacts& f : rows) {
    brought[f.Id] = std::nullopt;
    if (f.Golden()) goldens[f.GoldenId].push_back({f.Time, f.Id});
  }
  const std::string valued = "golden_id = ? AND coalesce(result_offset, stored_offset) IS NOT NULL";
  const std::string columns =
      "SELECT id, time_utc, coalesce(result_offset, stored_offset), golden_mean, "
      "record_version FROM units WHERE " +
      valued;
  for (auto& [id, keys] : goldens) {
    if (!Lock(id)) return false;
    std::sort(keys.begin(), keys.end());
    const TKey& first = keys.front();
    const TKey& last = keys.back();
    // The window before the first, everything from the first to the last,
    // and the units after the last whose window reaches back to it.
    std::vector<TRow> before, between, after;
    if (!FSql.Rows(
            columns + " AND (time_utc, id) < (?, ?) ORDER BY time_utc DESC, id DESC LIMIT " + std::to_string(w - 1),
            {id, first.Time, first.Id}, before) ||
        !FSql.Rows(columns + " AND (time_utc, id) >= (?, ?) AND (time_utc, id) <= (?, ?) ORDER BY time_utc, id",
                   {id, first.Time, first.Id, last.Time, last.Id}, between) ||
        !FSql.Rows(columns + " AND (time_utc, id) > (?, ?) ORDER BY time_utc, id LIMIT " + std::to_string(w - 1),
                   {id, last.Time, last.Id}, after))
      return Fail();
    std::reverse(before.begin(), before.end());
    std::vector<const TRow*> units;
    for (const auto* part : {&before, &between, &after})
      for (const TRow& r : *part) units.push_back(&r);
    int64_t sum = 0;
    int lastBrought = -w;
    for (size_t k = 0; k < units.size(); ++k) {
      const TRow& u = *units[k];
      sum += IntOf(u[2]).value_or(0);
      if (k >= static_cast<size_t>(w)) sum -= IntOf((*units[k - w])[2]).value_or(0);
      if (k < before.size()) continue;
      const int count = static_cast<int>(std::min<size_t>(k + 1, static_cast<size_t>(w)));
      const double mean = static_cast<double>(sum) / count;
      const int64_t uid = IntOf(u[0]).value_or(0);
      const std::pair<std::string, std::string> day{id, TextOf(u[1]).substr(0, 10)};
      if (auto it = brought.find(uid); it != brought.end()) {
        it->second = mean;
        lastBrought = static_cast<int>(k);
        days[day].Add(mean, 1);
        AddHour(hours, id, TextOf(u[1]));
      } else if (static_cast<int>(k) - lastBrought < w && !std::holds_alternative<std::monostate>(u[4]) &&
                 RealOf(u[3]) != mean) {
        moved[uid] = mean;
        days[day].Add(mean, 0);
        AddHour(hours, id, TextOf(u[1]));
      }
    }
  }

  // Many rows a statement: a bulk write brings thousands at once.
  auto update = [&](const std::string& set, const std::vector<std::pair<int64_t, std::optional<double>>>& means) {
    for (size_t from = 0; from < means.size(); from += kRowsAStatement) {
      const size_t n = std::min(kRowsAStatement, means.size() - from);
      std::vector<TValue> params;
      for (size_t i = from; i < from + n; ++i) {
        params.emplace_back(means[i].first);
        if (means[i].second)
          params.emplace_back(*means[i].second);
        else
          params.emplace_back();
      }
      if (!FSql.Exec("WITH v(id, m) AS (VALUES " + Marks(n, "(CAST(? AS BIGINT), CAST(? AS DOUBLE PRECISION))") +
                         ") UPDATE units SET " + set + " FROM v WHERE units.id = v.id",
                     params))
        return false;
    }
    return true;
  };
  std::vector<std::pair<int64_t, std::optional<double>>> up(brought.begin(), brought.end()), shifted;
  for (const auto& [uid, mean] : moved) shifted.emplace_back(uid, mean);
  if (!update("golden_mean = v.m, record_version = " + Version(), up) || !update("golden_mean = v.m", shifted) ||
      !Widen(FSql, days) || !Hours(FSql, hours))
    return Fail();
  return true;
}

}  // namespace qv::records
