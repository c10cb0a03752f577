#include "tests/support/Unit.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <fstream>
#include <iterator>
#include <thread>


namespace qv::test {

namespace {

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

void WriteStandardFirmware(const bench::TFirmwareSet& set, TTestWindow& window) {
  std::vector<bench::THandheldImage> modem, handheld, test;
  for (uint8_t hw : set.Hws) {
    modem.push_back(bench::MakeModemImage(hw, set.ModemVersion));
    handheld.push_back(bench::MakeHandheldFirmware(hw, set.HandheldVersion));
    test.push_back(bench::MakeHandheldTestFirmware(hw));
  }
  const std::string& dir = window.ProgramDir;
  Write(dir + "qvftune.qpf", bench::WriteQpf(test));
  Write(dir + "srvftune.sff", bench::WriteSff(bench::MakeServerTestFirmware(set.ServerTestIdentity)));
  Write(dir + "qvmodem.qpf", bench::WriteQpf(modem));
  Write(dir + "qvhandheld.qpf", bench::WriteQpf(handheld));
  Write(dir + "qvserver.hex", bench::WriteHex(bench::MakeServerFirmware(set.ServerX, set.ServerY)));
  window.Combos[ciFile1].Text = dir + "qvmodem.qpf";
  window.Combos[ciFile2].Text = dir + "qvhandheld.qpf";
  window.Combos[ciFile3].Text = dir + "qvserver.hex";
}

bool ConnectUnit(TSerThread& w) {
  w.ReadFirmwareFiles();
  w.DetectPorts();
  w.InitDevice(*w.Main.Ports.SerIF2, false);
  w.InitDevice(*w.Main.Ports.SerIF1, true);
  w.DecodeFirmware();
  return w.Outcome == ocNone && w.LinkOk;
}

TUnitBench::TUnitBench() {
  Bench.Attach(PortA, 0);
  Bench.Attach(PortB, 1);
  Window.Ports = {&PortA, &PortB};
  for (TComboId id : {ciCOM1, ciCOM2}) {
    Window.Combos[id].Items = Bench.ComboItems();
    Window.Combos[id].ItemIndex = 0;
    Window.Combos[id].Text = Window.Combos[id].Items[0];
  }
  Window.ProgramDir = Bench.Dir() + "/";
  Window.IniPath = Window.ProgramDir + "qvtune.INI";

  WriteStandardFirmware(Set, Window);
  NewWorker();
}

TUnitBench::~TUnitBench() {
  Worker.reset();
  for (TComPort* port : {&PortA, &PortB}) {
    try {
      if (port->Active()) port->Close();
    } catch (...) {
    }
  }
}

void TUnitBench::WriteFile(const std::string& name, const std::string& bytes) const {
  Write(File(name), bytes);
}

TSerThread& TUnitBench::NewWorker() {
  Worker = std::make_unique<TSerThread>(true, Window, Bench.Clock);
  return *Worker;
}

bool TUnitBench::Connect() {
  return ConnectUnit(*Worker);
}

std::vector<std::string> TUnitBench::Messages() const {
  std::vector<std::string> lines;
  const std::string& log = Worker->LogText;
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find('\r', at);
    if (end == std::string::npos) end = log.size();
    if (end > at && log[at] == '>') lines.push_back(log.substr(at + 1, end - at - 1));
    at = end + 1;
  }
  return lines;
}

std::vector<std::string> TUnitBench::MessagesFrom(size_t from) const {
  std::vector<std::string> all = Messages();
  if (from >= all.size()) return {};
  return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
}

namespace {

// Wall-clock waits in whole runs are not limited by their length: a loaded
// machine under Wine ran a unit fifty times slower than an idle one. A run
// is stuck when the bench clock stands still this long (a live run moves it
// at every exchange), or when it runs past an hour of bench time.
constexpr std::chrono::milliseconds kStandStill{20000};
constexpr bench::TTime kBenchLimit = 3600LL * 1000 * 1000;

}  // namespace

bool TUnitBench::WhileBenchMoves(const std::function<bool(std::chrono::milliseconds)>& wait) {
  bench::TTime seen = Now();
  for (;;) {
    if (wait(kStandStill)) return true;
    const bench::TTime now = Now();
    if (now == seen || now > kBenchLimit) return false;
    seen = now;
  }
}

bool TUnitBench::Run(const std::vector<TAction>& actions) {
  RunError.clear();
  std::mutex errorMutex;
  const auto fail = [&](const std::string& why) {
    std::lock_guard<std::mutex> lock(errorMutex);
    if (RunError.empty()) RunError = why;
  };
  std::atomic<bool> ended{false};
  std::thread operatorHand([&] {
    for (const TAction& a : actions) {
      if (a.Answer == aCancel && !a.AfterLine.empty()) {
        const bool seen = WhileBenchMoves([&](std::chrono::milliseconds limit) {
          return Window.AwaitScreen(
              [&](const TScreen& s) {
                return ended || std::find(s.LogMemo.begin(), s.LogMemo.end(), a.AfterLine) != s.LogMemo.end();
              },
              limit);
        });
        if (!seen || ended) return fail("never logged: " + a.AfterLine);
        Window.ClickExit();
        continue;
      }
      // A prompt: the status text and the answer button shown.
      const bool prompted = WhileBenchMoves([&](std::chrono::milliseconds limit) {
        return Window.AwaitScreen([&](const TScreen& s) { return ended || (s.StatTxtVisible && s.StartButVisible); },
                                  limit);
      });
      if (!prompted || ended) return fail("no prompt came");
      // A click returns once the window's thread has taken it: the prompt
      // is gone then, so the next wait can only see a new one (waiting for
      // the prompt to go would miss a next prompt that came meanwhile).
      if (a.Answer == aOk || a.Answer == aYes)
        Window.ClickStart();
      else
        Window.ClickExit();
    }
    // Any further prompt is answered No.
    while (!ended) {
      if (Window.AwaitScreen(
              [&](const TScreen& s) { return ended || (s.StatTxtVisible && s.StartButVisible && s.ExitBut == "&No"); },
              std::chrono::milliseconds(200)) &&
          !ended)
        Window.ClickExit();
    }
  });
  const auto end = Window.StartRun(nullptr, Bench.Clock);
  bool finished = WhileBenchMoves([&](std::chrono::milliseconds limit) { return Window.Run(end, limit); });
  if (!finished) {
    const TScreen s = Window.Screen();
    fail(std::string(Now() > kBenchLimit ? "the run went past an hour of bench time"
                                         : "the run stood still (the bench clock did not move for 20 s)") +
         " (bench time " + std::to_string(Now() / 1000) + " ms, status text " +
         (s.StatTxtVisible ? "shown: " + s.StatTxt : std::string("hidden")) + ", buttons " + s.StartBut +
         (s.StartButVisible ? "" : " hidden") + " / " + s.ExitBut + ", last line: " +
         (s.LogMemo.empty() ? std::string() : s.LogMemo.back()) + ")");
    // As an operator would: Cancel.
    Window.DoExit();
    Window.Run(end);
  }
  ended = true;
  Window.Post([] {});  // wakes the operator's wait for the screen
  operatorHand.join();
  return finished && RunError.empty();
}

std::string TUnitBench::ErrorLog() const {
  std::ifstream in(Window.ProgramDir + "qvtune.ERR", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace qv::test
