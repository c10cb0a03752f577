#include "bench/inproc/InProcDevice.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "serial/VirtualClock.h"

namespace qv {

namespace {

// With a real clock a wait without anything in sight still looks again
// this often, for an unplug or a line changed by another thread.
constexpr int64_t kRealPollUs = 10000;

using bench::TTime;

// The bench port fails with the errno values a terminal would give, and
// with their kinds.
TDevStatus ErrorStatus(int code) {
  TComErrorKind kind = ekOther;
  switch (code) {
    case EIO:  // unplugged while open
      kind = ekDeviceLost;
      break;
    case ENOENT:
      kind = ekNotFound;
      break;
    case EBUSY:
      kind = ekBusy;
      break;
    // A frame no line carries; a wait without limit, in virtual time, for
    // what can never come.
    case EINVAL:
    case EDEADLK:
      kind = ekUnsupported;
      break;
  }
  return {code, TrimSystemMessage(std::strerror(code)), kind};
}

struct TPortState {
  // Plugged as the nth port: ports on one clock are brought up to date in
  // this order.
  uint64_t Order = 0;
  std::mutex Mutex;
  // Told whenever the device may have changed: the clock moved, a test
  // reached into the model, the mask changed, the device was unplugged.
  std::condition_variable Changed;
  std::shared_ptr<bench::TDevice> Device;  // null once unplugged
  TClock* Clock = nullptr;
  bool Open = false;
};

class TInProcDevice;

// The open ports of one virtual clock, brought up to date whenever it
// moves, in the order they were plugged: a device plugged before another
// has received every byte due by a time before the other acts at that time.
// A station's server looks at the air only once its dongle has put its own
// packets there. The clock's listener holds the group; the lock is held
// through a round, so a port that leaves waits for the round in progress.
struct TClockPorts {
  std::recursive_mutex Mutex;
  std::map<uint64_t, TInProcDevice*> Ports;
  void Moved(TTime now);
};

struct TRegistry {
  std::mutex Mutex;
  std::map<std::string, std::shared_ptr<TPortState>> Ports;
  std::map<const TVirtualClock*, std::weak_ptr<TClockPorts>> Clocks;
  uint64_t Plugged = 0;
  std::once_flag Registered;
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

std::string StripScheme(const std::string& name) {
  const std::string scheme = TBenchPorts::Scheme;
  return name.compare(0, scheme.size(), scheme) == 0 ? name.substr(scheme.size()) : name;
}

std::shared_ptr<TPortState> Find(const std::string& name) {
  TRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.Mutex);
  const auto it = r.Ports.find(StripScheme(name));
  return it == r.Ports.end() ? nullptr : it->second;
}

TTime NowOf(TClock& clock) {
  return clock.Now().count();
}

bool ValidFormat(const TDCB& d) {
  if (d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > 4 || d.StopBits > 2) return false;
  if (d.StopBits == 1 && d.ByteSize != 5) return false;
  if (d.StopBits == 2 && d.ByteSize == 5) return false;
  return true;
}

// Microseconds of one character at the control block's format; stop bits
// are counted in halves for the one and a half of five-bit frames.
TTime CharTime(const TDCB& d) {
  if (d.BaudRate == 0) return 0;
  const int halfBits = 2 * (1 + d.ByteSize + (d.Parity == 0 ? 0 : 1)) + 2 + d.StopBits;
  return (static_cast<TTime>(halfBits) * 1000000 + d.BaudRate) / (2 * static_cast<TTime>(d.BaudRate));
}

bool DtrOn(const TDCB& d) {
  return (d.Flags & dcbDtrControlMask) != dcbDtrDisable;
}

constexpr uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

uint32_t LinesOf(const bench::TDevice& d, TTime now) {
  uint32_t lines = 0;
  if (d.Cts(now)) lines |= MS_CTS_ON;
  if (d.Dsr(now)) lines |= MS_DSR_ON;
  if (d.Ring(now)) lines |= MS_RING_ON;
  if (d.Dcd(now)) lines |= MS_RLSD_ON;
  return lines;
}

bool RtsOn(const TDCB& d) {
  const uint32_t rts = d.Flags & dcbRtsControlMask;
  // Toggle raises RTS only while sending; between bytes it is down.
  return rts == dcbRtsEnable || rts == dcbRtsHandshake;
}

class TInProcDevice final : public TComDevice {
 public:
  TInProcDevice(std::shared_ptr<TPortState> port, TClock& clock)
      : FPort(std::move(port)), FClock(clock), FVirtual(dynamic_cast<TVirtualClock*>(&clock)) {
    FShadow.BaudRate = 9600;
    FShadow.ByteSize = 8;
    FShadow.Flags = dcbBinary | dcbDtrEnable | dcbRtsEnable;
    {
      std::lock_guard<std::mutex> lock(FPort->Mutex);
      const TTime now = NowOf(FClock);
      if (FPort->Device) {
        // Opening a terminal raises DTR and RTS, as a real port does.
        FPort->Device->SetFormat(FShadow.BaudRate, FShadow.ByteSize, 'N', 1, now);
        FPort->Device->SetLines(true, true, now);
      }
    }
    if (FVirtual) JoinClock();
  }

