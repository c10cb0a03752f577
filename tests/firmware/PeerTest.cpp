// Intel HEX written by programs no one here wrote: a PIC14 program
// assembled by gpasm (checked word for word against gpdasm's listing of the
// same file), and binaries turned into HEX by GNU objcopy and by srecord's
// srec_cat, in every line-end convention.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "bench/Firmware.h"
#include "firmware/Decode.h"
#include "tests/firmware/FileFixture.h"

namespace qv {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

std::string Quote(const std::filesystem::path& p) {
  return "'" + p.string() + "'";
}

// Runs a shell command, giving its standard output; fails the test when the
// command fails.
std::string RunPeer(const std::string& command) {
  std::string out;
  std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << command;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int status = ::pclose(pipe);
  EXPECT_EQ(status, 0) << command << "\n" << out;
  return out;
}

TServerImage Decode(const std::string& hex, uint8_t& status) {
  TServerImage image;
  DecodeHex(TInput(reinterpret_cast<const uint8_t*>(hex.data()), hex.size()), TStopTest(), image, status);
  return image;
}

// Every line end of text replaced by eol.
std::string WithLineEnds(const std::string& text, const std::string& eol) {
  std::string out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out += line + eol;
  }
  return out;
}

TEST(HexPeerTest, GpasmProgramDecodesToTheAssemblersWords) {
  TTempDir dir;
  const auto hexPath = dir / "server.hex";
  RunPeer("gpasm -a inhx8m -o " + Quote(hexPath) + " " + Quote(std::filesystem::path(QV_PEERS_DIR) / "server_version.asm"));
  const std::string hex = ReadFile(hexPath);

  // gpdasm lists "addr:  word  mnemonic" for every word in the file.
  std::map<uint32_t, uint16_t> listed;
  std::istringstream listing(RunPeer("gpdasm -p p16f877 " + Quote(hexPath)));
  std::string line;
  while (std::getline(listing, line)) {
    unsigned address = 0, word = 0;
    if (std::sscanf(line.c_str(), "%x: %x", &address, &word) == 2) listed[address] = static_cast<uint16_t>(word);
  }
  ASSERT_GT(listed.size(), 50u);

  for (const std::string eol : {"\r\n", "\n", "\r", "\n\r"}) {
    SCOPED_TRACE(testing::PrintToString(eol));
    uint8_t status = 0xEE;
    const TServerImage image = Decode(WithLineEnds(hex, eol), status);
    ASSERT_EQ(status, fsDecoded);
    size_t held = 0;
    for (const auto& [address, word] : listed) {
      if (!TServerImage::Holds(address)) continue;  // the configuration word at 0x2007
      EXPECT_EQ(image.At(address), word) << std::hex << address;
      ++held;
    }
    size_t nonBlank = 0;
    for (uint16_t w : image.Words) nonBlank += w != TServerImage::Blank;
    EXPECT_EQ(nonBlank, held) << "nothing the assembler did not write";
    EXPECT_EQ(ServerImageVersion(image), "V2.0.15a");
  }
}

struct TConverter {
  const char* Name;
  const char* Command;  // %IN% and %OUT% are replaced
};

void PrintTo(const TConverter& c, std::ostream* os) { *os << c.Name; }

class HexConverterTest : public ::testing::TestWithParam<TConverter> {};

TEST_P(HexConverterTest, BinaryConvertedToHexDecodesToTheSameWords) {
  // Program memory from 0x100 up as the bytes a programmer would read back:
  // low byte first, erased words as 0xFF 0xFF.
  const bench::TServerWords words = bench::MakeServerFirmware(0x25, 0x03);
  std::string bin;
  for (uint32_t a = TServerImage::First; a < 0xC00; ++a) {
    const uint16_t w = words[a] == bench::kBlankWord ? 0xFFFF : words[a];
    bin += static_cast<char>(w & 0xFF);
    bin += static_cast<char>(w >> 8);
  }
  TTempDir dir;
  WriteFile(dir / "in.bin", bin);
  std::string command = GetParam().Command;
  command.replace(command.find("%IN%"), 4, Quote(dir / "in.bin"));
  command.replace(command.find("%OUT%"), 5, Quote(dir / "out.hex"));
  RunPeer(command);
  const std::string hex = ReadFile(dir / "out.hex");

  for (const std::string eol : {"\r\n", "\n", "\r", "\n\r"}) {
    SCOPED_TRACE(testing::PrintToString(eol));
    uint8_t status = 0xEE;
    const TServerImage image = Decode(WithLineEnds(hex, eol), status);
    ASSERT_EQ(status, fsDecoded);
    for (uint32_t a = TServerImage::First; a <= TServerImage::Last; ++a) {
      // An erased word read back is 0x3FFF: its high byte keeps 6 bits.
      const uint16_t expected = a >= 0xC00 ? TServerImage::Blank : words[a] == bench::kBlankWord ? 0x3FFF : words[a];
      ASSERT_EQ(image.At(a), expected) << std::hex << a;
    }
    EXPECT_EQ(ServerImageVersion(image), "V2.1.3a");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Peers, HexConverterTest,
    ::testing::Values(TConverter{"Objcopy", "objcopy -I binary -O ihex --change-addresses 0x200 %IN% %OUT%"},
                      TConverter{"SrecCat", "srec_cat %IN% -binary -offset 0x200 -o %OUT% -intel"}),
    [](const ::testing::TestParamInfo<TConverter>& p) { return std::string(p.param.Name); });

}  // namespace
}  // namespace qv
