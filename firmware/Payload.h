// The firmware payload appended to the program file: a caption block, the
// five firmware inputs as length-prefixed blocks, and a flags byte last.
//
// Locating it. A Windows program file (an "MZ" file whose 32-bit value at
// 0x3C points to a "PE\0\0" header) keeps the payload's offset P in the
// 32-bit field at that header + 68; the payload runs from P to the end of
// the file. Any other program file (our ELF builds) ends with a trailer of
// our own after the payload, described at kTrailerMagic below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qv {

enum TPayloadRead {
  prNone,      // no payload: a plain build
  prFound,     // the payload was read
  prUnusable,  // unreadable, or too short for a read the locator needs
};

struct TPayload {
  std::unique_ptr<uint8_t[]> Data;
  int32_t Size = 0;
};

// Reads the payload of the program file at path.
TPayloadRead ReadProgramPayload(const std::string& path, TPayload& payload);

// The caption of block 0: its 32-bit count N includes the count itself;
// a count below 4 or past the end of the payload is clamped to it.
std::string PayloadCaption(const uint8_t* payload, int32_t size);

// The flags byte (the last byte); 0 for an empty payload.
uint8_t PayloadFlags(const uint8_t* payload, int32_t size);

constexpr uint8_t pfGoldenIsHandheld = 1 << 1;
constexpr uint8_t pfAnalysisChecked = 1 << 2;
constexpr uint8_t pfAnalysisShown = 1 << 3;

}  // namespace qv
