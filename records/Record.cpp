#include "records/Record.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "records/Text.h"

namespace qv::records {

namespace {

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

}  // namespace

const TFirmwareFields kFirmwareFields[5] = {
    {&TUnitRecord::ModemFwSource, &TUnitRecord::ModemFwSize, &TUnitRecord::ModemFwSha256},
    {&TUnitRecord::HandheldFwSource, &TUnitRecord::HandheldFwSize, &TUnitRecord::HandheldFwSha256},
    {&TUnitRecord::ServerFwSource, &TUnitRecord::ServerFwSize, &TUnitRecord::ServerFwSha256},
    {&TUnitRecord::HandheldTestFwSource, &TUnitRecord::HandheldTestFwSize, &TUnitRecord::HandheldTestFwSha256},
    {&TUnitRecord::ServerTestFwSource, &TUnitRecord::ServerTestFwSize, &TUnitRecord::ServerTestFwSha256},
};

TUnitRecord RecordOfUnit(const TUnitResult& u, const TRecordSource& source, const TUnitExtras& extras) {
  const TUnitFacts& f = u.Facts;
  TUnitRecord r;
  r.TimeUtc = UtcNow();
  r.Uid = NewRecordUid(source.Station, r.TimeUtc);
  r.Station = source.Station;
  r.Tool = source.Tool;
  r.HandheldFw = u.HandheldFw;
  r.ServerFw = u.ServerFw;
  r.ModemFw = u.ModemFw;
  r.DongleId = u.DongleId;
  if (f.HandheldMac) r.HandheldMac = MacText(*f.HandheldMac);
  r.HandheldHw = u.HandheldHw;
  r.Golden = u.GoldenIsHandheld ? "handheld" : "server";
  if (u.GoldenIsHandheld && f.HandheldMac)
    r.GoldenId = MacText(*f.HandheldMac);
  else if (!u.GoldenIsHandheld)
    r.GoldenId = f.ServerId;
  r.GoldenOffset = f.GoldenOffset;
  if (f.Unit) {
    r.FactoryOffset = f.Unit->Factory;
    r.PcToolOffset = f.Unit->PcTool;
    r.EffectiveOffset = f.Unit->Effective;
  }
  r.StoredOffset = f.Stored;
  r.ResultOffset = f.Result;
  if (!f.TrialOffsets.empty()) {
    r.TrialOffsets = List(f.TrialOffsets);
    r.RecordsPerCycle = List(f.RecordsPerCycle);
    r.Cycles = static_cast<int>(f.TrialOffsets.size());
  }
  if (f.RssiAverage) r.RssiAvg = *f.RssiAverage;
  r.AfcMean = f.AfcMean;
  if (f.AfcSpread) r.AfcSpread = *f.AfcSpread;
  switch (u.Verdict) {
    case uvCompleted:
      r.Outcome = u.AnalysisOnly ? "analysis" : "success";
      break;
    case uvFailed:
      r.Outcome = "failed";
      break;
    case uvAborted:
      r.Outcome = "aborted";
      break;
  }
  r.Message = u.Message;
  if (!f.Stored)
    r.NotStoredReason = r.Outcome == "analysis" ? "analysis only" : r.Outcome == "success" ? "not stored" : r.Outcome;
  if (!extras.FailedLimit.empty()) {
    r.Outcome = "failed";
    r.Message = extras.FailedLimit;
  }
  r.Transcript = u.Transcript;
  r.Operator = source.Operator;
  r.ScanId = extras.ScanId;
  r.Limits = extras.Limits;
  for (const TFirmwareInput& in : f.Firmware) {
    if (in.Input < 1 || in.Input > 5) continue;
    const TFirmwareFields& field = kFirmwareFields[in.Input - 1];
    r.*field.Source = in.Source;
    r.*field.Size = static_cast<int>(std::min<uint64_t>(in.Size, INT32_MAX));
    r.*field.Sha256 = in.Sha256;
  }
  return r;
}

std::string NewRecordUid(const std::string& station, const std::string& timeUtc) {
  static std::atomic<unsigned> counter{0};
  return station + "/" + timeUtc + "/" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

std::string FailureReason(const TUnitRecord& r) {
  if (r.Outcome == "success" || r.Outcome == "analysis") return {};
  std::string line = r.Message.substr(0, r.Message.find_first_of("\r\n"));
  while (!line.empty() && (line.back() == ' ' || line.back() == '.')) line.pop_back();
  if (!line.empty()) return line;
  if (!r.NotStoredReason.empty()) return r.NotStoredReason;
  return r.Outcome.empty() ? std::string("unknown") : r.Outcome;
}

std::string EncodeSpoolLine(const TUnitRecord& record) {
  std::string line = "v" + std::to_string(kSchemaVersion);
  for (const TColumnInfo& c : kColumns) {
    if (!InVersion(c, kSchemaVersion)) continue;
    const TValue v = ColumnValue(record, c);
    line += '\t';
    if (std::holds_alternative<int64_t>(v)) {
      line += 'i' + std::to_string(std::get<int64_t>(v));
    } else if (std::holds_alternative<double>(v)) {
      char text[40];
      std::snprintf(text, sizeof text, "r%.17g", std::get<double>(v));
      line += text;
    } else if (std::holds_alternative<std::string>(v)) {
      line += 's';
      EscapeField(std::get<std::string>(v), line);
    } else if (std::holds_alternative<TBlob>(v)) {
      line += 'b';
      EscapeField(std::get<TBlob>(v).Bytes, line);
    } else {
      line += 'n';
    }
  }
  // A line that a crash cut short lacks its end mark.
  return line + "\tend";
}

bool DecodeSpoolLine(const std::string& line, TUnitRecord& record) {
  size_t at = 1;
  int version = 0;
  while (at < line.size() && at < 4 && line[at] >= '0' && line[at] <= '9') version = version * 10 + (line[at++] - '0');
  if (line.empty() || line[0] != 'v' || version < kFirstSchemaVersion || version > kSchemaVersion) return false;
  record = {};
  for (const TColumnInfo& c : kColumns) {
    if (!InVersion(c, version)) continue;
    if (at >= line.size() || line[at] != '\t') return false;
    const size_t start = at + 1;
    size_t end = line.find('\t', start);
    if (end == std::string::npos) end = line.size();
    if (start == end) return false;
    const char kind = line[start];
    const std::string body = line.substr(start + 1, end - start - 1);
    char* stop = nullptr;
    TValue value;
    if (kind == 'n' && body.empty()) {
      value = {};
    } else if (kind == 'i' && !body.empty()) {
      value = static_cast<int64_t>(std::strtoll(body.c_str(), &stop, 10));
      if (*stop != '\0') return false;
    } else if (kind == 'r' && !body.empty()) {
      value = std::strtod(body.c_str(), &stop);
      if (*stop != '\0') return false;
    } else if (kind == 's' || kind == 'b') {
      std::string text;
      if (!UnescapeField(line, start + 1, end, text)) return false;
      if (kind == 's')
        value = std::move(text);
      else
        value = TBlob{std::move(text)};
    } else {
      return false;
    }
    if (!SetColumnValue(record, c, value)) return false;
    at = end;
  }
  return line.compare(at, std::string::npos, "\tend") == 0;
}

}  // namespace qv::records
