// The port map: short port names (COM31) standing for device paths or
// network ports, so that port lists and the settings file keep short names.
//
// File "qvtune.ports" in the program's folder, one entry a line:
//     NAME=TARGET
// NAME is the name shown and accepted as DeviceName (no blanks, no control
// characters, no '=');
// TARGET is a device path (/dev/ttyUSB0) or a network port
// (rfc2217://127.0.0.1:7031). Blank lines and lines starting with '#' are
// ignored, blanks around NAME and TARGET are dropped, a malformed line is
// skipped, and the first entry of a name wins. A missing file is an empty map.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qv {

struct TPortMapEntry {
  std::string Name;
  std::string Target;
};

using TPortMap = std::vector<TPortMapEntry>;

TPortMap ParsePortMap(const std::string& text);
TPortMap LoadPortMap(const std::string& path);

// Where the system's inputs live; tests point them at fixtures.
struct TComEnumConfig {
  std::string SysRoot = "/sys";        // sysfs, for /sys/class/tty
  std::string DevRoot = "/dev";        // device nodes
  std::string PortMapPath;             // empty: "qvtune.ports" beside the program
};

TComEnumConfig ComEnumConfig();
void SetComEnumConfig(const TComEnumConfig& config);

// The port map file in force.
std::string PortMapPath();

// The target a port-map name stands for, or the name itself.
std::string ResolvePortName(const std::string& name);

// The folder of the running program, with a trailing separator.
std::string ProgramDir();

// The group that owns a device file (its members may open it), or empty
// where there is none: a network port, a system without device groups.
std::string DeviceGroup(const std::string& device);

}  // namespace qv
