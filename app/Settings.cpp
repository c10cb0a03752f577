// The settings file and the input histories: the file's lines, and the
// window's operations that move the combos' contents to and from them.
//
// The file holds 8-bit text in the system's code page, as the firmware file
// names the worker opens do; the window converts at this boundary so that
// a name read from the file, shown, chosen and written back keeps its
// bytes (app/Bytes.h).
#include "app/Settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>

#include "app/Bytes.h"
#include "app/Main.h"

namespace qv {

namespace {

constexpr int kHistoryLimit = 10;

// Reading stops once the buffer holds this many line ends: ten CR LF lines
// and one more end, whatever comes after them.
constexpr size_t kLineEndsNeeded = 2 * kSettingsLineCount + 1;

// A window is within reach when this much of its caption lies on a screen.
constexpr long long kCaptionHeight = 20;
constexpr long long kCaptionReach = 100;

// Only a regular file (or nothing yet) is opened: opening a FIFO waits for
// its other end, and a device may never end.
bool MayOpen(const std::string& path) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  return !std::filesystem::exists(status) || std::filesystem::is_regular_file(status);
}

// Letter case is ignored when items are compared.
int IndexOfItem(const QComboBox* combo, const QString& text) {
  for (int i = 0; i < combo->count(); ++i)
    if (combo->itemText(i).compare(text, Qt::CaseInsensitive) == 0) return i;
  return -1;
}

}  // namespace

// ---- the file -----------------------------------------------------------------

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

QRect FitToScreens(const TSettings& stored, const QRect& current, const QSize& minimum, const QList<QRect>& screens) {
  if (screens.isEmpty()) return current;
  int widest = 0;
  int highest = 0;
  for (const QRect& r : screens) {
    widest = std::max(widest, r.width());
    highest = std::max(highest, r.height());
  }
  const int w = std::clamp(stored.Width.value_or(current.width()), minimum.width(), std::max(minimum.width(), widest));
  const int h =
      std::clamp(stored.Height.value_or(current.height()), minimum.height(), std::max(minimum.height(), highest));
  // In 64 bits: a stored position near the ends of int must not overflow.
  auto reachable = [&](long long x, long long y) {
    return std::any_of(screens.begin(), screens.end(), [&](const QRect& r) {
      const long long across =
          std::min<long long>(x + w, r.x() + static_cast<long long>(r.width())) - std::max<long long>(x, r.x());
      const long long down = std::min<long long>(y + kCaptionHeight, r.y() + static_cast<long long>(r.height())) -
                             std::max<long long>(y, r.y());
      return across >= std::min<long long>(w, kCaptionReach) && down >= kCaptionHeight / 2;
    });
  };
  long long x = stored.Left.value_or(current.x());
  long long y = stored.Top.value_or(current.y());
  if (!reachable(x, y)) {
    x = current.x();
    y = current.y();
  }
  if (!reachable(x, y)) {
    const QRect& r = screens.first();
    x = std::clamp<long long>(x, r.x(), std::max<long long>(r.x(), r.x() + static_cast<long long>(r.width()) - w));
    y = std::clamp<long long>(y, r.y(), std::max<long long>(r.y(), r.y() + static_cast<long long>(r.height()) - h));
  }
  return {static_cast<int>(x), static_cast<int>(y), w, h};
}

// ---- the window's side ------------------------------------------------------------

