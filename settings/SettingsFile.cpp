// The settings file's lines and what they say: free of the window (and of
// Qt), so that the headless runner reads the same file the same way.
#include "settings/SettingsFile.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>

namespace qv {

namespace {

// Reading stops once the buffer holds this many line ends: ten CR LF lines
// and one more end, whatever comes after them.
constexpr size_t kLineEndsNeeded = 2 * kSettingsLineCount + 1;

// Only a regular file (or nothing yet) is opened: opening a FIFO waits for
// its other end, and a device may never end.
bool MayOpen(const std::string& path) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  return !std::filesystem::exists(status) || std::filesystem::is_regular_file(status);
}

}  // namespace

std::string IniPathFor(const std::string& programPath) {
  const size_t separator = programPath.find_last_of("\\/:");
  const size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
  const size_t dot = programPath.rfind('.');
  if (dot != std::string::npos && dot >= nameStart && dot + 4 == programPath.size())
    return programPath.substr(0, dot + 1) + "INI";
  return programPath + ".INI";
}

std::string ProgramDirOf(const std::string& programPath) {
  const size_t separator = programPath.find_last_of("\\/:");
  return separator == std::string::npos ? std::string() : programPath.substr(0, separator + 1);
}

bool ParseSettingsNumber(const std::string& text, int& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return false;
  long long magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > static_cast<long long>(INT_MAX) + 1) return false;
  }
  const long long v = negative ? -magnitude : magnitude;
  if (v > INT_MAX || v < INT_MIN) return false;
  value = static_cast<int>(v);
  return true;
}

std::vector<std::string> SplitSettingsLines(std::string_view text, bool complete) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (lines.size() < kSettingsLineCount && pos < text.size()) {
    const size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) {
      // The last line has no end: it counts only when the file ends there.
      if (!complete) return lines;
      lines.emplace_back(text.substr(pos));
      pos = text.size();
      break;
    }
    size_t next = end + 1;
    if (text[end] == '\r') {
      // A CR whose next byte was never read may be half a CR LF.
      if (next == text.size() && !complete) return lines;
      if (next < text.size() && text[next] == '\n') ++next;
    }
    lines.emplace_back(text.substr(pos, end - pos));
    pos = next;
  }
  if (complete) lines.resize(kSettingsLineCount);
  return lines;
}

std::vector<std::string> ReadSettingsLines(const std::string& path) {
  if (!MayOpen(path)) return {};
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {};
  std::string text;
  size_t lineEnds = 0;
  char chunk[4096];
  bool complete = true;
  while (lineEnds < kLineEndsNeeded) {
    const size_t n = std::fread(chunk, 1, sizeof chunk, file);
    text.append(chunk, n);
    lineEnds += static_cast<size_t>(std::count_if(chunk, chunk + n, [](char c) { return c == '\r' || c == '\n'; }));
    if (n < sizeof chunk) {
      complete = std::ferror(file) == 0;
      break;
    }
  }
  std::fclose(file);
  return SplitSettingsLines(text, complete);
}

bool WriteSettingsLines(const std::string& path, const std::vector<std::string>& lines) {
  if (!MayOpen(path)) return false;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = true;
  for (const std::string& line : lines) {
    const std::string text = line + "\r\n";
    if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) {
      written = false;
      break;
    }
  }
  if (std::fclose(file) != 0) written = false;
  return written;
}

std::vector<std::string> SplitHistoryLine(std::string_view line) {
  std::vector<std::string> entries;
  size_t pos = 0;
  while (pos <= line.size()) {
    size_t tab = line.find('\t', pos);
    if (tab == std::string_view::npos) tab = line.size();
    if (tab > pos) entries.emplace_back(line.substr(pos, tab - pos));
    pos = tab + 1;
  }
  return entries;
}

TSettings ParseSettings(const std::vector<std::string>& lines) {
  TSettings s;
  std::optional<int>* numbers[] = {&s.Left, &s.Top, &s.Width, &s.Height};
  for (size_t i = 0; i < 4 && i < lines.size(); ++i) {
    int value = 0;
    if (ParseSettingsNumber(lines[i], value)) *numbers[i] = value;
  }
  if (lines.size() > 4) {
    // Other letters, "S" among them, are not looked at.
    const std::string& line = lines[4];
    s.Choices = TSettingsChoices{line.find('B') != std::string::npos, line.find('R') != std::string::npos,
                                 line.find('A') != std::string::npos};
  }
  std::optional<TSettingsPort>* ports[] = {&s.DonglePort, &s.ServerPort};
  for (size_t i = 0; i < 2 && 5 + i < lines.size(); ++i) {
    const std::string& line = lines[5 + i];
    const size_t tab = line.find('\t');
    TSettingsPort port;
    port.Selected = line.substr(0, tab);
    if (tab != std::string::npos) port.Last = line.substr(tab + 1);
    *ports[i] = std::move(port);
  }
  for (size_t i = 0; i < 3 && 7 + i < lines.size(); ++i) s.Histories[i] = SplitHistoryLine(lines[7 + i]);
  return s;
}

std::vector<std::string> FormatSettings(const TSettings& s) {
  std::vector<std::string> lines;
  for (const std::optional<int>* n : {&s.Left, &s.Top, &s.Width, &s.Height})
    lines.push_back(n->has_value() ? std::to_string(**n) : std::string());
  const TSettingsChoices choices = s.Choices.value_or(TSettingsChoices{});
  std::string line = choices.GoldenIsHandheld ? "B" : "S";
  if (choices.RestoreServer) line += 'R';
  if (choices.AnalysisOnly) line += 'A';
  lines.push_back(line);
  for (const std::optional<TSettingsPort>* port : {&s.DonglePort, &s.ServerPort})
    lines.push_back(port->has_value() ? (*port)->Selected + '\t' + (*port)->Last.value_or("") : "\t");
  for (const auto& history : s.Histories) {
    line.clear();
    for (const std::string& entry : history.value_or(std::vector<std::string>{})) {
      if (!line.empty()) line += '\t';
      line += entry;
    }
    lines.push_back(line);
  }
  return lines;
}

}  // namespace qv
