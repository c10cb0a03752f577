// A line of stations against qvbench in real time at 9600 baud: for N
// stations, one qvbench --stations N serves N dongle/server pairs on one
// shared radio channel and one qvline line process (the program, with N
// --station options) tunes one unit at each. For each N it prints each
// unit's time (from its station's first JSON line to its "Completed
// successfully!", by the line's own time stamps), the slowest against the
// lone station's, the CPU time of the whole line (the qvline parent and
// every station it reaped) as a share of one core over the time the line
// ran, the resident memory of the line sampled from /proc while the units
// run (the peak of the sum divided by N, the peak of one station), and what
// the servers heard of the other stations' handhelds and lost to
// collisions (qvbench's report), and from each station's transcript the
// records its server gave it and the wire time the other stations' records
// took (station 1 has the lone station's unit, so its time beside the
// others against its time alone is what they cost it). Targets: at 8 stations each unit within
// 1.03 of the lone station's time, the whole line under 5 % of one core
// while it waits on the wire, memory growing linearly with N (the memory
// per station within 10 % of the lone station's). A measurement, not a
// test: exits 0 unless a unit fails.
//
//   stations_bench [--stations 1,2,4,8] [--quick] [--collisions on|off]
//                  [--separate-channels]
//
// A run of N stations takes about as long as one unit (two minutes) and
// the time the stations wait for the channel; the four of the default
// about nine minutes. --quick runs 1 and 2. The stations of a line start
// together, and take turns with their test cycles on the one channel (the
// line's default), so that no packet collides and no server fetches
// another station's records: what they cost each other is the wait.
// --separate-channels has the line treat their radios as shielded from
// each other, as qvbench's one channel does not: their test cycles then
// share the air, and with collisions on (qvbench's default) most of their
// packets are lost from 4 stations on; --collisions off leaves the
// cross-talk alone (each server fetching the others' records).
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/benchmarks/StationFolder.h"
#include "tests/benchmarks/Transcript.h"
#include "tests/rfc2217/NetSupport.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kUnitTarget = 1.03;
constexpr int kUnitTargetStations = 8;
constexpr double kCpuTarget = 0.05;
constexpr double kMemoryTarget = 1.10;
constexpr auto kSamplePeriod = std::chrono::milliseconds(200);

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// VmRSS of a process in KiB; 0 once it is gone.
long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

std::vector<pid_t> Children(pid_t pid) {
  std::vector<pid_t> kids;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "children");
    for (pid_t kid; in >> kid;) kids.push_back(kid);
  }
  return kids;
}

// Samples the line and its stations until stopped: the peaks of the sum,
// of one station and of the parent.
struct TRssSampler {
  explicit TRssSampler(pid_t line)
      : Thread([this, line] {
          while (!Stop.load()) {
            long sum = RssKiB(line);
            PeakParent = std::max(PeakParent, sum);
            const std::vector<pid_t> kids = Children(line);
            for (pid_t kid : kids) {
              const long rss = RssKiB(kid);
              PeakStation = std::max(PeakStation, rss);
              sum += rss;
            }
            PeakSum = std::max(PeakSum, sum);
            MostStations = std::max(MostStations, kids.size());
            std::this_thread::sleep_for(kSamplePeriod);
          }
        }) {}
  void Finish() {
    Stop.store(true);
    Thread.join();
  }
  std::atomic<bool> Stop{false};
  long PeakSum = 0, PeakStation = 0, PeakParent = 0;
  size_t MostStations = 0;
  std::thread Thread;
};

double Seconds(const rusage& u) {
  const auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

// User and system time of a running process, from /proc.
double ProcessCpu(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string f;
  unsigned long long utime = 0, stime = 0;
  // From the state (field 3): utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stoull(f);
    if (i == 15) stime = std::stoull(f);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The value of a string field of one of the line's JSON lines (names and
// time stamps carry no escapes).
std::string Field(const std::string& json, const std::string& key) {
  const std::string open = "\"" + key + "\":\"";
  const size_t at = json.find(open);
  if (at == std::string::npos) return {};
  const size_t from = at + open.size();
  const size_t end = json.find('"', from);
  return end == std::string::npos ? std::string() : json.substr(from, end - from);
}

// "2024-05-01T12:34:56.789Z" as seconds since the epoch.
std::optional<double> Stamp(const std::string& text) {
  std::tm t{};
  int ms = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                  &t.tm_min, &t.tm_sec, &ms) != 7)
    return std::nullopt;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return static_cast<double>(::timegm(&t)) + ms / 1000.0;
}

