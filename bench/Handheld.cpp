#include "bench/Handheld.h"

#include <cstdint>
#include <utility>

#include "bench/Firmware.h"

namespace bench {

namespace {

constexpr uint8_t kProbe = 0x00;
constexpr uint8_t kReadRegister = 0x02;
constexpr uint8_t kReadEeprom = 0x03;
constexpr uint8_t kAddressLow = 0x04;
constexpr uint8_t kAddressHigh = 0x05;
constexpr uint8_t kWriteRegister = 0x06;
constexpr uint8_t kWriteEeprom = 0x07;

constexpr uint8_t kRegCompensation = 0x10;  // the RF modem's version, or the value to store
constexpr uint8_t kRegMac = 0x11;           // 0x11..0x14, least significant first
constexpr uint8_t kRegFactory = 0x15;
constexpr uint8_t kRegPcTool = 0x16;
constexpr uint8_t kRegJob = 0x17;
constexpr uint8_t kRegJobParam = 0x1D;
constexpr uint8_t kRegEndLow = 0x30;
constexpr uint8_t kRegEndHigh = 0x31;
constexpr uint8_t kRegJobConst = 0x33;
constexpr uint8_t kRegJobParam2 = 0x34;
constexpr uint8_t kRegJobParam3 = 0x37;
constexpr uint8_t kRegControl = 0x39;
constexpr uint8_t kControlStartJob = 0x76;
constexpr uint8_t kControlOff = 0x00;
constexpr uint8_t kJobConst = 0x50;

constexpr uint8_t kJobRun = 1;  // RF modem update or RF module start, by the EEPROM's image
constexpr uint8_t kJobTestCycle = 2;
constexpr uint8_t kJobStore = 3;

}  // namespace

THandheld::THandheld() : THandheld(TConfig{}) {}

THandheld::THandheld(TConfig config) : FConfig(config), FEeprom(kEepromSize, config.EepromFill) {
  FRegisters[kRegControl] = config.Mode;
}

void THandheld::Restart() {
  FPending = 0;
  FAfterZero = false;
}

void THandheld::LinkUp() {
  Restart();
}

void THandheld::PlugIn() {
  FReleasedAt = -1;
  Restart();
}

void THandheld::SwitchOn(bool on) {
  if (on && !FOn) Restart();
  FOn = on;
}

// The firmware in the EEPROM runs the job: it checks that the job
// registers describe that very image (its end address and four bytes of
// its header), then does what the image is for. An RF modem image is
// programmed as it was built and its update job is given the end address
// less its 2-byte trailer; the test firmware is programmed with the end
// address its jobs are given.
uint8_t THandheld::RunJob(uint8_t code, TTime t, TTime& duration) {
  duration = FConfig.JobUs;
  const THandheldImageKind kind = KindOfHandheldImage(FEeprom.data(), FEeprom.size());
  const uint16_t end = static_cast<uint16_t>(FEeprom[27] | FEeprom[28] << 8);
  const uint16_t given = static_cast<uint16_t>(FRegisters[kRegEndLow] | FRegisters[kRegEndHigh] << 8);
  const uint16_t expected = kind == THandheldImageKind::Modem ? static_cast<uint16_t>(end - 2) : end;
  if (given != expected || FRegisters[kRegJobParam] != FEeprom[24] || FRegisters[kRegJobConst] != kJobConst ||
      FRegisters[kRegJobParam2] != FEeprom[31] || FRegisters[kRegJobParam3] != FEeprom[2])
    return kJobBadParams;
  switch (kind) {
    case THandheldImageKind::Modem:
      if (code != kJobRun) return kJobUnknown;
      // The modem takes the image up to its end address as its firmware.
      duration = FConfig.ModemUpdateUs;
      FModemFirmware.assign(FEeprom.begin(), FEeprom.begin() + (end < kEepromSize ? end : kEepromSize));
      FConfig.ModemVersion = FEeprom[3];
      return kJobDone;
    case THandheldImageKind::TestFirmware:
      if (code == kJobRun) {
        // The RF module starts and reports its firmware, its radio address
        // and the compensation settings.
        FRegisters[kRegCompensation] = FConfig.ModemVersion;
        for (int i = 0; i < 4; ++i) FRegisters[kRegMac + i] = static_cast<uint8_t>(FConfig.Mac >> (8 * i));
        FRegisters[kRegFactory] = static_cast<uint8_t>(FConfig.FactoryOffset);
        FRegisters[kRegPcTool] = static_cast<uint8_t>(FConfig.PcToolOffset);
        return kJobDone;
      }
      if (code == kJobTestCycle) {
        if (FRadio) FRadio->TestCycle(FConfig.Crystal, FConfig.Mac, t);
        return kJobDone;
      }
      if (code == kJobStore) {
        FConfig.PcToolOffset = static_cast<int8_t>(FRegisters[kRegCompensation]);
        FRegisters[kRegPcTool] = FRegisters[kRegCompensation];
        return kJobDone;
      }
      return kJobUnknown;
    default:
      return kJobUnknown;
  }
}

std::optional<uint8_t> THandheld::WriteRegister(uint8_t byte, TTime t) {
  const auto reg = static_cast<uint8_t>(FAddress & 0xFF);
  FRegisters[reg] = byte;
  if (reg != kRegControl) return byte;
  // Switching the control register off hands the handheld to its
  // production firmware, which does not answer.
  if (byte == kControlOff) {
    FReleasedAt = t;
    if (FFaults.EchoRelease) return byte;
    return std::nullopt;
  }
  if ((byte & 0xFE) == kControlStartJob) {
    // The echo still goes out; then the handheld runs the job coded in
    // register 0x17 and leaves its status there.
    const uint8_t code = FRegisters[kRegJob];
    TTime duration = 0;
    uint8_t status = RunJob(code, t, duration);
    if (FFaults.JobStatus >= 0) status = static_cast<uint8_t>(FFaults.JobStatus);
    FJobs.push_back(code);
    FStatuses.push_back(status);
    FRegisters[kRegJob] = status;
    FBusyUntil = FFaults.JobNeverEnds ? INT64_MAX : t + duration;
    Restart();
  }
  return byte;
}

std::optional<uint8_t> THandheld::Command(uint8_t byte, TTime t) {
  if (!Ready(t) || FReleasedAt >= 0) return std::nullopt;
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
      case kWriteEeprom: {
        const int at = FAddress % kEepromSize;
        FEeprom[static_cast<size_t>(at)] = byte;
        ++FAddress;
        if (at == FFaults.SilentWriteAt) return std::nullopt;
        return byte;
      }
      case kWriteRegister:
        return WriteRegister(byte, t);
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
    case kReadEeprom: {
      const int at = FAddress % kEepromSize;
      ++FAddress;
      if (at == FFaults.SilentReadAt) return std::nullopt;
      const uint8_t value = FEeprom[static_cast<size_t>(at)];
      if (at == FFaults.WrongReadAt) return static_cast<uint8_t>(~value);
      return value;
    }
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
