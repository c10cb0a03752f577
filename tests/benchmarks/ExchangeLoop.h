// What the exchange benchmarks share: clocks, one stop-and-wait exchange
// through the port, and a series of timed exchanges run in blocks.
#pragma once

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "serial/ComPort.h"

namespace qv::bench_loop {

inline int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline int64_t ThreadCpuNs() {
  rusage ru{};
  getrusage(RUSAGE_THREAD, &ru);
  auto ns = [](const timeval& tv) { return static_cast<int64_t>(tv.tv_sec) * 1000000000 + tv.tv_usec * 1000; };
  return ns(ru.ru_utime) + ns(ru.ru_stime);
}

// One byte out and its echo back, as the worker's link does it.
inline bool PortExchange(TComPort& port, uint8_t value) {
  try {
    port.WriteByte(value);
    return port.ReadByte() == value;
  } catch (const std::exception&) {
    return false;
  }
}

struct TSeries {
  std::vector<int64_t> Samples;  // ns per exchange
  int64_t CpuNs = 0;
  int Failures = 0;

  double MedianUs() { return PercentileUs(0.5); }
  double PercentileUs(double q) {
    if (Samples.empty()) return 0;
    auto at = Samples.begin() + static_cast<std::ptrdiff_t>(q * static_cast<double>(Samples.size() - 1));
    std::nth_element(Samples.begin(), at, Samples.end());
    return static_cast<double>(*at) / 1000.0;
  }
  double CpuUs() const {
    return Samples.empty() ? 0 : static_cast<double>(CpuNs) / 1000.0 / static_cast<double>(Samples.size());
  }
};

// count exchanges of the values 0, 1, 2, ...; recorded unless warming up.
template <class F>
void RunBlock(TSeries& series, int count, bool record, F&& exchange) {
  const int64_t cpu0 = ThreadCpuNs();
  for (int i = 0; i < count; ++i) {
    const auto value = static_cast<uint8_t>(i);
    const int64_t t0 = NowNs();
    const bool ok = exchange(value);
    const int64_t t1 = NowNs();
    if (!record) continue;
    if (!ok) ++series.Failures;
    series.Samples.push_back(t1 - t0);
  }
  if (record) series.CpuNs += ThreadCpuNs() - cpu0;
}

// Both sides warmed up, then measured in alternating blocks, so that
// neither always follows the other; the measured seconds.
template <class A, class B>
double RunAlternating(TSeries& a, TSeries& b, int warmUp, int blocks, int blockSize, A&& viaA, B&& viaB) {
  a.Samples.reserve(static_cast<size_t>(blocks) * static_cast<size_t>(blockSize));
  b.Samples.reserve(static_cast<size_t>(blocks) * static_cast<size_t>(blockSize));
  RunBlock(a, warmUp, false, viaA);
  RunBlock(b, warmUp, false, viaB);
  const int64_t start = NowNs();
  for (int block = 0; block < blocks; ++block) {
    if (block % 2 == 0) {
      RunBlock(a, blockSize, true, viaA);
      RunBlock(b, blockSize, true, viaB);
    } else {
      RunBlock(b, blockSize, true, viaB);
      RunBlock(a, blockSize, true, viaA);
    }
  }
  return static_cast<double>(NowNs() - start) / 1e9;
}

inline const char* Mark(double ratio, double target) {
  return ratio <= target ? "PASS" : "MISS";
}

}  // namespace qv::bench_loop
