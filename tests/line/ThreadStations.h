// The stations of a line on threads of the test instead of child
// processes: each runs qvline's RunLine as its child would, on the clock
// and the ports it is given, and writes through pipes, so that the line
// reads it exactly as it reads a child.
#pragma once

#include <functional>
#include <string>

#include "line/Line.h"
#include "serial/Clock.h"

namespace qv::test {

// clockOf gives each station's clock by its name; prepare, when set, gets
// each station's name and hooks before it runs (to fill its workers'
// steps).
line::TStationLauncher ThreadStations(std::string programDir, std::function<TClock&(const std::string& station)> clockOf,
                                      std::function<void(const std::string& station, line::TLineHooks&)> prepare = {});

}  // namespace qv::test
