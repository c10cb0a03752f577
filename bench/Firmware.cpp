#include "bench/Firmware.h"

#include <stdexcept>

namespace bench {

const uint16_t kServerVersionSignature[37] = {
    0x3A0A, 0x1C23, 0x1D03, 0x3406, 0x30E0, 0x0522, 0x1CA3, 0x1D03, 0x3406, 0x3022, 0x0084, 0x1703, 0x0800,
    0x008F, 0x0A84, 0x0800, 0x008D, 0x1683, 0x178C, 0x140C, 0x0000, 0x0000, 0x1283, 0x0A84, 0x0800, 0x060E,
    0x393F, 0x1D03, 0x1784, 0x0A84, 0x0800, 0x060C, 0x1D03, 0x1784, 0x0A8D, 0x1C8D, 0x180D};

const uint8_t kModemVersionSignature[8] = {0xDC, 0x03, 0xDB, 0x32, 0xAD, 0x7E, 0x20, 0xDB};

const uint16_t kServerTestMark[6] = {0x3451, 0x3456, 0x3454, 0x3445, 0x3453, 0x3454};

namespace {

constexpr uint32_t kFirstWord = 0x100;
constexpr uint16_t kSkipToken = 0x8000;
constexpr uint16_t kMaxSkip = 0x7FFF;
constexpr uint16_t kLoadLiteral = 0x3000;  // movlw k
constexpr uint16_t kReturnLiteral = 0x3400;  // retlw k

// xorshift32: reproducible filler for the parts of an image nothing reads.
class TFiller {
 public:
  explicit TFiller(uint32_t seed) : FState(seed == 0 ? 0x9E3779B9u : seed) {}
  uint32_t Next() {
    FState ^= FState << 13;
    FState ^= FState >> 17;
    FState ^= FState << 5;
    return FState;
  }
  uint8_t Byte() { return static_cast<uint8_t>(Next() >> 11); }
  uint16_t Word() { return static_cast<uint16_t>(Next() >> 7) & 0x3FFF; }

