// THistory: the unit records of a records file or server, read-only, and
// the figures qvstats shows of them: the stored values, yield and failure
// reasons per day (per hour on a single day) and per station, measurement
// quality, and the health of each golden reference. The figures are read
// from the counts and running means the database keeps (records/Upkeep.h),
// the records a page at a time; a file of an earlier version that cannot be
// brought up is read into memory and its figures computed from the rows,
// the same figures. No Qt here, so the figures are tested without a window.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
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

// Which units are shown: days inclusive (empty: open), one station or all.
struct TFilter {
  std::string FromDay, ToDay;
  std::string Station;

  bool Accepts(const TUnit& unit) const;
};

// Which records the records table lists: those of the filter, of one radio
// address when given (in any of its AddressForms), and of the units that
// got one firmware file when its SHA-256 is given (as any of the five
// inputs; hex digits in either case).
struct TRecordQuery {
  TFilter Filter;
  std::string Address;
  std::string Firmware;

  bool Accepts(const TUnit& unit) const;
  // Narrower than the filter: its records are counted one by one, not
  // from the counts per day.
  bool Narrowed() const { return !Address.empty() || !Firmware.empty(); }
};

// The inputs of a unit's record that were the file of this SHA-256, by
// their labels ("Quorvantis firmware"); none when it got no such file.
std::vector<std::string> FirmwareInputsOf(const records::TUnitRecord& unit, const std::string& sha256);

// The spellings a radio address may be recorded in: as given, and, for 1 to
// 8 hex digits with or without 0x, as the tools write it (0x00A1B2C3).
std::vector<std::string> AddressForms(const std::string& text);

// The counts of one day, hour or station.
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
  bool operator==(const TGroupFigures&) const = default;
};

// How a golden reference's health is judged. Its baseline is the mean of
// result_offset over its first BaselineUnits units; from then on the running
// mean of its last records::kGoldenWindow units is compared with that
// baseline, and a shift beyond Threshold steps is a drift. With the spread
// of a few steps that units show, twenty units put the baseline within
// about half a step of the golden's true value; a window of ten shows a
// drift in full ten units after it began, while one odd unit moves it by a
// tenth of its deviation only.
struct TGoldenOptions {
  int BaselineUnits = 20;
  double Threshold = 3;
};

struct TGoldenPoint {
  // Counted from 1 among this golden's units with a result; of a long
  // history, 0 but for the first point beyond the threshold and the last.
  int Unit = 0;
  int64_t TimeMs = 0;
  std::string TimeUtc;
  double RunningMean = 0;
  double Shift = 0;  // RunningMean - baseline
  bool Over = false;
  bool operator==(const TGoldenPoint&) const = default;
};

struct TGoldenHealth {
  std::string GoldenId;
  std::string Side;  // "handheld" or "server"
  int Units = 0;     // with a result
  bool BaselineReady = false;
  double Baseline = 0;
  // One a unit once a whole window follows the baseline; of a long history
  // (more than kAllPoints) enough for its chart, with the first point
  // beyond the threshold, the largest shift and the last among them.
  std::vector<TGoldenPoint> Points;
  bool Drifted = false;
  int FirstOver = -1;  // into Points
  int Largest = -1;    // the largest shift either way, into Points
  double Threshold = 0;

  static constexpr int kAllPoints = 2000;

  // "Golden reference SRV-7 (server) has moved by +3.6 steps ...", empty
  // when it has not drifted.
  std::string Warning() const;
  // One line for the window: the baseline and the current shift.
  std::string Summary() const;
  bool operator==(const TGoldenHealth&) const = default;
};

// The golden references of the units, each judged over all its units (its
// baseline is its own first units whatever a filter shows), sorted by
// identity. Units without a golden identity do not count; a unit without a
// result (version 1 has no such column) counts its stored value, if any.
std::vector<TGoldenHealth> GoldenHealth(const std::vector<TUnit>& units, const TGoldenOptions& options);

struct TFigures {
  std::map<int, int> StoredValues;  // value -> units
  TGroupFigures Total;
  std::vector<TGroupFigures> Days;  // by day
  // By hour ("2026-12-09T08"), when the units shown lie on one day.
  std::vector<TGroupFigures> Hours;
  std::vector<TGroupFigures> Stations;               // by station
  std::vector<std::pair<std::string, int>> Reasons;  // most frequent first
  // Of the golden identities among the units shown.
  std::vector<TGoldenHealth> Golden;

