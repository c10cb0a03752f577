// The window's design, its views, the buttons while a worker runs, the
// golden-reference rules and the file dialogs, on a real window.
#include <QFontInfo>

#include <atomic>
#include <optional>
#include <thread>

#include "tests/app/AppTest.h"

namespace qv::test {
namespace {

using WindowTest = AppTest;

struct TDesigned {
  const char* Name;
  const char* Class;
  const char* Parent;
  const char* Caption;  // null: not a captioned control
  QRect Geometry;       // null: sized by its text
  bool Visible;
};

const TDesigned kDesign[] = {
    {"QVGroup", "QGroupBox", "Main", "Quorvantis ", {8, 44, 337, 137}, true},
    {"SrvGroup", "QGroupBox", "Main", "Server ", {8, 184, 337, 137}, true},
    {"COM1Txt", "QLabel", "QVGroup", "COM port", {}, true},
    {"COM1Combo", "QComboBox", "QVGroup", nullptr, {112, 21, 169, 21}, true},
    {"File1Txt", "QLabel", "QVGroup", "RF modem firmware", {}, true},
    {"File1Combo", "QComboBox", "QVGroup", nullptr, {112, 77, 169, 21}, true},
    {"File2Txt", "QLabel", "QVGroup", "EEPROM firmware", {}, true},
    {"File2Combo", "QComboBox", "QVGroup", nullptr, {112, 101, 169, 21}, true},
    {"Browse1But", "QPushButton", "QVGroup", "...", {288, 77, 31, 21}, true},
    {"Upd1But", "QPushButton", "QVGroup", "upd", {288, 21, 31, 21}, true},
    {"Browse2But", "QPushButton", "QVGroup", "...", {288, 101, 31, 21}, true},
    {"COM2Txt", "QLabel", "SrvGroup", "COM port", {}, true},
    {"COM2Combo", "QComboBox", "SrvGroup", nullptr, {112, 21, 169, 21}, true},
    {"Upd2But", "QPushButton", "SrvGroup", "upd", {288, 21, 31, 21}, true},
    {"SrvChk", "QCheckBox", "SrvGroup", "Restore firmware after test", {112, 64, 153, 17}, true},
    // The server file row is shown only for a server restore or a tuned
    // server, neither of which the design values ask for.
    {"File3Txt", "QLabel", "SrvGroup", "Server firmware", {}, false},
    {"File3Combo", "QComboBox", "SrvGroup", nullptr, {112, 101, 169, 21}, false},
    {"Browse3But", "QPushButton", "SrvGroup", "...", {288, 101, 31, 21}, false},
    {"StartBut", "QPushButton", "Main", "&Start!", {24, 336, 129, 25}, true},
    {"ExitBut", "QPushButton", "Main", "&Exit", {200, 336, 129, 25}, true},
    {"LogMemo", "QPlainTextEdit", "Main", nullptr, {8, 8, 337, 297}, false},
    {"StatTxt", "QLabel", "Main", "", {}, false},
    {"PrcBar", "QProgressBar", "Main", nullptr, {8, 312, 337, 16}, false},
    {"GoldTxt", "QLabel", "Main", "&Golden reference", {}, true},
    {"QVradio", "QRadioButton", "Main", "&Quorvantis", {120, 7, 81, 17}, true},
    {"SRVradio", "QRadioButton", "Main", "&Server", {216, 7, 57, 17}, true},
    // Its box keeps its place (a face wider than the layout's moves the
    // caption's start to the left).
    {"AnaChk", "QCheckBox", "Main", "&Analysis only, do not change compensation setting", {}, true},
};

QString Caption(const QObject* o) {
  if (auto* b = qobject_cast<const QAbstractButton*>(o)) return b->text();
  if (auto* l = qobject_cast<const QLabel*>(o)) return l->text();
  if (auto* g = qobject_cast<const QGroupBox*>(o)) return g->title();
  return {};
}

TEST_F(WindowTest, StartViewAsDesigned) {
  TMain& w = Open();
  EXPECT_EQ(w.windowTitle(), QLatin1String("Quorvantis Pro automatic fine-tuning tool"));
  EXPECT_EQ(w.size(), QSize(354, 370));
  EXPECT_EQ(w.pos(), QPoint(192, 107));
  for (const TDesigned& d : kDesign) {
    SCOPED_TRACE(d.Name);
    auto* c = w.findChild<QWidget*>(QLatin1String(d.Name));
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->metaObject()->className(), d.Class);
    EXPECT_EQ(c->parentWidget()->objectName(), QLatin1String(d.Parent));
    if (d.Caption != nullptr) {
      EXPECT_EQ(Caption(c), QLatin1String(d.Caption));
    }
    if (!d.Geometry.isNull()) {
      EXPECT_EQ(c->geometry(), d.Geometry);
    }
    EXPECT_EQ(Shows(c), d.Visible);
  }
  // Port combos are lists, file combos take typed names.
  EXPECT_FALSE(w.COM1Combo->isEditable());
  EXPECT_FALSE(w.COM2Combo->isEditable());
  EXPECT_TRUE(w.File1Combo->isEditable());
  EXPECT_TRUE(w.File2Combo->isEditable());
  EXPECT_TRUE(w.File3Combo->isEditable());
  EXPECT_TRUE(w.LogMemo->isReadOnly());
  EXPECT_EQ(w.LogMemo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(w.PrcBar->minimum(), 0);
  EXPECT_EQ(w.PrcBar->maximum(), 100);
  EXPECT_TRUE(QFontInfo(w.StatTxt->font()).fixedPitch());
  EXPECT_EQ(w.GoldTxt->buddy(), w.QVradio);
  // Right-aligned labels end just before the control they name.
  for (QLabel* label : {w.COM1Txt, w.File1Txt, w.File2Txt, w.COM2Txt, w.File3Txt}) {
    EXPECT_EQ(label->geometry().right() + 1, 108) << label->objectName().toStdString();
    EXPECT_TRUE(label->alignment() & Qt::AlignRight);
  }
  EXPECT_EQ(w.GoldTxt->geometry().right() + 1, 116);
  EXPECT_EQ(w.COM1Txt->geometry().left(), 60) << "the label's left where its text fits";
  EXPECT_TRUE(w.StartBut->isDefault());
  EXPECT_EQ(w.focusWidget(), w.StartBut);
  EXPECT_EQ(w.AnaChk->layoutDirection(), Qt::RightToLeft) << "the caption stands left of the box";
  EXPECT_EQ(w.AnaChk->geometry().right() + 1, 30 + 259);
  EXPECT_EQ(w.AnaChk->y(), 24);
  EXPECT_GE(w.AnaChk->width(), 259);
  EXPECT_GE(w.AnaChk->width(), w.AnaChk->sizeHint().width());
  // The handheld is tuned: the server is the golden reference.
  EXPECT_FALSE(w.QVradio->isChecked());
  EXPECT_TRUE(w.SRVradio->isChecked());
  EXPECT_FALSE(w.GoldenIsHandheld);
  EXPECT_FALSE(w.RestoreServer);
  EXPECT_EQ(w.ProgramDir, Dir + "/");
  EXPECT_EQ(w.IniPath, IniPath());
  EXPECT_EQ(w.Ports.SerIF1, &w.SerIF1);
  EXPECT_EQ(w.Ports.SerIF2, &w.SerIF2);
  Screenshot(&w, "start-view");
}

TEST_F(WindowTest, PortComponentsAsDesigned) {
  TMain& w = Open();
  for (TComPort* port : {&w.SerIF1, &w.SerIF2}) {
    SCOPED_TRACE(port->Name);
    EXPECT_FALSE(port->Active());
    EXPECT_EQ(port->BaudRate(), br9600);
    EXPECT_EQ(port->DataBits(), db8);
    EXPECT_EQ(port->Parity(), paNone);
    EXPECT_EQ(port->StopBits(), sb1);
    EXPECT_EQ(port->FlowControl().DTR(), dcDisable);
    EXPECT_EQ(port->FlowControl().RTS(), rcEnable);
    EXPECT_EQ(port->FlowControl().XOnXOff(), xcDisable);
    EXPECT_EQ(port->Timeouts().ReadConstant(), 50);
    EXPECT_EQ(port->DeviceName(), "COM2");
  }
  EXPECT_EQ(w.SerIF1.Tag, 0);
  EXPECT_EQ(w.SerIF2.Tag, 1);
}

TEST_F(WindowTest, TabOrder) {
  TMain& w = Open();
  const QStringList order = {"QVradio",    "SRVradio",   "AnaChk",     "COM1Combo", "File1Combo", "File2Combo",
                             "Browse1But", "Upd1But",    "Browse2But", "COM2Combo", "Upd2But",    "SrvChk",
                             "File3Combo", "Browse3But", "StartBut",   "ExitBut",   "LogMemo"};
  QStringList chain;
  QWidget* c = w.QVradio;
  do {
    if (order.contains(c->objectName()) && !chain.contains(c->objectName())) chain << c->objectName();
    c = c->nextInFocusChain();
  } while (c != w.QVradio);
  EXPECT_EQ(chain, order);
}

// Each anchored control keeps its distances to the sides it is anchored to;
// anchored left and right it stretches.
TEST_F(WindowTest, AnchorsFollowTheWindowSize) {
  TMain& w = Open();
  w.resize(454, 470);
  ASSERT_TRUE(WaitFor([&] { return w.size() == QSize(454, 470); }));
  const struct {
    QWidget* Control;
    QRect Geometry;
  } cases[] = {
      {w.QVGroup, {8, 44, 437, 137}},      {w.SrvGroup, {8, 184, 437, 137}}, {w.COM1Combo, {112, 21, 269, 21}},
      {w.File2Combo, {112, 101, 269, 21}}, {w.Upd1But, {388, 21, 31, 21}},   {w.Browse3But, {388, 101, 31, 21}},
      {w.SrvChk, {112, 64, 153, 17}},      {w.StartBut, {24, 436, 129, 25}}, {w.ExitBut, {300, 436, 129, 25}},
      {w.LogMemo, {8, 8, 437, 397}},       {w.PrcBar, {8, 412, 437, 16}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Control->objectName().toStdString());
    EXPECT_EQ(c.Control->geometry(), c.Geometry);
  }
  // Smaller than the smallest window: held there.
  w.resize(100, 100);
  ASSERT_TRUE(WaitFor([&] { return w.size() != QSize(454, 470); }));
  EXPECT_EQ(w.size(), QSize(342, 361));
  EXPECT_EQ(w.ExitBut->geometry(), QRect(188, 327, 129, 25));
}

// After a run, the first Start returns to the start view and only the
// second Start begins a new run.
TEST_F(WindowTest, StartViewToRunViewAndBack) {
  TMain& w = Open();
  w.GoldenIsHandheld = false;
  Click(w.StartBut);
  ASSERT_NE(w.Worker, nullptr);
  for (QWidget* c : TControls{w.QVGroup, w.SrvGroup, w.GoldTxt, w.QVradio, w.SRVradio, w.AnaChk, w.StatTxt})
    EXPECT_FALSE(Shows(c)) << c->objectName().toStdString();
  EXPECT_FALSE(Shows(w.StartBut));
  EXPECT_EQ(w.StartBut->text(), QLatin1String("&Ok"));
  EXPECT_EQ(w.ExitBut->text(), QLatin1String("&Cancel"));

  ASSERT_TRUE(AwaitOkPrompt());
  EXPECT_FALSE(Shows(w.LogMemo));
  EXPECT_EQ(w.focusWidget(), w.StartBut);
  EXPECT_LE(w.StatTxt->geometry().right(), w.width()) << "the prompt fits the window";
  Screenshot(&w, "run-view-prompt");
  Click(w.StartBut);
  EXPECT_FALSE(Shows(w.StatTxt));
  EXPECT_FALSE(Shows(w.StartBut));

  ASSERT_TRUE(AwaitFinished());
  EXPECT_TRUE(Shows(w.LogMemo));
  EXPECT_FALSE(Shows(w.ExitBut));
  EXPECT_EQ(w.StartBut->text(), QLatin1String("&Ok"));
  EXPECT_EQ(w.focusWidget(), w.StartBut);
  EXPECT_EQ(LogLines(w), (QStringList{"ReadFirmwareFiles", "Completed successfully!", "Error log file written"}));
  EXPECT_EQ(ReadFile(Dir + "/qvtune.ERR"), ">ReadFirmwareFiles\r");

  Click(w.StartBut);
  EXPECT_EQ(w.Worker, nullptr) << "the first Start after a run begins nothing";
  for (QWidget* c : TControls{w.QVGroup, w.SrvGroup, w.GoldTxt, w.QVradio, w.SRVradio, w.AnaChk, w.ExitBut})
    EXPECT_TRUE(Shows(c)) << c->objectName().toStdString();
  EXPECT_FALSE(Shows(w.LogMemo));
  EXPECT_FALSE(Shows(w.PrcBar));
  EXPECT_EQ(w.StartBut->text(), QLatin1String("&Start"));
  EXPECT_EQ(w.ExitBut->text(), QLatin1String("&Exit"));

  Click(w.StartBut);
  ASSERT_NE(w.Worker, nullptr);
  EXPECT_FALSE(Shows(w.QVGroup));
  EXPECT_EQ(w.LogMemo->toPlainText(), QString()) << "a new run starts with an empty log pane";
  ASSERT_TRUE(AwaitOkPrompt());
  Click(w.ExitBut);
  EXPECT_EQ(w.Worker, nullptr);
}

// A bare X server has no window manager to activate the window: its first
// activation's work comes once it is shown, exactly once.
TEST_F(WindowTest, WindowNeverActivatedStillInitialisesOnce) {
  WriteFile(IniPath(), "10\r\n20\r\n\r\n\r\nSRA\r\n");
  WriteFile(PortMapPath, "COM31=/nonexistent/a\nCOM32=/nonexistent/b\n");
  // As on a bare X server: the window is never activated.
  struct TNoActivation : QObject {
    bool eventFilter(QObject*, QEvent* e) override { return e->type() == QEvent::WindowActivate; }
  } noActivation;
  Window = std::make_unique<TMain>();
  Window->ProgramPath = Program;
  Window->installEventFilter(&noActivation);
  Window->show();
  ASSERT_TRUE(WaitFor([this] { return !Window->FirstActivation; })) << "never initialised";
  TMain& w = *Window;
  EXPECT_EQ(Items(w.COM1Combo), (QStringList{"Auto detect", "COM31", "COM32"}));
  EXPECT_TRUE(w.AnaChk->isChecked()) << "the settings file was read";
  EXPECT_EQ(w.IniPath, IniPath());
  // An activation later changes nothing: the settings stay as read.
  w.removeEventFilter(&noActivation);
  w.AnaChk->setChecked(false);
  QEvent activate(QEvent::WindowActivate);
  QApplication::sendEvent(&w, &activate);
  EXPECT_FALSE(w.AnaChk->isChecked());
}

TEST_F(WindowTest, EnterAnywhereIsStart) {
  TMain& w = Open();
  w.COM1Combo->setFocus();
  QTest::keyClick(w.COM1Combo, Qt::Key_Return);
  EXPECT_NE(w.Worker, nullptr);
  ASSERT_TRUE(AwaitOkPrompt());
  // At the prompt Enter is Ok.
  QTest::keyClick(w.StartBut, Qt::Key_Return);
  ASSERT_TRUE(AwaitFinished());
}

TEST_F(WindowTest, GoldenReferenceAcceleratorFocusesItsRadio) {
  TMain& w = Open();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  QTest::keyClick(&w, Qt::Key_G, Qt::AltModifier);
  EXPECT_EQ(w.focusWidget(), w.QVradio);
}

TEST_F(WindowTest, ExitInStartViewCloses) {
  TMain& w = Open();
  ASSERT_TRUE(w.isVisible());
  Click(w.ExitBut);
  EXPECT_FALSE(w.isVisible());
  EXPECT_NE(ReadFile(IniPath()), "<no file>") << "closing writes the settings";
}

// Cancel waits until the worker has ended; the window stays.
TEST_F(WindowTest, ExitInRunViewCancels) {
  TMain& w = Open();
  Click(w.StartBut);
  ASSERT_TRUE(AwaitOkPrompt());
  Click(w.ExitBut);
  EXPECT_EQ(w.Worker, nullptr);
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(LogLines(w), (QStringList{"ReadFirmwareFiles", "Aborted by user!", "Error log file written"}));
  EXPECT_TRUE(Shows(w.LogMemo));
  EXPECT_FALSE(Shows(w.StatTxt));
  EXPECT_TRUE(Shows(w.StartBut));
  EXPECT_FALSE(Shows(w.ExitBut));
  EXPECT_EQ(ReadFile(IniPath()), "<no file>") << "Cancel is not closing";
}

const char* const kNextUnit = "Completed successfully!\r\rDo you want to fine-tune another Quorvantis?";
const char* const kRetry = "Procedure failed!\r\rDo you want to retry, or fine-tune another Quorvantis?";

// The answer to a question, as the worker reads it after the prompt.
struct TAnswerCase {
  const char* Name;
  TPromptKind Kind;
  const char* Question;
  bool Yes;
  uint8_t Outcome;
};

void PrintTo(const TAnswerCase& c, std::ostream* os) {
  *os << c.Name;
}

class AnswerTest : public AppTest, public ::testing::WithParamInterface<TAnswerCase> {};

TEST_P(AnswerTest, YesNoPromptAnswer) {
  const std::string question = GetParam().Question;
  std::vector<uint8_t> answers;
  Steps = [&](TSerThread& t) {
    t.Steps.DetectPorts = [&](TSerThread& worker) {
      worker.Outcome = ocCompleted;
      worker.Reply = question;
      worker.Synchronize([&] { worker.PromptYesNo(GetParam().Kind); });
      if (worker.PromptAnswer == anNo) worker.Outcome = ocAnswerNo;
      answers.push_back(worker.Outcome);
      worker.Outcome = ocNone;
    };
  };
  TMain& w = Open();
  Click(w.StartBut);
  ASSERT_TRUE(AwaitOkPrompt());
  Click(w.StartBut);
  ASSERT_TRUE(WaitFor([&] { return Shows(w.StatTxt) && w.StatTxt->text() == Shown(question); }));
  EXPECT_TRUE(Shows(w.StartBut));
  EXPECT_EQ(w.StartBut->text(), QLatin1String("&Yes"));
  EXPECT_EQ(w.focusWidget(), w.StartBut);
  EXPECT_EQ(w.ExitBut->text(), QLatin1String("&No"));
  EXPECT_FALSE(Shows(w.LogMemo));

  Click(GetParam().Yes ? w.StartBut : w.ExitBut);
  EXPECT_FALSE(Shows(w.StatTxt));
  EXPECT_TRUE(Shows(w.LogMemo));
  EXPECT_EQ(w.focusWidget(), w.LogMemo);
  EXPECT_FALSE(Shows(w.StartBut));
  EXPECT_EQ(w.StartBut->text(), QLatin1String("&Ok"));
  EXPECT_EQ(w.ExitBut->text(), QLatin1String("&Cancel"));
  ASSERT_TRUE(AwaitFinished());
  EXPECT_EQ(answers, std::vector<uint8_t>{GetParam().Outcome});
}

INSTANTIATE_TEST_SUITE_P(Answers, AnswerTest,
                         ::testing::Values(TAnswerCase{"NextUnitYes", pkNextUnit, kNextUnit, true, ocCompleted},
                                           TAnswerCase{"NextUnitNo", pkNextUnit, kNextUnit, false, ocAnswerNo},
                                           TAnswerCase{"NextAttemptYes", pkNextAttempt, kRetry, true, ocCompleted},
                                           TAnswerCase{"NextAttemptNo", pkNextAttempt, kRetry, false, ocAnswerNo}),
                         [](const auto& c) { return std::string(c.param.Name); });

// With the server restored after the test, the window asks for the next
// unit: Yes runs another, No ends the run.
TEST_F(WindowTest, NextUnitPromptDrivesTheRun) {
  int units = 0;
  Steps = [&](TSerThread& t) { t.Steps.RunFineTuning = [&](TSerThread&) { ++units; }; };
  TMain& w = Open();
  Click(w.SrvChk);
  ASSERT_TRUE(w.RestoreServer);
  Click(w.StartBut);
  ASSERT_TRUE(AwaitOkPrompt());
  Click(w.StartBut);
  const QString next = Shown("Completed successfully!\r\rDo you want to fine-tune another Quorvantis?");
  ASSERT_TRUE(WaitFor([&] { return Shows(w.StatTxt) && w.StatTxt->text() == next; }));
  Click(w.StartBut);
  ASSERT_TRUE(WaitFor([&] { return Shows(w.StatTxt) && w.StatTxt->text() == next && Shows(w.StartBut); }));
  Click(w.ExitBut);
  ASSERT_TRUE(AwaitFinished());
  EXPECT_EQ(units, 2);
  EXPECT_EQ(LogLines(w), (QStringList{"ReadFirmwareFiles", "Completed successfully!", "",
                                      "=== Next Quorvantis ===", "Completed successfully!", "Error log file written"}));
}

// Closing while the worker runs writes the settings first and then stops
// the worker, whose synchronised calls go on while the window waits.
TEST_F(WindowTest, CloseWhileWorkerRuns) {
  std::atomic<bool> running{false};
  std::optional<std::string> iniAtStop;
  Steps = [&](TSerThread& t) {
    t.Steps.DetectPorts = [&](TSerThread& worker) {
      running = true;
      while (!worker.Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      iniAtStop = ReadFile(worker.Main.IniPath);
      worker.LogLine("stopping");
    };
  };
  TMain& w = Open();
  Click(w.StartBut);
  ASSERT_TRUE(AwaitOkPrompt());
  Click(w.StartBut);
  ASSERT_TRUE(WaitFor([&] { return running.load(); }));
  ASSERT_NE(w.Worker, nullptr);
  w.close();
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(w.Worker, nullptr) << "closing returns once the worker has ended";
  ASSERT_TRUE(iniAtStop.has_value());
  EXPECT_EQ(*iniAtStop, ReadFile(IniPath()));
  EXPECT_EQ(iniAtStop->substr(0, 20), "192\r\n107\r\n354\r\n370\r\n");
  EXPECT_EQ(LogLines(w), (QStringList{"ReadFirmwareFiles", "stopping", "Aborted by user!", "Error log file written"}));
}

// While the window waits for the worker to end it takes no input and runs
// no event loop, yet the progress of the closing server restore paints the
// log pane at once.
TEST_F(WindowTest, WaitingForTheWorkerStillPaintsTheLogPane) {
  struct TPaintCounter : QObject {
    int Paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) ++Paints;
      return false;
    }
  } counter;
  std::atomic<bool> running{false};
  std::vector<int> paints, bar;
  Steps = [&](TSerThread& t) {
    t.Steps.DetectPorts = [&](TSerThread& worker) {
      running = true;
      while (!worker.Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      worker.Finishing = true;
      worker.Synchronize(&TSerThread::ProgressShow);
      for (int position : {30, 60}) {
        worker.ProgressPos = static_cast<uint8_t>(position);
        worker.Synchronize([&] { paints.push_back(counter.Paints); });
        worker.Synchronize(&TSerThread::ProgressSet);
        worker.Synchronize([&] {
          paints.push_back(counter.Paints);
          bar.push_back(Window->PrcBar->value());
        });
      }
      worker.Finishing = false;
    };
  };
  TMain& w = Open();
  w.LogMemo->viewport()->installEventFilter(&counter);
  Click(w.StartBut);
  ASSERT_TRUE(AwaitOkPrompt());
  Click(w.StartBut);
  ASSERT_TRUE(WaitFor([&] { return running.load(); }));
  Click(w.ExitBut);
  EXPECT_EQ(w.Worker, nullptr);
  EXPECT_EQ(bar, (std::vector<int>{30, 60}));
  ASSERT_EQ(paints.size(), 4u);
  EXPECT_GT(paints[1], paints[0]);
  EXPECT_GT(paints[3], paints[2]);
  w.LogMemo->viewport()->removeEventFilter(&counter);
}

// Closing at the Ok prompt: the suspended worker is released and ends.
TEST_F(WindowTest, CloseAtOkPrompt) {
  TMain& w = Open();
  Click(w.StartBut);
  ASSERT_TRUE(AwaitOkPrompt());
  w.close();
  EXPECT_EQ(w.Worker, nullptr);
  EXPECT_NE(ReadFile(IniPath()), "<no file>");
  EXPECT_EQ(LogLines(w).last(), QLatin1String("Error log file written"));
}

// What the worker sees of the window is a copy taken at Start.
TEST_F(WindowTest, WorkerSeesTheCombosAsAtStart) {
  WriteFile(PortMapPath, "COM31=/dev/null\nCOM32=/dev/null\n");
  std::vector<TComboState> seen;
  bool ana = false;
  Steps = [&](TSerThread& t) {
    t.Steps.DetectPorts = [&](TSerThread& worker) {
      for (TComboId id : {ciCOM1, ciCOM2, ciFile1}) seen.push_back(worker.Main.Combo(id));
      ana = worker.Main.AnaChkChecked();
    };
  };
  TMain& w = Open();
  w.COM1Combo->setCurrentIndex(2);
  w.File1Combo->addItem(QStringLiteral("/fw/old.qpf"));
  w.File1Combo->setEditText(QStringLiteral("/fw/typed.qpf"));
  Click(w.AnaChk);
  Click(w.StartBut);
  ASSERT_TRUE(AwaitOkPrompt());
  Click(w.StartBut);
  ASSERT_TRUE(AwaitFinished());
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].Items, (std::vector<std::string>{"Auto detect", "COM31", "COM32"}));
  EXPECT_EQ(seen[0].ItemIndex, 2);
  EXPECT_EQ(seen[0].Text, "COM32");
  EXPECT_EQ(seen[1].ItemIndex, 0);
  EXPECT_EQ(seen[1].Text, "Auto detect");
  EXPECT_EQ(seen[2].Items, std::vector<std::string>{"/fw/old.qpf"});
  EXPECT_EQ(seen[2].ItemIndex, -1) << "typed text names no item";
  EXPECT_EQ(seen[2].Text, "/fw/typed.qpf");
  EXPECT_TRUE(ana);
}