 private:
  uint32_t FState;
};

void PutBig16(std::string& out, uint16_t v, uint32_t& state) {
  out += static_cast<char>((v >> 8) ^ PackageMask(state));
  out += static_cast<char>((v & 0xFF) ^ PackageMask(state));
}

const char* const kHexDigits = "0123456789ABCDEF";

void PutHexByte(std::string& out, uint8_t v) {
  out += kHexDigits[v >> 4];
  out += kHexDigits[v & 0x0F];
}

void HexRecord(std::string& out, uint16_t address, const std::vector<uint8_t>& data, const std::string& eol) {
  uint8_t sum = static_cast<uint8_t>(data.size() + (address >> 8) + (address & 0xFF));
  out += ':';
  PutHexByte(out, static_cast<uint8_t>(data.size()));
  PutHexByte(out, static_cast<uint8_t>(address >> 8));
  PutHexByte(out, static_cast<uint8_t>(address & 0xFF));
  PutHexByte(out, 0x00);
  for (uint8_t b : data) {
    PutHexByte(out, b);
    sum = static_cast<uint8_t>(sum + b);
  }
  PutHexByte(out, static_cast<uint8_t>(-sum));
  out += eol;
}

THandheldImage HandheldBase(uint8_t hw, size_t length, uint32_t seed) {
  TFiller fill(seed);
  THandheldImage image(length);
  for (auto& b : image) b = fill.Byte();
  image[0] = hw;
  image[27] = static_cast<uint8_t>(length & 0xFF);
  image[28] = static_cast<uint8_t>(length >> 8);
  return image;
}

// What the EEPROM holds just below the test firmware's end address tells
// whether the test firmware is installed; every other image carries its
// own bytes there.
void MarkBelowTestEnd(THandheldImage& image, const char (&mark)[4]) {
  for (size_t i = 0; i < 3; ++i) image[kHandheldTestLength - 3 + i] = static_cast<uint8_t>(mark[i]);
}

TServerWords ServerBase(uint32_t last, uint32_t seed) {
  TFiller fill(seed);
  TServerWords words(kServerWords, kBlankWord);
  for (uint32_t a = kFirstWord; a <= last; ++a) words[a] = fill.Word();
  return words;
}

}  // namespace

uint32_t PackageSeed(uint8_t b0, uint8_t b1) {
  return 0x010000u + 256u * b0 + b1;
}

uint8_t PackageMask(uint32_t& state) {
  const uint32_t f = ((state >> 10) ^ (state >> 15)) & 0xFF;
  state = (((state & 0xFFFF) << 8) | ((state >> 16) & 0xFF)) ^ f;
  return static_cast<uint8_t>(state & 0xFF);
}

std::string WriteQpf(const std::vector<THandheldImage>& images, uint8_t b0, uint8_t b1) {
  std::string out;
  out += static_cast<char>(b0);
  out += static_cast<char>(b1);
  uint32_t state = PackageSeed(b0, b1);
  for (const THandheldImage& image : images) {
    if (image.size() < 64 || image.size() > 8191) throw std::invalid_argument("a package image has 64..8191 bytes");
    PutBig16(out, static_cast<uint16_t>(image.size()), state);
    for (uint8_t b : image) out += static_cast<char>(b ^ PackageMask(state));
  }
  return out;
}

std::string WriteRawBin(const THandheldImage& image) {
  return std::string(image.begin(), image.end());
}

std::string WriteHex(const TServerWords& words, const std::string& eol, size_t bytesPerRecord) {
  if (bytesPerRecord == 0 || bytesPerRecord > 255) throw std::invalid_argument("1..255 bytes a record");
  std::string out;
  std::vector<uint8_t> data;
  uint32_t start = 0;
  const auto flush = [&] {
    if (!data.empty()) HexRecord(out, static_cast<uint16_t>(start), data, eol);
    data.clear();
  };
  for (uint32_t a = 0; a < words.size() && a < kServerWords; ++a) {
    if (words[a] == kBlankWord) {
      flush();
      continue;
    }
    const uint32_t byteAddress = 2 * a;
    if (data.empty()) start = byteAddress;
    data.push_back(static_cast<uint8_t>(words[a] & 0xFF));
    data.push_back(static_cast<uint8_t>(words[a] >> 8));
    if (data.size() + 1 >= bytesPerRecord) flush();
  }
  flush();
  out += ":00000001FF" + eol;
  return out;
}

std::string WriteSff(const TServerWords& words, uint8_t b0, uint8_t b1) {
  const auto word = [&](uint32_t a) { return a < words.size() ? words[a] : kBlankWord; };
  std::vector<uint16_t> tokens;
  uint32_t skipped = 0;
  const auto flushSkip = [&] {
    while (skipped > 0) {
      const uint32_t n = skipped > kMaxSkip ? kMaxSkip : skipped;
      tokens.push_back(static_cast<uint16_t>(kSkipToken + n));
      skipped -= n;
    }
  };
  for (uint32_t g = kFirstWord; g < kServerWords; g += 4) {
    bool any = false;
    for (uint32_t j = 0; j < 4; ++j) any = any || word(g + j) != kBlankWord;
    if (!any) {
      ++skipped;
      continue;
    }
    flushSkip();
    for (uint32_t j = 0; j < 4; ++j) tokens.push_back(word(g + j) == kBlankWord ? kErasedWord : word(g + j));
  }
  // Trailing blank groups need no tokens.
  std::string out;
  out += static_cast<char>(b0);
  out += static_cast<char>(b1);
  uint32_t state = PackageSeed(b0, b1);
  PutBig16(out, static_cast<uint16_t>(2 + 2 * tokens.size()), state);
  out += static_cast<char>(0xFF ^ PackageMask(state));
  out += static_cast<char>(0x00 ^ PackageMask(state));
  for (uint16_t t : tokens) PutBig16(out, t, state);
  return out;
}

uint64_t Digest(const uint8_t* bytes, size_t size) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < size; ++i) {
    h ^= bytes[i];
    h *= 0x100000001B3ull;
  }
  return h;
}

uint64_t Digest(const std::vector<uint16_t>& words) {
  std::vector<uint8_t> bytes;
  bytes.reserve(2 * words.size());
  for (uint16_t w : words) {
    bytes.push_back(static_cast<uint8_t>(w & 0xFF));
    bytes.push_back(static_cast<uint8_t>(w >> 8));
  }
  return Digest(bytes.data(), bytes.size());
}

uint16_t ImageEnd(const THandheldImage& image) {
  if (image.size() < 29) return 0;
  return static_cast<uint16_t>(image[27] | image[28] << 8);
}

THandheldImageKind KindOfHandheldImage(const uint8_t* eeprom, size_t size) {
  if (size < kHandheldTestLength) return THandheldImageKind::Unknown;
  const uint8_t* m = eeprom + kHandheldTestLength - 3;
  const auto is = [m](const char* mark) { return m[0] == mark[0] && m[1] == mark[1] && m[2] == mark[2]; };
  if (is("TST")) return THandheldImageKind::TestFirmware;
  if (is("PRD")) return THandheldImageKind::Firmware;
  if (is("MDM")) return THandheldImageKind::Modem;
  return THandheldImageKind::Unknown;
}

