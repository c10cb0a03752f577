// The window's side of the settings file and the input histories: the
// operations that move the combos' contents to and from the file's lines
// (settings/SettingsFile.cpp).
//
// The file holds 8-bit text in the system's code page, as the firmware file
// names the worker opens do; the window converts at this boundary so that
// a name read from the file, shown, chosen and written back keeps its
// bytes (app/Bytes.h).
#include "settings/SettingsFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>

#include "app/Bytes.h"
#include "app/Main.h"
#include "settings/PortList.h"

namespace qv {

namespace {

constexpr int kHistoryLimit = 10;

// A window is within reach when this much of its caption lies on a screen.
constexpr long long kCaptionHeight = 20;
constexpr long long kCaptionReach = 100;

// Letter case is ignored when items are compared.
int IndexOfItem(const QComboBox* combo, const QString& text) {
  for (int i = 0; i < combo->count(); ++i)
    if (combo->itemText(i).compare(text, Qt::CaseInsensitive) == 0) return i;
  return -1;
}

}  // namespace

QRect FitToScreens(const TSettings& stored, const QRect& current, const QSize& minimum, const QList<QRect>& screens,
                   const QMargins& frame) {
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
  auto onScreen = [&](const QRect& r, long long x, long long y) {
    const long long across =
        std::min<long long>(x + w, r.x() + static_cast<long long>(r.width())) - std::max<long long>(x, r.x());
    const long long down = std::min<long long>(y + kCaptionHeight, r.y() + static_cast<long long>(r.height())) -
                           std::max<long long>(y, r.y());
    return across >= std::min<long long>(w, kCaptionReach) && down >= kCaptionHeight / 2;
  };
  auto screenOf = [&](long long x, long long y) -> const QRect* {
    for (const QRect& r : screens)
      if (onScreen(r, x, y)) return &r;
    return nullptr;
  };
  // The frame's extent: pos() is the frame's corner, the size the client's.
  const long long fw = w + static_cast<long long>(frame.left()) + frame.right();
  const long long fh = h + static_cast<long long>(frame.top()) + frame.bottom();
  auto onAnyScreen = [&](long long px, long long py) {
    for (const QRect& r : screens)
      if (px >= r.x() && px < r.x() + static_cast<long long>(r.width()) && py >= r.y() &&
          py < r.y() + static_cast<long long>(r.height()))
        return true;
    return false;
  };
  auto wholly = [&](long long x0, long long y0) {
    return onAnyScreen(x0, y0) && onAnyScreen(x0 + fw - 1, y0) && onAnyScreen(x0, y0 + fh - 1) &&
           onAnyScreen(x0 + fw - 1, y0 + fh - 1);
  };
  long long x = stored.Left.value_or(current.x());
  long long y = stored.Top.value_or(current.y());
  // A window that lies on the screens stays exactly where it is, across
  // two of them too. One cut down to a screen, placed elsewhere, or partly
  // off the screens (a scaled display makes the design place too low for
  // Start and Exit) lies wholly on its screen as far as its size allows.
  bool fit = (stored.Width && *stored.Width != w) || (stored.Height && *stored.Height != h) || !wholly(x, y);
  const QRect* home = screenOf(x, y);
  if (home == nullptr) {
    x = current.x();
    y = current.y();
    fit = true;
    home = screenOf(x, y);
  }
  if (home == nullptr) home = &screens.first();
  if (fit) {
    const QRect& r = *home;
    x = std::clamp<long long>(x, r.x(), std::max<long long>(r.x(), r.x() + static_cast<long long>(r.width()) - fw));
    y = std::clamp<long long>(y, r.y(), std::max<long long>(r.y(), r.y() + static_cast<long long>(r.height()) - fh));
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
  // Known once the window is shown, as it is at its first activation.
  const QRect outer = frameGeometry(), inner = geometry();
  const QMargins frame(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                       outer.bottom() - inner.bottom());
  const QRect fitted = FitToScreens(s, QRect(pos(), size()), minimumSize(), screens, frame);
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
  for (const std::string& item : PortListItems(ports)) combo->addItem(TextOfBytes(item));
  SelectComboItem(combo, text);
}

void TMain::DoUpdCOMs(QObject*) {
  const std::vector<std::string> ports = ListPorts(SerIF1);
  FillPortCombo(COM1Combo, ports);
  FillPortCombo(COM2Combo, ports);
}

}  // namespace qv
