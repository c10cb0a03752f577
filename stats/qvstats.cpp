// qvstats: the window over a records file, or, given an export option, the
// exports alone without a window, for scripts; one unit's history on the
// command line; and demo records for a first look.
#include <QApplication>
#include <QDate>
#include <QDir>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "records/Files.h"
#include "records/Store.h"
#include "stats/Demo.h"
#include "stats/StatsWindow.h"
#include "trace/Sha256.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitRecords = 1;  // the records file cannot be read
constexpr int kExitUsage = 2;
constexpr int kExitExport = 3;   // an export file cannot be written
constexpr int kExitLeftOut = 4;  // written, but records were left out
constexpr int kExitDrift = 5;    // written, and a golden reference shown has drifted
constexpr int kExitNoUnit = 6;   // --unit, --firmware: no record of such a unit

const char kUsage[] =
    "Usage: qvstats [--db FILE|CONNINFO] [--from YYYY-MM-DD] [--to YYYY-MM-DD] [--station NAME]\n"
    "               [--threshold STEPS] [--export-csv FILE] [--export-png DIR]\n"
    "       qvstats [--db FILE|CONNINFO] --unit ADDRESS\n"
    "       qvstats [--db FILE|CONNINFO] [--from DAY] [--to DAY] [--station NAME]\n"
    "               --firmware FILE|SHA256\n"
    "       qvstats --demo FILE|CONNINFO [--units N] [--seed N]\n"
    "\n"
    "Shows the unit records of FILE (default: the records server named in\n"
    "qvtune.records.conf beside this program, else the file qvtune.records there): the\n"
    "stored values, yield and failure reasons per day and station, measurement quality,\n"
    "and the health of each golden reference. Records of an earlier schema version\n"
    "are first brought to this one in place.\n"
    "\n"
    "  --db FILE          the records file (SQLite)\n"
    "  --db CONNINFO      a PostgreSQL server that many stations share (a libpq connection\n"
    "                     string: postgresql://... or host=... dbname=...)\n"
    "  --from, --to DAY   the first and last UTC day shown (default: all)\n"
    "  --station NAME     one station only\n"
    "  --threshold STEPS  a golden reference whose running mean (of its last 10 units)\n"
    "                     moves more than this from its baseline (the mean of its\n"
    "                     first 20 units) is reported as drifted (default 3)\n"
    "  --export-csv FILE  write the records shown to FILE and the figures per day,\n"
    "                     station and golden reference to FILE-days.csv,\n"
    "                     FILE-stations.csv and FILE-golden.csv (FILE without .csv)\n"
    "  --export-png DIR   write each chart to DIR/NAME.png\n"
    "  --unit ADDRESS     print the history of the unit of that radio address\n"
    "                     (0x00A1B2C3, or its hex digits) and exit\n"
    "  --firmware FILE    list the units that got this firmware file, as any of its\n"
    "                     inputs (or give its SHA-256, as sha256sum prints it), and exit\n"
    "  --demo FILE        write plausible demo records to a new records file (or to\n"
    "                     the server), several stations with a golden reference each,\n"
    "                     one of them drifting, then exit\n"
    "  --units N          how many demo units (default 2000)\n"
    "  --seed N           the demo's random seed (default 1)\n"
    "  --help             show this text and exit\n"
    "  --version          show the version and exit\n"
    "\n"
    "With an export option no window opens; drifted golden references are named on\n"
    "standard error. Exit codes: 0 done, 1 the records file cannot be read, 2 bad\n"
    "usage, 3 an export cannot be written, 5 the exports are written and a golden\n"
    "reference shown has drifted, else 4 the exports are written but records were\n"
    "left out (their time cannot be read; standard error says how many); 6 --unit\n"
    "or --firmware found no record of such a unit.\n";

struct TOptions {
  QString Db;
  qv::TFilter Filter;
  double Threshold = qv::TGoldenOptions().Threshold;
  QString Csv, Png;
  std::string Unit;
  std::string Firmware;  // a file, or its SHA-256
  std::string Demo;
  int64_t Units = qv::TDemoOptions().Units;
  uint64_t Seed = qv::TDemoOptions().Seed;
  bool Help = false;
  bool Version = false;
};

