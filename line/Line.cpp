#include "line/Line.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "line/Json.h"
#include "records/Text.h"

namespace qv::line {

namespace {

using Clock = std::chrono::steady_clock;

// The board is redrawn at most this often: progress comes a percent at a
// time from every station.
constexpr auto kBoardPeriod = std::chrono::milliseconds(200);
constexpr int kBoardBarWidth = 20;

void NonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// The pane's line breaks (CR LF or a lone CR) as the terminal's, each
// further line indented under the station's name.
std::string Prefixed(const std::string& prefix, const std::string& text) {
  std::string line = prefix;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      line += '\n' + std::string(prefix.size(), ' ');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += text[i];
    }
  }
  return line + "\n";
}

class TChildProcess final : public TStationProcess {
 public:
  TChildProcess(pid_t pid, int events, int other) : FPid(pid), FEvents(events), FOther(other) {}
  ~TChildProcess() override {
    for (int fd : {FEvents, FOther})
      if (fd >= 0) ::close(fd);
    if (!FReaped) {
      ::kill(FPid, SIGTERM);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  int EventsFd() const override { return FEvents; }
  int OtherFd() const override { return FOther; }
  void Cancel() override {
    if (!FReaped) ::kill(FPid, SIGTERM);
  }
  int Wait(std::string& how) override {
    int status = 0;
    while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
    }
    FReaped = true;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) {
      how = std::string("its qvline was ended by signal ") + std::to_string(WTERMSIG(status)) + " (" +
            ::strsignal(WTERMSIG(status)) + ")";
      return ecStationLost;
    }
    how = "its qvline ended in an unknown way";
    return ecStationLost;
  }

 private:
  pid_t FPid;
  int FEvents;
  int FOther;
  bool FReaped = false;
};

}  // namespace

TStationLauncher ChildProcesses(const std::string& path) {
  return [path](const std::vector<std::string>& args, std::string& error) -> std::unique_ptr<TStationProcess> {
    int out[2], err[2];
    if (::pipe(out) != 0) {
      error = std::string("no pipe for a station: ") + std::strerror(errno);
      return nullptr;
    }
    if (::pipe(err) != 0) {
      error = std::string("no pipe for a station: ") + std::strerror(errno);
      ::close(out[0]);
      ::close(out[1]);
      return nullptr;
    }
    std::vector<std::string> argv{"qvline"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
      // A station whose line is gone cancels itself, so that its server
      // is still restored and its transcript written.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(ecAborted);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
      ::execv(path.c_str(), raw.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
      error = std::string("cannot start a station: ") + std::strerror(errno);
      ::close(out[0]);
      ::close(err[0]);
      return nullptr;
    }
    NonBlocking(out[0]);
    NonBlocking(err[0]);
    return std::make_unique<TChildProcess>(pid, out[0], err[0]);
  };
}

struct TLine::TStation {
  TStationSpec Spec;
  std::unique_ptr<TStationProcess> Process;
  std::string EventsBuf, OtherBuf;
  bool EventsOpen = true, OtherOpen = true;
  bool Ended = false;
  int Code = 0;
  std::string How;

  int Unit = 0;
  Clock::time_point UnitStart = Clock::now();
  std::string Step;
  std::string Wait;
  int Progress = -1;
  std::string Last;
  int Tuned = 0, Failed = 0;
};

TLine::TLine(TLineOptions options, std::vector<std::string> args, TLineIo io, TStationLauncher launcher)
    : FOptions(std::move(options)), FArgs(std::move(args)), FIo(std::move(io)), FLauncher(std::move(launcher)) {
  if (::pipe(FWake) == 0)
    for (int fd : FWake) NonBlocking(fd);
}

TLine::~TLine() {
  for (int fd : FWake)
    if (fd >= 0) ::close(fd);
}

std::vector<std::string> TLine::StationArgs(const std::vector<std::string>& lineArgs, const TStationSpec& station) {
  std::vector<std::string> args;
  for (size_t i = 0; i < lineArgs.size(); ++i) {
    const std::string& a = lineArgs[i];
    if (a == "--stations" || (a == "--station" && i + 1 < lineArgs.size())) {
      ++i;
      continue;
    }
    if (a.rfind("--stations=", 0) == 0 || a.rfind("--station=", 0) == 0) continue;
    args.push_back(a);
  }
  args.insert(args.end(), {"--station", station.Name, "--dongle-port", station.DonglePort, "--server-port",
                           station.ServerPort, "--no-progress", "--line-member"});
  args.insert(args.end(), station.Options.begin(), station.Options.end());
  return args;
}

void TLine::RequestCancel() {
  FCancelRequested.store(true);
  const char c = 1;
  (void)!::write(FWake[1], &c, 1);
}

void TLine::Out(const std::string& text) {
  if (!FIo.Out) return;
  ClearBoard();
  FIo.Out(text);
}

void TLine::Err(const std::string& text) {
  if (!FIo.Err) return;
  ClearBoard();
  FIo.Err(text);
}

std::string TLine::BoardLine(const TStation& s) const {
  std::string line = s.Spec.Name;
  line.resize(std::max<size_t>(line.size() + 1, 12), ' ');
  if (s.Ended) {
    line += "ended (exit " + std::to_string(s.Code) + "): " + std::to_string(s.Tuned) + " tuned, " +
            std::to_string(s.Failed) + " failed";
    if (!s.How.empty()) line += "; " + s.How;
    return line;
  }
  line += "unit " + std::to_string(std::max(1, s.Unit));
  line.resize(std::max<size_t>(line.size() + 1, 21), ' ');
  std::string doing = s.Wait.empty() ? s.Step : "waiting: " + s.Wait;
  if (doing.size() > 28) doing = doing.substr(0, 25) + "...";
  doing.resize(29, ' ');
  line += doing;
  if (s.Progress >= 0) {
    const int filled = s.Progress * kBoardBarWidth / 100;
    line += "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(kBoardBarWidth - filled), ' ') +
            "] " + std::string(s.Progress < 10 ? 2 : s.Progress < 100 ? 1 : 0, ' ') + std::to_string(s.Progress) + "%";
  } else {
    line += std::string(kBoardBarWidth + 7, ' ');
  }
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - s.UnitStart).count();
  char time[16];
  std::snprintf(time, sizeof time, " %3lld:%02lld", static_cast<long long>(secs / 60), static_cast<long long>(secs % 60));
  line += time;
  if (!s.Last.empty()) line += "  last: " + s.Last;
  return line;
}

