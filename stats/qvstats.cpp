// qvstats: the window over a records file, or, given an export option, the
// exports alone without a window, for scripts.
#include <QApplication>
#include <QDate>
#include <QDir>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "records/Store.h"
#include "stats/StatsWindow.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitRecords = 1;  // the records file cannot be read
constexpr int kExitUsage = 2;
constexpr int kExitExport = 3;  // an export file cannot be written
constexpr int kExitLeftOut = 4;  // written, but records were left out

const char kUsage[] =
    "Usage: qvstats [--db FILE|CONNINFO] [--from YYYY-MM-DD] [--to YYYY-MM-DD] [--station NAME]\n"
    "               [--threshold STEPS] [--export-csv FILE] [--export-png DIR]\n"
    "\n"
    "Shows the unit records of FILE (default: the records server named in\n"
    "qvtune.records.conf beside this program, else the file qvtune.records there): the\n"
    "stored values, yield and failure reasons per day and station, measurement quality,\n"
    "and the health of each golden reference.\n"
    "\n"
    "  --db FILE          the records file (SQLite)\n"
    "  --db CONNINFO      a PostgreSQL server that many stations share (a libpq connection\n"
    "                     string: postgresql://... or host=... dbname=...), read only\n"
    "  --from, --to DAY   the first and last UTC day shown (default: all)\n"
    "  --station NAME     one station only\n"
    "  --threshold STEPS  a golden reference whose running mean (of its last 10 units)\n"
    "                     moves more than this from its baseline (the mean of its\n"
    "                     first 20 units) is reported as drifted (default 3)\n"
    "  --export-csv FILE  write the records shown to FILE and the figures per day,\n"
    "                     station and golden reference to FILE-days.csv,\n"
    "                     FILE-stations.csv and FILE-golden.csv (FILE without .csv)\n"
    "  --export-png DIR   write each chart to DIR/NAME.png\n"
    "  --help             show this text and exit\n"
    "  --version          show the version and exit\n"
    "\n"
    "With an export option no window opens; drifted golden references are named on\n"
    "standard error. Exit codes: 0 done, 1 the records file cannot be read, 2 bad\n"
    "usage, 3 an export cannot be written, 4 the exports are written but records\n"
    "were left out (their time cannot be read; standard error says how many).\n";

struct TOptions {
  QString Db;
  qv::TFilter Filter;
  double Threshold = qv::TGoldenOptions().Threshold;
  QString Csv, Png;
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

// 0 when the options are good, else the exit code.
int Parse(int argc, char** argv, TOptions& o) {
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
                       name == "--threshold" || name == "--export-csv" || name == "--export-png";
    if (!known) return Usage("unknown option " + name);
    if (!inline_value) {
      if (i + 1 >= argc) return Usage(name + " needs a value");
      value = argv[++i];
    }
    if (value.empty()) return Usage(name + " needs a value");
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
    } else {
      o.Png = QString::fromLocal8Bit(value.c_str());
    }
  }
  if (!o.Filter.FromDay.empty() && !o.Filter.ToDay.empty() && o.Filter.FromDay > o.Filter.ToDay)
    return Usage("--from " + o.Filter.FromDay + " lies after --to " + o.Filter.ToDay);
  return 0;
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
  const bool headless = !o.Csv.isEmpty() || !o.Png.isEmpty();
  // Exports draw the charts without a display.
  if (headless && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (o.Db.isEmpty()) {
    // Where the stations beside this program send their records.
    const QDir beside(QCoreApplication::applicationDirPath());
    const std::string server =
        qv::records::ReadConninfoFile(beside.filePath(QStringLiteral("qvtune.records.conf")).toLocal8Bit().toStdString());
    o.Db = server.empty() ? beside.filePath(QStringLiteral("qvtune.records")) : QString::fromLocal8Bit(server.c_str());
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
  for (const qv::TGoldenHealth* h : window.Figures().Drifted())
    std::fprintf(stderr, "qvstats: warning: %s\n", h->Warning().c_str());
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
  std::printf("%d units exported of %zu", window.Figures().Total.Units, window.History().Units().size());
  if (skipped == 0) {
    std::printf("\n");
    return kExitOk;
  }
  std::printf("; %d records left out\n", skipped);
  std::fprintf(stderr, "qvstats: %d records of %s left out: their time cannot be read\n", skipped,
               window.History().Path().c_str());
  return kExitLeftOut;
}
