// qvstats at a line's scale: demo records (qvstats --demo's, written by the
// records' own store) of 100,000 and 10,000,000 units in an SQLite file and
// on a PostgreSQL server the benchmark starts itself; for each, in a
// process of its own, the time to open, to the window's first charts, for a
// change of filter (a station, a week, the threshold), for a page of the
// records table in the middle, and the memory the process took, against
// the targets (first charts < 2 s, a change of filter < 1 s, < 500 MB);
// then again cold, as a station PC after a reboot has it: the database's
// pages evicted from the system's cache (and the server started afresh).
// The records are kept between runs in the cache folder (those of ten
// million take a while to write; the time is printed when they are).
// Prints the figures; always exits 0: a measurement, not a test.
//
//   stats_bench [--cache DIR] [--units N,...] [--sqlite-only]
#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDoubleSpinBox>
#include <QProcess>
#include <QTableView>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "records/Sql.h"
#include "records/Store.h"
#include "stats/Demo.h"
#include "stats/StatsWindow.h"
#include "tests/records/PgServer.h"

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

double MsSince(TClock::time_point start) {
  return std::chrono::duration<double, std::milli>(TClock::now() - start).count();
}

std::string Load() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

// Peak and current resident memory of this process, MB.
void Memory(double& peak, double& now) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) peak = std::stod(line.substr(6)) / 1024;
    if (line.rfind("VmRSS:", 0) == 0) now = std::stod(line.substr(6)) / 1024;
  }
}

// The window over the records at where, measured: run in a process of its
// own, so that its memory is its own.
int Measure(const std::string& where) {
  TClock::time_point start = TClock::now();
  {
    qv::THistory history;
    if (!history.Load(where)) {
      std::printf("  cannot open: %s\n", history.Error().c_str());
      return 0;
    }
    std::printf("  open (counts, stations, days): %.0f ms, %lld units\n", MsSince(start),
                static_cast<long long>(history.UnitCount()));
  }
  start = TClock::now();
  qv::TStatsWindow window;
  window.resize(1200, 820);
  window.OpenRecords(QString::fromStdString(where));
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) std::printf("  the window was never exposed\n");
  window.grab();
  const double first = MsSince(start);
  std::printf("  window open, first charts drawn: %.0f ms (target < 2000)\n", first);
  auto timed = [&](const char* what, const std::function<void()>& change) {
    const TClock::time_point t = TClock::now();
    change();
    window.grab();
    std::printf("  %s: %.0f ms (target < 1000)\n", what, MsSince(t));
  };
  timed("filter: one station", [&] { window.StationCombo->setCurrentIndex(2); });
  timed("filter: its last 7 days", [&] { window.FromEdit->setDate(window.ToEdit->date().addDays(-6)); });
  timed("filter: all again", [&] { window.SetFilter({}); });
  timed("golden threshold 2.5 steps", [&] { window.ThresholdSpin->setValue(2.5); });
  window.Tabs->setCurrentIndex(5);
  QTest::qWait(1);
  timed("records table: a page in the middle", [&] {
    const int middle = window.RecordsView->model()->rowCount() / 2;
    window.RecordsView->scrollTo(window.RecordsView->model()->index(middle, 0));
  });
  timed("records table: the newest page", [&] { window.RecordsView->scrollToBottom(); });
  double peak = 0, now = 0;
  Memory(peak, now);
  std::printf("  memory: %.0f MB at most, %.0f MB now (target < 500)\n", peak, now);
  return 0;
}

// Demo records of n units at where, written unless they are there. Kept
// ones are opened by this build's store first, as a station's writer opens
// them, so that they have what it adds to a database of this version.
bool Write(const std::string& where, bool server, int64_t n) {
  auto store = server ? qv::records::PostgresStore(where) : qv::records::SqliteStore(where);
  std::string why;
  qv::THistory h;
  if (h.Load(where) && h.UnitCount() == n && !h.InMemory()) {
    std::printf("  %lld demo units kept from an earlier run\n", static_cast<long long>(n));
    if (!store->Upgrade(why, {})) std::printf("  cannot open them as a writer: %s\n", why.c_str());
    return true;
  }
  if (!server) fs::remove(where);  // the store has not opened it
  qv::TDemoOptions demo;
  demo.Units = n;
  const TClock::time_point start = TClock::now();
  int64_t shown = 0;
  const bool ok = qv::WriteDemo(*store, demo, why, [&](int64_t written) {
    if (written - shown >= 1000000) {
      shown = written;
      std::printf("    %lld written, %.0f s\n", static_cast<long long>(written), MsSince(start) / 1000);
      std::fflush(stdout);
    }
  });
  if (!ok) {
    std::printf("  cannot write the demo records: %s\n", why.c_str());
    return false;
  }
  std::printf("  generated %lld demo units in %.0f s (%.0f units/s)\n", static_cast<long long>(n),
              MsSince(start) / 1000, static_cast<double>(n) / (MsSince(start) / 1000));
  return true;
}