void TLine::ClearBoard() {
  if (FBoardLines == 0 || !FIo.Bar) return;
  // Up to the board's first line, and everything below it away.
  FIo.Bar("\r\x1b[" + std::to_string(FBoardLines) + "A\x1b[J");
  FBoardLines = 0;
  FBoardDirty = true;
}

void TLine::DrawBoard() {
  if (!FIo.Bar || !FOptions.Progress) return;
  std::string text;
  if (FBoardLines > 0) text = "\r\x1b[" + std::to_string(FBoardLines) + "A";
  for (const auto& s : FStations) text += "\x1b[2K" + BoardLine(*s) + "\n";
  FIo.Bar(text);
  FBoardLines = FStations.size();
  FBoardDirty = false;
}

void TLine::Take(TStation& s, const TLineEvent& e) {
  switch (e.Kind) {
    case ekUnit:
      s.Unit = e.Unit;
      s.UnitStart = Clock::now();
      s.Progress = -1;
      s.Wait.clear();
      break;
    case ekLog:
      s.Step = e.Step;
      if (FOptions.Json)
        Out(JsonLine(LogObject(e.Time, s.Spec.Name, e.Unit, e.Step, e.Text)));
      else
        Out(Prefixed("[" + s.Spec.Name + "] ", e.Text));
      break;
    case ekWait:
      s.Wait = e.Text;
      break;
    case ekProgress:
      s.Progress = e.Percent;
      break;
    case ekResult:
      if (e.Verdict == "completed") {
        ++s.Tuned;
        s.Last = "unit " + std::to_string(e.Unit) + " tuned" + (e.Stored ? ", stored " + std::to_string(*e.Stored) : "");
      } else {
        if (e.Verdict == "failed") ++s.Failed;
        s.Last = "unit " + std::to_string(e.Unit) + " " + e.Verdict + (e.Text.empty() ? "" : ": " + e.Text);
      }
      break;
    case ekJson:
      if (FOptions.Json) Out(e.Text + "\n");
      break;
    case ekSay: {
      std::string text = e.Text;
      if (text.rfind("qvline: ", 0) == 0) text.erase(0, 8);
      while (!text.empty() && text.back() == '\n') text.pop_back();
      Err("qvline: [" + s.Spec.Name + "] " + text + "\n");
      break;
    }
  }
  FBoardDirty = true;
}

