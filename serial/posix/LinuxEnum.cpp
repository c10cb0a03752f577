// Serial devices of a Linux system, read from sysfs. No port is opened:
// opening a port can pulse DTR/RTS and reset the device on the other end.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "serial/ComDevice.h"
#include "serial/PortMap.h"

namespace qv {

namespace {

namespace fs = std::filesystem;

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Digit runs compare by value, so that ttyS2 comes before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      size_t ei = i;
      size_t ej = j;
      while (ei < a.size() && IsDigit(a[ei])) ++ei;
      while (ej < b.size() && IsDigit(b[ej])) ++ej;
      size_t si = i;
      size_t sj = j;
      while (si + 1 < ei && a[si] == '0') ++si;
      while (sj + 1 < ej && b[sj] == '0') ++sj;
      if (ei - si != ej - sj) return ei - si < ej - sj;
      int c = a.compare(si, ei - si, b, sj, ej - sj);
      if (c != 0) return c < 0;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  return a < b;  // "ttyS01" and "ttyS1" still get a fixed order
}

bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec);
}

bool LinkPresent(const fs::path& p) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(p, ec));
}

std::string LinkName(const fs::path& link) {
  std::error_code ec;
  fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

// The 8250 driver registers a fixed number of ports whether or not a UART
// sits behind them; since 6.5 their device is a port on the serial-base bus.
bool IsBuiltInUart(const fs::path& device) {
  std::error_code ec;
  std::string resolved = fs::canonical(device, ec).string();
  if (!ec && resolved.find("serial8250") != std::string::npos) return true;
  if (LinkName(device / "subsystem") == "serial-base") return true;
  return LinkName(device / "driver") == "serial8250";
}

// The UART type the kernel detected; false when it cannot be read.
bool ReadUartType(const fs::path& file, long& type) {
  std::ifstream in(file);
  std::string text;
  if (!in || !std::getline(in, text)) return false;
  const size_t begin = text.find_first_not_of(" \t");
  const size_t end = text.find_last_not_of(" \t\r\n");
  // A line of blanks and CRs only: no end to point past.
  if (begin == std::string::npos || end == std::string::npos) return false;
  const char* first = text.data() + begin;
  const char* last = text.data() + end + 1;
  auto [ptr, err] = std::from_chars(first, last, type);
  return err == std::errc() && ptr == last;
}

bool IsSerialPort(const fs::path& tty) {
  // Virtual consoles, ptys and /dev/tty have no device behind them.
  fs::path device = tty / "device";
  if (!LinkPresent(device)) return false;
  fs::path typeFile = tty / "type";
  bool hasType = Exists(typeFile);
  if (!hasType && !IsBuiltInUart(device)) return true;  // USB and other driver-backed ttys
  long type = 0;
  return hasType && ReadUartType(typeFile, type) && type != 0;  // 0: no UART at that port
}

std::vector<std::string> SerialTtyNames(const TComEnumConfig& config) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::path classDir = fs::path(config.SysRoot) / "class" / "tty";
  fs::directory_iterator it(classDir, ec);
  if (ec) return names;
  std::string devRoot = config.DevRoot;
  while (devRoot.size() > 1 && devRoot.back() == '/') devRoot.pop_back();
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (IsSerialPort(it->path()) && Exists(fs::path(devRoot) / name)) {
      names.push_back(devRoot == "/" ? "/" + name : devRoot + "/" + name);
    }
  }
  // A listing broken off half way is still what the system reports: keep it.
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

}  // namespace

void ListPlatformComDevices(std::vector<std::string>& list) {
  TComEnumConfig config = ComEnumConfig();
  std::unordered_set<std::string> listed(list.begin(), list.end());
  for (std::string& name : SerialTtyNames(config)) {
    if (listed.insert(name).second) list.push_back(std::move(name));
  }
  for (TPortMapEntry& entry : LoadPortMap(PortMapPath())) {
    if (listed.insert(entry.Name).second) list.push_back(std::move(entry.Name));
  }
}

}  // namespace qv
