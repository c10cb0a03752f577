// The record of one unit as the tools write it: built from the unit's
// result, with a uid of its own, and its line in the spool file.
#pragma once

#include <string>

#include "procedure/UnitFacts.h"
#include "records/Schema.h"

namespace qv::records {

// Who writes: the station and the tool with its version ("qvline 0.1"),
// and the operator where one is named.
struct TRecordSource {
  std::string Station;
  std::string Tool;
  std::string Operator;
};

// What the front end adds to the worker's result of a unit: its scanned
// identifier, and the line's limits checked against it (as the JSON array
// the record keeps) with the first one it failed, if any.
struct TUnitExtras {
  std::string ScanId;
  std::string Limits;
  std::string FailedLimit;
};

// The record of a unit whose outcome the worker has just reported. A unit
// outside a limit is recorded as failed, its message naming the limit.
TUnitRecord RecordOfUnit(const TUnitResult& result, const TRecordSource& source, const TUnitExtras& extras = {});

// Where a record keeps each of the five firmware inputs (TFirmwareInput's
// 1..5 at 0..4).
struct TFirmwareFields {
  std::string TUnitRecord::*Source;
  std::optional<int> TUnitRecord::*Size;
  std::string TUnitRecord::*Sha256;
};
extern const TFirmwareFields kFirmwareFields[5];

// A record uid: station, UTC time, process and a counter, so that two
// records never share one and a record sent again is recognised.
std::string NewRecordUid(const std::string& station, const std::string& timeUtc);

// What a unit that did not succeed failed of: the first line of its
// message, else why nothing was stored, else its outcome. Empty for
// successful and analysis-only units.
std::string FailureReason(const TUnitRecord& record);

// One line of the spool file (without its end), and back; false for a line
// that is not a whole record. A line of an earlier schema version (a spool
// an earlier release left) reads with the columns of its version.
std::string EncodeSpoolLine(const TUnitRecord& record);
bool DecodeSpoolLine(const std::string& line, TUnitRecord& record);

}  // namespace qv::records
