// The radio dongle: identifies itself after a reset, then carries every
// byte to the handheld and its answer back. DSR shows a handheld that is
// connected, switched on and not busy with a job.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "bench/Handheld.h"
#include "bench/SerialModel.h"

namespace bench {

class TDongle final : public TSerialModel {
 public:
  struct TConfig {
    uint8_t Hw = 0x12;
    // Exactly 16 bytes; any values (tests use characters the tool rejects).
    std::string Identity = "QV0DONGLE0000001";
    bool ResetByLines = true;
    // The radio hop to the handheld and back, on top of the processing time.
    TTime RadioUs = 1500;
    // From a unit pulled out to the next queued unit plugged in.
    TTime SwapUs = 1000000;
  };

  // A dongle with a handheld connected and switched on.
  TDongle();
  explicit TDongle(TConfig config, std::shared_ptr<THandheld> handheld = std::make_shared<THandheld>());

  void Connect(std::shared_ptr<THandheld> handheld);
  void Disconnect() { FHandheld.reset(); }
  // The handheld last connected (it may have been pulled out since).
  const std::shared_ptr<THandheld>& Handheld() const { return FHandheld; }
  // Units waiting on the operator's bench: once the connected one has been
  // pulled out, the next is plugged in SwapUs later.
  void QueueHandheld(std::shared_ptr<THandheld> next) { FQueue.push_back(std::move(next)); }
  size_t Queued() const { return FQueue.size(); }
  // Brings the operator's swaps up to time t.
  void Advance(TTime t);

  const TConfig& Config() const { return FConfig; }
  // The identity text: the hardware byte, then the 16 identity characters.
  std::string IdentityText() const;
  // In the identification state (after power-on or a reset), before the
  // 16th identity character has been sent.
  bool Identifying() const { return FIdentifying; }

  // Also tells the handheld's radio how far the dongle has come: on a
  // shared channel the other stations wait for that.
  std::string Transmit(TTime t) override;

 protected:
  void OnByte(uint8_t byte, TTime t) override;
  void OnReset(TTime t) override;
  bool LineDsr(TTime t) const override;

 private:
  const THandheld* ConnectedAt(TTime t) const;

  TConfig FConfig;
  std::shared_ptr<THandheld> FHandheld;
  std::deque<std::shared_ptr<THandheld>> FQueue;
  bool FIdentifying = true;
  size_t FNext = 0;
};

}  // namespace bench
