// The version finders on slots of any content and any length, beyond what
// a decoder would leave in them.
//
// Input: bytes 0-1 a handheld image length (big-endian, any value); the
// rest fills the handheld slot from byte 0 and, taken as little-endian
// words, the server slot from word 0x100.
//
// Properties: nothing beside the slots is read or written; the texts are
// "V" + digits and dots, or (handheld firmware) at most 12 characters of
// the version's own set after a "V"; the server text is empty or "V".
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "firmware/Decode.h"
#include "fuzz/FirmwareFuzz.h"

using namespace qv;
using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const auto length = static_cast<uint16_t>(data[0] << 8 | data[1]);
  fuzz::TFenced<THandheldImage> handheld;
  handheld.Slot.fill(0);
  std::copy(data + 2, data + 2 + std::min(size - 2, handheld.Slot.size()), handheld.Slot.begin());
  fuzz::TFenced<TServerImage> server;
  server.Slot.Clear();
  for (size_t i = 2; i + 1 < size && (i - 2) / 2 < server.Slot.Words.size(); i += 2)
    server.Slot.Words[(i - 2) / 2] = static_cast<uint16_t>(data[i] | data[i + 1] << 8);

  const std::string modem = ModemImageVersion(handheld.Slot, length);
  Require(modem.size() >= 4 && modem[0] == 'V');
  const std::string firmware = HandheldImageVersion(handheld.Slot, length);
  Require(!firmware.empty() && firmware[0] == 'V' && firmware.size() <= 13);
  const std::string version = ServerImageVersion(server.Slot);
  Require(version.empty() || version[0] == 'V');
  handheld.Check();
  server.Check();
  return 0;
}
