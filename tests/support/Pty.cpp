#include "tests/support/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace qv::test {

namespace {
void MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
}
}  // namespace

TPty::TPty(bool holdSlave) {
  FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) throw std::runtime_error("no pseudo-terminal");
  char name[128];
  if (ptsname_r(FMaster, name, sizeof name) != 0) throw std::runtime_error("ptsname failed");
  FSlavePath = name;
  // The slave starts raw, so that nothing the master writes is changed by
  // the line discipline before the port under test applies its settings.
  int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s < 0) throw std::runtime_error("cannot open pty slave");
  MakeRaw(s);
  if (holdSlave)
    FSlave = s;
  else
    close(s);
  if (pipe2(FWake, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

TPty::~TPty() {
  StopResponder();
  if (FMaster >= 0) close(FMaster);
  if (FSlave >= 0) close(FSlave);
  close(FWake[0]);
  close(FWake[1]);
}

std::string TPty::ReadMaster(size_t n, int timeoutMs) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) break;
    pollfd p{FMaster, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[256];
    ssize_t r = read(FMaster, buf, std::min(sizeof buf, n - out.size()));
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

void TPty::WriteMaster(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t w = write(FMaster, bytes.data() + done, bytes.size() - done);
    if (w <= 0) throw std::runtime_error("pty master write failed");
    done += static_cast<size_t>(w);
  }
}

void TPty::CloseMaster() {
  StopResponder();
  if (FMaster >= 0) close(FMaster);
  FMaster = -1;
}

void TPty::ReleaseSlave() {
  if (FSlave >= 0) close(FSlave);
  FSlave = -1;
}

void TPty::StartResponder(TResponder responder) {
  StopResponder();
  FStop = false;
  FThread = std::thread([this, responder = std::move(responder)] {
    for (;;) {
      pollfd p[2] = {{FMaster, POLLIN, 0}, {FWake[0], POLLIN, 0}};
      if (poll(p, 2, -1) < 0) continue;
      if (FStop || (p[1].revents & POLLIN)) return;
      if (p[0].revents & (POLLERR | POLLNVAL)) return;
      if (!(p[0].revents & POLLIN)) {
        // Hang-up without data: the slave is closed; wait for it to return.
        poll(nullptr, 0, 1);
        continue;
      }
      uint8_t buf[256];
      ssize_t r = read(FMaster, buf, sizeof buf);
      if (r <= 0) {
        poll(nullptr, 0, 1);
        continue;
      }
      for (ssize_t i = 0; i < r; ++i) {
        {
          std::lock_guard<std::mutex> lock(FMutex);
          FReceived.push_back(static_cast<char>(buf[i]));
        }
        std::optional<std::string> answer = responder(buf[i]);
        if (answer && !answer->empty()) WriteMaster(*answer);
      }
    }
  });
}

void TPty::StartEcho() {
  StartResponder([](uint8_t b) { return std::optional<std::string>(std::string(1, static_cast<char>(b))); });
}

void TPty::StopResponder() {
  if (!FThread.joinable()) return;
  FStop = true;
  char c = 1;
  (void)!write(FWake[1], &c, 1);
  FThread.join();
  // Drain the wake pipe for a later responder.
  pollfd p{FWake[0], POLLIN, 0};
  while (poll(&p, 1, 0) > 0) (void)!read(FWake[0], &c, 1);
}

std::string TPty::Received() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FReceived;
}

bool TPty::WaitReceived(size_t n, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      if (FReceived.size() >= n) return true;
    }
    poll(nullptr, 0, 1);
  }
  return false;
}

}  // namespace qv::test