  ~TInProcDevice() override {
    if (FClockPorts) {
      std::lock_guard<std::recursive_mutex> lock(FClockPorts->Mutex);
      FClockPorts->Ports.erase(FPort->Order);
    }
    std::lock_guard<std::mutex> lock(FPort->Mutex);
    if (FPort->Device) {
      const TTime now = NowOf(FClock);
      // What has left the port by now arrives; the rest is discarded with
      // the handle. Closing drops both lines.
      Pump(now);
      FPort->Device->SetLines(false, false, now);
    }
    FPort->Open = false;
  }

  TDevStatus GetState(TDCB& dcb) override {
    std::lock_guard<std::mutex> lock(FPort->Mutex);
    if (!FPort->Device) return ErrorStatus(EIO);
    dcb = FShadow;
    return {};
  }

  TDevStatus SetState(const TDCB& dcb) override {
    if (!ValidFormat(dcb)) return ErrorStatus(EINVAL);
    std::lock_guard<std::mutex> lock(FPort->Mutex);
    if (!FPort->Device) return ErrorStatus(EIO);
    TDCB next = dcb;
    if (next.BaudRate == 0) next.BaudRate = FShadow.BaudRate;
    const TTime now = NowOf(FClock);
    Pump(now);
    static constexpr char kParities[] = {'N', 'O', 'E', 'M', 'S'};
    if (next.BaudRate != FShadow.BaudRate || next.ByteSize != FShadow.ByteSize || next.Parity != FShadow.Parity ||
        next.StopBits != FShadow.StopBits)
      FPort->Device->SetFormat(next.BaudRate, next.ByteSize, kParities[next.Parity], next.StopBits == 0 ? 1 : 2, now);
    if (DtrOn(next) != DtrOn(FShadow) || RtsOn(next) != RtsOn(FShadow))
      FPort->Device->SetLines(DtrOn(next), RtsOn(next), now);
    FShadow = next;
    // A device may answer the PC's lines with its own at once.
    if (FEventMask != 0) FPort->Changed.notify_all();
    return {};
  }

  TDevStatus GetTimeouts(TCommTimeouts& t) override {
    t = FTimeouts;
    return {};
  }

  TDevStatus SetTimeouts(const TCommTimeouts& t) override {
    FTimeouts = t;
    return {};
  }

  TDevStatus SetupComm(uint32_t inQueue, uint32_t) override {
    std::lock_guard<std::mutex> lock(FPort->Mutex);
    FInQueueSize = inQueue;
    return {};
  }

  TDevStatus Purge(uint32_t flags) override {
    if ((flags & PURGE_RXABORT) && FRead) EndOperation(*FRead, FRead);
    if ((flags & PURGE_TXABORT) && FWrite) EndOperation(*FWrite, FWrite);
    std::lock_guard<std::mutex> lock(FPort->Mutex);
    const TTime now = NowOf(FClock);
    if (flags & PURGE_RXCLEAR) {
      // Only what the device has finished sending by now; a byte still on
      // the line arrives after the purge.
      Pump(now);
      FRx.clear();
    }
    if (flags & PURGE_TXCLEAR) {
      while (!FTx.empty() && FTx.back().Start > now) FTx.pop_back();
      FTxFree = FTx.empty() ? now : FTx.back().End;
    }
    return {};
  }

  TDevStatus ClearError(uint32_t& errors, uint32_t& inQueue) override {
    errors = 0;
    std::lock_guard<std::mutex> lock(FPort->Mutex);
    if (!FPort->Device) return ErrorStatus(EIO);
    Pump(NowOf(FClock));
    inQueue = static_cast<uint32_t>(FRx.size());
    return {};
  }

  TDevStatus ClearLineErrors(uint32_t& errors) override {
    // The models' lines carry no framing or parity errors to count.
    errors = 0;
    return {};
  }

  TDevStatus GetModemStatus(uint32_t& status) override {
    std::lock_guard<std::mutex> lock(FPort->Mutex);
    if (!FPort->Device) return ErrorStatus(EIO);
    const TTime now = NowOf(FClock);
    Pump(now);
    status = LinesOf(*FPort->Device, now);
    return {};
  }

