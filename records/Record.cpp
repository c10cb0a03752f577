#include "records/Record.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "link/Detect.h"
#include "procedure/SerThread.h"
#include "records/Text.h"

namespace qv::records {

const std::array<TColumnInfo, kColumnCount> kColumns = {{
    {"record_uid", ctText, true},
    {"time_utc", ctText, true},
    {"station", ctText, true},
    {"tool", ctText, true},
    {"handheld_fw", ctText, false},
    {"server_fw", ctText, false},
    {"modem_fw", ctText, false},
    {"dongle_id", ctText, false},
    {"handheld_mac", ctText, false},
    {"handheld_hw", ctText, false},
    {"golden", ctText, true},
    {"golden_id", ctText, false},
    {"golden_offset", ctInteger, false},
    {"factory_offset", ctInteger, false},
    {"pctool_offset", ctInteger, false},
    {"effective_offset", ctInteger, false},
    {"stored_offset", ctInteger, false},
    {"not_stored_reason", ctText, false},
    {"result_offset", ctInteger, false},
    {"trial_offsets", ctText, false},
    {"records_per_cycle", ctText, false},
    {"rssi_avg", ctReal, false},
    {"afc_mean", ctReal, false},
    {"afc_spread", ctReal, false},
    {"cycles", ctInteger, false},
    {"outcome", ctText, true},
    {"message", ctText, false},
    {"transcript", ctText, false},
}};

bool SchemaSteps(int from, const TSqlTypes& types, std::vector<std::string>& steps) {
  steps.clear();
  auto typeOf = [&](TColumnType t) { return t == ctText ? types.Text : t == ctInteger ? types.Integer : types.Real; };
  if (from == 0) {
    std::string create = std::string("CREATE TABLE units (id ") + types.Id;
    for (const TColumnInfo& c : kColumns) {
      create += std::string(", ") + c.Name + " " + typeOf(c.Type);
      if (c.NotNull) create += " NOT NULL";
      if (std::string(c.Name) == "record_uid") create += " UNIQUE";
    }
    steps = {create + ")", "CREATE INDEX units_time ON units(time_utc)",
             "CREATE INDEX units_golden ON units(golden_id, time_utc)",
             "INSERT INTO schema_version (version) VALUES (" + std::to_string(kSchemaVersion) + ")"};
    return true;
  }
  if (from == 1) {
    steps = {std::string("ALTER TABLE units ADD COLUMN result_offset ") + types.Integer,
             std::string("ALTER TABLE units ADD COLUMN afc_mean ") + types.Real,
             "CREATE INDEX IF NOT EXISTS units_golden ON units(golden_id, time_utc)",
             "UPDATE schema_version SET version = 2"};
    return true;
  }
  return from == kSchemaVersion;
}

namespace {

// The worker's version texts read " to V2.4"; empty when unknown.
TValue VersionText(const std::string& text) {
  const std::string prefix = " to ";
  if (text.empty()) return {};
  return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
}

std::string MacText(uint32_t mac) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(mac));
  return text;
}

std::string List(const std::vector<int>& values) {
  std::string text;
  for (int v : values) text += (text.empty() ? "" : ",") + std::to_string(v);
  return text;
}

template <class T>
TValue Optional(const std::optional<T>& value) {
  if (!value) return {};
  if constexpr (std::is_floating_point_v<T>)
    return static_cast<double>(*value);
  else
    return static_cast<int64_t>(*value);
}

void Escape(const std::string& s, std::string& out) {
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
}

