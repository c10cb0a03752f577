#include "app/Main.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontInfo>
#include <QTimer>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>

#include <algorithm>
#include <filesystem>
#include <utility>

#include "app/Bytes.h"
#include "settings/PortList.h"
#include "settings/SettingsFile.h"
#include "firmware/Payload.h"
#include "procedure/WorkerControl.h"
#include "records/Record.h"
#include "records/Store.h"
#include "records/Text.h"
#include "trace/Manifest.h"

namespace qv {

TMain* Main = nullptr;

namespace {

const char* const kCaption = "Quorvantis Pro automatic fine-tuning tool";
const char* const kQVFilter = "QPF packages (*.QPF)|*.QPF|Binary files (*.BIN)|*.BIN|Any file (*.*)|*.*";
const char* const kSrvFilter = "SFF packages (*.SFF)|*.SFF|HEX files (*.HEX)|*.HEX|Any file (*.*)|*.*";

constexpr int kClientWidth = 354;
constexpr int kClientHeight = 370;
// The smallest window is 350 x 388 with its frame; the sizeable frame of
// the platform the window was laid out on takes 4 pixels on each side and
// a 19-pixel caption, which leaves this client area.
constexpr int kMinClientWidth = 342;
constexpr int kMinClientHeight = 361;
constexpr int kLabelGap = 4;

using TControls = std::initializer_list<QWidget*>;

template <class T>
T* Control(QWidget* parent, const char* name) {
  auto* control = new T(parent);
  control->setObjectName(QString::fromLatin1(name));
  return control;
}

}  // namespace

QStringList QtNameFilters(const QString& filter) {
  QStringList filters;
  const QStringList parts = filter.split(QLatin1Char('|'));
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i];
    // Qt takes the patterns from the parentheses, so the description loses
    // its own and gets the full set.
    if (description.endsWith(QLatin1Char(')'))) {
      const qsizetype open = description.lastIndexOf(QLatin1Char('('));
      if (open >= 0) description = description.left(open).trimmed();
    }
    QStringList patterns;
    for (const QString& p : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      // "*.*" would leave out the files without a dot in their name.
      if (p == QLatin1String("*.*")) {
        patterns << QStringLiteral("*");
        continue;
      }
      // File systems that tell letter case apart would hide "x.qpf" behind
      // "*.QPF".
      patterns << p;
      if (p.toLower() != p) patterns << p.toLower();
    }
    filters << description + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return filters;
}

bool ExecuteOpenDialog(TOpenDialog& dialog, QWidget* parent) {
  QFileDialog dlg(parent, dialog.Title);
  dlg.setAcceptMode(QFileDialog::AcceptOpen);
  dlg.setFileMode(QFileDialog::ExistingFile);
  const QStringList filters = QtNameFilters(dialog.Filter);
  dlg.setNameFilters(filters);
  if (dialog.FilterIndex >= 1 && dialog.FilterIndex <= filters.size())
    dlg.selectNameFilter(filters[dialog.FilterIndex - 1]);
  dlg.setDefaultSuffix(dialog.DefaultExt);
  dlg.setSizeGripEnabled(true);
  if (!dialog.FileName.isEmpty()) dlg.selectFile(dialog.FileName);
  if (dlg.exec() != QDialog::Accepted) return false;
  const QStringList chosen = dlg.selectedFiles();
  if (chosen.isEmpty()) return false;
  dialog.FileName = chosen.first();
  return true;
}

// The system's fixed font is only a name that the font configuration maps
// to some installed face, which need not be fixed-pitch (seen with the URW
// fonts installed): the faces are named, and checked.
QFont FixedPitchFont(int pixelSize) {
  QFont font;
  font.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Liberation Mono"),
                    QStringLiteral("Courier New"), QStringLiteral("Nimbus Mono PS"), QStringLiteral("Courier")});
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setPixelSize(pixelSize);
  if (QFontInfo(font).fixedPitch()) return font;
  for (const QString& family : QFontDatabase::families()) {
    if (!QFontDatabase::isFixedPitch(family)) continue;
    font.setFamilies({family});
    if (QFontInfo(font).fixedPitch()) return font;
  }
  return font;
}