// The worker's file reading puts a file it read on top of its history;
// the worker's copy follows at once.
TEST_F(WindowTest, HistoryAdditionByTheWorker) {
  std::vector<TComboState> seen;
  Steps = [&](TSerThread& t) {
    t.Steps.ReadFirmwareFiles = [&](TSerThread& worker) {
      worker.Main.AddToHistory(ciFile2);
      worker.LogLine("ReadFirmwareFiles");
    };
    t.Steps.DetectPorts = [&](TSerThread& worker) { seen.push_back(worker.Main.Combo(ciFile2)); };
  };
  TMain& w = Open();
  w.File2Combo->addItem(QStringLiteral("/fw/a.qpf"));
  w.File2Combo->setEditText(QStringLiteral("/fw/b.qpf"));
  Click(w.StartBut);
  ASSERT_TRUE(AwaitOkPrompt());
  EXPECT_EQ(Items(w.File2Combo), (QStringList{"/fw/b.qpf", "/fw/a.qpf"}));
  Click(w.StartBut);
  ASSERT_TRUE(AwaitFinished());
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].Items, (std::vector<std::string>{"/fw/b.qpf", "/fw/a.qpf"}));
  EXPECT_EQ(seen[0].ItemIndex, 0);
}

// Ports the system refuses during detection: the hint goes to the log
// pane once a run, however many ports are refused, and never into the
// transcript.
TEST_F(WindowTest, RefusedPortsGiveOneHintARun) {
  Steps = [&](TSerThread& t) {
    t.Steps.DetectPorts = [&](TSerThread& worker) {
      for (const char* port : {"COM77", "COM78"})
        worker.Synchronize([&] { worker.Main.PortAccessDenied(port, "Permission denied"); });
    };
  };
  TMain& w = Open();
  for (int run = 0; run < 2; ++run) {
    Click(w.StartBut);
    ASSERT_TRUE(AwaitOkPrompt());
    Click(w.StartBut);
    ASSERT_TRUE(AwaitFinished());
    const QStringList lines = LogLines(w);
    EXPECT_EQ(lines.filter(QStringLiteral("cannot be opened")).size(), 1) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("The port COM77 cannot be opened: Permission denied. Ask the administrator "
                                              "for access to it.")))
        << lines.join('\n').toStdString();
    EXPECT_EQ(ReadFile(Dir + "/qvtune.ERR").find("cannot be opened"), std::string::npos);
    Click(w.StartBut);  // back to the start view
  }
}

