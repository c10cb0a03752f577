// qvline's JSON lines: one object a line, each with its "event": "log" for
// a log pane line, "result" at the end of each unit, "summary" at the end
// of the run. Texts keep every byte: what is not UTF-8 is taken as Latin-1.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "procedure/UnitFacts.h"
#include "trace/Limits.h"

namespace qv::line {

using TJson = nlohmann::ordered_json;

// An object's line, with its end.
std::string JsonLine(const TJson& object);

TJson LogObject(const std::string& time, const std::string& station, int unit, const std::string& step,
                const std::string& text);

// What the result of a unit says beside the worker's result.
struct TResultContext {
  std::string Time;
  std::string Station;
  std::string Operator;
  std::string ScanId;
  int Unit = 0;
  std::vector<trace::TLimitVerdict> Limits;
  // "success", "failed", "aborted" or "analysis", as the record says.
  std::string Outcome;
  std::string Message;
  double DurationS = 0;
};

TJson ResultObject(const TUnitResult& result, const TResultContext& context);

struct TSummary {
  std::string Time;
  std::string Station;
  int Units = 0;
  int Tuned = 0;
  int Failed = 0;
  std::map<std::string, int> FailedBy;
  double DurationS = 0;
};

TJson SummaryObject(const TSummary& summary);

}  // namespace qv::line
