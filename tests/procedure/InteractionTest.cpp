// The worker's window calls and the pieces of the driver that stand alone,
// on a worker created suspended and driven from the test thread (which is
// then the window's thread, so synchronised calls run at once).
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "procedure/SerThread.h"
#include "procedure/WorkerControl.h"
#include "tests/support/RecordingDevice.h"
#include "tests/support/TestWindow.h"

namespace qv {
namespace {

using test::TScreen;
using test::TTestWindow;

class InteractionTest : public ::testing::Test {
protected:
  InteractionTest() { Window.Worker = Worker.get(); }
  TTestWindow Window;
  std::unique_ptr<TSerThread> Worker = std::make_unique<TSerThread>(true, Window);
};

TEST_F(InteractionTest, ConstructorSettings) {
  EXPECT_EQ(Worker->Priority(), tpNormal);
  EXPECT_TRUE(Worker->FreeOnTerminate());
  EXPECT_TRUE(Worker->Suspended());
  EXPECT_FALSE(Worker->Terminated());
  EXPECT_EQ(Worker->Outcome, 0);
  EXPECT_EQ(Worker->LogText, "");
  EXPECT_EQ(Worker->InstalledServerVersion, "");
  EXPECT_FALSE(Worker->Finishing);
  EXPECT_FALSE(Worker->LinkOk);
  EXPECT_EQ(Worker->ServerImage[1].At(0x100), 0xFFFF);
  EXPECT_EQ(Worker->ServerImage[1].At(0x101), 0) << "only the decoded-mark is set";
  EXPECT_EQ(Worker->ServerImage[2].At(0x100), 0);
  for (size_t i = 1; i <= 5; ++i) EXPECT_EQ(Worker->FirmwareBuf[i], nullptr);
  EXPECT_EQ(&Worker->Ports, &Window.Ports);
}

TEST_F(InteractionTest, LogLineGoesToThePaneAndTheTranscript) {
  struct TCase {
    std::string Text, Entry;
  } cases[] = {{"Dongle found on COM3", ">Dongle found on COM3\r"}, {"", ">\r"}};
  std::string transcript;
  std::vector<std::string> pane;
  for (const TCase& c : cases) {
    Worker->LogLine(c.Text);
    transcript += c.Entry;
    pane.push_back(c.Text);
    EXPECT_EQ(Worker->Reply, c.Text);
  }
  EXPECT_EQ(Worker->LogText, transcript);
  EXPECT_EQ(Window.Screen().LogMemo, pane);
}

TEST_F(InteractionTest, MemoAddShowsReplyWithoutTouchingTheTranscript) {
  Worker->Reply = "Completed successfully!";
  Worker->MemoAdd();
  EXPECT_EQ(Window.Screen().LogMemo, std::vector<std::string>{"Completed successfully!"});
  EXPECT_EQ(Worker->LogText, "");
}

TEST_F(InteractionTest, StatusHidesTheProgressBarWhichStaysHiddenAfterwards) {
  Worker->ProgressShow();
  TScreen s = Window.Screen();
  EXPECT_TRUE(s.PrcBarVisible);
  EXPECT_EQ(s.PrcBar, 0);

  Worker->Reply = "Make sure the Quorvantis is connected to the dongle, powered\rand switched ON.";
  Worker->ShowStatus(pkAwaitHandheld);
  s = Window.Screen();
  EXPECT_FALSE(s.LogMemoVisible);
  EXPECT_FALSE(s.PrcBarVisible);
  EXPECT_TRUE(s.StatTxtVisible);
  EXPECT_EQ(s.StatTxt, Worker->Reply);

  Worker->HideStatus();
  s = Window.Screen();
  EXPECT_FALSE(s.StatTxtVisible);
  EXPECT_TRUE(s.LogMemoVisible);
  EXPECT_EQ(s.Focus, "LogMemo");
  EXPECT_FALSE(s.PrcBarVisible);
}

TEST_F(InteractionTest, ProgressSetRepaintsThePaneOnlyDuringTheServerRestore) {
  Worker->ProgressShow();
  Worker->ProgressPos = 37;
  Worker->ProgressSet();
  EXPECT_EQ(Window.Screen().PrcBar, 37);
  EXPECT_EQ(Window.Screen().LogMemoRepaints, 0);
  Worker->Finishing = true;
  Worker->ProgressPos = 100;
  Worker->ProgressSet();
  EXPECT_EQ(Window.Screen().PrcBar, 100);
  EXPECT_EQ(Window.Screen().LogMemoRepaints, 1);
  Worker->ProgressHide();
  EXPECT_FALSE(Window.Screen().PrcBarVisible);
}

// Each kind of prompt as the window shows it, and what each answer does to
// the worker standing at it. Whether a prompt holds a running worker is
// checked on real runs (RunTest).
struct TPromptCase {
  const char* Name;
  TPromptKind Kind;
  std::string StartBut, ExitBut;
  bool StartButVisible, Suspends;
};
void PrintTo(const TPromptCase& c, std::ostream* os) {
  *os << c.Name;
}

class PromptKinds : public ::testing::TestWithParam<TPromptCase> {};

TEST_P(PromptKinds, ShowTheTextAndTheButtonsOfTheirKind) {
  const TPromptCase& c = GetParam();
  TTestWindow window;
  window.SetStartButVisible(false);
  window.SetExitButCaption("&Cancel");
  TSerThread worker(true, window);
  window.Worker = &worker;
  worker.Reply = "Question?\r\rAnswer.";
  worker.Outcome = 128;
  switch (c.Kind) {
    case pkConnect:
      worker.PromptOk();
      break;
    case pkNextUnit:
    case pkNextAttempt:
      worker.PromptYesNo(c.Kind);
      break;
    default:
      worker.ShowStatus(c.Kind);
      break;
  }
  const TScreen s = window.Screen();
  EXPECT_TRUE(s.StatTxtVisible);
  EXPECT_EQ(s.StatTxt, "Question?\r\rAnswer.");
  EXPECT_FALSE(s.LogMemoVisible);
  EXPECT_FALSE(s.PrcBarVisible);
  EXPECT_EQ(s.StartButVisible, c.StartButVisible);
  if (c.StartButVisible) {
    EXPECT_EQ(s.StartBut, c.StartBut);
    EXPECT_EQ(s.Focus, "StartBut");
  }
  EXPECT_EQ(s.ExitBut, c.ExitBut);
  EXPECT_EQ(window.OpenPrompt, c.Kind);
  EXPECT_EQ(worker.Suspended(), c.Suspends);
  EXPECT_EQ(worker.Outcome, 128) << "the answer is the operator's to give";
  window.Worker = nullptr;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PromptKinds,
    ::testing::Values(TPromptCase{"Connect", pkConnect, "&Ok", "&Cancel", true, true},
                      TPromptCase{"NextUnit", pkNextUnit, "&Yes", "&No", true, true},
                      TPromptCase{"NextAttempt", pkNextAttempt, "&Yes", "&No", true, true},
                      TPromptCase{"AwaitHandheld", pkAwaitHandheld, "", "&Cancel", false, true},
                      TPromptCase{"AwaitDisconnection", pkAwaitDisconnection, "", "&Cancel", false, true}));

// After Cancel or closing the window only waits for the worker: a prompt
// that arrives then shows nothing, and the Yes/No prompt answers No.
TEST_F(InteractionTest, PromptsAfterATerminationRequestShowNothing) {
  const size_t before = Window.Journal().size();
  Worker->Terminate();
  Worker->Outcome = 128;
  Worker->PromptOk();
  EXPECT_EQ(Worker->Outcome, 128);
  Worker->PromptYesNo(pkNextUnit);
  EXPECT_EQ(Worker->Outcome, 129);
  EXPECT_EQ(Window.Journal().size(), before);
}

TEST_F(InteractionTest, FinalRestoreHandsTheWindowBack) {
  Window.SetStatTxtVisible(true);
  Window.SetExitButCaption("&Cancel");
  Worker->FinalRestore();
  const TScreen s = Window.Screen();
  EXPECT_FALSE(s.StatTxtVisible);
  EXPECT_TRUE(s.LogMemoVisible);
  EXPECT_TRUE(s.StartButVisible);
  EXPECT_EQ(s.StartBut, "&Start!") << "the caption is not FinalRestore's to change";
  EXPECT_EQ(s.Focus, "StartBut");
  EXPECT_FALSE(s.ExitButVisible);
  EXPECT_EQ(Window.Worker, nullptr);
}

// Buffers read from files are the worker's; those in a payload are the
// window's (AddressSanitizer reports a leak or a wrong release).
TEST_F(InteractionTest, FinalRestoreReleasesOnlyTheWorkersOwnBuffers) {
  for (size_t i = 1; i <= 5; i += 2) Worker->FirmwareBuf[i] = new uint8_t[8]{8, 0, 0, 0, 1, 2, 3, 4};
  Worker->FinalRestore();
  for (size_t i = 1; i <= 5; ++i) EXPECT_EQ(Worker->FirmwareBuf[i], nullptr) << i;

  TTestWindow window;
  window.PayloadSize = 16;
  window.Payload = std::make_unique<uint8_t[]>(16);
  TSerThread worker(true, window);
  for (size_t i = 1; i <= 5; ++i) worker.FirmwareBuf[i] = window.Payload.get() + (i - 1) * 2;
  worker.FinalRestore();
  for (size_t i = 1; i <= 5; ++i) EXPECT_EQ(worker.FirmwareBuf[i], window.Payload.get() + (i - 1) * 2);
}

TEST_F(InteractionTest, ReportOutcomeNamesTheVerdict) {
  struct TCase {
    uint8_t Outcome;
    bool Finishing, Terminated;
    uint8_t After;
    std::string Line;
  } cases[] = {
      {0, false, false, 128, "Completed successfully!"}, {0, false, true, 0, "Aborted by user!"},
      {0, true, true, 128, "Completed successfully!"},   {1, false, false, 1, "Procedure failed!"},
      {1, true, true, 1, "Procedure failed!"},           {128, false, false, 128, "Completed successfully!"},
  };
  for (const TCase& c : cases) {
    TTestWindow window;
    TSerThread worker(true, window);
    worker.Outcome = c.Outcome;
    worker.Finishing = c.Finishing;
    if (c.Terminated) worker.Terminate();
    worker.ReportOutcome();
    EXPECT_EQ(worker.Outcome, c.After) << c.Line;
    EXPECT_EQ(worker.Reply, c.Line);
    EXPECT_EQ(window.Screen().LogMemo, std::vector<std::string>{c.Line});
    EXPECT_EQ(worker.LogText, "") << "the verdict is not part of the transcript";
  }
}

TEST(ServerVersionTextTest, FromTheTwoVersionBytes) {
  struct TCase {
    uint8_t X, Y;
    std::string Text;
  } cases[] = {
      {0x24, 0x0F, " to V2.0.15a"}, {0x00, 0x00, " to V1.0.0"},  {0x1F, 0xFF, " to V8.3.255"},
      {0x20, 0x01, " to V1.0.1a"},  {0xE3, 0x07, " to V1.3.7g"}, {0x4A, 0x63, " to V3.2.99b"},
  };
  for (const TCase& c : cases) EXPECT_EQ(ServerVersionText(c.X, c.Y), c.Text);
}

TEST_F(InteractionTest, ErrorLogFileSitsBesideTheSettingsFile) {
  struct TCase {
    std::string Ini, Err;
  } cases[] = {{"/opt/qv/QVTUNE.INI", "/opt/qv/QVTUNE.ERR"},
               {"C:\\QV\\qvtune.ini", "C:\\QV\\qvtune.ERR"},
               {"x.INI", "x.ERR"},
               {"IN", "ERR"}};
  for (const TCase& c : cases) {
    Window.IniPath = c.Ini;
    EXPECT_EQ(Worker->ErrorLogPath(), c.Err);
  }
}

TEST_F(InteractionTest, ClosePortsClosesOnlyWhatTheWorkerOpened) {
  test::TRecordingScope scope;
  TComPort dongle(nullptr), server(nullptr);
  dongle.SetDeviceName("rec://a");
  server.SetDeviceName("rec://b");
  dongle.Open();
  server.Open();
  dongle.Tag = 2;  // opened by the worker
  server.Tag = 1;  // open, but not by the worker
  Window.Ports = {&dongle, &server};
  Worker->ClosePorts();
  EXPECT_FALSE(dongle.Active());
  EXPECT_EQ(dongle.Tag, 0);
  EXPECT_TRUE(server.Active());
  EXPECT_EQ(server.Tag, 1);

  // A port marked but already closed: Close raises nothing worth keeping,
  // and the mark goes.
  server.Close();
  server.Tag = 3;
  Worker->ClosePorts();
  EXPECT_EQ(server.Tag, 1);
}

// Closing the window before its worker ever ran: the worker starts only to
// see the termination request, frees itself, and the window forgets it.
TEST(WorkerControlTest, StoppingAWorkerThatNeverRanEndsIt) {
  TTestWindow window;
  auto* worker = new TSerThread(true, window);
  window.Worker = worker;
  auto end = worker->Completion();
  StopWorker(window);
  EXPECT_TRUE(end->Finished());
  EXPECT_EQ(window.Worker, nullptr);
  EXPECT_TRUE(window.Screen().LogMemo.empty()) << "Execute did not run";
}

}  // namespace
}  // namespace qv
