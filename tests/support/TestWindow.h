// A window for tests of the worker: it records what a real window would
// show (as one TScreen value and as a journal of every control operation)
// and plays the window's side of a run. The thread that calls Run is the
// window's thread: it carries out the worker's synchronised calls and the
// clicks that other threads (the operator) post to it.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "procedure/WindowControls.h"
#include "procedure/SerThread.h"
#include "serial/Clock.h"

namespace qv::test {

// Wall-clock time, generous: only a broken step comes near it. Below the
// test time-out (120 s), so a hang still fails with its reason. Whole units
// in virtual time wait as long as the bench clock moves (tests/support/Unit.h).
constexpr std::chrono::milliseconds kWindowLimit{90000};

struct TScreen {
  std::vector<std::string> LogMemo;
  bool LogMemoVisible = false;
  std::string StatTxt;
  bool StatTxtVisible = false;
  int PrcBar = 0;
  bool PrcBarVisible = false;
  std::string StartBut = "&Start!";
  bool StartButVisible = true;
  std::string ExitBut = "&Exit";
  bool ExitButVisible = true;
  std::string Focus;  // the control that got the focus last
  int LogMemoRepaints = 0;
  bool StartView = true;
  bool Closed = false;
};

class TTestWindow final : public TWindowControls {
public:
  TTestWindow();
  ~TTestWindow() override;

  bool AnaChk = false;
  // Set before the run; AddToHistory journals the combo and moves nothing.
  std::array<TComboState, 5> Combos;

  // Each unit's result as a front end is told it (none: ignored).
  std::function<void(const TUnitResult&)> OnUnitEnded;

  bool AnaChkChecked() const override { return AnaChk; }
  void UnitEnded(const TUnitResult& result) override {
    if (OnUnitEnded) OnUnitEnded(result);
  }
  TComboState Combo(TComboId id) const override { return Combos[id]; }
  void AddToHistory(TComboId id) override;
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

  // Any thread.
  TScreen Screen() const;
  std::string ExitButCaption() const { return Screen().ExitBut; }
  std::vector<std::string> Journal() const;
  bool AwaitScreen(const std::function<bool(const TScreen&)>& condition,
                   std::chrono::milliseconds limit = kWindowLimit) const;
  // Queues a task for the window's thread.
  void Post(std::function<void()> task);
  // Queues a task and waits until the window's thread has run it; false
  // when it did not run in time.
  bool Perform(std::function<void()> task, std::chrono::milliseconds limit = kWindowLimit);
  bool ClickStart() {
    return Perform([this] { DoStart(); });
  }
  bool ClickExit() {
    return Perform([this] { DoExit(); });
  }
  bool Close() {
    return Perform([this] { DoClos(); });
  }

  // The window's thread.
  // Start in the start view: the run view, and a worker created suspended
  // so that prepare can fill its step table, then started.
  std::shared_ptr<TThreadCompletion> StartRun(const std::function<void(TSerThread&)>& prepare,
                                              TClock& clock = RealClock());
  void DoStart();
  void DoExit();
  void DoClos();
  // Carries out synchronised calls and posted tasks until the thread behind
  // end has ended; false on time-out.
  bool Run(const std::shared_ptr<TThreadCompletion>& end, std::chrono::milliseconds limit = kWindowLimit);

private:
  void Change(const std::string& entry, const std::function<void(TScreen&)>& change);

  mutable std::mutex FMutex;
  mutable std::condition_variable FCond;
  TScreen FScreen;
  std::vector<std::string> FJournal;
  std::deque<std::function<void()>> FTasks;
};

}  // namespace qv::test
