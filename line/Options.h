// qvline's command line: what overrides the settings file, the answers'
// policy, the output and the records.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace qv::line {

// The exit codes, as --help lists them. A line of stations also ends with
// ecStationLost when a station's qvline ended abnormally.
enum TExitCode : int { ecSuccess = 0, ecUnitFailed = 1, ecBadUsage = 2, ecAborted = 3, ecStationLost = 4 };

// One station of a line: its name, its two ports, and the options of its
// own (after the line's, so they win).
struct TStationSpec {
  std::string Name;
  std::string DonglePort;
  std::string ServerPort;
  std::vector<std::string> Options;
  bool operator==(const TStationSpec&) const = default;
};

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
  // Kept in each unit's record; empty: none.
  std::string Operator;
  // Read a scanned identifier from standard input before each unit.
  bool ScanId = false;
  // Empty: qvtune.manifest and qvtune.limits beside the settings file, when
  // they exist.
  std::string ManifestPath;
  std::string LimitsPath;
  // A line of stations: --station NAME=DONGLE,SERVER, and the stations
  // file's.
  std::vector<TStationSpec> Stations;
  std::string StationsFile;
  // Run as one station of a line: events on standard output, the
  // transcript and the spool named after the station.
  bool LineMember = false;
  // The stations' radios do not hear each other (shielded boxes): they need
  // not take turns on the channel.
  bool SeparateChannels = false;
  bool Help = false;
  bool Version = false;
};

// Parses the arguments after the program name. False on bad usage, with one
// line saying what is wrong in error.
bool ParseLineOptions(const std::vector<std::string>& args, TLineOptions& options, std::string& error);

// The stations of a stations file, in its order, after those already in
// stations. False, with the file's line and what is wrong, for a file
// that cannot be read or holds a bad line.
bool ReadStationsFile(const std::string& path, std::vector<TStationSpec>& stations, std::string& error);

// What is wrong with a line of these stations (a name twice or one that
// cannot name a file, a port named twice or left to auto detection), or
// empty.
std::string CheckStations(const std::vector<TStationSpec>& stations);

std::string LineUsage();
std::string LineVersion();

}  // namespace qv::line
