// The worker's image slots: what a decoder fills and a programming step
// sends. Plain fixed arrays, so that decoding allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qv {

// A handheld image: byte i is the content of EEPROM address i; byte 0 is
// the hardware version the image is built for.
constexpr size_t kHandheldImageSize = 8192;
using THandheldImage = std::array<uint8_t, kHandheldImageSize>;

// A server image slot: one word for each word address 0x100..0x1FFF,
// 0xFFFF where the image holds nothing.
struct TServerImage {
  static constexpr uint32_t First = 0x100;
  static constexpr uint32_t Last = 0x1FFF;
  static constexpr uint16_t Blank = 0xFFFF;
  static constexpr bool Holds(uint32_t address) { return address >= First && address <= Last; }
  uint16_t& At(uint32_t address) { return Words[address - First]; }
  uint16_t At(uint32_t address) const { return Words[address - First]; }
  void Clear() { Words.fill(Blank); }
  std::array<uint16_t, Last - First + 1> Words{};
};

}  // namespace qv
