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
//   - a window not back in its finished state, or a run that never ends;
//   - a unit's record that says other than the devices hold: a stored value
//     the unit does not hold or that does not agree, success for a unit not
//     tuned, settings or a radio address other than the devices'.
//
// The kill runs: qvline's runner with its records writer, in a process of
// its own (this program with --station) on the bench in virtual time, up
// to three units in a row with one fault, killed with SIGKILL at a random
// moment. What the killed process said on its standard output is judged
// against the records it left, once a new writer has taken its spool:
//   - a unit whose outcome line was shown has its record (none is lost);
//   - every record agrees with the devices at its unit's end, as the
//     station said them just before the outcome line;
//   - no success shown for a unit that the devices say is not tuned.
//
//   fault_campaign [--runs N] [--kills N] [--seed S] [--verbose]
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

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>

#include "bench/Faults.h"
#include "bench/Firmware.h"
#include "bench/inproc/InProcDevice.h"
#include "records/Record.h"
#include "records/Sql.h"
#include "records/Store.h"
#include "tests/line/Station.h"
#include "tests/support/Unit.h"

extern char** environ;

namespace {

using bench::TTime;
using qv::test::TUnitBench;

const char* const kFaultNames[] = {
    "none",           "dongle silent",    "dongle wrong",      "dongle drop",        "dongle late",
    "dongle DSR lost", "server silent",   "server wrong",      "server drop",        "server late",
    "frame refused",  "read-back wrong",  "read-back silent",  "write silent",       "job status",
    "job hangs",      "closing echoed",   "packets lost",      "foreign records",    "crystal far off",
    "unplugged",      "register wrong",   "EEPROM read wrong",
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

using TPick = std::function<int64_t(int64_t, int64_t)>;

// Which side is tuned, the choices, the crystals.
struct TSetup {
  bool ServerTuned = false;
  bool Analysis = false;
  bool Restore = false;
};

TSetup ChooseSetup(const TPick& pick) {
  TSetup c;
  c.ServerTuned = pick(0, 3) == 0;
  c.Analysis = pick(0, 3) == 0;
  c.Restore = !c.ServerTuned && pick(0, 1) == 1;
  return c;
}

void ChooseCrystals(TUnitBench& u, const TPick& pick) {
  bench::THandheld& handheld = *u.Bench.Handheld;
  bench::TServer& server = *u.Bench.Server;
  handheld.Config().Crystal = static_cast<double>(pick(-90, 90));
  handheld.Config().FactoryOffset = static_cast<int8_t>(pick(-20, 20));
  server.Config().Crystal = static_cast<double>(pick(-20, 20));
  server.Config().FactoryOffset = static_cast<int8_t>(pick(-20, 20));
  u.Bench.Radio->SetServerCrystal(server.Config().Crystal);
}

// One fault switch of the bench, by kind; unplugAt is set for a dongle that
// is to be pulled out.
int InjectFault(TUnitBench& u, bool serverTuned, const TPick& pick, TTime& unplugAt) {
  const int fault = static_cast<int>(pick(0, kFaultKinds - 1));
  bench::THandheld& handheld = *u.Bench.Handheld;
  bench::TServer& server = *u.Bench.Server;
  bench::TFaults& dongleFaults = u.Bench.Dongle->Faults();
  bench::TFaults& serverFaults = server.Faults();
  const auto dongleAnswer = [&] { return static_cast<uint64_t>(pick(1, 30000)); };
  const auto serverAnswer = [&] { return static_cast<uint64_t>(pick(1, 12000)); };
  const auto address = [&] { return static_cast<int>(pick(1, 4095)); };
  const auto value = [&] { return static_cast<int>(pick(-1, 255)); };
  switch (fault) {
    case 1: dongleFaults.Add(bench::SilentAt(dongleAnswer())); break;
    case 2: dongleFaults.Add(bench::WrongAt(dongleAnswer(), value())); break;
    case 3: dongleFaults.Add(bench::DropAt(dongleAnswer())); break;
    case 4: dongleFaults.Add(bench::LateAt(dongleAnswer(), pick(1000, 400000))); break;
    case 5: {
      const TTime from = u.Now() + pick(0, 200) * 1000000;
      dongleFaults.LoseDsr(from, pick(0, 3) == 0 ? -1 : from + pick(50, 5000) * 1000);
      break;
    }
    case 6: serverFaults.Add(bench::SilentAt(serverAnswer())); break;
    case 7: serverFaults.Add(bench::WrongAt(serverAnswer(), value())); break;
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
    // A value byte, not an echo: the answer to the nth register read
    // (0x02), or to one of the first EEPROM reads (0x03, the test firmware
    // check), corrupted on the dongle's line.
    case 21: dongleFaults.Add(bench::WrongOnNth(0x02, static_cast<uint64_t>(pick(1, 60)), value())); break;
    case 22: dongleFaults.Add(bench::WrongOnNth(0x03, static_cast<uint64_t>(pick(1, 12)), value())); break;
    default: break;
  }
  return fault;
}

std::string MacText(uint32_t mac) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(mac));
  return text;
}

