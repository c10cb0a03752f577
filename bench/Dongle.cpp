#include "bench/Dongle.h"

#include <stdexcept>
#include <utility>

#include "bench/Identify.h"

namespace bench {

TDongle::TDongle() : TDongle(TConfig{}) {}

TDongle::TDongle(TConfig config, std::shared_ptr<THandheld> handheld)
    : TSerialModel(config.ResetByLines), FConfig(std::move(config)), FHandheld(std::move(handheld)) {
  if (FConfig.Identity.size() != kIdentityLength) throw std::invalid_argument("dongle identity must be 16 bytes");
}

void TDongle::Connect(std::shared_ptr<THandheld> handheld) {
  FHandheld = std::move(handheld);
  if (FHandheld) FHandheld->PlugIn();
}

std::string TDongle::IdentityText() const {
  return static_cast<char>(FConfig.Hw) + FConfig.Identity;
}

void TDongle::OnReset(TTime) {
  FIdentifying = true;
  FNext = 0;
}

const THandheld* TDongle::ConnectedAt(TTime t) const {
  const THandheld* h = FHandheld.get();
  if (h == nullptr || !h->Unplugged(t)) return h;
  if (!FQueue.empty() && t >= h->ReleasedAt() + h->Config().UnplugUs + FConfig.SwapUs) return FQueue.front().get();
  return nullptr;
}

void TDongle::Advance(TTime t) {
  while (FHandheld && FHandheld->Unplugged(t) && !FQueue.empty() &&
         t >= FHandheld->ReleasedAt() + FHandheld->Config().UnplugUs + FConfig.SwapUs) {
    FHandheld = FQueue.front();
    FQueue.pop_front();
    FHandheld->PlugIn();
  }
}

void TDongle::OnByte(uint8_t byte, TTime t) {
  Advance(t);
  if (FIdentifying) {
    uint8_t answer = 0;
    switch (IdentifyStep(byte, FConfig.Hw, FConfig.Identity, FNext, answer)) {
      case TIdentifyStep::Answer:
        Answer(byte, answer, t);
        break;
      case TIdentifyStep::Done:
        Answer(byte, answer, t);
        FIdentifying = false;
        if (FHandheld) FHandheld->LinkUp();
        break;
      case TIdentifyStep::Ignore:
        break;
    }
    return;
  }
  // Without a handheld on the other side of the radio nothing comes back.
  if (!FHandheld) return;
  if (const auto answer = FHandheld->Command(byte, t)) Answer(byte, *answer, t, FConfig.RadioUs);
}

// Called once every byte due by t has been received: a test cycle starts
// on a byte, so every packet this station sends by t is on the air now.
std::string TDongle::Transmit(TTime t) {
  if (FHandheld && FHandheld->Radio()) FHandheld->Radio()->Reached(t);
  return TSerialModel::Transmit(t);
}

bool TDongle::LineDsr(TTime t) const {
  const THandheld* h = ConnectedAt(t);
  return h != nullptr && h->Ready(t);
}

}  // namespace bench
