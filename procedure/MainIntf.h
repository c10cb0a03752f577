// TMainIntf: the window as the worker sees it. The fields are the window's
// own (the GUI's TMain inherits them), read by the worker directly because
// the controls that change them are hidden while a worker runs. The
// controls are reached only through the operations below, which the worker
// calls on the window's thread, inside synchronised calls.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "procedure/Thread.h"
#include "serial/ComPort.h"

namespace qv {

class TSerThread;

// The two port components the window owns. Port detection may exchange the
// two references so that SerIF1 names the dongle's port and SerIF2 the
// server's; the worker always goes through these references.
struct TPortRoles {
  TComPort* SerIF1 = nullptr;
  TComPort* SerIF2 = nullptr;
};

// The window's combo boxes that the worker reads.
enum TComboId { ciCOM1, ciCOM2, ciFile1, ciFile2, ciFile3 };

// A combo box as the worker sees it: the items, the selected index (-1 for
// none; item 0 of a port combo is "Auto detect") and the text.
struct TComboState {
  std::vector<std::string> Items;
  int ItemIndex = -1;
  std::string Text;
};

class TMainIntf {
public:
  virtual ~TMainIntf() = default;

  bool GoldenIsHandheld = false;
  bool RestoreServer = false;
  std::string ProgramDir;
  std::string IniPath;
  // Written by port detection as well.
  std::string LastDonglePort;
  std::string LastServerPort;
  TSerThread* Worker = nullptr;
  // The firmware payload of the program file, or none; the window's.
  std::unique_ptr<uint8_t[]> Payload;
  int32_t PayloadSize = 0;
  TPortRoles Ports;
  // The decimal separator of the system's regional settings, for the
  // numbers in the log.
  char DecimalSeparator = '.';
  // Where the worker's synchronised calls go: the window thread's queue.
  std::shared_ptr<TSyncQueue> SyncQueue = MainSyncQueue();

  virtual bool AnaChkChecked() const = 0;

  // Read by the worker on its own thread while the run view is shown (the
  // controls that change the combos are hidden then), so it must not touch
  // widgets: a window keeps a plain copy, taken on its own thread.
  virtual TComboState Combo(TComboId id) const = 0;
  // The window's thread only (the worker's firmware reading calls it
  // inside a synchronised call): the combo's text goes to the top of its
  // history.
  virtual void AddToHistory(TComboId id) = 0;

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

  virtual std::string ExitButCaption() const = 0;
  virtual void SetExitButCaption(const std::string& caption) = 0;
  virtual void SetExitButVisible(bool visible) = 0;

  // On the window's thread, inside a synchronised call, right after the
  // outcome line: a unit's outcome (the worker's Outcome: ocCompleted,
  // ocFailed, or ocNone when aborted), and the closing server restore's.
  virtual void UnitEnded(const TSerThread&) {}
  virtual void RestoreEnded(const TSerThread&) {}
};

// A window without controls, for driving the worker's steps where nothing
// is shown (link tests, benchmarks): every control operation does nothing.
class THeadlessMain final : public TMainIntf {
public:
  THeadlessMain() = default;
  explicit THeadlessMain(TPortRoles ports) { Ports = ports; }

  std::array<TComboState, 5> Combos;

  bool AnaChkChecked() const override { return false; }
  TComboState Combo(TComboId id) const override { return Combos[id]; }
  void AddToHistory(TComboId) override {}
  void AddLogMemoLine(const std::string&) override {}
  void SetLogMemoVisible(bool) override {}
  void FocusLogMemo() override {}
  void RepaintLogMemo() override {}
  void SetStatTxtCaption(const std::string&) override {}
  void SetStatTxtVisible(bool) override {}
  void SetPrcBarPosition(int) override {}
  void SetPrcBarVisible(bool) override {}
  void SetStartButCaption(const std::string&) override {}
  void SetStartButVisible(bool) override {}
  void FocusStartBut() override {}
  std::string ExitButCaption() const override { return {}; }
  void SetExitButCaption(const std::string&) override {}
  void SetExitButVisible(bool) override {}
};

}  // namespace qv
