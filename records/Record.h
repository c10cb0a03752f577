// The record of one unit: the columns of the units table in their order,
// each value null, an integer, a real or a text. The same list drives the
// SQLite and PostgreSQL writers and the spool file.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace qv {
class TSerThread;
}

namespace qv::records {

constexpr int kSchemaVersion = 2;

enum TColumn : size_t {
  cRecordUid,
  cTimeUtc,
  cStation,
  cTool,
  cHandheldFw,
  cServerFw,
  cModemFw,
  cDongleId,
  cHandheldMac,
  cHandheldHw,
  cGolden,
  cGoldenId,
  cGoldenOffset,
  cFactoryOffset,
  cPctoolOffset,
  cEffectiveOffset,
  cStoredOffset,
  cNotStoredReason,
  cResultOffset,
  cTrialOffsets,
  cRecordsPerCycle,
  cRssiAvg,
  cAfcMean,
  cAfcSpread,
  cCycles,
  cOutcome,
  cMessage,
  cTranscript,
  kColumnCount
};

enum TColumnType { ctText, ctInteger, ctReal };

struct TColumnInfo {
  const char* Name;
  TColumnType Type;
  bool NotNull;
};

extern const std::array<TColumnInfo, kColumnCount> kColumns;

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

using TValue = std::variant<std::monostate, int64_t, double, std::string>;

struct TUnitRecord {
  std::array<TValue, kColumnCount> Values;
  TValue& operator[](TColumn c) { return Values[c]; }
  const TValue& operator[](TColumn c) const { return Values[c]; }
  bool operator==(const TUnitRecord&) const = default;
};

// Who writes: the station and the tool with its version ("qvline 0.1").
struct TRecordSource {
  std::string Station;
  std::string Tool;
};

// The record of the unit whose outcome the worker has just reported, from
// the facts its steps kept; on the window's thread, inside the worker's
// synchronised call.
TUnitRecord RecordOfUnit(const TSerThread& worker, bool analysisOnly, const TRecordSource& source);

// A record uid: station, UTC time, process and a counter, so that two
// records never share one and a record sent again is recognised.
std::string NewRecordUid(const std::string& station, const std::string& timeUtc);

// One line of the spool file (without its end), and back; false for a line
// that is not a whole record.
std::string EncodeSpoolLine(const TUnitRecord& record);
bool DecodeSpoolLine(const std::string& line, TUnitRecord& record);

}  // namespace qv::records
