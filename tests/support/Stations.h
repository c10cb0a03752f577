// Several stations on one radio channel for tests, in virtual time. Station
// k (from 0) is a dongle with its handheld on COM(3+2k) and a server on
// COM(4+2k), all in one port map. Each station runs on a virtual clock of
// its own, every one from the same origin, so that bench time t is the same
// moment on every station: a station's waits take exactly the time they
// take on a lone station, and workers of different stations run side by
// side on threads of their own. A server that looks at the air at t first
// waits until every other station has come up to t (bench/Channel.h), so a
// packet from another station lands at its own time and collisions are
// judged on one time line.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "bench/Channel.h"
#include "bench/Firmware.h"
#include "procedure/SerThread.h"
#include "serial/ComPort.h"
#include "serial/VirtualClock.h"
#include "tests/support/Bench.h"
#include "tests/support/TestWindow.h"

namespace qv::test {

class TStations {
 public:
  struct TStation {
    explicit TStation(TClock::TDuration start) : Clock(start) {}
    TVirtualClock Clock;
    std::shared_ptr<bench::TRadio> Radio;
    std::shared_ptr<bench::THandheld> Handheld;
    std::shared_ptr<bench::TDongle> Dongle;
    std::shared_ptr<bench::TServer> Server;
    std::string DonglePort, ServerPort;
    bench::TTime Now() { return Clock.Now().count(); }
  };

  // Station k's radio has the seed k + 1 and its handheld the radio address
  // 0x00A1B2C3 + k * 0x10000; station k's clock starts at k * staggerUs.
  explicit TStations(size_t count, bench::TChannel::TConfig config = InStep(true), bench::TTime staggerUs = 0);
  ~TStations();
  TStations(const TStations&) = delete;
  TStations& operator=(const TStations&) = delete;

  // A channel kept in step, as virtual time needs.
  static bench::TChannel::TConfig InStep(bool collisions);

  // Declared first, so that they go last: the ports run on the stations'
  // clocks until Bench unplugs them.
  std::shared_ptr<bench::TChannel> Channel;
  std::vector<std::unique_ptr<TStation>> Stations;
  // The port map and the port enumeration pointed at it.
  TBench Bench{std::vector<TBench::TSlot>{}};

  TStation& operator[](size_t k) { return *Stations[k]; }
  size_t Size() const { return Stations.size(); }
};

// A worker for one station: its own window, whose port combos name the
// station's two ports (so that detection probes no other station's), its
// own program folder and transcript, on the station's clock. A test drives
// its steps on a thread of its own, which is that worker's window thread as
// well.
class TStationUnit {
 public:
  TStationUnit(TStations& stations, size_t k);
  ~TStationUnit();
  TStationUnit(const TStationUnit&) = delete;
  TStationUnit& operator=(const TStationUnit&) = delete;

  TComPort PortA{nullptr};
  TComPort PortB{nullptr};
  TTestWindow Window;
  std::unique_ptr<TSerThread> Worker;
  const bench::TFirmwareSet Set;

  // As TUnitBench::Connect.
  bool Connect();
};

}  // namespace qv::test
