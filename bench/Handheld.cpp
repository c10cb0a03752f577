#include "bench/Handheld.h"

namespace bench {

namespace {

constexpr uint8_t kProbe = 0x00;
constexpr uint8_t kReadRegister = 0x02;
constexpr uint8_t kReadEeprom = 0x03;
constexpr uint8_t kAddressLow = 0x04;
constexpr uint8_t kAddressHigh = 0x05;
constexpr uint8_t kWriteRegister = 0x06;
constexpr uint8_t kWriteEeprom = 0x07;

constexpr uint8_t kStatusRegister = 0x17;
constexpr uint8_t kControlRegister = 0x39;
constexpr uint8_t kControlStartJob = 0x76;
constexpr uint8_t kControlOff = 0x00;

}  // namespace

THandheld::THandheld() : THandheld(TConfig{}) {}

THandheld::THandheld(TConfig config) : FConfig(config), FEeprom(0x10000, config.EepromFill) {
  FRegisters[kControlRegister] = config.Mode;
}

void THandheld::Restart() {
  FPending = 0;
  FAfterZero = false;
}

void THandheld::LinkUp() {
  Restart();
}

void THandheld::SwitchOn(bool on) {
  if (on && !FOn) Restart();
  FOn = on;
}

std::optional<uint8_t> THandheld::Command(uint8_t byte, TTime t) {
  if (!Ready(t)) return std::nullopt;
  if (FPending != 0) {
    const uint8_t command = FPending;
    FPending = 0;
    switch (command) {
      case kAddressLow:
        FAddress = static_cast<uint16_t>((FAddress & 0xFF00) | byte);
        return byte;
      case kAddressHigh:
        FAddress = static_cast<uint16_t>((FAddress & 0x00FF) | (byte << 8));
        return byte;
      case kWriteEeprom:
        FEeprom[FAddress++] = byte;
        return byte;
      case kWriteRegister: {
        const auto reg = static_cast<uint8_t>(FAddress & 0xFF);
        FRegisters[reg] = byte;
        if (reg != kControlRegister) return byte;
        // Switching the control register off hands the handheld back to its
        // production firmware, which does not answer.
        if (byte == kControlOff) return std::nullopt;
        if ((byte & 0xFE) == kControlStartJob) {
          // The echo still goes out; then the handheld runs the job coded
          // in register 0x17 and leaves its result there.
          FJobs.push_back(FRegisters[kStatusRegister]);
          FRegisters[kStatusRegister] = FConfig.JobResult;
          FBusyUntil = t + FConfig.JobUs;
          Restart();
        }
        return byte;
      }
      default:
        return std::nullopt;
    }
  }
  if (byte == kProbe) {
    // The first 0x00 after anything else wakes the handheld's receiver and
    // goes unanswered; a 0x00 right after a 0x00 gives the hardware byte.
    const bool answer = FAfterZero;
    FAfterZero = true;
    if (answer) return FConfig.Hw;
    return std::nullopt;
  }
  FAfterZero = false;
  switch (byte) {
    case kReadRegister:
      return FRegisters[FAddress & 0xFF];
    case kReadEeprom:
      return FEeprom[FAddress++];
    case kAddressLow:
    case kAddressHigh:
    case kWriteRegister:
    case kWriteEeprom:
      FPending = byte;
      return byte;
    default:
      return std::nullopt;
  }
}

}  // namespace bench