// The worker's changes to the panes, made through its synchronised calls.
TEST_F(WindowTest, ProgressAndStatusFromTheWorker) {
  std::vector<int> bar;
  QString status;
  Steps = [&](TSerThread& t) {
    t.Steps.DetectPorts = [&](TSerThread& worker) {
      worker.Synchronize(&TSerThread::ProgressShow);
      worker.ProgressPos = 40;
      worker.Synchronize(&TSerThread::ProgressSet);
      worker.Synchronize([&] { bar.push_back(Window->PrcBar->isHidden() ? -1 : Window->PrcBar->value()); });
      worker.Reply = "Line one\rLine two";
      worker.Synchronize([&] { worker.ShowStatus(pkAwaitHandheld); });
      worker.Synchronize([&] {
        bar.push_back(Window->PrcBar->isHidden() ? -1 : Window->PrcBar->value());
        status = Shows(Window->StatTxt) ? Window->StatTxt->text() : QString();
      });
      worker.Synchronize(&TSerThread::HideStatus);
      worker.Synchronize([&] { bar.push_back(Window->PrcBar->isHidden() ? -1 : Window->PrcBar->value()); });
      worker.LogLine("");
    };
  };
  TMain& w = Open();
  Click(w.StartBut);
  ASSERT_TRUE(AwaitOkPrompt());
  Click(w.StartBut);
  ASSERT_TRUE(AwaitFinished());
  EXPECT_EQ(bar, (std::vector<int>{40, -1, -1})) << "the status hides the bar and it stays hidden";
  EXPECT_EQ(status, QLatin1String("Line one\nLine two"));
  EXPECT_EQ(LogLines(w), (QStringList{"ReadFirmwareFiles", "", "Completed successfully!", "Error log file written"}));
}

