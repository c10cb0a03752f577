#include "records/Schema.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace qv::records {

namespace {

using R = TUnitRecord;

// An index of the units table, and the version that added it.
struct TIndexInfo {
  const char* Name;
  const char* Columns;
  int Since;
};

constexpr TIndexInfo kIndexes[] = {
    {"units_time", "time_utc", 1},
    {"units_golden", "golden_id, time_utc", 2},
    {"units_handheld_fw_sha256", "handheld_fw_sha256", 3},
};

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
      if (!std::isfinite(*d) || *d < std::numeric_limits<T>::min() || *d > std::numeric_limits<T>::max())
        return std::nullopt;
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

std::string TextOf(const TValue& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* n = std::get_if<int64_t>(&v)) return std::to_string(*n);
  if (const auto* d = std::get_if<double>(&v)) return std::to_string(*d);
  return {};
}

}  // namespace

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
    {"transcript", ctText, false, 1, &R::Transcript, true},
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
}};

const TColumnInfo* FindColumn(const std::string& name) {
  for (const TColumnInfo& c : kColumns)
    if (name == c.Name) return &c;
  return nullptr;
}

TValue ColumnValue(const TUnitRecord& record, const TColumnInfo& column) {
  return std::visit(
      [&](auto member) -> TValue {
        const auto& v = record.*member;
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          if (v.empty() && !column.NotNull) return {};
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
  std::visit(
      [&](auto member) {
        auto& v = record.*member;
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>)
          v = TextOf(value);
        else
          v = NumberOf<typename T::value_type>(value);
      },
      column.Field);
  return true;
}

bool SchemaSteps(int from, const TSqlTypes& types, std::vector<std::string>& steps) {
  steps.clear();
  if (from == kSchemaVersion) return true;
  if (from < 0 || from > kSchemaVersion) return false;
  auto typeOf = [&](TColumnType t) { return t == ctText ? types.Text : t == ctInteger ? types.Integer : types.Real; };
  if (from == 0) {
    std::string create = std::string("CREATE TABLE units (id ") + types.Id;
    for (const TColumnInfo& c : kColumns) {
      create += std::string(", ") + c.Name + " " + typeOf(c.Type);
      if (c.NotNull) create += " NOT NULL";
      if (std::string(c.Name) == "record_uid") create += " UNIQUE";
    }
    steps.push_back(create + ")");
    for (const TIndexInfo& i : kIndexes)
      steps.push_back(std::string("CREATE INDEX ") + i.Name + " ON units(" + i.Columns + ")");
    steps.push_back("INSERT INTO schema_version (version) VALUES (" + std::to_string(kSchemaVersion) + ")");
    return true;
  }
  for (const TColumnInfo& c : kColumns)
    if (c.Since > from) steps.push_back(std::string("ALTER TABLE units ADD COLUMN ") + c.Name + " " + typeOf(c.Type));
  for (const TIndexInfo& i : kIndexes)
    if (i.Since > from)
      steps.push_back(std::string("CREATE INDEX IF NOT EXISTS ") + i.Name + " ON units(" + i.Columns + ")");
  steps.push_back("UPDATE schema_version SET version = " + std::to_string(kSchemaVersion));
  return true;
}

std::string InsertStatement(std::string (*mark)(size_t position)) {
  std::string names, marks;
  for (size_t i = 0; i < kColumnCount; ++i) {
    names += (i == 0 ? "" : ", ") + std::string(kColumns[i].Name);
    marks += (i == 0 ? "" : ", ") + mark(i + 1);
  }
  return "INSERT INTO units (" + names + ") VALUES (" + marks + ") ON CONFLICT (record_uid) DO NOTHING";
}

}  // namespace qv::records
