// qvbench: the device bench served as network serial ports on loopback, so
// that the tool (or anything else that speaks the Telnet COM-PORT-OPTION)
// can run against simulated devices in real time.
//
//   qvbench [--echo] [--base-port N] [--ports-file PATH] [--print-ready] [--trace]
//           [--units N] [--report PATH] [--stations N] [--collisions on|off] [--seed N]
//
// Set-ups: by default a dongle with a handheld behind it on the first port
// and a server on the second; --echo serves one port that echoes every byte
// and loops DTR to DSR and RTS to CTS. --stations N serves N such pairs on
// one shared radio channel, station k on ports 2k-1 and 2k. Port i listens
// on 127.0.0.1:N+i (N = 7031 unless given; 0 lets the system pick each
// port) and is named COM31, COM32, ... in the port map file, where its
// entries stay while the bench runs. --units lines up N handhelds per
// station (default 20): each one that has been handed to its production
// firmware is pulled out and the next one plugged in. --report writes what
// the devices hold when the bench stops. It stops on SIGINT, SIGTERM or the
// end of its input (an input that is /dev/null is not watched, so that it
// can run in the background).
//
// Each station is served by a thread of its own, so that no station's
// answers wait behind another's.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/Channel.h"
#include "bench/Dongle.h"
#include "bench/Firmware.h"
#include "bench/Handheld.h"
#include "bench/Server.h"
#include "bench/qvbench/EchoDevice.h"
#include "bench/qvbench/PortServer.h"
#include "bench/qvbench/PortsFile.h"

namespace {

using bench::TTime;

constexpr int kDefaultBasePort = 7031;
constexpr int kFirstComNumber = 31;
constexpr int kMaxStations = 32;

// Set by SIGINT or SIGTERM. The two are blocked except inside the wait
// (ppoll unblocks them atomically), so a stop request is seen either by the
// wait it interrupts or by the check before the next one, never lost
// between the two, whatever the mask the bench was started with.
volatile sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

TTime Now() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool IsDevNull(int fd) {
  struct stat in {
  }, null{};
  if (::fstat(fd, &in) != 0) return true;  // no input at all
  return ::stat("/dev/null", &null) == 0 && S_ISCHR(in.st_mode) && in.st_rdev == null.st_rdev;
}

const char kUsageLine[] =
    "usage: qvbench [--echo] [--base-port N] [--ports-file PATH] [--print-ready] [--trace]\n"
    "               [--units N] [--report PATH] [--stations N] [--collisions on|off] [--seed N]\n";

void Options(std::FILE* out) {
  std::fprintf(out,
               "  --echo            one port that echoes every byte (DTR loops to DSR, RTS to CTS)\n"
               "                    instead of a dongle with a handheld and a server\n"
               "  --base-port N     the first port's TCP port (default %d; 0: any free port)\n"
               "  --ports-file PATH the port map to list the ports in while the bench runs\n"
               "  --print-ready     print one line on stdout once every port listens\n"
               "  --trace           log connections, line changes and protocol faults on stderr\n"
               "  --units N         handhelds lined up for each dongle, one after the other (default 20)\n"
               "  --report PATH     write what the devices hold to PATH when the bench stops\n"
               "  --stations N      N dongle/server pairs (1 to %d) on one shared radio channel, each\n"
               "                    server hearing every station's handhelds\n"
               "  --collisions X    on (default): packets of two stations that overlap on the air are\n"
               "                    lost; off: the cross-talk alone\n"
               "  --seed N          the radio's noise and the crystals of the stations after the first\n"
               "                    (default 1)\n",
               kDefaultBasePort, kMaxStations);
}

void Usage() {
  std::fputs(kUsageLine, stderr);
  Options(stderr);
}

void Help() {
  std::fputs(kUsageLine, stdout);
  std::fputs(
      "The device bench: a dongle with a handheld behind it and a server, simulated and\n"
      "served as network serial ports (Telnet COM-PORT-OPTION) on 127.0.0.1, COM31 and\n"
      "COM32 in the port map (with --stations N, N such pairs on one radio channel, COM31\n"
      "to COM(30+2N)); the bench stops on SIGINT, SIGTERM or the end of its input (an\n"
      "input that is /dev/null is not watched).\n"
      "\n",
      stdout);
  Options(stdout);
  std::fputs(
      "  --help            show this text and exit\n"
      "  --version         show the version and exit\n"
      "\n"
      "Exit status: 0 stopped, 1 a port could not listen or a file could not be written,\n"
      "2 bad usage.\n",
      stdout);
}

struct TOptions {
  bool Help = false;
  bool Version = false;
  bool Echo = false;
  int BasePort = kDefaultBasePort;
  std::string PortsFile;
  bool PrintReady = false;
  bool Trace = false;
  int Units = 20;
  std::string Report;
  int Stations = 0;  // 0: a single station off any channel, as without the option
  bool Collisions = true;
  uint32_t Seed = 1;
};

bool ParseNumber(const char* text, long low, long high, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && errno == 0 && value >= low && value <= high;
}

bool ParseOptions(int argc, char** argv, TOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      options.Help = true;
    } else if (arg == "--version") {
      options.Version = true;
    } else if (arg == "--echo") {
      options.Echo = true;
    } else if (arg == "--print-ready") {
      options.PrintReady = true;
    } else if (arg == "--trace") {
      options.Trace = true;
    } else if (arg == "--base-port" && i + 1 < argc) {
      char* end = nullptr;
      const long port = std::strtol(argv[++i], &end, 10);
      if (!end || *end != '\0' || port < 0 || port > 65535) return false;
      options.BasePort = static_cast<int>(port);
    } else if (arg == "--ports-file" && i + 1 < argc) {
      options.PortsFile = argv[++i];
    } else if (arg == "--report" && i + 1 < argc) {
      options.Report = argv[++i];
    } else if (arg == "--units" && i + 1 < argc) {
      char* end = nullptr;
      const long units = std::strtol(argv[++i], &end, 10);
      if (!end || *end != '\0' || units < 1 || units > 1000) return false;
      options.Units = static_cast<int>(units);
    } else if (arg == "--stations" && i + 1 < argc) {
      long n = 0;
      if (!ParseNumber(argv[++i], 1, kMaxStations, n)) return false;
      options.Stations = static_cast<int>(n);
    } else if (arg == "--collisions" && i + 1 < argc) {
      const std::string value = argv[++i];
      if (value != "on" && value != "off") return false;
      options.Collisions = value == "on";
    } else if (arg == "--seed" && i + 1 < argc) {
      long seed = 0;
      if (!ParseNumber(argv[++i], 0, 0xFFFFFFFFL, seed)) return false;
      options.Seed = static_cast<uint32_t>(seed);
    } else {
      return false;
    }
  }
  // An echo port has no radio.
  return !(options.Echo && options.Stations > 0);
}

