// Network port benchmark: one-byte stop-and-wait round trips, the way the
// worker talks to the dongle, through the port component on the network
// backend beside a raw TCP loop (send, poll, recv) in the same run, in
// alternating blocks so that drift of the machine falls on both alike:
//  1. against `qvbench --echo`, beside a plain echo thread;
//  2. through ser2net (the README's example connection, in front of a
//     pseudo-terminal that echoes), beside raw TCP through a plain TCP
//     accepter of the same ser2net in front of another; plus the time an
//     open of the port takes there.
// Prints the median time and the measuring thread's CPU time per exchange
// and their ratios against the targets. Always exits 0: a measurement, not
// a test.
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
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "serial/rfc2217/Telnet.h"
#include "tests/benchmarks/ExchangeLoop.h"
#include "tests/rfc2217/NetSupport.h"
#include "tests/rfc2217/Ser2net.h"
#include "tests/support/Pty.h"

namespace {

using namespace qv::bench_loop;

constexpr int kWarmUp = 2000;
constexpr int kBlocks = 20;
constexpr int kBlockSize = 2500;
constexpr int kReadTimeoutMs = 250;
constexpr double kTimeTarget = 2.0;
constexpr double kSer2netTarget = 1.05;
constexpr int kOpens = 40;

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

  // For a Telnet accepter: agrees on binary both ways once, and takes in
  // whatever the server sends at the start; then data is as raw as on a
  // plain socket, but for IAC, which goes doubled both ways.
  void Negotiate() {
    qv::rfc2217::TTelnet telnet(qv::rfc2217::trClient);
    struct TQuiet final : qv::rfc2217::TTelnetSink {
      void OnData(const uint8_t*, size_t) override {}
      void OnPortCommand(uint8_t, const uint8_t*, size_t) override {}
    } sink;
    std::string out;
    telnet.Start(out);
    // Until the server has been silent for a while.
    for (int quiet = 0; quiet < 5;) {
      if (!out.empty() && send(FFd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
        throw std::runtime_error("negotiation failed");
      out.clear();
      pollfd p{FFd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) {
        ++quiet;
        continue;
      }
      uint8_t buf[512];
      const ssize_t r = recv(FFd, buf, sizeof buf, 0);
      if (r <= 0) throw std::runtime_error("negotiation failed");
      telnet.Feed(buf, static_cast<size_t>(r), sink, out);
      quiet = 0;
    }
    if (!telnet.LocalEnabled(qv::rfc2217::toBinary) || !telnet.RemoteEnabled(qv::rfc2217::toBinary))
      throw std::runtime_error("no binary mode");
    FTelnet = true;
  }

  bool Exchange(uint8_t value) {
    const uint8_t wire[2] = {value, value};
    const size_t n = FTelnet && value == qv::rfc2217::tnIAC ? 2 : 1;
    if (send(FFd, wire, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) return false;
    uint8_t back[2] = {0, 0};
    for (size_t got = 0; got < n;) {
      pollfd p{FFd, POLLIN, 0};
      if (poll(&p, 1, kReadTimeoutMs) <= 0) return false;
      const ssize_t r = recv(FFd, back + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return back[0] == value && back[n - 1] == value;
  }

 private:
  int FFd = -1;
  bool FTelnet = false;
};

void Program(qv::TComPort& port, const std::string& url) {
  port.SetDeviceName(url);
  port.SetBaudRate(qv::br9600);
  port.SetDataBits(qv::db8);
  port.SetParity(qv::paNone);
  port.SetStopBits(qv::sb1);
  port.FlowControl().SetDTR(qv::dcDisable);
  port.FlowControl().SetRTS(qv::rcEnable);
  port.Timeouts().SetReadConstant(kReadTimeoutMs);
}

// target 0: a comparison without one.
void Report(const char* a, const char* b, TSeries& sa, TSeries& sb, double target) {
  const double aMed = sa.PercentileUs(0.5), bMed = sb.PercentileUs(0.5);
  const double aP90 = sa.PercentileUs(0.9), bP90 = sb.PercentileUs(0.9);
  const double timeRatio = bMed > 0 ? aMed / bMed : 0;
  const double cpuRatio = sb.CpuUs() > 0 ? sa.CpuUs() / sb.CpuUs() : 0;
  std::printf("%-40s %12s %12s %14s %9s\n", "", "median us", "p90 us", "cpu us/exch", "failures");
  std::printf("%-40s %12.2f %12.2f %14.2f %9d\n", a, aMed, aP90, sa.CpuUs(), sa.Failures);
  std::printf("%-40s %12.2f %12.2f %14.2f %9d\n", b, bMed, bP90, sb.CpuUs(), sb.Failures);
  if (target > 0)
    std::printf("time ratio: %.3f  target <= %.2f  %s\n", timeRatio, target, Mark(timeRatio, target));
  else
    std::printf("time ratio: %.3f\n", timeRatio);
  std::printf("cpu ratio:  %.3f\n", cpuRatio);
}

void AgainstQvbench() {
  qv::test::TBench bench({"--echo"});
  if (bench.Ports.empty()) throw std::runtime_error("qvbench did not start: " + qv::test::QvbenchPath());
  TRawEcho echo;
  TRawLoop raw(echo.Port);
  qv::TComPort port(nullptr);
  Program(port, bench.Url());
  port.Open();
  TSeries a, b;
  const double seconds = RunAlternating(
      a, b, kWarmUp, kBlocks, kBlockSize, [&port](uint8_t v) { return PortExchange(port, v); },
      [&raw](uint8_t v) { return raw.Exchange(v); });
  port.Close();
  std::printf("1. one-byte stop-and-wait exchanges over TCP loopback, %d per side in %d alternating blocks (%.1f s)\n",
              kBlocks * kBlockSize, kBlocks, seconds);
  Report("(a) TComPort via qvbench --echo", "(b) raw send/poll/recv echo", a, b, kTimeTarget);
}

// The far end of the pseudo-terminals behind ser2net: one thread echoes on
// all, so that every path meets the same wake-ups of the same thread.
class TPtyEcho {
 public:
  explicit TPtyEcho(std::vector<int> fds) : FFds(std::move(fds)) {
    if (pipe2(FWake, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    FThread = std::thread([this] { Run(); });
  }
  ~TPtyEcho() {
    const char c = 1;
    (void)!write(FWake[1], &c, 1);
    FThread.join();
    close(FWake[0]);
    close(FWake[1]);
  }
  TPtyEcho(const TPtyEcho&) = delete;
  TPtyEcho& operator=(const TPtyEcho&) = delete;

 private:
  void Run() {
    std::vector<pollfd> p;
    for (int fd : FFds) p.push_back({fd, POLLIN, 0});
    p.push_back({FWake[0], POLLIN, 0});
    for (;;) {
      if (poll(p.data(), p.size(), -1) < 0) continue;
      if (p.back().revents) return;
      for (size_t i = 0; i + 1 < p.size(); ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        uint8_t buf[64];
        const ssize_t r = read(p[i].fd, buf, sizeof buf);
        if (r > 0) (void)!write(p[i].fd, buf, static_cast<size_t>(r));
      }
    }
  }

  std::vector<int> FFds;
  int FWake[2] = {-1, -1};
  std::thread FThread;
};

// ser2net frees a port a moment after its client has closed it, so an open
// is tried again until it is let in; the time of the attempt that was, or
// -1.
int64_t OpenWhenFree(qv::TComPort& port) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int64_t t0 = NowNs();
    try {
      port.Open();
      return NowNs() - t0;
    } catch (const std::exception&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return -1;
}

void ThroughSer2net() {
  if (qv::test::Ser2netPath().empty()) {
    std::printf("2. through ser2net: skipped, ser2net is not installed\n");
    return;
  }
  const qv::test::TSer2netExample example = qv::test::ReadmeSer2netExample();
  if (!example.Error.empty()) throw std::runtime_error(example.Error);
  // Our port, raw TCP on a connection like it, and raw TCP on a plain TCP
  // accepter; only the first has modem lines, which raw TCP cannot use.
  qv::test::TPty netPty, rawPty, plainPty;
  qv::test::TModemLines lines;
  const uint16_t netPort = qv::test::UnusedPort(), rawPort = qv::test::UnusedPort();
  const uint16_t plainPort = qv::test::UnusedPort();
  const std::string config = example.Header +
                             qv::test::Ser2netConnection(example, "qvnet", netPty.SlavePath(), netPort) +
                             qv::test::Ser2netConnection(example, "qvraw", rawPty.SlavePath(), rawPort) +
                             qv::test::Ser2netConnection(example, "qvplain", plainPty.SlavePath(), plainPort, true);
  qv::test::TSer2net server(config, {netPort, rawPort, plainPort}, lines.Env(netPty.SlavePath()));
  if (!server.Error().empty()) throw std::runtime_error(server.Error());
  TPtyEcho echo({netPty.MasterFd(), rawPty.MasterFd(), plainPty.MasterFd()});
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(netPort);

  // An open right after a close waits about 10 ms while ser2net is still
  // closing the device; the worker's opens are further apart than that.
  std::vector<int64_t> opens;
  for (int i = 0; i < kOpens; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    qv::TComPort port(nullptr);
    Program(port, url);
    const int64_t ns = OpenWhenFree(port);
    if (ns >= 0) opens.push_back(ns);
  }
  std::sort(opens.begin(), opens.end());

  qv::TComPort port(nullptr);
  Program(port, url);
  if (OpenWhenFree(port) < 0) throw std::runtime_error("ser2net did not let the port in");
  TRawLoop raw(rawPort), plain(plainPort);
  raw.Negotiate();
  auto viaPort = [&port](uint8_t v) { return PortExchange(port, v); };
  auto viaRaw = [&raw](uint8_t v) { return raw.Exchange(v); };
  auto viaPlain = [&plain](uint8_t v) { return plain.Exchange(v); };
  TSeries c, d, d2, e;
  const double seconds = RunAlternating(c, d, kWarmUp, kBlocks, kBlockSize, viaPort, viaRaw);
  const double seconds2 = RunAlternating(d2, e, kWarmUp, kBlocks, kBlockSize, viaRaw, viaPlain);
  port.Close();
  std::printf("2. the same through ser2net (the README's connection; one thread echoes on all pseudo-terminals)\n");
  std::printf("%d per side in %d alternating blocks (%.1f s)\n", kBlocks * kBlockSize, kBlocks, seconds);
  Report("(c) TComPort via ser2net", "(d) raw send/poll/recv via ser2net", c, d, kSer2netTarget);
  std::printf("for reference, what ser2net's Telnet layer costs (%.1f s):\n", seconds2);
  Report("(d) raw send/poll/recv via ser2net", "(e) the same, plain tcp accepter", d2, e, 0);
  if (!opens.empty())
    std::printf("open of the port via ser2net, %zu opens: median %.2f ms, p90 %.2f ms, max %.2f ms\n", opens.size(),
                static_cast<double>(opens[opens.size() / 2]) / 1e6,
                static_cast<double>(opens[opens.size() * 9 / 10]) / 1e6, static_cast<double>(opens.back()) / 1e6);
}

}  // namespace

int main() {
  try {
    AgainstQvbench();
    ThroughSer2net();
  } catch (const std::exception& e) {
    std::printf("network port benchmark could not run: %s\n", e.what());
  }
  return 0;
}
