#include "tests/rfc2217/NetSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace qv::test {

using namespace rfc2217;

namespace {

using TSteady = std::chrono::steady_clock;

int MsLeft(TSteady::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TSteady::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

pid_t Spawn(const std::vector<std::string>& argv, int in, int out, int err, const std::vector<std::string>& env = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, 0);
  if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, 1);
  if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The added entries go first: the first of a name is the one seen.
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

std::string Hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

}  // namespace

// ---- child processes -----------------------------------------------------------

TChild::TChild(const std::vector<std::string>& argv, bool quiet, const std::vector<std::string>& env) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const int null = quiet ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
  FPid = Spawn(argv, in[0], out[1], null, env);
  if (null >= 0) close(null);
  close(in[0]);
  close(out[1]);
  FIn = in[1];
  FOut = out[0];
}

TChild::~TChild() {
  CloseInput();
  if (FPid > 0 && Wait(5000) == -1 && !FExited) {
    kill(FPid, SIGTERM);
    if (Wait(2000) == -1 && !FExited) {
      kill(FPid, SIGKILL);
      Wait(2000);
    }
  }
  if (FOut >= 0) close(FOut);
}

std::optional<std::string> TChild::ReadLine(int timeoutMs) {
  const auto deadline = TSteady::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t eol = FBuffered.find('\n');
    if (eol != std::string::npos) {
      std::string line = FBuffered.substr(0, eol);
      FBuffered.erase(0, eol + 1);
      return line;
    }
    pollfd p{FOut, POLLIN, 0};
    if (poll(&p, 1, MsLeft(deadline)) <= 0) return std::nullopt;
    char buf[512];
    const ssize_t r = read(FOut, buf, sizeof buf);
    if (r <= 0) return std::nullopt;
    FBuffered.append(buf, static_cast<size_t>(r));
  }
}

void TChild::WriteInput(const std::string& text) {
  if (FIn >= 0) (void)!write(FIn, text.data(), text.size());
}

void TChild::CloseInput() {
  if (FIn >= 0) close(FIn);
  FIn = -1;
}

void TChild::Signal(int signal) {
  if (FPid > 0 && !FExited) kill(FPid, signal);
}

int TChild::Wait(int timeoutMs) {
  if (FPid <= 0) return -1;
  if (FExited) return FStatus;
  const auto deadline = TSteady::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(FPid, &status, WNOHANG);
    if (r == FPid) {
      FExited = true;
      FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return FStatus;
    }
    if (r < 0 || MsLeft(deadline) == 0) return -1;
    poll(nullptr, 0, 5);
  }
}

std::string QvbenchPath() {
  return QV_QVBENCH_PATH;
}

std::string PeersDir() {
  return QV_PEERS_DIR;
}

TBench::TBench(std::vector<std::string> args)
    : Child([&] {
        std::vector<std::string> argv = {QvbenchPath(), "--base-port", "0", "--print-ready"};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
      }()) {
  const std::optional<std::string> line = Child.ReadLine(10000);
  if (!line) return;
  std::istringstream words(*line);
  std::string word;
  while (words >> word) {
    const size_t eq = word.find('=');
    if (eq != std::string::npos) Ports.emplace_back(word.substr(0, eq), word.substr(eq + 1));
  }
}

std::string PythonWithSerial() {
  static const std::string found = [] {
    std::vector<std::string> candidates;
    if (const char* env = std::getenv("QV_PYTHON")) candidates.push_back(env);
    candidates.push_back("python3");
    candidates.push_back("/usr/bin/python3");
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (const std::string& py : candidates) {
      // The working folder stays out of the search path: a folder named
      // "serial" there would stand in for the module.
      const pid_t pid = Spawn({py, "-c", "import sys; sys.path = [p for p in sys.path if p]; import serial.rfc2217"},
                              null, null, null);
      if (pid <= 0) continue;
      int status = 0;
      if (waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        close(null);
        return py;
      }
    }
    close(null);
    return std::string();
  }();
  return found;
}

uint16_t UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

// ---- the scripted server -----------------------------------------------------------

