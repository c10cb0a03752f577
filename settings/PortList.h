// The port lists of the dongle's and the server's port choice, as the
// window's combos and qvline's options offer them: "Auto detect" first,
// then the system's serial ports.
#pragma once

#include <string>
#include <vector>

namespace qv {

class TComPort;

// Item 0 of every port list: search the device on all ports.
inline constexpr const char* kAutoDetect = "Auto detect";

// The serial ports the system reports through port's ListComDevices, or
// COM1 to COM9 when it reports none (a system that cannot list its ports
// counts as one without any).
std::vector<std::string> ListPorts(TComPort& port);

// A port list's items: "Auto detect", then the ports in their order.
std::vector<std::string> PortListItems(const std::vector<std::string>& ports);

// Port names compare without regard to letter case.
bool SamePortName(const std::string& a, const std::string& b);

// The index of the item that equals name, letter case ignored, searched
// from item `from` on; -1 when there is none.
int FindPortItem(const std::vector<std::string>& items, const std::string& name, size_t from = 0);

// What tells the operator how to get at a port the system refused for lack
// of permission: the device behind the name (through the port map), the
// system's reason, and the group that owns the device, to join.
std::string PortAccessHint(const std::string& portName, const std::string& reason);

}  // namespace qv
