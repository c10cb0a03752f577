// qvbench --stations over loopback sockets: every station's two ports on
// consecutive TCP ports and in the port map, each serving its own dongle
// and server, and a report that covers every station.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "serial/ComPort.h"
#include "tests/rfc2217/NetSupport.h"
#include "tests/support/Cases.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The hardware byte, 0x55, 0xF0 and the 16 identity characters, for the
// handshake sent in one piece.
std::string Identify(const std::string& url) {
  TComPort port(nullptr);
  // The port as the bench starts each connection: 9600 8N1, both lines up.
  port.SetDeviceName(url);
  port.Timeouts().SetReadConstant(1000);
  port.Open();
  std::string hello("\x80\x00\xA5", 3);
  hello += std::string(16, '\x55');
  port.Write(hello.data(), static_cast<int32_t>(hello.size()), true);
  std::string answers;
  for (size_t i = 0; i < hello.size(); ++i) answers.push_back(static_cast<char>(port.ReadByte()));
  port.Close();
  return answers;
}

TEST(QvbenchStations, TwoStationsOnConsecutivePortsAllInThePortMap) {
  std::string tmpl = (fs::temp_directory_path() / "qvbench-stations.XXXXXX").string();
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  const fs::path dir = tmpl, map = dir / "qvtune.ports", report = dir / "report";
  std::ofstream(map, std::ios::binary) << "COM5=/dev/ttyS0\n";
  std::vector<std::pair<std::string, std::string>> ports;
  int base = 0;
  {
    // Four free ports in a row: a base the system gave, and the next three
    // as they happen to be.
    std::unique_ptr<test::TBench> bench;
    for (int attempt = 0; attempt < 10 && (!bench || bench->Ports.size() != 4); ++attempt) {
      base = test::UnusedPort();
      bench = std::make_unique<test::TBench>(std::vector<std::string>{"--stations", "2", "--units", "1", "--ports-file",
                                                                      map.string(), "--report", report.string(),
                                                                      "--base-port", std::to_string(base)});
    }
    ASSERT_EQ(bench->Ports.size(), 4u);
    ports = bench->Ports;
    std::string inMap;
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(ports[i].first, "COM" + std::to_string(31 + i));
      EXPECT_EQ(ports[i].second, "rfc2217://127.0.0.1:" + std::to_string(base + static_cast<int>(i)));
      inMap += ports[i].first + "=" + ports[i].second + "\n";
    }
    EXPECT_EQ(ReadText(map), "COM5=/dev/ttyS0\n" + inMap);
    EXPECT_EQ(Identify(ports[0].second), "\x12\x55\xF0QV0DONGLE0000001");
    EXPECT_EQ(Identify(ports[1].second), "\x20\x55\xF0RFQVSERVER000123");
    EXPECT_EQ(Identify(ports[2].second), "\x12\x55\xF0QV0DONGLE0000002");
    EXPECT_EQ(Identify(ports[3].second), "\x20\x55\xF0RFQVSERVER000124");
    bench->Child.CloseInput();
    EXPECT_EQ(bench->Child.Wait(5000), 0);
  }
  EXPECT_EQ(ReadText(map), "COM5=/dev/ttyS0\n");
  // Each station's devices behind its number, and what its server heard.
  std::vector<std::string> kinds;
  std::istringstream lines(ReadText(report));
  for (std::string line; std::getline(lines, line);) kinds.push_back(line.substr(0, line.find(' ', 10)));
  EXPECT_EQ(kinds, (std::vector<std::string>{"station 1 handheld", "station 1 server", "station 1 radio",
                                             "station 2 handheld", "station 2 server", "station 2 radio"}));
  EXPECT_NE(ReadText(report).find("station 2 radio foreign=0 collided=0\n"), std::string::npos);
  std::error_code ec;
  fs::remove_all(dir, ec);
}

struct TBadCase {
  const char* Name;
  std::vector<std::string> Args;
};
using test::PrintTo;

class QvbenchStationsUsage : public ::testing::TestWithParam<TBadCase> {};

TEST_P(QvbenchStationsUsage, IsAUsageError) {
  std::vector<std::string> argv = {test::QvbenchPath()};
  argv.insert(argv.end(), GetParam().Args.begin(), GetParam().Args.end());
  test::TChild child(argv, true);
  EXPECT_EQ(child.Wait(5000), 2);
}

INSTANTIATE_TEST_SUITE_P(Options, QvbenchStationsUsage,
                         ::testing::Values(TBadCase{"NoStations", {"--stations", "0"}},
                                           TBadCase{"TooManyStations", {"--stations", "33"}},
                                           TBadCase{"EchoHasNoRadio", {"--echo", "--stations", "2"}},
                                           TBadCase{"CollisionsNeitherOnNorOff", {"--collisions", "maybe"}},
                                           TBadCase{"SeedNotANumber", {"--seed", "x"}}),
                         test::TCaseName());

}  // namespace
}  // namespace qv
