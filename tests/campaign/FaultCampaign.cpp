// The fault campaign: whole units on the bench in virtual time, each with
// one fault switch of the bench set at a random exchange or step, in either
// direction, with "analysis only" on or off, the closing restore on or off,
// and Cancel at a random moment in some runs. Every run is checked against
// what must never happen, judged by the bench's own record of the devices:
//   - a device holds a compensation value other than its old one or one
//     that makes it agree with the golden reference (within 2 steps);
//   - "Completed successfully!" for a unit that is not tuned (or, with
//     analysis only, left unchanged) and back on its production firmware;
//   - a failed unit whose last message is not one of the tool's failure
//     messages;
//   - an error log file that is not the transcript of the run (every
//     message line of the log pane, in order, and nothing but well-formed
//     entries);
//   - a window not back in its finished state, or a run that never ends.
//
//   fault_campaign [--runs N] [--seed S] [--verbose]
//
// Prints the runs, the faults injected by kind and the violations (each
// with its seed, so that it can be replayed alone); exits 1 on any.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench/Faults.h"
#include "bench/Firmware.h"
#include "bench/inproc/InProcDevice.h"
#include "tests/support/Unit.h"

namespace {

using bench::TTime;
using qv::test::TUnitBench;

const char* const kFaultNames[] = {
    "none",           "dongle silent",    "dongle wrong",      "dongle drop",        "dongle late",
    "dongle DSR lost", "server silent",   "server wrong",      "server drop",        "server late",
    "frame refused",  "read-back wrong",  "read-back silent",  "write silent",       "job status",
    "job hangs",      "closing echoed",   "packets lost",      "foreign records",    "crystal far off",
    "unplugged",
};
constexpr int kFaultKinds = sizeof kFaultNames / sizeof kFaultNames[0];

const std::set<std::string> kFailureMessages = {
    "At least 2 communication ports required!",
    "Second server found, uncertain which one to use?!",
    "Second dongle found, uncertain which one to use?!",
    "Dongle not found!",
    "Server not found!",
    "Failed to initialize Quorvantis!",
    "Failed to initialize server!",
    "Communication error, programming failed!",
    "Communication error, firmware execution failed!",
    "Modem firmare update failed!",
    "Communication error, finalization failed!",
    "Communication error!",
    "Test cycle failed!",
    "Radio failure!",
    "Measurements inconsistent!",
    "Frequency offset too large to compensate!",
};

bool IsFailureMessage(const std::string& line) {
  return kFailureMessages.count(line) > 0 || line.rfind("Error reading file(s):", 0) == 0 ||
         line.rfind("Error decoding file(s):", 0) == 0 ||
         (line.rfind("Dongle expected on ", 0) == 0) || (line.rfind("Server expected on ", 0) == 0);
}

bool IsOutcomeLine(const std::string& line) {
  return line == "Completed successfully!" || line == "Procedure failed!" || line == "Aborted by user!";
}

// The transcript's entries: ">text", an optional "!" and a port digit with
// "<" and a byte, a port digit with ">" and a byte or -1, a port digit with
// "R", or "...". A message's own CR LF (the error lists) continues it.
bool ParseTranscript(const std::string& log, std::vector<std::string>& messages, std::string& bad) {
  std::vector<std::string> entries;
  size_t at = 0;
  while (at < log.size()) {
    const size_t end = log.find('\r', at);
    if (end == std::string::npos) {
      bad = "no CR after the last entry";
      return false;
    }
    std::string entry = log.substr(at, end - at);
    if (!entry.empty() && entry[0] == '\n' && !entries.empty() && entries.back()[0] == '>')
      entries.back() += "\r" + entry;
    else
      entries.push_back(entry);
    at = end + 1;
  }
  for (const std::string& e : entries) {
    if (!e.empty() && e[0] == '>') {
      messages.push_back(e.substr(1));
      continue;
    }
    if (e == "...") continue;
    size_t i = 0;
    if (i < e.size() && e[i] == '!') ++i;
    if (i >= e.size() || (e[i] != '1' && e[i] != '2')) {
      bad = "entry \"" + e + "\"";
      return false;
    }
    ++i;
    if (i < e.size() && e[i] == 'R' && i + 1 == e.size() && e[0] != '!') continue;
    if (i >= e.size() || (e[i] != '<' && e[i] != '>')) {
      bad = "entry \"" + e + "\"";
      return false;
    }
    const bool sent = e[i] == '<';
    const std::string number = e.substr(i + 1);
    char* stop = nullptr;
    const long v = std::strtol(number.c_str(), &stop, 10);
    if (number.empty() || *stop != '\0' || v > 255 || v < (sent ? 0 : -1) || (e[0] == '!' && !sent)) {
      bad = "entry \"" + e + "\"";
      return false;
    }
  }
  return true;
}

struct TRunResult {
  int Fault = 0;
  bool Cancelled = false;
  std::vector<std::string> Violations;
};

class TCampaign {
 public:
  TCampaign(uint64_t seed, bool verbose) : FSeed(seed), FVerbose(verbose) {}