int Usage(const std::string& problem) {
  std::fprintf(stderr, "qvstats: %s\n(qvstats --help shows the options)\n", problem.c_str());
  return kExitUsage;
}

bool Day(const std::string& text) {
  return text.size() == 10 && QDate::fromString(QString::fromStdString(text), Qt::ISODate).isValid();
}

// A whole number from min to max, or none.
bool Count(const std::string& text, long long min, long long max, long long& value) {
  char* end = nullptr;
  value = std::strtoll(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && value >= min && value <= max;
}

// 0 when the options are good, else the exit code.
int Parse(int argc, char** argv, TOptions& o) {
  bool units = false, seed = false;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i], value;
    if (name == "--help" || name == "-h") {
      o.Help = true;
      continue;
    }
    if (name == "--version") {
      o.Version = true;
      continue;
    }
    const size_t eq = name.find('=');
    const bool inline_value = name.rfind("--", 0) == 0 && eq != std::string::npos;
    if (inline_value) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    const bool known = name == "--db" || name == "--from" || name == "--to" || name == "--station" ||
                       name == "--threshold" || name == "--export-csv" || name == "--export-png" || name == "--unit" ||
                       name == "--firmware" || name == "--demo" || name == "--units" || name == "--seed";
    if (!known) return Usage("unknown option " + name);
    if (!inline_value) {
      if (i + 1 >= argc) return Usage(name + " needs a value");
      value = argv[++i];
    }
    if (value.empty()) return Usage(name + " needs a value");
    long long n = 0;
    if (name == "--db") {
      o.Db = QString::fromLocal8Bit(value.c_str());
    } else if (name == "--from" || name == "--to") {
      if (!Day(value)) return Usage(name + " takes a day as YYYY-MM-DD, not " + value);
      (name == "--from" ? o.Filter.FromDay : o.Filter.ToDay) = value;
    } else if (name == "--station") {
      o.Filter.Station = value;
    } else if (name == "--threshold") {
      char* end = nullptr;
      o.Threshold = std::strtod(value.c_str(), &end);
      if (*end != '\0' || !(o.Threshold > 0) || o.Threshold > 1000)
        return Usage("--threshold takes a number of steps above 0, not " + value);
    } else if (name == "--export-csv") {
      o.Csv = QString::fromLocal8Bit(value.c_str());
    } else if (name == "--export-png") {
      o.Png = QString::fromLocal8Bit(value.c_str());
    } else if (name == "--unit") {
      if (qv::AddressForms(value).empty()) return Usage("--unit takes a radio address, not " + value);
      o.Unit = value;
    } else if (name == "--firmware") {
      o.Firmware = value;
    } else if (name == "--demo") {
      o.Demo = value;
    } else if (name == "--units") {
      if (!Count(value, 1, 1000000000, n)) return Usage("--units takes a number of units from 1, not " + value);
      o.Units = n;
      units = true;
    } else {
      if (!Count(value, 0, LLONG_MAX, n)) return Usage("--seed takes a whole number, not " + value);
      o.Seed = static_cast<uint64_t>(n);
      seed = true;
    }
  }
  if (!o.Filter.FromDay.empty() && !o.Filter.ToDay.empty() && o.Filter.FromDay > o.Filter.ToDay)
    return Usage("--from " + o.Filter.FromDay + " lies after --to " + o.Filter.ToDay);
  if ((units || seed) && o.Demo.empty()) return Usage(std::string(units ? "--units" : "--seed") + " goes with --demo");
  if (!o.Demo.empty() &&
      (!o.Db.isEmpty() || !o.Csv.isEmpty() || !o.Png.isEmpty() || !o.Unit.empty() || !o.Firmware.empty()))
    return Usage("--demo writes demo records and takes none of --db, --unit, --firmware and the exports");
  if (!o.Firmware.empty() && !o.Unit.empty()) return Usage("--unit and --firmware list units one way each");
  return 0;
}

