// The helpers of port detection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/Detect.h"

namespace qv {
namespace {

using TList = std::vector<std::string>;

TEST(DetectHelpers, FormatPortVersionPrintsBothNibblesInDecimal) {
  EXPECT_EQ(FormatPortVersion(0x12), "1.2");
  EXPECT_EQ(FormatPortVersion(0xAB), "10.11");
  EXPECT_EQ(FormatPortVersion(0x21), "2.1");
  EXPECT_EQ(FormatPortVersion(0x00), "0.0");
  EXPECT_EQ(FormatPortVersion(0xFF), "15.15");
}

TEST(DetectHelpers, MoveToFront) {
  struct TCase {
    const char* Name;
    TList List;
    std::string Port;
    bool Force;
    TList Expected;
  } cases[] = {
      {"present moves", {"COM1", "COM2", "COM3"}, "COM3", false, {"COM3", "COM1", "COM2"}},
      {"present moves when forced", {"COM1", "COM2", "COM3"}, "COM2", true, {"COM2", "COM1", "COM3"}},
      {"already first", {"COM1", "COM2"}, "COM1", false, {"COM1", "COM2"}},
      {"absent stays out", {"COM1", "COM2"}, "COM9", false, {"COM1", "COM2"}},
      {"absent forced goes in", {"COM1", "COM2"}, "COM9", true, {"COM9", "COM1", "COM2"}},
      {"empty name unforced", {"COM1"}, "", false, {"COM1"}},
      {"forced into an empty list", {}, "COM4", true, {"COM4"}},
      {"names are compared exactly", {"COM1", "/dev/ttyS0"}, "/dev/TTYS0", false, {"COM1", "/dev/ttyS0"}},
  };
  for (TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    MoveToFront(c.List, c.Port, c.Force);
    EXPECT_EQ(c.List, c.Expected);
  }
}

TEST(DetectHelpers, IdentityCharacters) {
  std::string accepted;
  for (int v = -1; v <= 255; ++v)
    if (IsIdentityChar(v)) accepted += static_cast<char>(v);
  EXPECT_EQ(accepted, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ[");
}

}  // namespace
}  // namespace qv
