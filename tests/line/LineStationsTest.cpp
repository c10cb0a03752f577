// A line of two stations on the in-process bench's shared radio channel,
// in virtual time: each station a qvline of its own (on a thread of the
// test instead of a child process), each server hearing the other
// station's handheld. The bench's record of what the devices hold decides
// whether a unit was tuned right.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "bench/Firmware.h"
#include "line/Line.h"
#include "settings/SettingsFile.h"
#include "tests/line/Station.h"
#include "tests/line/ThreadStations.h"
#include "tests/support/Stations.h"

namespace qv {
namespace {

using test::Lines;
using test::TStations;
namespace fs = std::filesystem;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The unit and its station's server run at the same frequency once the
// stored value is in.
double Disagreement(const bench::THandheld& h, bench::TServer& s) {
  return std::abs(h.Config().Crystal + h.EffectiveOffset() - (s.Config().Crystal + s.EffectiveOffset()));
}

// Stations S1 on COM3/COM4, S2 on COM5/COM6, ..., with the bench's firmware
// and a settings file in one folder.
struct TLineBench {
  explicit TLineBench(const std::string& choices = "S", size_t count = 2)
      : Stations(count), Dir(Stations.Bench.Dir() + "/line/") {
    fs::create_directories(Dir);
    for (const auto& [file, bytes] : bench::StandardFiles()) std::ofstream(Dir + file, std::ios::binary) << bytes;
    TSettings s;
    s.Choices = ParseSettings({"", "", "", "", choices}).Choices;
    s.Histories = {std::vector<std::string>{Dir + "qvmodem.qpf"}, std::vector<std::string>{Dir + "qvhandheld.qpf"},
                   std::vector<std::string>{Dir + "qvserver.hex"}};
    WriteSettingsLines(Dir + "qvtune.INI", FormatSettings(s));
    // Each server hears the other stations' handhelds during its search.
    const double crystals[4][2] = {{10, 0}, {-10, 5}, {4, -6}, {-3, 2}};
    for (size_t k = 0; k < count; ++k) {
      Stations[k].Handheld->Config().Crystal = crystals[k][0];
      Stations[k].Server->Config().Crystal = crystals[k][1];
      Stations[k].Radio->SetServerCrystal(crystals[k][1]);
    }
  }

  // The line with these options; prepare gets each station's hooks.
  int Run(std::vector<std::string> args,
          std::function<void(const std::string&, line::TLineHooks&)> prepare = nullptr) {
    args.insert(args.begin(), {"--settings", Dir + "qvtune.INI"});
    line::TLineIo io;
    io.Out = [&](const std::string& text) {
      Out += text;
      if (OnOut) OnOut(text);
    };
    io.Err = [&](const std::string& text) { Err += text; };
    line::TLineHooks hooks;
    hooks.Line = [&](line::TLine& line) { Line = &line; };
    hooks.Launcher = test::ThreadStations(
        Dir, [this](const std::string& name) -> TClock& { return Stations[Index(name)].Clock; },
        [this, prepare](const std::string& name, line::TLineHooks& h) {
          if (prepare) prepare(name, h);
          // A station that has ended is no longer waited for on the air.
          h.RunnerEnded = [this, name] { Stations[Index(name)].Radio->Leave(); };
        });
    const int code = line::RunLine(args, io, Dir, RealClock(), hooks);
    Line = nullptr;
    return code;
  }

  static size_t Index(const std::string& name) { return static_cast<size_t>(std::stoi(name.substr(1)) - 1); }
  // Every station's own --station option.
  std::vector<std::string> All() const {
    std::vector<std::string> args;
    for (size_t k = 0; k < Stations.Size(); ++k) {
      args.push_back("--station");
      args.push_back("S" + std::to_string(k + 1) + "=COM" + std::to_string(3 + 2 * k) + ",COM" + std::to_string(4 + 2 * k));
    }
    return args;
  }