// The pages of the file or of every file in the folder, out of the
// system's cache: all of the cache where this process may say so (root),
// else each file's clean pages after a sync.
void Evict(const fs::path& path) {
  ::sync();
  if (std::ofstream drop("/proc/sys/vm/drop_caches"); drop && (drop << "1").flush()) {
    std::printf("  the system's page cache dropped\n");
    return;
  }
  std::vector<fs::path> files;
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    for (const auto& e : fs::recursive_directory_iterator(path, ec))
      if (e.is_regular_file(ec)) files.push_back(e.path());
  } else {
    for (const char* suffix : {"", "-wal", "-shm"})
      if (fs::exists(path.string() + suffix, ec)) files.emplace_back(path.string() + suffix);
  }
  for (const fs::path& f : files) {
    const int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
  }
  std::printf("  %zu files' pages evicted from the cache\n", files.size());
}

// du -s of a folder, GB.
double Gigabytes(const fs::path& path) {
  uintmax_t bytes = 0;
  std::error_code ec;
  if (fs::is_regular_file(path, ec)) return static_cast<double>(fs::file_size(path)) / 1e9;
  for (const auto& e : fs::recursive_directory_iterator(path, ec))
    if (e.is_regular_file(ec)) bytes += e.file_size(ec);
  return static_cast<double>(bytes) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (argc == 3 && std::string(argv[1]) == "--measure") {
    QApplication app(argc, argv);
    return Measure(argv[2]);
  }
  fs::path cache = fs::path(argv[0]).parent_path() / "stats-bench-cache";
  std::vector<int64_t> sizes{100000, 10000000};
  bool postgres = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--cache" && i + 1 < argc) {
      cache = argv[++i];
    } else if (a == "--units" && i + 1 < argc) {
      sizes.clear();
      std::stringstream list(argv[++i]);
      for (std::string n; std::getline(list, n, ',');) sizes.push_back(std::stoll(n));
    } else if (a == "--sqlite-only") {
      postgres = false;
    } else {
      std::fprintf(stderr, "usage: stats_bench [--cache DIR] [--units N,...] [--sqlite-only]\n");
      return 2;
    }
  }
  fs::create_directories(cache);
  std::printf("load average at the start: %s (%u cores)\n", Load().c_str(), std::thread::hardware_concurrency());
  auto measure = [&](const std::string& where) {
    // A process of its own for the window: its memory is its alone.
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QString::fromLocal8Bit(argv[0]), {QStringLiteral("--measure"), QString::fromStdString(where)});
    child.waitForFinished(-1);
  };
  for (const int64_t n : sizes) {
    const std::string file =
        (cache / ("demo-v" + std::to_string(qv::records::kSchemaVersion) + "-" + std::to_string(n) + ".records"))
            .string();
    std::printf("SQLite, %lld units:\n", static_cast<long long>(n));
    std::fflush(stdout);
    if (Write(file, false, n)) {
      std::printf("  file: %.1f GB\n", Gigabytes(file));
      std::fflush(stdout);
      measure(file);
      std::printf(" cold:\n");
      Evict(file);
      std::fflush(stdout);
      measure(file);
    }
    if (!postgres) continue;
    std::printf("PostgreSQL, %lld units:\n", static_cast<long long>(n));
    std::fflush(stdout);
    qv::test::TPgServer server(
        (cache / ("pg-v" + std::to_string(qv::records::kSchemaVersion) + "-" + std::to_string(n))).string());
    if (!server.Problem().empty()) {
      std::printf("  no server: %s\n", server.Problem().c_str());
      continue;
    }
    const fs::path data = cache / ("pg-v" + std::to_string(qv::records::kSchemaVersion) + "-" + std::to_string(n));
    if (Write(server.Conninfo(), true, n)) {
      std::printf("  server's data: %.1f GB\n", Gigabytes(data));
      std::fflush(stdout);
      measure(server.Conninfo());
      std::printf(" cold, the server started afresh:\n");
      server.Stop();
      Evict(data);
      if (!server.Start()) {
        std::printf("  the server did not start again\n");
        continue;
      }
      std::fflush(stdout);
      measure(server.Conninfo());
    }
  }
  std::printf("load average at the end: %s\n", Load().c_str());
  return 0;
}
