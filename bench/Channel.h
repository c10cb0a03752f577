// One radio channel shared by several stations (a dongle with its handhelds
// and a server each), as on a production line where the stations stand
// side by side. Every handheld's test cycle goes on the air: its packets
// have bench-time extents, and every station's server hears each packet
// that falls inside its receiver's window, with the physics of Radio.h. A
// station's own packets reach its server exactly as on a radio of its own
// (the same draws from the same seed); the other stations' packets come on
// top, with noise of their own, so that with collisions off a station's own
// results do not change at all. Two packets of different stations that
// overlap on the air collide: both are lost to every server.
//
// Time. In real time (qvbench) all stations share one clock and nobody
// waits. In virtual time each station runs on a clock of its own, all from
// the same origin; a server that looks at its records at time t first waits
// (in real time) until every other station has come up to t, so that every
// packet that could reach it or collide by t is known (KeepInStep). A
// station that does not move for IdleAfter while the others wait for it (a
// worker waiting for its operator, or one that has ended) is left behind
// until it moves again; what it sends for times the others have passed
// reaches them at their next look. Kept in step, the stations need clocks
// of their own: on one clock a server would wait for a dongle that is
// brought up to date after it in the same move.
//
// Thread-safe: every station's radio works under the channel's one lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "bench/Radio.h"

namespace bench {

class TChannel final : public std::enable_shared_from_this<TChannel> {
 public:
  // A packet on the air: preamble (4 bytes), sync word (2), the 14 bytes
  // the record keeps of what was sent (bytes 3 to 16: the fixed bytes, the
  // radio address, the data; the head, RSSI and AFC are the receiver's),
  // CRC (2), at 38.4 kbit/s: 4583 us.
  static constexpr int kAirBytes = 22;
  static constexpr int kAirBitRate = 38400;
  static constexpr TTime kAirUs = (kAirBytes * 8 * 1000000LL + kAirBitRate - 1) / kAirBitRate;
  // The first packet leaves this long after the job started; packet i goes
  // at a random place inside slot i, so that a cycle's 20 packets end
  // within 490 ms, inside the handheld's 500 ms job.
  static constexpr TTime kLeadInUs = 10000;
  static constexpr TTime kSlotUs = 24000;
  // What a server keeps of packets it has not looked at yet.
  static constexpr size_t kPendingLimit = 4096;

  struct TConfig {
    bool Collisions = true;
    // Where the packets go in their slots, and the noise on the other
    // stations' packets.
    uint32_t Seed = 1;
    bool KeepInStep = false;
    std::chrono::milliseconds IdleAfter{1000};
  };

  explicit TChannel(TConfig config);
  TChannel();

  // A new station's radio, for its handhelds and its server; stations are
  // numbered from 0 in the order they were added.
  std::shared_ptr<TRadio> AddStation(TRadio::TConfig config = {});
  size_t Stations() const;
  const TConfig& Config() const { return FConfig; }

 private:
  friend class TRadio;
  using TPacket = TRadio::TPacket;

  // All of these run under FMutex.
  std::vector<std::shared_ptr<TPacket>> Send(TRadio& sender, double crystal, uint32_t mac, TTime t);
  void Settle(std::unique_lock<std::mutex>& lock, const TRadio& receiver, TTime t);
  void Collect(TRadio& receiver, TTime t);
  void Moved();
  void Remove(const TRadio& radio);

  const TConfig FConfig;
  mutable std::mutex FMutex;
  std::condition_variable FMoved;
  std::vector<TRadio*> FRadios;
  // Packets that a packet still to come may collide with.
  std::deque<std::shared_ptr<TPacket>> FAir;
};

}  // namespace bench
