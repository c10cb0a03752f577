// The pure decoders and version finders, on inputs built byte by byte and
// on packages from the bench's own writer (written from the file formats,
// independently of the decoders).
#include "firmware/Decode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench/Firmware.h"

namespace qv {
namespace {

TInput Bytes(const std::string& s) {
  return TInput(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::string Str(const std::vector<uint8_t>& v) {
  return std::string(v.begin(), v.end());
}

// ---- the keystream ----

TEST(KeystreamTest, FirstMaskBytesFollowTheStateRotation) {
  // Worked by hand from s = 0x010000 (seed bytes 0, 0): f = 0x40 ^ 0x02,
  // the rotation gives 0x000001, so the first mask byte is 0x43.
  uint32_t s = KeystreamSeed(0x00, 0x00);
  const std::vector<uint8_t> expected = {0x43, 0x00, 0x10, 0x05, 0x04, 0x31, 0x4E, 0x00};
  for (uint8_t e : expected) EXPECT_EQ(NextMaskByte(s), e);
  s = KeystreamSeed(0x5A, 0xC3);
  for (int e : {0x55, 0x5F, 0x90, 0xA8, 0x04, 0x9B, 0xF9, 0x2B}) EXPECT_EQ(NextMaskByte(s), e);
  EXPECT_LT(s, 1u << 24) << "the state stays 24 bits wide";
}

// ---- handheld inputs ----

bench::THandheldImage Image(uint8_t hw, size_t length, uint8_t fill) {
  bench::THandheldImage image(length, fill);
  image[0] = hw;
  return image;
}

struct THandheldResult {
  uint8_t Status;
  uint16_t Length;
  THandheldImage Slot;
};

THandheldResult DecodeHandheld(const std::string& input, uint8_t hw) {
  THandheldResult r{fsInvalid, 0, {}};
  DecodeQpf(Bytes(input), hw, TStopTest(), r.Slot, r.Length, r.Status);
  if (r.Status == fsInvalid) DecodeRawBin(Bytes(input), hw, r.Slot, r.Length, r.Status);
  return r;
}

TEST(QpfTest, FirstMatchingBlockWinsAndOthersAreNoImage) {
  const std::string qpf = bench::WriteQpf({Image(0x21, 100, 0xA1), Image(0x22, 64, 0xA2), Image(0x22, 80, 0xA3)});
  THandheldResult r = DecodeHandheld(qpf, 0x22);
  ASSERT_EQ(r.Status, fsDecoded);
  EXPECT_EQ(r.Length, 64) << "a package block may have 64 bytes";
  EXPECT_EQ(r.Slot[0], 0x22);
  EXPECT_EQ(r.Slot[63], 0xA2);

  r = DecodeHandheld(qpf, 0x23);
  EXPECT_EQ(r.Status, fsNoImage) << "well-formed, no image for this hardware: not tried as a raw binary";
  EXPECT_EQ(r.Length, 80) << "the last block read stays in the slot";
}

TEST(QpfTest, DamagedPackagesAreInvalid) {
  const std::string good = bench::WriteQpf({Image(0x21, 100, 0x11)});
  struct TCase {
    const char* Name;
    std::string Input;
  };
  const std::vector<TCase> cases = {
      {"Empty", ""},
      {"SeedOnly", good.substr(0, 3)},
      {"TruncatedBlock", good.substr(0, good.size() - 1)},
      {"OneByteLeftOver", good + "x"},
      {"BlockOf63", bench::WriteQpf({Image(0x22, 64, 0)}).replace(3, 1, 1, static_cast<char>(good[3] ^ 100 ^ 63))},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    THandheldResult r{fsInvalid, 0, {}};
    DecodeQpf(Bytes(c.Input), 0x22, TStopTest(), r.Slot, r.Length, r.Status);
    EXPECT_EQ(r.Status, fsInvalid);
  }
}

TEST(QpfTest, StopsWithInvalidWhenTerminating) {
  const std::string qpf = bench::WriteQpf({Image(0x21, 100, 0), Image(0x22, 100, 0)});
  int asked = 0;
  const auto stopAfterOne = [&] { return ++asked > 1; };
  THandheldResult r{fsInvalid, 0, {}};
  DecodeQpf(Bytes(qpf), 0x22, TStopTest(stopAfterOne), r.Slot, r.Length, r.Status);
  EXPECT_EQ(r.Status, fsInvalid);
  EXPECT_EQ(r.Slot[0], 0x21) << "stopped between the blocks";
}

TEST(RawBinTest, AcceptsSixtyFiveToEightKilobytesLessOne) {
  struct TCase {
    size_t Length;
    uint8_t Hw;
    uint8_t Status;
  };
  for (const TCase& c : {TCase{64, 0x21, fsInvalid}, TCase{65, 0x21, fsDecoded}, TCase{65, 0x22, fsNoImage},
                         TCase{8191, 0x21, fsDecoded}, TCase{8192, 0x21, fsInvalid}}) {
    SCOPED_TRACE(c.Length);
    const THandheldResult r = DecodeHandheld(Str(Image(0x21, c.Length, 0x5E)), c.Hw);
    EXPECT_EQ(r.Status, c.Status);
    if (c.Status == fsDecoded) {
      EXPECT_EQ(r.Length, c.Length);
      EXPECT_EQ(r.Slot[c.Length - 1], 0x5E);
    }
  }
}

// ---- Intel HEX ----

struct THexResult {
  uint8_t Status;
  TServerImage Image;
};

THexResult Hex(const std::string& text, TStopTest stop = TStopTest()) {
  THexResult r{0xEE, {}};
  DecodeHex(Bytes(text), stop, r.Image, r.Status);
  return r;
}

// Words 0x100 = 0x0183 and 0x101 = 0x2A00 at byte address 0x200.
const std::string kRecord = ":0402000083010022D3";
const std::string kEnd = ":00000001FF";

struct THexCase {
  const char* Name;
  std::string Text;
  uint8_t Status;
  uint16_t Word100, Word101;
};

void PrintTo(const THexCase& c, std::ostream* os) { *os << c.Name; }

class HexCases : public ::testing::TestWithParam<THexCase> {};

TEST_P(HexCases, Decode) {
  const THexCase& c = GetParam();
  const THexResult r = Hex(c.Text);
  EXPECT_EQ(r.Status, c.Status);
  if (c.Status == fsDecoded) {
    EXPECT_EQ(r.Image.At(0x100), c.Word100);
    EXPECT_EQ(r.Image.At(0x101), c.Word101);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Hex, HexCases,
    ::testing::Values(
        THexCase{"CrLf", kRecord + "\r\n" + kEnd + "\r\n", fsDecoded, 0x0183, 0x2200},
        THexCase{"Lf", kRecord + "\n" + kEnd + "\n", fsDecoded, 0x0183, 0x2200},
        THexCase{"Cr", kRecord + "\r" + kEnd + "\r", fsDecoded, 0x0183, 0x2200},
        THexCase{"LfCr", kRecord + "\n\r" + kEnd + "\n\r", fsDecoded, 0x0183, 0x2200},
        THexCase{"NoFinalLineEnd", kRecord + "\r\n" + kEnd, fsDecoded, 0x0183, 0x2200},
        THexCase{"LowerCaseDigits", ":0402000083010022d3\n", fsDecoded, 0x0183, 0x2200},
        THexCase{"CrCrLeavesAnEmptyLine", kRecord + "\r\r" + kEnd, fsInvalid, 0, 0},
        THexCase{"EndRecordAlone", kEnd + "\r\n", fsInvalid, 0, 0},
        THexCase{"Empty", "", fsInvalid, 0, 0},
        THexCase{"RecordAfterTheEndIsRead", kEnd + "\n" + kRecord + "\n", fsDecoded, 0x0183, 0x2200},
        THexCase{"ChecksumAndTypeNotExamined", ":04020005830100220000\n", fsDecoded, 0x0183, 0x2200},
        THexCase{"CountZeroChangesNothing", ":000200000000\n" + kRecord, fsDecoded, 0x0183, 0x2200},
        THexCase{"LowByteOnlyKeeps3FHigh", ":0102000083FF\n", fsDecoded, 0x3F83, 0xFFFF},
        THexCase{"HighByteOnlyKeepsFFLow", ":0102010001FF\n", fsDecoded, 0x01FF, 0xFFFF},
        THexCase{"HighBitsAboveSixDropped", ":0202000083FF00\n", fsDecoded, 0x3F83, 0xFFFF},
        THexCase{"BelowTheWindowIgnored", ":0401FE00830100220000\n", fsDecoded, 0x2200, 0xFFFF},
        THexCase{"AtTheTopIgnored", ":04400000830100220000\n", fsDecoded, 0xFFFF, 0xFFFF},
        THexCase{"ExtendedAddressWritesBelow", ":020000040000FA\n" + kRecord, fsDecoded, 0x0183, 0x2200},
        THexCase{"ShortLineInvalid", ":0000000000\n" + kRecord, fsInvalid, 0, 0},
        THexCase{"NoColonInvalid", "x0402000083010022D3\n", fsInvalid, 0, 0},
        THexCase{"BadCountDigit", ":0G02000083010022D3\n", fsInvalid, 0, 0},
        THexCase{"BadDataDigit", ":04020000830Z0022D3\n", fsInvalid, 0, 0},
        THexCase{"CountOverTheLengthCheck", ":0F02000083010022D3\n", fsInvalid, 0, 0},
        // The count passes the length check (6 <= 13 - 5) but data bytes 3..6
        // would come from past the line's end: the next line, or nothing.
        THexCase{"DataPastTheLineEnd", ":060200008301\n0022D3FFFF\n" + kRecord, fsInvalid, 0, 0},
        THexCase{"DataPastTheInputEnd", ":0602000083010", fsInvalid, 0, 0}),
    [](const ::testing::TestParamInfo<THexCase>& p) { return std::string(p.param.Name); });

TEST(HexTest, BlanksTheSlotFirstAndStopsWhenTerminating) {
  THexResult r{0, {}};
  r.Image.Words.fill(0x1234);
  DecodeHex(Bytes(kRecord + "\n"), TStopTest(), r.Image, r.Status);
  EXPECT_EQ(r.Image.At(0x102), TServerImage::Blank);

  int lines = 0;
  const auto stopAfterOne = [&] { return ++lines > 1; };
  EXPECT_EQ(Hex(kRecord + "\n" + kRecord + "\n", TStopTest(stopAfterOne)).Status, fsInvalid);
}

// ---- SFF packages ----

struct TSffResult {
  uint8_t Status;
  TServerImage Image;
};

TSffResult Sff(const std::string& input) {
  TSffResult r{fsInvalid, {}};
  r.Image.Words.fill(0x1234);
  DecodeSff(Bytes(input), TStopTest(), r.Image, r.Status);
  return r;
}

// A package built by hand: seed, L, marker, spare, then the tokens.
std::string SffOf(const std::vector<uint16_t>& tokens, uint8_t marker = 0xFF, int extraLength = 0) {
  std::string plain;
  const auto put16 = [&](uint16_t v) {
    plain += static_cast<char>(v >> 8);
    plain += static_cast<char>(v & 0xFF);
  };
  put16(static_cast<uint16_t>(2 + 2 * tokens.size() + extraLength));
  plain += static_cast<char>(marker);
  plain += '\0';
  for (uint16_t t : tokens) put16(t);
  uint32_t s = KeystreamSeed(0x12, 0x34);
  std::string out = "\x12\x34";
  for (char c : plain) out += static_cast<char>(static_cast<uint8_t>(c) ^ NextMaskByte(s));
  return out;
}

TEST(SffTest, GroupsAndSkipsPlaceWordsFromTheBottom) {
  const TSffResult r = Sff(SffOf({0x0183, 0x2A00, 0x0000, 0x3FFF, 0x8002, 0x0001, 0x0002, 0x0003, 0x0004}));
  ASSERT_EQ(r.Status, fsDecoded);
  EXPECT_EQ(r.Image.At(0x100), 0x0183);
  EXPECT_EQ(r.Image.At(0x103), 0x3FFF);
  EXPECT_EQ(r.Image.At(0x104), TServerImage::Blank) << "two groups skipped";
  EXPECT_EQ(r.Image.At(0x10C), 0x0001);
  EXPECT_EQ(r.Image.At(0x10F), 0x0004);
  EXPECT_EQ(r.Image.At(0x110), TServerImage::Blank);
}

TEST(SffTest, DamagedPackagesAreInvalidAndLeaveTheSlotBlank) {
  const std::string good = SffOf({0x0183, 0x2A00, 0x0000, 0x3FFF});
  struct TCase {
    const char* Name;
    std::string Input;
  };
  const std::vector<TCase> cases = {
      {"OddLength", good + "x"},
      {"BadMarker", SffOf({0x0183, 0x2A00, 0x0000, 0x3FFF}, 0xFE)},
      {"LengthDisagrees", SffOf({0x0183, 0x2A00, 0x0000, 0x3FFF}, 0xFF, 2)},
      {"EndsMidGroup", SffOf({0x0183, 0x2A00})},
      // The body ends right after a group's first word: nothing is left to
      // count, yet the group is incomplete.
      {"EndsAfterTheFirstWord", SffOf({0x0183, 0x2A00, 0x0000, 0x3FFF, 0x0042})},
      {"StartBeyondTheLastGroup", SffOf({0x8000 + 0x7FF, 0x8000 + 0x41, 0x0001})},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TSffResult r = Sff(c.Input);
    EXPECT_EQ(r.Status, fsInvalid);
    if (std::string(c.Name) != "EndsAfterTheFirstWord") {
      EXPECT_EQ(r.Image.At(0x100), TServerImage::Blank);
    }
  }
}

TEST(SffTest, TooShortForTheHeaderLeavesTheStatusAlone) {
  TSffResult r{0x77, {}};
  DecodeSff(Bytes("\x12\x34\x00\x00"), TStopTest(), r.Image, r.Status);
  EXPECT_EQ(r.Status, 0x77);
  EXPECT_EQ(r.Image.At(0x100), TServerImage::Blank);
}

TEST(SffTest, WordsOutsideProgramMemoryAreDroppedNeverWritten) {
  // Skip to 0x2000 (configuration words), then wrap the address below 0x100
  // and come back up to 0x100: nothing outside the slot is written, and the
  // package stays usable.
  const uint16_t toConfig = 0x8000 + (0x2000 - 0x100) / 4;
  const uint16_t wrapTo0F0 = 0x8000 + (0x10000 - 0x2004 + 0x00F0) / 4;
  TServerImage slots[3];
  for (auto& s : slots) s.Words.fill(0x1234);
  uint8_t status = fsInvalid;
  const std::string input =
      SffOf({toConfig, 0x3F39, 0x3F39, 0x3F39, 0x3F39, wrapTo0F0, 1, 2, 3, 4, 0x8003, 0x0AAA, 0x0BBB, 0x0CCC, 0x0DDD});
  DecodeSff(Bytes(input), TStopTest(), slots[1], status);
  EXPECT_EQ(status, fsDecoded);
  EXPECT_EQ(slots[1].At(0x1FFF), TServerImage::Blank);
  EXPECT_EQ(slots[1].At(0x100), 0x0AAA) << "after 0x0F0..0x0F3 (dropped) and three skipped groups";
  EXPECT_EQ(slots[1].At(0x10F), TServerImage::Blank);
  for (uint16_t w : slots[0].Words) ASSERT_EQ(w, 0x1234);
  for (uint16_t w : slots[2].Words) ASSERT_EQ(w, 0x1234);
}

// ---- the bench's writer against the decoders ----

TEST(WrittenPackagesTest, HexAndSffOfTheSameFirmwareDecodeAlike) {
  const bench::TServerWords words = bench::MakeServerFirmware(0x25, 0x03);
  const THexResult hex = Hex(bench::WriteHex(words));
  const TSffResult sff = Sff(bench::WriteSff(words));
  ASSERT_EQ(hex.Status, fsDecoded);
  ASSERT_EQ(sff.Status, fsDecoded);
  for (uint32_t a = TServerImage::First; a <= TServerImage::Last; ++a) {
    ASSERT_EQ(hex.Image.At(a), words[a]) << a;
    ASSERT_EQ(sff.Image.At(a), words[a]) << a;
  }
  EXPECT_EQ(ServerImageVersion(hex.Image), "V2.1.3a");
}

TEST(WrittenPackagesTest, HandheldSetDecodesForEveryHardware) {
  const bench::TFirmwareSet set;
  for (uint8_t hw : set.Hws) {
    SCOPED_TRACE(hw);
    std::vector<bench::THandheldImage> modem, firmware;
    for (uint8_t h : set.Hws) {
      modem.push_back(bench::MakeModemImage(h, set.ModemVersion));
      firmware.push_back(bench::MakeHandheldFirmware(h, set.HandheldVersion));
    }
    THandheldResult r = DecodeHandheld(bench::WriteQpf(modem), hw);
    ASSERT_EQ(r.Status, fsDecoded);
    EXPECT_EQ(ModemImageVersion(r.Slot, r.Length), "V1.3");
    r = DecodeHandheld(bench::WriteQpf(firmware), hw);
    ASSERT_EQ(r.Status, fsDecoded);
    EXPECT_EQ(HandheldImageVersion(r.Slot, r.Length), "V2.4");
    r = DecodeHandheld(bench::WriteRawBin(bench::MakeHandheldTestFirmware(hw)), hw);
    EXPECT_EQ(r.Status, fsDecoded);
  }
}

// ---- version texts ----

TEST(VersionTest, FormatHwVersion) {
  EXPECT_EQ(FormatHwVersion(0x12), "V1.2");
  EXPECT_EQ(FormatHwVersion(0xAB), "V10.11");
  EXPECT_EQ(FormatHwVersion(0x00), "V0.0");
}

THandheldImage ModemWithSignatureAt(size_t at, uint8_t before, uint8_t after) {
  THandheldImage image{};
  image[3] = 0x11;
  image[at - 1] = before;
  for (size_t i = 0; i < 8; ++i) image[at + i] = kModemSignature[i];
  if (at + 8 < image.size()) image[at + 8] = after;
  return image;
}

TEST(VersionTest, ModemVersionFromTheSignatureOrByteThree) {
  struct TCase {
    const char* Name;
    size_t At;
    uint8_t Before, After;
    uint16_t Length;
    const char* Text;
  };
  for (const TCase& c : {
           TCase{"Signature", 200, 0x23, 0x23, 1000, "V2.3"},
           TCase{"BytesDisagree", 200, 0x23, 0x24, 1000, "V1.1"},
           TCase{"BeforeByte66", 65, 0x23, 0x23, 1000, "V1.1"},
           TCase{"AtByte66", 66, 0x23, 0x23, 1000, "V2.3"},
           TCase{"PastTheLength", 200, 0x23, 0x23, 207, "V1.1"},
           TCase{"LastBytesOfTheImage", 992, 0x23, 0x23, 1000, "V2.3"},
           // The byte after the signature lies past the slot: byte 3 instead.
           TCase{"AtTheSlotsEnd", 8184, 0x23, 0x23, 8192, "V1.1"},
       }) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(ModemImageVersion(ModemWithSignatureAt(c.At, c.Before, c.After), c.Length), c.Text);
  }
}

THandheldImage HandheldWithText(size_t pointer, const std::string& text, size_t textEnd) {
  THandheldImage image{};
  image[1] = 0x37;
  image[0xEFE] = static_cast<uint8_t>(pointer >> 8);
  image[0xEFF] = static_cast<uint8_t>(pointer & 0xFF);
  for (size_t i = 0; i < text.size(); ++i) image[textEnd + 1 - text.size() + i] = static_cast<uint8_t>(text[i]);
  return image;
}

TEST(VersionTest, HandheldVersionBehindThePointer) {
  struct TCase {
    const char* Name;
    size_t Pointer;
    std::string Text;
    uint16_t Length;
    const char* Expected;
  };
  for (const TCase& c : {
           TCase{"Plain", 0x1000, "\x01V2.4b", 6000, "V2.4b"},
           TCase{"LowerV", 0x1000, "\x01v1.0", 6000, "V1.0"},
           TCase{"TwelveCharacters", 0x1000, "\x01V1.2 beta 77", 6000, "V1.2 beta 77"},
           TCase{"ThirteenTooLong", 0x1000, "\x01V1.2 beta 777", 6000, "V3.7"},
           TCase{"BadCharacter", 0x1000, "\x01V1-2", 6000, "V3.7"},
           TCase{"ShortImage", 0x0E00, "\x01V2.4", 3839, "V3.7"},
           TCase{"PointerAt64", 64, "V1", 6000, "V3.7"},
           TCase{"JustAboveTheFloor", 66, "V1", 6000, "V1"},
           TCase{"ReachesTheFloor", 65, "V1", 6000, "V3.7"},
           TCase{"PointerAtLength", 6000, "\x01V9", 6000, "V3.7"},
           TCase{"LastByteOfTheSlot", 8190, "\x01V8.1", 8191, "V8.1"},
       }) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(HandheldImageVersion(HandheldWithText(c.Pointer, c.Text, c.Pointer + 1), c.Length), c.Expected);
  }
  // A length past the slot (set by hand) never reads beyond it.
  EXPECT_EQ(HandheldImageVersion(HandheldWithText(8191, "V7", 8191), 9000), "V3.7");
}

TServerImage ServerWithSignatureEndingAt(uint32_t e, uint16_t b, uint16_t c) {
  TServerImage image;
  image.Clear();
  for (uint32_t k = 0; k < 37; ++k) image.At(e - 36 + k) = kServerSignature[k];
  image.At(e - 43) = b;
  image.At(e - 40) = c;
  return image;
}

TEST(VersionTest, ServerVersionFromTheLiteralsBeforeTheSignature) {
  EXPECT_EQ(ServerImageVersion(ServerWithSignatureEndingAt(0x800, 0x3024, 0x300F)), "V2.0.15a");
  EXPECT_EQ(ServerImageVersion(ServerWithSignatureEndingAt(0x800, 0x3006, 0x3000)), "V2.2.0");
  EXPECT_EQ(ServerImageVersion(ServerWithSignatureEndingAt(0x800, 0x3024, 0x340F)), "") << "not a literal load";
  EXPECT_EQ(ServerImageVersion(ServerWithSignatureEndingAt(0x1FFF, 0x30FF, 0x3001)), "V8.3.1g") << "top of memory";
  // The lowest place the search looks at, with both literals inside the slot.
  EXPECT_EQ(ServerImageVersion(ServerWithSignatureEndingAt(0x10C + 36, 0x3001, 0x3002)), "V1.1.2");
  TServerImage below = ServerWithSignatureEndingAt(0x10B + 36, 0x3001, 0x3002);
  EXPECT_EQ(ServerImageVersion(below), "") << "starts before 0x10C";
  TServerImage blank;
  blank.Clear();
  EXPECT_EQ(ServerImageVersion(blank), "");
}

TEST(VersionTest, ServerVersionFromBytes) {
  EXPECT_EQ(ServerVersionFromBytes(0x24, 0x0F), "V2.0.15a");
  EXPECT_EQ(ServerVersionFromBytes(0x1F, 200), "V8.3.200");
  EXPECT_EQ(ServerVersionFromBytes(0xE0, 0), "V1.0.0g");
}

}  // namespace
}  // namespace qv
