#include "trace/Limits.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace qv::trace {

namespace {

constexpr double kStepsPerPpm = 1.92955;

struct TKindName {
  TLimitKind Kind;
  const char* Name;
};
constexpr TKindName kKinds[] = {{lkStoredSteps, "stored_steps"}, {lkStoredPpm, "stored_ppm"},
                                {lkChangeSteps, "change_steps"}, {lkRssiAvg, "rssi_avg"},
                                {lkAfcSpread, "afc_spread"},     {lkCycles, "cycles"}};

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t') ++j;
    if (j > i) words.push_back(line.substr(i, j - i));
    i = j;
  }
  return words;
}

// A bound: a decimal number, or '-' for none.
bool ParseBound(const std::string& text, std::optional<double>& bound) {
  if (text == "-") {
    bound.reset();
    return true;
  }
  double v = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(v)) return false;
  bound = v;
  return true;
}

std::optional<double> ValueOf(TLimitKind kind, const TUnitResult& r) {
  const TUnitFacts& f = r.Facts;
  const std::optional<int> value = f.Stored ? f.Stored : r.AnalysisOnly ? f.Result : std::nullopt;
  switch (kind) {
    case lkStoredSteps:
      if (value) return *value;
      break;
    case lkStoredPpm:
      if (value) return *value / kStepsPerPpm;
      break;
    case lkChangeSteps:
      if (value && f.Unit) return *value - f.Unit->Effective;
      break;
    case lkRssiAvg:
      if (f.RssiAverage) return *f.RssiAverage;
      break;
    case lkAfcSpread:
      if (f.AfcSpread) return *f.AfcSpread;
      break;
    case lkCycles:
      if (!f.TrialOffsets.empty()) return static_cast<double>(f.TrialOffsets.size());
      break;
  }
  return std::nullopt;
}

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", v);
  return text;
}

}  // namespace

bool TLimits::Read(const std::string& path, std::string& error) {
  FLimits.clear();
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    error = "the limits file \"" + path + "\" " +
            (std::filesystem::exists(path, ec) ? "is not a regular file" : "does not exist");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "the limits file \"" + path + "\" cannot be read";
    return false;
  }
  std::vector<TLimit> limits;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> words = Words(line);
    if (words.empty() || words[0][0] == '#') continue;
    const std::string where = path + ", line " + std::to_string(number) + ": ";
    TLimit limit;
    limit.Name = words[0];
    const auto kind = std::find_if(std::begin(kKinds), std::end(kKinds),
                                   [&](const TKindName& k) { return limit.Name == k.Name; });
    if (kind == std::end(kKinds)) {
      error = where + "no limit \"" + limit.Name +
              "\" (stored_steps, stored_ppm, change_steps, rssi_avg, afc_spread, cycles)";
      return false;
    }
    limit.Kind = kind->Kind;
    if (words.size() != 3) {
      error = where + "a limit is its name, the lowest and the highest value ('-' for none)";
      return false;
    }
    if (!ParseBound(words[1], limit.Min) || !ParseBound(words[2], limit.Max)) {
      error = where + "a bound is a decimal number or '-'";
      return false;
    }
    if (!limit.Min && !limit.Max) {
      error = where + "a limit needs at least one bound";
      return false;
    }
    if (limit.Min && limit.Max && *limit.Min > *limit.Max) {
      error = where + "the lowest value is above the highest";
      return false;
    }
    for (const TLimit& other : limits)
      if (other.Kind == limit.Kind) {
        error = where + "\"" + limit.Name + "\" is limited twice";
        return false;
      }
    limits.push_back(std::move(limit));
  }
  FLimits = std::move(limits);
  return true;
}

std::vector<TLimitVerdict> TLimits::Check(const TUnitResult& result) const {
  std::vector<TLimitVerdict> verdicts;
  if (result.Verdict != uvCompleted) return verdicts;
  for (const TLimit& l : FLimits) {
    TLimitVerdict v{l.Name, ValueOf(l.Kind, result), l.Min, l.Max, false};
    v.Pass = v.Value && (!l.Min || *v.Value >= *l.Min) && (!l.Max || *v.Value <= *l.Max);
    verdicts.push_back(std::move(v));
  }
  return verdicts;
}

nlohmann::ordered_json LimitsJson(const std::vector<TLimitVerdict>& verdicts) {
  auto optional = [](const std::optional<double>& v) { return v ? nlohmann::ordered_json(*v) : nlohmann::ordered_json(); };
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const TLimitVerdict& v : verdicts) {
    nlohmann::ordered_json o;
    o["name"] = v.Name;
    o["value"] = optional(v.Value);
    o["min"] = optional(v.Min);
    o["max"] = optional(v.Max);
    o["pass"] = v.Pass;
    list.push_back(o);
  }
  return list;
}

const TLimitVerdict* FirstFailed(const std::vector<TLimitVerdict>& verdicts) {
  for (const TLimitVerdict& v : verdicts)
    if (!v.Pass) return &v;
  return nullptr;
}

std::string OutsideLimit(const TLimitVerdict& verdict) {
  return "outside limit " + verdict.Name;
}

std::string Describe(const TLimitVerdict& v) {
  std::string text = v.Name + " = " + (v.Value ? Number(*v.Value) : std::string("none"));
  std::string bounds;
  if (v.Min) bounds = "lowest " + Number(*v.Min);
  if (v.Max) bounds += (bounds.empty() ? "" : ", ") + std::string("highest ") + Number(*v.Max);
  return text + " (" + bounds + ")";
}

}  // namespace qv::trace
