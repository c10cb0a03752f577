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
constexpr int kSchemaVersion = 4;
constexpr int kFirstSchemaVersion = 1;

// A golden reference's running mean is taken over its last this many units;
// the database keeps it with each unit (records/Upkeep.h).
constexpr int kGoldenWindow = 10;

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

// ctCompressed: the field's bytes as one zstd frame in a blob.
enum TColumnType { ctText, ctInteger, ctReal, ctCompressed };

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
  // The version from which the column is no longer written (0: still is);
  // a database migrated from before keeps it, NULL once upkept.
  int Retired = 0;
};

constexpr size_t kColumnCount = 47;
extern const std::array<TColumnInfo, kColumnCount> kColumns;

// Whether records of that schema version have the column.
inline bool InVersion(const TColumnInfo& c, int version) {
  return c.Since <= version && (c.Retired == 0 || version < c.Retired);
}

// The column of that name, or none.
const TColumnInfo* FindColumn(const std::string& name);
// The column this version writes the field to, or none.
const TColumnInfo* ColumnOf(const TField& field);

// Bytes a database keeps as a blob rather than as text.
struct TBlob {
  std::string Bytes;
  bool operator==(const TBlob&) const = default;
};

using TValue = std::variant<std::monostate, int64_t, double, std::string, TBlob>;

// A column's value in a record, NULL as monostate; a compressed column's is
// the blob of its field.
TValue ColumnValue(const TUnitRecord& record, const TColumnInfo& column);
// Sets a column from a value as a database or the spool gives it; a value
// of another type is converted as SQLite would read it. False for a NULL in
// a column that must not be NULL, and for a blob that does not decompress.
// A NULL in a retired column leaves the field as it is: the column that
// took its place holds it.
bool SetColumnValue(TUnitRecord& record, const TColumnInfo& column, const TValue& value);

// A value read back as a number or as text, whatever the database gave.
std::optional<int64_t> IntOf(const TValue& value);
std::optional<double> RealOf(const TValue& value);
std::string TextOf(const TValue& value);

// How a database spells the column types.
struct TSqlTypes {
  const char* Id;  // the local key, with PRIMARY KEY
  const char* Text;
  const char* Integer;
  const char* Real;
  const char* Blob;
  // After the columns of a table kept in the order of its key (SQLite:
  // WITHOUT ROWID), so that the rows of one key prefix lie together.
  const char* KeyOrdered;
  // A database whose tables keep their rows in the order they were written
  // (PostgreSQL) gets an index on such a table's key that holds the columns
  // read with it instead: a golden's rows are then read from the index's
  // pages, which lie in the order of the key, without a visit of the table.
  bool CoveringKey;
};
extern const TSqlTypes kSqliteTypes;
extern const TSqlTypes kPostgresTypes;

// What the database keeps beside each record, derived from it and from its
// golden reference's other units; never part of a record or of the spool.
//   golden_mean     the mean result of the golden reference's last
//                   kGoldenWindow units up to this one (NULL for a unit
//                   without golden identity or result)
//   record_version  the schema version whose derived values the row holds;
//                   NULL for a row that a writer of an earlier version left,
//                   until the upkeep brings it up
struct TDerivedInfo {
  const char* Name;
  TColumnType Type;
  int Since;
};
extern const std::array<TDerivedInfo, 2> kDerived;

// The tables of counts that qvstats' figures are read from, one row a
// combination of their key columns (the upkeep adds each record's part):
//   counts_day     units per UTC day, station, golden identity, outcome and
//                  failure reason (empty: none); day '' holds the records
//                  whose time does not read
//   counts_hour    units per UTC hour ("2026-12-09T08"), station and outcome
//   stored_day     units per UTC day, station and stored value
//   golden_day     a golden reference's units with a result per day (the
//                  first ten characters of their time), and bounds of
//                  their running means: no mean of the day lies outside
//                  them, though a record that arrived late may have moved
//                  one inside since
//   golden_hour    a golden reference's last unit with a result in each UTC
//                  hour (the first thirteen characters of its time), by
//                  (time, id), and its running mean: the golden's chart
//                  over months, read without a walk of its units
// counts_day and counts_hour have the sums and counts of the average RSSI
// and the AFC spread.
struct TCountsInfo {
  const char* Name;
  const char* Columns;  // with their types, as both databases read them
  const char* Key;
  int Since;
  // Read a golden reference at a time: kept in the order of the key where
  // the database can (written an hour at a time for all of them, one
  // golden's rows would otherwise lie a page apart each), else given a
  // covering index on the key: the columns it holds beside the key.
  const char* KeyOrdered = nullptr;
};
extern const std::array<TCountsInfo, 5> kCounts;

// The covering indexes of the tables kept in the order of their key, for a
// database that keeps them so (CoveringKey); with IF NOT EXISTS. They are
// among the steps that make or migrate a database; a database of this
// version made before them gets them from a writer that may (KeyIndexName:
// the name a store looks for).
std::string KeyIndexName(const TCountsInfo& c);
std::vector<std::string> KeyIndexSteps(const TSqlTypes& types);

// The statements that bring a database of schema version `from` (0: no
// units table yet) to kSchemaVersion, inside the caller's transaction;
// none for kSchemaVersion itself. False for a version this tool does not
// know (a newer one).
bool SchemaSteps(int from, const TSqlTypes& types, std::vector<std::string>& steps);

// The INSERT of rows records (the columns of this version in the table's
// order, then kDerived's when derived, a ? for each value), keeping the
// record already there when its uid is.
std::string InsertStatement(size_t rows = 1, bool derived = false);

}  // namespace qv::records
