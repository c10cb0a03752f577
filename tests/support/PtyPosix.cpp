#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/PtyCalls.h"

namespace qv::test::pty_calls {

int OpenMaster(std::string& slavePath) {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  slavePath = name;
  return fd;
}

int OpenSlave(const std::string& path) {
  return open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
}

void MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
}

int64_t Read(int fd, void* buffer, size_t n) {
  return read(fd, buffer, n);
}

int64_t Write(int fd, const void* buffer, size_t n) {
  return write(fd, buffer, n);
}

void Close(int fd) {
  close(fd);
}

bool MakePipe(int fds[2]) {
  return pipe2(fds, O_CLOEXEC) == 0;
}

int WaitInput(int fd, int wake, int timeoutMs) {
  pollfd p[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
  const int r = poll(p, wake >= 0 ? 2 : 1, timeoutMs);
  if (r <= 0) return r;
  return ((p[0].revents & POLLIN) ? 1 : 0) | ((p[0].revents & POLLHUP) ? 2 : 0) |
         ((wake >= 0 && (p[1].revents & POLLIN)) ? 4 : 0) | ((p[0].revents & (POLLERR | POLLNVAL)) ? 8 : 0);
}

void SleepMs(int ms) {
  poll(nullptr, 0, ms);
}

std::string ClaimPortName(const std::string& slavePath, int& slot) {
  slot = -1;
  return slavePath;
}

void ReleasePortName(int) {}

}  // namespace qv::test::pty_calls