TMain::TMain(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Main"));
  setWindowTitle(QString::fromLatin1(kCaption));
  // The controls are laid out for an 8-point sans serif 11 pixels high; a
  // wider face or a larger default size would not fit them, so the face is
  // the one of the layout or, where it is missing, the nearest narrow one.
  QFont font = this->font();
  font.setFamilies({QStringLiteral("Microsoft Sans Serif"), QStringLiteral("MS Sans Serif"), QStringLiteral("Arial"),
                    QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans Condensed")});
  font.setPixelSize(11);
  setFont(font);
  move(192, 107);
  resize(kClientWidth, kClientHeight);
  setMinimumSize(kMinClientWidth, kMinClientHeight);

  QVGroup = Control<QGroupBox>(this, "QVGroup");
  QVGroup->setTitle(QStringLiteral("Quorvantis "));
  QVGroup->setGeometry(8, 44, 337, 137);
  SrvGroup = Control<QGroupBox>(this, "SrvGroup");
  SrvGroup->setTitle(QStringLiteral("Server "));
  SrvGroup->setGeometry(8, 184, 337, 137);

  COM1Txt = Control<QLabel>(QVGroup, "COM1Txt");
  COM1Txt->setText(QStringLiteral("COM port"));
  COM1Combo = Control<QComboBox>(QVGroup, "COM1Combo");
  COM1Combo->setGeometry(112, 21, 169, 21);
  File1Txt = Control<QLabel>(QVGroup, "File1Txt");
  File1Txt->setText(QStringLiteral("RF modem firmware"));
  File1Combo = Control<QComboBox>(QVGroup, "File1Combo");
  File1Combo->setGeometry(112, 77, 169, 21);
  File2Txt = Control<QLabel>(QVGroup, "File2Txt");
  File2Txt->setText(QStringLiteral("EEPROM firmware"));
  File2Combo = Control<QComboBox>(QVGroup, "File2Combo");
  File2Combo->setGeometry(112, 101, 169, 21);
  Browse1But = Control<QPushButton>(QVGroup, "Browse1But");
  Browse1But->setText(QStringLiteral("..."));
  Browse1But->setGeometry(288, 77, 31, 21);
  Upd1But = Control<QPushButton>(QVGroup, "Upd1But");
  Upd1But->setText(QStringLiteral("upd"));
  Upd1But->setGeometry(288, 21, 31, 21);
  Browse2But = Control<QPushButton>(QVGroup, "Browse2But");
  Browse2But->setText(QStringLiteral("..."));
  Browse2But->setGeometry(288, 101, 31, 21);

  COM2Txt = Control<QLabel>(SrvGroup, "COM2Txt");
  COM2Txt->setText(QStringLiteral("COM port"));
  COM2Combo = Control<QComboBox>(SrvGroup, "COM2Combo");
  COM2Combo->setGeometry(112, 21, 169, 21);
  Upd2But = Control<QPushButton>(SrvGroup, "Upd2But");
  Upd2But->setText(QStringLiteral("upd"));
  Upd2But->setGeometry(288, 21, 31, 21);
  SrvChk = Control<QCheckBox>(SrvGroup, "SrvChk");
  SrvChk->setText(QStringLiteral("Restore firmware after test"));
  SrvChk->setGeometry(112, 64, 153, 17);
  File3Txt = Control<QLabel>(SrvGroup, "File3Txt");
  File3Txt->setText(QStringLiteral("Server firmware"));
  File3Combo = Control<QComboBox>(SrvGroup, "File3Combo");
  File3Combo->setGeometry(112, 101, 169, 21);
  Browse3But = Control<QPushButton>(SrvGroup, "Browse3But");
  Browse3But->setText(QStringLiteral("..."));
  Browse3But->setGeometry(288, 101, 31, 21);

  StartBut = Control<QPushButton>(this, "StartBut");
  StartBut->setText(QStringLiteral("&Start!"));
  StartBut->setGeometry(24, 336, 129, 25);
  StartBut->setDefault(true);
  ExitBut = Control<QPushButton>(this, "ExitBut");
  ExitBut->setText(QStringLiteral("&Exit"));
  ExitBut->setGeometry(200, 336, 129, 25);
  OpenDlg = [this](TOpenDialog& dialog) { return ExecuteOpenDialog(dialog, this); };

  LogMemo = Control<QPlainTextEdit>(this, "LogMemo");
  LogMemo->setReadOnly(true);
  LogMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  LogMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  LogMemo->setGeometry(8, 8, 337, 297);
  LogMemo->hide();
  StatTxt = Control<QLabel>(this, "StatTxt");
  StatTxt->setTextFormat(Qt::PlainText);
  // Small enough that the longest prompt line fits the window's width.
  StatTxt->setFont(FixedPitchFont(10));
  StatTxt->move(8, 8);
  StatTxt->hide();
  PrcBar = Control<QProgressBar>(this, "PrcBar");
  PrcBar->setRange(0, 100);
  PrcBar->setValue(0);
  PrcBar->setTextVisible(false);
  PrcBar->setGeometry(8, 312, 337, 16);
  PrcBar->hide();
  GoldTxt = Control<QLabel>(this, "GoldTxt");
  GoldTxt->setText(QStringLiteral("&Golden reference"));
  QVradio = Control<QRadioButton>(this, "QVradio");
  QVradio->setText(QStringLiteral("&Quorvantis"));
  QVradio->setGeometry(120, 7, 81, 17);
  GoldTxt->setBuddy(QVradio);
  SRVradio = Control<QRadioButton>(this, "SRVradio");
  SRVradio->setText(QStringLiteral("&Server"));
  SRVradio->setGeometry(216, 7, 57, 17);
  AnaChk = Control<QCheckBox>(this, "AnaChk");
  AnaChk->setText(QStringLiteral("&Analysis only, do not change compensation setting"));
  // The caption stands left of the box.
  AnaChk->setLayoutDirection(Qt::RightToLeft);
  AnaChk->setGeometry(30, 24, 259, 17);
  // A face with wider letters would cut the caption's start off; the box
  // keeps its place and the caption grows to the left.
  if (const int hint = AnaChk->sizeHint().width(); hint > AnaChk->width())
    AnaChk->setGeometry(AnaChk->geometry().right() + 1 - hint, 24, hint, 17);

  // Right-aligned labels end a gap before the control they name, wherever
  // the font's widths put their left edge.
  PlaceLabel(COM1Txt, 60, 24, 112 - kLabelGap);
  PlaceLabel(File1Txt, 13, 80, 112 - kLabelGap);
  PlaceLabel(File2Txt, 18, 104, 112 - kLabelGap);
  PlaceLabel(COM2Txt, 60, 24, 112 - kLabelGap);
  PlaceLabel(File3Txt, 33, 104, 112 - kLabelGap);
  PlaceLabel(GoldTxt, 32, 8, 120 - kLabelGap);

  for (QComboBox* combo : {File1Combo, File2Combo, File3Combo}) {
    combo->setEditable(true);
    // Only a file the worker has read enters a history.
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->setCompleter(nullptr);
  }
  // The buttons answer Enter themselves when they have the focus; anywhere
  // else Enter goes to StartBut (keyPressEvent).
  for (QPushButton* button : {Browse1But, Upd1But, Browse2But, Upd2But, Browse3But, StartBut, ExitBut})
    button->setAutoDefault(true);

  Anchor(QVGroup, akTop | akLeft | akRight);
  Anchor(SrvGroup, akTop | akLeft | akRight);
  for (QWidget* c : TControls{COM1Txt, File1Txt, File2Txt, COM2Txt, SrvChk, File3Txt}) Anchor(c, akLeft | akTop);
  for (QWidget* c : TControls{COM1Combo, File1Combo, File2Combo, COM2Combo, File3Combo})
    Anchor(c, akTop | akLeft | akRight);
  for (QWidget* c : TControls{Browse1But, Upd1But, Browse2But, Upd2But, Browse3But}) Anchor(c, akTop | akRight);
  Anchor(StartBut, akBottom | akLeft);
  Anchor(ExitBut, akBottom | akRight);
  Anchor(LogMemo, akTop | akLeft | akRight | akBottom);
  Anchor(StatTxt, akLeft | akTop);
  Anchor(PrcBar, akLeft | akRight | akBottom);
  for (QWidget* c : TControls{GoldTxt, QVradio, SRVradio, AnaChk}) Anchor(c, akLeft | akTop);

  setTabOrder(QVradio, SRVradio);
  setTabOrder(SRVradio, AnaChk);
  setTabOrder(AnaChk, COM1Combo);
  setTabOrder(COM1Combo, File1Combo);
  setTabOrder(File1Combo, File2Combo);
  setTabOrder(File2Combo, Browse1But);
  setTabOrder(Browse1But, Upd1But);
  setTabOrder(Upd1But, Browse2But);
  setTabOrder(Browse2But, COM2Combo);
  setTabOrder(COM2Combo, Upd2But);
  setTabOrder(Upd2But, SrvChk);
  setTabOrder(SrvChk, File3Combo);
  setTabOrder(File3Combo, Browse3But);
  setTabOrder(Browse3But, StartBut);
  setTabOrder(StartBut, ExitBut);
  setTabOrder(ExitBut, LogMemo);

  SetUpPortComponents(SerIF1, SerIF2);
  Ports = {&SerIF1, &SerIF2};

  ProgramPath = BytesOfText(QCoreApplication::applicationFilePath());

  connect(StartBut, &QPushButton::clicked, this, [this] { DoStart(); });
  connect(ExitBut, &QPushButton::clicked, this, [this] { DoExit(); });
  connect(Browse1But, &QPushButton::clicked, this, [this] { DoBrowse1(); });
  connect(Browse2But, &QPushButton::clicked, this, [this] { DoBrowse2(); });
  connect(Browse3But, &QPushButton::clicked, this, [this] { DoBrowse3(); });
  connect(Upd1But, &QPushButton::clicked, this, [this] { DoUpdCOMs(Upd1But); });
  connect(Upd2But, &QPushButton::clicked, this, [this] { DoUpdCOMs(Upd2But); });
  connect(SrvChk, &QCheckBox::toggled, this, [this] { UpdSrvChk(); });
  // A radio button reports the choice when it becomes checked, by a click
  // or by the window itself.
  for (QRadioButton* radio : {QVradio, SRVradio})
    connect(radio, &QRadioButton::toggled, this, [this](bool checked) {
      if (checked) DoGoldRadio();
    });
  // The worker reads this one from its own thread.
  connect(AnaChk, &QCheckBox::toggled, this, [this](bool checked) { FAnaChecked.store(checked); });

  // A worker's synchronised call arrives on the worker's thread; the queue is
  // drained on this window's thread by a queued call.
  SyncQueue->SetNotifier([this] {
    QMetaObject::invokeMethod(
        this, [this] { SyncQueue->CheckSynchronize(); }, Qt::QueuedConnection);
  });

  DoCreat();
}

TMain::~TMain() {
  // A window that goes away with its worker still there (closing stops it
  // already) must not leave it calling into a dead window.
  StopWorker(*this);
  // Whatever is still queued is written or spooled first.
  FRecords.reset();
  SyncQueue->SetNotifier(nullptr);
  if (Main == this) Main = nullptr;
}

// ---- anchors ----------------------------------------------------------------

void TMain::Anchor(QWidget* control, unsigned anchors) {
  FAnchors.push_back({control, anchors, 0, 0, 0, 0, 0, 0});
  Reanchor(control);
}

void TMain::Reanchor(QWidget* control) {
  for (TAnchored& a : FAnchors) {
    if (a.Control != control) continue;
    const QRect r = control->geometry();
    const QWidget* parent = control->parentWidget();
    a.Left = r.x();
    a.Top = r.y();
    a.Width = r.width();
    a.Height = r.height();
    a.Right = parent->width() - (r.x() + r.width());
    a.Bottom = parent->height() - (r.y() + r.height());
  }
}

void TMain::ApplyAnchors(QWidget* parent) {
  const int pw = parent->width();
  const int ph = parent->height();
  for (const TAnchored& a : FAnchors) {
    if (a.Control->parentWidget() != parent) continue;
    int x = a.Left;
    int w = a.Width;
    if ((a.Anchors & akLeft) && (a.Anchors & akRight))
      w = pw - a.Left - a.Right;
    else if (a.Anchors & akRight)
      x = pw - a.Right - a.Width;
    int y = a.Top;
    int h = a.Height;
    if ((a.Anchors & akTop) && (a.Anchors & akBottom))
      h = ph - a.Top - a.Bottom;
    else if (a.Anchors & akBottom)
      y = ph - a.Bottom - a.Height;
    a.Control->setGeometry(x, y, w < 0 ? 0 : w, h < 0 ? 0 : h);
  }
  // A hidden or not yet shown group gets its resize event late; its
  // controls follow now.
  for (QWidget* group : TControls{QVGroup, SrvGroup})
    if (group->parentWidget() == parent) ApplyAnchors(group);
}

void TMain::MoveControl(QWidget* control, int dx, int dy) {
  control->move(control->x() + dx, control->y() + dy);
  Reanchor(control);
}

void TMain::PlaceLabel(QLabel* label, int left, int top, int rightEdge) {
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  const QSize hint = label->sizeHint();
  const int width = std::max(hint.width(), rightEdge - left);
  label->setGeometry(rightEdge - width, top, width, hint.height());
}

void TMain::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  ApplyAnchors(this);
}

// ---- window events ----------------------------------------------------------

bool TMain::event(QEvent* e) {
  if (e->type() == QEvent::WindowActivate) DoActiv();
  return QWidget::event(e);
}

// Without a window manager (a bare X server) a shown window is never
// activated; its first activation's work then comes right after it is
// shown. DoActiv does that work once, whichever comes first.
void TMain::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (FirstActivation) QTimer::singleShot(0, this, [this] { DoActiv(); });
}

