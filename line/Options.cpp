#include "line/Options.h"

#include <climits>
#include <cstdlib>

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
         "Output:\n"
         "  --json                   log lines as JSON lines: time, unit, step, text\n"
         "  --no-progress            no progress bar (it is drawn on standard error only when\n"
         "                           that is a terminal)\n"
         "Records (one a unit, written in the background; never hold up a unit):\n"
         "  --records PATH           the SQLite records file (default: qvtune.records beside the\n"
         "                           settings file)\n"
         "  --records-url CONNINFO   a PostgreSQL server instead (libpq connection string; default:\n"
         "                           the first line of qvtune.records.conf beside the settings file)\n"
         "  --no-records             write no records\n"
         "  --station NAME           the station in the records (default: the host name)\n"
         "  --help, --version\n"
         "\n"
         "Exit status: 0 every unit tuned, 1 a unit failed (after its retries) or the server\n"
         "restore failed, 2 bad usage or an unreadable file, 3 cancelled.\n";
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
      o.Station = value;
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
  return true;
}

}  // namespace qv::line
