// Whole-unit benchmark: one handheld found, initialised, given its test
// firmware, tuned and updated with production firmware by the real worker's
// steps, over network ports against qvbench, whose models keep the
// 9600-baud wire time, their processing times and their jobs' durations in
// real time. Prints the elapsed time beside the time that the wire, the
// read time-outs the procedure meets on purpose and the waits it prescribes
// account for (the jobs run inside those waits), and their ratio (target
// <= 1.03).
//
// Then the floor of this machine: the same unit's exchanges replayed by a
// minimal client against a fresh qvbench of the same set-up (the same
// seed, so the same devices in the same state), and the tool's time against
// the replay's (target <= 1.01). The replay speaks raw TCP and the Telnet
// COM-PORT framing only; it has nothing of the worker or of the serial
// component. It takes its sequence from the transcript the worker wrote in
// this run: each byte entry is sent, or waited for under the read time-out
// the port had then, in the transcript's order on the port its digit names.
// What the transcript does not hold is recorded on the way, without
// touching the tool: the benchmark's counting clock notes each wait the
// procedure makes, and a device layer of the benchmark's own, put in front
// of the network port backend, notes each open and close, each change of
// the line settings (the resets by DTR and RTS among them), each read
// time-out and each purge. Every note carries its place in the transcript,
// so the replay does each at the same point between the same bytes.
//
// The replay reproduces the wire: the same connections, the same bytes
// each way in the same order, the same line changes (confirmed by the
// server before it goes on, since the device's reset and the wait after it
// depend on them) and purges (confirmed, since the answer tells which
// received bytes it drops), the same deliberate waits and the same read
// time-outs. It leaves out what only the tool needs: reading and decoding
// the firmware files, the worker's reasoning between the bytes, the
// transcript, the port component's own work, the confirmation of settings
// that do not change the lines, the queries and masks the backend sends at
// open, and the reads of DSR (the polls' waits are replayed, their reads
// cost no wire time). It does not decide anything: a byte that comes back
// other than in the tool's run is counted and printed, since it means the
// two runs did not meet the same devices.
//
// A measurement, not a test: exits 0 unless the unit or its replay fails.
//
//   unit_bench
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/Firmware.h"
#include "procedure/SerThread.h"
#include "serial/rfc2217/Rfc2217Device.h"
#include "serial/rfc2217/Telnet.h"
#include "tests/benchmarks/Transcript.h"
#include "tests/rfc2217/NetSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace tn = qv::rfc2217;

constexpr double kCharUs = 1042;
constexpr double kProcessingUs = 50;
constexpr double kRadioUs = 1500;
constexpr double kTarget = 1.03;
constexpr double kReplayTarget = 1.01;
// How long the replay waits for the server's confirmations and its connection.
constexpr auto kConfirmLimit = std::chrono::seconds(2);
// A read without a total time-out: the tool would wait for ever.
constexpr uint32_t kUnlimitedReadMs = 10000;

// User and system time of this process so far.
double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  const auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

