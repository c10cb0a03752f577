#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/ComDevice.h"
#include "serial/PortMap.h"
#include "tests/support/Cases.h"

namespace qv {
namespace {

using test::PrintTo;

namespace fs = std::filesystem;

// Where a fixture tty's device link points, as the kernel lays them out.
const std::string kNoDevice;                                                     // consoles, ptys, /dev/tty
const std::string kPnpUart = "pnp0/00:00/00:00:0/00:00:0.0";                     // 8250 port on serial-base (6.5 on)
const std::string kPlatUart = "platform/serial8250/serial8250:0/serial8250:0.";  // + port number
const std::string kOld8250 = "platform/serial8250";                              // before 6.5
const std::string kAmba = "platform/fe201000.serial";                            // a SoC UART, not 8250
const std::string kUsbSerial = "pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/";      // + ttyUSBn
const std::string kUsbAcm = "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0";

struct TTty {
  std::string Name;
  std::string Device;          // under sys/devices; empty: no device link
  bool SerialBase = false;     // the device sits on the serial-base bus
  const char* Type = nullptr;  // contents of the type file; null: none
  bool Node = true;            // a node under the fixture's /dev
};

TTty Virtual(const std::string& name) {
  return {name, kNoDevice};
}
TTty PnpUart(const std::string& name, const char* type) {
  return {name, kPnpUart, true, type};
}
TTty PlatUart(const std::string& name, const char* type) {
  return {name, kPlatUart + name.substr(4), true, type};
}
TTty Usb(const std::string& name) {
  return {name, kUsbSerial + name};
}
TTty Acm(const std::string& name) {
  return {name, kUsbAcm};
}
TTty NoNode(TTty t) {
  t.Node = false;
  return t;
}

// A fake sysfs and /dev under a scratch folder, made the enumeration's
// inputs; the config in force is restored afterwards.
class LinuxEnumTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FSaved = ComEnumConfig();
    std::string tmpl = (fs::temp_directory_path() / "qvenum.XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    FRoot = tmpl;
    FSys = FRoot / "sys";
    FDev = FRoot / "dev";
    fs::create_directories(FSys / "class" / "tty");
    fs::create_directories(FDev);
    Use(FSys.string(), (FRoot / "no.ports").string());
  }
  void TearDown() override {
    SetComEnumConfig(FSaved);
    std::error_code ec;
    fs::permissions(FSys / "class" / "tty", fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(FRoot, ec);
  }

  void Use(const std::string& sysRoot, const std::string& portMap) {
    TComEnumConfig config;
    config.SysRoot = sysRoot;
    config.DevRoot = FDev.string();
    config.PortMapPath = portMap;
    SetComEnumConfig(config);
  }

  void Add(const TTty& t) {
    fs::path classTty = FSys / "class" / "tty";
    fs::path devices = FSys / "devices";
    fs::path ttyDir = t.Device.empty() ? devices / "virtual" / "tty" / t.Name : devices / t.Device / "tty" / t.Name;
    fs::create_directories(ttyDir);
    fs::create_directory_symlink(fs::relative(ttyDir, classTty), classTty / t.Name);
    if (!t.Device.empty()) {
      fs::path device = devices / t.Device;
      fs::create_directory_symlink(fs::relative(device, ttyDir), ttyDir / "device");
      if (t.SerialBase && !fs::exists(fs::symlink_status(device / "subsystem"))) {
        fs::path bus = FSys / "bus" / "serial-base";
        fs::create_directories(bus);
        fs::create_directory_symlink(fs::relative(bus, device), device / "subsystem");
      }
    }
    if (t.Type) std::ofstream(ttyDir / "type") << t.Type;
    if (t.Node) std::ofstream(FDev / t.Name).flush();
  }

  void WriteMap(const std::string& text) {
    fs::path path = FRoot / "qvtune.ports";
    std::ofstream(path, std::ios::binary) << text;
    Use(ComEnumConfig().SysRoot, path.string());
  }

  // "@" stands for the fixture's device root.
  std::string Dev(const std::string& s) const {
    std::string out;
    for (char c : s) out += c == '@' ? FDev.string() : std::string(1, c);
    return out;
  }
  std::vector<std::string> Dev(const std::vector<std::string>& names) const {
    std::vector<std::string> out;
    for (const std::string& n : names) out.push_back(Dev(n));
    return out;
  }

  static std::vector<std::string> List() {
    std::vector<std::string> list;
    ListPlatformComDevices(list);
    return list;
  }

  TComEnumConfig FSaved;
  fs::path FRoot, FSys, FDev;
};

struct TEnumCase {
  const char* Label;
  std::vector<TTty> Ttys;
  const char* PortMap;  // null: no port map file
  std::vector<std::string> Expected;
};

class LinuxEnumCases : public LinuxEnumTest, public ::testing::WithParamInterface<TEnumCase> {};

TEST_P(LinuxEnumCases, ListsTheSerialDevicesThenThePortMap) {
  const TEnumCase& c = GetParam();
  for (const TTty& t : c.Ttys) Add(t);
  if (c.PortMap) WriteMap(Dev(c.PortMap));
  EXPECT_EQ(List(), Dev(c.Expected));
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, LinuxEnumCases,
    ::testing::Values(
        TEnumCase{"Empty", {}, nullptr, {}},
        TEnumCase{"TtysWithoutDeviceExcluded",
                  {Virtual("tty"), Virtual("console"), Virtual("ptmx"), Virtual("tty0"), Virtual("tty1")},
                  nullptr,
                  {}},
        TEnumCase{"UartTypeDecides",
                  {PnpUart("ttyS0", "4\n"), PlatUart("ttyS1", "0\n"), PlatUart("ttyS2", " 16 \n"),
                   PlatUart("ttyS3", "garbage\n"), PlatUart("ttyS4", ""), PlatUart("ttyS5", nullptr)},
                  nullptr,
                  {"@/ttyS0", "@/ttyS2"}},
        // A first line of nothing but line ends and blanks holds no type.
        TEnumCase{"UartTypeOfLineEndsAndBlanksOnly",
                  {PlatUart("ttyS0", "\r\r\n\xff..;"), PlatUart("ttyS1", " \r \n4\n"), PlatUart("ttyS2", "\r\n"),
                   PlatUart("ttyS3", "4\r\n")},
                  nullptr,
                  {"@/ttyS3"}},
        TEnumCase{"Pre65UartTypeDecides",
                  {{"ttyS0", kOld8250, false, "4\n"}, {"ttyS1", kOld8250, false, "0\n"}, {"ttyS2", kOld8250}},
                  nullptr,
                  {"@/ttyS0"}},
        TEnumCase{"AnyTtyWithATypeFileNeedsAUart",
                  {{"ttyAMA0", kAmba, false, "32\n"}, {"ttyAMA1", kAmba, false, "0\n"}},
                  nullptr,
                  {"@/ttyAMA0"}},
        TEnumCase{
            "UsbSerialIncludedWithoutType", {Usb("ttyUSB0"), Acm("ttyACM0")}, nullptr, {"@/ttyACM0", "@/ttyUSB0"}},
        TEnumCase{"NaturalOrder",
                  {PlatUart("ttyS10", "4"), PlatUart("ttyS2", "4"), PlatUart("ttyS1", "4"), Usb("ttyUSB10"),
                   Usb("ttyUSB9"), Acm("ttyACM0")},
                  nullptr,
                  {"@/ttyACM0", "@/ttyS1", "@/ttyS2", "@/ttyS10", "@/ttyUSB9", "@/ttyUSB10"}},
        TEnumCase{"EntryWithoutDevNodeExcluded",
                  {Usb("ttyUSB0"), NoNode(Usb("ttyUSB1")), NoNode(PnpUart("ttyS0", "4"))},
                  nullptr,
                  {"@/ttyUSB0"}},
        TEnumCase{"PortMapNamesFollowInFileOrder",
                  {Usb("ttyUSB0"), PnpUart("ttyS0", "4"), Virtual("tty")},
                  "COM32=rfc2217://127.0.0.1:7032\nCOM31=rfc2217://127.0.0.1:7031\n",
                  {"@/ttyS0", "@/ttyUSB0", "COM32", "COM31"}},
        TEnumCase{"PortMapDuplicatesSkipped",
                  {Usb("ttyUSB0")},
                  "COM31=/dev/a\r\n@/ttyUSB0=rfc2217://127.0.0.1:7040\r\nCOM31=/dev/b\r\nCOM32=/dev/c\r\n",
                  {"@/ttyUSB0", "COM31", "COM32"}},
        TEnumCase{"PortMapOnly", {Virtual("tty")}, "COM31=rfc2217://127.0.0.1:7031\n", {"COM31"}},
        TEnumCase{"EmptyPortMap", {Usb("ttyUSB0")}, "# no ports\n", {"@/ttyUSB0"}}),
    test::TCaseName());

TEST_F(LinuxEnumTest, AppendsToTheListWithoutRepeatingItsNames) {
  Add(Usb("ttyUSB0"));
  Add(Usb("ttyUSB1"));
  WriteMap("COM31=rfc2217://127.0.0.1:7031\nCOM32=rfc2217://127.0.0.1:7032\n");
  std::vector<std::string> list{"first", Dev("@/ttyUSB1"), "COM32"};
  ListPlatformComDevices(list);
  EXPECT_EQ(list, Dev(std::vector<std::string>{"first", "@/ttyUSB1", "COM32", "@/ttyUSB0", "COM31"}));
}

TEST_F(LinuxEnumTest, DanglingAndOddEntriesAreSkippedQuietly) {
  fs::path classTty = FSys / "class" / "tty";
  fs::create_directory_symlink(FSys / "devices" / "gone", classTty / "ttyGone");  // entry pointing nowhere
  std::ofstream(classTty / "ttyFile").flush();                                    // not a folder at all
  std::ofstream(FDev / "ttyGone").flush();
  std::ofstream(FDev / "ttyFile").flush();
  TTty dirType = PnpUart("ttyS0", nullptr);
  Add(dirType);
  fs::create_directory(FSys / "devices" / kPnpUart / "tty" / "ttyS0" / "type");  // type not readable as a file
  Add(Usb("ttyUSB0"));
  EXPECT_EQ(List(), Dev(std::vector<std::string>{"@/ttyUSB0"}));
}

TEST_F(LinuxEnumTest, MissingOrBrokenSysfsGivesOnlyThePortMap) {
  Add(Usb("ttyUSB0"));
  WriteMap("COM31=rfc2217://127.0.0.1:7031\n");
  const std::vector<std::string> mapOnly{"COM31"};

  Use((FRoot / "absent").string(), ComEnumConfig().PortMapPath);
  EXPECT_EQ(List(), mapOnly);

  fs::path flat = FRoot / "flat";
  fs::create_directories(flat / "class");
  std::ofstream(flat / "class" / "tty").flush();  // a file where the folder should be
  Use(flat.string(), ComEnumConfig().PortMapPath);
  EXPECT_EQ(List(), mapOnly);

  Use("", (FRoot / "no.ports").string());
  EXPECT_NO_THROW(List());
}

TEST_F(LinuxEnumTest, UnreadableSysfsAppendsNothing) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  Add(Usb("ttyUSB0"));
  fs::permissions(FSys / "class" / "tty", fs::perms::none);
  EXPECT_TRUE(List().empty());
}

// The running system: whatever it has, every name listed is a node that
// exists, and nothing is opened or raised on the way.
TEST_F(LinuxEnumTest, RealSystemListsExistingNodesOnly) {
  TComEnumConfig config;
  config.PortMapPath = (FRoot / "no.ports").string();
  SetComEnumConfig(config);
  std::vector<std::string> list;
  ASSERT_NO_THROW(ListPlatformComDevices(list));
  for (const std::string& name : list) {
    EXPECT_EQ(name.rfind("/dev/", 0), 0u) << name;
    struct stat st {};
    EXPECT_EQ(stat(name.c_str(), &st), 0) << name;
  }
}

}  // namespace
}  // namespace qv
