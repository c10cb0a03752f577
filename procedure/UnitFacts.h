// What the worker learns about the run and the unit it works on, kept where
// each value becomes known, so that a unit's record is built from the
// values themselves rather than from the lines that show them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qv {

struct TOffsetSettings {
  int Factory = 0;
  int PcTool = 0;
  int Effective = 0;
};

struct TUnitFacts {
  // ---- the run's: found once, kept from unit to unit ----
  std::string ServerId;

  // ---- the unit's: cleared when a unit starts ----
  std::optional<uint8_t> HandheldHw;
  std::optional<uint32_t> HandheldMac;
  std::optional<TOffsetSettings> Unit;
  std::optional<int> GoldenOffset;
  std::vector<int> TrialOffsets;
  std::vector<int> RecordsPerCycle;
  // The measurement the last cycle arrived at.
  std::optional<int> Result;
  std::optional<int> RssiAverage;
  std::optional<double> AfcMean;
  std::optional<int> AfcSpread;
  // Confirmed by the unit under test.
  std::optional<int> Stored;
  // The unit's last log line: the reason, when it failed.
  std::string LastLine;

  void NewUnit() {
    TUnitFacts fresh;
    fresh.ServerId = ServerId;
    *this = std::move(fresh);
  }
};

}  // namespace qv