class TScriptServer::TSink final : public TTelnetSink {
 public:
  TSink(TScriptServer& server, std::string& out) : FServer(server), FOut(out) {}
  void OnData(const uint8_t* data, size_t n) override {
    if (FServer.FEcho) AppendData(FOut, data, n);
    std::lock_guard<std::mutex> lock(FServer.FMutex);
    FServer.FData.append(reinterpret_cast<const char*>(data), n);
    FServer.FChanged.notify_all();
  }
  void OnPortCommand(uint8_t command, const uint8_t* value, size_t n) override {
    {
      std::lock_guard<std::mutex> lock(FServer.FMutex);
      FServer.FCommands.push_back(std::to_string(command) + (n ? " " + Hex(value, n) : std::string()));
      FServer.FChanged.notify_all();
    }
    FServer.HandleCommand(command, value, n, FOut);
  }
  void OnError(TTelnetError error) override {
    std::lock_guard<std::mutex> lock(FServer.FMutex);
    FServer.FErrors.push_back(error);
  }

 private:
  TScriptServer& FServer;
  std::string& FOut;
};

TScriptServer::TScriptServer() : TScriptServer(TPolicy()) {}

TScriptServer::TScriptServer(TPolicy policy) : FPolicy(std::move(policy)) {
  FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Set before listening: accepted sockets take it over.
  if (FPolicy.ReceiveBuffer > 0)
    setsockopt(FListen, SOL_SOCKET, SO_RCVBUF, &FPolicy.ReceiveBuffer, sizeof FPolicy.ReceiveBuffer);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(FListen, 2) != 0)
    throw std::runtime_error("cannot listen");
  socklen_t len = sizeof addr;
  getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len);
  FPort = ntohs(addr.sin_port);
  if (pipe2(FWake, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  FThread = std::thread([this] { Run(); });
}

TScriptServer::~TScriptServer() {
  FStop = true;
  const char c = 1;
  (void)!write(FWake[1], &c, 1);
  FThread.join();
  if (FClient >= 0) close(FClient);
  close(FListen);
  close(FWake[0]);
  close(FWake[1]);
}

std::string TScriptServer::Url() const {
  return "rfc2217://127.0.0.1:" + std::to_string(FPort);
}

void TScriptServer::Post(TAction action) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FActions.push_back(std::move(action));
  }
  const char c = 1;
  (void)!write(FWake[1], &c, 1);
}

void TScriptServer::SendWire(const std::string& bytes) {
  Post({TAction::Wire, bytes});
}

void TScriptServer::SendData(const std::string& data) {
  std::string wire;
  AppendData(wire, reinterpret_cast<const uint8_t*>(data.data()), data.size());
  SendWire(wire);
}

void TScriptServer::SendPortCommand(uint8_t command, uint8_t value) {
  std::string wire;
  AppendPortCommand(wire, command, value);
  SendWire(wire);
}

void TScriptServer::Close() {
  Post({TAction::Close, {}});
}

void TScriptServer::Reset() {
  Post({TAction::Reset, {}});
}

void TScriptServer::SetReading(bool on) {
  Post({TAction::Reading, {}, on});
}

bool TScriptServer::WaitConnected(int timeoutMs) {
  std::unique_lock<std::mutex> lock(FMutex);
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FConnected; });
}

bool TScriptServer::WaitData(size_t n, int timeoutMs) {
  std::unique_lock<std::mutex> lock(FMutex);
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FData.size() >= n; });
}

bool TScriptServer::WaitCommands(size_t n, int timeoutMs) {
  std::unique_lock<std::mutex> lock(FMutex);
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FCommands.size() >= n; });
}

std::string TScriptServer::Data() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FData;
}

std::vector<std::string> TScriptServer::Commands() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FCommands;
}

std::vector<TTelnetError> TScriptServer::Errors() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FErrors;
}

