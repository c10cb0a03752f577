// The pseudo-terminal pair of a Windows test program under Wine. The
// program creates the pair itself through the kernel's calls and plays the
// master; the port under test opens the slave as a COM port. Wine maps each
// COM port once, when it starts, to the path its registry gives
// (HKLM\Software\Wine\Ports); scripts/run-windows-tests.sh maps the ports
// named in QV_WINE_PORTS to links of the same names in QV_WINE_PORTS_DIR,
// and each pair points a free one at its slave.
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/LinuxCalls.h"
#include "tests/support/PtyCalls.h"

namespace qv::test::pty_calls {

namespace lc = linux_calls;

namespace {

struct TPorts {
  TPorts() {
    const char* dir = std::getenv("QV_WINE_PORTS_DIR");
    const char* names = std::getenv("QV_WINE_PORTS");
    if (dir != nullptr) Dir = dir;
    std::istringstream in(names != nullptr ? names : "");
    for (std::string name; in >> name;) Names.push_back(name);
    Used.assign(Names.size(), false);
  }
  std::mutex Mutex;
  std::string Dir;
  std::vector<std::string> Names;
  std::vector<bool> Used;
};

TPorts& Ports() {
  static TPorts ports;
  return ports;
}

// The kernel's results are -errno; the C library's -1.
int64_t Result(int64_t r) {
  return r < 0 ? -1 : r;
}

}  // namespace

int OpenMaster(std::string& slavePath) {
  if (!lc::RunningUnderWine()) return -1;
  const int fd = lc::Open("/dev/ptmx", lc::kRdWr | lc::kNoCtty | lc::kCloExec);
  if (fd < 0) return -1;
  int unlock = 0;
  unsigned number = 0;
  if (lc::Ioctl(fd, lc::kTiocSPtLck, &unlock) != 0 || lc::Ioctl(fd, lc::kTiocGPtn, &number) != 0) {
    lc::Close(fd);
    return -1;
  }
  slavePath = "/dev/pts/" + std::to_string(number);
  return fd;
}

int OpenSlave(const std::string& path) {
  return static_cast<int>(Result(lc::Open(path, lc::kRdWr | lc::kNoCtty | lc::kCloExec)));
}

void MakeRaw(int fd) {
  lc::TTermios t{};
  if (lc::Ioctl(fd, lc::kTcGets, &t) != 0) return;
  // What cfmakeraw does.
  t.Iflag &= ~uint32_t{01 | 02 | 010 | 040 | 0100 | 0200 | 0400 | 02000};
  t.Oflag &= ~uint32_t{01};
  t.Lflag &= ~uint32_t{010 | 0100 | 02 | 01 | 0100000};
  t.Cflag = (t.Cflag & ~(lc::kCsize | lc::kParenb)) | lc::kCs8;
  t.Cc[lc::kVmin] = 1;
  t.Cc[lc::kVtime] = 0;
  lc::Ioctl(fd, lc::kTcSets, &t);
}

int64_t Read(int fd, void* buffer, size_t n) {
  for (;;) {
    const int64_t r = lc::Read(fd, buffer, n);
    if (r != -lc::kEIntr) return Result(r);
  }
}

int64_t Write(int fd, const void* buffer, size_t n) {
  for (;;) {
    const int64_t r = lc::Write(fd, buffer, n);
    if (r != -lc::kEIntr) return Result(r);
  }
}

void Close(int fd) {
  lc::Close(fd);
}

bool MakePipe(int fds[2]) {
  return lc::Pipe(fds) == 0;
}

// Wine's own signals may cut a wait short; it is taken up again.
int WaitInput(int fd, int wake, int timeoutMs) {
  lc::TPollFd p[2] = {{fd, lc::kPollIn, 0}, {wake, lc::kPollIn, 0}};
  int r;
  do r = lc::Poll(p, wake >= 0 ? 2 : 1, timeoutMs);
  while (r == -lc::kEIntr);
  if (r <= 0) return r < 0 ? -1 : 0;
  return ((p[0].REvents & lc::kPollIn) ? 1 : 0) | ((p[0].REvents & lc::kPollHup) ? 2 : 0) |
         ((wake >= 0 && (p[1].REvents & lc::kPollIn)) ? 4 : 0) |
         ((p[0].REvents & (lc::kPollErr | lc::kPollNval)) ? 8 : 0);
}

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string ClaimPortName(const std::string& slavePath, int& slot) {
  TPorts& ports = Ports();
  std::lock_guard<std::mutex> lock(ports.Mutex);
  for (size_t i = 0; i < ports.Names.size(); ++i) {
    if (ports.Used[i]) continue;
    // A new link put in place of the old one in a single step: the port
    // never finds the name missing.
    const std::string link = ports.Dir + "/" + ports.Names[i];
    const std::string fresh = link + ".new";
    lc::Unlink(fresh);
    if (lc::Symlink(slavePath, fresh) != 0 || lc::Rename(fresh, link) != 0)
      throw std::runtime_error("cannot point " + link + " at " + slavePath);
    ports.Used[i] = true;
    slot = static_cast<int>(i);
    return ports.Names[i];
  }
  throw std::runtime_error("no free COM port for a pseudo-terminal (QV_WINE_PORTS)");
}

void ReleasePortName(int slot) {
  if (slot < 0) return;
  std::lock_guard<std::mutex> lock(Ports().Mutex);
  Ports().Used[static_cast<size_t>(slot)] = false;
}

}  // namespace qv::test::pty_calls