// The visibility rules of the golden-reference choice and SrvChk, driven by
// clicks.
struct TGoldenCase {
  const char* Name;
  std::vector<const char*> Clicks;
  bool Golden, Restore;
  bool HandheldRows, ServerRow;
};

void PrintTo(const TGoldenCase& c, std::ostream* os) {
  *os << c.Name;
}

class GoldenTest : public AppTest, public ::testing::WithParamInterface<TGoldenCase> {};

TEST_P(GoldenTest, Visibility) {
  TMain& w = Open();
  for (const char* name : GetParam().Clicks) Click(w.findChild<QWidget*>(QLatin1String(name)));
  EXPECT_EQ(w.GoldenIsHandheld, GetParam().Golden);
  EXPECT_EQ(w.QVradio->isChecked(), GetParam().Golden);
  EXPECT_EQ(w.SRVradio->isChecked(), !GetParam().Golden);
  EXPECT_EQ(w.RestoreServer, GetParam().Restore);
  for (QWidget* c : TControls{w.SrvChk, w.File1Txt, w.File1Combo, w.Browse1But, w.File2Txt, w.File2Combo, w.Browse2But})
    EXPECT_EQ(Shows(c), GetParam().HandheldRows) << c->objectName().toStdString();
  for (QWidget* c : TControls{w.File3Txt, w.File3Combo, w.Browse3But})
    EXPECT_EQ(Shows(c), GetParam().ServerRow) << c->objectName().toStdString();
  for (QWidget* c : TControls{w.COM1Combo, w.COM2Combo, w.GoldTxt, w.QVradio, w.SRVradio, w.AnaChk})
    EXPECT_TRUE(Shows(c)) << c->objectName().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Choices, GoldenTest,
    ::testing::Values(TGoldenCase{"ServerGolden", {}, false, false, true, false},
                      TGoldenCase{"ServerGoldenRestored", {"SrvChk"}, false, true, true, true},
                      TGoldenCase{"HandheldGolden", {"QVradio"}, true, false, false, true},
                      TGoldenCase{"HandheldGoldenRestoreTicked", {"SrvChk", "QVradio"}, true, true, false, true},
                      TGoldenCase{"BackToServerGolden", {"QVradio", "SRVradio"}, false, false, true, false},
                      TGoldenCase{"RestoreUnticked", {"SrvChk", "SrvChk"}, false, false, true, false}),
    [](const auto& c) { return std::string(c.param.Name); });

