#include "bench/Channel.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace bench {

TChannel::TChannel() : TChannel(TConfig{}) {}

TChannel::TChannel(TConfig config) : FConfig(config) {}

std::shared_ptr<TRadio> TChannel::AddStation(TRadio::TConfig config) {
  auto radio = std::make_shared<TRadio>(config);
  std::lock_guard<std::mutex> lock(FMutex);
  radio->FChannel = shared_from_this();
  radio->FStation = FRadios.size();
  // Seeds of their own, apart from the radio's: the station's own records
  // draw exactly as on a radio of its own.
  std::seed_seq air{FConfig.Seed, static_cast<uint32_t>(radio->FStation), 1u};
  std::seed_seq foreign{FConfig.Seed, static_cast<uint32_t>(radio->FStation), 2u};
  radio->FAirRandom.seed(air);
  radio->FForeignRandom.seed(foreign);
  FRadios.push_back(radio.get());
  return radio;
}

size_t TChannel::Stations() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FRadios.size();
}

void TChannel::Remove(const TRadio& radio) {
  std::lock_guard<std::mutex> lock(FMutex);
  FRadios[radio.FStation] = nullptr;
  Moved();
}

void TChannel::Moved() {
  if (FConfig.KeepInStep) FMoved.notify_all();
}

std::vector<std::shared_ptr<TChannel::TPacket>> TChannel::Send(TRadio& sender, double crystal, uint32_t mac, TTime t) {
  std::uniform_int_distribution<TTime> place(0, kSlotUs - kAirUs);
  std::vector<std::shared_ptr<TPacket>> sent;
  for (int i = 0; i < sender.FConfig.PacketsPerCycle; ++i) {
    const TTime start = t + kLeadInUs + i * kSlotUs + place(sender.FAirRandom);
    auto p = std::make_shared<TPacket>(TPacket{sender.FStation, mac, crystal, start, start + kAirUs});
    if (FConfig.Collisions)
      for (const auto& q : FAir)
        if (q->Station != p->Station && q->Start < p->End && p->Start < q->End) q->Lost = p->Lost = true;
    FAir.push_back(p);
    for (TRadio* r : FRadios) {
      if (r == nullptr || r == &sender) continue;
      const auto at = std::upper_bound(r->FPending.begin(), r->FPending.end(), p->End,
                                       [](TTime end, const auto& q) { return end < q->End; });
      r->FPending.insert(at, p);
      if (r->FPending.size() > kPendingLimit) r->FPending.pop_front();
    }
    sent.push_back(std::move(p));
  }
  // A packet still to come starts after its station's progress: what ended
  // before every station's can collide with nothing more.
  TTime earliest = INT64_MAX;
  for (const TRadio* r : FRadios)
    if (r != nullptr && !r->FLeft) earliest = std::min(earliest, r->FProgress);
  while (!FAir.empty() && (FAir.front()->End < earliest || FAir.size() > kPendingLimit)) FAir.pop_front();
  return sent;
}

void TChannel::Settle(std::unique_lock<std::mutex>& lock, const TRadio& receiver, TTime t) {
  if (!FConfig.KeepInStep) return;
  const auto behind = [&](const TRadio* r) {
    return r != nullptr && r != &receiver && !r->FLeft && !r->FIdle && r->FProgress < t;
  };
  std::vector<TTime> seen;
  const auto look = [&] {
    bool any = false, moved = seen.size() != FRadios.size();
    seen.resize(FRadios.size());
    for (size_t i = 0; i < FRadios.size(); ++i) {
      if (!behind(FRadios[i])) continue;
      any = true;
      moved = moved || seen[i] != FRadios[i]->FProgress;
      seen[i] = FRadios[i]->FProgress;
    }
    return std::make_pair(any, moved);
  };
  auto since = std::chrono::steady_clock::now();
  for (;;) {
    const auto [any, moved] = look();
    if (!any) return;
    const auto now = std::chrono::steady_clock::now();
    if (moved) {
      since = now;
    } else if (now >= since + FConfig.IdleAfter) {
      // Those behind have not moved for a while: they wait for something
      // other than time, and the others go on without them.
      for (TRadio* r : FRadios)
        if (behind(r)) r->FIdle = true;
      return;
    }
    FMoved.wait_until(lock, since + FConfig.IdleAfter);
  }
}

void TChannel::Collect(TRadio& receiver, TTime t) {
  while (!receiver.FPending.empty() && receiver.FPending.front()->End <= t) {
    const std::shared_ptr<const TPacket> p = std::move(receiver.FPending.front());
    receiver.FPending.pop_front();
    const double x = p->Crystal - (receiver.FServerCrystal + receiver.FTrial);
    if (std::fabs(x) > receiver.FConfig.WindowSteps) continue;
    std::optional<TRadio::TRecord> record = receiver.Hear(x, p->Mac, receiver.FForeignRandom);
    if (!record) continue;
    if (p->Lost) {
      ++receiver.FCounters.Collided;
      continue;
    }
    ++receiver.FCounters.Foreign;
    receiver.Keep({std::move(*record), p->End, nullptr});
  }
  auto& kept = receiver.FRecords;
  for (auto it = kept.begin(); it != kept.end() && it->Arrival <= t;) {
    if (it->Packet && it->Packet->Lost) {
      ++receiver.FCounters.Collided;
      it = kept.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace bench
