// The qvline program against qvbench over loopback sockets, in real time:
// a whole unit, a failed one, Cancel by signal, and the options it refuses.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "settings/SettingsFile.h"
#include "bench/Firmware.h"
#include "tests/rfc2217/NetSupport.h"
#include "tests/support/Cases.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A station folder: the bench's firmware and a settings file naming it.
struct TNetStation {
  explicit TNetStation(const std::string& choices = "S") {
    std::random_device rd;
    Dir = fs::temp_directory_path() / ("qvline-" + std::to_string(rd()));
    fs::create_directories(Dir);
    for (const auto& [file, bytes] : bench::StandardFiles()) WriteFile(Dir / file, bytes);
    TSettings s;
    s.Choices = ParseSettings({"", "", "", "", choices}).Choices;
    s.Histories = {std::vector<std::string>{(Dir / "qvmodem.qpf").string()},
                   std::vector<std::string>{(Dir / "qvhandheld.qpf").string()},
                   std::vector<std::string>{(Dir / "qvserver.hex").string()}};
    WriteSettingsLines(Ini(), FormatSettings(s));
  }
  ~TNetStation() {
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  std::string Ini() const { return (Dir / "qvtune.INI").string(); }
  std::string PortMap() const { return (Dir / "qvtune.ports").string(); }

  // qvline with its errors on its output.
  std::unique_ptr<TChild> Start(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", QV_QVLINE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<TChild>(argv);
  }
  std::vector<std::string> Args(std::vector<std::string> more = {}) const {
    std::vector<std::string> args = {"--settings", Ini(), "--port-map", PortMap(), "--no-records"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  fs::path Dir;
};

std::vector<std::string> ReadAll(TChild& child, int timeoutMs) {
  std::vector<std::string> lines;
  while (const std::optional<std::string> line = child.ReadLine(timeoutMs)) lines.push_back(*line);
  return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}

// About three minutes: the whole unit at 9600 baud.
TEST(LineNet, GoodUnitAgainstQvbench) {
  TNetStation station;
  TBench bench({"--ports-file", station.PortMap(), "--units", "1"});
  ASSERT_EQ(bench.Ports.size(), 2u);
  auto line = station.Start(station.Args());
  const std::vector<std::string> lines = ReadAll(*line, 300000);
  EXPECT_EQ(line->Wait(10000), 0) << Joined(lines);
  EXPECT_TRUE(Has(lines, "Dongle found on COM31, #QV0DONGLE0000001, HW1.2")) << Joined(lines);
  EXPECT_TRUE(Has(lines, "Completed successfully!"));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Error log file written");
  const std::string log = ReadWhole(station.Dir / "qvtune.ERR");
  EXPECT_NE(log.find(">--- Updating Quorvantis EEPROM firmware to V2.4 ---\r"), std::string::npos);
  EXPECT_NE(log.find(">Storing obtained compensation value\r"), std::string::npos);
}

TEST(LineNet, DamagedFirmwareFailsTheUnitWithExitOne) {
  TNetStation station;
  WriteFile(station.Dir / "qvhandheld.qpf", std::string(300, '\x5A'));
  TBench bench({"--ports-file", station.PortMap(), "--units", "1"});
  auto line = station.Start(station.Args());
  const std::vector<std::string> lines = ReadAll(*line, 60000);
  EXPECT_EQ(line->Wait(10000), 1) << Joined(lines);
  EXPECT_TRUE(Has(lines, "Procedure failed!")) << Joined(lines);
  EXPECT_FALSE(Has(lines, "Completed successfully!"));
}

// Cancel early; the server restore (tens of seconds) runs to its end, and
// a second signal in the middle of it changes nothing.
TEST(LineNet, SigintCancelsYetRestoresTheServerAndWritesTheLog) {
  TNetStation station("SR");
  TBench bench({"--ports-file", station.PortMap(), "--units", "1"});
  auto line = station.Start(station.Args({"--units", "3"}));
  std::vector<std::string> lines;
  bool signalled = false;
  while (const std::optional<std::string> l = line->ReadLine(120000)) {
    lines.push_back(*l);
    if (!signalled && l->rfind("Quorvantis HW", 0) == 0) {
      line->Signal(SIGINT);
      signalled = true;
    }
    if (*l == "Programming server, please wait...") line->Signal(SIGINT);
  }
  EXPECT_EQ(line->Wait(10000), 3) << Joined(lines);
  const auto aborted = std::find(lines.begin(), lines.end(), "Aborted by user!");
  ASSERT_NE(aborted, lines.end()) << Joined(lines);
  std::vector<std::string> tail(aborted, lines.end());
  tail.erase(std::remove_if(tail.begin(), tail.end(), [](const std::string& l) { return l.rfind("qvline:", 0) == 0; }),
             tail.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"Aborted by user!", "--- Restoring server firmware to V2.1.3a ---",
                                            "Programming server, please wait...", "Completed successfully!",
                                            "Error log file written"}))
      << Joined(lines);
  const std::string log = ReadWhole(station.Dir / "qvtune.ERR");
  EXPECT_NE(log.find(">--- Restoring server firmware to V2.1.3a ---\r"), std::string::npos);
  EXPECT_NE(log.find(">Programming server, please wait...\r"), std::string::npos);
}

// The child process of the line that runs this station, or -1.
pid_t StationPid(pid_t line, const std::string& station) {
  std::ifstream children("/proc/" + std::to_string(line) + "/task/" + std::to_string(line) + "/children");
  for (pid_t pid; children >> pid;) {
    const std::string cmdline = ReadWhole("/proc/" + std::to_string(pid) + "/cmdline");
    if (cmdline.find(std::string("--station") + '\0' + station + '\0') != std::string::npos) return pid;
  }
  return -1;
}

// Two stations as child processes of the line against qvbench's two
// stations, about two minutes: one station's qvline is killed in the middle
// of its unit, and the other still tunes its unit.
TEST(LineNet, StationKilledMidUnitLeavesTheOtherToFinish) {
  TNetStation station;
  TBench bench({"--ports-file", station.PortMap(), "--stations", "2", "--units", "1"});
  ASSERT_EQ(bench.Ports.size(), 4u);
  auto line = station.Start(station.Args({"--station", "L1=COM31,COM32", "--station", "L2=COM33,COM34"}));
  std::vector<std::string> lines;
  bool killed = false;
  while (const std::optional<std::string> l = line->ReadLine(300000)) {
    lines.push_back(*l);
    if (!killed && *l == "[L1] Running test cycle...") {
      const pid_t l1 = StationPid(line->Pid(), "L1");
      ASSERT_GT(l1, 0);
      ::kill(l1, SIGKILL);
      killed = true;
    }
  }
  EXPECT_EQ(line->Wait(10000), 4) << Joined(lines);
  EXPECT_TRUE(Has(lines, "qvline: [L1] its qvline was ended by signal 9 (Killed)")) << Joined(lines);
  EXPECT_TRUE(Has(lines, "[L2] Completed successfully!")) << Joined(lines);
  EXPECT_TRUE(Has(lines, "qvline: [L2] ended (exit 0): 1 tuned, 0 failed")) << Joined(lines);
  EXPECT_NE(ReadWhole(station.Dir / "L2.ERR").find(">Storing obtained compensation value\r"), std::string::npos);
}

// A port the system refuses: qvline says which device, why, and which
// group to join. The device is a pseudo-terminal that this user may not
// open (as root: run as nobody, for whom the terminal's mode 620 is no
// access); the group is the one its system gives the terminals.
TEST(LineNet, PortWithoutPermissionSaysWhichGroupToJoin) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string device = ::ptsname(master);
  std::vector<std::string> prefix;
  if (::geteuid() == 0)
    prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  else
    ASSERT_EQ(::chmod(device.c_str(), 0), 0);
  TNetStation station;
  fs::permissions(station.Dir, fs::perms::all, fs::perm_options::add);
  WriteFile(station.PortMap(), "COM77=" + device + "\nCOM78=" + device + "\n");
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1"};
  argv.insert(argv.end(), prefix.begin(), prefix.end());
  argv.push_back(QV_QVLINE_PATH);
  for (const std::string& a : station.Args({"--dongle-port", "COM77", "--server-port", "COM78"})) argv.push_back(a);
  TChild line(argv);
  const std::vector<std::string> lines = ReadAll(line, 60000);
  EXPECT_EQ(line.Wait(10000), 1) << Joined(lines);
  const std::string hint = "qvline: The port COM77 (" + device + ") cannot be opened: ";
  const auto told = std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(hint, 0) == 0; });
  EXPECT_EQ(told, 1) << Joined(lines);
  struct stat st {};
  ASSERT_EQ(::stat(device.c_str(), &st), 0);
  const std::string group = ::getgrgid(st.st_gid)->gr_name;
  EXPECT_NE(Joined(lines).find("belongs to the group " + group + ": ask the administrator to add you to it (sudo usermod "
                               "-aG " + group + " $USER), then log in again."),
            std::string::npos)
      << Joined(lines);
  EXPECT_TRUE(Has(lines, "Dongle not found!")) << Joined(lines);
  ::close(master);
}

