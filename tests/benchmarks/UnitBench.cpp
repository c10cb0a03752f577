// Whole-unit benchmark: one handheld found, initialised, given its test
// firmware, tuned and updated with production firmware by the real worker's
// steps, over network ports against qvbench, whose models keep the
// 9600-baud wire time, their processing times and their jobs' durations in
// real time. Prints the elapsed time beside the time that the wire, the
// read time-outs the procedure meets on purpose and the waits it prescribes
// account for (the jobs run inside those waits), and their ratio (target
// <= 1.03). A measurement, not a test: exits 0 unless the unit fails.
//
//   unit_bench
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/Firmware.h"
#include "procedure/SerThread.h"
#include "tests/rfc2217/NetSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kCharUs = 1042;
constexpr double kProcessingUs = 50;
constexpr double kRadioUs = 1500;
constexpr double kTarget = 1.03;

// The real clock, counting what the procedure asks to sleep.
class TCountingClock final : public qv::TClock {
 public:
  TDuration Now() override { return qv::RealClock().Now(); }
  void Sleep(uint32_t ms) override {
    SleptMs += ms;
    qv::RealClock().Sleep(ms);
  }
  int WaitFd(int fd, short events, int64_t timeoutUs) override { return qv::RealClock().WaitFd(fd, events, timeoutUs); }
  uint64_t SleptMs = 0;
};

void Write(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Wire time and deliberate time-outs from the transcript: every byte sent
// is an exchange of two characters (plus the radio hop on the dongle's
// side); every byte that did not come cost the read time-out in force
// (50 ms while probing, 250 ms once a port is identified).
void Account(const std::string& log, char dongleDigit, double& wireUs, double& timeoutUs, size_t& exchanges) {
  bool probing = true;
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find('\r', at);
    if (end == std::string::npos) end = log.size();
    const std::string e = log.substr(at, end - at);
    at = end + 1;
    if (e.rfind(">Server found", 0) == 0 || e.rfind(">Quorvantis HW", 0) == 0) probing = false;
    if (e.size() < 3 || e[0] == '>') continue;
    const size_t i = e[0] == '!' ? 1 : 0;
    if (e[i + 1] == '<') {
      ++exchanges;
      wireUs += 2 * kCharUs + kProcessingUs + (e[i] == dongleDigit ? kRadioUs : 0);
    } else if (e[i + 1] == '>' && e.substr(i + 2) == "-1") {
      timeoutUs += probing ? 50000 : 250000;
    }
  }
}

}  // namespace

int main() {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "qv-unit-bench";
  std::filesystem::create_directories(dir);
  for (const auto& [file, bytes] : bench::StandardFiles()) Write(dir / file, bytes);

  qv::test::TBench bench({"--units", "1"});
  if (!bench.Child.Started() || bench.Ports.size() < 2) {
    std::fprintf(stderr, "qvbench did not start\n");
    return 1;
  }
  qv::TComPort dongleSide(nullptr);
  qv::TComPort serverSide(nullptr);
  serverSide.Tag = 1;
  qv::THeadlessMain main({&dongleSide, &serverSide});
  main.ProgramDir = dir.string() + "/";
  const std::vector<std::string> items = {"Auto detect", bench.Url(0), bench.Url(1)};
  main.Combos[qv::ciCOM1] = {items, 0, "Auto detect"};
  main.Combos[qv::ciCOM2] = {items, 0, "Auto detect"};
  main.Combos[qv::ciFile1].Text = (dir / "qvmodem.qpf").string();
  main.Combos[qv::ciFile2].Text = (dir / "qvhandheld.qpf").string();
  TCountingClock clock;
  dongleSide.SetClock(clock);
  serverSide.SetClock(clock);
  qv::TSerThread worker(true, main, clock);

  const auto t0 = Clock::now();
  worker.ReadFirmwareFiles();
  worker.DetectPorts();
  worker.InitDevice(*main.Ports.SerIF2, false);
  worker.InitDevice(*main.Ports.SerIF1, true);
  worker.DecodeFirmware();
  worker.RunFineTuning();
  worker.UpdateHandheldFirmware();
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  const bool ok = worker.Outcome == qv::ocNone;
  worker.ClosePorts();

  double wireUs = 0, timeoutUs = 0;
  size_t exchanges = 0;
  Account(worker.LogText, qv::PortDigit(*main.Ports.SerIF1), wireUs, timeoutUs, exchanges);
  const double accounted = (wireUs + timeoutUs) / 1e6 + static_cast<double>(clock.SleptMs) / 1e3;
  std::printf("whole unit %s: %zu exchanges; elapsed %.2f s; accounted %.2f s (wire %.2f s, read time-outs %.2f s, "
              "prescribed waits %.2f s); ratio %.4f (target <= %.2f)\n",
              ok ? "ok" : "FAILED", exchanges, elapsed, accounted, wireUs / 1e6, timeoutUs / 1e6,
              static_cast<double>(clock.SleptMs) / 1e3, elapsed / accounted, kTarget);
  if (!ok) std::fprintf(stderr, "%s\n", worker.LogText.c_str());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok ? 0 : 1;
}
