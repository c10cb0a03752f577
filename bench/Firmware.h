// Firmware for the bench, written as the firmware engineers' build tools
// would write it: generated images with the properties the production tool
// reads, and the four file formats it accepts (handheld packages and raw
// binaries, server Intel HEX and server packages). Written from the file
// formats alone; nothing of the tool is used, so the tool's decoders are
// checked against an independent writer.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// A handheld image: byte i is EEPROM address i; byte 0 is the hardware
// version it is built for. Fields the handheld's loader and jobs read:
// byte 2, byte 24, bytes 27 (low) and 28 (high) holding the image's end
// address E, byte 31.
using THandheldImage = std::vector<uint8_t>;

// Server program memory by word address (0..0x1FFF); 0xFFFF where blank.
using TServerWords = std::vector<uint16_t>;
constexpr uint16_t kBlankWord = 0xFFFF;
constexpr uint32_t kServerWords = 0x2000;
// Erased program memory reads as this; the packages store it for blank
// words inside a group, where the format has no blank.
constexpr uint16_t kErasedWord = 0x3FFF;

// ---- the package keystream (24-bit state, seeded by the package's first two
// bytes); XOR with it scrambles and unscrambles alike ----
uint32_t PackageSeed(uint8_t b0, uint8_t b1);
uint8_t PackageMask(uint32_t& state);

// ---- file formats ----
// A handheld package: the seed bytes, then for each image its length
// (big-endian) and its bytes, all scrambled on one keystream.
std::string WriteQpf(const std::vector<THandheldImage>& images, uint8_t b0 = 0x5A, uint8_t b1 = 0xC3);
std::string WriteRawBin(const THandheldImage& image);
// Intel HEX of the non-blank words (byte address = 2 x word address, low
// byte first), bytesPerRecord data bytes a record, each line ended by eol,
// with checksums and the end record.
std::string WriteHex(const TServerWords& words, const std::string& eol = "\r\n", size_t bytesPerRecord = 16);
// A server package: groups of four words from 0x100 up; runs of blank
// groups become skip tokens. Words at 0x2000 and above are not carried.
std::string WriteSff(const TServerWords& words, uint8_t b0 = 0x3C, uint8_t b1 = 0xA5);

// ---- generated images ----
// Deterministic for a seed, so that tests and the main job see the same
// bytes every time.
THandheldImage MakeModemImage(uint8_t hw, uint8_t version, uint32_t seed = 1);
THandheldImage MakeHandheldFirmware(uint8_t hw, const std::string& version, uint32_t seed = 2);
THandheldImage MakeHandheldTestFirmware(uint8_t hw, uint32_t seed = 3);
// Server firmware carrying its version routine; x and y are the two
// version bytes it reports ("V2.1.3a" for 0x25 0x03).
TServerWords MakeServerFirmware(uint8_t x, uint8_t y, uint32_t seed = 4);
// Server test firmware; the low byte of word 0x103 is its identity.
TServerWords MakeServerTestFirmware(uint8_t identity, uint32_t seed = 5);

// Layout facts the generated images share with the bench's models.
constexpr size_t kModemLength = 2048;
constexpr size_t kHandheldLength = 4096;
constexpr size_t kHandheldTestLength = 2048;
// The handheld firmware's version text starts here; the pointer at 0xEFE
// names its second-last character.
constexpr size_t kHandheldVersionAt = 0xF10;
// Where the server firmware's version routine ends.
constexpr uint32_t kServerVersionRoutineEnd = 0x7A4;
// The test firmware's own mark, from word 0x104 on: retlw "QVTEST".
extern const uint16_t kServerTestMark[6];
constexpr uint32_t kServerTestMarkAt = 0x104;
extern const uint16_t kServerVersionSignature[37];
extern const uint8_t kModemVersionSignature[8];

// The hardware end address E of a handheld image, from bytes 27 and 28.
uint16_t ImageEnd(const THandheldImage& image);

// Which of the generated images a handheld's EEPROM holds, from the three
// bytes below the test firmware's end address.
enum class THandheldImageKind { Unknown, Modem, Firmware, TestFirmware };
THandheldImageKind KindOfHandheldImage(const uint8_t* eeprom, size_t size);

// What server program memory runs: the test firmware (its mark at 0x104),
// the firmware with its version routine, or nothing the loader could start.
enum class TServerImageKind { None, Firmware, TestFirmware };
// x and y are set for firmware, identity for test firmware.
TServerImageKind KindOfServerImage(const TServerWords& words, uint8_t& x, uint8_t& y, uint8_t& identity);

// A 64-bit digest (FNV-1a) of bytes, or of words taken low byte first: how
// the bench reports what a device holds.
uint64_t Digest(const uint8_t* bytes, size_t size);
uint64_t Digest(const std::vector<uint16_t>& words);

// ---- the standard set: what the main job and the bench's default units
// use ----
struct TFirmwareSet {
  std::vector<uint8_t> Hws{0x21, 0x22, 0x23};
  uint8_t ModemVersion = 0x13;
  std::string HandheldVersion = "V2.4";
  uint8_t ServerX = 0x25;
  uint8_t ServerY = 0x03;
  uint8_t ServerTestIdentity = 0x5A;
};

// The set as the files beside the program: the test firmware qvftune.qpf
// and srvftune.sff, and the production files qvmodem.qpf, qvhandheld.qpf,
// qvserver.hex and qvserver.sff; each name with its bytes.
std::vector<std::pair<std::string, std::string>> StandardFiles(const TFirmwareSet& set = {});

}  // namespace bench
