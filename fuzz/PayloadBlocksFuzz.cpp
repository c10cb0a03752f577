// The walk over the payload's firmware blocks.
//
// Input: the payload bytes (its last byte is the flags byte).
//
// Properties: a block found starts inside the payload, has a count of at
// least 4 and ends before the flags byte; blocks follow each other (block
// i + 1 starts where block i ends); once a block is missing, so are the
// ones after it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "firmware/Payload.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

uint32_t Count(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;  // little-endian hosts only, as the fuzzing machines are
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  // A copy of exactly the payload, so that a read past its end is caught.
  auto payload = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
  if (size > 0) std::memcpy(payload.get(), data, size);
  const qv::TPayloadBlocks blocks = qv::PayloadBlocks(size == 0 ? nullptr : payload.get(), static_cast<int32_t>(size));
  const uint8_t* end = payload.get() + (size == 0 ? 0 : size - 1);
  const uint8_t* next = nullptr;
  bool gone = false;
  for (uint8_t* b : blocks) {
    if (b == nullptr) {
      gone = true;
      continue;
    }
    Require(!gone);
    Require(b >= payload.get() && b + 4 <= end);
    const uint32_t count = Count(b);
    Require(count >= 4 && b + count <= end);
    if (next != nullptr) Require(b == next);
    next = b + count;
  }
  return 0;
}