void Write(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Wire time and deliberate time-outs from the transcript: every byte sent
// is an exchange of two characters (plus the radio hop on the dongle's
// side); every byte that did not come cost the read time-out in force
// (50 ms while probing, 250 ms once a port is identified).
void Account(const std::string& log, char dongleDigit, double& wireUs, double& timeoutUs, size_t& exchanges) {
  bool probing = true;
  for (const qv::benchmarks::TEntry& entry : qv::benchmarks::Entries(log)) {
    const std::string e(entry.Text);
    if (e.rfind(">Server found", 0) == 0 || e.rfind(">Quorvantis HW", 0) == 0) probing = false;
    if (e.size() < 3 || e[0] == '>') continue;
    const size_t i = e[0] == '!' ? 1 : 0;
    if (e[i + 1] == '<') {
      ++exchanges;
      wireUs += 2 * kCharUs + kProcessingUs + (e[i] == dongleDigit ? kRadioUs : 0);
    } else if (e[i + 1] == '>' && e.substr(i + 2) == "-1") {
      timeoutUs += probing ? 50000 : 250000;
    }
  }
}

// ---- what the tool did beside its bytes ------------------------------------

// A port's line as the option carries it.
struct TLine {
  uint32_t Baud = 9600;
  uint8_t DataSize = 8;
  uint8_t Parity = tn::pyNone;
  uint8_t Stop = tn::ssOne;
  bool Dtr = true;
  bool Rts = true;
};

struct TStep {
  enum TKind { skOpen, skClose, skLine, skTimeouts, skPurge, skSleep } Kind = skSleep;
  // The transcript's length when it happened: it came after every entry
  // before that point and before every entry after it.
  size_t At = 0;
  char Digit = 0;
  std::string Name;     // skOpen: the port's address
  TLine Line;           // skLine
  uint32_t ReadMs = 0;  // skTimeouts: the limit of a one-byte read
  uint8_t What = 0;     // skPurge: tn::pgReceive, tn::pgTransmit
  uint32_t Ms = 0;      // skSleep
};

// Notes what the worker's thread does while the unit runs, placed by the
// transcript's length then.
class TRecorder {
 public:
  void Start(const std::string& log) {
    FThread = std::this_thread::get_id();
    FLog.store(&log);
  }
  void Stop() { FLog.store(nullptr); }
  void Add(TStep step) {
    const std::string* log = FLog.load();
    if (log == nullptr) return;
    if (std::this_thread::get_id() != FThread) {
      ++OffThread;
      return;
    }
    step.At = log->size();
    Steps.push_back(std::move(step));
  }
  size_t Count(TStep::TKind kind) const {
    size_t n = 0;
    for (const TStep& s : Steps) n += s.Kind == kind;
    return n;
  }

  std::vector<TStep> Steps;
  std::atomic<size_t> OffThread{0};

 private:
  std::atomic<const std::string*> FLog{nullptr};
  std::thread::id FThread;
};

// The real clock, counting and noting what the procedure asks to sleep.
class TCountingClock final : public qv::TClock {
 public:
  explicit TCountingClock(TRecorder& recorder) : FRecorder(recorder) {}
  TDuration Now() override { return qv::RealClock().Now(); }
  void Sleep(uint32_t ms) override {
    SleptMs += ms;
    TStep s;
    s.Kind = TStep::skSleep;
    s.Ms = ms;
    FRecorder.Add(s);
    qv::RealClock().Sleep(ms);
  }
  int WaitFd(int fd, short events, int64_t timeoutUs) override { return qv::RealClock().WaitFd(fd, events, timeoutUs); }
  uint64_t SleptMs = 0;

 private:
  TRecorder& FRecorder;
};

// A port's own real clock, so that the device layer knows which port opens
// it; a sleep of the port itself would be no wait of the procedure's.
class TPortClock final : public qv::TClock {
 public:
  TDuration Now() override { return qv::RealClock().Now(); }
  void Sleep(uint32_t ms) override {
    SleptMs += ms;
    qv::RealClock().Sleep(ms);
  }
  int WaitFd(int fd, short events, int64_t timeoutUs) override { return qv::RealClock().WaitFd(fd, events, timeoutUs); }
  std::atomic<uint64_t> SleptMs{0};
};

// The network port backend, with notes of what reaches the wire besides
// the bytes.
class TRecordedDevice final : public qv::TComDevice {
 public:
  TRecordedDevice(std::unique_ptr<qv::TComDevice> inner, char digit, TRecorder& recorder)
      : FInner(std::move(inner)), FDigit(digit), FRecorder(recorder) {}
  ~TRecordedDevice() override {
    FInner.reset();
    FRecorder.Add(Step(TStep::skClose));
  }

  qv::TDevStatus GetState(qv::TDCB& dcb) override { return FInner->GetState(dcb); }
  qv::TDevStatus SetState(const qv::TDCB& dcb) override {
    const qv::TDevStatus status = FInner->SetState(dcb);
    TStep s = Step(TStep::skLine);
    s.Line.Baud = dcb.BaudRate;
    s.Line.DataSize = dcb.ByteSize;
    s.Line.Parity = static_cast<uint8_t>(dcb.Parity + tn::pyNone);
    s.Line.Stop = dcb.StopBits == 0 ? tn::ssOne : dcb.StopBits == 1 ? tn::ssOneAndHalf : tn::ssTwo;
    s.Line.Dtr = (dcb.Flags & qv::dcbDtrControlMask) != qv::dcbDtrDisable;
    s.Line.Rts = (dcb.Flags & qv::dcbRtsControlMask) == qv::dcbRtsEnable;
    if (status.Ok()) FRecorder.Add(s);
    return status;
  }
  qv::TDevStatus GetTimeouts(qv::TCommTimeouts& t) override { return FInner->GetTimeouts(t); }
  qv::TDevStatus SetTimeouts(const qv::TCommTimeouts& t) override {
    TStep s = Step(TStep::skTimeouts);
    if (qv::ReadReturnsAtOnce(t))
      s.ReadMs = 0;
    else if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0)
      s.ReadMs = kUnlimitedReadMs;
    else
      s.ReadMs = t.ReadTotalTimeoutMultiplier + t.ReadTotalTimeoutConstant;
    FRecorder.Add(s);
    return FInner->SetTimeouts(t);
  }
  qv::TDevStatus SetupComm(uint32_t in, uint32_t out) override { return FInner->SetupComm(in, out); }
  qv::TDevStatus Purge(uint32_t flags) override {
    TStep s = Step(TStep::skPurge);
    if (flags & qv::PURGE_RXCLEAR) s.What |= tn::pgReceive;
    if (flags & qv::PURGE_TXCLEAR) s.What |= tn::pgTransmit;
    const qv::TDevStatus status = FInner->Purge(flags);
    if (s.What != 0) FRecorder.Add(s);
    return status;
  }
  qv::TDevStatus ClearError(uint32_t& errors, uint32_t& inQueue) override {
    return FInner->ClearError(errors, inQueue);
  }
  qv::TDevStatus ClearLineErrors(uint32_t& errors) override { return FInner->ClearLineErrors(errors); }
  qv::TDevStatus GetModemStatus(uint32_t& status) override { return FInner->GetModemStatus(status); }
  qv::TDevStatus SetEventMask(uint32_t mask) override { return FInner->SetEventMask(mask); }
  qv::TDevStatus StartRead(qv::TOverlapped& ov) override { return FInner->StartRead(ov); }
  qv::TDevStatus StartWrite(qv::TOverlapped& ov) override { return FInner->StartWrite(ov); }
  qv::TDevStatus GetOverlappedResult(qv::TOverlapped& ov, uint32_t& transferred) override {
    return FInner->GetOverlappedResult(ov, transferred);
  }
  qv::TDevStatus WaitCommEvent(uint32_t& mask, qv::TOverlapped& ov) override { return FInner->WaitCommEvent(mask, ov); }

 private:
  TStep Step(TStep::TKind kind) const {
    TStep s;
    s.Kind = kind;
    s.Digit = FDigit;
    return s;
  }
  std::unique_ptr<qv::TComDevice> FInner;
  char FDigit;
  TRecorder& FRecorder;
};

