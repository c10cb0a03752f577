#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/modemshim/ModemShim.h"

namespace qv::test {

namespace fs = std::filesystem;

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

}  // namespace qv::test
