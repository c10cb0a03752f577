// The handheld behind the dongle: a command interpreter that answers one
// byte per byte, with a 16-bit memory address, 256 registers addressed by
// the address's low byte, an 8 KiB EEPROM, and jobs run by the firmware in
// the EEPROM. It has no line of its own; the dongle hands it the bytes once
// the dongle has been identified.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include <memory>

#include "bench/Device.h"
#include "bench/Radio.h"

namespace bench {

class THandheld {
 public:
  static constexpr size_t kEepromSize = 8192;

  struct TConfig {
    uint8_t Hw = 0x21;    // the hardware version byte
    uint8_t Mode = 0x10;  // register 0x39 at power-on; bit 0: word (set) or byte (clear)
    // How long a job keeps the handheld busy (DSR down, no answers): the RF
    // modem update, and every other job.
    TTime ModemUpdateUs = 5000000;
    TTime JobUs = 500000;
    uint8_t EepromFill = 0xFF;
    // The RF modem firmware installed, and what its RF module reports.
    uint8_t ModemVersion = 0x12;
    uint32_t Mac = 0x00A1B2C3;
    int8_t FactoryOffset = 12;
    int8_t PcToolOffset = 0;
    // After the production firmware takes over, the operator unplugs the
    // unit this much later (-1: never).
    TTime UnplugUs = 300000;
    // The crystal's error, in compensation steps.
    double Crystal = 0;
  };

  // Ways to make the handheld misbehave on purpose (in addition to the
  // dongle's line faults). Addresses are EEPROM addresses; -1 is off.
  struct TFaults {
    int WrongReadAt = -1;   // an EEPROM read of this address answers a wrong byte
    int SilentReadAt = -1;  // ... answers nothing
    int SilentWriteAt = -1;  // the value of an EEPROM write to this address goes unanswered
    bool JobNeverEnds = false;  // a job that never gives DSR back
    int JobStatus = -1;         // a job leaves this status instead of its own
    int JobFaultAt = 0;         // the two above for the nth job from now on only (0: every job)
    bool EchoRelease = false;   // the closing write of register 0x39 = 0x00 is echoed
  };

  // Job status values the firmware leaves in register 0x17.
  static constexpr uint8_t kJobDone = 0x00;
  static constexpr uint8_t kJobUnknown = 0x80;     // no such job for the firmware in the EEPROM
  static constexpr uint8_t kJobBadParams = 0x81;   // job registers that do not match the EEPROM image

  explicit THandheld(TConfig config);
  THandheld();

  // One byte from the PC; the answer, if the handheld gives one.
  std::optional<uint8_t> Command(uint8_t byte, TTime t);

  // Switched on, plugged in and not busy with a job: it answers and the
  // dongle shows DSR.
  bool Ready(TTime t) const { return FOn && !Unplugged(t) && t >= FBusyUntil; }
  bool On() const { return FOn; }
  void SwitchOn(bool on);
  // The dongle's link to this handheld has (re)started.
  void LinkUp();
  // Connected to a dongle (again): the unit speaks the tool's protocol.
  void PlugIn();
  // The production firmware has taken over and the operator has pulled
  // the unit out.
  bool Unplugged(TTime t) const { return FReleasedAt >= 0 && FConfig.UnplugUs >= 0 && t >= FReleasedAt + FConfig.UnplugUs; }
  // When the production firmware took over; -1 while the tool's protocol
  // is spoken.
  TTime ReleasedAt() const { return FReleasedAt; }

  TConfig& Config() { return FConfig; }
  const TConfig& Config() const { return FConfig; }
  TFaults& Faults() { return FFaults; }
  uint8_t Register(uint8_t reg) const { return FRegisters[reg]; }
  void SetRegister(uint8_t reg, uint8_t value) { FRegisters[reg] = value; }
  uint8_t Eeprom(uint16_t address) const { return FEeprom[address % kEepromSize]; }
  void SetEeprom(uint16_t address, uint8_t value) { FEeprom[address % kEepromSize] = value; }
  const std::vector<uint8_t>& EepromBytes() const { return FEeprom; }
  // The RF modem firmware installed by the last update (empty before one).
  const std::vector<uint8_t>& ModemFirmware() const { return FModemFirmware; }
  uint16_t Address() const { return FAddress; }
  TTime BusyUntil() const { return FBusyUntil; }
  // Job codes in the order the jobs were started, and their statuses.
  const std::vector<uint8_t>& Jobs() const { return FJobs; }
  const std::vector<uint8_t>& JobStatuses() const { return FStatuses; }
  // The radio its test cycle job sends on (none: the packets go nowhere).
  void AttachRadio(std::shared_ptr<TRadio> radio) { FRadio = std::move(radio); }
  const std::shared_ptr<TRadio>& Radio() const { return FRadio; }
  // The compensation value the unit works with: the PC-tool value when set,
  // else the factory value.
  int EffectiveOffset() const {
    return CompensationSteps(FConfig.PcToolOffset != 0 ? FConfig.PcToolOffset : FConfig.FactoryOffset);
  }

 private:
  void Restart();
  std::optional<uint8_t> WriteRegister(uint8_t value, TTime t);
  uint8_t RunJob(uint8_t code, TTime t, TTime& duration);

  TConfig FConfig;
  TFaults FFaults;
  std::array<uint8_t, 256> FRegisters{};
  std::vector<uint8_t> FEeprom;
  std::vector<uint8_t> FModemFirmware;
  uint16_t FAddress = 0;
  uint8_t FPending = 0;  // a command waiting for its operand
  bool FAfterZero = false;
  bool FOn = true;
  TTime FBusyUntil = 0;
  TTime FReleasedAt = -1;
  std::vector<uint8_t> FJobs;
  std::vector<uint8_t> FStatuses;
  std::shared_ptr<TRadio> FRadio;
};

}  // namespace bench
