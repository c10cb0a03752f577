// Programming benchmark: ProgramHandheld of a full-size image and
// ProgramServer of a full image, by the real worker over network ports
// against qvbench, whose models keep the 9600-baud wire time in real time.
// Prints, for each, the elapsed time beside the time the wire accounts for
// (every exchange is at least two characters of 10 bits at 9600 baud, plus
// the device's processing time and, for the handheld, the radio hop), their
// ratio, and the client's CPU time per exchange and as a share of the
// elapsed time. Always exits 0 unless the programming itself fails: a
// measurement, not a test.
//
//   programming_bench [--quick]     (--quick: small images, for a smoke run)
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/Firmware.h"
#include "procedure/SerThread.h"
#include "tests/rfc2217/NetSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

// The bench models' timing: a character of 10 bits at 9600 baud, the
// firmware's processing time, and the dongle's radio hop to the handheld.
constexpr double kCharUs = 1042;
constexpr double kProcessingUs = 50;
constexpr double kRadioUs = 1500;
constexpr double kTimeTarget = 1.03;
constexpr double kCpuTarget = 0.02;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

size_t SentBytes(const std::string& log, size_t from, char digit) {
  size_t n = 0;
  for (size_t at = from; at + 1 < log.size(); ++at)
    if ((at == 0 || log[at - 1] == '\r' || log[at - 1] == '!') && log[at] == digit && log[at + 1] == '<') ++n;
  return n;
}

bool Measure(const char* name, qv::TSerThread& worker, char digit, double perExchangeWireUs,
             const std::function<void()>& program) {
  const size_t from = worker.LogText.size();
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  program();
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = CpuSeconds() - cpu0;
  const size_t exchanges = SentBytes(worker.LogText, from, digit);
  const double wire = static_cast<double>(exchanges) * perExchangeWireUs / 1e6;
  const bool ok = worker.Outcome == qv::ocNone;
  std::printf("%-18s %s: %zu exchanges, elapsed %.2f s, wire %.2f s, ratio %.4f (target <= %.2f), "
              "client CPU %.1f us per exchange = %.2f %% of elapsed (target < %.0f %%)\n",
              name, ok ? "ok" : "FAILED", exchanges, elapsed, wire, elapsed / wire, kTimeTarget,
              cpu / static_cast<double>(exchanges) * 1e6, cpu / elapsed * 100, kCpuTarget * 100);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  qv::test::TBench bench({});
  if (!bench.Child.Started() || bench.Ports.size() < 2) {
    std::fprintf(stderr, "qvbench did not start\n");
    return 1;
  }

  qv::TComPort dongleSide(nullptr);
  qv::TComPort serverSide(nullptr);
  serverSide.Tag = 1;
  qv::THeadlessMain main({&dongleSide, &serverSide});
  const std::vector<std::string> items = {"Auto detect", bench.Url(0), bench.Url(1)};
  main.Combos[qv::ciCOM1] = {items, 1, bench.Url(0)};
  main.Combos[qv::ciCOM2] = {items, 2, bench.Url(1)};
  qv::TSerThread worker(true, main);
  worker.DetectPorts();
  worker.InitDevice(*main.Ports.SerIF2, false);
  worker.InitDevice(*main.Ports.SerIF1, true);
  if (worker.Outcome != qv::ocNone) {
    std::fprintf(stderr, "the bench's devices were not found:\n%s\n", worker.LogText.c_str());
    return 1;
  }

  // A handheld image of the largest size, and a server image with every
  // word of program memory set.
  const size_t handheldBytes = quick ? 512 : 8191;
  const uint32_t serverTop = quick ? 0x1FF : 0x1FFF;
  bench::THandheldImage image = bench::MakeHandheldFirmware(worker.HandheldHw, "V9.9");
  image.resize(handheldBytes, 0x5A);
  std::copy(image.begin(), image.end(), worker.HandheldImage[2].begin());
  worker.HandheldImageLen[2] = static_cast<uint16_t>(handheldBytes);
  const bench::TServerWords words = bench::MakeServerFirmware(0x25, 0x03);
  qv::TServerImage& server = worker.ServerImage[1];
  server.Clear();
  for (uint32_t a = 0x100; a <= serverTop; ++a)
    server.At(a) = words[a] == bench::kBlankWord ? static_cast<uint16_t>(a & 0x3FFF) : words[a];

  const char dongleDigit = qv::PortDigit(*main.Ports.SerIF1);
  const char serverDigit = qv::PortDigit(*main.Ports.SerIF2);
  bool ok = Measure("ProgramHandheld", worker, dongleDigit, 2 * kCharUs + kProcessingUs + kRadioUs,
                    [&] { worker.ProgramHandheld(2); });
  ok = Measure("ProgramServer", worker, serverDigit, 2 * kCharUs + kProcessingUs, [&] { worker.ProgramServer(1); }) &&
       ok;
  worker.ClosePorts();
  return ok ? 0 : 1;
}
