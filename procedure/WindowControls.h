// TWindowControls: a front end with the window's controls (log pane,
// status text, progress bar, Start and Exit buttons). It maps the worker's
// intents onto those controls, and the buttons' clicks while a worker
// exists onto answers, exactly as the window shows them. The Qt window and
// the tests' window implement the controls; the mapping is written once,
// here, so that the two cannot differ.
#pragma once

#include <string>

#include "procedure/MainIntf.h"

namespace qv {

class TWindowControls : public TMainIntf {
public:
  // ---- the controls, on the window's thread ----
  virtual void AddLogMemoLine(const std::string& line) = 0;
  virtual void SetLogMemoVisible(bool visible) = 0;
  virtual void FocusLogMemo() = 0;
  // Paints the pane at once, without waiting for the event loop (which is
  // blocked while the window waits for the worker to end).
  virtual void RepaintLogMemo() = 0;
  // A multi-line text; "\r" breaks the lines.
  virtual void SetStatTxtCaption(const std::string& text) = 0;
  virtual void SetStatTxtVisible(bool visible) = 0;
  virtual void SetPrcBarPosition(int position) = 0;
  virtual void SetPrcBarVisible(bool visible) = 0;
  virtual void SetStartButCaption(const std::string& caption) = 0;
  virtual void SetStartButVisible(bool visible) = 0;
  virtual void FocusStartBut() = 0;
  virtual void SetExitButCaption(const std::string& caption) = 0;
  virtual void SetExitButVisible(bool visible) = 0;

  // ---- the intents ----
  void LogAdded(const std::string& line, const char* step) override;
  void PromptShown(const TPrompt& prompt) override;
  void PromptEnded(TPromptKind kind) override;
  void ProgressShown() override;
  void ProgressChanged(const TProgress& progress) override;
  void ProgressHidden() override;

  // ---- the buttons while a worker exists ----
  // StartBut: the answer Ok, or Yes at a question.
  void StartWithWorker();
  // ExitBut: the answer No at a question, Cancel otherwise (which returns
  // once the worker has ended).
  void ExitWithWorker();

private:
  // The run view as it is while the worker runs.
  void BackToRunning();
};

}  // namespace qv
