#include "records/Schema.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "records/Zstd.h"

namespace qv::records {

namespace {

using R = TUnitRecord;

// An index of the units table, the version that added it and the one that
// dropped it (0: none). The records table pages by time, of all stations or
// one; a unit is found by its radio address; a golden reference's units are
// walked in time order with their running means, and its extremes are found
// by the means themselves; the upkeep finds the rows it has yet to bring up.
// Each ends in the key where order matters, so that a walk in (time, id)
// order needs no sort.
struct TIndexInfo {
  const char* Name;
  const char* Columns;
  int Since;
  int Retired = 0;
  const char* Where = nullptr;
};

constexpr TIndexInfo kIndexes[] = {
    {"units_time", "time_utc", 1},
    {"units_golden", "golden_id, time_utc", 2, 4},
    {"units_handheld_fw_sha256", "handheld_fw_sha256", 3},
    {"units_golden_mean", "golden_id, time_utc, id, golden_mean", 4},
    {"units_golden_shift", "golden_id, golden_mean, time_utc, id", 4},
    {"units_station", "station, time_utc, id", 4},
    {"units_address", "handheld_mac, time_utc, id", 4},
    {"units_behind", "id", 4, 0, "record_version IS NULL"},
};

std::string CreateIndex(const TIndexInfo& i, bool ifNotExists) {
  std::string sql =
      std::string("CREATE INDEX ") + (ifNotExists ? "IF NOT EXISTS " : "") + i.Name + " ON units(" + i.Columns + ")";
  if (i.Where != nullptr) sql += std::string(" WHERE ") + i.Where;
  return sql;
}

bool Current(const TIndexInfo& i) {
  return i.Retired == 0 || i.Retired > kSchemaVersion;
}

template <class T>
std::optional<T> NumberOf(const TValue& v) {
  if (const auto* n = std::get_if<int64_t>(&v)) {
    if constexpr (std::is_integral_v<T>) {
      if (*n < std::numeric_limits<T>::min() || *n > std::numeric_limits<T>::max()) return std::nullopt;
    }
    return static_cast<T>(*n);
  }
  if (const auto* d = std::get_if<double>(&v)) {
    if constexpr (std::is_integral_v<T>) {
      // The bounds as doubles: min is a power of two, and -min lies just
      // past max.
      constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
      if (!std::isfinite(*d) || *d < lo || *d >= -lo) return std::nullopt;
    }
    return static_cast<T>(*d);
  }
  if (const auto* s = std::get_if<std::string>(&v)) {
    char* end = nullptr;
    if constexpr (std::is_integral_v<T>) {
      const long long n = std::strtoll(s->c_str(), &end, 10);
      if (end == s->c_str() || n < std::numeric_limits<T>::min() || n > std::numeric_limits<T>::max())
        return std::nullopt;
      return static_cast<T>(n);
    } else {
      const double d = std::strtod(s->c_str(), &end);
      if (end == s->c_str()) return std::nullopt;
      return d;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string TextOf(const TValue& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* n = std::get_if<int64_t>(&v)) return std::to_string(*n);
  if (const auto* d = std::get_if<double>(&v)) return std::to_string(*d);
  if (const auto* b = std::get_if<TBlob>(&v)) return b->Bytes;
  return {};
}

std::optional<int64_t> IntOf(const TValue& v) {
  return NumberOf<int64_t>(v);
}

std::optional<double> RealOf(const TValue& v) {
  return NumberOf<double>(v);
}

const TSqlTypes kSqliteTypes = {"INTEGER PRIMARY KEY", "TEXT", "INTEGER", "REAL", "BLOB", " WITHOUT ROWID", false};
const TSqlTypes kPostgresTypes = {"BIGSERIAL PRIMARY KEY", "TEXT", "BIGINT", "DOUBLE PRECISION", "BYTEA", "", true};

const std::array<TDerivedInfo, 2> kDerived = {{
    {"golden_mean", ctReal, 4},
    {"record_version", ctInteger, 4},
}};

// BIGINT and DOUBLE PRECISION read as INTEGER and REAL in SQLite. The keys
// are in the order the figures group them: SQLite then reads a day's
// groups in order, without sorting.
const std::array<TCountsInfo, 5> kCounts = {{
    {"counts_day",
     "day TEXT NOT NULL, station TEXT NOT NULL, golden_id TEXT NOT NULL, outcome TEXT NOT NULL, reason TEXT NOT NULL, "
     "units BIGINT NOT NULL, rssi_sum DOUBLE PRECISION NOT NULL, rssi_n BIGINT NOT NULL, "
     "afc_sum DOUBLE PRECISION NOT NULL, afc_n BIGINT NOT NULL",
     "day, outcome, reason, station, golden_id", 4},
    {"counts_hour",
     "hour TEXT NOT NULL, station TEXT NOT NULL, outcome TEXT NOT NULL, units BIGINT NOT NULL, "
     "rssi_sum DOUBLE PRECISION NOT NULL, rssi_n BIGINT NOT NULL, afc_sum DOUBLE PRECISION NOT NULL, "
     "afc_n BIGINT NOT NULL",
     "hour, station, outcome", 4},
    {"stored_day", "day TEXT NOT NULL, station TEXT NOT NULL, stored_offset BIGINT NOT NULL, units BIGINT NOT NULL",
     "day, station, stored_offset", 4},
    {"golden_day",
     "golden_id TEXT NOT NULL, day TEXT NOT NULL, units BIGINT NOT NULL, mean_lo DOUBLE PRECISION NOT NULL, "
     "mean_hi DOUBLE PRECISION NOT NULL",
     "golden_id, day", 4, "units, mean_lo, mean_hi"},
    {"golden_hour",
     "golden_id TEXT NOT NULL, hour TEXT NOT NULL, last_time TEXT NOT NULL, last_id BIGINT NOT NULL, "
     "last_mean DOUBLE PRECISION NOT NULL",
     "golden_id, hour", 4, "last_time, last_id, last_mean"},
}};

const std::array<TColumnInfo, kColumnCount> kColumns = {{
    {"record_uid", ctText, true, 1, &R::Uid},
    {"time_utc", ctText, true, 1, &R::TimeUtc},
    {"station", ctText, true, 1, &R::Station},
    {"tool", ctText, true, 1, &R::Tool},
    {"handheld_fw", ctText, false, 1, &R::HandheldFw},
    {"server_fw", ctText, false, 1, &R::ServerFw},
    {"modem_fw", ctText, false, 1, &R::ModemFw},
    {"dongle_id", ctText, false, 1, &R::DongleId},
    {"handheld_mac", ctText, false, 1, &R::HandheldMac},
    {"handheld_hw", ctText, false, 1, &R::HandheldHw},
    {"golden", ctText, true, 1, &R::Golden},
    {"golden_id", ctText, false, 1, &R::GoldenId},
    {"golden_offset", ctInteger, false, 1, &R::GoldenOffset},
    {"factory_offset", ctInteger, false, 1, &R::FactoryOffset},
    {"pctool_offset", ctInteger, false, 1, &R::PcToolOffset},
    {"effective_offset", ctInteger, false, 1, &R::EffectiveOffset},
    {"stored_offset", ctInteger, false, 1, &R::StoredOffset},
    {"not_stored_reason", ctText, false, 1, &R::NotStoredReason},
    {"result_offset", ctInteger, false, 2, &R::ResultOffset},
    {"trial_offsets", ctText, false, 1, &R::TrialOffsets},
    {"records_per_cycle", ctText, false, 1, &R::RecordsPerCycle},
    {"rssi_avg", ctReal, false, 1, &R::RssiAvg},
    {"afc_mean", ctReal, false, 2, &R::AfcMean},
    {"afc_spread", ctReal, false, 1, &R::AfcSpread},
    {"cycles", ctInteger, false, 1, &R::Cycles},
    {"outcome", ctText, true, 1, &R::Outcome},
    {"message", ctText, false, 1, &R::Message},
    {"transcript", ctText, false, 1, &R::Transcript, true, 4},
    {"operator", ctText, false, 3, &R::Operator},
    {"scan_id", ctText, false, 3, &R::ScanId},
    {"modem_fw_source", ctText, false, 3, &R::ModemFwSource},
    {"modem_fw_size", ctInteger, false, 3, &R::ModemFwSize},
    {"modem_fw_sha256", ctText, false, 3, &R::ModemFwSha256},
    {"handheld_fw_source", ctText, false, 3, &R::HandheldFwSource},
    {"handheld_fw_size", ctInteger, false, 3, &R::HandheldFwSize},
    {"handheld_fw_sha256", ctText, false, 3, &R::HandheldFwSha256},
    {"server_fw_source", ctText, false, 3, &R::ServerFwSource},
    {"server_fw_size", ctInteger, false, 3, &R::ServerFwSize},
    {"server_fw_sha256", ctText, false, 3, &R::ServerFwSha256},
    {"handheld_test_fw_source", ctText, false, 3, &R::HandheldTestFwSource},
    {"handheld_test_fw_size", ctInteger, false, 3, &R::HandheldTestFwSize},
    {"handheld_test_fw_sha256", ctText, false, 3, &R::HandheldTestFwSha256},
    {"server_test_fw_source", ctText, false, 3, &R::ServerTestFwSource},
    {"server_test_fw_size", ctInteger, false, 3, &R::ServerTestFwSize},
    {"server_test_fw_sha256", ctText, false, 3, &R::ServerTestFwSha256},
    {"limits", ctText, false, 3, &R::Limits},
    {"transcript_zstd", ctCompressed, false, 4, &R::Transcript, true},
}};

const TColumnInfo* FindColumn(const std::string& name) {
  for (const TColumnInfo& c : kColumns)
    if (name == c.Name) return &c;
  return nullptr;
}

const TColumnInfo* ColumnOf(const TField& field) {
  for (const TColumnInfo& c : kColumns)
    if (InVersion(c, kSchemaVersion) && c.Field == field) return &c;
  return nullptr;
}

TValue ColumnValue(const TUnitRecord& record, const TColumnInfo& column) {
  if (column.Retired != 0) return {};
  return std::visit(
      [&](auto member) -> TValue {
        const auto& v = record.*member;
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          if (v.empty() && !column.NotNull) return {};
          if (column.Type == ctCompressed) return TBlob{Compress(v)};
          return v;
        } else {
          if (!v) return {};
          if constexpr (std::is_same_v<T, std::optional<double>>)
            return *v;
          else
            return static_cast<int64_t>(*v);
        }
      },
      column.Field);
}

bool SetColumnValue(TUnitRecord& record, const TColumnInfo& column, const TValue& value) {
  const bool null = std::holds_alternative<std::monostate>(value);
  if (null && column.NotNull) return false;
  if (null && column.Retired != 0) return true;
  return std::visit(
      [&](auto member) {
        auto& v = record.*member;
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          if (column.Type != ctCompressed) {
            v = TextOf(value);
          } else if (null) {
            v.clear();
          } else {
            const auto* blob = std::get_if<TBlob>(&value);
            return blob != nullptr && Decompress(blob->Bytes, v);
          }
        } else {
          v = NumberOf<typename T::value_type>(value);
        }
        return true;
      },
      column.Field);
}

std::string KeyIndexName(const TCountsInfo& c) {
  return c.Name + std::string("_by_key");
}

std::vector<std::string> KeyIndexSteps(const TSqlTypes& types) {
  std::vector<std::string> steps;
  if (!types.CoveringKey) return steps;
  for (const TCountsInfo& c : kCounts)
    if (c.KeyOrdered != nullptr)
      steps.push_back("CREATE INDEX IF NOT EXISTS " + KeyIndexName(c) + " ON " + c.Name + " (" + c.Key + ") INCLUDE (" +
                      c.KeyOrdered + ")");
  return steps;
}

bool SchemaSteps(int from, const TSqlTypes& types, std::vector<std::string>& steps) {
  steps.clear();
  if (from == kSchemaVersion) return true;
  if (from < 0 || from > kSchemaVersion) return false;
  auto typeOf = [&](TColumnType t) {
    return t == ctText ? types.Text : t == ctInteger ? types.Integer : t == ctReal ? types.Real : types.Blob;
  };
  auto counts = [&](const TCountsInfo& c) {
    return std::string("CREATE TABLE ") + c.Name + " (" + c.Columns + ", PRIMARY KEY (" + c.Key + "))" +
           (c.KeyOrdered != nullptr ? types.KeyOrdered : "");
  };
  auto covering = [&] {
    const std::vector<std::string> more = KeyIndexSteps(types);
    steps.insert(steps.end(), more.begin(), more.end());
  };
  if (from == 0) {
    std::string create = std::string("CREATE TABLE units (id ") + types.Id;
    for (const TColumnInfo& c : kColumns) {
      if (!InVersion(c, kSchemaVersion)) continue;
      create += std::string(", ") + c.Name + " " + typeOf(c.Type);
      if (c.NotNull) create += " NOT NULL";
      if (std::string(c.Name) == "record_uid") create += " UNIQUE";
    }
    for (const TDerivedInfo& d : kDerived) create += std::string(", ") + d.Name + " " + typeOf(d.Type);
    steps.push_back(create + ")");
    for (const TIndexInfo& i : kIndexes)
      if (Current(i)) steps.push_back(CreateIndex(i, false));
    for (const TCountsInfo& c : kCounts) steps.push_back(counts(c));
    covering();
    steps.push_back("INSERT INTO schema_version (version) VALUES (" + std::to_string(kSchemaVersion) + ")");
    return true;
  }
  // The rows there stay as they are (their record_version NULL) until the
  // upkeep brings them up a batch at a time: a migration that stops leaves
  // a database the next writer or reader goes on with.
  for (const TColumnInfo& c : kColumns)
    if (c.Since > from && InVersion(c, kSchemaVersion))
      steps.push_back(std::string("ALTER TABLE units ADD COLUMN ") + c.Name + " " + typeOf(c.Type));
  for (const TDerivedInfo& d : kDerived)
    if (d.Since > from) steps.push_back(std::string("ALTER TABLE units ADD COLUMN ") + d.Name + " " + typeOf(d.Type));
  for (const TIndexInfo& i : kIndexes) {
    if (!Current(i) && i.Retired > from) steps.push_back(std::string("DROP INDEX IF EXISTS ") + i.Name);
    if (Current(i) && i.Since > from) steps.push_back(CreateIndex(i, true));
  }
  for (const TCountsInfo& c : kCounts)
    if (c.Since > from) steps.push_back(counts(c));
  covering();
  steps.push_back("UPDATE schema_version SET version = " + std::to_string(kSchemaVersion));
  return true;
}

std::string InsertStatement(size_t rows, bool derived) {
  std::string names, marks;
  for (const TColumnInfo& c : kColumns) {
    if (!InVersion(c, kSchemaVersion)) continue;
    names += (names.empty() ? "" : ", ") + std::string(c.Name);
    marks += marks.empty() ? "?" : ", ?";
  }
  for (const TDerivedInfo& d : kDerived) {
    if (!derived) break;
    names += std::string(", ") + d.Name;
    marks += ", ?";
  }
  std::string sql = "INSERT INTO units (" + names + ") VALUES ";
  for (size_t r = 0; r < rows; ++r) sql += (r == 0 ? "(" : ", (") + marks + ")";
  return sql + " ON CONFLICT (record_uid) DO NOTHING";
}

}  // namespace qv::records