void TLine::Other(TStation& s, const std::string& line) {
  Err("qvline: [" + s.Spec.Name + "] " + line + "\n");
}

int TLine::Run() {
  for (const TStationSpec& spec : FOptions.Stations) {
    auto s = std::make_unique<TStation>();
    s->Spec = spec;
    std::string error;
    s->Process = FLauncher(StationArgs(FArgs, spec), error);
    if (!s->Process) {
      s->Ended = true;
      s->Code = ecStationLost;
      s->How = error;
      s->EventsOpen = s->OtherOpen = false;
      Err("qvline: [" + spec.Name + "] " + error + "\n");
    }
    FStations.push_back(std::move(s));
  }
  DrawBoard();
  auto drawn = Clock::now();

  for (;;) {
    std::vector<pollfd> fds{{FWake[0], POLLIN, 0}};
    std::vector<std::pair<TStation*, bool>> owners{{nullptr, false}};
    for (auto& s : FStations) {
      if (s->EventsOpen) {
        fds.push_back({s->Process->EventsFd(), POLLIN, 0});
        owners.emplace_back(s.get(), true);
      }
      if (s->OtherOpen && s->Process->OtherFd() >= 0) {
        fds.push_back({s->Process->OtherFd(), POLLIN, 0});
        owners.emplace_back(s.get(), false);
      }
    }
    if (fds.size() == 1) break;
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(kBoardPeriod.count()));
    if (ready < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) {
      char buf[64];
      while (::read(FWake[0], buf, sizeof buf) > 0) {
      }
    }
    if (FCancelRequested.load() && !FCancelled) {
      FCancelled = true;
      Err("qvline: cancelled; every station is brought to its end\n");
      for (auto& s : FStations)
        if (s->Process) s->Process->Cancel();
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      TStation& s = *owners[i].first;
      const bool events = owners[i].second;
      std::string& buf = events ? s.EventsBuf : s.OtherBuf;
      char chunk[65536];
      ssize_t n;
      while ((n = ::read(fds[i].fd, chunk, sizeof chunk)) > 0) buf.append(chunk, static_cast<size_t>(n));
      const bool closed = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
      size_t start = 0;
      for (size_t nl; (nl = buf.find('\n', start)) != std::string::npos; start = nl + 1) {
        const std::string line = buf.substr(start, nl - start);
        TLineEvent e;
        if (events && DecodeEvent(line, e))
          Take(s, e);
        else
          Other(s, line);
      }
      buf.erase(0, start);
      if (closed) {
        if (!buf.empty()) Other(s, buf);
        buf.clear();
        (events ? s.EventsOpen : s.OtherOpen) = false;
      }
      if (!s.EventsOpen && !s.OtherOpen && !s.Ended) {
        s.Code = s.Process->Wait(s.How);
        s.Ended = true;
        s.Wait.clear();
        s.Progress = -1;
        if (!s.How.empty()) Err("qvline: [" + s.Spec.Name + "] " + s.How + "\n");
        FBoardDirty = true;
      }
    }
    if (FBoardDirty && Clock::now() - drawn >= kBoardPeriod) {
      DrawBoard();
      drawn = Clock::now();
    }
  }
  DrawBoard();

  // The line's verdict: a lost station first, then one that could not
  // start, then a cancel, then a failed unit.
  for (const auto& s : FStations)
    if (s->Code < ecSuccess || s->Code > ecStationLost) {
      s->How = "its qvline could not run (exit " + std::to_string(s->Code) + ")";
      s->Code = ecStationLost;
    }
  int code = ecSuccess;
  for (int worst : {ecStationLost, ecBadUsage, ecAborted, ecUnitFailed})
    for (const auto& s : FStations)
      if (code == ecSuccess && s->Code == worst) code = worst;
  if (!FIo.Bar || !FOptions.Progress)
    for (const auto& s : FStations)
      Err("qvline: [" + s->Spec.Name + "] ended (exit " + std::to_string(s->Code) + "): " + std::to_string(s->Tuned) +
          " tuned, " + std::to_string(s->Failed) + " failed\n");
  return code;
}

}  // namespace qv::line