// What the bench holds at a unit's end: the unit under test against its
// value at the unit's start, the golden reference's value, and the
// handheld that a record of the unit names (the unit, or the golden one).
struct TTruth {
  uint32_t Mac = 0;
  int Factory = 0, PcBefore = 0, PcNow = 0;
  int GoldenEffective = 0;
  bool Agree = false;
};

TTruth TruthOf(bench::THandheld& h, bench::TServer& s, bool serverTuned, int pcBefore) {
  TTruth t;
  t.Mac = h.Config().Mac;
  t.Agree = std::fabs(h.Config().Crystal + h.EffectiveOffset() - (s.Config().Crystal + s.EffectiveOffset())) <= 2;
  t.Factory = serverTuned ? s.Config().FactoryOffset : h.Config().FactoryOffset;
  t.PcNow = serverTuned ? s.Config().PcToolOffset : h.Config().PcToolOffset;
  t.GoldenEffective = serverTuned ? h.EffectiveOffset() : s.EffectiveOffset();
  // The server reads 1 as not set.
  t.PcBefore = serverTuned && pcBefore == 1 ? 0 : pcBefore;
  return t;
}

// A record against the devices: what it says was stored, of success and
// of the settings read is what the devices hold.
void JudgeRecord(const qv::records::TUnitRecord& r, const TTruth& t, const std::function<void(std::string)>& violation) {
  if (r.StoredOffset && *r.StoredOffset != t.PcNow) violation("a record's stored value is not what the unit holds");
  if (r.StoredOffset && !t.Agree) violation("a record of a wrong value stored");
  if (r.Outcome == "success" && !(r.StoredOffset && t.Agree)) violation("a record of success for a unit not tuned");
  if (r.Outcome == "analysis" && t.PcNow != t.PcBefore && !(t.PcNow == 0 && t.PcBefore == 0))
    violation("a record of analysis for a unit that changed");
  if (r.FactoryOffset && *r.FactoryOffset != t.Factory) violation("a record's factory value is not the unit's");
  if (r.PcToolOffset && *r.PcToolOffset != t.PcBefore) violation("a record's PC-tool value is not the unit's");
  if (r.GoldenOffset && *r.GoldenOffset != t.GoldenEffective)
    violation("a record's golden value is not the golden reference's");
  if (!r.HandheldMac.empty() && r.HandheldMac != MacText(t.Mac)) violation("a record's radio address is wrong");
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
    const TPick pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
    TRunResult result;
    TUnitBench u;
    const bench::TFirmwareSet& set = u.Set;

    const TSetup setup = ChooseSetup(pick);
    ChooseCrystals(u, pick);
    const bool serverTuned = setup.ServerTuned;
    u.Window.GoldenIsHandheld = serverTuned;
    u.Window.AnaChk = setup.Analysis;
    u.Window.RestoreServer = setup.Restore;
    bench::THandheld& handheld = *u.Bench.Handheld;
    bench::TServer& server = *u.Bench.Server;
    u.Bench.Radio->Config().Seed = static_cast<uint32_t>(runSeed);
    TTime unplugAt = -1;
    result.Fault = InjectFault(u, serverTuned, pick, unplugAt);

    const int8_t oldHandheld = handheld.Config().PcToolOffset;
    const int8_t oldServer = server.Config().PcToolOffset;
    std::vector<qv::TUnitResult> units;
    u.Window.OnUnitEnded = [&](const qv::TUnitResult& r) { units.push_back(r); };

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

    // The unit's record, against the devices.
    if (units.size() != 1) {
      violation("units told: " + std::to_string(units.size()));
    } else {
      const qv::records::TUnitRecord record = qv::records::RecordOfUnit(units[0], {"campaign", "campaign", {}});
      JudgeRecord(record, TruthOf(handheld, server, serverTuned, serverTuned ? oldServer : oldHandheld), violation);
      const bool shown = outcome != pane.end() && *outcome == "Completed successfully!";
      if (shown != (record.Outcome == "success" || record.Outcome == "analysis"))
        violation("a record's outcome is not the one shown");
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


// ---- the kill runs ----

// Straight to the pipe: a killed station leaves exactly what it said.
void Say(const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The station of a kill run: qvline's runner with its records in dir, up to
// three units (and retries) with one fault. Says "@bench DIR FAULT" first,
// and for each unit, once its record is submitted and just before its
// outcome line, "@unit OUTCOME MAC FACTORY BEFORE NOW GOLDEN AGREE".
int Station(uint64_t seed, const std::string& dir) {
  std::mt19937_64 rng(seed);
  const TPick pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
  const TSetup setup = ChooseSetup(pick);
  qv::test::TStation station(std::string(setup.ServerTuned ? "B" : "S") + (setup.Restore ? "R" : "") +
                             (setup.Analysis ? "A" : ""));
  TUnitBench& u = station.U;
  ChooseCrystals(u, pick);
  bench::TServer& server = *u.Bench.Server;
  std::vector<std::shared_ptr<bench::THandheld>> handhelds{u.Bench.Handheld};
  for (uint32_t i = 1; i <= 2 && !setup.ServerTuned; ++i) {
    bench::THandheld::TConfig config;
    config.Mac = 0x00B00000 + i;
    config.Crystal = static_cast<double>(pick(-90, 90));
    config.FactoryOffset = static_cast<int8_t>(pick(-20, 20));
    auto next = std::make_shared<bench::THandheld>(config);
    next->AttachRadio(u.Bench.Radio);
    u.Bench.Dongle->QueueHandheld(next);
    handhelds.push_back(next);
  }
  u.Bench.Radio->Config().Seed = static_cast<uint32_t>(seed);
  TTime unplugAt = -1;
  const int fault = InjectFault(u, setup.ServerTuned, pick, unplugAt);
  std::atomic<bool> unplugged{false};
  u.Bench.Clock.AddListener(&u, [&](qv::TClock::TDuration now) {
    if (unplugAt >= 0 && now.count() >= unplugAt && !unplugged.exchange(true))
      qv::TBenchPorts::Access("COM3", [&](bench::TDevice&, TTime) { u.Bench.Dongle->Disconnect(); });
  });
  std::map<uint32_t, int> before;
  for (const auto& h : handhelds) before[h->Config().Mac] = h->Config().PcToolOffset;
  int serverBefore = server.Config().PcToolOffset;
  Say("@bench " + u.Bench.Dir() + " " + std::to_string(fault) + "\n");

  qv::line::TLineIo io;
  io.Out = Say;
  io.Err = [](const std::string&) {};
  const std::vector<std::string> args = {"--settings", station.Ini(),  "--records", dir + "/qvtune.records",
                                         "--station",  "kill",         "--units",   "3",
                                         "--retries",  "2"};
  qv::line::TLineHooks hooks;
  hooks.Runner = [&](qv::line::TLineRunner& r) {
    r.OnUnitEnded = [&, record = r.OnUnitEnded](const qv::TUnitResult& result, const qv::records::TUnitExtras& extras) {
      if (record) record(result, extras);
      // The unit: the handheld the result names, else the one the dongle has.
      bench::THandheld* h = u.Bench.Dongle->Handheld() ? u.Bench.Dongle->Handheld().get() : handhelds[0].get();
      for (const auto& x : handhelds)
        if (result.Facts.HandheldMac && x->Config().Mac == *result.Facts.HandheldMac) h = x.get();
      const TTruth t =
          TruthOf(*h, server, setup.ServerTuned, setup.ServerTuned ? serverBefore : before[h->Config().Mac]);
      serverBefore = server.Config().PcToolOffset;
      before[h->Config().Mac] = h->Config().PcToolOffset;
      const std::string outcome = qv::records::RecordOfUnit(result, {}, extras).Outcome;
      std::ostringstream line;
      line << "@unit " << outcome << ' ' << t.Mac << ' ' << t.Factory << ' ' << t.PcBefore << ' ' << t.PcNow << ' '
           << t.GoldenEffective << ' ' << t.Agree << '\n';
      Say(line.str());
    };
  };
  const int code = qv::line::RunLine(args, io, u.Window.ProgramDir, u.Bench.Clock, hooks);
  u.Bench.Clock.RemoveListener(&u);
  return code;
}

// Every record of a records file, in the order written, read as the
// records code reads its columns (a transcript from its compressed frame).
std::vector<qv::records::TUnitRecord> ReadRecords(const std::string& path) {
  using namespace qv::records;
  std::vector<TUnitRecord> records;
  std::vector<const TColumnInfo*> read;
  std::string columns;
  for (const TColumnInfo& c : kColumns) {
    if (!InVersion(c, kSchemaVersion)) continue;
    read.push_back(&c);
    columns += (columns.empty() ? "" : ", ") + std::string(c.Name);
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return records;
  }
  const std::unique_ptr<TSql> sql = SqliteSql(db, true);
  std::vector<TRow> rows;
  if (!sql->Rows("SELECT " + columns + " FROM units ORDER BY id", {}, rows)) return records;
  for (const TRow& row : rows) {
    TUnitRecord r;
    for (size_t i = 0; i < read.size() && i < row.size(); ++i) SetColumnValue(r, *read[i], row[i]);
    records.push_back(std::move(r));
  }
  return records;
}

struct TKillResult {
  int Fault = 0;
  bool Killed = false;
  long Shown = 0, Records = 0;
  std::vector<std::string> Violations;
};

// One kill run: the station started, killed after a random delay of at
// most maxDelayMs (unless it ended before), its records taken by a new
// writer as the next start of the program would, and judged.
TKillResult KillRun(uint64_t seed, const std::string& self, int maxDelayMs, bool verbose) {
  TKillResult result;
  const auto violation = [&](const std::string& what) { result.Violations.push_back(what); };
  std::string dir = (std::filesystem::temp_directory_path() / "qvkill-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) {
    violation("no scratch folder");
    return result;
  }
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    violation("no pipe");
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const std::string seedText = std::to_string(seed);
  std::vector<char*> argv = {const_cast<char*>(self.c_str()), const_cast<char*>("--station"),
                             const_cast<char*>(seedText.c_str()), dir.data(), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string said;
  if (spawned == 0) {
    std::mt19937_64 rng(seed ^ 0x6b696c6cULL);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(std::uniform_int_distribution<int>(0, maxDelayMs)(rng));
    for (bool open = true; open;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (!result.Killed && left.count() <= 0) {
        ::kill(pid, SIGKILL);
        result.Killed = true;
      }
      pollfd p{out[0], POLLIN, 0};
      if (::poll(&p, 1, result.Killed ? -1 : static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) continue;
      char buf[65536];
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n > 0)
        said.append(buf, static_cast<size_t>(n));
      else
        open = false;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!result.Killed && !(WIFEXITED(status) && WEXITSTATUS(status) <= 3)) violation("the station did not end well");
  } else {
    violation("the station did not start");
  }
  ::close(out[0]);

  // What the station said: its bench, each unit as its record was
  // submitted, and the units' outcome lines (the closing restore has one of
  // its own).
  std::string benchDir;
  std::vector<std::pair<std::string, TTruth>> units;
  std::vector<std::string> outcomes;
  std::istringstream lines(said);
  bool restoring = false;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "@bench") {
      words >> benchDir >> result.Fault;
    } else if (word == "@unit") {
      std::string outcome;
      TTruth t;
      words >> outcome >> t.Mac >> t.Factory >> t.PcBefore >> t.PcNow >> t.GoldenEffective >> t.Agree;
      units.emplace_back(outcome, t);
    } else if (line.rfind("--- Restoring server firmware", 0) == 0) {
      restoring = true;
    } else if (IsOutcomeLine(line)) {
      if (!restoring) outcomes.push_back(line);
      restoring = false;
    }
  }
  result.Shown = static_cast<long>(outcomes.size());

  // The next start of the program takes the spool.
  const std::string db = dir + "/qvtune.records";
  std::vector<std::string> told;
  {
    qv::records::TRecordWriter writer(qv::records::SqliteStore(db), db + ".spool",
                                      [&](const std::string& line) { told.push_back(line); });
    writer.Drain();
    if (writer.Spooled() != 0) violation("the spool was not taken");
  }
  for (const std::string& line : told)
    if (line.find("kept aside") == std::string::npos) violation("the writer said: " + line);
  const std::vector<qv::records::TUnitRecord> records = ReadRecords(db);
  result.Records = static_cast<long>(records.size());
  // A unit whose outcome line was shown, or that the station told of (it
  // was submitted), has its record. One more may be there, submitted just
  // before the kill.
  if (records.size() < outcomes.size())
    violation(std::to_string(outcomes.size() - records.size()) + " records lost of units shown");
  if (records.size() < units.size()) violation(std::to_string(units.size() - records.size()) + " records lost");
  if (records.size() > units.size() + 1) violation("records of units that never were");
  std::error_code ec;
  const bool aside = std::filesystem::file_size(db + ".spool.damaged", ec) > 0 && !ec;
  if (aside && (!result.Killed || records.size() != units.size())) violation("a spool line kept aside");
  for (size_t i = 0; i < units.size() && i < records.size(); ++i) {
    const auto& [outcome, truth] = units[i];
    if (records[i].Outcome != outcome) violation("a record's outcome is not its unit's");
    JudgeRecord(records[i], truth, violation);
    if (i < outcomes.size() && outcomes[i] == "Completed successfully!" && outcome != "analysis" &&
        !(outcome == "success" && truth.Agree))
      violation("success shown for a unit not tuned");
  }
  if (verbose || !result.Violations.empty()) {
    std::printf("kill seed %llu: %s, %s, %zu units told, %ld records\n", static_cast<unsigned long long>(seed),
                kFaultNames[result.Fault], result.Killed ? "killed" : "ended", units.size(), result.Records);
    for (const std::string& v : result.Violations) std::printf("    VIOLATION: %s\n", v.c_str());
  }
  std::filesystem::remove_all(dir, ec);
  if (!benchDir.empty()) std::filesystem::remove_all(benchDir, ec);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--station") == 0) return Station(std::strtoull(argv[2], nullptr, 10), argv[3]);
  long runs = 1000, kills = 0;
  int killWithinMs = 600;
  uint64_t seed = 20261208;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::strtol(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--kills") == 0 && i + 1 < argc) {
      kills = std::strtol(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--kill-within") == 0 && i + 1 < argc) {
      killWithinMs = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
    } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else {
      std::fprintf(stderr, "usage: fault_campaign [--runs N] [--kills N] [--kill-within MS] [--seed S] [--verbose]\n");
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
  for (const auto& [fault, n] : injected) std::printf("  %-17s %ld\n", kFaultNames[fault], n);
  std::printf("violations: %ld, in %ld of the runs\n", violations, failedRuns);

  if (kills > 0) {
    long killed = 0, shown = 0, records = 0, killViolations = 0, failedKills = 0;
    std::map<int, long> killFaults;
    for (long i = 0; i < kills; ++i) {
      const TKillResult r = KillRun(seed + static_cast<uint64_t>(i), "/proc/self/exe", killWithinMs, verbose);
      ++killFaults[r.Fault];
      killed += r.Killed;
      shown += r.Shown;
      records += r.Records;
      killViolations += static_cast<long>(r.Violations.size());
      failedKills += !r.Violations.empty();
    }
    std::printf("kill runs: %ld stations (seeds %llu..%llu), %ld killed within %d ms; %ld outcome lines shown, "
                "%ld records\n",
                kills, static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed + kills - 1),
                killed, killWithinMs, shown, records);
    for (const auto& [fault, n] : killFaults) std::printf("  %-17s %ld\n", kFaultNames[fault], n);
    std::printf("kill violations: %ld, in %ld of the stations\n", killViolations, failedKills);
    violations += killViolations;
  }
  return violations == 0 ? 0 : 1;
}
