// A device bench for tests: a virtual clock, bench models plugged in as
// ports with short names (by default a dongle with its handheld on COM3
// and a server on COM4), a port map naming them, and port enumeration
// pointed at that map and an empty system, so that ListComDevices gives
// exactly the bench's ports. Everything is put back in the destructor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/Device.h"
#include "bench/Dongle.h"
#include "bench/Handheld.h"
#include "bench/Radio.h"
#include "bench/Server.h"
#include "serial/ComPort.h"
#include "serial/PortMap.h"
#include "serial/VirtualClock.h"

namespace qv::test {

class TBench {
 public:
  struct TSlot {
    std::string Name;
    std::shared_ptr<bench::TDevice> Device;
  };

  // A dongle with a handheld on COM3 and a server on COM4.
  TBench();
  // Exactly these ports, in this order (an empty list: no ports at all).
  explicit TBench(std::vector<TSlot> ports);
  ~TBench();
  TBench(const TBench&) = delete;
  TBench& operator=(const TBench&) = delete;

  // Declared first: the plugged ports run on it until the destructor
  // unplugs them.
  TVirtualClock Clock;

  // The models of the default set-up; null in a set-up of one's own.
  std::shared_ptr<bench::TDongle> Dongle;
  std::shared_ptr<bench::THandheld> Handheld;
  std::shared_ptr<bench::TServer> Server;
  // The radio between the handheld and the server of the default set-up.
  std::shared_ptr<bench::TRadio> Radio;

  // Adds a port (or replaces the device behind a name) and lists it in the
  // port map.
  void Plug(const std::string& name, std::shared_ptr<bench::TDevice> device);
  // The same on a clock of its own, which must outlive the bench.
  void Plug(const std::string& name, std::shared_ptr<bench::TDevice> device, TClock& clock);
  // Pulls the device out: an open port hangs up, a later open finds no
  // device. The name stays in the port map, as a stale entry would.
  void Unplug(const std::string& name);

  // The port names in the order they were plugged: what ListComDevices
  // gives.
  std::vector<std::string> PortNames() const;
  // The window's port combo: "Auto detect", then the port names.
  std::vector<std::string> ComboItems() const;

  // Puts a port on the bench clock with the window's design settings (9600
  // baud, 8 data bits, no parity, one stop bit, XON/XOFF off) and the Tag.
  void Attach(TComPort& port, intptr_t tag);

  bench::TTime Now() { return Clock.Now().count(); }
  const std::string& Dir() const { return FDir; }
  const std::string& PortMapFile() const { return FPortMap; }

 private:
  void Setup(std::vector<TSlot> ports);
  void WritePortMap() const;

  std::string FDir;
  std::string FPortMap;
  std::vector<std::string> FNames;
  TComEnumConfig FSaved;
};

}  // namespace qv::test
