// The in-process backend: a bench device model plugged straight into a
// named port, "bench://NAME". It behaves as the termios backend does --
// the same time-outs, purge, modem lines, busy and missing ports, hang-up
// -- but on bench time, the clock given at Plug. Bytes written reach the
// model when their transmission ends at the port's line rate; a read that
// has to wait moves a virtual clock straight to the next thing that can
// happen (an answer, a byte delivered, the time-out), so waits cost no real
// time. With any other clock the same waits sleep.
//
// Device events, for the port's event monitor: the model's CTS, DSR, DCD
// and ring lines as EV_CTS, EV_DSR, EV_RLSD and EV_RING (a change seen
// when the clock moves, or when a test reaches into the model through
// Access), its bytes as EV_RXCHAR, EV_RXFLAG and EV_RX80FULL, the last byte
// delivered to it as EV_TXEMPTY; an unplugged port fails the wait as a lost
// device. The models have no line errors. The monitor's wait never moves
// the clock: it waits for whoever does.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/Device.h"
#include "serial/ComDevice.h"

namespace qv {

class TBenchPorts {
 public:
  static constexpr const char* Scheme = "bench://";
  // "bench://" + name: the target to write into a port map.
  static std::string Url(const std::string& name);

  // Plugs device in as port name (a leading "bench://" is dropped). Bench
  // time is clock.Now() in microseconds; the port's waits run on the same
  // clock whatever clock the opener passes. A device already plugged under
  // that name is unplugged first.
  static void Plug(const std::string& name, std::shared_ptr<bench::TDevice> device, TClock& clock);
  // An open port of that name hangs up: its reads and writes fail with EIO.
  static void Unplug(const std::string& name);
  static void UnplugAll();
  static bool IsPlugged(const std::string& name);
  static bool IsOpen(const std::string& name);
  static std::vector<std::string> Names();

  // Runs fn with the device and the bench time now, serialised with the
  // port's own calls (the models are not thread-safe). False when nothing
  // is plugged under that name.
  static bool Access(const std::string& name, const std::function<void(bench::TDevice&, bench::TTime now)>& fn);
};

// The factory behind the scheme: opens "bench://NAME".
TDevStatus OpenBenchDevice(const std::string& url, TClock& clock, std::unique_ptr<TComDevice>& device);

}  // namespace qv
