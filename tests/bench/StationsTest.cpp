// Two stations of the in-process bench on one radio channel, each tuned by
// a worker of its own on a thread of its own, side by side in virtual time.
// The bench's record of what the devices hold decides whether each unit was
// tuned right.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Cases.h"
#include "tests/support/Stations.h"
#include "tests/support/Unit.h"

namespace qv {
namespace {

using test::TStations;
using test::TStationUnit;

struct TCrystals {
  double Handheld, Server;
};
// Each server hears the other station's handheld at the search's first
// trial offset and at its own station's measured one.
constexpr TCrystals kCrystals[] = {{10, 0}, {-10, 5}};

void SetCrystals(bench::THandheld& handheld, bench::TServer& server, bench::TRadio& radio, const TCrystals& c) {
  handheld.Config().Crystal = c.Handheld;
  server.Config().Crystal = c.Server;
  radio.SetServerCrystal(c.Server);
}

// The records of its own handheld the worker counted, cycle by cycle.
std::vector<int> PacketsReceived(const std::string& log) {
  std::vector<int> counts;
  static const std::regex line(">(\\d+) packets received\r");
  for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it)
    counts.push_back(std::stoi((*it)[1]));
  return counts;
}

// The unit and the server run at the same frequency once the stored value
// is in (within the algorithm's rounding).
double Disagreement(const bench::THandheld& h, bench::TServer& s) {
  return std::abs(h.Config().Crystal + h.EffectiveOffset() - (s.Config().Crystal + s.EffectiveOffset()));
}

struct TLineCase {
  const char* Name;
  bool Collisions;
};
using test::PrintTo;

class SharedChannel : public ::testing::TestWithParam<TLineCase> {};

TEST_P(SharedChannel, TwoWorkersTuneTheirUnitsSideBySide) {
  const TLineCase& c = GetParam();
  // Station 1 alone, for what its unit gets without the other.
  int8_t alone = 0;
  {
    test::TUnitBench lone;
    SetCrystals(*lone.Bench.Handheld, *lone.Bench.Server, *lone.Bench.Radio, kCrystals[0]);
    ASSERT_TRUE(lone.Connect()) << lone.Worker->LogText;
    lone.Worker->RunFineTuning();
    alone = lone.Bench.Handheld->Config().PcToolOffset;
  }

  TStations line(2, TStations::InStep(c.Collisions));
  for (size_t k = 0; k < 2; ++k) SetCrystals(*line[k].Handheld, *line[k].Server, *line[k].Radio, kCrystals[k]);
  TStationUnit first(line, 0), second(line, 1);
  TStationUnit* units[] = {&first, &second};
  bool connected[2] = {false, false};
  std::vector<std::thread> workers;
  for (size_t k = 0; k < 2; ++k)
    workers.emplace_back([&, k] {
      connected[k] = units[k]->Connect();
      units[k]->Worker->RunFineTuning();
      line[k].Radio->Leave();
    });
  for (std::thread& t : workers) t.join();

  for (size_t k = 0; k < 2; ++k) {
    SCOPED_TRACE("station " + std::to_string(k + 1));
    const TSerThread& w = *units[k]->Worker;
    ASSERT_TRUE(connected[k]) << w.LogText;
    EXPECT_EQ(w.Outcome, ocNone) << w.LogText;
    EXPECT_TRUE(w.LinkOk);
    EXPECT_NE(line[k].Handheld->Config().PcToolOffset, 0) << "a value was stored";
    EXPECT_LE(Disagreement(*line[k].Handheld, *line[k].Server), 2.0);
    // The other station's packets were on the server's record, and the
    // worker counted none of them.
    const bench::TRadio::TCounters heard = line[k].Radio->Counters();
    EXPECT_GT(heard.Foreign, 0u);
    for (int n : PacketsReceived(w.LogText)) EXPECT_LE(n, 20);
    if (c.Collisions) {
      EXPECT_GT(heard.Collided, 0u) << "the two cycles ran at the same bench times";
    } else {
      EXPECT_EQ(heard.Collided, 0u);
    }
  }
  // Cross-talk alone changes nothing of a station's own measurement.
  if (!c.Collisions) {
    EXPECT_EQ(line[0].Handheld->Config().PcToolOffset, alone);
  }
}

INSTANTIATE_TEST_SUITE_P(Line, SharedChannel,
                         ::testing::Values(TLineCase{"WithCollisions", true}, TLineCase{"CrossTalkAlone", false}),
                         test::TCaseName());

}  // namespace
}  // namespace qv
