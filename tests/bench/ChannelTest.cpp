// The radio channel several stations share: who hears a packet, what
// collides, what each server counts, and how a channel kept in step makes a
// server wait for the stations behind its time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/Channel.h"
#include "tests/support/Cases.h"

namespace bench {
namespace {

constexpr TTime kCycleEnd = TChannel::kLeadInUs + 20 * TChannel::kSlotUs;

uint32_t MacOf(const TRadio::TRecord& r) {
  uint32_t mac = 0;
  for (size_t i = 5; i < 9; ++i) mac = mac << 8 | static_cast<uint8_t>(r[i]);
  return mac;
}

std::vector<TRadio::TRecord> Drain(TRadio& radio, TTime t) {
  std::vector<TRadio::TRecord> records;
  for (TRadio::TRecord r = radio.NextRecord(t); !r.empty(); r = radio.NextRecord(t)) records.push_back(r);
  return records;
}

size_t CountFrom(const std::vector<TRadio::TRecord>& records, uint32_t mac) {
  size_t n = 0;
  for (const auto& r : records) n += MacOf(r) == mac ? 1 : 0;
  return n;
}

// Radios that lose nothing inside their window, so that counts are exact.
TRadio::TConfig Lossless(uint32_t seed) {
  TRadio::TConfig c;
  c.LossRate = 0;
  c.Seed = seed;
  return c;
}

TEST(Channel, PacketIsHeardByEveryServerInWhoseWindowItFalls) {
  TChannel::TConfig config;
  auto channel = std::make_shared<TChannel>(config);
  std::vector<std::shared_ptr<TRadio>> radios;
  // The sender's handheld runs 0 steps high; the servers listen 0, 25, 31
  // and -30 steps off it.
  const double servers[] = {0, 25, 31, -30};
  for (uint32_t k = 0; k < 4; ++k) {
    radios.push_back(channel->AddStation(Lossless(k + 1)));
    radios.back()->SetServerCrystal(servers[k]);
  }
  TRadio lone(Lossless(1));
  lone.TestCycle(0, 0xA1, 1000000);
  radios[0]->TestCycle(0, 0xA1, 1000000);
  const TTime after = 1000000 + kCycleEnd;
  EXPECT_EQ(Drain(*radios[0], after), Drain(lone, after)) << "the sender's own server hears what a lone one hears";
  const std::vector<TRadio::TRecord> near = Drain(*radios[1], after);
  ASSERT_EQ(near.size(), 20u);
  for (const auto& r : near) {
    EXPECT_EQ(MacOf(r), 0xA1u);
    // 25 steps below the receiver's tuning: AFC -25 * 3/8, within the noise.
    const int afc = static_cast<int8_t>(r[2]);
    EXPECT_TRUE(afc == -10 || afc == -9) << afc;
  }
  EXPECT_TRUE(Drain(*radios[2], after).empty());
  EXPECT_EQ(Drain(*radios[3], after).size(), 20u);
  const std::vector<TRadio::TCounters> counters = {radios[0]->Counters(), radios[1]->Counters(), radios[2]->Counters(),
                                                   radios[3]->Counters()};
  EXPECT_EQ(counters, (std::vector<TRadio::TCounters>{{0, 0}, {20, 0}, {0, 0}, {20, 0}}));
}

TEST(Channel, RecordsArriveWithTheirPacketsAndATrialOffsetDropsThem) {
  TChannel::TConfig config;
  config.Collisions = false;
  auto channel = std::make_shared<TChannel>(config);
  auto a = channel->AddStation(Lossless(1));
  auto b = channel->AddStation(Lossless(2));
  a->TestCycle(3, 0xA1, 0);
  b->TestCycle(-3, 0xB2, 0);
  EXPECT_TRUE(a->NextRecord(TChannel::kLeadInUs).empty()) << "nothing has ended on the air yet";
  // Packet 0 has ended by the end of its slot.
  EXPECT_FALSE(a->NextRecord(TChannel::kLeadInUs + TChannel::kSlotUs).empty());
  b->SetTrialOffset(5, kCycleEnd);
  EXPECT_EQ(b->RecordsLeft(), 0u);
  // What b heard under the old offset still counts as heard.
  EXPECT_EQ(b->Counters(), (TRadio::TCounters{20, 0}));
}

struct TCollisionCase {
  const char* Name;
  bool Collisions;
  TTime SecondStartsUs;
  bool Losses;
};

using qv::test::PrintTo;

class Collisions : public ::testing::TestWithParam<TCollisionCase> {};

// Both servers hear both handhelds; a packet that collides is lost to both.
TEST_P(Collisions, OverlapOnTheAirLosesBothPacketsToEveryServer) {
  const TCollisionCase& c = GetParam();
  TChannel::TConfig config;
  config.Collisions = c.Collisions;
  auto channel = std::make_shared<TChannel>(config);
  auto a = channel->AddStation(Lossless(1));
  auto b = channel->AddStation(Lossless(2));
  b->SetServerCrystal(4);
  a->TestCycle(2, 0xA1, 0);
  b->TestCycle(6, 0xB2, c.SecondStartsUs);
  const TTime after = c.SecondStartsUs + kCycleEnd;
  const std::vector<TRadio::TRecord> atA = Drain(*a, after), atB = Drain(*b, after);
  const size_t aOwn = CountFrom(atA, 0xA1), bOwn = CountFrom(atB, 0xB2);
  EXPECT_EQ(CountFrom(atB, 0xA1), aOwn) << "a's packets are lost to both servers alike";
  EXPECT_EQ(CountFrom(atA, 0xB2), bOwn);
  EXPECT_EQ(a->Counters(), (TRadio::TCounters{bOwn, (20 - aOwn) + (20 - bOwn)}));
  EXPECT_EQ(b->Counters(), (TRadio::TCounters{aOwn, (20 - aOwn) + (20 - bOwn)}));
  if (c.Losses) {
    EXPECT_LT(aOwn, 20u);
    EXPECT_LT(bOwn, 20u);
    EXPECT_GT(aOwn + bOwn, 0u);
  } else {
    EXPECT_EQ(aOwn + bOwn, 40u);
  }
}

INSTANTIATE_TEST_SUITE_P(Cycles, Collisions,
                         ::testing::Values(TCollisionCase{"AtOnce", true, 0, true},
                                           TCollisionCase{"HalfOverlapping", true, 250000, true},
                                           TCollisionCase{"OneAfterTheOther", true, kCycleEnd, false},
                                           TCollisionCase{"AtOnceWithCollisionsOff", false, 0, false}),
                         qv::test::TCaseName());

TChannel::TConfig InStep(std::chrono::milliseconds idleAfter) {
  TChannel::TConfig c;
  c.KeepInStep = true;
  c.IdleAfter = idleAfter;
  return c;
}

TEST(ChannelInStep, ServerWaitsForAStationBehindItsTime) {
  auto channel = std::make_shared<TChannel>(InStep(std::chrono::seconds(60)));
  auto ahead = channel->AddStation(Lossless(1));
  auto behind = channel->AddStation(Lossless(2));
  ahead->Reached(2000000);
  behind->Reached(0);
  std::atomic<bool> done{false};
  TRadio::TRecord first;
  std::thread server([&] {
    first = ahead->NextRecord(1000000);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done) << "the server looked at 1 s before the other station got there";
  // The station behind runs a cycle at 0.2 s, then passes 1 s.
  behind->TestCycle(1, 0xB2, 200000);
  behind->Reached(1000000);
  server.join();
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(MacOf(first), 0xB2u);
}

TEST(ChannelInStep, StationThatStandsStillIsLeftBehindUntilItMoves) {
  auto channel = std::make_shared<TChannel>(InStep(std::chrono::milliseconds(50)));
  auto server = channel->AddStation(Lossless(1));
  auto still = channel->AddStation(Lossless(2));
  auto gone = channel->AddStation(Lossless(3));
  gone->Leave();
  still->Reached(0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(server->NextRecord(1000000).empty());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  // It moves again: what it sent for times the server has passed reaches
  // the server at its next look.
  still->TestCycle(1, 0xB2, 200000);
  still->Reached(3000000);
  EXPECT_EQ(CountFrom(Drain(*server, 1000001), 0xB2), 20u);
}

}  // namespace
}  // namespace bench
