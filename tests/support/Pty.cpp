#include "tests/support/Pty.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "tests/support/PtyCalls.h"

namespace qv::test {

namespace sys = pty_calls;

TPty::TPty(bool holdSlave) {
  FMaster = sys::OpenMaster(FSlavePath);
  if (FMaster < 0) throw std::runtime_error("no pseudo-terminal");
  // The slave starts raw, so that nothing the master writes is changed by
  // the line discipline before the port under test applies its settings.
  const int s = sys::OpenSlave(FSlavePath);
  if (s < 0) throw std::runtime_error("cannot open pty slave");
  sys::MakeRaw(s);
  if (holdSlave)
    FSlave = s;
  else
    sys::Close(s);
  if (!sys::MakePipe(FWake)) throw std::runtime_error("pipe failed");
  FPortName = sys::ClaimPortName(FSlavePath, FSlot);
}

TPty::~TPty() {
  StopResponder();
  sys::ReleasePortName(FSlot);
  if (FMaster >= 0) sys::Close(FMaster);
  if (FSlave >= 0) sys::Close(FSlave);
  sys::Close(FWake[0]);
  sys::Close(FWake[1]);
}

std::string TPty::ReadMaster(size_t n, int timeoutMs) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) break;
    if (sys::WaitInput(FMaster, -1, static_cast<int>(left.count())) <= 0) break;
    char buf[256];
    const int64_t r = sys::Read(FMaster, buf, std::min(sizeof buf, n - out.size()));
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

void TPty::WriteMaster(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const int64_t w = sys::Write(FMaster, bytes.data() + done, bytes.size() - done);
    if (w <= 0) throw std::runtime_error("pty master write failed");
    done += static_cast<size_t>(w);
  }
}

void TPty::CloseMaster() {
  StopResponder();
  if (FMaster >= 0) sys::Close(FMaster);
  FMaster = -1;
}

void TPty::ReleaseSlave() {
  if (FSlave >= 0) sys::Close(FSlave);
  FSlave = -1;
}

void TPty::StartResponder(TResponder responder) {
  StopResponder();
  FStop = false;
  FThread = std::thread([this, responder = std::move(responder)] {
    for (;;) {
      const int ready = sys::WaitInput(FMaster, FWake[0], -1);
      if (ready < 0) continue;
      if (FStop || (ready & 4)) return;
      if (ready & 8) return;
      if (!(ready & 1)) {
        // Hang-up without data: the slave is closed; wait for it to return.
        sys::SleepMs(1);
        continue;
      }
      uint8_t buf[256];
      const int64_t r = sys::Read(FMaster, buf, sizeof buf);
      if (r <= 0) {
        sys::SleepMs(1);
        continue;
      }
      for (int64_t i = 0; i < r; ++i) {
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
  static_cast<void>(sys::Write(FWake[1], &c, 1));
  FThread.join();
  // Drain the wake pipe for a later responder.
  while (sys::WaitInput(FWake[0], -1, 0) > 0) static_cast<void>(sys::Read(FWake[0], &c, 1));
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
    sys::SleepMs(1);
  }
  return false;
}

}  // namespace qv::test
