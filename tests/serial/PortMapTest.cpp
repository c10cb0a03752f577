#include "serial/PortMap.h"
#include "tests/support/Cases.h"

#include "serial/ComDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qv {
namespace {

using test::PrintTo;

namespace fs = std::filesystem;

using TPairs = std::vector<std::pair<std::string, std::string>>;

TPairs Pairs(const TPortMap& map) {
  TPairs pairs;
  for (const TPortMapEntry& e : map) pairs.emplace_back(e.Name, e.Target);
  return pairs;
}

struct TParseCase {
  const char* Label;
  std::string Text;
  TPairs Expected;
};

class PortMapParse : public ::testing::TestWithParam<TParseCase> {};

TEST_P(PortMapParse, GivesTheEntriesOfTheText) {
  EXPECT_EQ(Pairs(ParsePortMap(GetParam().Text)), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortMapParse,
    ::testing::Values(
        TParseCase{"Empty", "", {}},
        TParseCase{"OneEntryNoFinalLineEnd", "COM31=rfc2217://127.0.0.1:7031", {{"COM31", "rfc2217://127.0.0.1:7031"}}},
        TParseCase{"LfLines",
                   "COM31=rfc2217://127.0.0.1:7031\nCOM32=/dev/ttyUSB0\n",
                   {{"COM31", "rfc2217://127.0.0.1:7031"}, {"COM32", "/dev/ttyUSB0"}}},
        TParseCase{"CrLfLines",
                   "COM31=rfc2217://127.0.0.1:7031\r\nCOM32=/dev/ttyUSB0\r\n",
                   {{"COM31", "rfc2217://127.0.0.1:7031"}, {"COM32", "/dev/ttyUSB0"}}},
        TParseCase{"CommentsAndBlankLines",
                   "# bench ports\n\n   \n\t\n  # indented comment\nCOM31=/dev/a\n#COM32=/dev/b\n\r\n",
                   {{"COM31", "/dev/a"}}},
        TParseCase{"BlanksAroundNameAndTargetDropped", "  COM31 \t=\t /dev/ttyUSB0  \r\n", {{"COM31", "/dev/ttyUSB0"}}},
        TParseCase{"NameWithBlankRejected", "COM 31=/dev/a\nCOM\t32=/dev/b\nCOM33=/dev/c\n", {{"COM33", "/dev/c"}}},
        TParseCase{"NameWithControlCharacterRejected",
                   "COM31\r=/dev/a\r\nCOM\x01" "32=/dev/b\nCOM\x7F=/dev/c\nCOM33=/dev/d\n",
                   {{"COM33", "/dev/d"}}},
        TParseCase{"LineWithoutEqualsSkipped", "COM31\nCOM32 /dev/b\nCOM33=/dev/c\n", {{"COM33", "/dev/c"}}},
        TParseCase{"EmptyNameSkipped", "=/dev/a\n  =/dev/b\nCOM33=/dev/c\n", {{"COM33", "/dev/c"}}},
        TParseCase{"EmptyTargetSkipped", "COM31=\nCOM32=   \nCOM33=/dev/c\n", {{"COM33", "/dev/c"}}},
        TParseCase{"FirstEntryOfANameWins",
                   "COM31=/dev/first\nCOM32=/dev/b\nCOM31=/dev/second\n",
                   {{"COM31", "/dev/first"}, {"COM32", "/dev/b"}}},
        TParseCase{"DuplicateAfterMalformedFirstStillCounts", "COM31=\nCOM31=/dev/a\n", {{"COM31", "/dev/a"}}},
        TParseCase{"EqualsInTargetKept", "COM31=rfc2217://h:1?a=b\n", {{"COM31", "rfc2217://h:1?a=b"}}},
        TParseCase{"NamesAreCaseSensitive", "com31=/dev/a\nCOM31=/dev/b\n", {{"com31", "/dev/a"}, {"COM31", "/dev/b"}}},
        TParseCase{"OnlyComments", "# nothing here\r\n#\r\n", {}}),
    test::TCaseName());

// A scratch folder and the config in force restored afterwards.
class PortMapFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FSaved = ComEnumConfig();
    std::random_device rd;
    FDir = fs::temp_directory_path() / ("qvportmap." + std::to_string(rd()) + "-" + std::to_string(rd()));
    ASSERT_TRUE(fs::create_directory(FDir));
  }
  void TearDown() override {
    SetComEnumConfig(FSaved);
    std::error_code ec;
    fs::remove_all(FDir, ec);
  }
  std::string Write(const std::string& name, const std::string& text) {
    std::string path = (FDir / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  void UseMap(const std::string& path) {
    TComEnumConfig config = FSaved;
    config.PortMapPath = path;
    SetComEnumConfig(config);
  }

  TComEnumConfig FSaved;
  fs::path FDir;
};

TEST_F(PortMapFileTest, LoadReadsTheFileBytesAsTheyAre) {
  std::string path = Write("qvtune.ports", "# bench\r\nCOM31=rfc2217://127.0.0.1:7031\r\nCOM32 = /dev/ttyUSB0\r\n");
  TPairs expected{{"COM31", "rfc2217://127.0.0.1:7031"}, {"COM32", "/dev/ttyUSB0"}};
  EXPECT_EQ(Pairs(LoadPortMap(path)), expected);
}

TEST_F(PortMapFileTest, MissingOrUnreadableFileIsAnEmptyMap) {
  EXPECT_TRUE(LoadPortMap((FDir / "absent.ports").string()).empty());
  EXPECT_TRUE(LoadPortMap(FDir.string()).empty());  // a folder, not a file
  EXPECT_TRUE(LoadPortMap(Write("empty.ports", "")).empty());
}

TEST_F(PortMapFileTest, PortMapPathFollowsTheConfig) {
  UseMap("/somewhere/else.ports");
  EXPECT_EQ(PortMapPath(), "/somewhere/else.ports");
  UseMap("");
  EXPECT_EQ(PortMapPath(), ProgramDir() + "qvtune.ports");
}

TEST_F(PortMapFileTest, ProgramDirIsTheFolderOfTheRunningProgram) {
  std::string dir = ProgramDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), static_cast<char>(fs::path::preferred_separator));
  std::error_code ec;
#ifdef _WIN32
  // The folder holds the program by the name the C runtime was started with.
  EXPECT_TRUE(fs::exists(fs::path(dir) / fs::path(__argv[0]).filename(), ec)) << dir << " " << __argv[0];
#else
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  ASSERT_FALSE(ec);
  EXPECT_TRUE(fs::equivalent(dir, self.parent_path(), ec));
#endif
}

