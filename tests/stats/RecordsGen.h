// Writes records files of the unit records' schema with plain SQL, as the
// programs that record units would, in either schema version, from units
// listed by a test or generated in bulk.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "records/Schema.h"

namespace qv::test {

struct TGenUnit {
  std::string Time;  // 2026-12-09T08:15:02.123Z
  std::string Station = "LINE-1";
  std::string Outcome = "success";
  std::optional<int> Stored;
  std::optional<int> Result;
  std::string GoldenId;
  std::string Message;
  std::string NotStoredReason;
  std::optional<double> Rssi, AfcSpread;
};

// The time of second s of day d after 2026-12-01, with milliseconds.
std::string GenTime(int day, int second, int ms = 0);

// A new file at path with the schema of version (1 or 2) and the units;
// version 1 leaves out the result, which it has no column for. Fails the
// calling test on any SQLite error.
void WriteRecords(const std::string& path, int version, const std::vector<TGenUnit>& units);

// The record the tools would write for unit n of a list, as
// WriteRecords writes it.
records::TUnitRecord GenRecord(const TGenUnit& unit, int n);

// n successful units of one golden reference, one every minutesApart from
// 06:00 of day 0 on: results base + a repeating -1, 0, +1, 0 spread, plus
// drift steps on every unit from unit driftFrom (counted from 1) on.
std::vector<TGenUnit> GoldenRun(const std::string& goldenId, int n, int base, int driftFrom = 0, int drift = 0,
                                int minutesApart = 1);

// A production history of n units over days days on four stations with
// three golden references, a few per cent failed, aborted or analysis only.
std::vector<TGenUnit> Production(int n, int days);

}  // namespace qv::test
