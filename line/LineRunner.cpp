#include "line/LineRunner.h"

#include "line/Json.h"
#include "line/Line.h"
#include "trace/Manifest.h"
#include "trace/Sha256.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "settings/PortList.h"
#include "settings/SettingsFile.h"
#include "procedure/WorkerControl.h"
#include "records/Record.h"
#include "records/Store.h"
#include "records/Text.h"
#include "serial/PortMap.h"

namespace qv::line {

namespace {

constexpr int kBarWidth = 40;
// How often a station looks whether the radio channel is free.
constexpr uint32_t kAirPollMs = 10;

// Only a regular file that opens for reading is a usable input.
std::string Unreadable(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return "does not exist";
  if (!std::filesystem::is_regular_file(path, ec)) return "is not a regular file";
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "cannot be read";
  std::fclose(file);
  return {};
}

// The pane's line breaks (CR LF or a lone CR) as the terminal's.
std::string PlainLine(const std::string& text) {
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      line += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += text[i];
    }
  }
  return line;
}

std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      if (!line.empty() && line.back() != ' ') line += ' ';
    } else {
      line += c;
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

}  // namespace

TLineRunner::TLineRunner(TLineOptions options, TLineIo io, TClock& clock)
    : FOptions(std::move(options)), FIo(std::move(io)), FClock(clock) {
  SyncQueue = std::make_shared<TSyncQueue>();
  if (::pipe(FWake) == 0) {
    for (int fd : FWake) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
  const int wake = FWake[1];
  SyncQueue->SetNotifier([wake] {
    const char c = 0;
    (void)!::write(wake, &c, 1);
  });
  // The window's port settings.
  SetUpPortComponents(FSerIF1, FSerIF2);
  FSerIF1.SetClock(FClock);
  FSerIF2.SetClock(FClock);
  Ports = {&FSerIF1, &FSerIF2};
}

TLineRunner::~TLineRunner() {
  StopWorker(*this);
  SyncQueue->SetNotifier(nullptr);
  for (TComPort* port : {&FSerIF1, &FSerIF2}) {
    try {
      if (port->Active()) port->Close();
    } catch (...) {
    }
  }
  for (int fd : FWake)
    if (fd >= 0) ::close(fd);
  if (FAirFd >= 0) ::close(FAirFd);
}

bool TLineRunner::Fail(const std::string& message) {
  if (FIo.Err) FIo.Err("qvline: " + message + "\n");
  return false;
}

bool TLineRunner::ChoosePort(TComboId id, const std::optional<std::string>& option, const std::string& fromSettings,
                             const char* what) {
  TComboState& combo = FCombos[id];
  combo.ItemIndex = 0;
  const std::string wanted = option ? *option : fromSettings;
  if (!option || SamePortName(*option, "auto")) {
    // As the window selects a stored name: one that is gone is Auto detect.
    combo.ItemIndex = std::max(0, FindPortItem(combo.Items, wanted));
  } else {
    combo.ItemIndex = FindPortItem(combo.Items, wanted, 1);
    if (combo.ItemIndex < 0) {
      std::string known;
      for (size_t i = 1; i < combo.Items.size(); ++i) known += (known.empty() ? "" : ", ") + combo.Items[i];
      return Fail(std::string("no port \"") + wanted + "\" for the " + what +
                  " (the ports are: " + (known.empty() ? "none" : known) + ", or auto)");
    }
  }
  combo.Text = combo.Items[static_cast<size_t>(combo.ItemIndex)];
  return true;
}

bool TLineRunner::Prepare(const std::string& programDir) {
  IniPath = FOptions.SettingsPath.empty() ? programDir + "qvtune.INI" : FOptions.SettingsPath;
  if (!FOptions.SettingsPath.empty()) {
    const std::string why = Unreadable(IniPath);
    if (!why.empty()) return Fail("the settings file \"" + IniPath + "\" " + why);
  }
  ProgramDir = ProgramDirOf(IniPath);
  const TSettings settings = ParseSettings(ReadSettingsLines(IniPath));
  // A station of a line writes its transcript beside the settings file,
  // named after the station (the worker names it after IniPath, which it
  // reads for nothing else).
  if (FOptions.LineMember) IniPath = ProgramDir + FOptions.Station + ".INI";

  if (!FOptions.PortMapPath.empty()) {
    const std::string why = Unreadable(FOptions.PortMapPath);
    if (!why.empty()) return Fail("the port map \"" + FOptions.PortMapPath + "\" " + why);
    TComEnumConfig config = ComEnumConfig();
    config.PortMapPath = FOptions.PortMapPath;
    SetComEnumConfig(config);
  }

  const TSettingsChoices choices = settings.Choices.value_or(TSettingsChoices{});
  GoldenIsHandheld = FOptions.GoldenIsHandheld.value_or(choices.GoldenIsHandheld);
  RestoreServer = FOptions.RestoreServer.value_or(choices.RestoreServer);
  FAnalysisOnly = FOptions.AnalysisOnly.value_or(choices.AnalysisOnly);

  const std::vector<std::string> items = PortListItems(ListPorts(FSerIF1));
  for (TComboId id : {ciCOM1, ciCOM2}) FCombos[id].Items = items;
  if (settings.DonglePort && settings.DonglePort->Last) LastDonglePort = *settings.DonglePort->Last;
  if (settings.ServerPort && settings.ServerPort->Last) LastServerPort = *settings.ServerPort->Last;
  if (!ChoosePort(ciCOM1, FOptions.DonglePort, settings.DonglePort ? settings.DonglePort->Selected : "", "dongle") ||
      !ChoosePort(ciCOM2, FOptions.ServerPort, settings.ServerPort ? settings.ServerPort->Selected : "", "server"))
    return false;

  const TComboId files[3] = {ciFile1, ciFile2, ciFile3};
  const char* const labels[3] = {"RF modem firmware", "Quorvantis firmware", "server firmware"};
  const char* const flags[3] = {"--modem-fw", "--handheld-fw", "--server-fw"};
  const bool needed[3] = {!GoldenIsHandheld, !GoldenIsHandheld, GoldenIsHandheld || RestoreServer};
  for (size_t i = 0; i < 3; ++i) {
    TComboState& combo = FCombos[files[i]];
    if (settings.Histories[i]) combo.Items = *settings.Histories[i];
    if (FOptions.Files[i]) {
      combo.Text = *FOptions.Files[i];
      combo.ItemIndex = -1;
    } else if (!combo.Items.empty()) {
      combo.Text = combo.Items[0];
      combo.ItemIndex = 0;
    }
    if (!needed[i]) continue;
    if (combo.Text.empty())
      return Fail(std::string("no ") + labels[i] + " file: give " + flags[i] + " or choose one in the window");
    const std::string why = Unreadable(combo.Text);
    if (!why.empty()) return Fail(std::string("the ") + labels[i] + " file \"" + combo.Text + "\" " + why);
  }
  // The test firmware the worker takes from beside the settings file.
  for (const char* name : {"qvftune.qpf", "srvftune.sff"}) {
    const std::string why = Unreadable(ProgramDir + name);
    if (!why.empty()) return Fail("the test firmware file \"" + ProgramDir + name + "\" " + why);
  }
  return PrepareTraceability();
}

bool TLineRunner::PrepareTraceability() {
  std::error_code ec;
  std::shared_ptr<trace::TManifest> manifest;
  const std::string manifestPath = FOptions.ManifestPath.empty() ? ProgramDir + "qvtune.manifest" : FOptions.ManifestPath;
  if (!FOptions.ManifestPath.empty() || std::filesystem::exists(manifestPath, ec)) {
    manifest = std::make_shared<trace::TManifest>();
    std::string error;
    if (!manifest->Read(manifestPath, error)) return Fail(error);
    // Every input is checked now, before anything starts; the worker
    // checks each again as it reads it.
    std::vector<std::pair<std::string, std::string>> inputs = {
        {"test firmware", ProgramDir + "qvftune.qpf"}, {"test firmware", ProgramDir + "srvftune.sff"}};
    if (!GoldenIsHandheld) {
      inputs.emplace_back("RF modem firmware", FCombos[ciFile1].Text);
      inputs.emplace_back("Quorvantis firmware", FCombos[ciFile2].Text);
    }
    if (GoldenIsHandheld || RestoreServer) inputs.emplace_back("server firmware", FCombos[ciFile3].Text);
    for (const auto& [label, path] : inputs) {
      std::ifstream in(path, std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const std::string why =
          manifest->Refusal(path, trace::Sha256Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
      if (!why.empty()) return Fail("the " + label + " file \"" + path + "\" is refused: " + why);
    }
  }
  FirmwareCheck = trace::FirmwareCheck(manifest);
  const std::string limitsPath = FOptions.LimitsPath.empty() ? ProgramDir + "qvtune.limits" : FOptions.LimitsPath;
  if (!FOptions.LimitsPath.empty() || std::filesystem::exists(limitsPath, ec)) {
    std::string error;
    if (!FLimits.Read(limitsPath, error)) return Fail(error);
  }
  return true;
}

std::string TLineRunner::StationName() const {
  return FOptions.Station.empty() ? records::HostName() : FOptions.Station;
}

bool TLineRunner::ReadScanId() {
  FScanId.clear();
  if (FIo.Err) FIo.Err("qvline: scan the identifier of unit " + std::to_string(FUnit) + "\n");
  std::string line;
  for (;;) {
    pollfd p[2] = {{FIo.InFd, POLLIN, 0}, {FWake[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0 && errno != EINTR) return false;
    if (FCancelRequested.load()) return false;
    if (p[0].revents == 0) continue;
    char c = 0;
    const ssize_t n = ::read(FIo.InFd, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    if (c == '\n' || c == '\r') {
      // A scanner that ends its lines with CR LF, or a bare Enter, gives an
      // empty line: the unit is still to be scanned.
      while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
      if (!line.empty()) {
        FScanId = line;
        return true;
      }
      continue;
    }
    line += c;
  }
}

void TLineRunner::RequestCancel() {
  FCancelRequested.store(true);
  const char c = 1;
  (void)!::write(FWake[1], &c, 1);
}

void TLineRunner::AwaitWake(int timeoutMs) {
  pollfd p{FWake[0], POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) > 0) {
    char buf[256];
    while (::read(FWake[0], buf, sizeof buf) > 0) {
    }
  }
}

void TLineRunner::Emit(const TLineEvent& event) {
  if (FIo.Out) FIo.Out(EncodeEvent(event) + "\n");
}

void TLineRunner::EmitUnit() {
  TLineEvent e = Event(ekUnit);
  e.Unit = FUnit;
  Emit(e);
}

void TLineRunner::EmitProgress(int percent) {
  TLineEvent e = Event(ekProgress);
  e.Percent = percent;
  Emit(e);
}

void TLineRunner::NextUnit() {
  ++FUnit;
  FUnitStart = FClock.Now();
  if (FOptions.LineMember) EmitUnit();
}

int TLineRunner::Run() {
  FRunStart = FUnitStart = FClock.Now();
  if (FOptions.LineMember) EmitUnit();
  // Without the window's next-unit prompt (no restore, or a golden
  // handheld) a run holds one unit; the next unit or a retry is the next
  // run, as Start again in the window.
  const bool promptsForNext = RestoreServer && !GoldenIsHandheld;
  for (;;) {
    FUnitEnded = false;
    Drive();
    if (FCancelled || promptsForNext || !FUnitEnded) break;
    // A signal between two runs ends the line before another unit starts.
    if (FCancelRequested.load()) {
      FCancelled = true;
      break;
    }
    if (FLastVerdict == uvCompleted && FUnitsTuned < FOptions.Units) {
      NextUnit();
      continue;
    }
    if (FLastVerdict == uvFailed && FRetries < FOptions.Retries) {
      ++FRetries;
      NextUnit();
      if (FIo.Err)
        FIo.Err("qvline: retrying the unit (" + std::to_string(FRetries) + " of " + std::to_string(FOptions.Retries) +
                ")\n");
      continue;
    }
    break;
  }
  ClearBar();
  if (FOptions.Json) {
    TSummary summary;
    summary.Time = records::UtcNow();
    summary.Station = StationName();
    summary.Units = FUnitsEnded;
    summary.Tuned = FUnitsTuned;
    summary.Failed = FUnitsFailed;
    summary.FailedBy = FFailedBy;
    summary.DurationS = std::chrono::duration<double>(FClock.Now() - FRunStart).count();
    const TJson object = SummaryObject(summary);
    if (FOptions.LineMember)
      Emit(Event(ekJson, object.dump()));
    else if (FIo.Out)
      FIo.Out(JsonLine(object));
  }
  if (FCancelled) return ecAborted;
  if (!FUnitEnded || FLastVerdict != uvCompleted || FRestoreFailed) return ecUnitFailed;
  return ecSuccess;
}

void TLineRunner::Drive() {
  FPrompt.reset();
  auto* worker = new TSerThread(true, *this, FClock);
  Worker = worker;
  const std::shared_ptr<TThreadCompletion> end = worker->Completion();
  if (PrepareWorker) PrepareWorker(*worker);
  worker->Resume();
  while (Worker != nullptr && !end->Finished()) {
    AwaitWake(200);
    SyncQueue->CheckSynchronize();
    if (FCancelRequested.load() && Worker != nullptr && !FCancelled) {
      FCancelled = true;
      if (FIo.Err) FIo.Err("qvline: cancelled; the run is brought to its end\n");
      // Carries out the worker's calls until it has ended; further signals
      // only wake a pipe nobody reads any more.
      StopWorker(*this);
      break;
    }
    if (FPrompt && Worker != nullptr) AnswerPrompt();
  }
  end->WaitFor();
  Worker = nullptr;
  if (const std::exception_ptr fatal = end->FatalException()) {
    FLastVerdict = uvFailed;
    FUnitEnded = true;
    try {
      std::rethrow_exception(fatal);
    } catch (const std::exception& e) {
      Fail(std::string("the worker stopped: ") + e.what());
    } catch (...) {
      Fail("the worker stopped");
    }
  }
}

// The policy: Ok at once; after a unit the next one until --units are
// tuned; a failed unit retried at most --retries times.
void TLineRunner::AnswerPrompt() {
  const TPrompt prompt = *FPrompt;
  FPrompt.reset();
  TAnswer answer;
  switch (prompt.Kind) {
    case pkConnect:
      answer = anOk;
      break;
    case pkNextUnit:
    case pkNextAttempt:
      // A unit outside a limit completed, yet counts as failed.
      if (prompt.Kind == pkNextUnit && !FOutsideLimit) {
        answer = FUnitsTuned < FOptions.Units ? anYes : anNo;
      } else {
        answer = FRetries < FOptions.Retries ? anYes : anNo;
        if (answer == anYes) ++FRetries;
      }
      break;
    default:
      return;
  }
  const char* const name = answer == anOk ? "Ok" : answer == anYes ? "Yes" : "No";
  if (FIo.Err) FIo.Err("qvline: " + OneLine(prompt.Text) + " -> " + name + "\n");
  if (answer == anYes) NextUnit();
  // No unit is tuned before it has been scanned.
  if (FOptions.ScanId && answer != anNo && !ReadScanId()) {
    if (FCancelRequested.load()) return;
    if (FIo.Err) FIo.Err("qvline: no identifier was scanned (the end of the input); no further unit is tuned\n");
    if (answer == anOk) {
      FCancelled = true;
      StopWorker(*this);
      return;
    }
    answer = anNo;
  }
  Answer(*this, answer);
}

void TLineRunner::LogAdded(const std::string& line, const char* step) {
  FStep = step;
  if (!FIo.Out) return;
  if (FOptions.LineMember) {
    TLineEvent e = Event(ekLog, line);
    e.Unit = FUnit;
    e.Time = records::UtcNow();
    e.Step = step;
    Emit(e);
    return;
  }
  const bool bar = FBarShown;
  if (bar) ClearBar();
  if (FOptions.Json) {
    FIo.Out(JsonLine(LogObject(records::UtcNow(), StationName(), FUnit, step, line)));
  } else {
    FIo.Out(PlainLine(line) + "\n");
  }
  if (bar) {
    FBarShown = true;
    DrawBar();
  }
}

void TLineRunner::PromptShown(const TPrompt& prompt) {
  if (prompt.Kind == pkEnd) return;
  // A prompt's text stands in the place of the bar.
  ClearBar();
  // The prompts speak for themselves when they are answered; the waits are
  // told as they begin.
  if (IsWait(prompt.Kind)) {
    if (FOptions.LineMember) Emit(Event(ekWait, OneLine(prompt.Text)));
    if (FIo.Err) FIo.Err("qvline: " + OneLine(prompt.Text) + "\n");
    return;
  }
  FPrompt = prompt;
}

void TLineRunner::PromptEnded(TPromptKind) {
  if (FOptions.LineMember) Emit(Event(ekWait));
}

void TLineRunner::ProgressShown() {
  if (FOptions.LineMember) EmitProgress(0);
  FBarPosition = 0;
  FBarShown = true;
  DrawBar();
}

void TLineRunner::ProgressChanged(const TProgress& progress) {
  if (FOptions.LineMember) EmitProgress(progress.Percent);
  FBarPosition = progress.Percent;
  if (FBarShown) DrawBar();
}

void TLineRunner::ProgressHidden() {
  if (FOptions.LineMember) EmitProgress(-1);
  ClearBar();
}

void TLineRunner::DrawBar() {
  if (!FIo.Bar || !FOptions.Progress) return;
  const int filled = FBarPosition * kBarWidth / 100;
  std::string bar = "\r[";
  bar.append(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBarWidth - filled), ' ');
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(FClock.Now() - FUnitStart).count();
  char time[24];
  std::snprintf(time, sizeof time, " %lld:%02lld", static_cast<long long>(secs / 60), static_cast<long long>(secs % 60));
  bar += "] " + std::to_string(FBarPosition) + "% " + FStep + time;
  // What a longer bar before left on the line goes.
  const size_t length = bar.size();
  if (length < FBarLength) bar += std::string(FBarLength - length, ' ');
  FBarLength = length;
  FIo.Bar(bar);
}

void TLineRunner::ClearBar() {
  if (FBarShown && FIo.Bar && FOptions.Progress) FIo.Bar("\r" + std::string(FBarLength, ' ') + "\r");
  FBarShown = false;
  FBarLength = 0;
}

void TLineRunner::UnitEnded(const TUnitResult& result) {
  const std::vector<trace::TLimitVerdict> verdicts = FLimits.Check(result);
  const trace::TLimitVerdict* outside = trace::FirstFailed(verdicts);
  records::TUnitExtras extras;
  extras.ScanId = FScanId;
  if (!verdicts.empty()) extras.Limits = trace::LimitsJson(verdicts).dump();
  if (outside != nullptr) {
    extras.FailedLimit = trace::OutsideLimit(*outside);
    if (FIo.Err) FIo.Err("qvline: unit " + std::to_string(FUnit) + " is " + extras.FailedLimit + ": " +
                         trace::Describe(*outside) + "\n");
  }
  const TUnitVerdict verdict = outside != nullptr ? uvFailed : result.Verdict;
  const std::string message = outside != nullptr ? extras.FailedLimit : result.Message;
  const std::string outcome = verdict == uvCompleted ? (result.AnalysisOnly ? "analysis" : "success")
                              : verdict == uvFailed  ? "failed"
                                                     : "aborted";
  ++FUnitsEnded;
  if (verdict == uvFailed) {
    ++FUnitsFailed;
    ++FFailedBy[message.empty() ? std::string("failed") : message];
  }
  if (FOptions.Json) {
    TResultContext c;
    c.Time = records::UtcNow();
    c.Station = StationName();
    c.Operator = FOptions.Operator;
    c.ScanId = FScanId;
    c.Unit = FUnit;
    c.Limits = verdicts;
    c.Outcome = outcome;
    c.Message = message;
    c.DurationS = std::chrono::duration<double>(FClock.Now() - FUnitStart).count();
    const TJson object = ResultObject(result, c);
    if (FOptions.LineMember)
      Emit(Event(ekJson, object.dump()));
    else if (FIo.Out)
      FIo.Out(JsonLine(object));
  }
  if (FOptions.LineMember) {
    TLineEvent e = Event(ekResult, message);
    e.Unit = FUnit;
    e.Verdict = verdict == uvCompleted ? "completed" : verdict == uvFailed ? "failed" : "aborted";
    e.Stored = result.Facts.Stored;
    Emit(e);
  }
  FLastVerdict = verdict;
  FOutsideLimit = outside != nullptr;
  FUnitEnded = true;
  if (verdict == uvCompleted) {
    ++FUnitsTuned;
    FRetries = 0;
  }
  if (OnUnitEnded) OnUnitEnded(result, extras);
}

void TLineRunner::AirWanted() {
  if (!FOptions.LineMember || FOptions.SeparateChannels) return;
  if (FAirFd < 0) {
    // Without waiting, and only a regular file: the lock must never hold a
    // station up by itself.
    const std::string path = ProgramDir + "qvtune.air";
    FAirFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat st {};
    if (FAirFd >= 0 && (::fstat(FAirFd, &st) != 0 || !S_ISREG(st.st_mode))) {
      ::close(FAirFd);
      FAirFd = -1;
    }
    if (FAirFd < 0) {
      if (FIo.Err) FIo.Err("qvline: the stations cannot take turns on the radio channel (" + path + ")\n");
      FOptions.SeparateChannels = true;
      return;
    }
  }
  bool waiting = false;
  while (::flock(FAirFd, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || FCancelRequested.load()) return;
    if (!waiting) Emit(Event(ekWait, "the radio channel"));
    waiting = true;
    FClock.Sleep(kAirPollMs);
    // The clock of the in-process bench moves without waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  FAirHeld = true;
  if (waiting) Emit(Event(ekWait));
}

void TLineRunner::AirDone() {
  if (!FAirHeld) return;
  ::flock(FAirFd, LOCK_UN);
  FAirHeld = false;
}

void TLineRunner::PortAccessDenied(const std::string& port, const std::string& reason) {
  if (std::find(FRefusedPorts.begin(), FRefusedPorts.end(), port) != FRefusedPorts.end()) return;
  FRefusedPorts.push_back(port);
  if (FIo.Err) FIo.Err("qvline: " + PortAccessHint(port, reason) + "\n");
}

void TLineRunner::RestoreEnded(TUnitVerdict verdict) {
  FRestoreFailed = verdict == uvFailed;
}

namespace {

// A line of stations: every station checked as a qvline of its own would
// check itself before anything starts, then all of them run.
int RunStations(TLineOptions options, const std::vector<std::string>& args, const TLineIo& io,
                const std::string& programDir, TClock& clock, const TLineHooks& hooks) {
  std::string error;
  if (!options.StationsFile.empty() && !ReadStationsFile(options.StationsFile, options.Stations, error)) {
    if (io.Err) io.Err("qvline: " + error + "\n");
    return ecBadUsage;
  }
  error = CheckStations(options.Stations);
  if (!error.empty()) {
    if (io.Err) io.Err("qvline: " + error + "\n");
    return ecBadUsage;
  }
  for (const TStationSpec& station : options.Stations) {
    TLineOptions own;
    ParseLineOptions(TLine::StationArgs(args, station), own, error);
    TLineIo quiet;
    quiet.Err = [&](const std::string& text) {
      if (io.Err) io.Err("qvline: [" + station.Name + "] " + text.substr(text.rfind("qvline: ", 0) == 0 ? 8 : 0));
    };
    TLineRunner check(own, quiet, clock);
    if (!check.Prepare(programDir)) return ecBadUsage;
  }
  TLine line(options, args, io, hooks.Launcher ? hooks.Launcher : ChildProcesses("/proc/self/exe"));
  if (hooks.Line) hooks.Line(line);
  return line.Run();
}

}  // namespace

int RunLine(const std::vector<std::string>& args, const TLineIo& io, const std::string& programDir, TClock& clock,
            const TLineHooks& hooks) {
  TLineOptions options;
  std::string error;
  if (!ParseLineOptions(args, options, error)) {
    if (io.Err) io.Err("qvline: " + error + " (qvline --help lists the options)\n");
    return ecBadUsage;
  }
  if (options.Help) {
    if (io.Out) io.Out(LineUsage());
    return ecSuccess;
  }
  if (options.Version) {
    if (io.Out) io.Out("qvline " + LineVersion() + "\n");
    return ecSuccess;
  }
  if (!options.Stations.empty() || !options.StationsFile.empty())
    return RunStations(options, args, io, programDir, clock, hooks);
  if (options.LineMember && options.Station.empty()) {
    if (io.Err) io.Err("qvline: --line-member needs --station NAME\n");
    return ecBadUsage;
  }
  // The records' writer reports from its own thread; as a station of a
  // line, its messages go to the line among the events, on one stream.
  auto ioMutex = std::make_shared<std::mutex>();
  TLineIo lineIo = io;
  if (io.Err && options.LineMember && io.Out)
    lineIo.Err = [ioMutex, out = io.Out](const std::string& text) {
      std::lock_guard<std::mutex> lock(*ioMutex);
      out(EncodeEvent(Event(ekSay, text)) + "\n");
    };
  else if (io.Err)
    lineIo.Err = [ioMutex, err = io.Err](const std::string& text) {
      std::lock_guard<std::mutex> lock(*ioMutex);
      err(text);
    };
  if (io.Out && options.LineMember)
    lineIo.Out = [ioMutex, out = io.Out](const std::string& text) {
      std::lock_guard<std::mutex> lock(*ioMutex);
      out(text);
    };
  TLineRunner runner(options, lineIo, clock);
  if (!runner.Prepare(programDir)) return ecBadUsage;

  std::unique_ptr<records::TRecordWriter> writer;
  if (!options.NoRecords) {
    std::string conninfo = options.RecordsUrl;
    if (conninfo.empty() && options.RecordsPath.empty())
      conninfo = records::ReadConninfoFile(runner.ProgramDir + "qvtune.records.conf");
    const std::string file = options.RecordsPath.empty() ? runner.ProgramDir + "qvtune.records" : options.RecordsPath;
    std::unique_ptr<records::TRecordStore> store =
        conninfo.empty() ? records::SqliteStore(file) : records::PostgresStore(conninfo);
    // A station of a line spools on its own: the writers of two stations
    // must never empty one another's spool.
    const std::string spool = options.LineMember ? file + "." + options.Station + ".spool" : file + ".spool";
    writer = std::make_unique<records::TRecordWriter>(std::move(store), spool, [lineIo](const std::string& line) {
      if (lineIo.Err) lineIo.Err("qvline: " + line + "\n");
    });
    const records::TRecordSource source{options.Station.empty() ? records::HostName() : options.Station,
                                        "qvline " + LineVersion(), options.Operator};
    runner.OnUnitEnded = [&writer, source](const TUnitResult& result, const records::TUnitExtras& extras) {
      writer->Submit(records::RecordOfUnit(result, source, extras));
    };
  }
  if (hooks.Runner) hooks.Runner(runner);
  const int code = runner.Run();
  if (hooks.RunnerEnded) hooks.RunnerEnded();
  // Every record is written or spooled before the program ends.
  writer.reset();
  return code;
}

}  // namespace qv::line
