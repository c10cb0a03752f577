// The radio dongle: identifies itself after a reset, then carries every
// byte to the handheld and its answer back. DSR shows a handheld that is
// connected, switched on and not busy with a job.
#pragma once

#include <cstdint>
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
  };

  // A dongle with a handheld connected and switched on.
  TDongle();
  explicit TDongle(TConfig config, std::shared_ptr<THandheld> handheld = std::make_shared<THandheld>());

  void Connect(std::shared_ptr<THandheld> handheld);
  void Disconnect() { FHandheld.reset(); }
  const std::shared_ptr<THandheld>& Handheld() const { return FHandheld; }

  const TConfig& Config() const { return FConfig; }
  // The identity text: the hardware byte, then the 16 identity characters.
  std::string IdentityText() const;
  // In the identification state (after power-on or a reset), before the
  // 16th identity character has been sent.
  bool Identifying() const { return FIdentifying; }

 protected:
  void OnByte(uint8_t byte, TTime t) override;
  void OnReset(TTime t) override;
  bool LineDsr(TTime t) const override;

 private:
  TConfig FConfig;
  std::shared_ptr<THandheld> FHandheld;
  bool FIdentifying = true;
  size_t FNext = 0;
};

}  // namespace bench
