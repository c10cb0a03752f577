// The settings file beside the program: ten CR LF lines of 8-bit text. These
// are the file-level parts, free of the window; TMain applies them to its
// controls.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

constexpr size_t kSettingsLineCount = 10;

// The settings file of the program at programPath: a name ending in a dot
// and three characters ("qvtune.exe") gets "INI" in their place, any other
// name gets ".INI" appended ("qvtune" -> "qvtune.INI"), so that a program
// without an extension does not lose the end of its name.
std::string IniPathFor(const std::string& programPath);

// The folder of programPath up to and including its last "\", "/" or ":";
// empty when there is none.
std::string ProgramDirOf(const std::string& programPath);

// A decimal integer taking the whole text: an optional sign and digits, in
// the range of int; no blanks, nothing after the digits.
bool ParseSettingsNumber(const std::string& text, int& value);

// The first ten lines of text. A line ends at CR LF, LF or a lone CR; lines
// past the end read as empty. When the text stops at a failed read
// (complete false), the lines end with the last one whose end was read.
std::vector<std::string> SplitSettingsLines(std::string_view text, bool complete);

// The lines of the settings file at path, as SplitSettingsLines gives them.
// Only a regular file is read: a FIFO or a device in its place could hold
// the window up for ever. A file that cannot be opened gives no lines.
std::vector<std::string> ReadSettingsLines(const std::string& path);

// Creates or overwrites the file and writes each line followed by CR LF.
// The first failure abandons the rest; false then. Something other than a
// regular file in its place is left alone.
bool WriteSettingsLines(const std::string& path, const std::vector<std::string>& lines);

// The entries of a history line, TAB-separated, empty ones skipped.
std::vector<std::string> SplitHistoryLine(std::string_view line);

struct TSettingsChoices {
  bool GoldenIsHandheld = false;
  bool RestoreServer = false;
  bool AnalysisOnly = false;
  bool operator==(const TSettingsChoices&) const = default;
};

struct TSettingsPort {
  std::string Selected;
  // What follows the first TAB; none when the line has no TAB.
  std::optional<std::string> Last;
  bool operator==(const TSettingsPort&) const = default;
};

// What the settings file says, line by line. A line that was not read, or
// a number that does not convert, is absent and changes nothing.
struct TSettings {
  std::optional<int> Left, Top, Width, Height;
  std::optional<TSettingsChoices> Choices;
  std::optional<TSettingsPort> DonglePort, ServerPort;
  std::array<std::optional<std::vector<std::string>>, 3> Histories;
  bool operator==(const TSettings&) const = default;
};

TSettings ParseSettings(const std::vector<std::string>& lines);

// The ten lines for the settings. An absent number gives an empty line, an
// absent choice line "S", a port line always has its TAB.
std::vector<std::string> FormatSettings(const TSettings& settings);

}  // namespace qv