void TMain::closeEvent(QCloseEvent* e) {
  DoClos();
  e->accept();
}

void TMain::keyPressEvent(QKeyEvent* e) {
  // Enter that no control took is the default button's.
  if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && e->modifiers() == Qt::NoModifier) {
    if (StartBut->isVisible() && StartBut->isEnabled()) StartBut->click();
    e->accept();
    return;
  }
  QWidget::keyPressEvent(e);
}

// ---- handlers ---------------------------------------------------------------

void TMain::DoCreat() {
  FirstActivation = true;
}

void TMain::DoActiv() {
  if (!FirstActivation) return;
  Payload.reset();
  PayloadSize = 0;
  DoUpdCOMs(nullptr);
  GoldenIsHandheld = false;
  RestoreServer = false;

  TPayload payload;
  switch (ReadProgramPayload(ProgramPath, payload)) {
    case prUnusable:
      // FirstActivation stays set, so closing writes no settings file.
      close();
      return;
    case prFound:
      Payload = std::move(payload.Data);
      PayloadSize = payload.Size;
      break;
    case prNone:
      break;
  }

  ProgramDir = ProgramDirOf(ProgramPath);
  IniPath = IniPathFor(ProgramPath);
  ReadSettings();
  OpenRecords();
  SetGolden(GoldenIsHandheld);
  for (QComboBox* combo : {File1Combo, File2Combo, File3Combo})
    if (combo->count() > 0) combo->setCurrentIndex(0);
  Worker = nullptr;

  if (Payload) {
    const uint8_t flags = PayloadFlags(Payload.get(), PayloadSize);
    const bool golden = (flags & pfGoldenIsHandheld) != 0;
    AnaChk->setChecked((flags & pfAnalysisChecked) != 0);
    AnaChk->setVisible((flags & pfAnalysisShown) != 0);
    GoldenIsHandheld = golden;
    QVradio->setChecked(golden);
    SRVradio->setChecked(!golden);
    SRVradio->setVisible(golden);
    QVradio->setVisible(golden);
    GoldTxt->setVisible(golden);
    if ((flags & (pfGoldenIsHandheld | pfAnalysisShown)) == 0) {
      MoveControl(QVGroup, 0, -24);
      MoveControl(SrvGroup, 0, -12);
    }
    RestoreServer = true;
    for (QWidget* c : TControls{Browse1But, Browse2But, Browse3But, File1Combo, File2Combo, File3Combo, File1Txt,
                                File2Txt, File3Txt, SrvChk})
      c->hide();
    setWindowTitle(TextOfBytes(PayloadCaption(Payload.get(), PayloadSize)));
  }

  StartBut->setFocus();
  FirstActivation = false;
}