// A server exchange at 9600 baud: the byte out, the firmware's 50 us, the
// answer back.
constexpr double kServerExchangeS = 2134e-6;

// What a station's transcript says of its record fetches (framed command
// 0x04: length byte 0x41, the payload, the check byte, then the polls of a
// record or the single byte that ends the list): the records fetched, the
// unit's own among them (its "N packets received" lines) and the server
// exchanges the records' fetches took.
struct TFetches {
  size_t Records = 0, Own = 0, Exchanges = 0;
  size_t Foreign() const { return Records > Own ? Records - Own : 0; }
  // The wire time of fetching the other stations' records.
  double ForeignSeconds() const {
    return Records == 0 ? 0
                        : static_cast<double>(Foreign()) * static_cast<double>(Exchanges) /
                              static_cast<double>(Records) * kServerExchangeS;
  }
};

TFetches Fetches(const std::string& log) {
  TFetches f;
  // Each port on its own, since detection decides which digit the server's
  // is: 1 once the length byte 0x41 has gone, 2 inside a fetch.
  std::map<char, std::pair<int, size_t>> ports;
  const auto close = [&](std::pair<int, size_t>& p) {
    if (p.first == 2 && p.second > 3) {
      ++f.Records;
      f.Exchanges += p.second;
    }
    p = {0, 0};
  };
  for (const qv::benchmarks::TEntry& entry : qv::benchmarks::Entries(log)) {
    const std::string e(entry.Text);
    if (e.size() > 1 && e[0] == '>') {
      for (auto& [digit, p] : ports) close(p);
      if (e.find(" packets received") != std::string::npos) f.Own += std::strtoul(e.c_str() + 1, nullptr, 10);
      continue;
    }
    if (e.size() < 3 || e[1] != '<') continue;
    auto& [state, count] = ports[e[0]];
    const int v = std::atoi(e.c_str() + 2);
    // Check and poll bytes have the top bit set; anything else opens a frame.
    if (state == 2 && v < 0x80) close(ports[e[0]]);
    if (state == 2) {
      ++count;
    } else if (state == 1 && v == 0x04) {
      state = 2;
      count = 2;
    } else {
      state = v == 0x41 ? 1 : 0;
    }
  }
  for (auto& [digit, p] : ports) close(p);
  return f;
}

struct TUnit {
  std::optional<double> First, End;
  bool Completed = false;
  // The last log lines, shown when the unit did not complete.
  std::vector<std::string> Last;
  uint64_t Foreign = 0, Collided = 0;
  TFetches Fetched;
  double Seconds() const { return First && End ? *End - *First : 0; }
};

struct TRun {
  int Stations = 0;
  bool Ok = false;
  std::vector<TUnit> Units;
  double Wall = 0, Cpu = 0, BenchCpu = 0, BenchWall = 0;
  long PeakSum = 0, PeakStation = 0, PeakParent = 0;
  size_t MostStations = 0;
  // Of the units that completed: a failed one ends early.
  double Slowest() const {
    double s = 0;
    for (const TUnit& u : Units)
      if (u.Completed) s = std::max(s, u.Seconds());
    return s;
  }
  size_t Completed() const {
    return static_cast<size_t>(std::count_if(Units.begin(), Units.end(), [](const TUnit& u) { return u.Completed; }));
  }
};

std::string Name(int k) {
  return "S" + std::to_string(k);
}

