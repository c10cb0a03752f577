// A line of the records' spool file, as a crash, a full disk or a hand may
// leave it, and records of any content as the writer spools them.
//
// Input: the first byte chooses. Bit 0 clear: the rest is one spool line
// (without its end). Bit 0 set: the rest builds a record, its text columns
// taken from the bytes between 0x00 bytes (any byte, tabs, newlines and
// backslashes among them) and its number columns from 8 bytes each.
//
// Properties:
// - a line that decodes is a record whose line decodes again to a record of
//   the same line (what the spool keeps, it keeps as it was);
// - every record's line holds no newline (one record a line, whatever its
//   transcript) and decodes back to the very same record;
// - a line cut anywhere short of its end decodes to nothing, so a torn line
//   is never taken for a record.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>

#include "records/Record.h"

namespace {

using namespace qv::records;

void Require(bool condition) {
  if (!condition) std::abort();
}

void DecodedLine(const std::string& line) {
  TUnitRecord record;
  if (!DecodeSpoolLine(line, record)) return;
  const std::string again = EncodeSpoolLine(record);
  Require(again.find('\n') == std::string::npos);
  TUnitRecord back;
  Require(DecodeSpoolLine(again, back));
  Require(EncodeSpoolLine(back) == again);
}

TUnitRecord BuiltRecord(const uint8_t* data, size_t size) {
  TUnitRecord r;
  size_t at = 0;
  auto bytes = [&](size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n && at < size; ++i) v = v << 8 | data[at++];
    return v;
  };
  auto text = [&] {
    std::string s;
    while (at < size && data[at] != 0) s += static_cast<char>(data[at++]);
    if (at < size) ++at;
    return s;
  };
  for (const TColumnInfo& c : kColumns) {
    std::visit(
        [&](auto member) {
          auto& v = r.*member;
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, std::string>) {
            v = text();
            // A column that may not be NULL holds some text.
            if (c.NotNull && v.empty()) v = "x";
          } else if constexpr (std::is_same_v<T, std::optional<int>>) {
            const uint64_t n = bytes(5);
            if (n >> 32 & 1) v = static_cast<int>(static_cast<uint32_t>(n));
          } else {
            const uint64_t n = bytes(8);
            double d = 0;
            std::memcpy(&d, &n, sizeof d);
            // The tools never keep a measurement that is not a number.
            if (std::isfinite(d) && (n & 1)) v = d;
          }
        },
        c.Field);
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if ((data[0] & 1) == 0) {
    DecodedLine(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    return 0;
  }
  const TUnitRecord record = BuiltRecord(data + 1, size - 1);
  const std::string line = EncodeSpoolLine(record);
  Require(line.find('\n') == std::string::npos);
  TUnitRecord back;
  Require(DecodeSpoolLine(line, back));
  Require(back == record);
  // Torn at a place the input picks.
  const size_t cut = line.size() > 1 ? data[size - 1] % (line.size() - 1) + 1 : 0;
  TUnitRecord torn;
  Require(cut == 0 || !DecodeSpoolLine(line.substr(0, line.size() - cut), torn));
  return 0;
}