void TMain::ReadSettings() {
  const TSettings s = ParseSettings(ReadSettingsLines(IniPath));
  // A size or position that cannot be shown is not taken as it is: a huge
  // window would take the memory of its pixels at every paint, and one off
  // every screen could not be reached.
  QList<QRect> screens;
  for (const QScreen* screen : QGuiApplication::screens()) screens << screen->availableGeometry();
  const QRect fitted = FitToScreens(s, QRect(pos(), size()), minimumSize(), screens);
  move(fitted.topLeft());
  resize(fitted.size());

  if (s.Choices) {
    GoldenIsHandheld = s.Choices->GoldenIsHandheld;
    // UpdSrvChk follows the box, so RestoreServer does too.
    SrvChk->setChecked(s.Choices->RestoreServer);
    AnaChk->setChecked(s.Choices->AnalysisOnly);
  }
  for (auto [combo, port, last] :
       {std::tuple{COM1Combo, &s.DonglePort, &LastDonglePort}, std::tuple{COM2Combo, &s.ServerPort, &LastServerPort}}) {
    if (!*port) continue;
    if ((*port)->Last) *last = *(*port)->Last;
    SelectComboItem(combo, TextOfBytes((*port)->Selected));
  }
  QComboBox* const files[] = {File1Combo, File2Combo, File3Combo};
  for (size_t i = 0; i < 3; ++i)
    if (s.Histories[i])
      for (const std::string& entry : *s.Histories[i]) files[i]->addItem(TextOfBytes(entry));
}

void TMain::WriteSettings() {
  TSettings s;
  s.Left = x();
  s.Top = y();
  s.Width = width();
  s.Height = height();
  s.Choices = TSettingsChoices{GoldenIsHandheld, RestoreServer, AnaChk->isChecked()};
  s.DonglePort = TSettingsPort{BytesOfText(COM1Combo->currentText()), LastDonglePort};
  s.ServerPort = TSettingsPort{BytesOfText(COM2Combo->currentText()), LastServerPort};
  const QComboBox* const files[] = {File1Combo, File2Combo, File3Combo};
  for (size_t i = 0; i < 3; ++i) {
    std::vector<std::string> items;
    for (int j = 0; j < files[i]->count(); ++j) items.push_back(BytesOfText(files[i]->itemText(j)));
    s.Histories[i] = std::move(items);
  }
  WriteSettingsLines(IniPath, FormatSettings(s));
}

// ---- combos -------------------------------------------------------------------

void TMain::SelectComboItem(QComboBox* combo, const QString& text) {
  const int i = IndexOfItem(combo, text);
  combo->setCurrentIndex(i < 0 ? 0 : i);
}

void TMain::AddToHistory(QComboBox* combo) {
  const QString text = combo->currentText();
  const int i = IndexOfItem(combo, text);
  if (i > 0) combo->removeItem(i);
  // An entry already on top keeps its letter case.
  if (i != 0) combo->insertItem(0, text);
  while (combo->count() > kHistoryLimit) combo->removeItem(kHistoryLimit);
  combo->setCurrentIndex(0);
  if (combo->isEditable()) combo->setEditText(combo->itemText(0));
}

QString TMain::JoinHistory(const QComboBox* combo) const {
  QStringList items;
  for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
  return items.join(QLatin1Char('\t'));
}

void TMain::SplitHistory(QComboBox* combo, const QString& line) {
  // No limit here: a longer list written by hand stays as it is until the
  // next addition.
  for (const std::string& entry : SplitHistoryLine(BytesOfText(line))) combo->addItem(TextOfBytes(entry));
}

void TMain::FillPortCombo(QComboBox* combo, const std::vector<std::string>& ports) {
  const QString text = combo->currentText();
  combo->clear();
  combo->addItem(QStringLiteral("Auto detect"));
  for (const std::string& port : ports) combo->addItem(TextOfBytes(port));
  SelectComboItem(combo, text);
}

void TMain::DoUpdCOMs(QObject*) {
  std::vector<std::string> ports;
  try {
    SerIF1.ListComDevices(ports);
  } catch (...) {
    // A system that cannot list its ports is treated as one without any.
    ports.clear();
  }
  if (ports.empty())
    for (char digit = '1'; digit <= '9'; ++digit) ports.push_back(std::string("COM") + digit);
  FillPortCombo(COM1Combo, ports);
  FillPortCombo(COM2Combo, ports);
}

}  // namespace qv
