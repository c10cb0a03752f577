// The in-process bench ports in the shared suite of the serial backends:
// the far end is a bench device model the test drives (its bytes, lines
// and echo at chosen bench times), the port runs on the bench's virtual
// clock, and going away is an unplugged port. The suite's reads, events and
// failures thus run in virtual time, with the monitor's wait beside a
// worker that moves the clock.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "bench/Device.h"
#include "bench/inproc/InProcDevice.h"
#include "serial/ComPort.h"
#include "tests/serial/DeviceSuite.h"
#include "tests/support/Bench.h"

namespace qv {
namespace {

using bench::TTime;

// The far end, driven by the port and, through TBenchPorts::Access, by the
// test; both under the port's lock.
class TFarEnd final : public bench::TDevice {
 public:
  void SetFormat(uint32_t, int, char, int, TTime) override {}
  void SetLines(bool dtr, bool rts, TTime) override { PortLines = (dtr ? test::kDtr : 0) | (rts ? test::kRts : 0); }
  void Receive(uint8_t byte, TTime t) override {
    Got.push_back(static_cast<char>(byte));
    if (Echoing) Out.emplace(t, static_cast<char>(byte));
  }
  std::string Transmit(TTime t) override {
    std::string bytes;
    while (!Out.empty() && Out.begin()->first <= t) {
      bytes.push_back(Out.begin()->second);
      Out.erase(Out.begin());
    }
    return bytes;
  }
  // A hang-up to come counts as the next thing to happen, so that a read
  // waiting in virtual time moves the clock there.
  TTime NextOutput() const override {
    const TTime next = Out.empty() ? -1 : Out.begin()->first;
    return HangUpAt >= 0 && (next < 0 || HangUpAt < next) ? HangUpAt : next;
  }
  bool Dsr(TTime) const override { return Lines & MS_DSR_ON; }
  bool Cts(TTime) const override { return Lines & MS_CTS_ON; }
  bool Ring(TTime) const override { return Lines & MS_RING_ON; }
  bool Dcd(TTime) const override { return Lines & MS_RLSD_ON; }

  std::multimap<TTime, char> Out;  // bytes to send, by the time they have been sent
  std::string Got;
  bool Echoing = false;
  uint32_t Lines = 0;
  uint32_t PortLines = 0;
  TTime HangUpAt = -1;
};

constexpr const char* kName = "FAR";

class TInProcBackend final : public test::TBackend {
 public:
  TInProcBackend() {
    // The hang-up happens when the clock gets there, whoever moves it.
    Bench.Clock.AddListener(this, [this](TClock::TDuration now) {
      const TTime at = FHangUpAt.load();
      if (at >= 0 && now.count() >= at && FHangUpAt.exchange(-1) >= 0) Bench.Unplug(kName);
    });
  }
  ~TInProcBackend() override { Bench.Clock.RemoveListener(this); }

  std::string Cannot(test::TAbility what) const override {
    switch (what) {
      case test::abStallWrite:
        return "a bench port's output queue takes any write at once";
      case test::abDenied:
        return "a bench port has no permissions";
      case test::abProtocol:
        return "a bench port has no port server";
      case test::abBreak:
      case test::abFramingError:
        return "the models' lines carry no line errors";
      default:
        return {};
    }
  }
  std::string PortName() override { return kName; }
  TClock& Clock() override { return Bench.Clock; }
  std::string MissingName() override { return TBenchPorts::Url("NOTHING"); }

  void Send(const std::string& bytes, int afterMs) override {
    Far([&](TFarEnd& d, TTime now) {
      for (char c : bytes) d.Out.emplace(now + TTime{afterMs} * 1000, c);
    });
  }
  // The bytes arrive as the clock moves on.
  std::string Received(size_t n, int timeoutMs) override {
    std::string got;
    for (int ms = 0; ms <= timeoutMs; ++ms) {
      Far([&](TFarEnd& d, TTime) { got = d.Got; });
      if (got.size() >= n) break;
      Bench.Clock.Sleep(1);
    }
    Far([&](TFarEnd& d, TTime) { d.Got.erase(0, n); });
    return got.substr(0, n);
  }
  void Echo() override {
    Far([](TFarEnd& d, TTime) { d.Echoing = true; });
  }
  void HangUp(int afterMs) override {
    if (afterMs == 0) {
      Bench.Unplug(kName);
      return;
    }
    Far([&](TFarEnd& d, TTime now) {
      d.HangUpAt = now + TTime{afterMs} * 1000;
      FHangUpAt = d.HangUpAt;
    });
  }
  void SetLines(uint32_t lines) override {
    Far([&](TFarEnd& d, TTime) { d.Lines = lines; });
  }
  uint32_t PortLines() override {
    uint32_t lines = 0;
    Far([&](TFarEnd& d, TTime) { lines = d.PortLines; });
    return lines;
  }
  void Tick() override { Bench.Clock.Advance(std::chrono::milliseconds(1)); }

 private:
  void Far(const std::function<void(TFarEnd&, TTime)>& fn) {
    TBenchPorts::Access(kName, [&](bench::TDevice& d, TTime now) { fn(static_cast<TFarEnd&>(d), now); });
  }

  test::TBench Bench{{{kName, std::make_shared<TFarEnd>()}}};
  std::atomic<TTime> FHangUpAt{-1};
};

using test::Backend;

INSTANTIATE_TEST_SUITE_P(InProc, Backend,
                         ::testing::Values(test::TBackendCase{
                             "Bench", [](std::string&) { return std::make_unique<TInProcBackend>(); }}),
                         test::TCaseName());

}  // namespace
}  // namespace qv
