#include <stdlib.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/modemshim/ModemShim.h"

namespace qv::test {

namespace fs = std::filesystem;

#ifdef _WIN32
// Under Wine the shim lives in Wine's own process, which reads the folder
// from its environment at start: scripts/run-windows-tests.sh names it, and
// the files are reached through the drive Wine maps to the root.
TModemShim::TModemShim() {
  const char* dir = std::getenv("QV_MODEM_SHIM");
  if (dir == nullptr || *dir == '\0') throw std::runtime_error("QV_MODEM_SHIM names no folder for the modem shim");
  FDir = std::string("Z:") + dir;
}

// The folder stays for the next one; the slave's number may come again.
TModemShim::~TModemShim() {
  std::error_code ec;
  if (!FPath.empty()) fs::remove(FPath, ec);
}

void TModemShim::Attach(const std::string& slavePath) {
  const std::string number = slavePath.substr(slavePath.find_last_of('/') + 1);
  FPath = FDir + "/pts-" + number;
  Store(TState{});
}
#else
TModemShim::TModemShim() {
  std::string pattern = (fs::temp_directory_path() / "qvmodem-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create the modem shim folder");
  FDir = pattern;
  ::setenv("QV_MODEM_SHIM", FDir.c_str(), 1);
}

TModemShim::~TModemShim() {
  ::unsetenv("QV_MODEM_SHIM");
  std::error_code ec;
  fs::remove_all(FDir, ec);
}

void TModemShim::Attach(const std::string& slavePath) {
  struct stat st {};
  if (::stat(slavePath.c_str(), &st) != 0) throw std::runtime_error("no such slave: " + slavePath);
  const unsigned n = (major(st.st_rdev) - 136) * 256 + minor(st.st_rdev);
  FPath = FDir + "/pts-" + std::to_string(n);
  Store(TState{});
}

#endif

TModemShim::TState TModemShim::Load() const {
  TState s;
  std::ifstream in(FPath);
  in >> s.Lines >> s.Host;
  for (int& c : s.Counts) in >> c;
  return s;
}

void TModemShim::Store(const TState& s) const {
  const std::string temp = FPath + ".new";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << s.Lines << ' ' << s.Host;
    for (int c : s.Counts) out << ' ' << c;
    out << '\n';
  }
  fs::rename(temp, FPath);
}

void TModemShim::Count(TState& s, int changed) const {
  const int bits[4] = {TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RNG};
  for (int i = 0; i < 4; ++i)
    if (changed & bits[i]) ++s.Counts[i];
}

void TModemShim::SetLines(int lines) {
  TState s = Load();
  Count(s, s.Lines ^ lines);
  s.Lines = lines;
  Store(s);
}

void TModemShim::Pulse(int line) {
  TState s = Load();
  Count(s, line);
  Count(s, line);
  Store(s);
}

void TModemShim::AddErrors(int frame, int overrun, int parity, int brk) {
  TState s = Load();
  s.Counts[4] += frame;
  s.Counts[5] += overrun;
  s.Counts[6] += parity;
  s.Counts[7] += brk;
  Store(s);
}

int TModemShim::HostLines() const {
  return Load().Host;
}

void TModemShim::Detach() {
  std::error_code ec;
  fs::remove(FPath, ec);
}

}  // namespace qv::test