struct TResolveCase {
  const char* Name;
  const char* Expected;
};

TEST_F(PortMapFileTest, ResolvePortNameThroughTheMapInForce) {
  UseMap(Write("qvtune.ports",
               "COM31=rfc2217://127.0.0.1:7031\r\n"
               "COM32=/dev/ttyUSB0\r\n"
               "COM31=rfc2217://127.0.0.1:9999\r\n"
               "BAD NAME=/dev/x\r\n"));
  const TResolveCase cases[] = {
      {"COM31", "rfc2217://127.0.0.1:7031"},  // first entry wins
      {"COM32", "/dev/ttyUSB0"},
      {"COM33", "COM33"},        // not in the map
      {"com31", "com31"},        // exact name only
      {" COM31", " COM31"},      // no trimming of the name asked for
      {"BAD NAME", "BAD NAME"},  // rejected entry
      {"/dev/ttyS0", "/dev/ttyS0"},
      {"", ""},
  };
  for (const TResolveCase& c : cases) EXPECT_EQ(ResolvePortName(c.Name), c.Expected) << "name '" << c.Name << "'";
}

TEST_F(PortMapFileTest, ResolvePortNameSeesEditsOfTheFile) {
  std::string path = Write("qvtune.ports", "COM31=/dev/one\n");
  UseMap(path);
  EXPECT_EQ(ResolvePortName("COM31"), "/dev/one");
  Write("qvtune.ports", "COM31=/dev/two\n");
  EXPECT_EQ(ResolvePortName("COM31"), "/dev/two");
  fs::remove(path);
  EXPECT_EQ(ResolvePortName("COM31"), "COM31");
}

// Detection opens every listed port, so each name is resolved in turn. A
// map of 100,000 names is listed and resolved name by name within the
// suite's time limit only when neither step goes over the whole map again
// for each name.
TEST_F(PortMapFileTest, HundredThousandNamesListedAndResolvedOneByOne) {
  constexpr size_t kNames = 100000;
  std::string text = "# generated\n";
  for (size_t i = 0; i < kNames; ++i) text += "P" + std::to_string(i) + "=/dev/t" + std::to_string(i) + "\n";
  text += "P7=/dev/later\n";
  const std::string path = Write("qvtune.ports", text);
  // Written well before the window starts, as the bench's or the operator's
  // map is; a map changed just now is looked at again on each open.
  fs::last_write_time(path, fs::last_write_time(path) - std::chrono::minutes(10));
  SetComEnumConfig({(FDir / "nosys").string(), (FDir / "nodev").string(), path});
#ifndef _WIN32
  // Windows lists its own devices alone; the map's names resolve all the same.
  std::vector<std::string> list{"P3"};
  ListPlatformComDevices(list);
  ASSERT_EQ(list.size(), kNames);
  EXPECT_EQ(list[1], "P0");
  EXPECT_EQ(list.back(), "P99999");
#endif
  for (size_t i = 0; i < kNames; ++i) {
    const std::string name = "P" + std::to_string(i);
    if (ResolvePortName(name) != "/dev/t" + std::to_string(i)) {
      ADD_FAILURE() << name << " resolves to " << ResolvePortName(name);
      break;
    }
  }
}

// The window's thread enumerates while tests or start-up replace the config;
// each reader must see one whole config.
TEST_F(PortMapFileTest, ConfigReadersSeeWholeConfigsWhileItIsReplaced) {
  const TComEnumConfig a{"/sys-a", "/dev-a", "/a.ports"};
  const TComEnumConfig b{"/sys-b", "/dev-b", "/b.ports"};
  SetComEnumConfig(a);
  std::atomic<bool> mixed{false};
  std::thread reader([&] {
    for (int i = 0; i < 2000; ++i) {
      TComEnumConfig c = ComEnumConfig();
      bool isA = c.SysRoot == a.SysRoot && c.DevRoot == a.DevRoot && c.PortMapPath == a.PortMapPath;
      bool isB = c.SysRoot == b.SysRoot && c.DevRoot == b.DevRoot && c.PortMapPath == b.PortMapPath;
      if (!isA && !isB) mixed = true;
    }
  });
  for (int i = 0; i < 200; ++i) SetComEnumConfig(i % 2 ? a : b);
  reader.join();
  EXPECT_FALSE(mixed);
}

}  // namespace
}  // namespace qv
