#include "bench/Radio.h"

#include <algorithm>
#include <cmath>

#include "bench/Channel.h"

namespace bench {

namespace {

constexpr double kStepsPerAfcUnit = 8.0 / 3.0;
// A record of a radio on its own is there as soon as its cycle has run.
constexpr TTime kAtOnce = INT64_MIN;

}  // namespace

TRadio::TRadio() : TRadio(TConfig{}) {}

TRadio::TRadio(TConfig config) : FConfig(config), FRandom(config.Seed) {}

TRadio::~TRadio() {
  if (FChannel) FChannel->Remove(*this);
}

std::mutex& TRadio::Mutex() const {
  return FChannel ? FChannel->FMutex : FMutex;
}

TRadio::TRecord TRadio::Record(uint8_t rssi, int afc, uint32_t mac) {
  TRecord r(17, '\0');
  r[0] = 'P';
  r[1] = static_cast<char>(rssi);
  r[2] = static_cast<char>(afc & 0xFF);  // 0..128 as they are, -127..-1 as 129..255
  r[3] = 0x00;
  r[4] = 0x08;
  for (int i = 0; i < 4; ++i) r[5 + static_cast<size_t>(i)] = static_cast<char>(mac >> (24 - 8 * i));
  r[9] = 0x00;
  for (size_t i = 10; i < 17; ++i) r[i] = static_cast<char>(0xA0 + i);
  return r;
}

void TRadio::SetServerCrystal(double steps) {
  std::lock_guard<std::mutex> lock(Mutex());
  FServerCrystal = steps;
}

void TRadio::SetTrialOffset(int8_t offset) {
  std::lock_guard<std::mutex> lock(Mutex());
  FTrial = offset;
  FRecords.clear();
}

int8_t TRadio::TrialOffset() const {
  std::lock_guard<std::mutex> lock(Mutex());
  return FTrial;
}

TRadio::TRecord TRadio::NextRecord() {
  std::lock_guard<std::mutex> lock(Mutex());
  if (FRecords.empty()) return {};
  TRecord r = std::move(FRecords.front().Record);
  FRecords.pop_front();
  return r;
}

void TRadio::SetTrialOffset(int8_t offset, TTime t) {
  if (!FChannel) return SetTrialOffset(offset);
  std::unique_lock<std::mutex> lock(Mutex());
  // What arrived under the old offset was heard with it, and goes.
  FChannel->Settle(lock, *this, t);
  FChannel->Collect(*this, t);
  FTrial = offset;
  FRecords.clear();
}

TRadio::TRecord TRadio::NextRecord(TTime t) {
  if (!FChannel) return NextRecord();
  std::unique_lock<std::mutex> lock(Mutex());
  FChannel->Settle(lock, *this, t);
  FChannel->Collect(*this, t);
  if (FRecords.empty() || FRecords.front().Arrival > t) return {};
  TRecord r = std::move(FRecords.front().Record);
  FRecords.pop_front();
  return r;
}

void TRadio::Reached(TTime t) {
  if (!FChannel) return;
  std::lock_guard<std::mutex> lock(Mutex());
  if (t <= FProgress) return;
  FProgress = t;
  FIdle = false;
  FChannel->Moved();
}

void TRadio::Leave() {
  if (!FChannel) return;
  std::lock_guard<std::mutex> lock(Mutex());
  FLeft = true;
  FChannel->Moved();
}

TRadio::TCounters TRadio::Counters() const {
  std::lock_guard<std::mutex> lock(Mutex());
  return FCounters;
}

void TRadio::Flush(TTime t) {
  if (!FChannel) return;
  std::lock_guard<std::mutex> lock(Mutex());
  FChannel->Collect(*this, t);
}

void TRadio::Keep(TKept kept) {
  const auto at = std::upper_bound(FRecords.begin(), FRecords.end(), kept.Arrival,
                                   [](TTime a, const TKept& k) { return a < k.Arrival; });
  FRecords.insert(at, std::move(kept));
}

std::optional<TRadio::TRecord> TRadio::Hear(double x, uint32_t mac, std::mt19937& random) const {
  std::uniform_real_distribution<double> noise(-FConfig.AfcNoise, FConfig.AfcNoise);
  std::uniform_real_distribution<double> chance(0, 1);
  if (chance(random) < FConfig.LossRate) return std::nullopt;
  const int afc = static_cast<int>(std::lround(x / kStepsPerAfcUnit + noise(random)));
  const double fall = FConfig.RssiAtCentre - 2.0 * std::fabs(x) + 3.0 * noise(random);
  const auto rssi = static_cast<uint8_t>(std::clamp(std::lround(fall), 0L, 255L));
  return Record(rssi, std::clamp(afc, -127, 128), mac);
}

size_t TRadio::RecordsLeft() const {
  std::lock_guard<std::mutex> lock(Mutex());
  return FRecords.size();
}

int TRadio::Cycles() const {
  std::lock_guard<std::mutex> lock(Mutex());
  return FCycles;
}

void TRadio::Script(std::vector<std::vector<TRecord>> cycles) {
  std::lock_guard<std::mutex> lock(Mutex());
  for (auto& c : cycles) FScript.push_back(std::move(c));
}

void TRadio::HearOnly(int heard, int cycles) {
  std::lock_guard<std::mutex> lock(Mutex());
  FHearOnly = heard;
  FHearOnlyCycles = cycles;
}

void TRadio::TestCycle(double crystal, uint32_t mac, TTime t) {
  std::lock_guard<std::mutex> lock(Mutex());
  ++FCycles;
  // On a channel the cycle's packets go on the air, and each record the
  // server keeps arrives with its packet.
  const std::vector<std::shared_ptr<TPacket>> air =
      FChannel ? FChannel->Send(*this, crystal, mac, t) : std::vector<std::shared_ptr<TPacket>>();
  const TTime cycleEnd = air.empty() ? kAtOnce : air.back()->End;
  if (!FScript.empty()) {
    for (TRecord& r : FScript.front()) FRecords.push_back({std::move(r), cycleEnd, nullptr});
    FScript.pop_front();
    return;
  }
  const double x = crystal - (FServerCrystal + FTrial);
  int limit = FConfig.PacketsPerCycle;
  if (FHearOnlyCycles > 0) {
    limit = std::min(limit, FHearOnly);
    --FHearOnlyCycles;
  }
  std::vector<TKept> heard;
  if (std::fabs(x) <= FConfig.WindowSteps) {
    for (int i = 0; i < FConfig.PacketsPerCycle && static_cast<int>(heard.size()) < limit; ++i) {
      std::optional<TRecord> r = Hear(x, mac, FRandom);
      if (!r) continue;
      if (air.empty())
        heard.push_back({std::move(*r), kAtOnce, nullptr});
      else
        heard.push_back({std::move(*r), air[static_cast<size_t>(i)]->End, air[static_cast<size_t>(i)]});
    }
  }
  // Other senders on the channel, and records the server's firmware
  // damaged, mixed in among the handheld's; they arrive with the record
  // before them.
  const auto insert = [&](TRecord r) {
    const size_t at = heard.empty() ? 0 : FRandom() % (heard.size() + 1);
    const TTime arrival = heard.empty() ? cycleEnd : heard[at == 0 ? 0 : at - 1].Arrival;
    heard.insert(heard.begin() + static_cast<std::ptrdiff_t>(at), TKept{std::move(r), arrival, nullptr});
  };
  for (int i = 0; i < FConfig.ForeignPerCycle; ++i) insert(Record(120, 3, FConfig.ForeignMac));
  for (int i = 0; i < FConfig.MalformedPerCycle; ++i) {
    TRecord bad = Record(120, 0, mac);
    switch (i % 3) {
      case 0:
        // A shorter reply: its head announces one byte fewer.
        bad.resize(16);
        bad[0] = 'O';
        break;
      case 1:
        bad[4] = 0x09;
        break;
      default:
        // Another head, with the length it announces.
        bad[0] = 'Q';
        bad.push_back('\x5A');
        break;
    }
    insert(std::move(bad));
  }
  for (TKept& k : heard) FRecords.push_back(std::move(k));
}

}  // namespace bench