// ---- the replay: raw TCP and the Telnet framing ------------------------------

class TReplayPort final : public tn::TTelnetSink {
 public:
  ~TReplayPort() override {
    if (FFd >= 0) ::close(FFd);
  }

  bool Connect(const std::string& url) {
    const std::string scheme = "rfc2217://";
    const size_t colon = url.rfind(':');
    if (url.rfind(scheme, 0) != 0 || colon == std::string::npos) return false;
    const std::string host = url.substr(scheme.size(), colon - scheme.size());
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), url.substr(colon + 1).c_str(), &hints, &list) != 0) return false;
    for (addrinfo* a = list; a != nullptr && FFd < 0; a = a->ai_next) {
      FFd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
      if (FFd >= 0 && ::connect(FFd, a->ai_addr, a->ai_addrlen) != 0) {
        ::close(FFd);
        FFd = -1;
      }
    }
    ::freeaddrinfo(list);
    if (FFd < 0) return false;
    int one = 1;
    ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string out;
    FTelnet.Start(out);
    Send(out);
    const auto deadline = Clock::now() + kConfirmLimit;
    while (FTelnet.PortAgreement() == tn::paPending)
      if (!Take(deadline)) return false;
    return FTelnet.PortAgreement() == tn::paAgreed;
  }

  // Only what differs from the line as it is; a change of DTR or RTS is
  // waited for, as the device reacts to it.
  bool SetLine(const TLine& line) {
    std::string out;
    if (line.Baud != 0 && line.Baud != FLine.Baud) tn::AppendPortCommand32(out, tn::cpSetBaudRate, line.Baud);
    if (line.DataSize != FLine.DataSize) tn::AppendPortCommand(out, tn::cpSetDataSize, line.DataSize);
    if (line.Parity != FLine.Parity) tn::AppendPortCommand(out, tn::cpSetParity, line.Parity);
    if (line.Stop != FLine.Stop) tn::AppendPortCommand(out, tn::cpSetStopSize, line.Stop);
    if (line.Dtr != FLine.Dtr) {
      tn::AppendPortCommand(out, tn::cpSetControl, line.Dtr ? tn::ctDtrOn : tn::ctDtrOff);
      ++FLinesAwaited;
    }
    if (line.Rts != FLine.Rts) {
      tn::AppendPortCommand(out, tn::cpSetControl, line.Rts ? tn::ctRtsOn : tn::ctRtsOff);
      ++FLinesAwaited;
    }
    const uint32_t baud = line.Baud != 0 ? line.Baud : FLine.Baud;
    FLine = line;
    FLine.Baud = baud;
    if (out.empty()) return true;
    Send(out);
    return Await(FLinesAwaited);
  }

  bool Purge(uint8_t what) {
    if (what & tn::pgReceive) FRx.clear(), FRxHead = 0;
    std::string out;
    tn::AppendPortCommand(out, tn::cpPurgeData, what);
    ++FPurgesAwaited;
    Send(out);
    return Await(FPurgesAwaited);
  }

  void SendByte(uint8_t b) {
    std::string out;
    tn::AppendData(out, &b, 1);
    Send(out);
  }

  // One byte as the worker reads it: none at once when two or more wait
  // (the exchange is out of step), else the first to come within the read
  // time-out.
  int ReadByte() {
    if (FRx.size() - FRxHead >= 2) return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ReadMs);
    while (FRxHead == FRx.size())
      if (!Take(deadline) || Clock::now() >= deadline) break;
    if (FRxHead == FRx.size()) return -1;
    const auto b = static_cast<uint8_t>(FRx[FRxHead++]);
    if (FRxHead == FRx.size()) FRx.clear(), FRxHead = 0;
    return b;
  }

  void OnData(const uint8_t* data, size_t n) override { FRx.append(reinterpret_cast<const char*>(data), n); }
  void OnPortCommand(uint8_t command, const uint8_t* value, size_t n) override {
    if (command == tn::kServerCode + tn::cpSetControl && n > 0) {
      const tn::TControlGroup group = tn::ControlGroup(value[0]);
      if (group == tn::cgDtr || group == tn::cgRts) --FLinesAwaited;
    } else if (command == tn::kServerCode + tn::cpPurgeData) {
      // What came before the answer left the server before the purge.
      if (n > 0 && (value[0] & tn::pgReceive)) FRx.clear(), FRxHead = 0;
      --FPurgesAwaited;
    }
  }

  uint32_t ReadMs = 50;

 private:
  void Send(const std::string& wire) {
    size_t sent = 0;
    while (sent < wire.size()) {
      const ssize_t n = ::send(FFd, wire.data() + sent, wire.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  bool Await(int& awaited) {
    const auto deadline = Clock::now() + kConfirmLimit;
    while (awaited > 0)
      if (!Take(deadline) || Clock::now() >= deadline) return false;
    awaited = 0;
    return true;
  }

  // One wait for the socket until the deadline, then whatever has come;
  // false once the connection has ended.
  bool Take(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
    timespec limit{static_cast<time_t>(left > 0 ? left / 1000000000 : 0),
                   static_cast<long>(left > 0 ? left % 1000000000 : 0)};
    pollfd p{FFd, POLLIN, 0};
    const int ready = ::ppoll(&p, 1, &limit, nullptr);
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    uint8_t buf[4096];
    const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    std::string out;
    FTelnet.Feed(buf, static_cast<size_t>(n), *this, out);
    if (!out.empty()) Send(out);
    return true;
  }

  int FFd = -1;
  tn::TTelnet FTelnet{tn::trClient};
  std::string FRx;
  size_t FRxHead = 0;
  TLine FLine;
  int FLinesAwaited = 0;
  int FPurgesAwaited = 0;
};

struct TReplay {
  bool Ok = true;
  std::string Failure;
  double Seconds = 0, Cpu = 0;
  size_t Sent = 0, Read = 0, Differ = 0, Missing = 0, Extra = 0;
};

// The unit again from its transcript and the notes; urls maps the tool's
// port addresses to the replay bench's.
TReplay Replay(const std::string& log, const std::vector<TStep>& steps,
               const std::map<std::string, std::string>& urls) {
  TReplay r;
  std::map<char, std::unique_ptr<TReplayPort>> ports;
  auto port = [&](char digit) -> TReplayPort* {
    const auto it = ports.find(digit);
    return it == ports.end() ? nullptr : it->second.get();
  };
  auto fail = [&](const std::string& why) {
    if (r.Ok) r.Failure = why;
    r.Ok = false;
  };
  size_t next = 0;
  auto runSteps = [&](size_t upTo) {
    for (; r.Ok && next < steps.size() && steps[next].At <= upTo; ++next) {
      const TStep& s = steps[next];
      TReplayPort* p = port(s.Digit);
      switch (s.Kind) {
        case TStep::skOpen: {
          auto fresh = std::make_unique<TReplayPort>();
          const auto url = urls.find(s.Name);
          if (url == urls.end() || !fresh->Connect(url->second)) fail("cannot connect for " + s.Name);
          ports[s.Digit] = std::move(fresh);
          break;
        }
        case TStep::skClose:
          ports.erase(s.Digit);
          break;
        case TStep::skLine:
          if (p != nullptr && !p->SetLine(s.Line)) fail("a line change went unconfirmed");
          break;
        case TStep::skTimeouts:
          if (p != nullptr) p->ReadMs = s.ReadMs;
          break;
        case TStep::skPurge:
          if (p != nullptr && !p->Purge(s.What)) fail("a purge went unconfirmed");
          break;
        case TStep::skSleep:
          std::this_thread::sleep_for(std::chrono::milliseconds(s.Ms));
          break;
      }
    }
  };

  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  for (const qv::benchmarks::TEntry& entry : qv::benchmarks::Entries(log)) {
    runSteps(entry.At);
    if (!r.Ok) break;
    const std::string e(entry.Text);
    // Byte entries only: "1<128", "!2<5", "2>-1"; message lines start with '>'.
    const size_t i = !e.empty() && e[0] == '!' ? 1 : 0;
    if (e.size() < i + 3 || (e[i] != '1' && e[i] != '2') || (e[i + 1] != '<' && e[i + 1] != '>')) continue;
    const int value = std::atoi(e.c_str() + i + 2);
    TReplayPort* p = port(e[i]);
    if (e[i + 1] == '<') {
      if (i == 0 && p != nullptr) p->SendByte(static_cast<uint8_t>(value));
      ++r.Sent;
      continue;
    }
    ++r.Read;
    const int got = p != nullptr ? p->ReadByte() : -1;
    if (got == value) continue;
    if (value < 0)
      ++r.Extra;
    else if (got < 0)
      ++r.Missing;
    else
      ++r.Differ;
  }
  runSteps(log.size());
  r.Seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.Cpu = CpuSeconds() - cpu0;
  return r;
}

}  // namespace

int main() {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "qv-unit-bench";
  std::filesystem::create_directories(dir);
  for (const auto& [file, bytes] : bench::StandardFiles()) Write(dir / file, bytes);

  const std::vector<std::string> benchArgs = {"--units", "1"};
  qv::test::TBench bench(benchArgs);
  if (!bench.Child.Started() || bench.Ports.size() < 2) {
    std::fprintf(stderr, "qvbench did not start\n");
    return 1;
  }
  TRecorder recorder;
  qv::TComPort dongleSide(nullptr);
  qv::TComPort serverSide(nullptr);
  serverSide.Tag = 1;
  TPortClock dongleClock, serverClock;
  dongleSide.SetClock(dongleClock);
  serverSide.SetClock(serverClock);
  qv::RegisterComDeviceScheme(qv::kRfc2217Scheme,
                              [&](const std::string& name, qv::TClock& clock, std::unique_ptr<qv::TComDevice>& device) {
                                std::unique_ptr<qv::TComDevice> inner;
                                const qv::TDevStatus status = qv::TRfc2217Device::Open(name, clock, inner);
                                if (!status.Ok()) return status;
                                const char digit = qv::PortDigit(&clock == &serverClock ? serverSide : dongleSide);
                                TStep s;
                                s.Kind = TStep::skOpen;
                                s.Digit = digit;
                                s.Name = name;
                                recorder.Add(s);
                                device = std::make_unique<TRecordedDevice>(std::move(inner), digit, recorder);
                                return status;
                              });

  qv::THeadlessMain main({&dongleSide, &serverSide});
  main.ProgramDir = dir.string() + "/";
  const std::vector<std::string> items = {"Auto detect", bench.Url(0), bench.Url(1)};
  main.Combos[qv::ciCOM1] = {items, 0, "Auto detect"};
  main.Combos[qv::ciCOM2] = {items, 0, "Auto detect"};
  main.Combos[qv::ciFile1].Text = (dir / "qvmodem.qpf").string();
  main.Combos[qv::ciFile2].Text = (dir / "qvhandheld.qpf").string();
  TCountingClock clock(recorder);
  qv::TSerThread worker(true, main, clock);

  recorder.Start(worker.LogText);
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  worker.ReadFirmwareFiles();
  worker.DetectPorts();
  worker.InitDevice(*main.Ports.SerIF2, false);
  worker.InitDevice(*main.Ports.SerIF1, true);
  worker.DecodeFirmware();
  worker.RunFineTuning();
  worker.UpdateHandheldFirmware();
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = CpuSeconds() - cpu0;
  recorder.Stop();
  const bool ok = worker.Outcome == qv::ocNone;
  worker.ClosePorts();
  qv::UnregisterComDeviceScheme(qv::kRfc2217Scheme);
  qv::RegisterComDeviceScheme(qv::kRfc2217Scheme, qv::OpenRfc2217Device);

  double wireUs = 0, timeoutUs = 0;
  size_t exchanges = 0;
  Account(worker.LogText, qv::PortDigit(*main.Ports.SerIF1), wireUs, timeoutUs, exchanges);
  const double accounted = (wireUs + timeoutUs) / 1e6 + static_cast<double>(clock.SleptMs) / 1e3;
  std::printf(
      "whole unit %s: %zu exchanges; elapsed %.2f s; accounted %.2f s (wire %.2f s, read time-outs %.2f s, "
      "prescribed waits %.2f s); ratio %.4f (target <= %.2f)\n",
      ok ? "ok" : "FAILED", exchanges, elapsed, accounted, wireUs / 1e6, timeoutUs / 1e6,
      static_cast<double>(clock.SleptMs) / 1e3, elapsed / accounted, kTarget);
  std::fflush(stdout);
  if (!ok) std::fprintf(stderr, "%s\n", worker.LogText.c_str());

  bool replayed = false;
  if (ok) {
    bench.Child.CloseInput();
    bench.Child.Wait(10000);
    qv::test::TBench again(benchArgs);
    std::map<std::string, std::string> urls;
    for (size_t i = 0; i < bench.Ports.size() && i < again.Ports.size(); ++i) urls[bench.Url(i)] = again.Url(i);
    const TReplay r = Replay(worker.LogText, recorder.Steps, urls);
    replayed = r.Ok && r.Differ + r.Missing + r.Extra == 0;
    std::printf(
        "replay by a minimal client %s: %zu bytes sent, %zu read (%zu other, %zu missing, %zu where the tool "
        "had none); %zu opens, %zu line settings, %zu purges, %zu waits; elapsed %.2f s; tool against replay "
        "%.4f (target <= %.2f); CPU time: tool %.2f s, replay %.2f s\n",
        r.Ok ? (replayed ? "ok" : "DIVERGED") : ("FAILED: " + r.Failure).c_str(), r.Sent, r.Read, r.Differ, r.Missing,
        r.Extra, recorder.Count(TStep::skOpen), recorder.Count(TStep::skLine), recorder.Count(TStep::skPurge),
        recorder.Count(TStep::skSleep), r.Seconds, elapsed / r.Seconds, kReplayTarget, cpu, r.Cpu);
    if (recorder.OffThread > 0 || dongleClock.SleptMs + serverClock.SleptMs > 0)
      std::printf("  not replayed: %zu port calls off the worker's thread, %llu ms slept by the ports themselves\n",
                  recorder.OffThread.load(),
                  static_cast<unsigned long long>(dongleClock.SleptMs + serverClock.SleptMs));
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok && replayed ? 0 : 1;
}
