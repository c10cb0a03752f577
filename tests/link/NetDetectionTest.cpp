// The worker against the network bench over real loopback sockets: qvbench
// serves the dongle and the server as network serial ports and lists them
// in the port map, the port combos offer them, and detection on "Auto
// detect" finds and initialises both, in real time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "procedure/SerThread.h"
#include "serial/ComPort.h"
#include "serial/PortMap.h"
#include "tests/rfc2217/NetSupport.h"
#include "tests/support/TestWindow.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// An empty system (no serial devices) and a port map of the test's own.
class TEmptySystem {
public:
  TEmptySystem() {
    char pattern[] = "/tmp/qvnetdetect.XXXXXX";
    Dir = ::mkdtemp(pattern);
    fs::create_directories(fs::path(Dir) / "sys" / "class" / "tty");
    fs::create_directories(fs::path(Dir) / "dev");
    PortMap = (fs::path(Dir) / "qvtune.ports").string();
    // Kept entries of someone else: the bench must leave them alone.
    std::ofstream(PortMap) << "# hand-written\nCOM1=/nonexistent/ttyQV0\n";
    Saved = ComEnumConfig();
    TComEnumConfig config;
    config.SysRoot = (fs::path(Dir) / "sys").string();
    config.DevRoot = (fs::path(Dir) / "dev").string();
    config.PortMapPath = PortMap;
    SetComEnumConfig(config);
  }
  ~TEmptySystem() {
    SetComEnumConfig(Saved);
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  std::string Dir, PortMap;
  TComEnumConfig Saved;
};

TEST(NetDetection, WorkerFindsAndInitialisesBothDevicesThroughQvbench) {
  TEmptySystem system;
  {
    test::TBench bench({"--ports-file", system.PortMap});
    ASSERT_TRUE(bench.Child.Started());
    ASSERT_EQ(bench.Ports.size(), 2u);

    TComPort dongleSide(nullptr);
    TComPort serverSide(nullptr);
    serverSide.Tag = 1;
    test::TTestWindow window;
    window.Ports = {&dongleSide, &serverSide};

    std::vector<std::string> ports;
    dongleSide.ListComDevices(ports);
    std::vector<std::string> items = {"Auto detect"};
    items.insert(items.end(), ports.begin(), ports.end());
    EXPECT_EQ(items, (std::vector<std::string>{"Auto detect", "COM1", bench.Ports[0].first, bench.Ports[1].first}));
    for (TComboId id : {ciCOM1, ciCOM2}) window.Combos[id] = {items, 0, "Auto detect"};

    TSerThread worker(true, window);
    worker.DetectPorts();
    worker.InitDevice(*window.Ports.SerIF2, false);
    worker.InitDevice(*window.Ports.SerIF1, true);
    const std::string pane = [&] {
      std::string all;
      for (const std::string& line : window.Screen().LogMemo) all += line + "\n";
      return all;
    }();
    EXPECT_EQ(worker.Outcome, ocNone) << pane;
    EXPECT_TRUE(worker.LinkOk);
    const std::string dongle = bench.Ports[0].first;
    const std::string server = bench.Ports[1].first;
    EXPECT_EQ(window.Screen().LogMemo,
              (std::vector<std::string>{"Dongle found on " + dongle + ", #QV0DONGLE0000001, HW1.2",
                                        "Server found on " + server + ", #RFQVSERVER000123, HW2.0",
                                        "Quorvantis HW2.1"}))
        << pane;
    EXPECT_EQ(window.LastDonglePort, dongle);
    EXPECT_EQ(window.LastServerPort, server);
    EXPECT_EQ(window.Ports.SerIF1, &dongleSide);
    EXPECT_EQ(window.Ports.SerIF2, &serverSide);

    // The server's framed command over the network port.
    EXPECT_EQ(worker.ServerCommand(std::string(1, '\0'), true), "\x42\x24\x0F");
    worker.ClosePorts();
    EXPECT_FALSE(dongleSide.Active());

    bench.Child.CloseInput();
    EXPECT_EQ(bench.Child.Wait(10000), 0);
  }
  EXPECT_EQ(ReadFile(system.PortMap), "# hand-written\nCOM1=/nonexistent/ttyQV0\n") << "the bench's entries stay behind";
}

}  // namespace
}  // namespace qv
