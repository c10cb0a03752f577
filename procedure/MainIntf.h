// TMainIntf: the front end as the worker sees it. The fields are the
// window's own choices (the GUI's TMain inherits them), read by the worker
// directly because nothing changes them while a worker runs. What the
// worker needs of a front end is said as intents: a prompt of a named kind
// with its text, log lines, progress and a unit's result as data. The
// worker calls them on the front end's thread, inside synchronised calls;
// the answer comes back as a value (Answer, procedure/WorkerControl.h).
// Each front end maps the intents onto what it has: the window onto its
// captions and controls (procedure/WindowControls.h), qvline onto its
// policy.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "procedure/Thread.h"
#include "procedure/UnitFacts.h"
#include "serial/ComPort.h"

namespace qv {

class TSerThread;

// The two port components the front end owns. Port detection may exchange
// the two references so that SerIF1 names the dongle's port and SerIF2 the
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

// What the worker asks of the operator.
enum TPromptKind {
  // Before detection: the devices powered and connected; Ok or Cancel.
  pkConnect,
  // Waits while the worker polls the dongle's DSR: a handheld to be
  // connected (before each unit), and the tuned unit to be pulled out.
  // Nothing to answer; Cancel stops the run.
  pkAwaitHandheld,
  pkAwaitDisconnection,
  // After a unit: another one (it completed), or a retry or another one
  // (it failed); Yes or No.
  pkNextUnit,
  pkNextAttempt,
  // The run has ended and the front end is its own again.
  pkEnd,
};

enum TAnswer { anOk, anYes, anNo, anCancel };

struct TPrompt {
  TPromptKind Kind = pkConnect;
  // "\r" breaks the lines; empty for pkEnd.
  std::string Text;
};

inline bool IsQuestion(TPromptKind kind) {
  return kind == pkNextUnit || kind == pkNextAttempt;
}
inline bool IsWait(TPromptKind kind) {
  return kind == pkAwaitHandheld || kind == pkAwaitDisconnection;
}
// Whether an open prompt of this kind takes the answer: Ok or Cancel at
// pkConnect, Yes or No at a question, Cancel during a wait.
bool PromptTakes(TPromptKind kind, TAnswer answer);
// For logs and tests: "connect", "next unit", ...
const char* PromptKindName(TPromptKind kind);

struct TProgress {
  int Percent = 0;
  // Set while the closing server restore runs: a front end that waits for
  // the worker to end does not paint by itself then.
  bool ClosingRestore = false;
};

// A check of each firmware input as the worker reads it, before any byte
// goes to a device: the front end computes the input's identity (its
// SHA-256) and may refuse it (a manifest that names another hash).
class TFirmwareCheck {
public:
  virtual ~TFirmwareCheck() = default;
  // On the front end's thread, inside the worker's reading of its inputs:
  // fills input.Sha256; false, with the reason in why, refuses the input.
  virtual bool Check(TFirmwareInput& input, const uint8_t* bytes, size_t size, std::string& why) = 0;
  // What keeps every input from being used before any is read (a manifest
  // that cannot be read, say), each an entry of the reading errors.
  virtual std::vector<std::string> Problems() const { return {}; }
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
  // The prompt the worker has open, or none. Written on the front end's
  // thread only: by the worker's prompt calls, and by the answer.
  std::optional<TPromptKind> OpenPrompt;
  // The firmware payload of the program file, or none; the window's.
  std::unique_ptr<uint8_t[]> Payload;
  int32_t PayloadSize = 0;
  TPortRoles Ports;
  // None: the inputs are read without identity or check.
  std::shared_ptr<TFirmwareCheck> FirmwareCheck;
  // The decimal separator of the system's regional settings, for the
  // numbers in the log.
  char DecimalSeparator = '.';
  // Where the worker's synchronised calls go: the front end thread's queue.
  std::shared_ptr<TSyncQueue> SyncQueue = MainSyncQueue();

  virtual bool AnaChkChecked() const = 0;

  // Read by the worker on its own thread while the run view is shown (the
  // controls that change the combos are hidden then), so it must not touch
  // widgets: a window keeps a plain copy, taken on its own thread.
  virtual TComboState Combo(TComboId id) const = 0;
  // The front end's thread only (the worker's firmware reading calls it
  // inside a synchronised call): the combo's text goes to the top of its
  // history.
  virtual void AddToHistory(TComboId id) = 0;

  // ---- the intents: the front end's thread, inside synchronised calls ----
  // A line of the log pane (not necessarily of the transcript); step is
  // where the worker is (TSerThread::StepName).
  virtual void LogAdded(const std::string& line, const char* step) = 0;
  // A prompt or a wait opens (OpenPrompt names it already); a wait ends
  // with PromptEnded. The worker stands still at a prompt until it is
  // answered, so a front end answers only after this call has returned.
  virtual void PromptShown(const TPrompt& prompt) = 0;
  virtual void PromptEnded(TPromptKind kind) = 0;
  // The progress of a programming operation, 0..100.
  virtual void ProgressShown() = 0;
  virtual void ProgressChanged(const TProgress& progress) = 0;
  virtual void ProgressHidden() = 0;
  // A test cycle is about to take the radio channel (the server's trial
  // offset, the handheld's packets, the server's records), and has done
  // with it. Stations that share one channel take turns here, so that no
  // other station transmits while a server records; a front end of a lone
  // station has nothing to do. The worker stands still until AirWanted
  // returns.
  virtual void AirWanted() {}
  virtual void AirDone() {}
  // A port the system refuses to this process (a serial device without
  // permission): its name and the system's reason. Detection goes on with
  // the next port; the front end tells the operator how to get access.
  virtual void PortAccessDenied(const std::string&, const std::string&) {}
  // A unit's result, in the synchronised call that shows its outcome line
  // and just before it: a front end that keeps the result there (a synced
  // append, never a wait for a database) has kept it once the operator
  // sees the verdict. The closing server restore's verdict comes right
  // after its outcome line.
  virtual void UnitEnded(const TUnitResult&) {}
  virtual void RestoreEnded(TUnitVerdict) {}
};

// A front end without anything to show, for driving the worker's steps
// where nothing is shown (link tests, benchmarks).
class THeadlessMain final : public TMainIntf {
public:
  THeadlessMain() = default;
  explicit THeadlessMain(TPortRoles ports) { Ports = ports; }

  std::array<TComboState, 5> Combos;

  bool AnaChkChecked() const override { return false; }
  TComboState Combo(TComboId id) const override { return Combos[id]; }
  void AddToHistory(TComboId) override {}
  void LogAdded(const std::string&, const char*) override {}
  void PromptShown(const TPrompt&) override {}
  void PromptEnded(TPromptKind) override {}
  void ProgressShown() override {}
  void ProgressChanged(const TProgress&) override {}
  void ProgressHidden() override {}
};

}  // namespace qv
