#include "line/Options.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace qv::line {

namespace {

bool ParseCount(const std::string& text, int min, int max, int& value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  const long v = std::strtol(text.c_str(), nullptr, 10);
  if (v < min || v > max) return false;
  value = static_cast<int>(v);
  return true;
}

}  // namespace

std::string LineVersion() {
  return QV_VERSION;
}

std::string LineUsage() {
  return "usage: qvline [OPTION]...\n"
         "Runs the fine-tuning procedure of qvtune without its window: the same steps, the same\n"
         "transcript (the error log file beside the settings file) and the same unit records.\n"
         "The prompts are answered by policy: Ok at once; after a unit the next one (tuned when\n"
         "a new Quorvantis is connected) until --units are done; a failed unit retried up to\n"
         "--retries times. Ctrl+C or SIGTERM cancels as Cancel does: the server restore, the\n"
         "closing of the ports and the error log file still run; a second signal changes nothing.\n"
         "\n"
         "Settings (default: the settings file; qvline reads it and never writes it):\n"
         "  --settings FILE          the settings file (default: qvtune.INI beside qvline); its\n"
         "                           folder holds the test firmware, the error log and the records\n"
         "  --golden handheld|server the golden reference\n"
         "  --restore, --no-restore  restore the server's firmware after the test (units in a row)\n"
         "  --analysis, --no-analysis  measure only, store nothing\n"
         "  --dongle-port NAME       the dongle's port, or auto\n"
         "  --server-port NAME       the server's port, or auto\n"
         "  --port-map FILE          the port map (default: qvtune.ports beside qvline)\n"
         "  --modem-fw FILE          RF modem firmware\n"
         "  --handheld-fw FILE       Quorvantis (EEPROM) firmware\n"
         "  --server-fw FILE         server firmware\n"
         "Policy:\n"
         "  --units N                stop after N units (default 1)\n"
         "  --retries K              retry a failed unit at most K times (default 0)\n"
         "Traceability:\n"
         "  --operator NAME          the operator, kept in every unit's record\n"
         "  --scan-id                read each unit's scanned identifier (one line, as a barcode\n"
         "                           scanner types it) from standard input before it is tuned\n"
         "  --manifest FILE          the firmware manifest, as sha256sum writes it (default:\n"
         "                           qvtune.manifest beside the settings file, when there is one);\n"
         "                           a firmware file it does not list with its SHA-256 is refused\n"
         "  --limits FILE            the line's limits (default: qvtune.limits beside the settings\n"
         "                           file, when there is one): a unit outside one counts as failed\n"
         "Output:\n"
         "  --json                   JSON lines, each with its event: log (time, unit, step, text),\n"
         "                           result (at the end of each unit), summary (at the end)\n"
         "  --no-progress            no progress bar (it is drawn on standard error only when\n"
         "                           that is a terminal)\n"
         "Records (one a unit, written in the background; never hold up a unit):\n"
         "  --records PATH           the SQLite records file (default: qvtune.records beside the\n"
         "                           settings file)\n"
         "  --records-url CONNINFO   a PostgreSQL server instead (libpq connection string; default:\n"
         "                           the first line of qvtune.records.conf beside the settings file)\n"
         "  --no-records             write no records\n"
         "  --station NAME           the station in the records (default: the host name)\n"
         "A line of stations (each a qvline of its own, with its own ports, transcript NAME.ERR\n"
         "beside the settings file, and records tagged NAME):\n"
         "  --station NAME=DONGLE,SERVER  one station of the line and its two ports (repeated)\n"
         "  --stations FILE          the stations of a file: one a line, NAME DONGLE SERVER and the\n"
         "                           options of its own (--golden, --restore, --no-restore,\n"
         "                           --analysis, --no-analysis, --units, --retries)\n"
         "  --separate-channels      the stations' radios do not hear each other (shielded boxes);\n"
         "                           otherwise their test cycles take turns on the one channel\n"
         "  --help, --version\n"
         "\n"
         "Exit status: 0 every unit tuned, 1 a unit failed (after its retries) or the server\n"
         "restore failed, 2 bad usage or an unreadable file, 3 cancelled. A line: 0 when every\n"
         "station tuned every unit; otherwise 4 when a station's qvline ended abnormally, else\n"
         "2 when one could not start, else 3 when cancelled, else 1.\n";
}

