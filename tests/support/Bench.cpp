#include "tests/support/Bench.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include <stdlib.h>

#include "bench/inproc/InProcDevice.h"

namespace qv::test {

namespace fs = std::filesystem;

TBench::TBench() {
  Handheld = std::make_shared<bench::THandheld>();
  Dongle = std::make_shared<bench::TDongle>(bench::TDongle::TConfig{}, Handheld);
  Server = std::make_shared<bench::TServer>();
  Radio = std::make_shared<bench::TRadio>();
  Handheld->AttachRadio(Radio);
  Server->AttachRadio(Radio);
  Setup({{"COM3", Dongle}, {"COM4", Server}});
}

TBench::TBench(std::vector<TSlot> ports) {
  Setup(std::move(ports));
}

void TBench::Setup(std::vector<TSlot> ports) {
  std::random_device rd;
  const fs::path dir = fs::temp_directory_path() / ("qvbench-" + std::to_string(rd()) + "-" + std::to_string(rd()));
  if (!fs::create_directory(dir)) throw std::runtime_error("cannot create the bench folder");
  FDir = dir.string();
  // An empty system: no tty class entries, no device nodes.
  fs::create_directories(fs::path(FDir) / "sys" / "class" / "tty");
  fs::create_directories(fs::path(FDir) / "dev");
  FPortMap = (fs::path(FDir) / "qvtune.ports").string();
  FSaved = ComEnumConfig();
  TComEnumConfig config;
  config.SysRoot = (fs::path(FDir) / "sys").string();
  config.DevRoot = (fs::path(FDir) / "dev").string();
  config.PortMapPath = FPortMap;
  SetComEnumConfig(config);
  for (TSlot& slot : ports) Plug(slot.Name, std::move(slot.Device));
  WritePortMap();
}

TBench::~TBench() {
  for (const std::string& name : FNames) TBenchPorts::Unplug(name);
  SetComEnumConfig(FSaved);
  std::error_code ec;
  fs::remove_all(FDir, ec);
}

void TBench::Plug(const std::string& name, std::shared_ptr<bench::TDevice> device) {
  Plug(name, std::move(device), Clock);
}

void TBench::Plug(const std::string& name, std::shared_ptr<bench::TDevice> device, TClock& clock) {
  TBenchPorts::Plug(name, std::move(device), clock);
  if (std::find(FNames.begin(), FNames.end(), name) == FNames.end()) {
    FNames.push_back(name);
    WritePortMap();
  }
}

void TBench::Unplug(const std::string& name) {
  TBenchPorts::Unplug(name);
}

std::vector<std::string> TBench::PortNames() const {
  return FNames;
}

std::vector<std::string> TBench::ComboItems() const {
  std::vector<std::string> items{"Auto detect"};
  items.insert(items.end(), FNames.begin(), FNames.end());
  return items;
}

void TBench::Attach(TComPort& port, intptr_t tag) {
  port.SetClock(Clock);
  port.Tag = tag;
  port.SetBaudRate(br9600);
  port.SetDataBits(db8);
  port.SetParity(paNone);
  port.SetStopBits(sb1);
  port.FlowControl().SetXOnXOff(xcDisable);
}

void TBench::WritePortMap() const {
  std::ofstream out(FPortMap, std::ios::binary | std::ios::trunc);
  for (const std::string& name : FNames) out << name << '=' << TBenchPorts::Url(name) << '\n';
}

}  // namespace qv::test
