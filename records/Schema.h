// The unit records' schema, written once: the record of one unit, the
// columns of the units table with their types and the version that added
// each, the indexes, and the steps that create or migrate a database. The
// writer, the SQLite and PostgreSQL stores, the spool file and qvstats all
// read this table.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace qv::records {

// The version this tool writes, and the first one (which every later
// version can migrate from and qvstats still reads).
constexpr int kSchemaVersion = 3;
constexpr int kFirstSchemaVersion = 1;

// One unit's record. A text column that may be NULL holds NULL for an
// empty text; a number column that may be NULL is empty when unknown.
struct TUnitRecord {
  // The database's own key, known once the record has been read back.
  int64_t Id = 0;
  std::string Uid;
  std::string TimeUtc;  // 2026-12-09T08:15:02.123Z
  std::string Station;
  std::string Tool;
  std::string HandheldFw, ServerFw, ModemFw;
  std::string DongleId;
  std::string HandheldMac, HandheldHw;
  std::string Golden;    // "handheld" or "server"
  std::string GoldenId;  // empty when unknown
  std::optional<int> GoldenOffset, FactoryOffset, PcToolOffset, EffectiveOffset;
  std::optional<int> StoredOffset;
  std::string NotStoredReason;
  std::optional<int> ResultOffset;
  std::string TrialOffsets, RecordsPerCycle;
  std::optional<double> RssiAvg, AfcMean, AfcSpread;
  std::optional<int> Cycles;
  std::string Outcome;  // "success", "failed", "aborted" or "analysis"
  std::string Message;
  std::string Transcript;
  // Version 3: who tuned which unit with which firmware, and the line's
  // limits. For each of the five firmware inputs the run read: where it
  // came from (a file's path, or "payload"), its size and its SHA-256.
  std::string Operator, ScanId;
  std::string ModemFwSource, HandheldFwSource, ServerFwSource, HandheldTestFwSource, ServerTestFwSource;
  std::optional<int> ModemFwSize, HandheldFwSize, ServerFwSize, HandheldTestFwSize, ServerTestFwSize;
  std::string ModemFwSha256, HandheldFwSha256, ServerFwSha256, HandheldTestFwSha256, ServerTestFwSha256;
  // The limits checked, as a JSON array of {name, value, min, max, pass}.
  std::string Limits;

  bool operator==(const TUnitRecord&) const = default;
};

enum TColumnType { ctText, ctInteger, ctReal };

using TField = std::variant<std::string TUnitRecord::*, std::optional<int> TUnitRecord::*,
                            std::optional<double> TUnitRecord::*>;

struct TColumnInfo {
  const char* Name;
  TColumnType Type;
  bool NotNull;
  // The schema version that added the column.
  int Since;
  TField Field;
  // Read only when one unit's record is opened, never in a listing.
  bool OnDemand = false;
};

constexpr size_t kColumnCount = 46;
extern const std::array<TColumnInfo, kColumnCount> kColumns;

// The column of that name, or none.
const TColumnInfo* FindColumn(const std::string& name);

using TValue = std::variant<std::monostate, int64_t, double, std::string>;

// A column's value in a record, NULL as monostate.
TValue ColumnValue(const TUnitRecord& record, const TColumnInfo& column);
// Sets a column from a value as a database or the spool gives it; a value
// of another type is converted as SQLite would read it. False for a NULL in
// a column that must not be NULL.
bool SetColumnValue(TUnitRecord& record, const TColumnInfo& column, const TValue& value);

// How a database spells the column types.
struct TSqlTypes {
  const char* Id;  // the local key, with PRIMARY KEY
  const char* Text;
  const char* Integer;
  const char* Real;
};

// The statements that bring a database of schema version `from` (0: no
// units table yet) to kSchemaVersion, inside the caller's transaction;
// none for kSchemaVersion itself. False for a version this tool does not
// know (a newer one).
bool SchemaSteps(int from, const TSqlTypes& types, std::vector<std::string>& steps);

// The INSERT of one record with its columns in the table's order, each a
// placeholder made by mark (its 1-based position), keeping the record
// already there when its uid is.
std::string InsertStatement(std::string (*mark)(size_t position));

}  // namespace qv::records
