#include "firmware/Decode.h"

#include <algorithm>
#include <cstring>

namespace qv {

const uint16_t kServerSignature[37] = {
    0x3A0A, 0x1C23, 0x1D03, 0x3406, 0x30E0, 0x0522, 0x1CA3, 0x1D03, 0x3406, 0x3022, 0x0084, 0x1703, 0x0800,
    0x008F, 0x0A84, 0x0800, 0x008D, 0x1683, 0x178C, 0x140C, 0x0000, 0x0000, 0x1283, 0x0A84, 0x0800, 0x060E,
    0x393F, 0x1D03, 0x1784, 0x0A84, 0x0800, 0x060C, 0x1D03, 0x1784, 0x0A8D, 0x1C8D, 0x180D};

const uint8_t kModemSignature[8] = {0xDC, 0x03, 0xDB, 0x32, 0xAD, 0x7E, 0x20, 0xDB};

namespace {

constexpr uint32_t kMinBlock = 64;
constexpr uint32_t kMaxBlock = 8191;
constexpr size_t kMinRawBin = 65;
constexpr size_t kMaxRawBin = 8191;

constexpr size_t kHexMinRecord = 13;
constexpr uint32_t kHexWindowFirst = 0x200;  // byte addresses of program words 0x100..0x1FFF
constexpr uint32_t kHexWindowEnd = 0x4000;
constexpr char kHexEndRecord[] = ":00000001FF";

constexpr uint8_t kSffMarker = 0xFF;
constexpr uint32_t kSffLastStart = 0x20FF;
constexpr uint16_t kSffSkip = 0x8000;

constexpr size_t kModemSearchFrom = 66;
constexpr size_t kHandheldVersionMinLength = 0xF00;
constexpr size_t kHandheldVersionPointer = 0xEFE;
constexpr size_t kHandheldVersionFloor = 64;
constexpr size_t kHandheldVersionMaxText = 12;
constexpr uint32_t kServerSearchFrom = 0x10C;
constexpr uint16_t kLoadLiteral = 0x30;  // high byte of an instruction that loads an 8-bit literal

// Scrambled bytes of a package, read in file order on one keystream.
class TScrambled {
 public:
  TScrambled(TInput input) : FIn(input), FState(KeystreamSeed(input[0], input[1])) {}
  uint8_t Byte() { return static_cast<uint8_t>(FIn[FAt++] ^ NextMaskByte(FState)); }
  uint16_t Word() {
    const uint8_t high = Byte();
    return static_cast<uint16_t>(high << 8 | Byte());
  }
  void Skip() {
    ++FAt;
    NextMaskByte(FState);
  }

