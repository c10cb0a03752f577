// qvline's command line: what overrides the settings file, the answers'
// policy, the output and the records.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace qv::line {

// The exit codes, as --help lists them.
enum TExitCode : int { ecSuccess = 0, ecUnitFailed = 1, ecBadUsage = 2, ecAborted = 3 };

struct TLineOptions {
  // Empty: qvtune.INI beside the program.
  std::string SettingsPath;
  std::optional<bool> GoldenIsHandheld;
  std::optional<bool> RestoreServer;
  std::optional<bool> AnalysisOnly;
  std::optional<std::string> DonglePort;
  std::optional<std::string> ServerPort;
  std::string PortMapPath;
  // RF modem, handheld and server firmware.
  std::array<std::optional<std::string>, 3> Files;
  int Units = 1;
  int Retries = 0;
  bool Json = false;
  // Off: no bar even on a terminal.
  bool Progress = true;
  // Empty: qvtune.records beside the settings file.
  std::string RecordsPath;
  std::string RecordsUrl;
  bool NoRecords = false;
  // Empty: the host name.
  std::string Station;
  bool Help = false;
  bool Version = false;
};

// Parses the arguments after the program name. False on bad usage, with one
// line saying what is wrong in error.
bool ParseLineOptions(const std::vector<std::string>& args, TLineOptions& options, std::string& error);

std::string LineUsage();
std::string LineVersion();

}  // namespace qv::line
