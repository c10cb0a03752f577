#include "tests/line/ThreadStations.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace qv::test {

namespace {

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

class TThreadStation final : public line::TStationProcess {
 public:
  TThreadStation(std::vector<std::string> args, const std::string& programDir,
                 const std::function<TClock&(const std::string&)>& clockOf,
                 const std::function<void(const std::string&, line::TLineHooks&)>& prepare) {
    if (::pipe(FOut) != 0 || ::pipe(FErr) != 0) return;
    for (int fd : {FOut[0], FErr[0]}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string name;
    for (size_t i = 0; i + 1 < args.size(); ++i)
      if (args[i] == "--station") name = args[i + 1];
    TClock& clock = clockOf(name);
    line::TLineHooks hooks;
    if (prepare) prepare(name, hooks);
    auto runnerHook = hooks.Runner;
    hooks.Runner = [this, runnerHook](line::TLineRunner& runner) {
      if (runnerHook) runnerHook(runner);
      std::lock_guard<std::mutex> lock(FMutex);
      FRunner = &runner;
      if (FCancel) runner.RequestCancel();
    };
    auto endedHook = hooks.RunnerEnded;
    hooks.RunnerEnded = [this, endedHook] {
      {
        std::lock_guard<std::mutex> lock(FMutex);
        FRunner = nullptr;
      }
      if (endedHook) endedHook();
    };
    FThread = std::thread([this, args = std::move(args), programDir, &clock, hooks] {
      line::TLineIo io;
      io.Out = [this](const std::string& text) { WriteAll(FOut[1], text); };
      io.Err = [this](const std::string& text) { WriteAll(FErr[1], text); };
      FCode = line::RunLine(args, io, programDir, clock, hooks);
      ::close(FOut[1]);
      ::close(FErr[1]);
    });
  }
  ~TThreadStation() override {
    Cancel();
    if (FThread.joinable()) FThread.join();
    for (int fd : {FOut[0], FErr[0]})
      if (fd >= 0) ::close(fd);
  }
  int EventsFd() const override { return FOut[0]; }
  int OtherFd() const override { return FErr[0]; }
  void Cancel() override {
    std::lock_guard<std::mutex> lock(FMutex);
    FCancel = true;
    if (FRunner != nullptr) FRunner->RequestCancel();
  }
  int Wait(std::string&) override {
    if (FThread.joinable()) FThread.join();
    return FCode;
  }

 private:
  int FOut[2] = {-1, -1};
  int FErr[2] = {-1, -1};
  std::mutex FMutex;
  line::TLineRunner* FRunner = nullptr;
  bool FCancel = false;
  int FCode = 0;
  std::thread FThread;
};

}  // namespace

line::TStationLauncher ThreadStations(std::string programDir, std::function<TClock&(const std::string&)> clockOf,
                                      std::function<void(const std::string&, line::TLineHooks&)> prepare) {
  return [programDir, clockOf, prepare](const std::vector<std::string>& args,
                                        std::string&) -> std::unique_ptr<line::TStationProcess> {
    return std::make_unique<TThreadStation>(args, programDir, clockOf, prepare);
  };
}

}  // namespace qv::test
