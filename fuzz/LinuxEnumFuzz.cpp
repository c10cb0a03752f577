// The Linux enumeration over a fake sysfs tree and /dev, rebuilt for each
// input in a scratch folder (in /dev/shm when there is one).
//
// Input: records of one byte each, then the port map text. A record byte's
// bits 0-2 give the kind of device behind a tty (see Add), bit 3 a node
// under /dev, bit 4 a type file, whose length (low 4 bits of the next byte)
// and bytes follow; bits 5-7 pick the tty's name. A record byte of 0xFF
// ends the records.
//
// Properties:
// - the list is exactly what the kernel's layout says, worked out here on
//   its own: a tty with a device behind it whose type file reads as a
//   nonzero number, or, without a type file, one that is no built-in UART,
//   and that has a node; in natural order; then the port map's names not
//   listed yet, in file order;
// - names the list holds already are not added again.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "serial/ComDevice.h"
#include "serial/PortMap.h"

namespace {

namespace fs = std::filesystem;

void Require(bool condition) {
  if (!condition) std::abort();
}

// In natural order already.
const char* const kNames[8] = {"tty", "ttyACM0", "ttyAMA0", "ttyS0", "ttyS1", "ttyS10", "ttyUSB0", "ttyUSB9"};

enum TKind { kVirtual, kUsb, kPnpUart, kPlatformUart, kOld8250, kSocUart, kDriverLink, kGone };

bool IsBuiltInUart(int kind) {
  return kind == kPnpUart || kind == kPlatformUart || kind == kOld8250 || kind == kDriverLink;
}

// The first line of a type file as a decimal number other than 0: blanks
// around it, a CR or LF after it, a minus sign, nothing else.
bool NonZeroType(std::string_view content) {
  if (content.empty()) return false;
  std::string_view line = content.substr(0, content.find('\n'));
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.remove_suffix(1);
  bool negative = false;
  if (!line.empty() && line.front() == '-') {
    negative = true;
    line.remove_prefix(1);
  }
  if (line.empty()) return false;
  unsigned long long value = 0;
  bool nonZero = false;
  for (char c : line) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 9223372036854775808ull) return false;
    nonZero = nonZero || c != '0';
  }
  if (!negative && value > 9223372036854775807ull) return false;
  return nonZero;
}

// The tree of one input. Everything made is remembered, so that taking the
// tree down needs no directory reads: rebuilding it by remove_all and
// create_directories cost more than the enumeration under test.
class TTree {
 public:
  TTree() {
    std::error_code ec;
    const fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "qvenumfuzz-XXXXXX").string();
    Require(mkdtemp(pattern.data()) != nullptr);
    Root = pattern;
    Sys = Root + "/sys";
    Dev = Root + "/dev";
    qv::SetComEnumConfig({Sys, Dev, Root + "/qvtune.ports"});
  }
  // At the end of a run (a fault's abort leaves the tree for a look).
  ~TTree() {
    Clear();
    rmdir(Root.c_str());
  }

  std::string Root, Sys, Dev;

  // Makes path and the folders above it that are missing (below Root).
  void Folder(const std::string& path) {
    if (FFolders.count(path) != 0) return;
    const size_t slash = path.rfind('/');
    if (slash > Root.size()) Folder(path.substr(0, slash));
    Require(mkdir(path.c_str(), 0755) == 0);
    FFolders.insert(path);
    FMade.push_back({path, true});
  }
  bool Has(const std::string& path) const { return FFolders.count(path) != 0 || FEntries.count(path) != 0; }
  // The enumeration follows links and reads their last part only, so
  // absolute links do, and save the work of relative ones.
  void Link(const std::string& target, const std::string& link) {
    Require(symlink(target.c_str(), link.c_str()) == 0);
    Made(link);
  }
  void File(const std::string& path, std::string_view bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Require(fd >= 0);
    Require(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    close(fd);
    Made(path);
  }
  // Takes down everything made, deepest first.
  void Clear() {
    for (auto it = FMade.rbegin(); it != FMade.rend(); ++it) Require((it->Folder ? rmdir : unlink)(it->Path.c_str()) == 0);
    FMade.clear();
    FFolders.clear();
    FEntries.clear();
  }

 private:
  void Made(const std::string& path) {
    if (FEntries.insert(path).second) FMade.push_back({path, false});
  }
  struct TMade {
    std::string Path;
    bool Folder;
  };
  std::vector<TMade> FMade;
  std::set<std::string> FFolders, FEntries;
};

