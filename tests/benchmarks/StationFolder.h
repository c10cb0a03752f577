// A station's folder for the benchmarks that run the programs against
// qvbench: the bench's firmware beside a settings file naming the
// production files, as the window leaves it.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/Firmware.h"
#include "settings/SettingsFile.h"

namespace qv::benchmarks {

// A fresh folder of this name in the temporary folder.
inline std::filesystem::path StationFolder(const std::string& name) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  for (const auto& [file, bytes] : bench::StandardFiles()) std::ofstream(dir / file, std::ios::binary) << bytes;
  TSettings s;
  s.Histories = {std::vector<std::string>{(dir / "qvmodem.qpf").string()},
                 std::vector<std::string>{(dir / "qvhandheld.qpf").string()}, std::vector<std::string>{}};
  WriteSettingsLines((dir / "qvtune.INI").string(), FormatSettings(s));
  return dir;
}

}  // namespace qv::benchmarks
