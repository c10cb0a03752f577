// Pieces the network port tests share: child processes (qvbench, pyserial
// peers) and a scripted port server that can misbehave on purpose.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "serial/rfc2217/Telnet.h"

namespace qv::test {

// A child process with a pipe on its input (closing it asks the child to
// stop) and one on its output; its errors go to ours unless quiet. env
// entries ("NAME=VALUE") are added to our environment for it.
class TChild {
 public:
  explicit TChild(const std::vector<std::string>& argv, bool quiet = false, const std::vector<std::string>& env = {});
  ~TChild();
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  bool Started() const { return FPid > 0; }
  pid_t Pid() const { return FPid; }
  // The next line of its output, without the line end; nullopt on time-out
  // or end of output.
  std::optional<std::string> ReadLine(int timeoutMs);
  void WriteInput(const std::string& text);
  void CloseInput();
  void Signal(int signal);
  // Waits for the exit; the exit status, or -1 when it did not end in time.
  int Wait(int timeoutMs);

 private:
  pid_t FPid = -1;
  int FIn = -1;
  int FOut = -1;
  std::string FBuffered;
  bool FExited = false;
  int FStatus = -1;
};

// qvbench --base-port 0 --print-ready with the given extra arguments; the
// ports as NAME=URL from its ready line.
struct TBench {
  explicit TBench(std::vector<std::string> args);
  TChild Child;
  std::vector<std::pair<std::string, std::string>> Ports;
  std::string Url(size_t i = 0) const { return i < Ports.size() ? Ports[i].second : std::string(); }
};

std::string QvbenchPath();
std::string PeersDir();

// A python3 that has pyserial, or empty.
std::string PythonWithSerial();

// A TCP port on loopback that nothing listens on (bound, then closed).
uint16_t UnusedPort();

// Decides the answer to a port command (the value as received); returns
// false to leave it to the default answer. wire may stay empty: no answer.
using TScriptAnswer = std::function<bool(uint8_t command, const std::string& value, std::string& wire)>;

struct TScriptPolicy {
  // Ends each connection as soon as it is made.
  bool CloseAtOnce = false;
  // The receive buffer of the server's socket (0: the system's), so that a
  // server that stops reading holds up a writer soon.
  int ReceiveBuffer = 0;
  bool RefusePortOption = false;
  // Answers port commands at all (false: the server never confirms).
  bool AnswerPortCommands = true;
  TScriptAnswer Answer;
  // Sent as NOTIFY-MODEMSTATE after the modem-state mask has been set;
  // -1: never notify.
  int ModemState = -1;
};

// A port server run by the test: it speaks the option with our codec and
// does what the test sets, so that failures of a server can be staged.
class TScriptServer {
 public:
  using TAnswer = TScriptAnswer;
  using TPolicy = TScriptPolicy;

  TScriptServer();
  explicit TScriptServer(TPolicy policy);
  ~TScriptServer();
  TScriptServer(const TScriptServer&) = delete;
  TScriptServer& operator=(const TScriptServer&) = delete;

  uint16_t Port() const { return FPort; }
  std::string Url() const;

  // Carried out by the server's thread, in order.
  void SendWire(const std::string& bytes);
  void SendData(const std::string& data);
  void SendPortCommand(uint8_t command, uint8_t value);
  void Close();              // end of stream
  void Reset();              // connection reset
  void SetReading(bool on);  // off: the client's bytes pile up unread
  // From now on every data byte received is sent back.
  void SetEcho(bool on) { FEcho = on; }

  bool WaitConnected(int timeoutMs);
  // Waits until the decoded data received reaches n bytes.
  bool WaitData(size_t n, int timeoutMs);
  bool WaitCommands(size_t n, int timeoutMs);

  std::string Data();
  // Port commands received, each as "CODE VALUEHEX..." ("12 01").
  std::vector<std::string> Commands();
  std::vector<rfc2217::TTelnetError> Errors();

 private:
  class TSink;
  struct TAction {
    enum { Wire, Close, Reset, Reading } Kind;
    std::string Bytes;
    bool On = false;
  };

  void Run();
  void Post(TAction action);
  void HandleCommand(uint8_t command, const uint8_t* value, size_t n, std::string& out);

  TPolicy FPolicy;
  int FListen = -1;
  int FClient = -1;
  uint16_t FPort = 0;
  int FWake[2] = {-1, -1};
  std::thread FThread;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FEcho{false};

  std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<TAction> FActions;
  bool FConnected = false;
  std::string FData;
  std::vector<std::string> FCommands;
  std::vector<rfc2217::TTelnetError> FErrors;
};

// Names whose open fails on a network port: nobody listens at the first; a
// staged server that refuses port control (it lives as long as this) at
// the second.
struct TNetFailures {
  std::string Missing() const;
  std::string RefusingPortControl();
  std::unique_ptr<TScriptServer> Refusing;
};

}  // namespace qv::test
