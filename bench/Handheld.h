// The handheld behind the dongle: a command interpreter that answers one
// byte per byte, with a 16-bit memory address, 256 registers addressed by
// the address's low byte, and an EEPROM. It has no line of its own; the
// dongle hands it the bytes once the dongle has been identified.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "bench/Device.h"

namespace bench {

class THandheld {
 public:
  struct TConfig {
    uint8_t Hw = 0x21;    // the hardware version byte
    uint8_t Mode = 0x10;  // register 0x39 at power-on; bit 0: word (set) or byte (clear)
    // A job (started by writing 0x76 | bit 0 to register 0x39) keeps the
    // handheld busy this long; it leaves JobResult in register 0x17.
    TTime JobUs = 500000;
    uint8_t JobResult = 0;
    uint8_t EepromFill = 0xFF;
  };

  explicit THandheld(TConfig config);
  THandheld();

  // One byte from the PC; the answer, if the handheld gives one.
  std::optional<uint8_t> Command(uint8_t byte, TTime t);

  // Switched on and not busy with a job: it answers and the dongle shows DSR.
  bool Ready(TTime t) const { return FOn && t >= FBusyUntil; }
  bool On() const { return FOn; }
  void SwitchOn(bool on);
  // The dongle's link to this handheld has (re)started.
  void LinkUp();

  TConfig& Config() { return FConfig; }
  uint8_t Register(uint8_t reg) const { return FRegisters[reg]; }
  void SetRegister(uint8_t reg, uint8_t value) { FRegisters[reg] = value; }
  uint8_t Eeprom(uint16_t address) const { return FEeprom[address]; }
  void SetEeprom(uint16_t address, uint8_t value) { FEeprom[address] = value; }
  uint16_t Address() const { return FAddress; }
  TTime BusyUntil() const { return FBusyUntil; }
  // Job codes in the order the jobs were started.
  const std::vector<uint8_t>& Jobs() const { return FJobs; }

 private:
  void Restart();

  TConfig FConfig;
  std::array<uint8_t, 256> FRegisters{};
  std::vector<uint8_t> FEeprom;
  uint16_t FAddress = 0;
  uint8_t FPending = 0;  // a command waiting for its operand
  bool FAfterZero = false;
  bool FOn = true;
  TTime FBusyUntil = 0;
  std::vector<uint8_t> FJobs;
};

}  // namespace bench