void TMain::DoClos() {
  if (FirstActivation) return;
  WriteSettings();
  // After the settings: a worker that is stopped here may still change the
  // ports it found.
  StopWorker(*this);
  // The worker's closing server restore may decode from the payload, so it
  // goes only now.
  Payload.reset();
  PayloadSize = 0;
}

void TMain::DoStart() {
  StatTxt->hide();
  if (!QVGroup->isHidden()) {
    for (QWidget* c : TControls{QVGroup, SrvGroup, GoldTxt, QVradio, SRVradio, AnaChk}) c->hide();
    LogMemo->clear();
    StartBut->hide();
    StartBut->setText(QStringLiteral("&Ok"));
    ExitBut->setText(QStringLiteral("&Cancel"));
    RefreshCombos();
    PrepareTraceability();
    FAccessHinted = false;
    if (PrepareWorker) {
      auto* worker = new TSerThread(true, *this);
      Worker = worker;
      PrepareWorker(*worker);
      worker->Resume();
    } else {
      Worker = new TSerThread(false, *this);
    }
    return;
  }
  if (Worker != nullptr) {
    StartWithWorker();
    return;
  }
  LogMemo->hide();
  PrcBar->hide();
  QVGroup->show();
  SrvGroup->show();
  const bool choices = !Payload;
  for (QWidget* c : TControls{GoldTxt, QVradio, SRVradio, AnaChk}) c->setVisible(choices);
  ExitBut->setText(QStringLiteral("&Exit"));
  ExitBut->show();
  StartBut->setText(QStringLiteral("&Start"));
}

