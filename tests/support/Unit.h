// A unit on the device bench for tests of the worker's steps: the default
// bench (a dongle with its handheld on COM3, a server on COM4, in virtual
// time), the bench's standard firmware as files beside a program folder and
// in the window's file combos, the two port components, and a worker
// created suspended, whose steps the test thread calls directly (it is the
// window's thread as well).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/Firmware.h"
#include "procedure/SerThread.h"
#include "serial/ComPort.h"
#include "tests/support/Bench.h"
#include "tests/support/TestWindow.h"

namespace qv::test {

// The standard firmware set as files in the window's program folder, and
// the three file combos naming them.
void WriteStandardFirmware(const bench::TFirmwareSet& set, TTestWindow& window);
// The start of a unit, as the driver runs it: the firmware read, the ports
// detected, the server and the handheld initialised, the firmware decoded.
// False when it fails (the transcript tells why).
bool ConnectUnit(TSerThread& worker);

class TUnitBench {
 public:
  TUnitBench();
  ~TUnitBench();

  // Declared first, so that it goes last: the ports run on its clock.
  TBench Bench;
  TComPort PortA{nullptr};
  TComPort PortB{nullptr};
  TTestWindow Window;
  std::unique_ptr<TSerThread> Worker;

  // The standard firmware set, and the files in the program folder.
  const bench::TFirmwareSet Set;
  std::string File(const std::string& name) const { return Window.ProgramDir + name; }
  // Replaces a firmware file.
  void WriteFile(const std::string& name, const std::string& bytes) const;

  // A fresh worker (suspended, on the bench clock); the old one goes.
  TSerThread& NewWorker();
  // The start of a unit, as the driver runs it: the firmware read, the
  // ports detected, the server and the handheld initialised, the firmware
  // decoded. False when it fails (the transcript tells why).
  bool Connect();

  // The message lines of the transcript, in order.
  std::vector<std::string> Messages() const;
  // Messages from index `from` on.
  std::vector<std::string> MessagesFrom(size_t from) const;

  bench::TTime Now() { return Bench.Now(); }

  // ---- whole runs: the worker on its own thread, the test thread as the
  // window's thread, and an operator thread answering the prompts ----
  enum TAnswer { aOk, aYes, aNo, aCancel };
  struct TAction {
    TAction(TAnswer answer, std::string afterLine = {}) : Answer(answer), AfterLine(std::move(afterLine)) {}
    TAnswer Answer;
    // Cancel only: wait for this log pane line first (empty: the next prompt).
    std::string AfterLine;
  };
  // Runs Start to the end. Every prompt takes the next action; after the
  // last action prompts are answered No. False, with the reason in
  // RunError, when an action's moment never came or the run did not end in
  // time (it is then cancelled). The window's log pane is in
  // Window.Screen().LogMemo and the transcript in the error log file
  // (ErrorLog()).
  bool Run(const std::vector<TAction>& actions);
  std::string RunError;
  // Repeats wait(limit) while it fails and the bench clock moved meanwhile;
  // false once the clock stood still for a whole wait or ran past its
  // limit.
  bool WhileBenchMoves(const std::function<bool(std::chrono::milliseconds)>& wait);
  std::string ErrorLog() const;
};

}  // namespace qv::test
