#include "bench/Radio.h"

#include <algorithm>
#include <cmath>

namespace bench {

namespace {

constexpr double kStepsPerAfcUnit = 8.0 / 3.0;

}  // namespace

TRadio::TRadio() : TRadio(TConfig{}) {}

TRadio::TRadio(TConfig config) : FConfig(config), FRandom(config.Seed) {}

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
  std::lock_guard<std::mutex> lock(FMutex);
  FServerCrystal = steps;
}

void TRadio::SetTrialOffset(int8_t offset) {
  std::lock_guard<std::mutex> lock(FMutex);
  FTrial = offset;
  FRecords.clear();
}

int8_t TRadio::TrialOffset() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FTrial;
}

TRadio::TRecord TRadio::NextRecord() {
  std::lock_guard<std::mutex> lock(FMutex);
  if (FRecords.empty()) return {};
  TRecord r = std::move(FRecords.front());
  FRecords.pop_front();
  return r;
}

size_t TRadio::RecordsLeft() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FRecords.size();
}

int TRadio::Cycles() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FCycles;
}

void TRadio::Script(std::vector<std::vector<TRecord>> cycles) {
  std::lock_guard<std::mutex> lock(FMutex);
  for (auto& c : cycles) FScript.push_back(std::move(c));
}

void TRadio::HearOnly(int heard, int cycles) {
  std::lock_guard<std::mutex> lock(FMutex);
  FHearOnly = heard;
  FHearOnlyCycles = cycles;
}

void TRadio::TestCycle(double crystal, uint32_t mac, TTime) {
  std::lock_guard<std::mutex> lock(FMutex);
  ++FCycles;
  if (!FScript.empty()) {
    for (TRecord& r : FScript.front()) FRecords.push_back(std::move(r));
    FScript.pop_front();
    return;
  }
  std::uniform_real_distribution<double> noise(-FConfig.AfcNoise, FConfig.AfcNoise);
  std::uniform_real_distribution<double> chance(0, 1);
  const double x = crystal - (FServerCrystal + FTrial);
  int limit = FConfig.PacketsPerCycle;
  if (FHearOnlyCycles > 0) {
    limit = std::min(limit, FHearOnly);
    --FHearOnlyCycles;
  }
  std::vector<TRecord> heard;
  if (std::fabs(x) <= FConfig.WindowSteps) {
    for (int i = 0; i < FConfig.PacketsPerCycle && static_cast<int>(heard.size()) < limit; ++i) {
      if (chance(FRandom) < FConfig.LossRate) continue;
      const int afc = static_cast<int>(std::lround(x / kStepsPerAfcUnit + noise(FRandom)));
      const double fall = FConfig.RssiAtCentre - 2.0 * std::fabs(x) + 3.0 * noise(FRandom);
      const auto rssi = static_cast<uint8_t>(std::clamp(std::lround(fall), 0L, 255L));
      heard.push_back(Record(rssi, std::clamp(afc, -127, 128), mac));
    }
  }
  // Other senders on the channel, and records the server's firmware
  // damaged, mixed in among the handheld's.
  for (int i = 0; i < FConfig.ForeignPerCycle; ++i) {
    const size_t at = heard.empty() ? 0 : FRandom() % (heard.size() + 1);
    heard.insert(heard.begin() + static_cast<std::ptrdiff_t>(at), Record(120, 3, FConfig.ForeignMac));
  }
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
        bad[0] = 'Q';
        break;
    }
    const size_t at = heard.empty() ? 0 : FRandom() % (heard.size() + 1);
    heard.insert(heard.begin() + static_cast<std::ptrdiff_t>(at), bad);
  }
  for (TRecord& r : heard) FRecords.push_back(std::move(r));
}

}  // namespace bench