int Demo(const TOptions& o) {
  const bool server = qv::IsServerConninfo(o.Demo);
  std::error_code ec;
  if (!server && std::filesystem::exists(o.Demo, ec)) {
    std::fprintf(stderr, "qvstats: %s exists: the demo writes a new records file\n", o.Demo.c_str());
    return kExitExport;
  }
  auto store = server ? qv::records::PostgresStore(o.Demo) : qv::records::SqliteStore(o.Demo);
  qv::TDemoOptions demo;
  demo.Units = o.Units;
  demo.Seed = o.Seed;
  std::string why;
  const bool tty = isatty(2);
  const bool ok = qv::WriteDemo(*store, demo, why, [&](int64_t written) {
    if (tty)
      std::fprintf(stderr, "\rqvstats: %lld of %lld demo units written", static_cast<long long>(written),
                   static_cast<long long>(o.Units));
  });
  if (tty) std::fputc('\n', stderr);
  if (!ok) {
    std::fprintf(stderr, "qvstats: the demo records cannot be written to %s: %s\n", store->Where().c_str(),
                 why.c_str());
    return kExitExport;
  }
  std::printf("%lld demo units on %d stations written to %s; see them with: qvstats --db %s\n",
              static_cast<long long>(o.Units), qv::DemoStations(o.Units), store->Where().c_str(), o.Demo.c_str());
  return kExitOk;
}

