// The far end of a pseudo-terminal's modem lines as the modem shim
// (ModemShim.cpp) serves them: the device's lines and the driver's counters
// are set here, the lines the host drives are read back.
#pragma once

#include <string>

#ifdef _WIN32
// The kernel's modem-line bits, as the far end under Wine sets them.
enum : int {
  TIOCM_DTR = 0x002,
  TIOCM_RTS = 0x004,
  TIOCM_CTS = 0x020,
  TIOCM_CD = 0x040,
  TIOCM_RNG = 0x080,
  TIOCM_DSR = 0x100,
};
#else
#include <sys/ioctl.h>
#endif

namespace qv::test {

class TModemShim {
 public:
  // A fresh folder, named in QV_MODEM_SHIM for this process (and for the
  // programs it starts) until the destructor; under Wine the folder that
  // QV_MODEM_SHIM names at start.
  TModemShim();
  ~TModemShim();
  TModemShim(const TModemShim&) = delete;
  TModemShim& operator=(const TModemShim&) = delete;

  const std::string& Dir() const { return FDir; }

  // Gives the slave at this path modem lines, all off.
  void Attach(const std::string& slavePath);
  // The device's lines (TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RNG); each
  // line that changes counts one interrupt.
  void SetLines(int lines);
  // A line that goes and comes back between two looks: two interrupts.
  void Pulse(int line);
  void AddErrors(int frame, int overrun, int parity, int brk);
  // DTR and RTS as the host last set them.
  int HostLines() const;
  // The lines go with the device: the slave's calls reach the kernel again.
  void Detach();

 private:
  struct TState {
    int Lines = 0, Host = 0;
    int Counts[9] = {};
  };
  TState Load() const;
  void Store(const TState& s) const;
  void Count(TState& s, int changed) const;

  std::string FDir, FPath;
};

}  // namespace qv::test