void TMain::DoExit() {
  if (!QVGroup->isHidden())
    close();
  else
    ExitWithWorker();
}

void TMain::DoGoldRadio() {
  SetGolden(!SRVradio->isChecked());
}

void TMain::SetGolden(bool golden) {
  GoldenIsHandheld = golden;
  QVradio->setChecked(golden);
  SRVradio->setChecked(!golden);
  for (QWidget* c : TControls{SrvChk, File1Txt, File1Combo, Browse1But, File2Txt, File2Combo, Browse2But})
    c->setVisible(!golden);
  UpdSrvChk();
}

void TMain::UpdSrvChk() {
  RestoreServer = SrvChk->isChecked();
  const bool serverFile = GoldenIsHandheld || RestoreServer;
  for (QWidget* c : TControls{File3Txt, File3Combo, Browse3But}) c->setVisible(serverFile);
}

void TMain::DoQVChk() {
  SetGolden(QVradio->isChecked());
}

QString TMain::DoBrowseQV(const QString& current, const QString& title) {
  TOpenDialog dialog;
  dialog.Filter = QString::fromLatin1(kQVFilter);
  dialog.FilterIndex = 1;
  dialog.DefaultExt = QStringLiteral("QPF");
  dialog.Title = title;
  dialog.FileName = current;
  if (OpenDlg && OpenDlg(dialog)) return dialog.FileName;
  return current;
}