  TRunResult Run(uint64_t runSeed) {
    std::mt19937_64 rng(runSeed);
    const auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
    TRunResult result;
    TUnitBench u;
    const bench::TFirmwareSet& set = u.Set;

    // The set-up: which side is tuned, the choices, the crystals.
    const bool serverTuned = pick(0, 3) == 0;
    u.Window.GoldenIsHandheld = serverTuned;
    u.Window.AnaChk = pick(0, 3) == 0;
    u.Window.RestoreServer = !serverTuned && pick(0, 1) == 1;
    bench::THandheld& handheld = *u.Bench.Handheld;
    bench::TServer& server = *u.Bench.Server;
    handheld.Config().Crystal = static_cast<double>(pick(-90, 90));
    handheld.Config().FactoryOffset = static_cast<int8_t>(pick(-20, 20));
    server.Config().Crystal = static_cast<double>(pick(-20, 20));
    server.Config().FactoryOffset = static_cast<int8_t>(pick(-20, 20));
    u.Bench.Radio->SetServerCrystal(server.Config().Crystal);
    u.Bench.Radio->Config().Seed = static_cast<uint32_t>(runSeed);

    // The fault.
    result.Fault = static_cast<int>(pick(0, kFaultKinds - 1));
    bench::TFaults& dongleFaults = u.Bench.Dongle->Faults();
    bench::TFaults& serverFaults = server.Faults();
    const auto dongleAnswer = [&] { return static_cast<uint64_t>(pick(1, 30000)); };
    const auto serverAnswer = [&] { return static_cast<uint64_t>(pick(1, 12000)); };
    const auto address = [&] { return static_cast<int>(pick(1, 4095)); };
    TTime unplugAt = -1;
    switch (result.Fault) {
      case 1: dongleFaults.Add(bench::SilentAt(dongleAnswer())); break;
      case 2: dongleFaults.Add(bench::WrongAt(dongleAnswer(), static_cast<int>(pick(-1, 255)))); break;
      case 3: dongleFaults.Add(bench::DropAt(dongleAnswer())); break;
      case 4: dongleFaults.Add(bench::LateAt(dongleAnswer(), pick(1000, 400000))); break;
      case 5: {
        const TTime from = u.Now() + pick(0, 200) * 1000000;
        dongleFaults.LoseDsr(from, pick(0, 3) == 0 ? -1 : from + pick(50, 5000) * 1000);
        break;
      }
      case 6: serverFaults.Add(bench::SilentAt(serverAnswer())); break;
      case 7: serverFaults.Add(bench::WrongAt(serverAnswer(), static_cast<int>(pick(-1, 255)))); break;
      case 8: serverFaults.Add(bench::DropAt(serverAnswer())); break;
      case 9: serverFaults.Add(bench::LateAt(serverAnswer(), pick(1000, 400000))); break;
      case 10: server.RefuseFrame(static_cast<uint64_t>(pick(1, 500))); break;
      case 11: handheld.Faults().WrongReadAt = address(); break;
      case 12: handheld.Faults().SilentReadAt = address(); break;
      case 13: handheld.Faults().SilentWriteAt = address(); break;
      case 14:
        handheld.Faults().JobStatus = static_cast<int>(pick(1, 255));
        handheld.Faults().JobFaultAt = static_cast<int>(pick(1, 6));
        break;
      case 15:
        handheld.Faults().JobNeverEnds = true;
        handheld.Faults().JobFaultAt = static_cast<int>(pick(1, 6));
        break;
      case 16: handheld.Faults().EchoRelease = true; break;
      case 17: u.Bench.Radio->HearOnly(static_cast<int>(pick(0, 12)), static_cast<int>(pick(1, 7))); break;
      case 18:
        u.Bench.Radio->Config().ForeignPerCycle = static_cast<int>(pick(0, 10));
        u.Bench.Radio->Config().MalformedPerCycle = static_cast<int>(pick(0, 10));
        break;
      case 19: {
        const double far = static_cast<double>(pick(125, 220));
        (serverTuned ? server.Config().Crystal : handheld.Config().Crystal) = pick(0, 1) ? far : -far;
        u.Bench.Radio->SetServerCrystal(server.Config().Crystal);
        break;
      }
      case 20: unplugAt = u.Now() + pick(0, 200) * 1000000; break;
      default: break;
    }

    const int8_t oldHandheld = handheld.Config().PcToolOffset;
    const int8_t oldServer = server.Config().PcToolOffset;

    // Cancel at a random moment in some runs, the handheld pulled out in
    // others, and an operator who gives up on a wait that does not end.
    result.Cancelled = pick(0, 7) == 0;
    const TTime cancelAt = result.Cancelled ? u.Now() + pick(0, 250) * 1000000 : -1;
    const TTime giveUpAt = u.Now() + TTime{30} * 60 * 1000000;
    std::atomic<bool> cancelPosted{false}, unplugged{false};
    u.Bench.Clock.AddListener(this, [&](qv::TClock::TDuration now) {
      const TTime t = now.count();
      if (unplugAt >= 0 && t >= unplugAt && !unplugged.exchange(true))
        qv::TBenchPorts::Access("COM3", [&](bench::TDevice&, TTime) { u.Bench.Dongle->Disconnect(); });
      if (((cancelAt >= 0 && t >= cancelAt) || t >= giveUpAt) && !cancelPosted.exchange(true))
        u.Window.Post([&] {
          if (u.Window.Worker != nullptr && u.Window.ExitButCaption() == "&Cancel") u.Window.DoExit();
        });
    });
    const bool ran = u.Run({{TUnitBench::aOk}});
    u.Bench.Clock.RemoveListener(this);
    if (!ran && u.RunError != "no prompt came") result.Violations.push_back("the run: " + u.RunError);

    // ---- the checks ----
    const std::vector<std::string> pane = u.Window.Screen().LogMemo;
    const auto violation = [&](const std::string& what) { result.Violations.push_back(what); };

    // Compensation values: the old one, or the right one.
    const double handheldAt = handheld.Config().Crystal + handheld.EffectiveOffset();
    const double serverAt = server.Config().Crystal + server.EffectiveOffset();
    const bool agree = std::fabs(handheldAt - serverAt) <= 2;
    const bool handheldChanged = handheld.Config().PcToolOffset != oldHandheld;
    const bool serverChanged = server.Config().PcToolOffset != oldServer;
    if (serverTuned ? handheldChanged : serverChanged) violation("the golden reference's value changed");
    const bool unitChanged = serverTuned ? serverChanged : handheldChanged;
    if (unitChanged && !agree) violation("a wrong value stored");
    if (unitChanged && u.Window.AnaChk) violation("a value stored with analysis only");

    // The unit's own outcome line is the first one.
    const auto outcome = std::find_if(pane.begin(), pane.end(), IsOutcomeLine);
    if (outcome == pane.end()) {
      violation("no outcome line");
    } else if (*outcome == "Completed successfully!") {
      if (!u.Window.AnaChk && !agree) violation("success without a tuned unit");
      if (u.Window.AnaChk && unitChanged) violation("success after a store with analysis only");
      if (!serverTuned && !HandheldOnProduction(handheld, set)) violation("success without production firmware");
      if (serverTuned && !ServerOnProduction(server, set)) violation("success without server firmware");
    } else if (*outcome == "Procedure failed!") {
      if (outcome == pane.begin() || !IsFailureMessage(*(outcome - 1)))
        violation("failure message \"" + (outcome == pane.begin() ? std::string() : *(outcome - 1)) + "\"");
    }

    // The transcript: the log pane's message lines, in order.
    std::vector<std::string> expected;
    for (const std::string& line : pane)
      if (!IsOutcomeLine(line) && line != "Error log file written") expected.push_back(line);
    std::vector<std::string> messages;
    std::string bad;
    if (pane.empty() || pane.back() != "Error log file written") {
      violation("no error log file");
    } else if (!ParseTranscript(u.ErrorLog(), messages, bad)) {
      violation("transcript: " + bad);
    } else if (messages != expected) {
      violation("the error log's messages differ from the log pane");
    }

    // The window, finished.
    const qv::test::TScreen s = u.Window.Screen();
    if (u.Window.Worker != nullptr || !s.StartButVisible || s.StartBut != "&Ok" || s.ExitButVisible ||
        s.StatTxtVisible || !s.LogMemoVisible)
      violation("the window is not restored");

    if (FVerbose || !result.Violations.empty()) {
      std::printf("run seed %llu: %s%s, %s%s%s -> %s\n", static_cast<unsigned long long>(runSeed),
                  kFaultNames[result.Fault], result.Cancelled ? " + cancel" : "",
                  serverTuned ? "server tuned" : "handheld tuned", u.Window.AnaChk ? ", analysis only" : "",
                  u.Window.RestoreServer ? ", restore" : "", outcome == pane.end() ? "?" : outcome->c_str());
      if (FVerbose && outcome != pane.end() && outcome != pane.begin() && *outcome != "Completed successfully!")
        std::printf("    after: %s\n", (outcome - 1)->c_str());
      for (const std::string& v : result.Violations) std::printf("    VIOLATION: %s\n", v.c_str());
      if (FVerbose && !result.Violations.empty())
        for (const std::string& line : pane) std::printf("    | %s\n", line.c_str());
    }
    return result;
  }

