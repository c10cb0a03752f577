// The handheld decoders: a package, else a raw binary, as the worker runs
// them for one input.
//
// Input: byte 0 is the handheld's hardware byte, byte 1 says when the
// "terminating" test first answers true (0: never); the rest is the file.
//
// Properties:
// - the status is 0, 1 or 2; nothing beside the slot is written;
// - decoded (0): the length is 64..8191 and byte 0 of the slot is the
//   hardware byte; a raw binary (when the package decoder gave up) is the
//   file itself;
// - a length set only ever lies in 64..8191.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "firmware/Decode.h"
#include "fuzz/FirmwareFuzz.h"

using namespace qv;
using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t hw = data[0];
  const int stopAt = data[1];
  const TInput file(data + 2, size - 2);
  int asked = 0;
  const auto terminating = [&] { return stopAt != 0 && ++asked >= stopAt; };

  fuzz::TFenced<THandheldImage> image;
  uint16_t length = 0;
  uint8_t status = fsInvalid;
  DecodeQpf(file, hw, TStopTest(terminating), image.Slot, length, status);
  const bool packaged = status != fsInvalid;
  if (!packaged) DecodeRawBin(file, hw, image.Slot, length, status);
  image.Check();
  Require(status == fsDecoded || status == fsInvalid || status == fsNoImage);
  if (length != 0) Require(length >= 64 && length <= 8191);
  if (status == fsDecoded) {
    Require(image.Slot[0] == hw);
    if (!packaged) Require(length == file.size() && std::equal(file.begin(), file.end(), image.Slot.begin()));
  }
  // The version texts read the slot for any length.
  (void)ModemImageVersion(image.Slot, length);
  (void)HandheldImageVersion(image.Slot, length);
  (void)HandheldImageVersion(image.Slot, 0xFFFF);
  image.Check();
  return 0;
}
