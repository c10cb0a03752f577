// qvline: the fine-tuning procedure without a window, for a test station's
// script. See qvline --help.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "line/Line.h"
#include "line/LineRunner.h"
#include "serial/PortMap.h"

namespace {

qv::line::TLineRunner* gRunner = nullptr;
qv::line::TLine* gLine = nullptr;

void OnSignal(int) {
  if (gRunner != nullptr) gRunner->RequestCancel();
  if (gLine != nullptr) gLine->RequestCancel();
}

void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void Write(std::FILE* stream, const std::string& text) {
  // A reader that went away must not stop the run: the transcript and the
  // records still matter.
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  qv::line::TLineIo io;
  io.Out = [](const std::string& text) { Write(stdout, text); };
  io.Err = [](const std::string& text) { Write(stderr, text); };
  if (::isatty(STDERR_FILENO)) io.Bar = [](const std::string& text) { Write(stderr, text); };
  // The handlers stay in place to the end: a late signal must not kill the
  // program on its way out.
  qv::line::TLineHooks hooks;
  hooks.Runner = [](qv::line::TLineRunner& runner) {
    gRunner = &runner;
    CatchSignals();
  };
  hooks.Line = [](qv::line::TLine& line) {
    gLine = &line;
    CatchSignals();
  };
  return qv::line::RunLine(std::vector<std::string>(argv + 1, argv + argc), io, qv::ProgramDir(), qv::RealClock(),
                           hooks);
}