  TDevStatus SetEventMask(uint32_t mask) override {
    std::lock_guard<std::mutex> lock(FPort->Mutex);
    FEventMask = mask;
    FEvents = 0;
    ++FMaskChanges;
    // Line changes count from here on.
    if (FPort->Device) FLines = LinesOf(*FPort->Device, NowOf(FClock));
    FPort->Changed.notify_all();
    return {};
  }

  TDevStatus StartRead(TOverlapped& ov) override {
    ov.Started = FClock.Now();
    ov.Transferred = 0;
    ov.InProgress = true;
    FRead = &ov;
    const bool atOnce = ReadReturnsAtOnce(FTimeouts);
    if (ov.WaitFollows && !atOnce) {
      if (ov.Event) ov.Event->Reset();
      return {};
    }
    TDevStatus status;
    {
      std::lock_guard<std::mutex> lock(FPort->Mutex);
      status = TakeInput(ov, NowOf(FClock));
    }
    if (!status.Ok() || ov.Transferred >= ov.Length || atOnce)
      EndOperation(ov, FRead);
    else if (ov.Event)
      ov.Event->Reset();
    return status;
  }

  TDevStatus StartWrite(TOverlapped& ov) override {
    ov.Started = FClock.Now();
    ov.Transferred = 0;
    ov.Length = static_cast<uint32_t>(ov.Data.size());
    ov.InProgress = true;
    FWrite = &ov;
    TDevStatus status;
    {
      std::lock_guard<std::mutex> lock(FPort->Mutex);
      if (!FPort->Device) {
        status = ErrorStatus(EIO);
      } else {
        const TTime now = NowOf(FClock);
        const TTime each = CharTime(FShadow);
        // The output queue takes everything at once; the bytes then leave
        // one after the other at the line rate.
        for (uint8_t b : ov.Data) {
          const TTime start = std::max(now, FTxFree);
          FTxFree = start + each;
          FTx.push_back({b, start, FTxFree});
        }
        ov.Transferred = ov.Length;
      }
    }
    EndOperation(ov, FWrite);
    return status;
  }

  TDevStatus GetOverlappedResult(TOverlapped& ov, uint32_t& transferred) override {
    TDevStatus status;
    if (ov.InProgress) {
      bool eventWait = false;
      {
        std::lock_guard<std::mutex> lock(FPort->Mutex);
        eventWait = &ov == FEventWait;
      }
      if (eventWait)
        status = FinishEventWait(ov);
      else if (&ov == FRead)
        status = FinishRead(ov);
      else if (&ov == FWrite)
        EndOperation(ov, FWrite);  // writes end when they start
      else
        ov.InProgress = false;
    }
    transferred = ov.Transferred;
    if (ov.Event) ov.Event->Set();
    return status;
  }

  // The monitor's wait never moves the clock: it waits (in real time) for
  // whoever moves it, and with the real clock looks again at least every
  // 10 ms for the lines.
  TDevStatus WaitCommEvent(uint32_t& eventMask, TOverlapped& ov) override {
    std::lock_guard<std::mutex> lock(FPort->Mutex);
    FEventWait = &ov;
    FEventWord = &eventMask;
    FWaitMaskChanges = FMaskChanges;
    ov.InProgress = FEventMask != 0;
    if (!ov.InProgress) eventMask = 0;
    if (ov.Event) {
      if (ov.InProgress)
        ov.Event->Reset();
      else
        ov.Event->Set();
    }
    return {};
  }

  void ClockMoved(TTime now) {
    std::lock_guard<std::mutex> lock(FPort->Mutex);
    Pump(now);
    if (FEventMask != 0) FPort->Changed.notify_all();
  }

 private:
  struct TTx {
    uint8_t Byte;
    TTime Start, End;
  };

