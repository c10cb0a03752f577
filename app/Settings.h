// The settings file beside the program: ten CR LF lines of 8-bit text. These
// are the file-level parts; TMain applies the lines to its controls.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace qv {

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

// Reads a text file line by line. A line ends at CR LF, LF or a lone CR;
// lines past the end of the file read as empty.
class TSettingsReader {
 public:
  explicit TSettingsReader(const std::string& path);
  ~TSettingsReader();
  TSettingsReader(const TSettingsReader&) = delete;
  TSettingsReader& operator=(const TSettingsReader&) = delete;

  bool IsOpen() const { return FFile != nullptr; }
  // False when the file is not open or a read failed: the caller stops there.
  bool ReadLine(std::string& line);

 private:
  std::FILE* FFile;
};

// Creates or overwrites the file and writes each line followed by CR LF.
// The first failure abandons the rest; false then.
bool WriteSettingsLines(const std::string& path, const std::vector<std::string>& lines);

}  // namespace qv
