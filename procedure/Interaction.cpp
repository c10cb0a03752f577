// The worker's calls into its front end. Each runs on the front end's
// thread inside a synchronised call (LogLine excepted), and says what the
// worker needs: a line, a prompt of a kind, progress. How it looks is the
// front end's business.
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
  Main.LogAdded(Reply, StepName);
}

void TSerThread::ShowStatus(TPromptKind wait) {
  Main.OpenPrompt = wait;
  Main.PromptShown({wait, Reply});
}

void TSerThread::HideStatus() {
  const TPromptKind wait = Main.OpenPrompt.value_or(pkAwaitHandheld);
  Main.OpenPrompt.reset();
  Main.PromptEnded(wait);
}

void TSerThread::AskOperator(TPromptKind kind) {
  PromptAnswer = anOk;
  Main.OpenPrompt = kind;
  Main.PromptShown({kind, Reply});
  Suspend();
}

// A prompt that came after Cancel or closing would suspend a worker that
// nobody resumes any more (the front end only waits for it now), so it is
// not shown at all.
void TSerThread::PromptOk() {
  if (Terminated()) return;
  AskOperator(pkConnect);
}

void TSerThread::PromptYesNo(TPromptKind question) {
  if (Terminated()) {
    Outcome = ocAnswerNo;
    return;
  }
  AskOperator(question);
}

void TSerThread::ProgressShow() {
  Main.ProgressShown();
}

void TSerThread::ProgressSet() {
  Main.ProgressChanged({ProgressPos, Finishing});
}

void TSerThread::ProgressHide() {
  Main.ProgressHidden();
}

void TSerThread::FinalRestore() {
  ReleaseFirmwareBuffers();
  Main.OpenPrompt.reset();
  Main.PromptShown({pkEnd, ""});
  Main.Worker = nullptr;
}

}  // namespace qv