  TStations Stations;
  const std::string Dir;
  std::string Out, Err;
  std::function<void(const std::string&)> OnOut;
  line::TLine* Line = nullptr;
};

const std::vector<std::string> kTwoStations = {"--station", "S1=COM3,COM4", "--station", "S2=COM5,COM6"};

std::vector<std::string> With(std::vector<std::string> more) {
  std::vector<std::string> args = kTwoStations;
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// Two stations that do not take turns (declared on separate channels, yet
// on one): each server records the other station's packets, which the
// procedure passes over.
TEST(LineStations, TwoStationsOnOneChannelEachTuneTheirOwnUnit) {
  TLineBench b;
  EXPECT_EQ(b.Run(With({"--records", b.Dir + "line.records", "--separate-channels"})), line::ecSuccess) << b.Err;
  for (size_t k = 0; k < 2; ++k) {
    const std::string name = "S" + std::to_string(k + 1);
    SCOPED_TRACE(name);
    TStations::TStation& s = b.Stations[k];
    EXPECT_NE(s.Handheld->Config().PcToolOffset, 0) << "a value was stored";
    EXPECT_LE(Disagreement(*s.Handheld, *s.Server), 1.0);
    EXPECT_GT(s.Radio->Counters().Foreign, 0u) << "the other station's packets were on the air";
    // Only the unit's own packets were counted.
    const std::string log = ReadWhole(b.Dir + name + ".ERR");
    static const std::regex received(">(\\d+) packets received\r");
    int cycles = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), received), end; it != end; ++it, ++cycles)
      EXPECT_LE(std::stoi((*it)[1]), 20);
    EXPECT_GT(cycles, 0);
    EXPECT_NE(log.find(">Storing obtained compensation value\r"), std::string::npos);
    EXPECT_NE(b.Out.find("[" + name + "] Completed successfully!\n"), std::string::npos) << b.Out;
    EXPECT_NE(b.Err.find("qvline: [" + name + "] ended (exit 0): 1 tuned, 0 failed\n"), std::string::npos) << b.Err;
  }
  EXPECT_FALSE(fs::exists(b.Dir + "qvtune.ERR")) << "each station writes its own transcript";
  // One record a station, each tagged with its station.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((b.Dir + "line.records").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT station, outcome FROM units ORDER BY station", -1, &stmt, nullptr), SQLITE_OK);
  std::vector<std::string> rows;
  while (sqlite3_step(stmt) == SQLITE_ROW)
    rows.push_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))) + " " +
                   reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)));
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  EXPECT_EQ(rows, (std::vector<std::string>{"S1 success", "S2 success"}));
}

// Four stations testing at the same moments on one channel would collide
// and fill one another's servers: they take turns, and every unit is tuned
// with only its own packets heard. With separate channels declared they do
// not, and the packets collide.
TEST(LineStations, StationsTakeTurnsOnTheChannel) {
  for (const bool separate : {false, true}) {
    SCOPED_TRACE(separate ? "separate channels" : "one channel");
    TLineBench b("S", 4);
    std::vector<std::string> args = b.All();
    if (separate) args.push_back("--separate-channels");
    const int code = b.Run(args);
    size_t collided = 0;
    for (size_t k = 0; k < 4; ++k) collided += b.Stations[k].Radio->Counters().Collided;
    if (separate) {
      EXPECT_GT(collided, 0u);
      continue;
    }
    EXPECT_EQ(code, line::ecSuccess) << b.Err;
    EXPECT_EQ(collided, 0u);
    for (size_t k = 0; k < 4; ++k) {
      SCOPED_TRACE("S" + std::to_string(k + 1));
      EXPECT_NE(b.Stations[k].Handheld->Config().PcToolOffset, 0);
      EXPECT_LE(Disagreement(*b.Stations[k].Handheld, *b.Stations[k].Server), 1.0);
    }
  }
}

