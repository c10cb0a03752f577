// A line of stations from one qvline: each station is a qvline of its own,
// run as a child process, so that one station's failure, hang, lost port
// or crash never stops, slows or corrupts another (a crash takes only its
// own process; the worker and its ports, the port map, the records' writer
// and its spool are each station's). The line reads what every station
// tells it (line/Events.h), shows it (log lines prefixed with the station,
// JSON lines with a station field, a status board of one line a station on
// a terminal), passes a cancel on to every station, and sums the line up
// in its exit status.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "line/Events.h"
#include "line/LineRunner.h"
#include "line/Options.h"

namespace qv::line {

// One running station, as the line sees it.
class TStationProcess {
 public:
  virtual ~TStationProcess() = default;
  // Its events, one a line, until the end of the file.
  virtual int EventsFd() const = 0;
  // Whatever else it writes (a crash report, say), or -1.
  virtual int OtherFd() const = 0;
  // Cancel, as Ctrl+C would be for a qvline of its own.
  virtual void Cancel() = 0;
  // Once its events have ended: waits for its end and gives its exit code,
  // or ecStationLost with how it ended in how.
  virtual int Wait(std::string& how) = 0;
};

// Starts a station's qvline with these arguments. None, with the reason,
// when it cannot be started.
using TStationLauncher =
    std::function<std::unique_ptr<TStationProcess>(const std::vector<std::string>& args, std::string& error)>;

// Child processes of the program at path (this program: /proc/self/exe).
TStationLauncher ChildProcesses(const std::string& path);

class TLine {
 public:
  TLine(TLineOptions options, std::vector<std::string> args, TLineIo io, TStationLauncher launcher);
  ~TLine();
  TLine(const TLine&) = delete;
  TLine& operator=(const TLine&) = delete;

  // Runs every station to its end; the line's exit code.
  int Run();
  // Cancel every station. Async-signal-safe; once cancelled, further
  // requests change nothing.
  void RequestCancel();

  // The arguments a station's qvline is started with: the line's own, but
  // for its stations, then the station's name and ports, then its options.
  static std::vector<std::string> StationArgs(const std::vector<std::string>& lineArgs, const TStationSpec& station);

 private:
  struct TStation;
  void Take(TStation& s, const TLineEvent& e);
  void Other(TStation& s, const std::string& line);
  void Out(const std::string& text);
  void Err(const std::string& text);
  void ClearBoard();
  void DrawBoard();
  std::string BoardLine(const TStation& s) const;

  TLineOptions FOptions;
  std::vector<std::string> FArgs;
  TLineIo FIo;
  TStationLauncher FLauncher;
  std::vector<std::unique_ptr<TStation>> FStations;
  int FWake[2] = {-1, -1};
  std::atomic<bool> FCancelRequested{false};
  bool FCancelled = false;
  // Lines of the board on the terminal now.
  size_t FBoardLines = 0;
  bool FBoardDirty = false;
};

}  // namespace qv::line