  // Brings the device up to now: the bytes whose transmission has ended
  // reach it, in order, then its finished answers join the input queue.
  // What the mask asks for is noted on the way. Called with the port's
  // lock held.
  void Pump(TTime now) {
    bench::TDevice* d = FPort->Device.get();
    if (!d) return;
    bool sent = false;
    while (!FTx.empty() && FTx.front().End <= now) {
      d->Receive(FTx.front().Byte, FTx.front().End);
      FTx.pop_front();
      sent = true;
    }
    if (sent && FTx.empty()) Notice(EV_TXEMPTY);
    const std::string in = d->Transmit(now);
    for (char c : in) FRx.push_back(static_cast<uint8_t>(c));
    if (!in.empty()) {
      Notice(EV_RXCHAR);
      if (in.find(FShadow.EvtChar) != std::string::npos) Notice(EV_RXFLAG);
      if (FInQueueSize != 0 && uint64_t{FRx.size()} * 5 >= uint64_t{FInQueueSize} * 4) Notice(EV_RX80FULL);
    }
    if (FEventMask & kLineEvents) {
      const uint32_t lines = LinesOf(*d, now);
      const uint32_t changed = lines ^ FLines;
      if (changed & MS_CTS_ON) Notice(EV_CTS);
      if (changed & MS_DSR_ON) Notice(EV_DSR);
      if (changed & MS_RLSD_ON) Notice(EV_RLSD);
      if (changed & lines & MS_RING_ON) Notice(EV_RING);
      FLines = lines;
    }
  }

  void Notice(uint32_t event) { FEvents |= event & FEventMask; }

  void JoinClock() {
    TRegistry& r = Registry();
    bool fresh = false;
    {
      std::lock_guard<std::mutex> lock(r.Mutex);
      for (auto it = r.Clocks.begin(); it != r.Clocks.end();) it = it->second.expired() ? r.Clocks.erase(it) : ++it;
      FClockPorts = r.Clocks[FVirtual].lock();
      if (!FClockPorts) {
        FClockPorts = std::make_shared<TClockPorts>();
        r.Clocks[FVirtual] = FClockPorts;
        fresh = true;
      }
    }
    {
      std::lock_guard<std::recursive_mutex> lock(FClockPorts->Mutex);
      FClockPorts->Ports[FPort->Order] = this;
    }
    // Outside the registry's lock: a round in progress may wait long on a
    // shared radio channel, and other ports must open meanwhile.
    if (fresh)
      FVirtual->AddListener(FClockPorts.get(),
                            [group = FClockPorts](TClock::TDuration now) { group->Moved(now.count()); });
  }

  TDevStatus FinishEventWait(TOverlapped& ov) {
    std::unique_lock<std::mutex> lock(FPort->Mutex);
    for (;;) {
      if (FMaskChanges != FWaitMaskChanges) {
        *FEventWord = 0;
        EndOperation(ov, FEventWait);
        return {};
      }
      if (!FPort->Device) {
        EndOperation(ov, FEventWait);
        return ErrorStatus(EIO);
      }
      const TTime now = NowOf(FClock);
      Pump(now);
      if (FEvents != 0) {
        *FEventWord = FEvents;
        FEvents = 0;
        EndOperation(ov, FEventWait);
        return {};
      }
      if (FVirtual) {
        FPort->Changed.wait(lock);
        continue;
      }
      TTime next = -1;
      if (!FTx.empty()) next = FTx.front().End;
      const TTime output = FPort->Device->NextOutput();
      if (output >= 0 && (next < 0 || output < next)) next = output;
      const TTime wait = next < 0 ? kRealPollUs : std::clamp<TTime>(next - now, 0, kRealPollUs);
      FPort->Changed.wait_for(lock, std::chrono::microseconds(wait));
    }
  }

  TDevStatus TakeInput(TOverlapped& ov, TTime now) {
    if (!FPort->Device) return ErrorStatus(EIO);
    Pump(now);
    bool moved = false;
    while (ov.Transferred < ov.Length && !FRx.empty()) {
      const uint8_t b = FRx.front();
      FRx.pop_front();
      moved = true;
      if (b == 0 && (FShadow.Flags & dcbNull)) continue;
      ov.Buffer[ov.Transferred++] = b;
    }
    if (moved) ov.LastByte = TClock::TDuration(now);
    return {};
  }

  TDevStatus FinishRead(TOverlapped& ov) {
    for (;;) {
      TTime next = -1;
      {
        std::lock_guard<std::mutex> lock(FPort->Mutex);
        const TTime now = NowOf(FClock);
        TDevStatus status = TakeInput(ov, now);
        if (!status.Ok() || ov.Transferred >= ov.Length) {
          EndOperation(ov, FRead);
          return status;
        }
        const TDeadline deadline = ReadDeadline(FTimeouts, ov);
        if (deadline.Passed(TClock::TDuration(now))) {
          EndOperation(ov, FRead);
          return {};
        }
        auto consider = [&next](TTime t) {
          if (t >= 0 && (next < 0 || t < next)) next = t;
        };
        if (!FTx.empty()) consider(FTx.front().End);
        consider(FPort->Device->NextOutput());
        if (deadline.Limited) consider(deadline.At.count());
        if (next < 0 && FVirtual) {
          // Nothing can ever arrive and nothing limits the wait: in virtual
          // time that wait would never end.
          EndOperation(ov, FRead);
          return ErrorStatus(EDEADLK);
        }
      }
      WaitUntil(next);
    }
  }