bool ParseLineOptions(const std::vector<std::string>& args, TLineOptions& o, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // "--name=value" and "--name value" alike.
    std::string name = arg;
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      const size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        inlineValue = arg.substr(eq + 1);
      }
    }
    auto flag = [&](const char* n) {
      if (name != n) return false;
      if (inlineValue) error = std::string(n) + " takes no value";
      return true;
    };
    std::string value;
    auto valued = [&](const char* n) {
      if (name != n) return false;
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        error = std::string(n) + " needs a value";
        return true;
      }
      if (value.empty()) error = std::string(n) + " needs a value";
      return true;
    };

    if (flag("--help")) {
      o.Help = true;
    } else if (flag("--version")) {
      o.Version = true;
    } else if (flag("--restore")) {
      o.RestoreServer = true;
    } else if (flag("--no-restore")) {
      o.RestoreServer = false;
    } else if (flag("--analysis")) {
      o.AnalysisOnly = true;
    } else if (flag("--no-analysis")) {
      o.AnalysisOnly = false;
    } else if (flag("--json")) {
      o.Json = true;
    } else if (flag("--no-progress")) {
      o.Progress = false;
    } else if (flag("--no-records")) {
      o.NoRecords = true;
    } else if (valued("--settings")) {
      o.SettingsPath = value;
    } else if (valued("--golden")) {
      if (value == "handheld")
        o.GoldenIsHandheld = true;
      else if (value == "server")
        o.GoldenIsHandheld = false;
      else if (error.empty())
        error = "--golden takes handheld or server, not \"" + value + "\"";
    } else if (valued("--dongle-port")) {
      o.DonglePort = value;
    } else if (valued("--server-port")) {
      o.ServerPort = value;
    } else if (valued("--port-map")) {
      o.PortMapPath = value;
    } else if (valued("--modem-fw")) {
      o.Files[0] = value;
    } else if (valued("--handheld-fw")) {
      o.Files[1] = value;
    } else if (valued("--server-fw")) {
      o.Files[2] = value;
    } else if (valued("--units")) {
      if (error.empty() && !ParseCount(value, 1, 100000, o.Units))
        error = "--units takes a number from 1 to 100000, not \"" + value + "\"";
    } else if (valued("--retries")) {
      if (error.empty() && !ParseCount(value, 0, 1000, o.Retries))
        error = "--retries takes a number from 0 to 1000, not \"" + value + "\"";
    } else if (valued("--records")) {
      o.RecordsPath = value;
    } else if (valued("--records-url")) {
      o.RecordsUrl = value;
    } else if (valued("--station")) {
      const size_t eq = value.find('=');
      if (eq == std::string::npos) {
        o.Station = value;
      } else {
        TStationSpec station;
        station.Name = value.substr(0, eq);
        const std::string ports = value.substr(eq + 1);
        const size_t comma = ports.find(',');
        if (comma != std::string::npos) {
          station.DonglePort = ports.substr(0, comma);
          station.ServerPort = ports.substr(comma + 1);
        }
        if (station.Name.empty() || station.DonglePort.empty() || station.ServerPort.empty() ||
            station.ServerPort.find(',') != std::string::npos)
          error = "--station takes NAME or NAME=DONGLE,SERVER, not \"" + value + "\"";
        o.Stations.push_back(std::move(station));
      }
    } else if (valued("--operator")) {
      o.Operator = value;
    } else if (flag("--scan-id")) {
      o.ScanId = true;
    } else if (valued("--manifest")) {
      o.ManifestPath = value;
    } else if (valued("--limits")) {
      o.LimitsPath = value;
    } else if (valued("--stations")) {
      o.StationsFile = value;
    } else if (flag("--line-member")) {
      o.LineMember = true;
    } else if (flag("--separate-channels")) {
      o.SeparateChannels = true;
    } else if (arg.rfind("-", 0) == 0) {
      error = "unknown option \"" + arg + "\"";
    } else {
      error = "unexpected argument \"" + arg + "\"";
    }
    if (!error.empty()) return false;
  }
  if (o.NoRecords && (!o.RecordsPath.empty() || !o.RecordsUrl.empty())) {
    error = "--no-records goes with neither --records nor --records-url";
    return false;
  }
  if (!o.RecordsPath.empty() && !o.RecordsUrl.empty()) {
    error = "--records and --records-url exclude each other";
    return false;
  }
  if ((!o.Stations.empty() || !o.StationsFile.empty()) && o.ScanId) {
    error = "--scan-id reads one scanner on standard input, which the stations of a line cannot share: run a qvline "
            "for each station with its own scanner";
    return false;
  }
  if ((!o.Stations.empty() || !o.StationsFile.empty()) &&
      (!o.Station.empty() || o.DonglePort || o.ServerPort || o.LineMember)) {
    error = "the stations of a line name their own ports: --station NAME=DONGLE,SERVER and --stations go with "
            "neither --station NAME, --dongle-port nor --server-port";
    return false;
  }
  return true;
}

