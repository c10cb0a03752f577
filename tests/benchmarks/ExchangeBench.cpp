// Exchange benchmark: one-byte stop-and-wait round trips over a pseudo-
// terminal whose other end echoes each byte, the way the worker talks to the
// dongle. The port component (WriteByte then ReadByte) is measured against a
// raw termios loop (write, poll, read) in the same run, in alternating
// blocks so that drift of the machine falls on both alike. Prints the median
// time and the measuring thread's CPU time per exchange, and their ratios
// against the targets. Always exits 0: this is a measurement, not a test.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "tests/benchmarks/ExchangeLoop.h"
#include "tests/support/Pty.h"

namespace {

using namespace qv::bench_loop;

using qv::test::TPty;

constexpr int kWarmUp = 2000;
constexpr int kBlocks = 20;
constexpr int kBlockSize = 2500;
constexpr int kReadTimeoutMs = 250;
constexpr double kTimeTarget = 1.05;
constexpr double kCpuTarget = 1.25;

// The device: a plain loop on the master that sends back whatever arrives.
// Nothing in it locks or allocates, so both sides of the comparison see the
// same peer cost.
class TEchoPeer {
public:
  explicit TEchoPeer(int master) : FMaster(master) {
    if (pipe2(FWake, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    FThread = std::thread([this] { Run(); });
  }
  ~TEchoPeer() {
    char c = 1;
    (void)!write(FWake[1], &c, 1);
    FThread.join();
    close(FWake[0]);
    close(FWake[1]);
  }
  TEchoPeer(const TEchoPeer&) = delete;
  TEchoPeer& operator=(const TEchoPeer&) = delete;

private:
  void Run() {
    pollfd p[2] = {{FMaster, POLLIN, 0}, {FWake[0], POLLIN, 0}};
    for (;;) {
      if (poll(p, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (p[1].revents) return;
      if (p[0].revents & (POLLERR | POLLNVAL)) return;
      if (!(p[0].revents & POLLIN)) {
        // Hang-up while the slave is between openings.
        poll(nullptr, 0, 1);
        continue;
      }
      uint8_t buf[64];
      const ssize_t r = read(FMaster, buf, sizeof buf);
      if (r <= 0) continue;
      for (ssize_t done = 0; done < r;) {
        const ssize_t w = write(FMaster, buf + done, static_cast<size_t>(r - done));
        if (w <= 0) return;
        done += w;
      }
    }
  }

  int FMaster;
  int FWake[2] = {-1, -1};
  std::thread FThread;
};

// The reference: the slave opened by hand with the same line settings, one
// byte written, then poll and read with the same time-out.
class TRawLoop {
public:
  explicit TRawLoop(const std::string& path) {
    FFd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FFd < 0) throw std::runtime_error("cannot open " + path);
    termios t{};
    tcgetattr(FFd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CSIZE | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(FFd, TCSANOW, &t);
    tcflush(FFd, TCIOFLUSH);
  }
  ~TRawLoop() { close(FFd); }
  TRawLoop(const TRawLoop&) = delete;
  TRawLoop& operator=(const TRawLoop&) = delete;

  bool Exchange(uint8_t value) {
    if (write(FFd, &value, 1) != 1) return false;
    pollfd p{FFd, POLLIN, 0};
    if (poll(&p, 1, kReadTimeoutMs) <= 0) return false;
    uint8_t back = 0;
    return read(FFd, &back, 1) == 1 && back == value;
  }

private:
  int FFd = -1;
};

}  // namespace

int main() {
  try {
    TPty portPty, rawPty;
    TEchoPeer portPeer(portPty.MasterFd()), rawPeer(rawPty.MasterFd());

    qv::TComPort port(nullptr);
    port.SetDeviceName(portPty.SlavePath());
    port.SetBaudRate(qv::br9600);
    port.SetDataBits(qv::db8);
    port.SetParity(qv::paNone);
    port.SetStopBits(qv::sb1);
    port.Timeouts().SetReadConstant(kReadTimeoutMs);
    port.Open();
    TRawLoop raw(rawPty.SlavePath());

    auto viaPort = [&port](uint8_t v) { return PortExchange(port, v); };
    auto viaRaw = [&raw](uint8_t v) { return raw.Exchange(v); };

    TSeries a, b;
    const double seconds = RunAlternating(a, b, kWarmUp, kBlocks, kBlockSize, viaPort, viaRaw);
    port.Close();

    const double aMed = a.MedianUs(), bMed = b.MedianUs();
    const double aP90 = a.PercentileUs(0.9), bP90 = b.PercentileUs(0.9);
    const double aCpu = a.CpuUs(), bCpu = b.CpuUs();
    const double timeRatio = bMed > 0 ? aMed / bMed : 0;
    const double cpuRatio = bCpu > 0 ? aCpu / bCpu : 0;

    std::printf("one-byte stop-and-wait exchanges over a pty echo, %d per side in %d alternating blocks (%.1f s)\n",
                kBlocks * kBlockSize, kBlocks, seconds);
    std::printf("%-26s %12s %12s %14s %9s\n", "", "median us", "p90 us", "cpu us/exch", "failures");
    std::printf("%-26s %12.2f %12.2f %14.2f %9d\n", "(a) TComPort Write/ReadByte", aMed, aP90, aCpu, a.Failures);
    std::printf("%-26s %12.2f %12.2f %14.2f %9d\n", "(b) raw write/poll/read", bMed, bP90, bCpu, b.Failures);
    std::printf("time ratio (a)/(b): %.3f  target <= %.2f  %s\n", timeRatio, kTimeTarget, Mark(timeRatio, kTimeTarget));
    std::printf("cpu ratio  (a)/(b): %.3f  target <= %.2f  %s\n", cpuRatio, kCpuTarget, Mark(cpuRatio, kCpuTarget));
  } catch (const std::exception& e) {
    std::printf("exchange benchmark could not run: %s\n", e.what());
  }
  return 0;
}