void TMain::DoBrowse1() {
  File1Combo->setEditText(DoBrowseQV(File1Combo->currentText(), QStringLiteral("Select RF modem firmware")));
}

void TMain::DoBrowse2() {
  File2Combo->setEditText(DoBrowseQV(File2Combo->currentText(), QStringLiteral("Select Quorvantis firmware")));
}

void TMain::DoBrowse3() {
  TOpenDialog dialog;
  dialog.Filter = QString::fromLatin1(kSrvFilter);
  dialog.FilterIndex = 1;
  dialog.DefaultExt = QStringLiteral("SFF");
  dialog.Title = QStringLiteral("Select server firmware");
  dialog.FileName = File3Combo->currentText();
  if (OpenDlg && OpenDlg(dialog)) File3Combo->setEditText(dialog.FileName);
}

// ---- the worker's view ------------------------------------------------------

QComboBox* TMain::ComboOf(TComboId id) const {
  switch (id) {
    case ciCOM1:
      return COM1Combo;
    case ciCOM2:
      return COM2Combo;
    case ciFile1:
      return File1Combo;
    case ciFile2:
      return File2Combo;
    case ciFile3:
      return File3Combo;
  }
  return nullptr;
}

TComboState TMain::ReadCombo(TComboId id) const {
  const QComboBox* combo = ComboOf(id);
  TComboState state;
  for (int i = 0; i < combo->count(); ++i) state.Items.push_back(BytesOfText(combo->itemText(i)));
  state.Text = BytesOfText(combo->currentText());
  state.ItemIndex = combo->currentIndex();
  // Text typed over a selection no longer names that item.
  if (combo->isEditable() && state.ItemIndex >= 0 && combo->itemText(state.ItemIndex) != combo->currentText())
    state.ItemIndex = -1;
  return state;
}