TEST_F(WindowTest, SetGoldenAndDoQVChkApplyTheSameRules) {
  TMain& w = Open();
  w.SetGolden(true);
  EXPECT_TRUE(w.QVradio->isChecked());
  EXPECT_FALSE(w.SRVradio->isChecked());
  EXPECT_FALSE(Shows(w.File1Combo));
  EXPECT_TRUE(Shows(w.File3Combo));
  w.SRVradio->setChecked(true);  // the window's own change reports the choice too
  EXPECT_FALSE(w.GoldenIsHandheld);
  EXPECT_TRUE(Shows(w.File1Combo));
  EXPECT_FALSE(Shows(w.File3Combo));
  w.QVradio->setChecked(true);
  w.DoQVChk();
  EXPECT_TRUE(w.GoldenIsHandheld);
}

// The file dialogs: what each asks, and what a cancelled or confirmed
// dialog does to its combo.
struct TDialogCase {
  const char* Button;
  const char* Combo;
  const char* Title;
  const char* Filter;
  const char* DefaultExt;
  std::vector<const char*> Clicks;  // to show the row first
};

void PrintTo(const TDialogCase& c, std::ostream* os) {
  *os << c.Button;
}

class DialogTest : public AppTest, public ::testing::WithParamInterface<TDialogCase> {};

