#include "procedure/WindowControls.h"

#include "procedure/WorkerControl.h"

namespace qv {

void TWindowControls::LogAdded(const std::string& line, const char*) {
  AddLogMemoLine(line);
}

void TWindowControls::PromptShown(const TPrompt& prompt) {
  if (prompt.Kind == pkEnd) {
    SetStatTxtVisible(false);
    SetLogMemoVisible(true);
    SetStartButVisible(true);
    FocusStartBut();
    SetExitButVisible(false);
    return;
  }
  // The text stands in the place of the log pane, and the bar goes with it.
  SetLogMemoVisible(false);
  SetPrcBarVisible(false);
  SetStatTxtCaption(prompt.Text);
  SetStatTxtVisible(true);
  if (prompt.Kind == pkConnect) {
    SetStartButCaption("&Ok");
    SetStartButVisible(true);
    FocusStartBut();
  } else if (IsQuestion(prompt.Kind)) {
    SetStartButCaption("&Yes");
    SetStartButVisible(true);
    FocusStartBut();
    SetExitButCaption("&No");
  }
}

void TWindowControls::PromptEnded(TPromptKind) {
  SetStatTxtVisible(false);
  SetLogMemoVisible(true);
  FocusLogMemo();
}

void TWindowControls::ProgressShown() {
  SetPrcBarPosition(0);
  SetPrcBarVisible(true);
}

void TWindowControls::ProgressChanged(const TProgress& progress) {
  SetPrcBarPosition(progress.Percent);
  if (progress.ClosingRestore) RepaintLogMemo();
}

void TWindowControls::ProgressHidden() {
  SetPrcBarVisible(false);
}

void TWindowControls::BackToRunning() {
  SetLogMemoVisible(true);
  FocusLogMemo();
  SetStartButVisible(false);
  SetStartButCaption("&Ok");
  SetExitButCaption("&Cancel");
}

void TWindowControls::StartWithWorker() {
  if (Worker == nullptr) return;
  const bool question = OpenPrompt && IsQuestion(*OpenPrompt);
  BackToRunning();
  Answer(*this, question ? anYes : anOk);
}

void TWindowControls::ExitWithWorker() {
  if (Worker == nullptr) return;
  if (!OpenPrompt || !IsQuestion(*OpenPrompt)) {
    StopWorker(*this);
    return;
  }
  // Start hides the prompt text before it answers; No does the same, or the
  // question would stay over the log pane until the worker's next status.
  SetStatTxtVisible(false);
  BackToRunning();
  Answer(*this, anNo);
}

}  // namespace qv