  void WaitUntil(TTime t) {
    if (FVirtual) {
      FVirtual->AdvanceTo(TClock::TDuration(t));
      return;
    }
    TTime wait = t < 0 ? kRealPollUs : t - NowOf(FClock);
    wait = std::min(wait, kRealPollUs);
    if (wait > 0) std::this_thread::sleep_for(std::chrono::microseconds(wait));
  }

  void EndOperation(TOverlapped& ov, TOverlapped*& current) {
    ov.InProgress = false;
    if (ov.Event) ov.Event->Set();
    if (current == &ov) current = nullptr;
  }

  std::shared_ptr<TPortState> FPort;
  TClock& FClock;
  TVirtualClock* FVirtual;
  std::shared_ptr<TClockPorts> FClockPorts;
  TCommTimeouts FTimeouts;
  TDCB FShadow;
  std::deque<uint8_t> FRx;
  std::deque<TTx> FTx;
  TTime FTxFree = 0;
  // The event wait's state, under the port's lock.
  uint32_t FEventMask = 0;
  uint32_t FEvents = 0;
  unsigned FMaskChanges = 0;
  unsigned FWaitMaskChanges = 0;
  uint32_t FLines = 0;
  uint32_t FInQueueSize = 0;
  TOverlapped* FEventWait = nullptr;
  uint32_t* FEventWord = nullptr;
  TOverlapped* FRead = nullptr;
  TOverlapped* FWrite = nullptr;
};

void TClockPorts::Moved(TTime now) {
  std::lock_guard<std::recursive_mutex> lock(Mutex);
  for (const auto& [order, port] : Ports) port->ClockMoved(now);
}

}  // namespace

std::string TBenchPorts::Url(const std::string& name) {
  return Scheme + StripScheme(name);
}

void TBenchPorts::Plug(const std::string& name, std::shared_ptr<bench::TDevice> device, TClock& clock) {
  TRegistry& r = Registry();
  std::call_once(r.Registered, [] { RegisterComDeviceScheme(Scheme, OpenBenchDevice); });
  Unplug(name);
  auto state = std::make_shared<TPortState>();
  state->Device = std::move(device);
  state->Clock = &clock;
  std::lock_guard<std::mutex> lock(r.Mutex);
  state->Order = r.Plugged++;
  r.Ports[StripScheme(name)] = std::move(state);
}

void TBenchPorts::Unplug(const std::string& name) {
  std::shared_ptr<TPortState> state;
  {
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.Mutex);
    const auto it = r.Ports.find(StripScheme(name));
    if (it == r.Ports.end()) return;
    state = it->second;
    r.Ports.erase(it);
  }
  std::lock_guard<std::mutex> lock(state->Mutex);
  state->Device.reset();
  state->Changed.notify_all();
}

void TBenchPorts::UnplugAll() {
  for (const std::string& name : Names()) Unplug(name);
}

bool TBenchPorts::IsPlugged(const std::string& name) {
  return Find(name) != nullptr;
}

bool TBenchPorts::IsOpen(const std::string& name) {
  const std::shared_ptr<TPortState> state = Find(name);
  if (!state) return false;
  std::lock_guard<std::mutex> lock(state->Mutex);
  return state->Open;
}

std::vector<std::string> TBenchPorts::Names() {
  TRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.Mutex);
  std::vector<std::string> names;
  for (const auto& entry : r.Ports) names.push_back(entry.first);
  return names;
}

bool TBenchPorts::Access(const std::string& name, const std::function<void(bench::TDevice&, bench::TTime now)>& fn) {
  const std::shared_ptr<TPortState> state = Find(name);
  if (!state) return false;
  std::lock_guard<std::mutex> lock(state->Mutex);
  if (!state->Device) return false;
  fn(*state->Device, NowOf(*state->Clock));
  state->Changed.notify_all();
  return true;
}

TDevStatus OpenBenchDevice(const std::string& url, TClock&, std::unique_ptr<TComDevice>& device) {
  const std::shared_ptr<TPortState> state = Find(url);
  if (!state) return ErrorStatus(ENOENT);
  {
    std::lock_guard<std::mutex> lock(state->Mutex);
    if (!state->Device) return ErrorStatus(ENOENT);
    if (state->Open) return ErrorStatus(EBUSY);
    state->Open = true;
  }
  device = std::make_unique<TInProcDevice>(state, *state->Clock);
  return {};
}

}  // namespace qv
