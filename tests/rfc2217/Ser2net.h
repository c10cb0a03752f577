// ser2net, the device server most often met, run by the tests and the
// benchmark in the foreground on loopback, in front of pseudo-terminals
// whose far ends they play. Its configuration is the README's example, so
// that what the README tells users is what gets tested.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/rfc2217/NetSupport.h"
#include "tests/rfc2217/ser2net/ModemLines.h"

namespace qv::test {

// The installed ser2net, or empty.
std::string Ser2netPath();

// The README's ser2net example, taken apart.
struct TSer2netExample {
  std::string Header;      // the YAML lines before the connection
  std::string Connection;  // the connection entry
  std::string MapEntry;    // the port map lines shown with it
  std::string Error;       // why the example could not be used; empty when it can
};
TSer2netExample ReadmeSer2netExample();

// The example's connection named name, for another device and TCP port;
// raw gives it a plain TCP accepter instead of the Telnet one.
std::string Ser2netConnection(const TSer2netExample& example, const std::string& name, const std::string& device,
                              uint16_t port, bool raw = false);

// Modem lines for one pseudo-terminal behind ser2net (see ModemLines.h).
class TModemLines {
 public:
  TModemLines();
  ~TModemLines();
  TModemLines(const TModemLines&) = delete;
  TModemLines& operator=(const TModemLines&) = delete;

  // The environment that gives the server the lines on tty.
  std::vector<std::string> Env(const std::string& tty) const;
  // The device's lines (TIOCM_DSR, TIOCM_CTS...).
  void SetInputs(uint32_t bits);
  // The server's lines (TIOCM_DTR, TIOCM_RTS) now, and every state they
  // went through.
  uint32_t Driven() const;
  std::vector<uint32_t> History() const;
  // c_cflag as the server last set it (the terminal itself keeps CS8
  // without parity).
  uint32_t Cflag() const;

 private:
  std::string FPath;
  TModemLinesShared* FShared = nullptr;
};

// ser2net -n -c CONFIG, ready once each of ports listens.
class TSer2net {
 public:
  TSer2net(const std::string& config, const std::vector<uint16_t>& ports, const std::vector<std::string>& env = {});
  ~TSer2net();
  TSer2net(const TSer2net&) = delete;
  TSer2net& operator=(const TSer2net&) = delete;

  // Empty when ready; otherwise why not, with what ser2net said.
  const std::string& Error() const { return FError; }
  // The server goes away at once, as a crash or a power loss would have it.
  void Kill();
  // For a kill from another thread (Kill itself also reaps the process).
  pid_t Pid() const { return FChild ? FChild->Pid() : -1; }

 private:
  std::string FDir;
  std::optional<TChild> FChild;
  std::string FError;
};

}  // namespace qv::test