// One station: its ports, and the devices behind them for the report.
struct TStation {
  std::vector<std::unique_ptr<bench::TPortServer>> Ports;
  std::vector<std::shared_ptr<bench::THandheld>> Handhelds;
  std::shared_ptr<bench::TServer> Server;
  std::shared_ptr<bench::TRadio> Radio;
};

// Station k (from 0) of a line: the first as the single bench is; the
// others with units and a server of their own, from the seed.
void MakeDevices(const TOptions& options, size_t k, std::shared_ptr<bench::TRadio> radio, TStation& station) {
  std::seed_seq seed{options.Seed, static_cast<uint32_t>(k)};
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> spread(-70, 70), near(-3, 3), server(-20, 20);
  for (int i = 0; i < options.Units; ++i) {
    bench::THandheld::TConfig unit;
    // Each unit has a radio address and a crystal of its own: errors spread
    // over +-70 steps, the factory values near them.
    unit.Mac = 0x00A1B2C3u + static_cast<uint32_t>(k) * 0x10000u + static_cast<uint32_t>(i);
    if (k == 0) {
      unit.Crystal = static_cast<double>((i * 37 + 11) % 141 - 70);
      unit.FactoryOffset = static_cast<int8_t>(-unit.Crystal + (i % 7) - 3);
    } else {
      unit.Crystal = spread(random);
      unit.FactoryOffset = static_cast<int8_t>(-unit.Crystal + near(random));
    }
    station.Handhelds.push_back(std::make_shared<bench::THandheld>(unit));
    station.Handhelds.back()->AttachRadio(radio);
  }
  // Serial numbers of their own, in the identity texts' last characters.
  const auto serial = [](size_t number, size_t width) {
    std::string digits = std::to_string(number);
    return std::string(width - std::min(width, digits.size()), '0') + digits;
  };
  bench::TDongle::TConfig dongleConfig;
  dongleConfig.Identity = "QV0DONGLE" + serial(k + 1, 7);
  auto dongle = std::make_shared<bench::TDongle>(dongleConfig, station.Handhelds.front());
  for (size_t i = 1; i < station.Handhelds.size(); ++i) dongle->QueueHandheld(station.Handhelds[i]);
  bench::TServer::TConfig serverConfig;
  serverConfig.Identity = "RFQVSERVER" + serial(k + 123, 6);
  serverConfig.Crystal = k == 0 ? 5 : server(random);
  station.Server = std::make_shared<bench::TServer>(serverConfig);
  station.Server->AttachRadio(radio);
  station.Radio = std::move(radio);
  // A bench that runs for hours keeps no record of the wire.
  dongle->SetRecording(false);
  station.Server->SetRecording(false);
  const auto name = [](size_t i) { return "COM" + std::to_string(kFirstComNumber + static_cast<int>(i)); };
  station.Ports.push_back(std::make_unique<bench::TPortServer>(name(2 * k), dongle, true));
  station.Ports.push_back(std::make_unique<bench::TPortServer>(name(2 * k + 1), station.Server, true));
}

