#include "tests/rfc2217/Ser2net.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qv::test {

namespace {

// The placeholders of the README's example that a test replaces.
constexpr const char* kExampleName = "&com41";
constexpr const char* kExampleAccepter = "telnet(rfc2217),tcp,127.0.0.1,7041";
constexpr const char* kExampleDevice = "/dev/ttyUSB0";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool ReplaceOnce(std::string& text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at == std::string::npos || text.find(from, at + 1) != std::string::npos) return false;
  text.replace(at, from.size(), to);
  return true;
}

// The fenced block that opens with fence (a line of its own) at or after
// from; where it ends goes to end.
std::optional<std::string> Fenced(const std::string& text, const std::string& fence, size_t from, size_t& end) {
  const size_t open = text.find("\n" + fence + "\n", from);
  if (open == std::string::npos) return std::nullopt;
  const size_t body = open + fence.size() + 2;
  const size_t close = text.find("\n```", body - 1);
  if (close == std::string::npos) return std::nullopt;
  end = close + 4;
  return text.substr(body, close + 1 - body);
}

bool Listening(uint16_t port) {
  char local[16];
  std::snprintf(local, sizeof local, ":%04X ", port);
  std::istringstream table(ReadFile("/proc/net/tcp"));
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state;
    fields >> slot >> address >> remote >> state;
    if (state == "0A" && (address + " ").find(local) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

std::string Ser2netPath() {
  for (const char* dir : {"/usr/sbin", "/usr/local/sbin", "/usr/bin", "/usr/local/bin"}) {
    const std::string path = std::string(dir) + "/ser2net";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return std::string();
}

TSer2netExample ReadmeSer2netExample() {
  TSer2netExample example;
  const std::string readme = ReadFile(QV_README_PATH);
  size_t end = 0;
  const std::optional<std::string> yaml = Fenced(readme, "```yaml", 0, end);
  const std::optional<std::string> map = yaml ? Fenced(readme, "```", end, end) : std::nullopt;
  if (!yaml || !map) {
    example.Error = std::string("no ser2net example (a yaml block, then the port map lines) in ") + QV_README_PATH;
    return example;
  }
  const size_t connection = yaml->find("connection:");
  if (connection == std::string::npos) {
    example.Error = "the README's ser2net example has no connection";
    return example;
  }
  example.Header = yaml->substr(0, connection);
  example.Connection = yaml->substr(connection);
  example.MapEntry = *map;
  for (const char* placeholder : {kExampleName, kExampleAccepter, kExampleDevice}) {
    std::string probe = example.Connection;
    if (!ReplaceOnce(probe, placeholder, placeholder))
      example.Error = std::string("the README's ser2net example lost \"") + placeholder + "\", which the tests replace";
  }
  return example;
}

std::string Ser2netConnection(const TSer2netExample& example, const std::string& name, const std::string& device,
                              uint16_t port, bool raw) {
  std::string text = example.Connection;
  const std::string accepter = std::string(raw ? "tcp" : "telnet(rfc2217),tcp") + ",127.0.0.1," + std::to_string(port);
  if (!ReplaceOnce(text, kExampleName, "&" + name) || !ReplaceOnce(text, kExampleAccepter, accepter) ||
      !ReplaceOnce(text, kExampleDevice, device))
    throw std::runtime_error("the README's ser2net example cannot be adapted");
  return text;
}

// ---- modem lines -------------------------------------------------------------------

TModemLines::TModemLines() {
  char path[] = "/tmp/qv-modem-lines-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) throw std::runtime_error("no temporary file");
  FPath = path;
  if (ftruncate(fd, sizeof(TModemLinesShared)) != 0) throw std::runtime_error("cannot size the modem line file");
  void* map = mmap(nullptr, sizeof(TModemLinesShared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) throw std::runtime_error("cannot map the modem line file");
  FShared = static_cast<TModemLinesShared*>(map);
  // A UART raises both lines when it is opened.
  __atomic_store_n(&FShared->Driven, static_cast<uint32_t>(TIOCM_DTR | TIOCM_RTS), __ATOMIC_SEQ_CST);
}

TModemLines::~TModemLines() {
  munmap(FShared, sizeof(TModemLinesShared));
  unlink(FPath.c_str());
}

std::vector<std::string> TModemLines::Env(const std::string& tty) const {
  return {std::string("LD_PRELOAD=") + QV_MODEM_LINES_PRELOAD, std::string(kModemLinesFileEnv) + "=" + FPath,
          std::string(kModemLinesTtyEnv) + "=" + tty};
}

void TModemLines::SetInputs(uint32_t bits) {
  __atomic_store_n(&FShared->Inputs, bits, __ATOMIC_SEQ_CST);
}

uint32_t TModemLines::Driven() const {
  return __atomic_load_n(&FShared->Driven, __ATOMIC_SEQ_CST);
}

std::vector<uint32_t> TModemLines::History() const {
  const uint32_t n = std::min(__atomic_load_n(&FShared->Changes, __ATOMIC_SEQ_CST), kModemHistorySize);
  std::vector<uint32_t> history;
  for (uint32_t i = 0; i < n; ++i) history.push_back(__atomic_load_n(&FShared->History[i], __ATOMIC_SEQ_CST));
  return history;
}

uint32_t TModemLines::Cflag() const {
  return __atomic_load_n(&FShared->Cflag, __ATOMIC_SEQ_CST);
}

// ---- the server --------------------------------------------------------------------

TSer2net::TSer2net(const std::string& config, const std::vector<uint16_t>& ports, const std::vector<std::string>& env) {
  const std::string program = Ser2netPath();
  if (program.empty()) {
    FError = "ser2net is not installed";
    return;
  }
  char dir[] = "/tmp/qv-ser2net-XXXXXX";
  if (!mkdtemp(dir)) throw std::runtime_error("no temporary folder");
  FDir = dir;
  const std::string yaml = FDir + "/ser2net.yaml", log = FDir + "/ser2net.log";
  std::ofstream(yaml) << config;
  // Through a shell only for the redirection: exec leaves ser2net itself
  // as the child.
  FChild.emplace(std::vector<std::string>{"/bin/sh", "-c", "exec " + program + " -n -c " + yaml + " 2>" + log}, false,
                 env);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    bool all = true;
    for (uint16_t port : ports) all = all && Listening(port);
    if (all) return;
    if (FChild->Wait(0) != -1 || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  FError = "ser2net did not listen on its ports; it said: " + ReadFile(log) + "\nconfiguration:\n" + config;
}

TSer2net::~TSer2net() {
  if (FChild) {
    FChild->Signal(SIGTERM);
    FChild.reset();
  }
  if (!FDir.empty()) std::filesystem::remove_all(FDir);
}

void TSer2net::Kill() {
  if (!FChild) return;
  FChild->Signal(SIGKILL);
  FChild->Wait(5000);
}

}  // namespace qv::test