struct TBadCase {
  const char* Name;
  std::vector<std::string> Args;
  // What the one message says.
  const char* Message;
  // Written to DIR/stations first, when set.
  const char* StationsFile = nullptr;
};
using test::PrintTo;

class LineUsage : public ::testing::TestWithParam<TBadCase> {};

TEST_P(LineUsage, BadOptionGivesOneMessageAndExitTwo) {
  const TBadCase& c = GetParam();
  TNetStation station;
  if (c.StationsFile != nullptr) WriteFile(station.Dir / "stations", c.StationsFile);
  std::vector<std::string> args;
  for (const std::string& a : c.Args) {
    std::string arg = a;
    // DIR stands for the station folder.
    if (arg.rfind("DIR", 0) == 0) arg = station.Dir.string() + arg.substr(3);
    args.push_back(arg);
  }
  auto line = station.Start(args);
  const std::vector<std::string> lines = ReadAll(*line, 10000);
  EXPECT_EQ(line->Wait(10000), 2) << Joined(lines);
  ASSERT_EQ(lines.size(), 1u) << Joined(lines);
  EXPECT_EQ(lines[0].rfind("qvline: ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(c.Message), std::string::npos) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineUsage,
    ::testing::Values(
        TBadCase{"UnknownOption", {"--fast"}, "unknown option \"--fast\""},
        TBadCase{"StrayArgument", {"COM31"}, "unexpected argument \"COM31\""},
        TBadCase{"MissingValue", {"--units"}, "--units needs a value"},
        TBadCase{"ZeroUnits", {"--units", "0"}, "--units takes a number from 1"},
        TBadCase{"NegativeRetries", {"--retries", "-1"}, "--retries takes a number from 0"},
        TBadCase{"WordForUnits", {"--units=many"}, "not \"many\""},
        TBadCase{"GoldenNeither", {"--golden", "dongle"}, "--golden takes handheld or server"},
        TBadCase{"ValueOnAFlag", {"--json=yes"}, "--json takes no value"},
        TBadCase{"RecordsTwice", {"--records", "a", "--records-url", "b"}, "exclude each other"},
        TBadCase{"SettingsMissing", {"--settings", "DIR/none.INI"}, "none.INI\" does not exist"},
        TBadCase{"SettingsAFolder", {"--settings", "DIR"}, "is not a regular file"},
        TBadCase{"PortMapMissing", {"--settings", "DIR/qvtune.INI", "--port-map", "DIR/x.ports"}, "the port map"},
        TBadCase{"FirmwareMissing",
                 {"--settings", "DIR/qvtune.INI", "--modem-fw", "DIR/gone.qpf"},
                 "the RF modem firmware file"},
        TBadCase{"UnknownPort",
                 {"--settings", "DIR/qvtune.INI", "--dongle-port", "COM99"},
                 "no port \"COM99\" for the dongle"},
        TBadCase{"StationWithoutServer", {"--station", "L1=COM1"}, "--station takes NAME or NAME=DONGLE,SERVER"},
        TBadCase{"StationNamedTwice", {"--station", "L1=COM1,COM2", "--station", "l1=COM3,COM4"},
                 "the station \"l1\" is named twice"},
        TBadCase{"PortOfTwoStations", {"--station", "L1=COM1,COM2", "--station", "L2=COM3,com2"},
                 "the port \"com2\" is named for both \"L1\" and \"L2\""},
        TBadCase{"StationLeftToAutoDetect", {"--station", "L1=auto,COM2"}, "leaves a port to auto detection"},
        TBadCase{"StationNameNoFile", {"--station", "../x=COM1,COM2"}, "cannot name its files"},
        TBadCase{"StationBesidePorts", {"--station", "L1=COM1,COM2", "--dongle-port", "COM3"},
                 "the stations of a line name their own ports"},
        TBadCase{"StationsFileMissing", {"--stations", "DIR/none"}, "the stations file \""},
        TBadCase{"StationsFileShortLine", {"--stations", "DIR/stations"}, "stations, line 2: a station needs",
                 "# name dongle server\nL1 COM1\n"},
        TBadCase{"StationsFileForeignOption", {"--stations", "DIR/stations"},
                 "\"--json\" is not an option a station may have", "L1 COM1 COM2 --json\n"},
        TBadCase{"StationsFileBadValue", {"--stations", "DIR/stations"}, "line 1: --units takes a number",
                 "L1 COM1 COM2 --units 0\n"},
        TBadCase{"StationOfTheLineWithUnknownPort",
                 {"--settings", "DIR/qvtune.INI", "--station", "L1=COM98,COM99"},
                 "qvline: [L1] no port \"COM98\" for the dongle"}),
    TCaseName());

}  // namespace
}  // namespace qv::test