std::vector<TStation> MakeStations(const TOptions& options) {
  std::vector<TStation> stations;
  if (options.Echo) {
    // An ideal line: nothing but the network in the way.
    stations.emplace_back();
    stations.back().Ports.push_back(std::make_unique<bench::TPortServer>(
        "COM" + std::to_string(kFirstComNumber), std::make_shared<bench::TEchoDevice>(), false));
    return stations;
  }
  if (options.Stations == 0) {
    stations.emplace_back();
    bench::TRadio::TConfig radio;
    radio.Seed = options.Seed;
    MakeDevices(options, 0, std::make_shared<bench::TRadio>(radio), stations.back());
    return stations;
  }
  // In real time every station has the one clock: nobody waits.
  bench::TChannel::TConfig config;
  config.Collisions = options.Collisions;
  config.Seed = options.Seed;
  auto channel = std::make_shared<bench::TChannel>(config);
  for (int k = 0; k < options.Stations; ++k) {
    bench::TRadio::TConfig radio;
    radio.Seed = options.Seed + static_cast<uint32_t>(k);
    stations.emplace_back();
    MakeDevices(options, static_cast<size_t>(k), channel->AddStation(radio), stations.back());
  }
  return stations;
}

const char* RunningName(bench::TServer::TFirmware f) {
  switch (f) {
    case bench::TServer::TFirmware::Production:
      return "production";
    case bench::TServer::TFirmware::Test:
      return "test";
    case bench::TServer::TFirmware::Loader:
      return "loader";
  }
  return "?";
}

// One line per device: digests of what it holds, what runs, its settings;
// on a line each station's lines behind its number, and what its server
// heard of the others.
bool WriteReport(const std::string& path, const std::vector<TStation>& stations, bool line) {
  std::FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) return false;
  for (size_t k = 0; k < stations.size(); ++k) {
    const TStation& station = stations[k];
    const std::string prefix = line ? "station " + std::to_string(k + 1) + " " : "";
    for (size_t i = 0; i < station.Handhelds.size(); ++i) {
      const bench::THandheld& h = *station.Handhelds[i];
      std::string jobs;
      for (uint8_t j : h.Jobs()) jobs += (jobs.empty() ? "" : ",") + std::to_string(j);
      std::fprintf(out, "%shandheld %zu eeprom=%016llx modem=%016llx released=%d pctool=%d crystal=%g jobs=%s\n",
                   prefix.c_str(), i + 1,
                   static_cast<unsigned long long>(bench::Digest(h.EepromBytes().data(), h.EepromBytes().size())),
                   static_cast<unsigned long long>(bench::Digest(h.ModemFirmware().data(), h.ModemFirmware().size())),
                   h.ReleasedAt() >= 0 ? 1 : 0, h.Config().PcToolOffset, h.Config().Crystal, jobs.c_str());
    }
    if (station.Server) {
      bench::TServer& s = *station.Server;
      std::fprintf(out, "%sserver running=%s version=%02x,%02x memory=%016llx pctool=%d effective=%d crystal=%g\n",
                   prefix.c_str(), RunningName(s.Running()), s.Config().VersionX, s.Config().VersionY,
                   static_cast<unsigned long long>(bench::Digest(s.Memory())), s.Config().PcToolOffset,
                   s.EffectiveOffset(), s.Config().Crystal);
    }
    if (line && station.Radio) {
      station.Radio->Flush(Now());
      const bench::TRadio::TCounters c = station.Radio->Counters();
      std::fprintf(out, "%sradio foreign=%llu collided=%llu\n", prefix.c_str(),
                   static_cast<unsigned long long>(c.Foreign), static_cast<unsigned long long>(c.Collided));
    }
  }
  return std::fclose(out) == 0;
}

