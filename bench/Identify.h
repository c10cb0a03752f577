// The identification handshake both device kinds speak: 0x80 gives the
// hardware byte and restarts the identity text, 0x00 gives 0x55, 0xA5 gives
// 0xF0, and each 0x55 gives the next identity character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bench {

constexpr size_t kIdentityLength = 16;

enum class TIdentifyStep {
  Ignore,  // no answer; the state stays
  Answer,  // answer and stay in the handshake
  Done,    // answer with the last identity character; the handshake is over
};

// One byte of the handshake; next is the index of the next identity
// character.
TIdentifyStep IdentifyStep(uint8_t byte, uint8_t hw, const std::string& identity, size_t& next, uint8_t& answer);

}  // namespace bench
