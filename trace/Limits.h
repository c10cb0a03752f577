// The line's own acceptance limits on what a unit's run measured and
// stored: a limits file of one limit a line (its name, the lowest and the
// highest value it accepts, '-' for no bound), checked once a unit has
// completed. What the procedure measures, stores and logs does not change;
// a unit outside a limit counts as failed for the line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "procedure/UnitFacts.h"

namespace qv::trace {

// The quantities a limit may bound.
enum TLimitKind {
  lkStoredSteps,  // the value stored (analysis only: the value found), in steps
  lkStoredPpm,    // the same in ppm
  lkChangeSteps,  // that value against the unit's effective value before
  lkRssiAvg,      // the last cycle's average RSSI
  lkAfcSpread,    // the last cycle's AFC spread
  lkCycles,       // the test cycles run
};

struct TLimit {
  TLimitKind Kind = lkStoredSteps;
  std::string Name;
  std::optional<double> Min, Max;
};

struct TLimitVerdict {
  std::string Name;
  // None: the unit has no such value, which fails the limit.
  std::optional<double> Value;
  std::optional<double> Min, Max;
  bool Pass = false;
};

class TLimits {
 public:
  // False, with "FILE, line N: reason", for a file that cannot be read or
  // holds a bad line; nothing of it applies then.
  bool Read(const std::string& path, std::string& error);
  bool Empty() const { return FLimits.empty(); }
  const std::vector<TLimit>& Limits() const { return FLimits; }
  // Each limit against a completed unit's result, in the file's order;
  // none for a unit that did not complete.
  std::vector<TLimitVerdict> Check(const TUnitResult& result) const;

 private:
  std::vector<TLimit> FLimits;
};

// The verdicts as the record and qvline's results keep them: an array of
// {name, value, min, max, pass}, null for an absent value or bound.
nlohmann::ordered_json LimitsJson(const std::vector<TLimitVerdict>& verdicts);

// The first limit that failed, or none.
const TLimitVerdict* FirstFailed(const std::vector<TLimitVerdict>& verdicts);
// "outside limit NAME"
std::string OutsideLimit(const TLimitVerdict& verdict);
// "stored_ppm = 31.6 (highest 30)", for a line shown to the operator.
std::string Describe(const TLimitVerdict& verdict);

}  // namespace qv::trace
