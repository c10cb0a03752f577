#include "firmware/Payload.h"

#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/firmware/FileFixture.h"

namespace qv {
namespace {

using test::GetU32At;
using test::MakeElf;
using test::MakePe;
using test::Pattern;
using test::TTempDir;
using test::U32;
using test::WriteFile;

const std::string kMagic(kTrailerMagic, sizeof kTrailerMagic);

std::string Trailer(uint32_t offset, uint32_t size, const std::string& magic = kMagic) {
  return U32(offset) + U32(size) + magic;
}

std::string AsString(const TPayload& payload) {
  return std::string(reinterpret_cast<const char*>(payload.Data.get()), static_cast<size_t>(payload.Size));
}

// A payload left over from an earlier read must not survive a failed one.
TPayload StalePayload() {
  TPayload p;
  p.Data.reset(new uint8_t[3]{1, 2, 3});
  p.Size = 3;
  return p;
}

struct TLocateCase {
  const char* Name;
  std::string File;
  TPayloadRead Expected;
  int64_t Offset;  // of the payload, when found
  int32_t Size;
};

// Checks one program file through both entry points: from disk and in memory.
void ExpectLocated(const TLocateCase& c) {
  SCOPED_TRACE(c.Name);
  TTempDir dir;
  const auto path = dir / "program";
  WriteFile(path, c.File);

  TPayload payload = StalePayload();
  EXPECT_EQ(ReadProgramPayload(path.string(), payload), c.Expected);
  TPayloadSpan span;
  EXPECT_EQ(FindPayload(c.File, span), c.Expected);
  if (c.Expected == prFound) {
    EXPECT_EQ(span.Offset, c.Offset);
    EXPECT_EQ(span.Size, c.Size);
    ASSERT_EQ(payload.Size, c.Size);
    ASSERT_NE(payload.Data, nullptr);
    EXPECT_EQ(AsString(payload), c.File.substr(static_cast<size_t>(c.Offset), static_cast<size_t>(c.Size)));
  } else {
    EXPECT_EQ(payload.Data, nullptr);
    EXPECT_EQ(payload.Size, 0);
  }
}

TEST(PayloadLocate, PeFileKeepsThePayloadOffsetInItsHeader) {
  const std::vector<TLocateCase> cases = {
      {"plain build, field 0", MakePe(0x80, 0x200, 0), prNone, 0, 0},
      {"payload inside", MakePe(0x80, 0x200, 0x180), prFound, 0x180, 0x80},
      {"payload of the flags byte alone", MakePe(0x80, 0x200, 0x1FF), prFound, 0x1FF, 1},
      {"payload from offset 1", MakePe(0x80, 0x200, 1), prFound, 1, 0x1FF},
      {"field equals the size", MakePe(0x80, 0x200, 0x200), prNone, 0, 0},
      {"field past the end", MakePe(0x80, 0x200, 0x201), prNone, 0, 0},
      {"field all ones", MakePe(0x80, 0x200, 0xFFFFFFFF), prNone, 0, 0},
      {"header ends exactly after the field", MakePe(0x40, 0x40 + 72, 0), prNone, 0, 0},
      {"payload right after the field", MakePe(0x40, 0x40 + 80, 0x40 + 72), prFound, 0x40 + 72, 8},
      {"too short for the field by one byte", MakePe(0x80, 0x80 + 71, 0), prUnusable, 0, 0},
      {"only the PE signature fits", MakePe(0x80, 0x80 + 4, 0), prUnusable, 0, 0},
      // A valid-looking trailer means nothing in a PE file.
      {"trailer at the end of a PE file", MakePe(0x80, 0x200, 0) + Trailer(0, 0x200), prNone, 0, 0},
  };
  for (const auto& c : cases) ExpectLocated(c);
}

TEST(PayloadLocate, OtherProgramFilesUseTheTrailer) {
  const std::string body = MakeElf(0x300);
  const uint32_t n = 0x300;
  std::string mz = MakePe(0x1000, 0x100, 0);  // "MZ" whose header offset points past the end: not PE
  std::string mzWrongSig = MakePe(0x80, 0x200, 0x180);
  mzWrongSig[0x80 + 1] = 'X';  // "PX\0\0" at h: not PE, so the header field is not read
  std::string mzWrongSigEnd = MakePe(0x80, 0x200, 0x180);
  mzWrongSigEnd[0x80 + 3] = 'X';  // "PE\0X"

  const std::vector<TLocateCase> cases = {
      {"plain build", body, prNone, 0, 0},
      {"trailer", body + Trailer(0x100, n - 0x100), prFound, 0x100, static_cast<int32_t>(n - 0x100)},
      {"trailer claiming the whole file", body + Trailer(0, n), prFound, 0, static_cast<int32_t>(n)},
      {"one-byte payload", body + Trailer(n - 1, 1), prFound, n - 1, 1},
      {"wrong magic, last byte", body + Trailer(0x100, n - 0x100, std::string(kMagic).replace(7, 1, "2")), prNone, 0,
       0},
      {"wrong magic, first byte", body + Trailer(0x100, n - 0x100, std::string(kMagic).replace(0, 1, "q")), prNone, 0,
       0},
      {"offset one too small", body + Trailer(0xFF, n - 0x100), prNone, 0, 0},
      {"offset one too large", body + Trailer(0x101, n - 0x100), prNone, 0, 0},
      {"size one too large", body + Trailer(0x100, n - 0xFF), prNone, 0, 0},
      {"size one too small", body + Trailer(0x100, n - 0x101), prNone, 0, 0},
      {"empty payload", body + Trailer(n, 0), prNone, 0, 0},
      {"offset and size wrapping 32 bits", body + Trailer(0xFFFFFFFF, n + 1), prNone, 0, 0},
      {"size counting the trailer too", body + Trailer(0x100, n - 0x100 + 16), prNone, 0, 0},
      {"MZ file with its header offset past the end", mz, prNone, 0, 0},
      {"MZ file with its header offset past the end, trailer", mz + Trailer(0x80, 0x80), prFound, 0x80, 0x80},
      {"MZ file without PE signature", mzWrongSig, prNone, 0, 0},
      {"MZ file with a PE signature damaged at its end", mzWrongSigEnd, prNone, 0, 0},
      {"MZ file with its header offset 2 bytes before the end", MakePe(0xFE, 0x100, 0), prNone, 0, 0},
      {"smallest usable file", MakeElf(0x40), prNone, 0, 0},
      {"smallest usable file, trailer", MakeElf(0x30) + Trailer(0x20, 0x10), prFound, 0x20, 0x10},
  };
  for (const auto& c : cases) ExpectLocated(c);
}

TEST(PayloadLocate, FilesTooShortForTheHeaderOffsetAreUnusable) {
  const std::vector<TLocateCase> cases = {
      {"empty", "", prUnusable, 0, 0},
      {"one byte", "M", prUnusable, 0, 0},
      {"MZ alone", "MZ", prUnusable, 0, 0},
      {"ELF, 63 bytes", MakeElf(0x3F), prUnusable, 0, 0},
      {"MZ, 63 bytes", MakePe(0x20, 0x3F, 0), prUnusable, 0, 0},
      {"trailer alone", Trailer(0, 1), prUnusable, 0, 0},
      {"47 bytes and a trailer", MakeElf(0x2F) + Trailer(0x20, 0x0F), prUnusable, 0, 0},
  };
  for (const auto& c : cases) ExpectLocated(c);
}

TEST(PayloadLocate, UnreadableProgramFileIsUnusable) {
  TTempDir dir;
  std::filesystem::create_directory(dir / "folder");
  std::vector<std::string> paths = {"", (dir / "missing").string(), (dir / "folder").string(),
                                    (dir / "missing" / "program").string()};
#ifndef _WIN32
  // Windows has no such mode: a file without permissions is only read-only.
  if (geteuid() != 0) {  // root reads anything
    const auto locked = dir / "locked";
    WriteFile(locked, MakePe(0x80, 0x200, 0x180));
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    paths.push_back(locked.string());
  }
#endif
  for (const auto& path : paths) {
    SCOPED_TRACE(path);
    TPayload payload = StalePayload();
    EXPECT_EQ(ReadProgramPayload(path, payload), prUnusable);
    EXPECT_EQ(payload.Data, nullptr);
    EXPECT_EQ(payload.Size, 0);
  }
}

// Writes a sparse file of size bytes holding head at 0 and tail at the end;
// false when the file system stores the gap for real.
bool WriteSparse(const std::filesystem::path& path, const std::string& head, uint64_t size, const std::string& tail) {
  WriteFile(path, head);
  std::filesystem::resize_file(path, size);
  {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(size - tail.size()));
    f.write(tail.data(), static_cast<std::streamsize>(tail.size()));
    if (!f.good()) return false;
  }
#ifdef _WIN32
  // Windows makes a file sparse only when asked: the gap is stored.
  return false;
#else
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_blocks) * 512 < (64u << 20);
#endif
}