TRun RunLine(int n, const std::string& collisions, bool separate) {
  TRun run;
  run.Stations = n;
  run.Units.resize(static_cast<size_t>(n));
  // One folder for the whole line: each station writes its own transcript there.
  const fs::path dir = qv::benchmarks::StationFolder("qv-stations-bench-" + std::to_string(n));
  const fs::path ports = dir / "qvtune.ports";
  const fs::path report = dir / "qvbench.report";
  const auto benchStart = Clock::now();
  qv::test::TBench bench({"--ports-file", ports.string(), "--units", "1", "--stations", std::to_string(n),
                          "--collisions", collisions, "--report", report.string()});
  if (!bench.Child.Started() || bench.Ports.size() != static_cast<size_t>(2 * n)) {
    std::fprintf(stderr, "qvbench --stations %d did not start\n", n);
    return run;
  }

  // Errors on the output too, so that a failing station can be shown; exec
  // keeps the pid, so that the line is our child.
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", QV_QVLINE_PATH};
  argv.insert(argv.end(), {"--settings", (dir / "qvtune.INI").string(), "--port-map", ports.string()});
  argv.insert(argv.end(), {"--no-records", "--no-progress", "--json", "--units", "1"});
  if (separate) argv.push_back("--separate-channels");
  for (int k = 1; k <= n; ++k) {
    argv.push_back("--station");
    argv.push_back(Name(k) + "=COM" + std::to_string(29 + 2 * k) + ",COM" + std::to_string(30 + 2 * k));
  }
  rusage before{}, after{};
  ::getrusage(RUSAGE_CHILDREN, &before);
  const auto t0 = Clock::now();
  qv::test::TChild line(argv);
  TRssSampler rss(line.Pid());
  std::vector<std::string> other;
  std::map<std::string, size_t> index;
  for (int k = 1; k <= n; ++k) index[Name(k)] = static_cast<size_t>(k - 1);
  while (const std::optional<std::string> text = line.ReadLine(600000)) {
    if (text->empty() || (*text)[0] != '{') {
      other.push_back(*text);
      continue;
    }
    const auto it = index.find(Field(*text, "station"));
    const std::optional<double> at = Stamp(Field(*text, "time"));
    if (it == index.end() || !at) continue;
    TUnit& u = run.Units[it->second];
    if (!u.First) u.First = at;
    const std::string said = Field(*text, "text");
    u.Last.push_back(Field(*text, "step") + ": " + said);
    if (u.Last.size() > 6) u.Last.erase(u.Last.begin());
    if (said == "Completed successfully!" || said == "Procedure failed!" || said == "Aborted by user!") {
      u.End = at;
      u.Completed = said == "Completed successfully!";
    }
  }
  const int code = line.Wait(30000);
  run.Wall = std::chrono::duration<double>(Clock::now() - t0).count();
  ::getrusage(RUSAGE_CHILDREN, &after);
  rss.Finish();
  run.Cpu = Seconds(after) - Seconds(before);
  run.PeakSum = rss.PeakSum;
  run.PeakStation = rss.PeakStation;
  run.PeakParent = rss.PeakParent;
  run.MostStations = rss.MostStations;
  run.BenchCpu = ProcessCpu(bench.Child.Pid());
  run.BenchWall = std::chrono::duration<double>(Clock::now() - benchStart).count();

  bench.Child.CloseInput();
  bench.Child.Wait(30000);
  std::istringstream lines(ReadWhole(report));
  for (std::string l; std::getline(lines, l);) {
    int k = 0;
    unsigned long long foreign = 0, collided = 0;
    if (std::sscanf(l.c_str(), "station %d radio foreign=%llu collided=%llu", &k, &foreign, &collided) == 3 && k >= 1 &&
        k <= n) {
      run.Units[static_cast<size_t>(k - 1)].Foreign = foreign;
      run.Units[static_cast<size_t>(k - 1)].Collided = collided;
    }
  }
  for (int k = 1; k <= n; ++k)
    run.Units[static_cast<size_t>(k - 1)].Fetched = Fetches(ReadWhole(dir / (Name(k) + ".ERR")));
  run.Ok = code == 0 && std::all_of(run.Units.begin(), run.Units.end(), [](const TUnit& u) { return u.Completed; });
  if (!run.Ok) {
    std::fprintf(stderr, "%d stations: the line ended with %d\n", n, code);
    for (const std::string& l : other) std::fprintf(stderr, "  %s\n", l.c_str());
    for (size_t k = 0; k < run.Units.size(); ++k)
      if (!run.Units[k].Completed)
        for (const std::string& l : run.Units[k].Last)
          std::fprintf(stderr, "  %s: %s\n", Name(static_cast<int>(k + 1)).c_str(), l.c_str());
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return run;
}

double MiB(long kib) {
  return static_cast<double>(kib) / 1024.0;
}

void Print(const TRun& run, const TRun* lone, const std::string& collisions, bool separate) {
  std::printf("%d station%s (collisions %s, %s)%s:\n", run.Stations, run.Stations == 1 ? "" : "s", collisions.c_str(),
              separate ? "separate channels" : "taking turns", run.Ok ? "" : " FAILED");
  std::printf("  units:");
  for (size_t k = 0; k < run.Units.size(); ++k)
    std::printf("%s %s %.2f s%s", k == 0 ? "" : ",", Name(static_cast<int>(k + 1)).c_str(), run.Units[k].Seconds(),
                run.Units[k].Completed ? "" : " (not completed)");
  std::printf("\n");
  if (lone != nullptr && lone->Slowest() > 0 && run.Completed() > 0)
    std::printf("  slowest of the %zu completed against the lone station: %.4f (target <= %.2f at %d stations)\n",
                run.Completed(), run.Slowest() / lone->Slowest(), kUnitTarget, kUnitTargetStations);
  std::printf("  CPU of the line: %.2f s in %.2f s, %.2f %% of one core (target < %.0f %%); qvbench %.2f %%\n", run.Cpu,
              run.Wall, 100 * run.Cpu / run.Wall, 100 * kCpuTarget, 100 * run.BenchCpu / run.BenchWall);
  const double perStation = MiB(run.PeakSum) / run.Stations;
  std::printf(
      "  memory: peak %.1f MiB for the line (stations seen: %zu), %.1f MiB per station; one station at most "
      "%.1f MiB, the parent %.1f MiB",
      MiB(run.PeakSum), run.MostStations, perStation, MiB(run.PeakStation), MiB(run.PeakParent));
  if (lone != nullptr && lone->PeakSum > 0)
    std::printf("; per station against the lone station %.3f (target <= %.2f)", perStation / MiB(lone->PeakSum),
                kMemoryTarget);
  std::printf("\n");
  uint64_t foreign = 0, collided = 0;
  std::string each;
  for (size_t k = 0; k < run.Units.size(); ++k) {
    foreign += run.Units[k].Foreign;
    collided += run.Units[k].Collided;
    each += (k == 0 ? "" : ", ") + Name(static_cast<int>(k + 1)) + " " + std::to_string(run.Units[k].Foreign) + "/" +
            std::to_string(run.Units[k].Collided);
  }
  std::printf("  radio: heard from other stations %llu, lost to collisions %llu (%s)\n",
              static_cast<unsigned long long>(foreign), static_cast<unsigned long long>(collided), each.c_str());
  std::printf("  records fetched (the unit's own among them; the wire time of the others'):");
  for (size_t k = 0; k < run.Units.size(); ++k) {
    const TFetches& f = run.Units[k].Fetched;
    std::printf("%s %s %zu (%zu; %.2f s)", k == 0 ? "" : ",", Name(static_cast<int>(k + 1)).c_str(), f.Records, f.Own,
                f.ForeignSeconds());
  }
  std::printf("\n");
  // Station 1 has the lone station's unit, crystal and radio draws: what it
  // takes longer is what the others cost it.
  if (lone != nullptr && run.Stations > 1 && run.Units.front().Completed) {
    const TUnit& beside = run.Units.front();
    const TUnit& alone = lone->Units.front();
    const size_t records = beside.Fetched.Records - std::min(beside.Fetched.Records, alone.Fetched.Records);
    const size_t exchanges = beside.Fetched.Exchanges - std::min(beside.Fetched.Exchanges, alone.Fetched.Exchanges);
    std::printf(
        "  %s, the lone station's unit beside the others: %.2f s, %+.2f s (%.4f); %zu records more fetched "
        "than alone, about %.2f s of wire\n",
        Name(1).c_str(), beside.Seconds(), beside.Seconds() - alone.Seconds(), beside.Seconds() / alone.Seconds(),
        records, static_cast<double>(exchanges) * kServerExchangeS);
  }
  std::fflush(stdout);
}

bool ParseList(const std::string& text, std::vector<int>& list) {
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    char* end = nullptr;
    const long n = std::strtol(item.c_str(), &end, 10);
    if (item.empty() || *end != '\0' || n < 1 || n > 16) return false;
    list.push_back(static_cast<int>(n));
  }
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  return !list.empty();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts;
  std::string collisions = "on";
  bool separate = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      counts = {1, 2};
    } else if (arg == "--stations" && i + 1 < argc && ParseList(argv[i + 1], counts)) {
      ++i;
    } else if (arg == "--collisions" && i + 1 < argc &&
               (std::string(argv[i + 1]) == "on" || std::string(argv[i + 1]) == "off")) {
      collisions = argv[++i];
    } else if (arg == "--separate-channels") {
      separate = true;
    } else {
      std::fprintf(stderr,
                   "usage: stations_bench [--stations 1,2,4,8] [--quick] [--collisions on|off] [--separate-channels]\n");
      return 2;
    }
  }
  if (counts.empty()) counts = {1, 2, 4, 8};

  std::vector<TRun> runs;
  bool ok = true;
  for (int n : counts) {
    runs.push_back(RunLine(n, collisions, separate));
    const TRun* lone = runs.front().Stations == 1 && runs.front().Ok ? &runs.front() : nullptr;
    Print(runs.back(), lone, collisions, separate);
    ok = ok && runs.back().Ok;
  }
  return ok ? 0 : 1;
}
