// A station for qvline's runner on the in-process bench (tests/support/Unit.h):
// the bench's firmware beside a settings file, and the runner's output.
#pragma once

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "settings/SettingsFile.h"
#include "line/LineRunner.h"
#include "tests/support/Unit.h"

namespace qv::test {

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A station on the in-process bench: the bench's firmware beside a settings
// file that names it, as the window leaves it.
struct TStation {
  explicit TStation(const std::string& choices = "S") {
    TSettings s;
    s.Choices = ParseSettings({"", "", "", "", choices}).Choices;
    s.Histories = {std::vector<std::string>{U.File("qvmodem.qpf")}, std::vector<std::string>{U.File("qvhandheld.qpf")},
                   std::vector<std::string>{U.File("qvserver.hex")}};
    WriteSettingsLines(Ini(), FormatSettings(s));
  }
  std::string Ini() const { return U.Window.IniPath; }

  // qvline with these options after --settings, on this thread; onLine sees
  // every log line as it is written.
  // prepare, when set, gets each run's worker before it starts.
  int Run(std::vector<std::string> args, std::function<void(line::TLineRunner&, const std::string&)> onLine = nullptr,
          std::function<void(TSerThread&)> prepare = nullptr) {
    args.insert(args.begin(), {"--settings", Ini()});
    if (std::find(args.begin(), args.end(), "--records") == args.end() &&
        std::find(args.begin(), args.end(), "--records-url") == args.end())
      args.insert(args.begin(), "--no-records");
    line::TLineRunner* runner = nullptr;
    line::TLineIo io;
    io.Out = [&](const std::string& text) {
      Out += text;
      if (onLine && runner != nullptr) onLine(*runner, text.substr(0, text.size() - 1));
    };
    io.Err = [&](const std::string& text) { Err += text; };
    io.InFd = InFd;
    line::TLineHooks hooks;
    hooks.Runner = [&](line::TLineRunner& r) {
      runner = &r;
      r.PrepareWorker = prepare;
    };
    return line::RunLine(args, io, U.Window.ProgramDir, U.Bench.Clock, hooks);
  }

  TUnitBench U;
  // Where --scan-id reads.
  int InFd = 0;
  std::string Out;
  std::string Err;
};

// What sha256sum says of a file.
inline std::string Sha256sum(const std::string& path) {
  std::string out;
  if (std::FILE* p = ::popen(("sha256sum '" + path + "'").c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
    ::pclose(p);
  }
  return out.substr(0, 64);
}

}  // namespace qv::test
