// The modem lines of a pseudo-terminal, as a file that the preload library
// (ModemLinesPreload.cpp, inside the port server) and the test share by
// mapping it. A pseudo-terminal has no modem lines: the server's modem
// ioctls on it fail, so it can neither drive DTR and RTS nor see DSR. With
// the library loaded, those ioctls on the one terminal named in the
// environment read and write this file instead. A pseudo-terminal also
// keeps 8 data bits without parity whatever is set, so the file records
// the character format the server set as well.
#pragma once

#include <cstdint>

namespace qv::test {

// Environment of the server process.
constexpr const char* kModemLinesFileEnv = "QV_MODEM_LINES_FILE";
constexpr const char* kModemLinesTtyEnv = "QV_MODEM_LINES_TTY";

constexpr uint32_t kModemHistorySize = 256;

// Every word is read and written with atomic operations: two processes.
struct TModemLinesShared {
  uint32_t Driven;   // TIOCM_DTR | TIOCM_RTS as the server set them
  uint32_t Inputs;   // TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG as the test sets them
  uint32_t Changes;  // changes of Driven so far; History holds the first kModemHistorySize
  uint32_t History[kModemHistorySize];
  uint32_t Cflag;  // c_cflag of the last terminal settings the server set
};

}  // namespace qv::test
