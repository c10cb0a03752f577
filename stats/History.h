// THistory: the unit records of a records file, read-only, and the figures
// qvstats shows of them: the stored values, yield and failure reasons per
// day and per station, measurement quality per day, and the health of each
// golden reference. No Qt here, so the figures are tested without a window.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "records/Schema.h"
#include "records/Text.h"

namespace qv {

enum class TUnitOutcome { uoSuccess, uoFailed, uoAborted, uoAnalysis, uoOther };

// A unit's record as qvstats reads it, with what it derives at reading.
struct TUnit : records::TUnitRecord {
  int64_t TimeMs = 0;  // TimeUtc, milliseconds since 1970 (UTC)
  TUnitOutcome Kind = TUnitOutcome::uoOther;

  // The UTC day, 2026-12-09.
  std::string Day() const { return TimeUtc.substr(0, 10); }
};

using records::ParseUtcMs;

// What a unit that did not succeed failed of: the first line of its
// message, else why nothing was stored, else its outcome. Empty for
// successful and analysis-only units.
std::string FailureReason(const TUnit& unit);

// Whether the text names a records server rather than a file.
bool IsServerConninfo(const std::string& text);

class THistory {
 public:
  // Reads every unit of the records file at path, opened read-only. False,
  // with Error() saying why in words for the operator, for a missing,
  // damaged or foreign file or one of a newer schema version.
  // A PostgreSQL connection string (a postgresql:// URI, or keywords such
  // as host= and dbname=) in place of the path reads the shared records
  // of many stations from that server instead, in one read-only snapshot.
  bool Load(const std::string& path);
  bool LoadServer(const std::string& conninfo);

  const std::string& Error() const { return FError; }
  const std::string& Path() const { return FPath; }
  int SchemaVersion() const { return FVersion; }
  // In the order of their time.
  const std::vector<TUnit>& Units() const { return FUnits; }
  // Records left out for a time that does not read.
  int Skipped() const { return FSkipped; }
  // Every station, sorted.
  std::vector<std::string> Stations() const;

  // For tests and generated histories: units taken as loaded.
  void Assign(std::vector<TUnit> units);

 private:
  std::string FPath;
  std::string FError;
  int FVersion = 0;
  int FSkipped = 0;
  std::vector<TUnit> FUnits;
};

// Which units are shown: days inclusive (empty: open), one station or all.
struct TFilter {
  std::string FromDay, ToDay;
  std::string Station;

  bool Accepts(const TUnit& unit) const;
};

// The counts of one day or one station.
struct TGroupFigures {
  std::string Key;
  int Units = 0;
  int Success = 0, Failed = 0, Aborted = 0, Analysis = 0, Other = 0;
  std::map<std::string, int> Reasons;
  double RssiSum = 0, AfcSpreadSum = 0;
  int RssiCount = 0, AfcSpreadCount = 0;

  // Successful units among those that tried to store (analysis-only units
  // store nothing and do not count); nullopt when there are none.
  std::optional<double> Yield() const;
  std::optional<double> RssiMean() const;
  std::optional<double> AfcSpreadMean() const;
  // The most frequent reason, empty when none failed.
  std::string TopReason() const;
};

// How a golden reference's health is judged. Its baseline is the mean of
// result_offset over its first BaselineUnits units; from then on the running
// mean of its last WindowUnits units is compared with that baseline, and a
// shift beyond Threshold steps is a drift. With the spread of a few steps
// that units show, twenty units put the baseline within about half a step
// of the golden's true value; a window of ten shows a drift in full ten
// units after it began, while one odd unit moves it by a tenth of its
// deviation only.
struct TGoldenOptions {
  int BaselineUnits = 20;
  int WindowUnits = 10;
  double Threshold = 3;
};

struct TGoldenPoint {
  int Unit = 0;  // counted from 1 among this golden's units with a result
  int64_t TimeMs = 0;
  std::string TimeUtc;
  double RunningMean = 0;
  double Shift = 0;  // RunningMean - baseline
  bool Over = false;
};

struct TGoldenHealth {
  std::string GoldenId;
  std::string Side;  // "handheld" or "server"
  int Units = 0;     // with a result
  bool BaselineReady = false;
  double Baseline = 0;
  // One a unit once a whole window follows the baseline.
  std::vector<TGoldenPoint> Points;
  bool Drifted = false;
  int FirstOver = -1;  // into Points
  int Largest = -1;    // the largest shift either way, into Points
  double Threshold = 0;

  // "Golden reference SRV-7 (server) has moved by +3.6 steps ...", empty
  // when it has not drifted.
  std::string Warning() const;
  // One line for the window: the baseline and the current shift.
  std::string Summary() const;
};

// The golden references of the units, each judged over all its units (its
// baseline is its own first units whatever a filter shows), sorted by
// identity. Units without a golden identity do not count; a unit without a
// result (version 1 has no such column) counts its stored value, if any.
std::vector<TGoldenHealth> GoldenHealth(const std::vector<TUnit>& units, const TGoldenOptions& options);

struct TFigures {
  std::vector<const TUnit*> Shown;
  std::map<int, int> StoredValues;  // value -> units
  TGroupFigures Total;
  std::vector<TGroupFigures> Days;                   // by day
  std::vector<TGroupFigures> Stations;               // by station
  std::vector<std::pair<std::string, int>> Reasons;  // most frequent first
  // Of the golden identities among the units shown.
  std::vector<TGoldenHealth> Golden;

  std::vector<const TGoldenHealth*> Drifted() const;
};

TFigures ComputeFigures(const THistory& history, const TFilter& filter, const TGoldenOptions& options);

// CSV files (RFC 4180: comma-separated, CRLF, quoted where needed), with a
// header line.
void WriteRecordsCsv(std::ostream& out, const std::vector<const TUnit*>& units);
void WriteGroupsCsv(std::ostream& out, const char* keyName, const std::vector<TGroupFigures>& groups);
void WriteGoldenCsv(std::ostream& out, const std::vector<TGoldenHealth>& golden);
std::string CsvField(const std::string& text);

}  // namespace qv
