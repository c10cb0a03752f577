#include "firmware/Payload.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <system_error>

namespace qv {

namespace {

constexpr uint64_t kHeaderSize = 0x3C + 4;
constexpr uint64_t kPeFieldOffset = 68;
constexpr uint64_t kMaxPayload = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void SetU32(std::string& out, uint64_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + static_cast<uint64_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

struct TLocation {
  TPayloadRead Result = prNone;
  bool Pe = false;
  uint32_t PeHeader = 0;
  TPayloadSpan Span;
};

// One locator for files on disk and bytes in memory, so that the packer
// refuses exactly what the program would misread. Every read is checked
// against the size first; the source answers false on a read error.
template <class TSource>
TLocation Locate(TSource& src) {
  TLocation loc;
  const uint64_t size = src.Size();
  uint8_t head[kHeaderSize];
  if (size < kHeaderSize || !src.Read(0, head, sizeof head)) {
    loc.Result = prUnusable;
    return loc;
  }
  const uint64_t h = GetU32(head + 0x3C);
  if (head[0] == 'M' && head[1] == 'Z' && h + 4 <= size) {
    uint8_t sig[4];
    if (!src.Read(h, sig, sizeof sig)) {
      loc.Result = prUnusable;
      return loc;
    }
    loc.Pe = std::memcmp(sig, "PE\0\0", 4) == 0;
  }
  if (loc.Pe) {
    loc.PeHeader = static_cast<uint32_t>(h);
    uint8_t field[4];
    if (h + kPeFieldOffset + 4 > size || !src.Read(h + kPeFieldOffset, field, sizeof field)) {
      loc.Result = prUnusable;
      return loc;
    }
    const uint64_t p = GetU32(field);
    if (p == 0 || p >= size) return loc;
    if (size - p > kMaxPayload) {
      loc.Result = prUnusable;
      return loc;
    }
    loc.Span = {static_cast<int64_t>(p), static_cast<int32_t>(size - p)};
    loc.Result = prFound;
    return loc;
  }
  // A file that is not PE cannot carry the offset in its header; only our
  // trailer says where a payload is.
  uint8_t trailer[kTrailerSize];
  if (!src.Read(size - kTrailerSize, trailer, sizeof trailer)) {
    loc.Result = prUnusable;
    return loc;
  }
  if (std::memcmp(trailer + 8, kTrailerMagic, sizeof kTrailerMagic) != 0) return loc;
  const uint64_t p = GetU32(trailer);
  const uint64_t s = GetU32(trailer + 4);
  if (s == 0 || p + s + kTrailerSize != size) return loc;
  if (s > kMaxPayload) {
    loc.Result = prUnusable;
    return loc;
  }
  loc.Span = {static_cast<int64_t>(p), static_cast<int32_t>(s)};
  loc.Result = prFound;
  return loc;
}

class TMemorySource {
 public:
  explicit TMemorySource(std::string_view bytes) : Bytes(bytes) {}
  uint64_t Size() const { return Bytes.size(); }
  bool Read(uint64_t at, uint8_t* dst, size_t n) const {
    if (at > Bytes.size() || n > Bytes.size() - at) return false;
    std::memcpy(dst, Bytes.data() + at, n);
    return true;
  }

 private:
  std::string_view Bytes;
};

class TFileSource {
 public:
  TFileSource(std::ifstream& file, uint64_t size) : File(file), FileSize(size) {}
  uint64_t Size() const { return FileSize; }
  bool Read(uint64_t at, uint8_t* dst, size_t n) {
    if (at > FileSize || n > FileSize - at) return false;
    File.clear();
    File.seekg(static_cast<std::streamoff>(at));
    if (!File) return false;
    File.read(reinterpret_cast<char*>(dst), static_cast<std::streamsize>(n));
    return File && static_cast<size_t>(File.gcount()) == n;
  }

 private:
  std::ifstream& File;
  uint64_t FileSize;
};

}  // namespace

TPayloadRead FindPayload(std::string_view file, TPayloadSpan& span) {
  TMemorySource src(file);
  const TLocation loc = Locate(src);
  span = loc.Span;
  return loc.Result;
}

TPayloadRead ReadProgramPayload(const std::string& path, TPayload& payload) {
  payload.Data.reset();
  payload.Size = 0;

  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return prUnusable;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) return prUnusable;
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file.is_open()) return prUnusable;

