// A real pseudo-terminal pair for tests and benchmarks. The port under test
// opens the slave by PortName(); the test plays the device on the master
// side, either by hand (ReadMaster/WriteMaster) or with a responder thread
// that answers each byte it receives. A Windows test program under Wine
// gets the slave as a COM port (WinePty.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace qv::test {

class TPty {
public:
  // holdSlave keeps a slave descriptor open, so that the master does not
  // see a hang-up while the port under test is closed.
  explicit TPty(bool holdSlave = true);
  ~TPty();
  TPty(const TPty&) = delete;
  TPty& operator=(const TPty&) = delete;

  const std::string& SlavePath() const { return FSlavePath; }
  // The name the port under test opens: the slave's path, or under Wine the
  // COM port mapped to it.
  const std::string& PortName() const { return FPortName.empty() ? FSlavePath : FPortName; }
  // The master's descriptor (under Wine a Linux one, for LinuxCalls.h).
  int MasterFd() const { return FMaster; }

  // Reads up to n bytes from the master, waiting at most timeoutMs in all.
  std::string ReadMaster(size_t n, int timeoutMs = 1000);
  void WriteMaster(const std::string& bytes);
  // Closes the master: the slave side sees a hang-up.
  void CloseMaster();
  void ReleaseSlave();

  // The responder gets each byte the port sent and returns the bytes to
  // answer (std::nullopt or empty: no answer). Every byte received is also
  // kept for Received().
  using TResponder = std::function<std::optional<std::string>(uint8_t)>;
  void StartResponder(TResponder responder);
  void StartEcho();
  void StopResponder();
  std::string Received();
  // Waits until the responder has received at least n bytes.
  bool WaitReceived(size_t n, int timeoutMs = 2000);

private:
  int FMaster = -1;
  int FSlave = -1;
  std::string FSlavePath;
  std::string FPortName;
  int FSlot = -1;
  std::thread FThread;
  std::atomic<bool> FStop{false};
  int FWake[2] = {-1, -1};
  std::mutex FMutex;
  std::string FReceived;
};

}  // namespace qv::test
