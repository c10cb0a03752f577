// A unit on the device bench for tests of the worker's steps: the default
// bench (a dongle with its handheld on COM3, a server on COM4, in virtual
// time), the bench's standard firmware as files beside a program folder and
// in the window's file combos, the two port components, and a worker
// created suspended, whose steps the test thread calls directly (it is the
// window's thread as well).
#pragma once

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
  // decoded. False (with the transcript in the failure) when it fails.
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
  // Runs Start to the end. Every prompt takes the next action; a prompt
  // with no action left, or a run that does not end in time, fails the
  // test. The window's log pane is in Window.Screen().LogMemo and the
  // transcript in the error log file (ErrorLog()).
  bool Run(const std::vector<TAction>& actions);
  std::string ErrorLog() const;
};

}  // namespace qv::test