TServerImageKind KindOfServerImage(const TServerWords& words, uint8_t& x, uint8_t& y, uint8_t& identity) {
  const auto word = [&](uint32_t a) { return a < words.size() ? words[a] : kBlankWord; };
  bool test = true;
  for (uint32_t k = 0; k < 6; ++k) test = test && word(kServerTestMarkAt + k) == kServerTestMark[k];
  if (test) {
    identity = static_cast<uint8_t>(word(0x103) & 0xFF);
    return TServerImageKind::TestFirmware;
  }
  for (uint32_t start = kFirstWord; start + 37 <= kServerWords; ++start) {
    uint32_t k = 0;
    while (k < 37 && word(start + k) == kServerVersionSignature[k]) ++k;
    if (k < 37) continue;
    const uint16_t b = word(start - 7);
    const uint16_t c = word(start - 4);
    if ((b & 0xFF00) != kLoadLiteral || (c & 0xFF00) != kLoadLiteral) return TServerImageKind::None;
    x = static_cast<uint8_t>(b & 0xFF);
    y = static_cast<uint8_t>(c & 0xFF);
    return TServerImageKind::Firmware;
  }
  return TServerImageKind::None;
}

THandheldImage MakeModemImage(uint8_t hw, uint8_t version, uint32_t seed) {
  THandheldImage image = HandheldBase(hw, kModemLength, seed);
  image[3] = version;
  // The version byte sits on both sides of the signature.
  constexpr size_t at = 0x400;
  image[at - 1] = version;
  for (size_t i = 0; i < sizeof kModemVersionSignature; ++i) image[at + i] = kModemVersionSignature[i];
  image[at + sizeof kModemVersionSignature] = version;
  MarkBelowTestEnd(image, "MDM");
  return image;
}

THandheldImage MakeHandheldFirmware(uint8_t hw, const std::string& version, uint32_t seed) {
  if (version.size() < 2 || version.size() > 12) throw std::invalid_argument("version text of 2..12 characters");
  THandheldImage image = HandheldBase(hw, kHandheldLength, seed);
  image[1] = 0;  // the version byte of an image without a version text
  image[kHandheldVersionAt - 1] = 0;
  for (size_t i = 0; i < version.size(); ++i) image[kHandheldVersionAt + i] = static_cast<uint8_t>(version[i]);
  const size_t pointer = kHandheldVersionAt + version.size() - 2;
  image[0xEFE] = static_cast<uint8_t>(pointer >> 8);
  image[0xEFF] = static_cast<uint8_t>(pointer & 0xFF);
  MarkBelowTestEnd(image, "PRD");
  return image;
}

THandheldImage MakeHandheldTestFirmware(uint8_t hw, uint32_t seed) {
  THandheldImage image = HandheldBase(hw, kHandheldTestLength, seed);
  MarkBelowTestEnd(image, "TST");
  return image;
}

TServerWords MakeServerFirmware(uint8_t x, uint8_t y, uint32_t seed) {
  TServerWords words = ServerBase(0xBFF, seed);
  // Unused program memory between the modules.
  for (uint32_t a = 0x300; a < 0x340; ++a) words[a] = kBlankWord;
  for (uint32_t a = 0x900; a < 0xA00; ++a) words[a] = kBlankWord;
  const uint32_t start = kServerVersionRoutineEnd - 36;
  for (uint32_t k = 0; k < 37; ++k) words[start + k] = kServerVersionSignature[k];
  words[kServerVersionRoutineEnd - 43] = kLoadLiteral | x;
  words[kServerVersionRoutineEnd - 40] = kLoadLiteral | y;
  return words;
}

TServerWords MakeServerTestFirmware(uint8_t identity, uint32_t seed) {
  TServerWords words = ServerBase(0x3FF, seed);
  words[0x103] = kReturnLiteral | identity;
  for (uint32_t k = 0; k < 6; ++k) words[kServerTestMarkAt + k] = kServerTestMark[k];
  return words;
}

std::vector<std::pair<std::string, std::string>> StandardFiles(const TFirmwareSet& set) {
  std::vector<THandheldImage> modem, handheld, test;
  for (uint8_t hw : set.Hws) {
    modem.push_back(MakeModemImage(hw, set.ModemVersion));
    handheld.push_back(MakeHandheldFirmware(hw, set.HandheldVersion));
    test.push_back(MakeHandheldTestFirmware(hw));
  }
  const TServerWords server = MakeServerFirmware(set.ServerX, set.ServerY);
  return {{"qvftune.qpf", WriteQpf(test)},
          {"srvftune.sff", WriteSff(MakeServerTestFirmware(set.ServerTestIdentity))},
          {"qvmodem.qpf", WriteQpf(modem)},
          {"qvhandheld.qpf", WriteQpf(handheld)},
          {"qvserver.hex", WriteHex(server)},
          {"qvserver.sff", WriteSff(server)}};
}

}  // namespace bench
