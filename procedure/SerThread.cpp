// The procedure driver: the attempts and units of a run, the closing server
// restore, and the end of the run (ports, error log file, window).
#include "procedure/SerThread.h"

#include "firmware/Decode.h"
#include "link/Detect.h"

#include <cstdio>
#include <utility>

namespace qv {

namespace {

const char* const kConnectPrompt =
    "Make sure the server, Quorvantis and dongle are powered\r"
    "and connected to serial communications ports of this PC.\r\r"
    "Press Ok to continue.";
const char* const kNextUnitPrompt = "Completed successfully!\r\rDo you want to fine-tune another Quorvantis?";
const char* const kRetryPrompt = "Procedure failed!\r\rDo you want to retry, or fine-tune another Quorvantis?";

constexpr uint8_t kVersionHead = 0x42;
constexpr uint8_t kServerReady = 0x07;
constexpr int kDisconnectPolls = 5;
constexpr uint32_t kPollMs = 50;
constexpr int kResyncLimit = 64;
constexpr intptr_t kTagOpened = 2;

// A hook of the step table stands in for the step it names.
template <class Hook, class... Params, class... Args>
void RunStep(TSerThread& worker, const Hook& hook, void (TSerThread::*step)(Params...), Args&&... args) {
  if (hook)
    hook(worker, args...);
  else
    (worker.*step)(args...);
}

// A port that cannot report its lines counts as without DSR: a broken port
// then ends the disconnection wait instead of holding the run.
bool DsrPresent(TComPort* port) {
  if (port == nullptr) return false;
  try {
    return port->ModemStatus().Contains(msDSR);
  } catch (...) {
    return false;
  }
}

}  // namespace

std::string ServerVersionText(uint8_t x, uint8_t y) {
  return " to " + ServerVersionFromBytes(x, y);
}

TSerThread::TSerThread(bool createSuspended, TMainIntf& main, TClock& clock)
    : TThread(createSuspended, main.SyncQueue), Main(main), Ports(main.Ports), Clock(clock) {
  SetPriority(tpNormal);
  SetFreeOnTerminate(true);
  Outcome = ocNone;
  LogText.clear();
  InstalledServerVersion.clear();
  Finishing = false;
  ServerImage[1].At(TServerImage::First) = TServerImage::Blank;
  AfterConstruction();
}

// A worker that ends without its final restore (one created suspended and
// destroyed by its owner) still gives back what it read.
TSerThread::~TSerThread() {
  ReleaseFirmwareBuffers();
}

void TSerThread::ReleaseFirmwareBuffers() {
  bool any = false;
  for (uint8_t* buf : FirmwareBuf.Items) any = any || buf != nullptr;
  // With a payload the buffers point into it, and it stays the window's.
  if (!any || Main.Payload) return;
  for (uint8_t*& buf : FirmwareBuf.Items) {
    delete[] buf;
    buf = nullptr;
  }
}

void TSerThread::Execute() {
  bool retryRequested;
  do {
    retryRequested = false;
    Facts = TUnitFacts{};
    StepName = "ReadFirmwareFiles";
    Synchronize([this] { RunStep(*this, Steps.ReadFirmwareFiles, &TSerThread::ReadFirmwareFiles); });
    Reply = kConnectPrompt;
    if (Outcome == ocNone) Synchronize(&TSerThread::PromptOk);
    StepName = "DetectPorts";
    RunStep(*this, Steps.DetectPorts, &TSerThread::DetectPorts);
    StepName = "InitServer";
    RunStep(*this, Steps.InitDevice, &TSerThread::InitDevice, *Ports.SerIF2, false);
    if (LinkOk) {
      Reply = ServerCommand(std::string(1, '\0'), true);
      if (Main.RestoreServer && !Main.GoldenIsHandheld && LinkOk && Reply.size() == 3 &&
          static_cast<uint8_t>(Reply[0]) == kVersionHead)
        InstalledServerVersion = ServerVersionText(static_cast<uint8_t>(Reply[1]), static_cast<uint8_t>(Reply[2]));
      LinkOk = true;
    }
    LogPrefix = LogText;

    do {
      if (Outcome == ocCompleted) {
        LogLine("");
        LogLine("=== Next Quorvantis ===");
        // The file keeps the common start and the current unit only; the
        // pane keeps everything.
        LogText = LogPrefix + "...\r";
        Outcome = ocNone;
      }
      // A unit that starts failed (no dongle found, a file unreadable)
      // fails for the line that said why.
      const std::string reason = Facts.LastLine;
      Facts.NewUnit();
      if (Outcome == ocFailed) Facts.LastLine = reason;
      StepName = "InitHandheld";
      RunStep(*this, Steps.InitDevice, &TSerThread::InitDevice, *Ports.SerIF1, true);
      StepName = "DecodeFirmware";
      RunStep(*this, Steps.DecodeFirmware, &TSerThread::DecodeFirmware);
      StepName = "FineTuning";
      RunStep(*this, Steps.RunFineTuning, &TSerThread::RunFineTuning);
      StepName = "UpdateFirmware";
      if (Main.GoldenIsHandheld) {
        RunStep(*this, Steps.UpdateServerFirmware, &TSerThread::UpdateServerFirmware);
      } else {
        RunStep(*this, Steps.UpdateHandheldFirmware, &TSerThread::UpdateHandheldFirmware);
        if (Outcome == ocNone) {
          StepName = "AwaitDisconnection";
          Reply = "Disconnect the Quorvantis...";
          Synchronize([this] { ShowStatus(pkAwaitDisconnection); });
          AwaitDisconnection();
          Synchronize(&TSerThread::HideStatus);
        }
      }
      // The front end has the unit's result before the verdict is shown, in
      // the same call: a unit whose outcome the operator saw is recorded.
      DecideOutcome();
      Synchronize([this] {
        Main.UnitEnded(UnitResult());
        MemoAdd();
      });
      StepName = "NextUnit";

      if (Main.RestoreServer && !Main.GoldenIsHandheld) {
        const uint8_t previous = Outcome;
        Outcome = ocCompleted;
        Reply = previous == ocCompleted ? kNextUnitPrompt : kRetryPrompt;
        AskNextUnit(previous == ocCompleted ? pkNextUnit : pkNextAttempt);
        if (previous != ocCompleted) {
          if (Outcome == ocCompleted) {
            retryRequested = true;
            Outcome = ocNone;
            InstalledServerVersion.clear();
            Finishing = false;
            ServerImage[1].At(TServerImage::First) = TServerImage::Blank;
            LogLine("=== Next attempt ===");
            ClosePorts();
          } else {
            Outcome = previous;
          }
        }
      }
    } while (Outcome == ocCompleted && !retryRequested && !Main.GoldenIsHandheld && Main.RestoreServer);
  } while (retryRequested);

  if (Main.RestoreServer && !Main.GoldenIsHandheld) {
    StepName = "RestoreServer";
    RestoreServerFirmware();
  }
  StepName = "Close";
  ClosePorts();
  WriteErrorLog();
  Synchronize(&TSerThread::FinalRestore);
}

void TSerThread::AwaitDisconnection() {
  int absent = 0;
  while (absent < kDisconnectPolls && !Terminated()) {
    absent = DsrPresent(Ports.SerIF1) ? 0 : absent + 1;
    Clock.Sleep(kPollMs);
  }
}

// A window that waits for the worker to end cannot take an answer, so after
// a termination request the prompt is not shown and the answer is No: no new
// attempt starts and the run goes on to its end.
void TSerThread::AskNextUnit(TPromptKind question) {
  if (!Terminated()) Synchronize([this, question] { PromptYesNo(question); });
  if (Terminated() || PromptAnswer == anNo) Outcome = ocAnswerNo;
}

void TSerThread::RestoreServerFirmware() {
  const uint8_t saved = Outcome;
  Outcome = ocNone;
  LinkOk = true;
  Finishing = true;
  if (ServerImage[1].At(TServerImage::First) == TServerImage::Blank)
    RunStep(*this, Steps.DecodeFirmware, &TSerThread::DecodeFirmware);
  if (ServerImage[1].At(TServerImage::First) != TServerImage::Blank &&
      (InstalledServerVersion.empty() || InstalledServerVersion != ServerFwVersion)) {
    LogLine("--- Restoring server firmware" + ServerFwVersion + " ---");
    // The server may still be inside a frame of the unit's last exchange;
    // single zero bytes are answered by a zero once it is between frames.
    const std::string zero(1, '\0');
    for (int i = 0; i < kResyncLimit; ++i) {
      SendEcho(*Ports.SerIF2, zero, "");
      if (Reply == zero) break;
    }
    RunStep(*this, Steps.ProgramServer, &TSerThread::ProgramServer, 1);
    if (Outcome == ocNone) {
      Reply = ServerCommand(std::string(1, '\x01'), true);
      if (!LinkOk || Reply != std::string(1, static_cast<char>(kServerReady))) Outcome = ocFailed;
    }
    ReportOutcome();
    Synchronize([this] { Main.RestoreEnded(Outcome == ocFailed ? uvFailed : uvCompleted); });
  }
  Outcome = saved == ocAnswerNo ? ocCompleted : saved;
  Finishing = false;
}

void TSerThread::ReportOutcome() {
  DecideOutcome();
  Synchronize(&TSerThread::MemoAdd);
}

void TSerThread::DecideOutcome() {
  if (Outcome == ocNone && (Finishing || !Terminated())) Outcome = ocCompleted;
  switch (Outcome) {
    case ocNone:
      Reply = "Aborted by user!";
      break;
    case ocFailed:
      Reply = "Procedure failed!";
      break;
    default:
      Reply = "Completed successfully!";
      break;
  }
}

TUnitResult TSerThread::UnitResult() const {
  TUnitResult r;
  r.Verdict = Outcome == ocCompleted ? uvCompleted : Outcome == ocFailed ? uvFailed : uvAborted;
  r.GoldenIsHandheld = Main.GoldenIsHandheld;
  r.AnalysisOnly = Main.AnaChkChecked();
  r.Facts = Facts;
  // The version texts read " to V2.4".
  auto version = [](const std::string& text) { return text.rfind(" to ", 0) == 0 ? text.substr(4) : text; };
  r.ModemFw = version(ModemFwVersion);
  r.HandheldFw = version(HandheldFwVersion);
  r.ServerFw = version(ServerFwVersion);
  // The identity text's first byte is the dongle's hardware.
  if (DongleId.size() > 1) r.DongleId = DongleId.substr(1);
  if (Facts.HandheldHw) r.HandheldHw = FormatPortVersion(*Facts.HandheldHw);
  if (r.Verdict == uvFailed) r.Message = Facts.LastLine;
  if (r.Verdict == uvAborted) r.Message = "Aborted by user!";
  r.Transcript = LogText;
  return r;
}

void TSerThread::ClosePorts() {
  for (TComPort* port : {Ports.SerIF1, Ports.SerIF2}) {
    if (port == nullptr || port->Tag <= 1) continue;
    try {
      port->Close();
    } catch (...) {
    }
    port->Tag &= ~kTagOpened;
  }
}

std::string TSerThread::ErrorLogPath() const {
  const std::string& ini = Main.IniPath;
  return ini.substr(0, ini.size() >= 3 ? ini.size() - 3 : 0) + "ERR";
}

void TSerThread::WriteErrorLog() {
  // Binary, so that the transcript's lone CRs reach the file unchanged.
  std::FILE* file = std::fopen(ErrorLogPath().c_str(), "wb");
  bool written = file != nullptr;
  if (written && !LogText.empty()) written = std::fwrite(LogText.data(), 1, LogText.size(), file) == LogText.size();
  if (written) written = std::fflush(file) == 0;
  if (file != nullptr) std::fclose(file);
  if (written) LogLine("Error log file written");
}

}  // namespace qv
