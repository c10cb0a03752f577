// The worker's changes to the window. Each runs on the window's thread
// inside a synchronised call (LogLine excepted), so the window's controls
// are only ever touched there.
#include "procedure/SerThread.h"

namespace qv {

void TSerThread::LogLine(const std::string& text) {
  Reply = text;
  Facts.LastLine = text;
  LogText += '>';
  LogText += text;
  LogText += '\r';
  Synchronize(&TSerThread::MemoAdd);
}

void TSerThread::MemoAdd() {
  Main.AddLogMemoLine(Reply);
}

void TSerThread::ShowStatus() {
  Main.SetLogMemoVisible(false);
  Main.SetPrcBarVisible(false);
  Main.SetStatTxtCaption(Reply);
  Main.SetStatTxtVisible(true);
}

void TSerThread::HideStatus() {
  Main.SetStatTxtVisible(false);
  Main.SetLogMemoVisible(true);
  Main.FocusLogMemo();
}

// A prompt that came after Cancel or closing would suspend a worker that
// nobody resumes any more (the window only waits for it now), so it is not
// shown at all.
void TSerThread::PromptOk() {
  if (Terminated()) return;
  ShowStatus();
  Main.SetStartButCaption("&Ok");
  Main.SetStartButVisible(true);
  Main.FocusStartBut();
  Suspend();
}

void TSerThread::PromptYesNo() {
  if (Terminated()) {
    Outcome = ocAnswerNo;
    return;
  }
  ShowStatus();
  Main.SetStartButCaption("&Yes");
  Main.SetStartButVisible(true);
  Main.FocusStartBut();
  Main.SetExitButCaption("&No");
  Suspend();
}

void TSerThread::ProgressShow() {
  Main.SetPrcBarPosition(0);
  Main.SetPrcBarVisible(true);
}

// While the server is restored after Cancel the window is waiting for the
// worker and does not paint by itself.
void TSerThread::ProgressSet() {
  Main.SetPrcBarPosition(ProgressPos);
  if (Finishing) Main.RepaintLogMemo();
}

void TSerThread::ProgressHide() {
  Main.SetPrcBarVisible(false);
}

void TSerThread::FinalRestore() {
  ReleaseFirmwareBuffers();
  Main.SetStatTxtVisible(false);
  Main.SetLogMemoVisible(true);
  Main.SetStartButVisible(true);
  Main.FocusStartBut();
  Main.SetExitButVisible(false);
  Main.Worker = nullptr;
}

}  // namespace qv