bool Unescape(const std::string& s, size_t from, size_t to, std::string& out) {
  for (size_t i = from; i < to; ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i == to) return false;
    switch (s[i]) {
      case '\\':
        out += '\\';
        break;
      case 't':
        out += '\t';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

TUnitRecord RecordOfUnit(const TSerThread& w, bool analysisOnly, const TRecordSource& source) {
  const TUnitFacts& f = w.Facts;
  const bool goldenHandheld = w.Main.GoldenIsHandheld;
  TUnitRecord r;
  r[cTimeUtc] = UtcNow();
  r[cRecordUid] = NewRecordUid(source.Station, std::get<std::string>(r[cTimeUtc]));
  r[cStation] = source.Station;
  r[cTool] = source.Tool;
  r[cHandheldFw] = VersionText(w.HandheldFwVersion);
  r[cServerFw] = VersionText(w.ServerFwVersion);
  r[cModemFw] = VersionText(w.ModemFwVersion);
  if (w.DongleId.size() > 1) r[cDongleId] = w.DongleId.substr(1);
  if (f.HandheldMac) r[cHandheldMac] = MacText(*f.HandheldMac);
  if (f.HandheldHw) r[cHandheldHw] = FormatPortVersion(*f.HandheldHw);
  r[cGolden] = std::string(goldenHandheld ? "handheld" : "server");
  if (goldenHandheld && f.HandheldMac)
    r[cGoldenId] = MacText(*f.HandheldMac);
  else if (!goldenHandheld && !f.ServerId.empty())
    r[cGoldenId] = f.ServerId;
  r[cGoldenOffset] = Optional(f.GoldenOffset);
  if (f.Unit) {
    r[cFactoryOffset] = static_cast<int64_t>(f.Unit->Factory);
    r[cPctoolOffset] = static_cast<int64_t>(f.Unit->PcTool);
    r[cEffectiveOffset] = static_cast<int64_t>(f.Unit->Effective);
  }
  r[cStoredOffset] = Optional(f.Stored);
  r[cResultOffset] = Optional(f.Result);
  if (!f.TrialOffsets.empty()) {
    r[cTrialOffsets] = List(f.TrialOffsets);
    r[cRecordsPerCycle] = List(f.RecordsPerCycle);
    r[cCycles] = static_cast<int64_t>(f.TrialOffsets.size());
  }
  r[cRssiAvg] = Optional(f.RssiAverage);
  r[cAfcMean] = Optional(f.AfcMean);
  r[cAfcSpread] = Optional(f.AfcSpread);

  std::string outcome;
  switch (w.Outcome) {
    case ocCompleted:
      outcome = analysisOnly ? "analysis" : "success";
      break;
    case ocFailed:
      outcome = "failed";
      r[cMessage] = f.LastLine;
      break;
    default:
      outcome = "aborted";
      r[cMessage] = std::string("Aborted by user!");
      break;
  }
  r[cOutcome] = outcome;
  if (!f.Stored)
    r[cNotStoredReason] = outcome == "analysis"  ? std::string("analysis only")
                          : outcome == "success" ? std::string("not stored")
                                                 : outcome;
  r[cTranscript] = w.LogText;
  return r;
}

std::string NewRecordUid(const std::string& station, const std::string& timeUtc) {
  static std::atomic<unsigned> counter{0};
  return station + "/" + timeUtc + "/" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

std::string EncodeSpoolLine(const TUnitRecord& record) {
  std::string line = "v" + std::to_string(kSchemaVersion);
  for (const TValue& v : record.Values) {
    line += '\t';
    if (std::holds_alternative<int64_t>(v)) {
      line += 'i' + std::to_string(std::get<int64_t>(v));
    } else if (std::holds_alternative<double>(v)) {
      char text[40];
      std::snprintf(text, sizeof text, "r%.17g", std::get<double>(v));
      line += text;
    } else if (std::holds_alternative<std::string>(v)) {
      line += 's';
      Escape(std::get<std::string>(v), line);
    } else {
      line += 'n';
    }
  }
  // A line that a crash cut short lacks its end mark.
  return line + "\tend";
}

bool DecodeSpoolLine(const std::string& line, TUnitRecord& record) {
  const std::string head = "v" + std::to_string(kSchemaVersion);
  if (line.compare(0, head.size(), head) != 0) return false;
  size_t at = head.size();
  for (size_t c = 0; c < kColumnCount; ++c) {
    if (at >= line.size() || line[at] != '\t') return false;
    const size_t start = at + 1;
    size_t end = line.find('\t', start);
    if (end == std::string::npos) end = line.size();
    if (start == end) return false;
    const char kind = line[start];
    const std::string body = line.substr(start + 1, end - start - 1);
    char* stop = nullptr;
    if (kind == 'n' && body.empty()) {
      record.Values[c] = {};
    } else if (kind == 'i' && !body.empty()) {
      record.Values[c] = static_cast<int64_t>(std::strtoll(body.c_str(), &stop, 10));
      if (*stop != '\0') return false;
    } else if (kind == 'r' && !body.empty()) {
      record.Values[c] = std::strtod(body.c_str(), &stop);
      if (*stop != '\0') return false;
    } else if (kind == 's') {
      std::string text;
      if (!Unescape(line, start + 1, end, text)) return false;
      record.Values[c] = std::move(text);
    } else {
      return false;
    }
    at = end;
  }
  return line.compare(at, std::string::npos, "\tend") == 0;
}

}  // namespace qv::records
