// The headless runner: a window without controls that drives the same
// worker as qvtune's window. It is the worker's window thread (whoever
// calls Run), carries out its synchronised calls, answers its prompts by
// policy and writes what the window would show as lines.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "line/Events.h"
#include "line/Options.h"
#include "records/Record.h"
#include "trace/Limits.h"
#include "procedure/MainIntf.h"
#include "procedure/SerThread.h"
#include "serial/Clock.h"
#include "serial/ComPort.h"

namespace qv::line {

struct TLineIo {
  // A log pane line, with its line end.
  std::function<void(const std::string&)> Out;
  // A message for the operator, with its line end.
  std::function<void(const std::string&)> Err;
  // Terminal text for the progress bar; empty: no bar.
  std::function<void(const std::string&)> Bar;
  // Where --scan-id reads the scanned identifiers.
  int InFd = 0;
};

class TLineRunner final : public TMainIntf {
 public:
  TLineRunner(TLineOptions options, TLineIo io, TClock& clock = RealClock());
  ~TLineRunner() override;

  // The settings, ports and files for the run; false, after one message on
  // Err, when it cannot start (exit code 2). programDir is the folder the
  // settings file and the port map default to.
  bool Prepare(const std::string& programDir);
  // Runs the units and gives the exit code.
  int Run();
  // Cancel. Async-signal-safe; once cancelled, further requests change
  // nothing.
  void RequestCancel();

  // When set, each run's worker is handed to it before it starts (to fill
  // its step table).
  std::function<void(TSerThread&)> PrepareWorker;
  // Called on Run's thread as each unit's outcome is known, with what the
  // runner adds to it (the scanned identifier, the limits' verdicts).
  std::function<void(const TUnitResult&, const records::TUnitExtras&)> OnUnitEnded;

  const TLineOptions& Options() const { return FOptions; }
  int UnitsTuned() const { return FUnitsTuned; }

  // ---- the front end as the worker sees it ----
  bool AnaChkChecked() const override { return FAnalysisOnly; }
  TComboState Combo(TComboId id) const override { return FCombos[id]; }
  void AddToHistory(TComboId) override {}
  void LogAdded(const std::string& line, const char* step) override;
  void PromptShown(const TPrompt& prompt) override;
  void PromptEnded(TPromptKind kind) override;
  void ProgressShown() override;
  void ProgressChanged(const TProgress& progress) override;
  void ProgressHidden() override;
  void UnitEnded(const TUnitResult& result) override;
  void RestoreEnded(TUnitVerdict verdict) override;
  void PortAccessDenied(const std::string& port, const std::string& reason) override;
  // As a station of a line on one radio channel: a turn on the channel,
  // held in a lock that the line's stations share (a file beside the
  // settings file; the system frees it with the process that held it).
  void AirWanted() override;
  void AirDone() override;

 private:
  bool Fail(const std::string& message);
  bool ChoosePort(TComboId id, const std::optional<std::string>& option, const std::string& fromSettings,
                  const char* what);
  // One run from Start to the worker's end.
  void Drive();
  void AwaitWake(int timeoutMs);
  void AnswerPrompt();
  // The next unit's scanned identifier from InFd; false at the end of the
  // input or on Cancel.
  bool ReadScanId();
  // Where the records and the JSON lines say the unit was tuned.
  std::string StationName() const;
  // The manifest and the limits beside the settings file or named; false,
  // after one message, when one cannot be used or an input is refused.
  bool PrepareTraceability();
  // The next unit's number; as a station of a line, told to the line.
  void NextUnit();
  void Emit(const TLineEvent& event);
  void EmitUnit();
  void EmitProgress(int percent);
  void DrawBar();
  void ClearBar();

  TLineOptions FOptions;
  TLineIo FIo;
  TClock& FClock;
  TComPort FSerIF1{nullptr};
  TComPort FSerIF2{nullptr};
  std::array<TComboState, 5> FCombos;
  bool FAnalysisOnly = false;

  int FWake[2] = {-1, -1};
  std::atomic<bool> FCancelRequested{false};
  bool FCancelled = false;

  // The prompt to answer once the worker's call that opened it has
  // returned.
  std::optional<TPrompt> FPrompt;
  bool FBarShown = false;
  int FBarPosition = 0;
  size_t FBarLength = 0;

  int FUnit = 1;
  int FUnitsTuned = 0;
  int FRetries = 0;
  TUnitVerdict FLastVerdict = uvAborted;
  // The last unit completed, yet was outside a limit.
  bool FOutsideLimit = false;
  bool FUnitEnded = false;
  bool FRestoreFailed = false;

  int FAirFd = -1;
  bool FAirHeld = false;
  // Ports refused for lack of permission, told once each.
  std::vector<std::string> FRefusedPorts;
  // Traceability: the line's limits, the unit's scanned identifier, the
  // step and start of the unit, and the run's figures for its summary.
  trace::TLimits FLimits;
  std::string FScanId;
  std::string FStep;
  TClock::TDuration FUnitStart{0};
  TClock::TDuration FRunStart{0};
  int FUnitsEnded = 0;
  int FUnitsFailed = 0;
  std::map<std::string, int> FFailedBy;
};

class TLine;
class TStationProcess;

// What a caller of RunLine may hook in.
struct TLineHooks {
  // Just before the run starts, to route signals to it (or fill a worker's
  // steps, in the tests): the runner of one station, or the line.
  std::function<void(TLineRunner&)> Runner;
  std::function<void(TLine&)> Line;
  // Once the runner's run has ended, before the runner goes.
  std::function<void()> RunnerEnded;
  // How a line starts its stations; empty: as child processes of this
  // program.
  std::function<std::unique_ptr<TStationProcess>(const std::vector<std::string>& args, std::string& error)> Launcher;
};

// The program but for its signals: the options parsed, the run prepared
// and carried out; the exit code.
int RunLine(const std::vector<std::string>& args, const TLineIo& io, const std::string& programDir,
            TClock& clock = RealClock(), const TLineHooks& hooks = {});

}  // namespace qv::line
