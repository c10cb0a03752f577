// The settings file: its lines, its fields, and the window's 8-bit text.
//
// Input: the first byte's bit 0 tells whether the file ended (1) or a read
// failed after the bytes that follow (0); the rest is the file.
//
// Properties:
// - at most ten lines, exactly ten when the file ended; none holds a CR or
//   an LF;
// - written back, the settings read as they were read, and writing them
//   again gives the same ten lines (a file the window wrote starts it the
//   same way every time);
// - every line and history entry comes back byte for byte through the
//   window's text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/Bytes.h"
#include "settings/SettingsFile.h"

// Qt is built without frame pointers, so the fast unwinder records a
// different, garbage stack for each allocation made inside Qt; every one is
// new to the sanitizer's stack store, which then grows without bound (1 GB
// after half a million runs) and slows the run tenfold. Allocation stacks
// are therefore not recorded here; a fault's own stack still is, and an
// input kept as a fault shows them when run again with
// ASAN_OPTIONS=malloc_context_size=30.
extern "C" const char* __asan_default_options() { return "malloc_context_size=0"; }

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

std::string FileOf(const std::vector<std::string>& lines) {
  std::string file;
  for (const std::string& line : lines) file += line + "\r\n";
  return file;
}

// What the settings become once written: every line is then there.
qv::TSettings Written(qv::TSettings s) {
  s.Choices = s.Choices.value_or(qv::TSettingsChoices{});
  for (auto* port : {&s.DonglePort, &s.ServerPort}) {
    qv::TSettingsPort p = port->value_or(qv::TSettingsPort{});
    p.Last = p.Last.value_or("");
    *port = p;
  }
  for (auto& history : s.Histories) history = history.value_or(std::vector<std::string>{});
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool complete = (data[0] & 1) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  const std::vector<std::string> lines = qv::SplitSettingsLines(text, complete);
  Require(lines.size() <= qv::kSettingsLineCount);
  Require(!complete || lines.size() == qv::kSettingsLineCount);
  for (const std::string& line : lines) {
    Require(line.find_first_of("\r\n") == std::string::npos);
    Require(qv::BytesOfText(qv::TextOfBytes(line)) == line);
  }

  const qv::TSettings read = qv::ParseSettings(lines);
  for (const auto& history : read.Histories)
    for (const std::string& entry : history.value_or(std::vector<std::string>{})) {
      Require(!entry.empty() && entry.find('\t') == std::string::npos);
      Require(qv::BytesOfText(qv::TextOfBytes(entry)) == entry);
    }

  const std::vector<std::string> written = qv::FormatSettings(read);
  Require(written.size() == qv::kSettingsLineCount);
  const qv::TSettings reread = qv::ParseSettings(qv::SplitSettingsLines(FileOf(written), true));
  Require(reread == Written(read));
  Require(qv::FormatSettings(reread) == written);
  return 0;
}
