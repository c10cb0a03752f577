// The radio between a handheld's test cycle and the server's test
// firmware. A handheld's test cycle job sends its packets; the server hears
// those that fall inside its receiver's window at the trial offset it was
// given, and keeps a record of each with the signal strength and the
// frequency reading (AFC). The physics is chosen so that the tool's
// algorithm is right on it:
//
//   Both test firmwares run their radios on the bare crystal, without their
//   compensation values. A device whose crystal is off by c steps runs c
//   steps high. The server listens T steps (its trial offset) above its own
//   crystal, so a packet from a handheld with crystal c_h arrives
//   x = c_h - (c_s + T) steps off the receiver's tuning. It is heard when
//   |x| <= WindowSteps; its AFC reading is x in AFC units (one unit is 8/3
//   steps), rounded after a uniform noise of +-AfcNoise units; its signal
//   strength falls off with |x|. With compensation values v the devices run
//   at c + v, so the value that makes a unit agree with the golden reference
//   is v_unit = c_golden + v_golden - c_unit, which the tool derives from the
//   measured c_h - c_s.
//
// Thread-safe: the handheld and the server may sit behind different ports.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "bench/Device.h"

namespace bench {

// A compensation byte in steps. The devices read it as the AFC byte is
// read: 0..128 as they are, 129..255 as -127..-1, so that the byte 0x80
// stands for +128.
inline int CompensationSteps(int8_t value) {
  const auto b = static_cast<uint8_t>(value);
  return b <= 128 ? b : b - 256;
}

class TRadio {
 public:
  struct TConfig {
    int PacketsPerCycle = 20;
    double WindowSteps = 30;
    double AfcNoise = 0.8;       // AFC units, uniform +-
    double LossRate = 0.02;      // packets lost inside the window
    int RssiAtCentre = 160;
    uint32_t Seed = 1;
    // Packets of other senders heard in each cycle, and records the server
    // keeps damaged (another length, or other fixed bytes).
    int ForeignPerCycle = 0;
    uint32_t ForeignMac = 0x00BADBAD;
    int MalformedPerCycle = 0;
  };

  // One record as the server returns it: 17 bytes, 'P' first.
  using TRecord = std::string;

  explicit TRadio(TConfig config);
  TRadio();

  // The server's side: its crystal, the trial offset of the next cycle
  // (which also drops the records kept so far), and the records one by one.
  void SetServerCrystal(double steps);
  void SetTrialOffset(int8_t offset);
  int8_t TrialOffset() const;
  // The next record, or empty when none is left.
  TRecord NextRecord();
  size_t RecordsLeft() const;

  // The handheld's side: a test cycle of a handheld with this crystal and
  // radio address, at bench time t.
  void TestCycle(double crystal, uint32_t mac, TTime t);

  // A scenario of one's own: each cycle's records as given, instead of the
  // physics, in the order of the cycles (then the physics again).
  void Script(std::vector<std::vector<TRecord>> cycles);
  static TRecord Record(uint8_t rssi, int afc, uint32_t mac);

  // Fault switch: the next n cycles are heard with only `heard` packets.
  void HearOnly(int heard, int cycles = 1);

  int Cycles() const;
  TConfig& Config() { return FConfig; }

 private:
  mutable std::mutex FMutex;
  TConfig FConfig;
  std::mt19937 FRandom;
  double FServerCrystal = 0;
  int8_t FTrial = 0;
  std::deque<TRecord> FRecords;
  std::deque<std::vector<TRecord>> FScript;
  int FHearOnly = -1;
  int FHearOnlyCycles = 0;
  int FCycles = 0;
};

}  // namespace bench