// A station's ports served until stopFd becomes readable.
void Serve(const std::vector<std::unique_ptr<bench::TPortServer>>& ports, int stopFd) {
  // Answers are due to the microsecond; the kernel's default timer slack
  // (50 us) would otherwise add to every wait for one.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::vector<pollfd> fds;
  std::vector<bench::TPortServer*> owners;
  for (;;) {
    TTime now = Now();
    TTime wake = -1;
    for (const auto& p : ports) {
      p->Service(now);
      const TTime next = p->NextWake(now);
      if (next >= 0 && (wake < 0 || next < wake)) wake = next;
    }
    fds.assign(1, {stopFd, POLLIN, 0});
    // Each entry goes back to the port that asked for it: a descriptor
    // closed and reused within one round must not reach another port.
    owners.assign(fds.size(), nullptr);
    for (const auto& p : ports) {
      p->PollFds(fds);
      owners.resize(fds.size(), p.get());
    }
    timespec timeout{};
    timespec* limit = nullptr;
    if (wake >= 0) {
      const TTime left = std::max<TTime>(0, wake - Now());
      timeout.tv_sec = static_cast<time_t>(left / 1000000);
      timeout.tv_nsec = static_cast<long>(left % 1000000) * 1000;
      limit = &timeout;
    }
    if (::ppoll(fds.data(), fds.size(), limit, nullptr) < 0) {
      if (errno == EINTR) continue;
      std::perror("qvbench: poll");
      return;
    }
    if (fds[0].revents) return;
    now = Now();
    for (size_t i = 0; i < fds.size(); ++i)
      if (owners[i] && fds[i].revents) owners[i]->Handle(fds[i].fd, fds[i].revents, now);
  }
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  if (!ParseOptions(argc, argv, options)) {
    Usage();
    return 2;
  }
  if (options.Help) {
    Help();
    return 0;
  }
  if (options.Version) {
    std::printf("qvbench %s\n", QV_VERSION);
    return 0;
  }

  // Blocked in every thread; the main thread takes them only inside its
  // wait (ppoll unblocks them atomically), so a stop request is seen either
  // by the wait it interrupts or by the check before the next one, never
  // lost between the two, whatever the mask the bench was started with.
  sigset_t stopSignals, waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  std::vector<TStation> stations = MakeStations(options);
  bench::TPortEntries entries;
  int index = 0;
  for (TStation& station : stations)
    for (const auto& p : station.Ports) {
      const int port = options.BasePort == 0 ? 0 : options.BasePort + index++;
      std::string error;
      if (port > 65535 || !p->Listen(static_cast<uint16_t>(port), error)) {
        std::fprintf(stderr, "qvbench: cannot listen on 127.0.0.1:%d: %s\n", port, error.c_str());
        return 1;
      }
      if (options.Trace) p->SetTrace([](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); });
      entries.emplace_back(p->Name(), p->Url());
    }

  std::unique_ptr<bench::TPortsFile> portsFile;
  if (!options.PortsFile.empty()) {
    portsFile = std::make_unique<bench::TPortsFile>(options.PortsFile);
    std::string error;
    if (!portsFile->Add(entries, error)) {
      std::fprintf(stderr, "qvbench: cannot write %s: %s\n", options.PortsFile.c_str(), error.c_str());
      return 1;
    }
  }

  if (options.PrintReady) {
    std::string line = "qvbench ready";
    for (const auto& [name, url] : entries) line += " " + name + "=" + url;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }

  int stop[2];
  if (::pipe2(stop, O_CLOEXEC) != 0) {
    std::perror("qvbench: pipe");
    if (portsFile) portsFile->Remove();
    return 1;
  }
  std::vector<std::thread> servers;
  for (const TStation& station : stations) servers.emplace_back(Serve, std::cref(station.Ports), stop[0]);

  const bool watchInput = !IsDevNull(STDIN_FILENO);
  while (!gStop) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (::ppoll(&in, watchInput ? 1 : 0, nullptr, &waitMask) < 0) {
      if (errno == EINTR) continue;
      std::perror("qvbench: poll");
      break;
    }
    if (in.revents) {
      char buf[256];
      const ssize_t r = ::read(STDIN_FILENO, buf, sizeof buf);
      if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) break;
    }
  }
  (void)!::write(stop[1], "x", 1);
  for (std::thread& t : servers) t.join();
  ::close(stop[0]);
  ::close(stop[1]);

  if (portsFile) portsFile->Remove();
  if (!options.Report.empty() && !WriteReport(options.Report, stations, options.Stations > 0)) {
    std::fprintf(stderr, "qvbench: cannot write %s\n", options.Report.c_str());
    return 1;
  }
  return 0;
}