TEST_P(DialogTest, CancelKeepsAndConfirmSetsTheText) {
  TMain& w = Open();
  for (const char* name : GetParam().Clicks) Click(w.findChild<QWidget*>(QLatin1String(name)));
  auto* combo = w.findChild<QComboBox*>(QLatin1String(GetParam().Combo));
  auto* button = w.findChild<QPushButton*>(QLatin1String(GetParam().Button));
  combo->addItem(QStringLiteral("/fw/old.bin"));
  combo->setEditText(QStringLiteral("/fw/current.bin"));
  std::vector<TOpenDialog> asked;
  std::optional<QString> answer;
  w.OpenDlg = [&](TOpenDialog& dialog) {
    asked.push_back(dialog);
    if (!answer) {
      dialog.FileName = QStringLiteral("/fw/ignored.bin");  // a cancelled dialog's name counts for nothing
      return false;
    }
    dialog.FileName = *answer;
    return true;
  };
  Click(button);
  EXPECT_EQ(combo->currentText(), QLatin1String("/fw/current.bin"));
  answer = QStringLiteral("/fw/chosen.bin");
  Click(button);
  EXPECT_EQ(combo->currentText(), QLatin1String("/fw/chosen.bin"));
  EXPECT_EQ(Items(combo), QStringList{"/fw/old.bin"}) << "a chosen file is no history entry yet";
  ASSERT_EQ(asked.size(), 2u);
  for (const TOpenDialog& d : asked) {
    EXPECT_EQ(d.Title, QLatin1String(GetParam().Title));
    EXPECT_EQ(d.Filter, QLatin1String(GetParam().Filter));
    EXPECT_EQ(d.FilterIndex, 1);
    EXPECT_EQ(d.DefaultExt, QLatin1String(GetParam().DefaultExt));
    EXPECT_EQ(d.FileName, QLatin1String("/fw/current.bin"));
  }
}

