// The firmware decoders and version finders: pure code. Bytes of one input
// in, an image slot and a status byte out; the handheld's hardware byte and
// the "terminating" test are passed in. No I/O, no threads, and nothing is
// allocated while decoding, so a damaged input can only ever produce a
// status.
//
// Statuses: fsDecoded, fsInvalid (not this format, damaged, or stopped
// because the worker is terminating) and fsNoImage (a well-formed handheld
// input without an image for this hardware).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "firmware/Images.h"

namespace qv {

constexpr uint8_t fsDecoded = 0;
constexpr uint8_t fsInvalid = 1;
constexpr uint8_t fsNoImage = 2;

using TInput = std::span<const uint8_t>;

// The "terminating" test: asked between blocks, lines and tokens; true stops
// the decoder with fsInvalid. A plain function pointer with its context, so
// that a decoder never allocates to hold it.
class TStopTest {
 public:
  TStopTest() = default;
  template <class F>
  explicit TStopTest(const F& f) : FFn([](const void* c) { return (*static_cast<const F*>(c))(); }), FCtx(&f) {}
  bool operator()() const { return FFn != nullptr && FFn(FCtx); }

 private:
  bool (*FFn)(const void*) = nullptr;
  const void* FCtx = nullptr;
};

// The package keystream. The state is 24 bits; a package whose first two
// bytes are b0 and b1 starts from KeystreamSeed(b0, b1). Scrambling is an
// XOR with the mask bytes, so the same stream scrambles and unscrambles.
uint32_t KeystreamSeed(uint8_t b0, uint8_t b1);
uint8_t NextMaskByte(uint32_t& state);

// Handheld inputs. The caller presets status to fsInvalid; a package that
// holds no image at all leaves it there. Bytes of the slot at and beyond the
// length keep what they held.
void DecodeQpf(TInput input, uint8_t hw, TStopTest stop, THandheldImage& image, uint16_t& length, uint8_t& status);
void DecodeRawBin(TInput input, uint8_t hw, THandheldImage& image, uint16_t& length, uint8_t& status);

// Server inputs; both blank the whole slot first. DecodeHex sets the status
// itself; DecodeSff leaves it alone when the input is too short for its
// header.
void DecodeHex(TInput input, TStopTest stop, TServerImage& image, uint8_t& status);
void DecodeSff(TInput input, TStopTest stop, TServerImage& image, uint8_t& status);

// "V" + high nibble + "." + low nibble, in decimal: 0x12 gives V1.2.
std::string FormatHwVersion(uint8_t value);

// The version texts of decoded images, without the " to " the log puts in
// front. A handheld image is read up to the end of its slot at most, whatever
// its length says; the server text is empty without the signature.
std::string ModemImageVersion(const THandheldImage& image, uint16_t length);
std::string HandheldImageVersion(const THandheldImage& image, uint16_t length);
std::string ServerImageVersion(const TServerImage& image);

// The form the server reports its running firmware in, from the two version
// bytes x and y: "V2.0.15a" for 0x24 0x0F.
std::string ServerVersionFromBytes(uint8_t x, uint8_t y);

// The 37-word signature that marks the version routine of server firmware.
extern const uint16_t kServerSignature[37];
// The 8-byte signature that precedes the RF modem firmware's version byte.
extern const uint8_t kModemSignature[8];

}  // namespace qv
