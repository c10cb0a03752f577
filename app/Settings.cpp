// The settings file and the input histories: the file's lines, and the
// window's operations that move the combos' contents to and from them.
//
// The file holds 8-bit text in the system's code page, as the firmware file
// names the worker opens do; the window converts with the local 8-bit
// encoding at this boundary, so a name read from the file, shown, chosen and
// written back keeps its bytes.
#include "app/Settings.h"

#include <QCheckBox>
#include <QComboBox>

#include <climits>

#include "app/Main.h"

namespace qv {

namespace {

constexpr int kHistoryLimit = 10;

QString Text(const std::string& s) {
  return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}

std::string Bytes(const QString& s) {
  return s.toLocal8Bit().toStdString();
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

TSettingsReader::TSettingsReader(const std::string& path) : FFile(std::fopen(path.c_str(), "rb")) {}

TSettingsReader::~TSettingsReader() {
  if (FFile != nullptr) std::fclose(FFile);
}

bool TSettingsReader::ReadLine(std::string& line) {
  line.clear();
  if (FFile == nullptr) return false;
  for (;;) {
    const int c = std::fgetc(FFile);
    if (c == EOF) return std::ferror(FFile) == 0;
    if (c == '\n') return true;
    if (c == '\r') {
      const int next = std::fgetc(FFile);
      if (next == EOF) return std::ferror(FFile) == 0;
      if (next != '\n') std::ungetc(next, FFile);
      return true;
    }
    line += static_cast<char>(c);
  }
}

bool WriteSettingsLines(const std::string& path, const std::vector<std::string>& lines) {
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

// ---- the window's side ------------------------------------------------------------

void TMain::ReadSettings() {
  TSettingsReader in(IniPath);
  std::string line;
  int value = 0;
  if (!in.ReadLine(line)) return;
  if (ParseSettingsNumber(line, value)) move(value, y());
  if (!in.ReadLine(line)) return;
  if (ParseSettingsNumber(line, value)) move(x(), value);
  if (!in.ReadLine(line)) return;
  if (ParseSettingsNumber(line, value)) resize(value, height());
  if (!in.ReadLine(line)) return;
  if (ParseSettingsNumber(line, value)) resize(width(), value);

  if (!in.ReadLine(line)) return;
  GoldenIsHandheld = line.find('B') != std::string::npos;
  // UpdSrvChk follows the box, so RestoreServer does too.
  SrvChk->setChecked(line.find('R') != std::string::npos);
  AnaChk->setChecked(line.find('A') != std::string::npos);

  for (auto [combo, last] : {std::pair{COM1Combo, &LastDonglePort}, std::pair{COM2Combo, &LastServerPort}}) {
    if (!in.ReadLine(line)) return;
    const size_t tab = line.find('\t');
    if (tab != std::string::npos) {
      *last = line.substr(tab + 1);
      line.resize(tab);
    }
    SelectComboItem(combo, Text(line));
  }

  for (QComboBox* combo : {File1Combo, File2Combo, File3Combo}) {
    if (!in.ReadLine(line)) return;
    SplitHistory(combo, Text(line));
  }
}

void TMain::WriteSettings() {
  std::string choices = GoldenIsHandheld ? "B" : "S";
  if (RestoreServer) choices += 'R';
  if (AnaChk->isChecked()) choices += 'A';
  WriteSettingsLines(IniPath, {
                                  std::to_string(x()),
                                  std::to_string(y()),
                                  std::to_string(width()),
                                  std::to_string(height()),
                                  choices,
                                  Bytes(COM1Combo->currentText()) + '\t' + LastDonglePort,
                                  Bytes(COM2Combo->currentText()) + '\t' + LastServerPort,
                                  Bytes(JoinHistory(File1Combo)),
                                  Bytes(JoinHistory(File2Combo)),
                                  Bytes(JoinHistory(File3Combo)),
                              });
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
  for (const QString& entry : line.split(QLatin1Char('\t'), Qt::SkipEmptyParts)) combo->addItem(entry);
}

void TMain::FillPortCombo(QComboBox* combo, const std::vector<std::string>& ports) {
  const QString text = combo->currentText();
  combo->clear();
  combo->addItem(QStringLiteral("Auto detect"));
  for (const std::string& port : ports) combo->addItem(Text(port));
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