void TScriptServer::HandleCommand(uint8_t command, const uint8_t* value, size_t n, std::string& out) {
  if (!FPolicy.AnswerPortCommands) return;
  if (FPolicy.Answer && FPolicy.Answer(command, std::string(reinterpret_cast<const char*>(value), n), out)) return;
  const auto reply = static_cast<uint8_t>(command + kServerCode);
  const uint8_t v = n ? value[0] : 0;
  switch (command) {
    case cpSetBaudRate: {
      const uint32_t baud = Be32(value);
      AppendPortCommand32(out, reply, baud == 0 ? 9600 : baud);
      break;
    }
    case cpSetDataSize:
      AppendPortCommand(out, reply, v == 0 ? uint8_t{8} : v);
      break;
    case cpSetParity:
    case cpSetStopSize:
      AppendPortCommand(out, reply, v == 0 ? uint8_t{1} : v);
      break;
    case cpSetControl: {
      uint8_t answer = v;
      if (v == ctRequestFlow) answer = ctFlowNone;
      if (v == ctRequestDtr) answer = ctDtrOn;
      if (v == ctRequestRts) answer = ctRtsOn;
      if (v == ctRequestInFlow) answer = ctInFlowNone;
      AppendPortCommand(out, reply, answer);
      break;
    }
    case cpSetModemStateMask:
      AppendPortCommand(out, reply, v);
      if (FPolicy.ModemState >= 0)
        AppendPortCommand(out, cpNotifyModemState + kServerCode, static_cast<uint8_t>(FPolicy.ModemState));
      break;
    case cpSetLineStateMask:
    case cpPurgeData:
      AppendPortCommand(out, reply, v);
      break;
    default:
      break;
  }
}

void TScriptServer::Run() {
  std::unique_ptr<TTelnet> telnet;
  std::string out;
  TSink sink(*this, out);
  std::vector<uint8_t> buffer(65536);
  bool reading = true;
  auto flush = [&] {
    size_t done = 0;
    while (FClient >= 0 && done < out.size()) {
      const ssize_t w = send(FClient, out.data() + done, out.size() - done, MSG_NOSIGNAL);
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
    out.clear();
  };
  auto drop = [&](bool reset) {
    if (FClient < 0) return;
    if (reset) {
      linger l{1, 0};
      setsockopt(FClient, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    close(FClient);
    FClient = -1;
  };
  while (!FStop) {
    std::vector<pollfd> fds = {{FWake[0], POLLIN, 0}, {FListen, POLLIN, 0}};
    if (FClient >= 0 && reading) fds.push_back({FClient, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents) {
      char c[64];
      (void)!read(FWake[0], c, sizeof c);
      std::vector<TAction> actions;
      {
        std::lock_guard<std::mutex> lock(FMutex);
        actions.swap(FActions);
      }
      for (TAction& a : actions) {
        switch (a.Kind) {
          case TAction::Wire:
            out += a.Bytes;
            flush();
            break;
          case TAction::Close:
            drop(false);
            break;
          case TAction::Reset:
            drop(true);
            break;
          case TAction::Reading:
            reading = a.On;
            break;
        }
      }
    }
    if (fds[1].revents & POLLIN) {
      const int fd = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0 && (FClient >= 0 || FPolicy.CloseAtOnce)) {
        close(fd);
      } else if (fd >= 0) {
        FClient = fd;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        telnet = std::make_unique<TTelnet>(trServer);
        if (FPolicy.RefusePortOption)
          telnet->SetAccepted(toComPort, false);
        else
          telnet->Start(out);
        flush();
        std::lock_guard<std::mutex> lock(FMutex);
        FConnected = true;
        FChanged.notify_all();
      }
    }
    if (fds.size() > 2 && fds[2].revents && FClient >= 0) {
      const ssize_t r = recv(FClient, buffer.data(), buffer.size(), 0);
      if (r <= 0) {
        drop(false);
      } else {
        telnet->Feed(buffer.data(), static_cast<size_t>(r), sink, out);
        flush();
      }
    }
  }
}

std::string TNetFailures::Missing() const {
  return "rfc2217://127.0.0.1:" + std::to_string(UnusedPort());
}

std::string TNetFailures::RefusingPortControl() {
  TScriptPolicy policy;
  policy.RefusePortOption = true;
  Refusing = std::make_unique<TScriptServer>(policy);
  return Refusing->Url();
}

}  // namespace qv::test