  TFileSource src(file, size);
  const TLocation loc = Locate(src);
  if (loc.Result != prFound) return loc.Result;

  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[static_cast<size_t>(loc.Span.Size)]);
  if (!data) return prUnusable;
  if (!src.Read(static_cast<uint64_t>(loc.Span.Offset), data.get(), static_cast<size_t>(loc.Span.Size)))
    return prUnusable;
  payload.Data = std::move(data);
  payload.Size = loc.Span.Size;
  return prFound;
}

std::string PayloadCaption(const uint8_t* payload, int32_t size) {
  if (payload == nullptr || size < 4) return {};
  const int64_t count = GetU32(payload);
  const int64_t end = std::min<int64_t>(count, size - 1);
  if (end <= 4) return {};
  return std::string(reinterpret_cast<const char*>(payload) + 4, static_cast<size_t>(end - 4));
}

TPayloadBlocks PayloadBlocks(uint8_t* payload, int32_t size) {
  TPayloadBlocks blocks{};
  if (payload == nullptr || size < 1) return blocks;
  const int64_t end = size - 1;  // the flags byte is not part of any block
  int64_t at = 0;
  for (size_t i = 0; i <= blocks.size(); ++i) {
    if (at + 4 > end) break;
    const int64_t count = GetU32(payload + at);
    if (count < 4 || at + count > end) break;
    if (i > 0) blocks[i - 1] = payload + at;
    at += count;
  }
  return blocks;
}

uint8_t PayloadFlags(const uint8_t* payload, int32_t size) {
  if (payload == nullptr || size <= 0) return 0;
  return payload[size - 1];
}

bool BuildPayload(std::string_view caption, const TPayloadInputs& inputs, uint8_t flags, std::string& payload,
                  std::string& error) {
  payload.clear();
  uint64_t total = 4 + static_cast<uint64_t>(caption.size()) + 1;
  for (std::string_view input : inputs) total += 4 + static_cast<uint64_t>(input.size());
  if (total > kMaxPayload) {
    error = "the payload would be " + std::to_string(total) + " bytes long; at most " + std::to_string(kMaxPayload) +
            " bytes fit";
    return false;
  }
  payload.reserve(static_cast<size_t>(total));
  PutU32(payload, static_cast<uint32_t>(caption.size() + 4));
  payload.append(caption);
  for (std::string_view input : inputs) {
    PutU32(payload, static_cast<uint32_t>(input.size() + 4));
    payload.append(input);
  }
  payload.push_back(static_cast<char>(flags));
  return true;
}

bool AppendPayload(std::string_view program, std::string_view payload, std::string& packed, std::string& error) {
  packed.clear();
  TMemorySource src(program);
  const TLocation loc = Locate(src);
  const uint64_t size = program.size();
  if (loc.Result == prUnusable) {
    error = size < kHeaderSize ? "the program file is only " + std::to_string(size) +
                                     " bytes long; a program file has at least " + std::to_string(kHeaderSize)
                               : "the program file's PE header is cut short";
    return false;
  }
  if (loc.Result == prFound) {
    error = "the program file already carries a payload (" + std::to_string(loc.Span.Size) + " bytes at offset " +
            std::to_string(loc.Span.Offset) + "); pack a plain build";
    return false;
  }
  if (payload.empty()) {
    error = "the payload is empty";
    return false;
  }
  if (payload.size() > kMaxPayload) {
    error = "the payload is " + std::to_string(payload.size()) + " bytes long; at most " + std::to_string(kMaxPayload) +
            " bytes fit";
    return false;
  }
  // Both locations hold the payload's offset in 32 bits.
  if (size > std::numeric_limits<uint32_t>::max()) {
    error = "the program file is " + std::to_string(size) + " bytes long; the payload offset would not fit 32 bits";
    return false;
  }

  packed.reserve(program.size() + payload.size() + kTrailerSize);
  packed.append(program);
  packed.append(payload);
  if (loc.Pe) {
    SetU32(packed, loc.PeHeader + kPeFieldOffset, static_cast<uint32_t>(size));
  } else {
    PutU32(packed, static_cast<uint32_t>(size));
    PutU32(packed, static_cast<uint32_t>(payload.size()));
    packed.append(kTrailerMagic, sizeof kTrailerMagic);
  }

  // A DOS "MZ" file whose header offset pointed past its end could now point
  // into the payload and read as PE; never hand out a file that misleads.
  TPayloadSpan span;
  if (FindPayload(packed, span) != prFound || span.Offset != static_cast<int64_t>(size) ||
      span.Size != static_cast<int32_t>(payload.size())) {
    packed.clear();
    error = "the packed program file would not read back its payload (its header offset at 0x3C points past its end)";
    return false;
  }
  return true;
}

}  // namespace qv