 private:
  static bool HandheldOnProduction(const bench::THandheld& h, const bench::TFirmwareSet& set) {
    const bench::THandheldImage modem = bench::MakeModemImage(h.Config().Hw, set.ModemVersion);
    const bench::THandheldImage firmware = bench::MakeHandheldFirmware(h.Config().Hw, set.HandheldVersion);
    return h.ReleasedAt() >= 0 && h.ModemFirmware() == std::vector<uint8_t>(modem.begin(), modem.end()) &&
           std::equal(firmware.begin(), firmware.end(), h.EepromBytes().begin());
  }
  static bool ServerOnProduction(const bench::TServer& s, const bench::TFirmwareSet& set) {
    const bench::TServerWords words = bench::MakeServerFirmware(set.ServerX, set.ServerY);
    for (uint32_t a = 0x100; a < 0x2000; ++a)
      if (s.Word(a) != words[a]) return false;
    return s.Running() == bench::TServer::TFirmware::Production;
  }

  uint64_t FSeed;
  bool FVerbose;
};

}  // namespace

int main(int argc, char** argv) {
  long runs = 1000;
  uint64_t seed = 20261208;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::strtol(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else {
      std::fprintf(stderr, "usage: fault_campaign [--runs N] [--seed S] [--verbose]\n");
      return 2;
    }
  }
  TCampaign campaign(seed, verbose);
  std::map<int, long> injected;
  long violations = 0, failedRuns = 0, cancels = 0;
  for (long i = 0; i < runs; ++i) {
    const TRunResult r = campaign.Run(seed + static_cast<uint64_t>(i));
    ++injected[r.Fault];
    cancels += r.Cancelled;
    violations += static_cast<long>(r.Violations.size());
    failedRuns += !r.Violations.empty();
  }
  std::printf("fault campaign: %ld runs (seeds %llu..%llu), %ld with Cancel\n", runs,
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed + runs - 1), cancels);
  for (const auto& [fault, n] : injected) std::printf("  %-16s %ld\n", kFaultNames[fault], n);
  std::printf("violations: %ld, in %ld of the runs\n", violations, failedRuns);
  return violations == 0 ? 0 : 1;
}