 private:
  TInput FIn;
  uint32_t FState;
  size_t FAt = 2;
};

int HexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The value of count hexadecimal characters from index at (0-based), or -1.
int32_t HexField(TInput line, size_t at, size_t count) {
  int32_t value = 0;
  for (size_t i = at; i < at + count; ++i) {
    const int d = HexDigit(line[i]);
    if (d < 0) return -1;
    value = value << 4 | d;
  }
  return value;
}

bool IsLineEnd(uint8_t c) {
  return c == '\r' || c == '\n';
}

bool IsVersionChar(char c) {
  return c == ' ' || c == '.' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

uint32_t KeystreamSeed(uint8_t b0, uint8_t b1) {
  return 0x010000u + 256u * b0 + b1;
}

uint8_t NextMaskByte(uint32_t& state) {
  const uint32_t f = ((state >> 10) ^ (state >> 15)) & 0xFF;
  state = ((state & 0xFFFF) << 8) | ((state >> 16) & 0xFF);
  state ^= f;
  return static_cast<uint8_t>(state & 0xFF);
}

void DecodeQpf(TInput input, uint8_t hw, TStopTest stop, THandheldImage& image, uint16_t& length, uint8_t& status) {
  int64_t n = static_cast<int64_t>(input.size()) - 2;
  if (n <= 1) return;
  TScrambled in(input);
  while (n > 1 && !stop()) {
    const uint32_t blockLength = in.Word();
    n -= 2;
    if (blockLength < kMinBlock || blockLength > kMaxBlock || blockLength > n) {
      n = -1;
      break;
    }
    status = fsNoImage;
    length = static_cast<uint16_t>(blockLength);
    n -= blockLength;
    for (uint32_t i = 0; i < blockLength; ++i) image[i] = in.Byte();
    if (image[0] == hw) {
      status = fsDecoded;
      n = 0;
      break;
    }
  }
  // A byte left over, an invalid length or an interruption.
  if (n != 0) status = fsInvalid;
}

void DecodeRawBin(TInput input, uint8_t hw, THandheldImage& image, uint16_t& length, uint8_t& status) {
  // A raw binary has 65..8191 bytes; only a package block may have 64.
  if (input.size() < kMinRawBin || input.size() > kMaxRawBin) return;
  if (input[0] != hw) {
    status = fsNoImage;
    return;
  }
  std::copy(input.begin(), input.end(), image.begin());
  length = static_cast<uint16_t>(input.size());
  status = fsDecoded;
}

void DecodeHex(TInput input, TStopTest stop, TServerImage& image, uint8_t& status) {
  image.Clear();
  status = fsDecoded;
  bool dataSeen = false;
  size_t at = 0;
  while (at < input.size() && status == fsDecoded) {
    if (stop()) {
      status = fsInvalid;
      break;
    }
    const size_t start = at;
    while (at < input.size() && !IsLineEnd(input[at])) ++at;
    const TInput line = input.subspan(start, at - start);
    // CR, LF, CR LF and LF CR each end one line; CR CR leaves an empty one.
    if (at < input.size()) {
      const uint8_t end = input[at++];
      if (at < input.size() && IsLineEnd(input[at]) && input[at] != end) ++at;
    }

    if (line.size() < kHexMinRecord || line[0] != ':') {
      const bool endRecord = line.size() == sizeof kHexEndRecord - 1 &&
                             std::memcmp(line.data(), kHexEndRecord, line.size()) == 0;
      if (!endRecord) status = fsInvalid;
      continue;
    }
    // The record type and the checksum are not examined: every record
    // line is data, and what lands outside the program window is ignored.
    dataSeen = true;
    const int32_t count = HexField(line, 1, 2);
    int32_t address = HexField(line, 3, 4);
    if (count < 0 || address < 0 || count > static_cast<int32_t>(line.size()) - 5) {
      status = fsInvalid;
      continue;
    }
    for (int32_t k = 1; k <= count; ++k) {
      // Data byte k is characters 2k+8 and 2k+9, counted from 1. A count
      // that passes the length check can still point past the line's end;
      // those characters belong to the next line, or to no line at all.
      const auto first = static_cast<size_t>(2 * k + 7);
      if (first + 2 > line.size()) {
        status = fsInvalid;
        break;
      }
      const int32_t v = HexField(line, first, 2);
      if (v < 0) {
        status = fsInvalid;
        break;
      }
      if (address >= static_cast<int32_t>(kHexWindowFirst) && address < static_cast<int32_t>(kHexWindowEnd)) {
        uint16_t& w = image.At(static_cast<uint32_t>(address) / 2);
        if (address & 1)
          w = static_cast<uint16_t>(((v & 0x3F) << 8) + (w & 0x00FF));
        else
          w = static_cast<uint16_t>((w & 0x3F00) + v);
      }
      address = (address + 1) & 0xFFFF;
    }
  }
  if (!dataSeen) status = fsInvalid;
}

void DecodeSff(TInput input, TStopTest stop, TServerImage& image, uint8_t& status) {
  image.Clear();
  int64_t n = static_cast<int64_t>(input.size()) - 2;
  if (n <= 3) return;
  TScrambled in(input);
  const uint32_t count = in.Word();
  const uint8_t marker = in.Byte();
  in.Skip();  // the spare byte still takes a mask byte
  n -= 4;
  const uint32_t body = (count - 2) & 0xFFFF;
  if (static_cast<int64_t>(body) != n || (body & 1) != 0 || marker != kSffMarker) {
    status = fsInvalid;
    return;
  }
  uint32_t a = marker + 1u;
  bool invalid = false;
  while (n > 0 && !stop()) {
    n -= 2;
    const uint16_t t = in.Word();
    if (a > kSffLastStart) {
      invalid = true;
      break;
    }
    if (t >= kSffSkip) {
      a = (a + 4u * (t - kSffSkip)) & 0xFFFF;
      continue;
    }
    // A body that ends inside a group is damaged, even when it ends right
    // after the group's first word.
    if (n < 6) {
      invalid = true;
      break;
    }
    const uint16_t group[4] = {t, in.Word(), in.Word(), in.Word()};
    // Words outside 0x100..0x1FFF (configuration words at 0x2000 and up,
    // or an address wrapped below 0x100) have no place in the slot and are
    // dropped, as the HEX decoder ignores records there.
    for (uint32_t j = 0; j < 4; ++j)
      if (TServerImage::Holds(a + j)) image.At(a + j) = group[j];
    a += 4;
    n -= 6;
  }
  status = n == 0 && !invalid ? fsDecoded : fsInvalid;
}

std::string FormatHwVersion(uint8_t value) {
  return "V" + std::to_string(value >> 4) + "." + std::to_string(value & 0x0F);
}

std::string ModemImageVersion(const THandheldImage& image, uint16_t length) {
  const size_t n = std::min<size_t>(length, image.size());
  uint8_t version = image[3];
  constexpr size_t sig = sizeof kModemSignature;
  for (size_t start = kModemSearchFrom; start + sig <= n; ++start) {
    if (std::memcmp(&image[start], kModemSignature, sig) != 0) continue;
    const size_t e = start + sig - 1;
    if (e + 1 < image.size() && image[e + 1] == image[e - 8]) version = image[e + 1];
    break;
  }
  return FormatHwVersion(version);
}

std::string HandheldImageVersion(const THandheldImage& image, uint16_t length) {
  const size_t n = std::min<size_t>(length, image.size());
  std::string text;
  if (n >= kHandheldVersionMinLength) {
    const size_t p = image[kHandheldVersionPointer] * 256u + image[kHandheldVersionPointer + 1];
    if (p > kHandheldVersionFloor && p < n) {
      // The text reads forwards from a 'V' or 'v' up to byte p + 1; it is
      // gathered backwards from there.
      size_t i = p + 1;
      for (;;) {
        if (i >= image.size()) {
          text.clear();
          break;
        }
        const char c = static_cast<char>(image[i]);
        text.insert(text.begin(), c == 'v' ? 'V' : c);
        --i;
        if (i == kHandheldVersionFloor || text.size() > kHandheldVersionMaxText || !IsVersionChar(text[0]))
          text.clear();
        if (text.empty() || text[0] == 'V') break;
      }
    }
  }
  if (text.empty()) text = FormatHwVersion(image[1]);
  return text;
}

std::string ServerImageVersion(const TServerImage& image) {
  constexpr uint32_t sig = sizeof kServerSignature / sizeof kServerSignature[0];
  for (uint32_t start = kServerSearchFrom; start + sig - 1 <= TServerImage::Last; ++start) {
    uint32_t k = 0;
    while (k < sig && image.At(start + k) == kServerSignature[k]) ++k;
    if (k < sig) continue;
    const uint32_t e = start + sig - 1;
    const uint16_t b = image.At(e - 43);
    const uint16_t c = image.At(e - 40);
    if ((b >> 8) != kLoadLiteral || (c >> 8) != kLoadLiteral) return {};
    return ServerVersionFromBytes(static_cast<uint8_t>(b & 0xFF), static_cast<uint8_t>(c & 0xFF));
  }
  return {};
}

std::string ServerVersionFromBytes(uint8_t x, uint8_t y) {
  std::string text = "V";
  text += static_cast<char>('1' + ((x >> 2) & 7));
  text += '.';
  text += static_cast<char>('0' + (x & 3));
  text += '.';
  text += std::to_string(y);
  if (x >= 0x20) text += static_cast<char>(0x60 + (x >> 5));
  return text;
}

}  // namespace qv
