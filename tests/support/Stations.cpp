#include "tests/support/Stations.h"

#include <algorithm>
#include <filesystem>

#include "tests/support/Unit.h"

namespace qv::test {

bench::TChannel::TConfig TStations::InStep(bool collisions) {
  bench::TChannel::TConfig config;
  config.Collisions = collisions;
  config.KeepInStep = true;
  return config;
}

TStations::TStations(size_t count, bench::TChannel::TConfig config, bench::TTime staggerUs)
    : Channel(std::make_shared<bench::TChannel>(config)) {
  for (size_t k = 0; k < count; ++k) {
    auto s = std::make_unique<TStation>(TClock::TDuration(static_cast<bench::TTime>(k) * staggerUs));
    bench::TRadio::TConfig radio;
    radio.Seed = static_cast<uint32_t>(k + 1);
    s->Radio = Channel->AddStation(radio);
    // Nobody waits for a station before its dongle has first been pumped
    // to a time past its clock's start.
    s->Radio->Reached(s->Now());
    bench::THandheld::TConfig unit;
    unit.Mac = 0x00A1B2C3u + static_cast<uint32_t>(k) * 0x10000u;
    s->Handheld = std::make_shared<bench::THandheld>(unit);
    s->Handheld->AttachRadio(s->Radio);
    s->Dongle = std::make_shared<bench::TDongle>(bench::TDongle::TConfig{}, s->Handheld);
    s->Server = std::make_shared<bench::TServer>();
    s->Server->AttachRadio(s->Radio);
    s->DonglePort = "COM" + std::to_string(3 + 2 * k);
    s->ServerPort = "COM" + std::to_string(4 + 2 * k);
    // The dongle first: on each move of the clock it is brought up to date
    // before the server looks at the air.
    Bench.Plug(s->DonglePort, s->Dongle, s->Clock);
    Bench.Plug(s->ServerPort, s->Server, s->Clock);
    Stations.push_back(std::move(s));
  }
}

TStations::~TStations() {
  // Nobody is left to wait for.
  for (auto& s : Stations) s->Radio->Leave();
}

TStationUnit::TStationUnit(TStations& stations, size_t k) {
  TStations::TStation& s = stations[k];
  stations.Bench.Attach(PortA, 0);
  stations.Bench.Attach(PortB, 1);
  PortA.SetClock(s.Clock);
  PortB.SetClock(s.Clock);
  Window.Ports = {&PortA, &PortB};
  const std::vector<std::string> items = stations.Bench.ComboItems();
  const auto name = [&](TComboId id, const std::string& port) {
    TComboState& c = Window.Combos[id];
    c.Items = items;
    c.ItemIndex = static_cast<int>(std::find(items.begin(), items.end(), port) - items.begin());
    c.Text = port;
  };
  name(ciCOM1, s.DonglePort);
  name(ciCOM2, s.ServerPort);
  const std::filesystem::path dir = std::filesystem::path(stations.Bench.Dir()) / ("station" + std::to_string(k + 1));
  std::filesystem::create_directories(dir);
  Window.ProgramDir = dir.string() + "/";
  Window.IniPath = Window.ProgramDir + "qvtune.INI";
  WriteStandardFirmware(Set, Window);
  Worker = std::make_unique<TSerThread>(true, Window, s.Clock);
}

TStationUnit::~TStationUnit() {
  Worker.reset();
  for (TComPort* port : {&PortA, &PortB}) {
    try {
      if (port->Active()) port->Close();
    } catch (...) {
    }
  }
}

bool TStationUnit::Connect() {
  return ConnectUnit(*Worker);
}

}  // namespace qv::test
