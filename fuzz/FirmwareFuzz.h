// Shared by the firmware decoders' targets: slots fenced by guard words, so
// that a write beside a slot (inside the same object, where AddressSanitizer
// sees nothing) is caught as well.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "firmware/Images.h"

namespace qv::fuzz {

inline void Require(bool condition) {
  if (!condition) std::abort();
}

template <class T>
struct TFenced {
  uint64_t Before[8];
  T Slot;
  uint64_t After[8];
  TFenced() {
    for (auto& g : Before) g = 0xA5A5A5A5A5A5A5A5ull;
    for (auto& g : After) g = 0x5A5A5A5A5A5A5A5Aull;
  }
  void Check() const {
    for (auto g : Before) Require(g == 0xA5A5A5A5A5A5A5A5ull);
    for (auto g : After) Require(g == 0x5A5A5A5A5A5A5A5Aull);
  }
};

}  // namespace qv::fuzz
