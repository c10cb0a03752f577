// qvstats benchmark: opening a records file of many units (default
// 100,000): the read alone, the figures, and the whole window up to its
// first painted frame on the offscreen platform. Prints the times; always
// exits 0: a measurement, not a test.
//
//   stats_bench [UNITS]
#include <QApplication>
#include <QTest>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "stats/StatsWindow.h"
#include "tests/stats/RecordsGen.h"

namespace {

using TClock = std::chrono::steady_clock;

double MsSince(TClock::time_point start) {
  return std::chrono::duration<double, std::milli>(TClock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const int units = argc > 1 ? std::atoi(argv[1]) : 100000;
  QApplication app(argc, argv);
  std::string dir = (std::filesystem::temp_directory_path() / "qvstatsbench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return 0;
  const std::string db = dir + "/qvtune.records";

  TClock::time_point start = TClock::now();
  qv::test::WriteRecords(db, 2, qv::test::Production(units, 90));
  std::printf("generated %d units in %.0f ms (%.1f MB)\n", units, MsSince(start),
              static_cast<double>(std::filesystem::file_size(db)) / 1e6);

  // The second of each pair runs with the file in the page cache, as a
  // file opened again is.
  for (int round = 0; round < 2; ++round) {
    start = TClock::now();
    qv::THistory history;
    history.Load(db);
    const double load = MsSince(start);
    start = TClock::now();
    const qv::TFigures figures = qv::ComputeFigures(history, {}, {});
    const double compute = MsSince(start);
    std::printf("read %zu units: %.0f ms; figures: %.0f ms (%zu golden references, %zu days)\n", history.Units().size(),
                load, compute, figures.Golden.size(), figures.Days.size());
  }

  for (int round = 0; round < 2; ++round) {
    start = TClock::now();
    qv::TStatsWindow window;
    window.resize(1200, 820);
    window.OpenRecords(QString::fromStdString(db));
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) std::printf("the window was never exposed\n");
    window.grab();
    std::printf("window open with %zu units, charts drawn: %.0f ms\n", window.History().Units().size(), MsSince(start));
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