namespace {

// The options a station of a line may have of its own.
bool StationOption(const std::string& arg) {
  for (const char* name : {"--golden", "--restore", "--no-restore", "--analysis", "--no-analysis", "--units",
                           "--retries"})
    if (arg == name || arg.rfind(std::string(name) + "=", 0) == 0) return true;
  return false;
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
    if (j > i) words.push_back(line.substr(i, j - i));
    i = j;
  }
  return words;
}

}  // namespace

bool ReadStationsFile(const std::string& path, std::vector<TStationSpec>& stations, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    error = "the stations file \"" + path + "\" " +
            (std::filesystem::exists(path, ec) ? "is not a regular file" : "does not exist");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "the stations file \"" + path + "\" cannot be read";
    return false;
  }
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::vector<std::string> words = Words(line);
    if (words.empty() || words[0][0] == '#') continue;
    const std::string where = path + ", line " + std::to_string(number) + ": ";
    if (words.size() < 3) {
      error = where + "a station needs its name, its dongle's port and its server's port";
      return false;
    }
    TStationSpec station{words[0], words[1], words[2], {}};
    for (size_t i = 3; i < words.size(); ++i) {
      if (!StationOption(words[i])) {
        error = where + "\"" + words[i] +
                "\" is not an option a station may have of its own (--golden, --restore, --no-restore, "
                "--analysis, --no-analysis, --units, --retries)";
        return false;
      }
      station.Options.push_back(words[i]);
      // A value that follows its option.
      if (words[i].find('=') == std::string::npos &&
          (words[i] == "--golden" || words[i] == "--units" || words[i] == "--retries") && i + 1 < words.size())
        station.Options.push_back(words[++i]);
    }
    TLineOptions check;
    std::string why;
    if (!ParseLineOptions(station.Options, check, why)) {
      error = where + why;
      return false;
    }
    stations.push_back(std::move(station));
  }
  return true;
}

std::string CheckStations(const std::vector<TStationSpec>& stations) {
  auto same = [](const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
  };
  std::vector<std::pair<std::string, std::string>> ports;
  for (size_t i = 0; i < stations.size(); ++i) {
    const TStationSpec& s = stations[i];
    // The name names the station's transcript and spool files.
    if (s.Name.size() > 64 || s.Name[0] == '.' || s.Name[0] == '-')
      return "the station name \"" + s.Name + "\" cannot name its files (at most 64 letters, digits, '.', '_' or '-', "
             "not beginning with '.' or '-')";
    for (char c : s.Name)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
        return "the station name \"" + s.Name + "\" cannot name its files (at most 64 letters, digits, '.', '_' or "
               "'-', not beginning with '.' or '-')";
    for (size_t j = 0; j < i; ++j)
      if (same(stations[j].Name, s.Name)) return "the station \"" + s.Name + "\" is named twice";
    for (const std::string& port : {s.DonglePort, s.ServerPort}) {
      if (same(port, "auto"))
        return "the station \"" + s.Name + "\" leaves a port to auto detection, which would probe the other stations'";
      for (const auto& [other, name] : ports)
        if (same(other, port)) return "the port \"" + port + "\" is named for both \"" + name + "\" and \"" + s.Name + "\"";
      ports.emplace_back(port, s.Name);
    }
  }
  return {};
}

}  // namespace qv::line
