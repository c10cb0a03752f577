#include "line/Json.h"

#include <cmath>

#include "records/Text.h"

namespace qv::line {

namespace {

constexpr double kStepsPerPpm = 1.92955;

std::string Text(const std::string& bytes) {
  return records::Utf8Text(bytes);
}

template <class T>
TJson Optional(const std::optional<T>& v) {
  return v ? TJson(*v) : TJson(nullptr);
}

std::string MacText(uint32_t mac) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(mac));
  return text;
}

double Rounded(double v, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(v * scale) / scale;
}

}  // namespace

std::string JsonLine(const TJson& object) {
  return object.dump() + "\n";
}

TJson LogObject(const std::string& time, const std::string& station, int unit, const std::string& step,
                const std::string& text) {
  TJson o;
  o["event"] = "log";
  o["time"] = time;
  o["station"] = Text(station);
  o["unit"] = unit;
  o["step"] = step;
  o["text"] = Text(text);
  return o;
}

TJson ResultObject(const TUnitResult& r, const TResultContext& c) {
  const TUnitFacts& f = r.Facts;
  TJson o;
  o["event"] = "result";
  o["time"] = c.Time;
  o["station"] = Text(c.Station);
  o["unit"] = c.Unit;
  o["radio_address"] = f.HandheldMac ? TJson(MacText(*f.HandheldMac)) : TJson(nullptr);
  o["scan_id"] = c.ScanId.empty() ? TJson(nullptr) : TJson(Text(c.ScanId));
  o["operator"] = c.Operator.empty() ? TJson(nullptr) : TJson(Text(c.Operator));
  o["hardware"] = r.HandheldHw.empty() ? TJson(nullptr) : TJson(r.HandheldHw);
  TJson golden;
  golden["side"] = r.GoldenIsHandheld ? "handheld" : "server";
  if (r.GoldenIsHandheld)
    golden["id"] = f.HandheldMac ? TJson(MacText(*f.HandheldMac)) : TJson(nullptr);
  else
    golden["id"] = f.ServerId.empty() ? TJson(nullptr) : TJson(Text(f.ServerId));
  golden["offset"] = Optional(f.GoldenOffset);
  o["golden"] = golden;
  TJson before;
  before["factory"] = f.Unit ? TJson(f.Unit->Factory) : TJson(nullptr);
  before["pc_tool"] = f.Unit ? TJson(f.Unit->PcTool) : TJson(nullptr);
  before["effective"] = f.Unit ? TJson(f.Unit->Effective) : TJson(nullptr);
  o["before"] = before;
  TJson stored;
  stored["steps"] = Optional(f.Stored);
  stored["ppm"] = f.Stored ? TJson(Rounded(*f.Stored / kStepsPerPpm, 2)) : TJson(nullptr);
  o["stored"] = stored;
  TJson m;
  m["trial_offsets"] = f.TrialOffsets;
  m["records_per_cycle"] = f.RecordsPerCycle;
  m["result"] = Optional(f.Result);
  m["rssi_avg"] = Optional(f.RssiAverage);
  m["afc_mean"] = Optional(f.AfcMean);
  m["afc_spread"] = Optional(f.AfcSpread);
  m["cycles"] = f.TrialOffsets.size();
  o["measurement"] = m;
  o["limits"] = trace::LimitsJson(c.Limits);
  o["outcome"] = c.Outcome;
  o["message"] = c.Message.empty() ? TJson(nullptr) : TJson(Text(c.Message));
  TJson firmware = TJson::array();
  for (const TFirmwareInput& in : f.Firmware) {
    TJson i;
    i["input"] = in.Label;
    i["source"] = Text(in.Source);
    i["size"] = in.Size;
    i["sha256"] = in.Sha256.empty() ? TJson(nullptr) : TJson(in.Sha256);
    firmware.push_back(i);
  }
  o["firmware"] = firmware;
  o["duration_s"] = Rounded(c.DurationS, 3);
  return o;
}

TJson SummaryObject(const TSummary& s) {
  TJson o;
  o["event"] = "summary";
  o["time"] = s.Time;
  o["station"] = Text(s.Station);
  o["units"] = s.Units;
  o["tuned"] = s.Tuned;
  o["failed"] = s.Failed;
  TJson by = TJson::object();
  for (const auto& [reason, count] : s.FailedBy) by[Text(reason)] = count;
  o["failed_by_reason"] = by;
  o["duration_s"] = Rounded(s.DurationS, 3);
  return o;
}

}  // namespace qv::line