TEST(LineStations, LostDongleFailsItsStationAlone) {
  TLineBench b;
  const int code = b.Run(With({}), [&](const std::string& name, line::TLineHooks& h) {
    if (name != "S1") return;
    h.Runner = [&](line::TLineRunner& runner) {
      runner.PrepareWorker = [&](TSerThread& worker) {
        // The cable comes out once the unit is initialised.
        worker.Steps.RunFineTuning = [&](TSerThread& w) {
          b.Stations.Bench.Unplug("COM3");
          w.RunFineTuning();
        };
      };
    };
  });
  EXPECT_EQ(code, line::ecUnitFailed) << b.Err;
  EXPECT_NE(b.Out.find("[S1] Procedure failed!\n"), std::string::npos) << b.Out;
  EXPECT_NE(b.Out.find("[S2] Completed successfully!\n"), std::string::npos) << b.Out;
  EXPECT_NE(b.Stations[1].Handheld->Config().PcToolOffset, 0);
  EXPECT_LE(Disagreement(*b.Stations[1].Handheld, *b.Stations[1].Server), 1.0);
  EXPECT_NE(b.Err.find("qvline: [S1] ended (exit 1): 0 tuned, 1 failed\n"), std::string::npos) << b.Err;
  EXPECT_NE(b.Err.find("qvline: [S2] ended (exit 0): 1 tuned, 0 failed\n"), std::string::npos) << b.Err;
}

TEST(LineStations, CancelReachesEveryStationWhichStillRestoresItsServer) {
  TLineBench b("SR");
  std::atomic<int> cycles{0};
  b.OnOut = [&](const std::string& text) {
    // Once both stations are well into their units.
    if (text.find("] Running test cycle...") != std::string::npos && ++cycles == 4 && b.Line != nullptr)
      b.Line->RequestCancel();
  };
  EXPECT_EQ(b.Run(With({"--units", "5"})), line::ecAborted) << b.Err;
  for (const char* name : {"S1", "S2"}) {
    SCOPED_TRACE(name);
    const std::string log = ReadWhole(b.Dir + name + ".ERR");
    EXPECT_NE(log.find(">--- Restoring server firmware to V2.1.3a ---\r"), std::string::npos);
    EXPECT_NE(b.Out.find("[" + std::string(name) + "] Aborted by user!\n"), std::string::npos) << b.Out << b.Err;
  }
  EXPECT_NE(b.Err.find("qvline: cancelled; every station is brought to its end\n"), std::string::npos);
  EXPECT_EQ(b.Stations[0].Server->Running(), bench::TServer::TFirmware::Production);
  EXPECT_EQ(b.Stations[1].Server->Running(), bench::TServer::TFirmware::Production);
}

TEST(LineStations, GoldenHandheldBesideGoldenServerFromAStationsFile) {
  TLineBench b;
  std::ofstream(b.Dir + "stations") << "# name dongle server\n"
                                       "S1 COM3 COM4\n"
                                       "S2 COM5 COM6 --golden handheld\n";
  EXPECT_EQ(b.Run({"--stations", b.Dir + "stations", "--json"}), line::ecSuccess) << b.Err;
  // S1 tuned its handheld; S2 tuned its server against the handheld.
  EXPECT_NE(b.Stations[0].Handheld->Config().PcToolOffset, 0);
  EXPECT_LE(Disagreement(*b.Stations[0].Handheld, *b.Stations[0].Server), 1.0);
  EXPECT_LE(Disagreement(*b.Stations[1].Handheld, *b.Stations[1].Server), 1.0);
  // Every JSON object names its station.
  static const std::regex object(
      R"re(\{"event":"(log|result|summary)","time":"20[0-9-]+T[0-9:.]+Z","station":"(S1|S2)",.*\})re");
  int perStation[2] = {0, 0};
  for (const std::string& l : Lines(b.Out)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, object)) << l;
    ++perStation[m[2] == "S1" ? 0 : 1];
  }
  EXPECT_GT(perStation[0], 10);
  EXPECT_GT(perStation[1], 10);
}

}  // namespace
}  // namespace qv