TTree& Tree() {
  static TTree tree;
  return tree;
}

void Add(TTree& t, int kind, int index, bool node, const std::string* type) {
  const std::string name = kNames[index];
  const std::string devices = t.Sys + "/devices";
  const std::string n = std::to_string(index);
  std::string device;
  switch (kind) {
    case kUsb:
      device = devices + "/pci0000:00/usb1/1-" + n;
      break;
    case kPnpUart:
      device = devices + "/pnp0/00:0" + n;
      break;
    case kPlatformUart:
      device = devices + "/platform/serial8250/serial8250:0/serial8250:0." + n;
      break;
    case kOld8250:
      device = devices + "/platform/serial8250";
      break;
    case kSocUart:
      device = devices + "/platform/fe20" + n + ".serial";
      break;
    case kDriverLink:
      device = devices + "/platform/uart." + n;
      break;
    default:
      break;
  }
  const std::string ttyDir =
      kind == kVirtual || kind == kGone ? devices + "/virtual/tty/" + name : device + "/tty/" + name;
  t.Folder(ttyDir);
  t.Link(ttyDir, t.Sys + "/class/tty/" + name);
  if (kind == kGone) t.Link(devices + "/gone/" + n, ttyDir + "/device");
  if (!device.empty()) t.Link(device, ttyDir + "/device");
  if (kind == kPnpUart || kind == kPlatformUart) {
    t.Folder(t.Sys + "/bus/serial-base");
    if (!t.Has(device + "/subsystem")) t.Link(t.Sys + "/bus/serial-base", device + "/subsystem");
  }
  if (kind == kDriverLink) {
    t.Folder(t.Sys + "/bus/platform/drivers/serial8250");
    t.Link(t.Sys + "/bus/platform/drivers/serial8250", device + "/driver");
  }
  if (type) t.File(ttyDir + "/type", *type);
  if (node) t.File(t.Dev + "/" + name, {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TTree& t = Tree();
  t.Clear();
  t.Folder(t.Sys + "/class/tty");
  t.Folder(t.Dev);

  bool listed[8] = {};
  bool used[8] = {};
  size_t at = 0;
  while (at < size && data[at] != 0xFF) {
    const uint8_t record = data[at++];
    const int kind = record & 7;
    const bool node = (record & 8) != 0;
    const int index = record >> 5;
    std::string type;
    const bool hasType = (record & 16) != 0;
    if (hasType && at < size) {
      const size_t length = data[at++] & 15u;
      const size_t n = std::min(length, size - at);
      type.assign(reinterpret_cast<const char*>(data + at), n);
      at += n;
    }
    if (used[index]) continue;
    used[index] = true;
    Add(t, kind, index, node, hasType ? &type : nullptr);
    const bool serial = kind != kVirtual && (hasType ? NonZeroType(type) : !IsBuiltInUart(kind));
    listed[index] = serial && node;
  }
  if (at < size) ++at;
  const std::string map(reinterpret_cast<const char*>(data + at), size - at);
  t.File(t.Root + "/qvtune.ports", map);

  std::vector<std::string> expected;
  std::set<std::string> names;
  for (int i = 0; i < 8; ++i)
    if (listed[i]) {
      expected.push_back(t.Dev + "/" + kNames[i]);
      names.insert(expected.back());
    }
  for (const qv::TPortMapEntry& e : qv::ParsePortMap(map))
    if (names.insert(e.Name).second) expected.push_back(e.Name);

  // A list that holds some of the names already gets only the others.
  std::vector<std::string> list, rest;
  for (size_t i = 0; i < expected.size(); ++i) (i % 3 == 1 ? list : rest).push_back(expected[i]);
  const std::vector<std::string> held = list;
  qv::ListPlatformComDevices(list);
  Require(list.size() == held.size() + rest.size());
  Require(std::equal(held.begin(), held.end(), list.begin()));
  Require(std::equal(rest.begin(), rest.end(), list.begin() + static_cast<std::ptrdiff_t>(held.size())));
  return 0;
}
