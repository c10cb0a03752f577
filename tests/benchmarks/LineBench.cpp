// qvline against the window: the same unit (a handheld found, given its test
// firmware, tuned, stored, given its production firmware back and pulled
// out) against a fresh qvbench each, in real time over network ports. The
// window runs offscreen and its prompt is answered at once, as qvline
// answers it; the window's time runs from Ok to the worker's end, qvline's
// from its start to its exit. Prints both and their ratio (target: within
// 1 %). A measurement, not a test: exits 0 unless a unit fails.
//
//   line_bench
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/Main.h"
#include "serial/PortMap.h"
#include "tests/benchmarks/StationFolder.h"
#include "tests/rfc2217/NetSupport.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A station folder with the window's program in it.
fs::path Station(const std::string& name) {
  const fs::path dir = qv::benchmarks::StationFolder(name);
  fs::copy_file(QV_QVTUNE_PATH, dir / "qvtune");
  return dir;
}

// Waits as the window's own event loop does, woken by its events (and a
// timer, for the conditions no event announces), never spinning: a spinning
// wait would take a core from the worker and the bench.
template <class F>
bool Await(F condition, int seconds) {
  QTimer tick;
  tick.start(20);
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (Clock::now() > end) return false;
    QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

double WindowUnit(bool& ok) {
  const fs::path dir = Station("qv-line-bench-window");
  qv::test::TBench bench({"--ports-file", (dir / "qvtune.ports").string(), "--units", "1"});
  qv::TComEnumConfig config = qv::ComEnumConfig();
  config.PortMapPath = (dir / "qvtune.ports").string();
  qv::SetComEnumConfig(config);
  qv::TMain w;
  w.ProgramPath = (dir / "qvtune").string();
  w.show();
  Await([&] { return !w.FirstActivation; }, 10);
  w.DoStart();
  Await([&] { return w.Worker != nullptr && w.StartBut->isVisible(); }, 10);
  const auto t0 = Clock::now();
  w.DoStart();
  ok = Await([&] { return w.Worker == nullptr; }, 600);
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  ok = ok && w.LogMemo->toPlainText().contains(QStringLiteral("Completed successfully!"));
  if (!ok) std::fprintf(stderr, "%s\n", w.LogMemo->toPlainText().toStdString().c_str());
  return s;
}

double LineUnit(bool& ok) {
  const fs::path dir = Station("qv-line-bench-line");
  qv::test::TBench bench({"--ports-file", (dir / "qvtune.ports").string(), "--units", "1"});
  const auto t0 = Clock::now();
  qv::test::TChild line({QV_QVLINE_PATH, "--settings", (dir / "qvtune.INI").string(), "--port-map",
                         (dir / "qvtune.ports").string(), "--no-records"},
                        true);
  while (line.ReadLine(600000)) {
  }
  ok = line.Wait(10000) == 0;
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  bool windowOk = false, lineOk = false;
  const double window = WindowUnit(windowOk);
  const double line = LineUnit(lineOk);
  std::printf(
      "one unit against qvbench: window %.2f s%s, qvline %.2f s%s; ratio qvline/window %.4f (target within 1 %%)\n",
      window, windowOk ? "" : " (FAILED)", line, lineOk ? "" : " (FAILED)", line / window);
  return windowOk && lineOk ? 0 : 1;
}
