// Start-up benchmark: the window's first activation (port lists, payload,
// settings) with a port map of many names, on the offscreen platform, and
// the resolution of every name as detection would do it. Prints the times;
// always exits 0: a measurement, not a test.
//
//   startup_bench [NAMES]      (default 100000)
#include <QApplication>
#include <QComboBox>
#include <QTest>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/Main.h"
#include "serial/PortMap.h"

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

double MsSince(TClock::time_point start) {
  return std::chrono::duration<double, std::milli>(TClock::now() - start).count();
}

// A program file the payload locator reads as a plain build.
std::string MinimalPe() {
  std::string file(0x200, '\0');
  file[0] = 'M';
  file[1] = 'Z';
  file[0x3C] = static_cast<char>(0x80);
  file.replace(0x80, 4, std::string("PE\0\0", 4));
  return file;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const long names = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
  QApplication app(argc, argv);

  std::string dir = (fs::temp_directory_path() / "qvstartup-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return 0;
  const std::string map = dir + "/qvtune.ports";
  {
    std::ofstream out(map, std::ios::binary);
    for (long i = 0; i < names; ++i) out << "COM" << 100 + i << "=rfc2217://127.0.0.1:" << 1024 + i % 60000 << "\n";
  }
  std::ofstream(dir + "/qvtune", std::ios::binary) << MinimalPe();
  qv::SetComEnumConfig({dir + "/sys", dir + "/dev", map});

  {
    qv::TMain window;
    window.ProgramPath = dir + "/qvtune";
    const TClock::time_point start = TClock::now();
    window.show();
    if (!QTest::qWaitFor([&] { return !window.FirstActivation; }, 600000)) std::printf("never activated\n");
    const double activation = MsSince(start);
    std::printf("port map of %ld names: first activation %.0f ms, %d items in each port list\n", names, activation,
                window.COM1Combo->count());

    // A map changed within the last seconds is looked at again at each
    // open; one written earlier is not.
    for (const char* age : {"just written", "written earlier"}) {
      const TClock::time_point resolving = TClock::now();
      for (int i = 1; i < window.COM1Combo->count(); ++i)
        qv::ResolvePortName(window.COM1Combo->itemText(i).toStdString());
      std::printf("resolving every listed name once, map %s: %.0f ms\n", age, MsSince(resolving));
      fs::last_write_time(map, fs::last_write_time(map) - std::chrono::minutes(10));
    }
    window.close();
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