void TMain::RefreshCombos() {
  std::array<TComboState, 5> combos;
  for (TComboId id : {ciCOM1, ciCOM2, ciFile1, ciFile2, ciFile3}) combos[id] = ReadCombo(id);
  std::lock_guard<std::mutex> lock(FComboLock);
  FCombos = std::move(combos);
}

TComboState TMain::Combo(TComboId id) const {
  std::lock_guard<std::mutex> lock(FComboLock);
  return FCombos[id];
}

bool TMain::AnaChkChecked() const {
  return FAnaChecked.load();
}

void TMain::AddToHistory(TComboId id) {
  AddToHistory(ComboOf(id));
  RefreshCombos();
}

void TMain::AddLogMemoLine(const std::string& line) {
  LogMemo->appendPlainText(TextOfBytes(line));
}

void TMain::SetLogMemoVisible(bool visible) {
  LogMemo->setVisible(visible);
}

void TMain::FocusLogMemo() {
  LogMemo->setFocus();
}

void TMain::RepaintLogMemo() {
  LogMemo->viewport()->repaint();
}

void TMain::SetStatTxtCaption(const std::string& text) {
  QString caption = TextOfBytes(text);
  caption.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  StatTxt->setText(caption);
  StatTxt->adjustSize();
  Reanchor(StatTxt);
}

void TMain::SetStatTxtVisible(bool visible) {
  StatTxt->setVisible(visible);
}

void TMain::SetPrcBarPosition(int position) {
  PrcBar->setValue(position);
}

