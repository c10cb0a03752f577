// Helpers of port detection and device identification.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

// "1.2" for 0x12, "10.11" for 0xAB: the nibbles in decimal.
std::string FormatPortVersion(uint8_t value);

// On the probe list: a name in the list moves to the front; a name not in
// it is inserted there only when forced.
void MoveToFront(std::vector<std::string>& list, const std::string& name, bool force);

// The characters of a device's identity text: 0x30..0x39 and 0x41..0x5B.
inline bool IsIdentityChar(int value) {
  return (value >= 0x30 && value <= 0x39) || (value >= 0x41 && value <= 0x5B);
}

// The identity characters 1 to 10 of every server.
constexpr const char* kServerIdentity = "RFQVSERVER";

}  // namespace qv