  std::vector<const TGoldenHealth*> Drifted() const;
};

class THistory {
 public:
  THistory();
  ~THistory();
  THistory(THistory&&) noexcept;
  THistory& operator=(THistory&&) noexcept;

  // Opens the records file at path. False, with Error() saying why in words
  // for the operator, for a missing, damaged or foreign file or one of a
  // newer schema version. A PostgreSQL connection string (a postgresql://
  // URI, or keywords such as host= and dbname=) in place of the path reads
  // the shared records of many stations from that server instead.
  // Records of an earlier schema version are first brought to this one
  // where they can be written (Progress is told how many are left as that
  // goes, and may be slow for a large file); otherwise they are read as
  // they stand, all of them into memory, and Note() says so.
  bool Load(const std::string& path);
  bool LoadServer(const std::string& conninfo);
  std::function<void(int64_t left)> Progress;

  const std::string& Error() const { return FError; }
  // How a file that was read had to be read, when not as usual; empty
  // otherwise.
  const std::string& Note() const { return FNote; }
  const std::string& Path() const { return FPath; }
  int SchemaVersion() const { return FVersion; }
  // Every unit whose time reads.
  int64_t UnitCount() const { return FUnitCount; }
  // Records left out for a time that does not read.
  int Skipped() const { return FSkipped; }
  // Every station, sorted; the first and last UTC day of a unit (empty
  // when there is none).
  const std::vector<std::string>& Stations() const { return FStations; }
  const std::string& FirstDay() const { return FFirstDay; }
  const std::string& LastDay() const { return FLastDay; }
  // Whether the records were read into memory (a file of an earlier
  // version that could not be brought up, or units given by Assign).
  bool InMemory() const { return FInMemory; }

  TFigures Figures(const TFilter& filter, const TGoldenOptions& options) const;

  // The records of the query in the order of their time: how many, count
  // of them from offset on (-1: all), and each in turn. after, the record
  // just before offset when it is known, makes a page a seek; else the
  // units of its day are counted off, not all before it.
  int64_t CountRecords(const TRecordQuery& query) const;
  std::vector<TUnit> Records(const TRecordQuery& query, int64_t offset, int64_t count,
                             const TUnit* after = nullptr) const;
  bool EachRecord(const TRecordQuery& query, const std::function<bool(const TUnit&)>& each) const;
  // Every record: for tests and small files.
  const std::vector<TUnit>& Units() const;
  // One unit's transcript, read only now; false with why.
  bool Transcript(int64_t id, std::string& bytes, std::string& why) const;

  // For tests and generated histories: units taken as loaded.
  void Assign(std::vector<TUnit> units);

 private:
  struct TDatabase;
  bool Read(const std::string& path, bool upgrade);
  bool ReadServer(const std::string& conninfo, bool upgrade);
  void Clear();
  // The database is open and checked: the counts and golden means it
  // keeps are read from, or, when they are not all there, every unit into
  // memory.
  bool Opened(bool current);
  void Summarise();

  std::string FPath;
  std::string FError;
  std::string FNote;
  int FVersion = 0;
  int FSkipped = 0;
  int64_t FUnitCount = 0;
  std::vector<std::string> FStations;
  std::string FFirstDay, FLastDay;
  bool FInMemory = false;
  // In memory: every unit, in the order of their time.
  std::vector<TUnit> FUnits;
  std::unique_ptr<TDatabase> FDb;
  mutable std::vector<TUnit> FAll;
  mutable bool FAllRead = false;
};

TFigures ComputeFigures(const THistory& history, const TFilter& filter, const TGoldenOptions& options);

// CSV files (RFC 4180: comma-separated, CRLF, quoted where needed), with a
// header line. The records are written as they are read, one at a time.
bool WriteRecordsCsv(std::ostream& out, const THistory& history, const TRecordQuery& query);
void WriteGroupsCsv(std::ostream& out, const char* keyName, const std::vector<TGroupFigures>& groups);
void WriteGoldenCsv(std::ostream& out, const std::vector<TGoldenHealth>& golden);
std::string CsvField(const std::string& text);

}  // namespace qv