void TMain::SetPrcBarVisible(bool visible) {
  PrcBar->setVisible(visible);
}

void TMain::SetStartButCaption(const std::string& caption) {
  StartBut->setText(TextOfBytes(caption));
}

void TMain::SetStartButVisible(bool visible) {
  StartBut->setVisible(visible);
}

void TMain::FocusStartBut() {
  StartBut->setFocus();
}

void TMain::SetExitButCaption(const std::string& caption) {
  ExitBut->setText(TextOfBytes(caption));
}

void TMain::SetExitButVisible(bool visible) {
  ExitBut->setVisible(visible);
}

// ---- the records ------------------------------------------------------------

// The records go to the SQLite file beside the program, or to the
// PostgreSQL server that qvtune.records.conf there names; the settings
// file keeps its ten lines.
void TMain::OpenRecords() {
  const std::string conninfo = records::ReadConninfoFile(ProgramDir + "qvtune.records.conf");
  const std::string file = ProgramDir + "qvtune.records";
  std::unique_ptr<records::TRecordStore> store =
      conninfo.empty() ? records::SqliteStore(file) : records::PostgresStore(conninfo);
  // The writer's thread reports; the line goes to the log pane only, never
  // into the transcript.
  FRecords =
      std::make_unique<records::TRecordWriter>(std::move(store), file + ".spool", [this](const std::string& line) {
        QMetaObject::invokeMethod(
            this, [this, line] { LogMemo->appendPlainText(TextOfBytes(line)); }, Qt::QueuedConnection);
      });
}

void TMain::UnitEnded(const TUnitResult& result) {
  const std::vector<trace::TLimitVerdict> verdicts = FLimits.Check(result);
  records::TUnitExtras extras;
  if (!verdicts.empty()) extras.Limits = trace::LimitsJson(verdicts).dump();
  if (const trace::TLimitVerdict* outside = trace::FirstFailed(verdicts)) {
    extras.FailedLimit = trace::OutsideLimit(*outside);
    // The pane only, the transcript stays the procedure's own; after the
    // outcome line, which the worker shows once this call has returned.
    const QString line = TextOfBytes("Unit " + extras.FailedLimit + ": " + trace::Describe(*outside));
    QMetaObject::invokeMethod(
        this, [this, line] { LogMemo->appendPlainText(line); }, Qt::QueuedConnection);
  }
  if (!FRecords) return;
  static const records::TRecordSource source{records::HostName(), "qvtune " QV_VERSION, {}};
  FRecords->Submit(records::RecordOfUnit(result, source, extras));
}

void TMain::PortAccessDenied(const std::string& port, const std::string& reason) {
  if (FAccessHinted) return;
  FAccessHinted = true;
  // The pane only: the transcript stays the procedure's own.
  LogMemo->appendPlainText(TextOfBytes(PortAccessHint(port, reason)));
}

// The firmware manifest and the line's limits beside the program, read
// afresh for each run so that a corrected file is picked up. One that
// cannot be used is one more entry of the worker's reading errors: the run
// fails before any byte goes to a device.
void TMain::PrepareTraceability() {
  std::error_code ec;
  std::vector<std::string> problems;
  std::shared_ptr<trace::TManifest> manifest;
  const std::string manifestPath = ProgramDir + "qvtune.manifest";
  if (std::filesystem::exists(manifestPath, ec)) {
    manifest = std::make_shared<trace::TManifest>();
    std::string error;
    if (!manifest->Read(manifestPath, error)) problems.push_back(error);
  }
  FLimits = trace::TLimits();
  const std::string limitsPath = ProgramDir + "qvtune.limits";
  if (std::filesystem::exists(limitsPath, ec)) {
    std::string error;
    if (!FLimits.Read(limitsPath, error)) problems.push_back(error);
  }
  FirmwareCheck = trace::FirmwareCheck(manifest, problems);
}

}  // namespace qv