TEST(PayloadLocate, PayloadLargerThanInt32IsUnusable) {
  TTempDir dir;
  const uint64_t big = uint64_t{1} << 31;  // INT32_MAX + 1
  struct TCase {
    const char* Name;
    std::string Head;
    uint64_t Size;
    std::string Tail;
  };
  const std::vector<TCase> cases = {
      {"PE", MakePe(0x80, 0x100, 0x100), 0x100 + big, ""},
      // Cut to 32 bits this size would look like a 16-byte payload.
      {"PE past 4 GiB", MakePe(0x80, 0x100, 0x100), 0x100 + (uint64_t{1} << 32) + 16, ""},
      {"trailer", MakeElf(0x100), 0x100 + big + 16, Trailer(0x100, static_cast<uint32_t>(big))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const auto path = dir / "big";
    if (!WriteSparse(path, c.Head, c.Size, c.Tail)) GTEST_SKIP() << "no sparse files here";
    TPayload payload = StalePayload();
    EXPECT_EQ(ReadProgramPayload(path.string(), payload), prUnusable);
    EXPECT_EQ(payload.Data, nullptr);
    std::filesystem::remove(path);
  }
}

TEST(PayloadCaption, CountIncludesItselfAndIsClampedBeforeTheFlags) {
  struct TCase {
    const char* Name;
    std::string Payload;
    std::string Expected;
  };
  const std::vector<TCase> cases = {
      {"count 0", U32(0) + "abc" + "F", ""},
      {"count 3", U32(3) + "abc" + "F", ""},
      {"count 4", U32(4) + "abc" + "F", ""},
      {"count 5", U32(5) + "abc" + "F", "a"},
      {"count 7", U32(7) + "abc" + "F", "abc"},
      {"count 7, blocks follow", U32(7) + "abc" + U32(5) + "x" + "F", "abc"},
      {"count reaching the flags byte", U32(8) + "abc" + "F", "abc"},
      {"count past the end", U32(100) + "abcdef" + "F", "abcdef"},
      {"count with the top bit set", U32(0x80000005) + "abc" + "F", "abc"},
      {"8-bit bytes kept", U32(8) + std::string("a\0\xFF\r", 4) + "F", std::string("a\0\xFF\r", 4)},
      {"count alone, no flags byte", U32(4), ""},
      {"four bytes, count past the end", U32(9), ""},
      {"three bytes", std::string("\x07\0\0", 3), ""},
      {"one byte", "F", ""},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(
        PayloadCaption(reinterpret_cast<const uint8_t*>(c.Payload.data()), static_cast<int32_t>(c.Payload.size())),
        c.Expected);
  }
  EXPECT_EQ(PayloadCaption(nullptr, 0), "");
}

TEST(PayloadFlags, LastByte) {
  struct TCase {
    std::string Payload;
    uint8_t Expected;
  };
  const std::vector<TCase> cases = {
      {U32(4) + "\x0E", 0x0E}, {U32(4) + "\x02\x08", 0x08}, {"\xFF", 0xFF}, {std::string("\x0E\0", 2), 0}, {"", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Payload.size());
    EXPECT_EQ(PayloadFlags(reinterpret_cast<const uint8_t*>(c.Payload.data()), static_cast<int32_t>(c.Payload.size())),
              c.Expected);
  }
  EXPECT_EQ(PayloadFlags(nullptr, 0), 0);
}

TEST(PayloadBuild, BlocksAreLengthPrefixedInInputOrderWithFlagsLast) {
  std::string payload;
  std::string error;
  ASSERT_TRUE(BuildPayload("Cap", {"m", "", "srv", std::string_view("\0\xFF", 2), "t5"}, 0x0A, payload, error));
  const std::string expected = std::string("\x07\0\0\0", 4) + "Cap" +                     // caption
                               std::string("\x05\0\0\0", 4) + "m" +                       // RF modem firmware
                               std::string("\x04\0\0\0", 4) +                             // Quorvantis firmware, empty
                               std::string("\x07\0\0\0", 4) + "srv" +                     // Server firmware
                               std::string("\x06\0\0\0", 4) + std::string("\0\xFF", 2) +  // Quorvantis test
                               std::string("\x06\0\0\0", 4) + "t5" +                      // Server test firmware
                               "\x0A";
  EXPECT_EQ(payload, expected);
}

// Walks the blocks of a payload the way the program takes its inputs from it.
std::vector<std::string> Blocks(const std::string& payload) {
  std::vector<std::string> blocks;
  size_t at = 0;
  for (int i = 0; i < 6 && at + 4 <= payload.size(); ++i) {
    const uint32_t count = GetU32At(payload, at);
    if (count < 4 || at + count > payload.size()) break;
    blocks.push_back(payload.substr(at + 4, count - 4));
    at += count;
  }
  if (at + 1 != payload.size()) blocks.push_back("<flags byte not last>");
  return blocks;
}

struct TPacked {
  std::string Caption = "Quorvantis Pro fine-tuning V2.1 (RF V1.4, QV V3.0.2, SRV V1.2.6)";
  std::array<std::string, 5> Inputs = {Pattern(300, 1), Pattern(5000, 2), "", Pattern(64, 4),
                                       std::string("\0\0\xFF\r\n", 5)};
  uint8_t Flags = pfGoldenIsHandheld | pfAnalysisChecked | pfAnalysisShown;

  std::string Payload() const {
    std::string payload;
    std::string error;
    EXPECT_TRUE(BuildPayload(Caption, {Inputs[0], Inputs[1], Inputs[2], Inputs[3], Inputs[4]}, Flags, payload, error))
        << error;
    return payload;
  }
};

// Writes packed to a file, reads it back as the program does at start-up and
// checks what the window and the worker take from it.
void ExpectReadsBack(const std::string& packed, const TPacked& p, const std::string& payload) {
  TTempDir dir;
  WriteFile(dir / "packed", packed);
  TPayload read;
  ASSERT_EQ(ReadProgramPayload((dir / "packed").string(), read), prFound);
  EXPECT_EQ(AsString(read), payload);
  EXPECT_EQ(PayloadCaption(read.Data.get(), read.Size), p.Caption);
  EXPECT_EQ(PayloadFlags(read.Data.get(), read.Size), p.Flags);
  const std::vector<std::string> blocks = Blocks(AsString(read));
  ASSERT_EQ(blocks.size(), 6u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(blocks[i + 1], p.Inputs[i]) << "input " << i + 1;
}

TEST(PayloadPack, PeRoundTrip) {
  for (uint32_t field : {0u, 0xFFFFFFFFu, 0x1000u}) {  // any value the plain build may hold there
    SCOPED_TRACE(field);
    const uint32_t h = 0x80;
    const std::string program = MakePe(h, 0x400, field);
    const TPacked p;
    const std::string payload = p.Payload();
    std::string packed;
    std::string error;
    ASSERT_TRUE(AppendPayload(program, payload, packed, error)) << error;

    ASSERT_EQ(packed.size(), program.size() + payload.size());
    EXPECT_EQ(GetU32At(packed, h + 68), program.size());
    std::string restored = packed.substr(0, program.size());
    restored.replace(h + 68, 4, U32(field));
    EXPECT_EQ(restored, program) << "only the payload field may change";
    EXPECT_EQ(packed.substr(program.size()), payload);
    ExpectReadsBack(packed, p, payload);
  }
}

TEST(PayloadPack, ElfRoundTripOnARealBinary) {
  const std::string program = test::ReadFile("/proc/self/exe");
  ASSERT_GT(program.size(), 0x40u);
  ASSERT_EQ(program.substr(0, 4),
            "\x7f"
            "ELF");

  // A real build is plain, not unusable, although its bytes at 0x3C mean
  // nothing of the kind.
  TPayload plain;
  EXPECT_EQ(ReadProgramPayload("/proc/self/exe", plain), prNone);
  TPayloadSpan span;
  EXPECT_EQ(FindPayload(program, span), prNone);

  const TPacked p;
  const std::string payload = p.Payload();
  std::string packed;
  std::string error;
  ASSERT_TRUE(AppendPayload(program, payload, packed, error)) << error;
  ASSERT_EQ(packed.size(), program.size() + payload.size() + kTrailerSize);
  EXPECT_EQ(packed.substr(0, program.size()), program) << "the program's own bytes stay as they were";
  EXPECT_EQ(packed.substr(program.size(), payload.size()), payload);
  EXPECT_EQ(packed.substr(packed.size() - kTrailerSize),
            U32(static_cast<uint32_t>(program.size())) + U32(static_cast<uint32_t>(payload.size())) + kMagic);
  ExpectReadsBack(packed, p, payload);
}

TEST(PayloadPack, RefusesWhatTheProgramWouldMisread) {
  const TPacked p;
  const std::string payload = p.Payload();
  std::string packedPe;
  std::string packedElf;
  std::string error;
  ASSERT_TRUE(AppendPayload(MakePe(0x80, 0x400, 0), payload, packedPe, error));
  ASSERT_TRUE(AppendPayload(MakeElf(0x400), payload, packedElf, error));
  // An "MZ" file whose header offset points past its end, where the payload
  // brings "PE\0\0" and a field that points elsewhere.
  const std::string dos = MakePe(0x104, 0x100, 0);
  const std::string misleading = "abcd" + std::string("PE\0\0", 4) + Pattern(100, 9);

  struct TCase {
    const char* Name;
    std::string Program;
    std::string Payload;
    const char* Error;
  };
  const std::vector<TCase> cases = {
      {"PE already packed", packedPe, payload, "already carries a payload"},
      {"ELF already packed", packedElf, payload, "already carries a payload"},
      {"63 bytes", MakeElf(0x3F), payload, "only 63 bytes long"},
      {"empty program", "", payload, "only 0 bytes long"},
      {"PE header cut short", MakePe(0x80, 0x80 + 71, 0), payload, "PE header is cut short"},
      {"empty payload, PE", MakePe(0x80, 0x400, 0), "", "payload is empty"},
      {"empty payload, ELF", MakeElf(0x400), "", "payload is empty"},
      {"DOS header offset pointing into the payload", dos, misleading, "would not read back"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string packed = "stale";
    error.clear();
    EXPECT_FALSE(AppendPayload(c.Program, c.Payload, packed, error));
    EXPECT_NE(error.find(c.Error), std::string::npos) << error;
    EXPECT_TRUE(packed.empty());
  }
}

}  // namespace
}  // namespace qv
