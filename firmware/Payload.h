// The firmware payload appended to the program file: a caption block, the
// five firmware inputs as length-prefixed blocks, and a flags byte last.
//
// Locating it. A Windows program file (an "MZ" file whose 32-bit value at
// 0x3C points to a "PE\0\0" header) keeps the payload's offset P in the
// 32-bit field at that header + 68; the payload runs from P to the end of
// the file. Any other program file (our ELF builds) ends with a trailer of
// our own after the payload, described at kTrailerMagic below.
//
// Every 32-bit value here is unsigned little-endian. A file shorter than 64
// bytes (too short for the value at 0x3C), or one that cannot be opened or
// read, is unusable whatever its kind; so is a PE file shorter than its
// header + 72 bytes, and any payload longer than INT32_MAX bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

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

// Reads the payload of the program file at path. Only prFound leaves bytes in
// payload (Size >= 1, so the flags byte is always there); the other results
// leave it empty.
TPayloadRead ReadProgramPayload(const std::string& path, TPayload& payload);

// The caption of block 0: its 32-bit count N includes the count itself. The
// caption is bytes 4..N-1, clamped so that it never reaches the last byte of
// the payload (the flags byte): a count below 4, or a payload shorter than 4
// bytes, gives an empty caption, and a count past the end gives the bytes up
// to the flags byte.
std::string PayloadCaption(const uint8_t* payload, int32_t size);

// The flags byte (the last byte); 0 for an empty payload.
uint8_t PayloadFlags(const uint8_t* payload, int32_t size);

constexpr uint8_t pfGoldenIsHandheld = 1 << 1;
constexpr uint8_t pfAnalysisChecked = 1 << 2;
constexpr uint8_t pfAnalysisShown = 1 << 3;

// The trailer that locates the payload in a program file that is not a PE
// file, as its last kTrailerSize bytes:
//   [P: 32-bit payload offset][S: 32-bit payload size][the 8 magic bytes]
// It is valid when the magic matches, S >= 1 and P + S + 16 equals the file
// size; the payload is then bytes P..P+S-1 (still ending with its flags
// byte). A file without a valid trailer -- an ordinary build, or a damaged
// trailer -- has no payload; it is not unusable. Files of 64 bytes and more
// are always long enough for the trailer.
inline constexpr int kTrailerSize = 16;
inline constexpr char kTrailerMagic[8] = {'Q', 'V', 'P', 'A', 'Y', 'L', 'D', '1'};

// Where the payload sits in a program file held in memory; same rules as
// ReadProgramPayload.
struct TPayloadSpan {
  int64_t Offset = 0;
  int32_t Size = 0;
};
TPayloadRead FindPayload(std::string_view file, TPayloadSpan& span);

// The firmware inputs 1..5 (blocks 1..5): block i + 1 starts where block i
// starts plus its count. A block is usable when its count is at least 4 and
// it ends before the flags byte; a block that is not usable hides every
// block after it, since their starts are lost. Unusable blocks are null.
using TPayloadBlocks = std::array<uint8_t*, 5>;
TPayloadBlocks PayloadBlocks(uint8_t* payload, int32_t size);

// The five firmware inputs, in payload order.
enum TPayloadInput {
  piModem = 0,     // RF modem firmware
  piHandheld,      // Quorvantis firmware
  piServer,        // Server firmware
  piHandheldTest,  // Quorvantis test firmware
  piServerTest,    // Server test firmware
};
using TPayloadInputs = std::array<std::string_view, 5>;

// Builds payload bytes: the caption and each input as a length-prefixed block
// (the count includes its own 4 bytes), then flags. False, with the reason in
// error, when the result would exceed INT32_MAX bytes.
bool BuildPayload(std::string_view caption, const TPayloadInputs& inputs, uint8_t flags, std::string& payload,
                  std::string& error);

// Returns in packed the program bytes carrying payload: a PE file gets P (its
// original size) in the field at its header + 68 and the payload appended;
// any other file gets the payload and the trailer appended. The rest of the
// program's bytes stay as they were. A program that already carries a payload
// is refused rather than repacked, since only a plain build is a known
// starting point. Also refused: a program the locator would call unusable,
// an empty payload, and a result the locator would not read back exactly.
// False with the reason in error.
bool AppendPayload(std::string_view program, std::string_view payload, std::string& packed, std::string& error);

}  // namespace qv
