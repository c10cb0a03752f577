#include "bench/Identify.h"

namespace bench {

TIdentifyStep IdentifyStep(uint8_t byte, uint8_t hw, const std::string& identity, size_t& next, uint8_t& answer) {
  switch (byte) {
    case 0x80:
      next = 0;
      answer = hw;
      return TIdentifyStep::Answer;
    case 0x00:
      answer = 0x55;
      return TIdentifyStep::Answer;
    case 0xA5:
      answer = 0xF0;
      return TIdentifyStep::Answer;
    case 0x55:
      if (next >= identity.size()) return TIdentifyStep::Ignore;
      answer = static_cast<uint8_t>(identity[next++]);
      return next == identity.size() ? TIdentifyStep::Done : TIdentifyStep::Answer;
    default:
      return TIdentifyStep::Ignore;
  }
}

}  // namespace bench
