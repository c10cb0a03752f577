#include "settings/PortList.h"

#include <cctype>

#include "serial/ComPort.h"
#include "serial/PortMap.h"

namespace qv {

bool SamePortName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::vector<std::string> ListPorts(TComPort& port) {
  std::vector<std::string> ports;
  try {
    port.ListComDevices(ports);
  } catch (...) {
    ports.clear();
  }
  if (ports.empty())
    for (char digit = '1'; digit <= '9'; ++digit) ports.push_back(std::string("COM") + digit);
  return ports;
}

std::vector<std::string> PortListItems(const std::vector<std::string>& ports) {
  std::vector<std::string> items{kAutoDetect};
  items.insert(items.end(), ports.begin(), ports.end());
  return items;
}

int FindPortItem(const std::vector<std::string>& items, const std::string& name, size_t from) {
  for (size_t i = from; i < items.size(); ++i)
    if (SamePortName(items[i], name)) return static_cast<int>(i);
  return -1;
}

std::string PortAccessHint(const std::string& portName, const std::string& reason) {
  const std::string device = ResolvePortName(portName);
  std::string hint = "The port " + portName + (device != portName ? " (" + device + ")" : std::string()) +
                     " cannot be opened: " + reason + ".";
  const std::string group = DeviceGroup(device);
  if (!group.empty())
    hint += " Its device belongs to the group " + group + ": ask the administrator to add you to it (sudo usermod -aG " +
            group + " $USER), then log in again.";
  else
    hint += " Ask the administrator for access to it.";
  return hint;
}

}  // namespace qv
