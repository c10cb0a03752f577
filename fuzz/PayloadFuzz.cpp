// The payload locator, and the packing it reads back.
//
// Input: byte 0 is a flags byte, byte 1 a caption length; the rest is a
// program file.
//
// Properties:
// - a payload found lies inside the file and holds at least its flags
//   byte; its caption and flags are read within it;
// - a program without a payload that the packer takes, packed with a
//   payload built from the caption (the first bytes of the file), the
//   inputs and the flags, gives back exactly that payload, that caption and
//   those flags, and keeps the program's bytes but for the payload field
//   of a Windows header.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "firmware/Payload.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// A copy of exactly the payload's bytes, so that a read past its end is
// caught.
std::unique_ptr<uint8_t[]> Copy(std::string_view bytes) {
  auto copy = std::make_unique<uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const std::string_view file(reinterpret_cast<const char*>(data + 2), size - 2);

  qv::TPayloadSpan span;
  const qv::TPayloadRead read = qv::FindPayload(file, span);
  if (read == qv::prFound) {
    Require(span.Size >= 1 && span.Offset >= 0);
    Require(static_cast<uint64_t>(span.Offset) + static_cast<uint64_t>(span.Size) <= file.size());
    const auto payload = Copy(file.substr(static_cast<size_t>(span.Offset), static_cast<size_t>(span.Size)));
    Require(qv::PayloadCaption(payload.get(), span.Size).size() < static_cast<size_t>(span.Size));
    Require(qv::PayloadFlags(payload.get(), span.Size) == payload[static_cast<size_t>(span.Size) - 1]);
  }
  if (read != qv::prNone) return 0;

  const std::string_view caption = file.substr(0, std::min<size_t>(data[1], file.size()));
  const qv::TPayloadInputs inputs = {file.substr(0, 3), {}, file.substr(0, 1), {}, caption};
  std::string payload, packed, error;
  Require(qv::BuildPayload(caption, inputs, flags, payload, error));
  if (!qv::AppendPayload(file, payload, packed, error)) return 0;

  Require(qv::FindPayload(packed, span) == qv::prFound);
  Require(static_cast<size_t>(span.Size) == payload.size());
  Require(std::string_view(packed).substr(static_cast<size_t>(span.Offset), payload.size()) == payload);
  const auto copy = Copy(payload);
  Require(qv::PayloadCaption(copy.get(), span.Size) == caption);
  Require(qv::PayloadFlags(copy.get(), span.Size) == flags);

  Require(packed.size() >= file.size());
  size_t first = file.size(), last = 0;
  for (size_t i = 0; i < file.size(); ++i)
    if (packed[i] != file[i]) {
      first = std::min(first, i);
      last = i;
    }
  Require(first == file.size() || last - first < 4);
  return 0;
}
