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
// A radio on its own hears its station's handhelds only, and a cycle's
// records are there at once. A station's radio on a shared channel
// (`TChannel`, Channel.h) sends its cycles' packets on the air at their
// bench times and hears the other stations' packets as well.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench/Device.h"

namespace bench {

class TChannel;

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
  ~TRadio();
  TRadio(const TRadio&) = delete;
  TRadio& operator=(const TRadio&) = delete;

  // The server's side: its crystal, the trial offset of the next cycle
  // (which also drops the records kept so far), and the records one by one.
  void SetServerCrystal(double steps);
  void SetTrialOffset(int8_t offset);
  int8_t TrialOffset() const;
  // The next record, or empty when none is left.
  TRecord NextRecord();
  size_t RecordsLeft() const;
  // The same at the server's bench time t. On a channel the records are
  // those that have arrived by t, and a channel kept in step first waits
  // until every other station has come up to t.
  void SetTrialOffset(int8_t offset, TTime t);
  TRecord NextRecord(TTime t);

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

  // ---- on a shared channel ----
  bool OnChannel() const { return FChannel != nullptr; }
  size_t Station() const { return FStation; }
  // The station's transmitter (its dongle) has been brought up to bench
  // time t: every packet of this station that starts by t is on the air.
  void Reached(TTime t);
  // The station takes no further part: nobody waits for it any more.
  void Leave();
  struct TCounters {
    uint64_t Foreign = 0;   // other stations' packets the server recorded
    uint64_t Collided = 0;  // packets it would have recorded, lost to collisions
    bool operator==(const TCounters&) const = default;
  };
  TCounters Counters() const;
  // Brings the server's records up to t without waiting for anyone (for a
  // report at the end).
  void Flush(TTime t);

 private:
  friend class TChannel;

  // A packet on the air of a channel.
  struct TPacket {
    size_t Station;
    uint32_t Mac;
    double Crystal;
    TTime Start, End;
    bool Lost = false;
  };
  // A record the server keeps, from the time it arrived; the packet it
  // came in, which may yet turn out to have collided.
  struct TKept {
    TRecord Record;
    TTime Arrival;
    std::shared_ptr<const TPacket> Packet;
  };

  std::mutex& Mutex() const;
  // One packet at x steps off the receiver's tuning, heard or lost.
  std::optional<TRecord> Hear(double x, uint32_t mac, std::mt19937& random) const;
  void Keep(TKept kept);

  mutable std::mutex FMutex;
  TConfig FConfig;
  std::mt19937 FRandom;
  double FServerCrystal = 0;
  int8_t FTrial = 0;
  std::deque<TKept> FRecords;
  std::deque<std::vector<TRecord>> FScript;
  int FHearOnly = -1;
  int FHearOnlyCycles = 0;
  int FCycles = 0;

  // Under the channel's lock.
  std::shared_ptr<TChannel> FChannel;
  size_t FStation = 0;
  std::deque<std::shared_ptr<const TPacket>> FPending;  // other stations' packets not looked at, by their end
  std::mt19937 FAirRandom;      // where the packets go in their slots
  std::mt19937 FForeignRandom;  // the noise on other stations' packets
  TCounters FCounters;
  TTime FProgress = INT64_MIN;
  bool FIdle = false;
  bool FLeft = false;
};

}  // namespace bench
