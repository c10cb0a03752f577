#include "stats/Demo.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "records/Text.h"

namespace qv {

namespace {

// A station tunes a unit every two minutes for sixteen hours a day.
constexpr int kUnitsADay = 480;
constexpr int kBatch = 5000;
// The drifting golden reference moves this many steps over kDriftUnits of
// its units, from 60 % of its station's units on.
constexpr double kDrift = 5;
constexpr int kDriftUnits = 300;

struct TReason {
  const char* Line;
  int Weight;
  bool Measured;  // the test cycles ran
};

// The worker's own lines for a unit that failed.
constexpr TReason kReasons[] = {
    {"Radio failure!", 30, true},
    {"Measurements inconsistent!", 20, true},
    {"Communication error!", 20, false},
    {"Failed to initialize Quorvantis!", 15, false},
    {"Communication error, programming failed!", 10, true},
    {"Frequency offset too large to compensate!", 5, true},
};

// The demo's firmware files, with the SHA-256 their records keep: the
// handheld firmware is replaced by a new file for the last quarter of the
// units; the test firmware comes from the program's payload.
struct TDemoFirmware {
  int Input;
  const char* Source;
  uint64_t Size;
  const char* Sha256;
};
constexpr TDemoFirmware kHandheldV24 = {2, "/opt/qvtune/qvhandheld.qpf", 12296,
                                        "118b065481b717c67b995d59e5442166178d7085f466c0cb2c593a4f7c48ad78"};
constexpr TDemoFirmware kHandheldV25 = {2, "/opt/qvtune/qvhandheld-2.5.qpf", 12296,
                                        "3cb9be49fb220ddb2bff3fcee49b45fd0b7e05af7614dd8bc19ce16b9e112f48"};
constexpr TDemoFirmware kHandheldTest = {4, "payload", 6144,
                                         "35f4d05f14730f1b35b5fc90a8c1f220992dfe710883dd961f04b8c3a64a74dd"};
constexpr TDemoFirmware kServer = {3, "/opt/qvtune/qvserver.hex", 14053,
                                   "1e221833cea0d7209d0d5f06c7400177ca7d71de1a6e345dc8f356dcdc7065dd"};
constexpr TDemoFirmware kServerTest = {5, "payload", 6144,
                                       "12863923d7eb28964e63b09596773a09b139c31595516842524edab8cee6e5c4"};

TFirmwareInput InputOf(const TDemoFirmware& f) {
  return {f.Input, kFirmwareInputLabels[f.Input - 1], f.Source, f.Size, f.Sha256};
}

struct TStation {
  std::string Name;
  bool Rework = false;  // tunes servers against a golden handheld
  std::string ServerId;
  uint32_t GoldenMac = 0;
  int GoldenError = 0;  // the golden's own error, in steps
  int Rssi = 180;
  int Spread = 1;  // the AFC spread its radio shows
  double FailRate = 0.03;
  bool Drifts = false;
  int64_t Done = 0;  // its units so far
  int64_t DriftFrom = 0;
  uint32_t Retry = 0;  // a handheld that failed, which may come back
};

}  // namespace

int DemoStations(int64_t units) {
  return units < 2000 ? 3 : units < 200000 ? 5 : 20;
}

bool WriteDemo(records::TRecordStore& store, const TDemoOptions& o, std::string& why,
               const std::function<void(int64_t written)>& progress) {
  const int count = DemoStations(o.Units);
  std::mt19937_64 rng(o.Seed);
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
  // Units of a batch differ by a step or two (TGoldenOptions: the spread
  // the drift threshold is made for), so that over half a million units a
  // steady golden's running mean stays within its threshold.
  std::normal_distribution<double> crystal(0, 1.2);

  std::vector<TStation> stations(static_cast<size_t>(count));
  for (int k = 0; k < count; ++k) {
    TStation& s = stations[static_cast<size_t>(k)];
    s.Rework = k == count - 1;
    s.Name = s.Rework ? "REWORK" : "LINE-" + std::to_string(k + 1);
    char id[32];
    std::snprintf(id, sizeof id, "RFQVSERVER%06d", 101 + k);
    s.ServerId = id;
    s.GoldenMac = 0x00C0FE00u + static_cast<uint32_t>(k);
    s.GoldenError = uniform(-6, 6);
    s.Rssi = 172 + 3 * k % 15;
    s.Spread = k == 2 ? 3 : 1;
    s.FailRate = k == 2 ? 0.07 : 0.025;
    s.Drifts = k == 1;
    s.DriftFrom = o.Units / count * 6 / 10;
  }

  const int64_t perDay = static_cast<int64_t>(count) * kUnitsADay;
  const int64_t days = (o.Units + perDay - 1) / perDay;
  int64_t last =
      std::chrono::duration_cast<std::chrono::hours>(std::chrono::system_clock::now().time_since_epoch()).count() / 24 -
      1;
  if (!o.LastDay.empty()) {
    const std::optional<int64_t> ms = records::ParseUtcMs(o.LastDay + "T00:00:00Z");
    if (!ms) {
      why = "the last day " + o.LastDay + " is not a day (YYYY-MM-DD)";
      return false;
    }
    last = *ms / 86400000;
  }
  const int64_t first = last - days + 1;
  uint32_t nextMac = 0x00A10000u;

  std::vector<records::TUnitRecord> batch;
  batch.reserve(kBatch);
  for (int64_t i = 0; i < o.Units; ++i) {
    const int64_t day = first + i / perDay;
    const int64_t j = i % perDay;
    TStation& s = stations[static_cast<size_t>(j % count)];
    const int64_t slot = j / count;
    const int64_t ms = ((day * 24 + 6) * 3600 + slot * 120 + uniform(0, 90)) * 1000 + uniform(0, 999);

    TUnitResult u;
    u.GoldenIsHandheld = s.Rework;
    u.AnalysisOnly = chance(s.Rework ? 0.2 : 0.005);
    u.ModemFw = "V1.7";
    const bool newFirmware = i * 4 >= o.Units * 3;
    u.HandheldFw = newFirmware ? "V2.5" : "V2.4";
    u.ServerFw = "V2.1.3a";
    u.HandheldHw = "2.2";
    char dongle[32];
    std::snprintf(dongle, sizeof dongle, "QV0DONGLE%07d", static_cast<int>(&s - stations.data()) + 1);
    u.DongleId = dongle;
    TUnitFacts& f = u.Facts;
    f.ServerId = s.ServerId;
    // The unit under test: a handheld, or at the rework station a server
    // beside the golden handheld (whose address the record then holds).
    const bool again = s.Retry != 0 && chance(0.6);
    const uint32_t mac = s.Rework ? s.GoldenMac : again ? s.Retry : nextMac++;
    s.Retry = 0;
    f.HandheldMac = mac;
    f.HandheldHw = 0x22;
    f.GoldenOffset = 7;
    if (s.Rework)
      f.Firmware = {InputOf(kServer), InputOf(kServerTest)};
    else
      f.Firmware = {InputOf(newFirmware ? kHandheldV25 : kHandheldV24), InputOf(kHandheldTest)};

    double drift = 0;
    if (s.Drifts && s.Done >= s.DriftFrom)
      drift = std::min(kDrift, kDrift * static_cast<double>(s.Done - s.DriftFrom) / kDriftUnits);
    ++s.Done;
    const int own = std::clamp(static_cast<int>(std::lround(crystal(rng))), -40, 40);
    int result = own - s.GoldenError - static_cast<int>(std::lround(drift));
    if (result == 0) result = -1;
    if (result == 1 && s.Rework) result = 2;

    std::string transcript = ">Dongle found on COM3, ID#" + u.DongleId + "\r>Server found on COM4, ID#" + s.ServerId +
                             "\r>Quorvantis found, hardware 2.2\r";
    const TReason* failed = nullptr;
    const bool aborted = chance(0.004);
    if (!aborted && chance(s.FailRate)) {
      int pick = uniform(1, 100);
      for (const TReason& r : kReasons)
        if ((pick -= r.Weight) <= 0 || &r == &kReasons[std::size(kReasons) - 1]) {
          failed = &r;
          break;
        }
    }
    f.Unit = TOffsetSettings{own, 0, own};
    const bool measured = !aborted && (failed == nullptr || failed->Measured);
    if (measured) {
      const int cycles = uniform(2, 3);
      for (int c = 0; c < cycles; ++c) {
        f.TrialOffsets.push_back(c == 0 ? 0 : c == cycles - 1 ? result : result / 2);
        f.RecordsPerCycle.push_back(40 - uniform(0, 2));
        transcript += ">Test cycle " + std::to_string(c + 1) + ": offset " + std::to_string(f.TrialOffsets.back()) +
                      ", " + std::to_string(f.RecordsPerCycle.back()) + " records\r";
      }
    }
    if (measured && failed == nullptr) {
      f.Result = result;
      f.RssiAverage = s.Rssi + uniform(-4, 4);
      f.AfcSpread = std::max(0, s.Spread + uniform(-1, 1));
      f.AfcMean = uniform(-12, 12) / 8.0;
      transcript += ">avRSSI = " + std::to_string(*f.RssiAverage) + ", offset = " + std::to_string(result) +
                    ", varAFC=" + std::to_string(*f.AfcSpread) + "\r";
    }
    if (aborted) {
      u.Verdict = uvAborted;
      u.Message = "Aborted by user!";
    } else if (failed != nullptr) {
      u.Verdict = uvFailed;
      u.Message = failed->Line;
      if (!s.Rework) s.Retry = mac;
    } else {
      u.Verdict = uvCompleted;
      if (!u.AnalysisOnly) f.Stored = result;
    }
    transcript += ">" + (u.Verdict == uvCompleted ? std::string("Completed successfully!") : u.Message) + "\r";
    u.Transcript = transcript;

    records::TUnitRecord r = records::RecordOfUnit(u, {s.Name, "qvstats --demo", "operator " + s.Name});
    r.TimeUtc = records::UtcTimestamp(std::chrono::system_clock::time_point(std::chrono::milliseconds(ms)));
    r.Uid = records::NewRecordUid(s.Name, r.TimeUtc);
    batch.push_back(std::move(r));
    if (batch.size() == kBatch || i + 1 == o.Units) {
      if (!store.WriteMany(batch, why)) return false;
      batch.clear();
      if (progress) progress(i + 1);
    }
  }
  // Brings nothing up, but a server's statistics after a bulk load.
  return store.Upgrade(why, nullptr);
}

}  // namespace qv
