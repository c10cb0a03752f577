// The server decoders: Intel HEX, else a server package, as the worker runs
// them for one input, and the version finder on the result.
//
// Input: byte 0 says when the "terminating" test first answers true (0:
// never); the rest is the file.
//
// Properties:
// - the statuses are 0 or 1 (the package decoder may leave the preset
//   one); nothing beside the slot is written;
// - decoded HEX holds only blank words and words of at most 14 bits (a
//   word written in half keeps 0x3F above or 0xFF below);
// - the version text is empty or "V" and digits.
#include <cstddef>
#include <cstdint>
#include <string>

#include "firmware/Decode.h"
#include "fuzz/FirmwareFuzz.h"

using namespace qv;
using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int stopAt = data[0];
  const TInput file(data + 1, size - 1);
  int asked = 0;
  const auto terminating = [&] { return stopAt != 0 && ++asked >= stopAt; };

  fuzz::TFenced<TServerImage> image;
  uint8_t status = 0xEE;
  DecodeHex(file, TStopTest(terminating), image.Slot, status);
  image.Check();
  Require(status == fsDecoded || status == fsInvalid);
  if (status == fsDecoded)
    for (uint16_t w : image.Slot.Words) Require(w == TServerImage::Blank || w <= 0x3FFF);
  if (status != fsDecoded) {
    status = fsInvalid;
    DecodeSff(file, TStopTest(terminating), image.Slot, status);
    image.Check();
    Require(status == fsDecoded || status == fsInvalid);
  }
  const std::string version = ServerImageVersion(image.Slot);
  Require(version.empty() || version[0] == 'V');
  image.Check();
  return 0;
}
