#include "tests/support/TestWindow.h"

#include <utility>

#include "procedure/WorkerControl.h"

namespace qv::test {

TTestWindow::TTestWindow() {
  SyncQueue = std::make_shared<TSyncQueue>();
  // As the GUI does: a queued call that drains the queue on the window's
  // thread.
  SyncQueue->SetNotifier([this] { Post([this] { SyncQueue->CheckSynchronize(); }); });
}

TTestWindow::~TTestWindow() {
  SyncQueue->SetNotifier(nullptr);
}

void TTestWindow::Change(const std::string& entry, const std::function<void(TScreen&)>& change) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    change(FScreen);
    FJournal.push_back(entry);
  }
  FCond.notify_all();
}

void TTestWindow::AddLogMemoLine(const std::string& line) {
  Change("LogMemo.Add " + line, [&](TScreen& s) { s.LogMemo.push_back(line); });
}
void TTestWindow::SetLogMemoVisible(bool visible) {
  Change(visible ? "LogMemo.Show" : "LogMemo.Hide", [&](TScreen& s) { s.LogMemoVisible = visible; });
}
void TTestWindow::FocusLogMemo() {
  Change("LogMemo.Focus", [](TScreen& s) { s.Focus = "LogMemo"; });
}
void TTestWindow::AddToHistory(TComboId id) {
  Change("AddToHistory " + std::to_string(static_cast<int>(id)), [](TScreen&) {});
}
void TTestWindow::RepaintLogMemo() {
  Change("LogMemo.Repaint", [](TScreen& s) { ++s.LogMemoRepaints; });
}
void TTestWindow::SetStatTxtCaption(const std::string& text) {
  Change("StatTxt.Caption " + text, [&](TScreen& s) { s.StatTxt = text; });
}
void TTestWindow::SetStatTxtVisible(bool visible) {
  Change(visible ? "StatTxt.Show" : "StatTxt.Hide", [&](TScreen& s) { s.StatTxtVisible = visible; });
}
void TTestWindow::SetPrcBarPosition(int position) {
  Change("PrcBar.Position " + std::to_string(position), [&](TScreen& s) { s.PrcBar = position; });
}
void TTestWindow::SetPrcBarVisible(bool visible) {
  Change(visible ? "PrcBar.Show" : "PrcBar.Hide", [&](TScreen& s) { s.PrcBarVisible = visible; });
}
void TTestWindow::SetStartButCaption(const std::string& caption) {
  Change("StartBut.Caption " + caption, [&](TScreen& s) { s.StartBut = caption; });
}
void TTestWindow::SetStartButVisible(bool visible) {
  Change(visible ? "StartBut.Show" : "StartBut.Hide", [&](TScreen& s) { s.StartButVisible = visible; });
}
void TTestWindow::FocusStartBut() {
  Change("StartBut.Focus", [](TScreen& s) { s.Focus = "StartBut"; });
}
void TTestWindow::SetExitButCaption(const std::string& caption) {
  Change("ExitBut.Caption " + caption, [&](TScreen& s) { s.ExitBut = caption; });
}
void TTestWindow::SetExitButVisible(bool visible) {
  Change(visible ? "ExitBut.Show" : "ExitBut.Hide", [&](TScreen& s) { s.ExitButVisible = visible; });
}

TScreen TTestWindow::Screen() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FScreen;
}

std::vector<std::string> TTestWindow::Journal() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FJournal;
}

bool TTestWindow::AwaitScreen(const std::function<bool(const TScreen&)>& condition,
                              std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(FMutex);
  return FCond.wait_for(lock, limit, [&] { return condition(FScreen); });
}

void TTestWindow::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FTasks.push_back(std::move(task));
  }
  FCond.notify_all();
}

bool TTestWindow::Perform(std::function<void()> task, std::chrono::milliseconds limit) {
  struct TDone {
    std::mutex Mutex;
    std::condition_variable Cond;
    bool Done = false;
  };
  auto done = std::make_shared<TDone>();
  Post([task = std::move(task), done] {
    task();
    {
      std::lock_guard<std::mutex> lock(done->Mutex);
      done->Done = true;
    }
    done->Cond.notify_all();
  });
  std::unique_lock<std::mutex> lock(done->Mutex);
  return done->Cond.wait_for(lock, limit, [&] { return done->Done; });
}

std::shared_ptr<TThreadCompletion> TTestWindow::StartRun(const std::function<void(TSerThread&)>& prepare,
                                                         TClock& clock) {
  Change("StartView.Hide", [](TScreen& s) {
    s.StartView = false;
    s.LogMemo.clear();
  });
  SetStartButVisible(false);
  SetStartButCaption("&Ok");
  SetExitButCaption("&Cancel");
  auto* worker = new TSerThread(true, *this, clock);
  Worker = worker;
  if (prepare) prepare(*worker);
  auto end = worker->Completion();
  worker->Resume();
  return end;
}

void TTestWindow::DoStart() {
  SetStatTxtVisible(false);
  if (Worker != nullptr) {
    StartWithWorker();
    return;
  }
  SetLogMemoVisible(false);
  SetPrcBarVisible(false);
  Change("StartView.Show", [](TScreen& s) { s.StartView = true; });
  SetExitButCaption("&Exit");
  SetExitButVisible(true);
  SetStartButCaption("&Start");
}

void TTestWindow::DoExit() {
  if (Worker != nullptr)
    ExitWithWorker();
  else
    DoClos();
}

void TTestWindow::DoClos() {
  StopWorker(*this);
  Change("Window.Close", [](TScreen& s) { s.Closed = true; });
}

bool TTestWindow::Run(const std::shared_ptr<TThreadCompletion>& end, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(FMutex);
      // The end of the thread is not signalled here; a short wait picks it
      // up.
      FCond.wait_for(lock, std::chrono::milliseconds(5), [this] { return !FTasks.empty(); });
      if (!FTasks.empty()) {
        task = std::move(FTasks.front());
        FTasks.pop_front();
      }
    }
    if (task) {
      task();
      continue;
    }
    if (end->Finished()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

}  // namespace qv::test
