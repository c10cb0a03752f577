// TMain: the program's one window. It shows the start view (golden
// reference, ports, firmware files) or the run view (log pane, status and
// prompt text, progress bar) of the worker it starts, keeps the settings
// file and the input histories, and serves the worker's synchronised calls
// on its own thread.
#pragma once

#include <QList>
#include <QMargins>
#include <QRect>
#include <QString>
#include <QWidget>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "settings/SettingsFile.h"
#include "procedure/WindowControls.h"
#include "procedure/SerThread.h"
#include "serial/ComPort.h"
#include "trace/Limits.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace qv {

// The file open dialog as the window sets it up. Filter holds
// "description|patterns" pairs separated by "|"; FilterIndex counts from 1.
struct TOpenDialog {
  QString Filter;
  int FilterIndex = 1;
  QString DefaultExt;
  QString Title;
  QString FileName;
};

// Runs the dialog: true when the operator confirmed, FileName then holding
// the chosen file.
using TOpenDialogRunner = std::function<bool(TOpenDialog& dialog)>;

// The platform's file dialog: an existing file in an existing folder, the
// filter's patterns matched in either letter case, resizable.
bool ExecuteOpenDialog(TOpenDialog& dialog, QWidget* parent);

// Qt's form of a "description|patterns|..." filter, one entry a pair.
QStringList QtNameFilters(const QString& filter);

// Where the window goes for the stored position and size: the frame's
// top-left and the client size, from current where a value is absent; frame
// is the window frame around the client area. The size stays within minimum
// and the largest screen; a position from which too little of the caption
// would lie on any screen gives way to current's, and failing that to the
// nearest place on the first screen. A window whose frame does not lie on
// the screens (Start and Exit, at its bottom corners, would be out of reach)
// is moved onto its screen as far as its size allows; one that lies on them
// stays exactly where it is.
QRect FitToScreens(const TSettings& stored, const QRect& current, const QSize& minimum, const QList<QRect>& screens,
                   const QMargins& frame = {});

namespace records {
class TRecordWriter;
}

class TMain : public QWidget, public TWindowControls {
  Q_OBJECT

 public:
  explicit TMain(QWidget* parent = nullptr);
  ~TMain() override;

  // ---- controls, in the order of their declaration ----
  QGroupBox* QVGroup;
  QGroupBox* SrvGroup;
  QLabel* COM1Txt;
  QComboBox* COM1Combo;
  QLabel* File1Txt;
  QComboBox* File1Combo;
  QLabel* File2Txt;
  QComboBox* File2Combo;
  QPushButton* Browse1But;
  QPushButton* Upd1But;
  QPushButton* Browse2But;
  QLabel* COM2Txt;
  QComboBox* COM2Combo;
  QPushButton* Upd2But;
  QCheckBox* SrvChk;
  QLabel* File3Txt;
  QComboBox* File3Combo;
  QPushButton* Browse3But;
  QPushButton* StartBut;
  QPushButton* ExitBut;
  TOpenDialogRunner OpenDlg;
  TComPort SerIF1{nullptr};
  TComPort SerIF2{nullptr};
  QPlainTextEdit* LogMemo;
  QLabel* StatTxt;
  QProgressBar* PrcBar;
  QLabel* GoldTxt;
  QRadioButton* QVradio;
  QRadioButton* SRVradio;
  QCheckBox* AnaChk;

  // ---- fields ----
  bool FirstActivation = false;
  // The program file the payload is read from and the settings file is
  // named after; set before the first activation to use another.
  std::string ProgramPath;
  // When set, Start creates the worker suspended, hands it to this hook
  // (which may fill its step table) and then starts it.
  std::function<void(TSerThread&)> PrepareWorker;

  // ---- event handlers ----
  void DoCreat();
  void DoActiv();
  void DoClos();
  void DoStart();
  void DoExit();
  void DoGoldRadio();
  void UpdSrvChk();
  void DoUpdCOMs(QObject* sender = nullptr);
  void DoBrowse1();
  void DoBrowse2();
  void DoBrowse3();

  // ---- other operations ----
  void SetGolden(bool golden);
  void DoQVChk();
  QString DoBrowseQV(const QString& current, const QString& title);
  void SelectComboItem(QComboBox* combo, const QString& text);
  void AddToHistory(QComboBox* combo);
  QString JoinHistory(const QComboBox* combo) const;
  void SplitHistory(QComboBox* combo, const QString& line);
  void FillPortCombo(QComboBox* combo, const std::vector<std::string>& ports);
  // The settings file; every failure is silent.
  void ReadSettings();
  void WriteSettings();
  void OpenRecords();
  void PrepareTraceability();

  // ---- the window as the worker sees it ----
  bool AnaChkChecked() const override;
  TComboState Combo(TComboId id) const override;
  void AddToHistory(TComboId id) override;
  // The unit's record, to the records beside the program.
  void UnitEnded(const TUnitResult& result) override;
  // The hint goes to the log pane once a run.
  void PortAccessDenied(const std::string& port, const std::string& reason) override;

  // ---- the controls the worker's intents are shown on ----
  void AddLogMemoLine(const std::string& line) override;
  void SetLogMemoVisible(bool visible) override;
  void FocusLogMemo() override;
  void RepaintLogMemo() override;
  void SetStatTxtCaption(const std::string& text) override;
  void SetStatTxtVisible(bool visible) override;
  void SetPrcBarPosition(int position) override;
  void SetPrcBarVisible(bool visible) override;
  void SetStartButCaption(const std::string& caption) override;
  void SetStartButVisible(bool visible) override;
  void FocusStartBut() override;
  void SetExitButCaption(const std::string& caption) override;
  void SetExitButVisible(bool visible) override;

  QComboBox* ComboOf(TComboId id) const;

 protected:
  bool event(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void showEvent(QShowEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  // Anchors: an anchored control keeps its distances to the anchored sides
  // of its parent; anchored to both opposite sides it stretches.
  enum TAnchor : unsigned { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };
  struct TAnchored {
    QWidget* Control;
    unsigned Anchors;
    int Left, Top, Right, Bottom, Width, Height;
  };
  void Anchor(QWidget* control, unsigned anchors);
  // Takes the control's current place as its new reference.
  void Reanchor(QWidget* control);
  void ApplyAnchors(QWidget* parent);
  void MoveControl(QWidget* control, int dx, int dy);
  void PlaceLabel(QLabel* label, int left, int top, int rightEdge);

  // Copies of the combos for the worker, taken on the window's thread.
  void RefreshCombos();
  TComboState ReadCombo(TComboId id) const;

  std::vector<TAnchored> FAnchors;
  mutable std::mutex FComboLock;
  std::array<TComboState, 5> FCombos;
  std::atomic<bool> FAnaChecked{false};
  // Opened at the first activation, when the program's folder is known.
  std::unique_ptr<records::TRecordWriter> FRecords;
  // The line's limits of the run, read with the manifest at its start.
  trace::TLimits FLimits;
  bool FAccessHinted = false;
};

// The program's window.
extern TMain* Main;

}  // namespace qv
