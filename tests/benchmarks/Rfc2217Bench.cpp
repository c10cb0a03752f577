// Network port benchmark: one-byte stop-and-wait round trips, the way the
// worker talks to the dongle, through the port component on the network
// backend against `qvbench --echo`, beside a raw TCP loopback loop (send,
// poll, recv against a plain echo thread) in the same run, in alternating
// blocks so that drift of the machine falls on both alike. Prints the
// median time and the measuring thread's CPU time per exchange and their
// ratios against the target. Always exits 0: a measurement, not a test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "tests/benchmarks/ExchangeLoop.h"
#include "tests/rfc2217/NetSupport.h"

namespace {

using namespace qv::bench_loop;

constexpr int kWarmUp = 2000;
constexpr int kBlocks = 20;
constexpr int kBlockSize = 2500;
constexpr int kReadTimeoutMs = 250;
constexpr double kTimeTarget = 2.0;

void NoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// The reference peer: a thread that sends back whatever arrives, with no
// protocol at all.
class TRawEcho {
 public:
  TRawEcho() {
    FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(FListen, 1) != 0)
      throw std::runtime_error("cannot listen");
    socklen_t len = sizeof addr;
    getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len);
    Port = ntohs(addr.sin_port);
    FThread = std::thread([this] { Run(); });
  }
  ~TRawEcho() {
    shutdown(FListen, SHUT_RDWR);
    FThread.join();
    close(FListen);
  }
  TRawEcho(const TRawEcho&) = delete;
  TRawEcho& operator=(const TRawEcho&) = delete;

  uint16_t Port = 0;

 private:
  void Run() {
    const int fd = accept(FListen, nullptr, nullptr);
    if (fd < 0) return;
    NoDelay(fd);
    uint8_t buf[64];
    for (;;) {
      const ssize_t r = recv(fd, buf, sizeof buf, 0);
      if (r <= 0) break;
      if (send(fd, buf, static_cast<size_t>(r), MSG_NOSIGNAL) != r) break;
    }
    close(fd);
  }

  int FListen = -1;
  std::thread FThread;
};

class TRawLoop {
 public:
  explicit TRawLoop(uint16_t port) {
    FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("no connect");
    NoDelay(FFd);
  }
  ~TRawLoop() { close(FFd); }
  TRawLoop(const TRawLoop&) = delete;
  TRawLoop& operator=(const TRawLoop&) = delete;

  bool Exchange(uint8_t value) {
    if (send(FFd, &value, 1, MSG_NOSIGNAL) != 1) return false;
    pollfd p{FFd, POLLIN, 0};
    if (poll(&p, 1, kReadTimeoutMs) <= 0) return false;
    uint8_t back = 0;
    return recv(FFd, &back, 1, 0) == 1 && back == value;
  }

 private:
  int FFd = -1;
};

}  // namespace

int main() {
  try {
    qv::test::TBench bench({"--echo"});
    if (bench.Ports.empty()) throw std::runtime_error("qvbench did not start: " + qv::test::QvbenchPath());
    TRawEcho echo;
    TRawLoop raw(echo.Port);

    qv::TComPort port(nullptr);
    port.SetDeviceName(bench.Url());
    port.SetBaudRate(qv::br9600);
    port.SetDataBits(qv::db8);
    port.SetParity(qv::paNone);
    port.SetStopBits(qv::sb1);
    port.Timeouts().SetReadConstant(kReadTimeoutMs);
    port.Open();

    auto viaPort = [&port](uint8_t v) { return PortExchange(port, v); };
    auto viaRaw = [&raw](uint8_t v) { return raw.Exchange(v); };

    TSeries a, b;
    const double seconds = RunAlternating(a, b, kWarmUp, kBlocks, kBlockSize, viaPort, viaRaw);
    port.Close();

    const double aMed = a.PercentileUs(0.5), bMed = b.PercentileUs(0.5);
    const double aP90 = a.PercentileUs(0.9), bP90 = b.PercentileUs(0.9);
    const double aCpu = a.CpuUs(), bCpu = b.CpuUs();
    const double timeRatio = bMed > 0 ? aMed / bMed : 0;
    const double cpuRatio = bCpu > 0 ? aCpu / bCpu : 0;

    std::printf("one-byte stop-and-wait exchanges over TCP loopback, %d per side in %d alternating blocks (%.1f s)\n",
                kBlocks * kBlockSize, kBlocks, seconds);
    std::printf("%-32s %12s %12s %14s %9s\n", "", "median us", "p90 us", "cpu us/exch", "failures");
    std::printf("%-32s %12.2f %12.2f %14.2f %9d\n", "(a) TComPort via qvbench --echo", aMed, aP90, aCpu, a.Failures);
    std::printf("%-32s %12.2f %12.2f %14.2f %9d\n", "(b) raw send/poll/recv echo", bMed, bP90, bCpu, b.Failures);
    std::printf("time ratio (a)/(b): %.3f  target <= %.2f  %s\n", timeRatio, kTimeTarget,
                timeRatio <= kTimeTarget ? "PASS" : "MISS");
    std::printf("cpu ratio  (a)/(b): %.3f\n", cpuRatio);
  } catch (const std::exception& e) {
    std::printf("network port benchmark could not run: %s\n", e.what());
  }
  return 0;
}