bool IsSha256(const std::string& text) {
  return text.size() == 64 &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

// The SHA-256 that --firmware names: given as such, else that of the file
// (file then true).
bool FirmwareHash(const std::string& given, std::string& sha256, bool& file) {
  std::error_code ec;
  file = !IsSha256(given) || std::filesystem::exists(given, ec);
  if (!file) {
    sha256 = given;
    for (char& c : sha256) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return true;
  }
  std::string bytes, why;
  if (!qv::records::ReadFile(given, bytes, why, false)) {
    std::fprintf(stderr, "qvstats: --firmware: %s\n", why.c_str());
    return false;
  }
  sha256 = qv::trace::Sha256Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return true;
}

// The units of the query, one record a line in the order of their time;
// with the firmware inputs that were the file asked for.
int ListUnits(const qv::THistory& history, const qv::TRecordQuery& query, const std::string& title) {
  const std::vector<qv::TUnit> records = history.Records(query, 0, -1);
  if (records.empty()) {
    std::fprintf(stderr, "qvstats: no record of %s in %s\n", title.c_str(), history.Path().c_str());
    return kExitNoUnit;
  }
  const bool firmware = !query.Firmware.empty();
  // A unit's history under its address as recorded.
  std::printf("%s: %zu records of %s\n", history.Path().c_str(), records.size(),
              firmware ? title.c_str() : records.front().HandheldMac.c_str());
  // With --firmware, which of the unit's inputs was the file.
  const char* const row = firmware ? "%-19s  %-10s  %-10s  %-8s  %6s  %6s  %-16s  %4s  %3s  %-24s  %s\n"
                                   : "%-19s  %-10s  %-10s  %-8s  %6s  %6s  %-16s  %4s  %3s  %s%s\n";
  std::printf(row, "time (UTC)", "station", "address", "outcome", "stored", "result", "golden", "RSSI", "AFC",
              firmware ? "as" : "", "reason");
  auto number = [](const auto& v) { return v ? std::to_string(static_cast<long long>(*v)) : std::string("-"); };
  for (const qv::TUnit& u : records) {
    std::string time = u.TimeUtc.substr(0, 19);
    if (time.size() > 10) time[10] = ' ';
    std::string as;
    for (const std::string& input : qv::FirmwareInputsOf(u, query.Firmware)) as += (as.empty() ? "" : ", ") + input;
    std::vector<char> line(1024 + u.Station.size() + u.HandheldMac.size() + u.GoldenId.size() + as.size() +
                           u.Message.size() + u.NotStoredReason.size());
    std::snprintf(line.data(), line.size(), row, time.c_str(), u.Station.c_str(), u.HandheldMac.c_str(),
                  u.Outcome.c_str(), number(u.StoredOffset).c_str(), number(u.ResultOffset).c_str(), u.GoldenId.c_str(),
                  number(u.RssiAvg).c_str(), number(u.AfcSpread).c_str(), as.c_str(), qv::FailureReason(u).c_str());
    std::string text = line.data();
    // No blanks at the end of a row without a reason.
    while (text.size() > 1 && text[text.size() - 2] == ' ') text.erase(text.size() - 2, 1);
    std::fputs(text.c_str(), stdout);
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  if (const int bad = Parse(argc, argv, o)) return bad;
  if (o.Help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (o.Version) {
    std::printf("qvstats %s\n", QV_VERSION);
    return kExitOk;
  }
  if (!o.Demo.empty()) return Demo(o);
  const bool headless = !o.Csv.isEmpty() || !o.Png.isEmpty() || !o.Unit.empty() || !o.Firmware.empty();
  // Exports draw the charts without a display.
  if (headless && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (o.Db.isEmpty()) {
    // Where the stations beside this program send their records.
    const QDir beside(QCoreApplication::applicationDirPath());
    const std::string server = qv::records::ReadConninfoFile(
        beside.filePath(QStringLiteral("qvtune.records.conf")).toLocal8Bit().toStdString());
    o.Db = server.empty() ? beside.filePath(QStringLiteral("qvtune.records")) : QString::fromLocal8Bit(server.c_str());
  }

  if (!o.Unit.empty() || !o.Firmware.empty()) {
    qv::TRecordQuery query;
    query.Filter = o.Filter;
    query.Address = o.Unit;
    std::string title = "the radio address " + o.Unit;
    if (!o.Firmware.empty()) {
      bool file = false;
      if (!FirmwareHash(o.Firmware, query.Firmware, file)) return kExitRecords;
      title = "the units that got " +
              (file ? o.Firmware + " (SHA-256 " + query.Firmware + ")" : "the file of SHA-256 " + query.Firmware);
    }
    qv::THistory history;
    // A count down once there is something to bring up; a file whose
    // records only await their marks says nothing.
    bool counting = false;
    history.Progress = [&counting](int64_t left) {
      if (left == 0 && !counting) return;
      counting = true;
      std::fprintf(stderr, "qvstats: bringing the records up to schema version %d: %lld left\n",
                   qv::records::kSchemaVersion, static_cast<long long>(left));
    };
    if (!history.Load(o.Db.toLocal8Bit().toStdString())) {
      std::fprintf(stderr, "qvstats: %s\n", history.Error().c_str());
      return kExitRecords;
    }
    return ListUnits(history, query, title);
  }

  qv::TStatsWindow window;
  const bool loaded = window.OpenRecords(o.Db);
  window.SetFilter(o.Filter);
  window.SetThreshold(o.Threshold);
  if (!headless) {
    window.show();
    return app.exec();
  }

  if (!loaded) {
    std::fprintf(stderr, "qvstats: %s\n", window.History().Error().c_str());
    return kExitRecords;
  }
  if (!window.History().Note().empty()) std::fprintf(stderr, "qvstats: note: %s\n", window.History().Note().c_str());
  const std::vector<const qv::TGoldenHealth*> drifted = window.Figures().Drifted();
  for (const qv::TGoldenHealth* h : drifted) std::fprintf(stderr, "qvstats: warning: %s\n", h->Warning().c_str());
  QString error;
  if (!o.Csv.isEmpty() && !window.ExportCsv(o.Csv, &error)) {
    std::fprintf(stderr, "qvstats: %s\n", error.toLocal8Bit().constData());
    return kExitExport;
  }
  if (!o.Png.isEmpty() && !window.ExportPng(o.Png, &error)) {
    std::fprintf(stderr, "qvstats: %s\n", error.toLocal8Bit().constData());
    return kExitExport;
  }
  const int skipped = window.History().Skipped();
  std::printf("%d units exported of %lld", window.Figures().Total.Units,
              static_cast<long long>(window.History().UnitCount()));
  if (skipped > 0) {
    std::printf("; %d records left out\n", skipped);
    std::fprintf(stderr, "qvstats: %d records of %s left out: their time cannot be read\n", skipped,
                 window.History().Path().c_str());
  } else {
    std::printf("\n");
  }
  return !drifted.empty() ? kExitDrift : skipped > 0 ? kExitLeftOut : kExitOk;
}