const char* const kQVFilter = "QPF packages (*.QPF)|*.QPF|Binary files (*.BIN)|*.BIN|Any file (*.*)|*.*";
INSTANTIATE_TEST_SUITE_P(
    Browse, DialogTest,
    ::testing::Values(TDialogCase{"Browse1But", "File1Combo", "Select RF modem firmware", kQVFilter, "QPF", {}},
                      TDialogCase{"Browse2But", "File2Combo", "Select Quorvantis firmware", kQVFilter, "QPF", {}},
                      TDialogCase{"Browse3But",
                                  "File3Combo",
                                  "Select server firmware",
                                  "SFF packages (*.SFF)|*.SFF|HEX files (*.HEX)|*.HEX|Any file (*.*)|*.*",
                                  "SFF",
                                  {"SrvChk"}}),
    [](const auto& c) { return std::string(c.param.Button); });

TEST(QtNameFiltersTest, PatternsInBothCasesAndAnyFile) {
  EXPECT_EQ(QtNameFilters(QLatin1String(kQVFilter)),
            (QStringList{"QPF packages (*.QPF *.qpf)", "Binary files (*.BIN *.bin)", "Any file (*)"}));
  EXPECT_EQ(QtNameFilters(QStringLiteral("Two (*.a;*.B)|*.a;*.B")), QStringList{"Two (*.a *.B *.b)"});
  EXPECT_EQ(QtNameFilters(QString()), QStringList{});
}

}  // namespace
}  // namespace qv::test
