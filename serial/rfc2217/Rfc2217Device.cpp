#include "serial/rfc2217/Rfc2217Device.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace qv {

using namespace rfc2217;

namespace {

constexpr size_t kRecvChunk = 16384;
// Consumed buffer space is given back once it is this large.
constexpr size_t kCompactAt = 65536;
// How long a socket found empty is taken to be still empty before a write.
constexpr TClock::TDuration kFreshLook{1000};

// The modem state and the lines the port is told about. The four "changed"
// bits are asked for too: ser2net sends a modem-state change only when one
// of them is in the mask, so that with the state bits alone DSR would keep
// its state at open for ever.
constexpr uint8_t kModemMask = mlDeltaCts | mlDeltaDsr | mlRiTrailingEdge | mlDeltaDcd | mlCts | mlDsr | mlRi | mlDcd;
constexpr uint8_t kLineMask = lsOverrun | lsParity | lsFraming | lsBreak;

// The one mapping of the socket's errno values onto the portable kinds. A
// connection that has ended is a lost device whatever the socket says
// (Lose).
TComErrorKind SocketKind(int code) {
  switch (code) {
    case ECONNREFUSED:  // nothing listens at the address
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EADDRNOTAVAIL:
      return ekNotFound;
    case ETIMEDOUT:
      return ekTimeout;
    case EACCES:
    case EPERM:
      return ekAccessDenied;
    case EBUSY:
      return ekBusy;
    case EIO:
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
    case ENETRESET:
    case ENETDOWN:
      return ekDeviceLost;
    case EBADF:
      return ekNotOpen;
    case EINVAL:
      return ekUnsupported;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
      return ekNoResources;
    default:
      return ekOther;
  }
}

TDevStatus Errno(int code) {
  return {code, TrimSystemMessage(std::strerror(code)), SocketKind(code)};
}

// The backend's own failures, where the server's answers (or their absence)
// are what failed: no system call did, so their code is 0.
enum TOwnFailure { ofBadName, ofNoConfirmation, ofNoLineControl, ofNoPortControl, ofRefused };

TDevStatus Failure(TOwnFailure failure) {
  struct TEntry {
    const char* Text;
    TComErrorKind Kind;
  };
  static constexpr TEntry kFailures[] = {
      {"Not a network port name", ekNotFound},
      {"The port server did not confirm the request", ekTimeout},
      {"The port server did not confirm the change of DTR or RTS", ekTimeout},
      {"The server does not offer port control", ekProtocol},
      // It answered with the value it has: its port cannot take this one.
      {"The port server refused the setting", ekUnsupported},
  };
  return {0, kFailures[failure].Text, kFailures[failure].Kind};
}

// ser2net leaves Nagle's algorithm on: of the answers to one batch of
// requests it sends the first at once and holds the rest until that is
// acknowledged, which our delayed acknowledgement puts off by 40 ms or more.
// While answers are awaited every segment is acknowledged at once instead;
// the kernel drops back to delayed acknowledgements by itself, hence set
// before every wait.
void QuickAck(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

int64_t Us(uint32_t ms) {
  return static_cast<int64_t>(ms) * 1000;
}

uint8_t ParityCode(uint8_t dcbParity) {
  return static_cast<uint8_t>(dcbParity + pyNone);  // none, odd, even, mark, space in both
}

uint8_t DcbParity(uint8_t code) {
  return code >= pyNone && code <= pySpace ? static_cast<uint8_t>(code - pyNone) : 0;
}

uint8_t StopCode(uint8_t dcbStopBits) {
  return dcbStopBits == 0 ? ssOne : dcbStopBits == 1 ? ssOneAndHalf : ssTwo;
}

uint8_t DcbStopBits(uint8_t code) {
  return code == ssOneAndHalf ? 1 : code == ssTwo ? 2 : 0;
}

uint32_t Field(const TDCB& d, uint32_t mask) {
  return d.Flags & mask;
}

void SetField(TDCB& d, uint32_t mask, uint32_t value) {
  d.Flags = (d.Flags & ~mask) | value;
}

uint8_t OutFlowOf(const TDCB& d) {
  if (d.Flags & dcbOutxCtsFlow) return ctFlowHardware;
  if (d.Flags & dcbOutX) return ctFlowXonXoff;
  return ctFlowNone;
}

uint8_t InFlowOf(const TDCB& d) {
  if (Field(d, dcbRtsControlMask) == dcbRtsHandshake) return ctInFlowHardware;
  if (d.Flags & dcbInX) return ctInFlowXonXoff;
  return ctInFlowNone;
}

}  // namespace

// ---- name and scheme ---------------------------------------------------------

bool ParseRfc2217Name(const std::string& name, std::string& host, std::string& port) {
  const std::string scheme = kRfc2217Scheme;
  if (name.compare(0, scheme.size(), scheme) != 0) return false;
  const std::string rest = name.substr(scheme.size());
  size_t colon;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return false;
    host = rest.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = rest.rfind(':');
    if (colon == std::string::npos) return false;
    host = rest.substr(0, colon);
    if (host.find(':') != std::string::npos) return false;
  }
  port = rest.substr(colon + 1);
  if (host.empty() || port.empty() || port.size() > 5) return false;
  if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  const long number = std::stol(port);
  return number >= 1 && number <= 65535;
}

TDevStatus OpenRfc2217Device(const std::string& name, TClock& clock, std::unique_ptr<TComDevice>& device) {
  return TRfc2217Device::Open(name, clock, device);
}

// ---- the parser's sink -------------------------------------------------------

class TRfc2217Device::TSink final : public TTelnetSink {
 public:
  explicit TSink(TRfc2217Device& device) : FDevice(device) {}
  void OnData(const uint8_t* data, size_t n) override { FDevice.OnData(data, n); }
  void OnPortCommand(uint8_t command, const uint8_t* value, size_t n) override {
    FDevice.OnPortCommand(command, value, n);
  }
  // Protocol faults need no action: the parser has already dropped what was
  // broken and goes on with what follows.

 private:
  TRfc2217Device& FDevice;
};

// ---- open ----------------------------------------------------------------------

TRfc2217Device::TRfc2217Device(int fd, TClock& clock, const TRfc2217Options& options)
    : FFd(fd), FClock(clock), FOptions(options), FSink(std::make_unique<TSink>(*this)), FRecvBuffer(kRecvChunk) {
  FShadow.Flags = dcbBinary | dcbDtrEnable | dcbRtsEnable;
}

TRfc2217Device::~TRfc2217Device() {
  if (FFd >= 0) ::close(FFd);
  if (FWakeReader >= 0) ::close(FWakeReader);
  if (FWakeMonitor >= 0) ::close(FWakeMonitor);
}

TDevStatus TRfc2217Device::Open(const std::string& name, TClock& clock, std::unique_ptr<TComDevice>& device,
                                const TRfc2217Options& options) {
  std::string host, port;
  if (!ParseRfc2217Name(name, host, port)) return Failure(ofBadName);
  std::unique_ptr<TRfc2217Device> dev(new TRfc2217Device(-1, clock, options));
  TDevStatus status = dev->Connect(host, port);
  if (!status.Ok()) return status;
  // Whoever takes from the socket (the reader, the event monitor, a query
  // of the lines from the main thread) wakes whoever else waits on it, from
  // the first wait on: a reader that waited on the socket alone could sleep
  // through bytes another thread took in meanwhile.
  dev->FWakeReader = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (dev->FWakeReader < 0) return Errno(errno);
  dev->FWakeMonitor = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (dev->FWakeMonitor < 0) return Errno(errno);
  {
    std::lock_guard<std::mutex> lock(dev->FMutex);
    status = dev->Negotiate();
  }
  if (!status.Ok()) return status;
  device = std::move(dev);
  return {};
}

TDevStatus TRfc2217Device::Connect(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
  if (rc != 0) {
    if (rc == EAI_SYSTEM) return Errno(errno);
    return {EHOSTUNREACH, TrimSystemMessage(::gai_strerror(rc)), SocketKind(EHOSTUNREACH)};
  }
  const TClock::TDuration deadline = FClock.Now() + TClock::TDuration(Us(FOptions.ConnectTimeoutMs));
  TDevStatus status = Errno(EHOSTUNREACH);
  for (addrinfo* a = list; a; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      status = Errno(errno);
      continue;
    }
    int err = 0;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS) {
        err = 0;
        for (;;) {
          const int64_t left = (deadline - FClock.Now()).count();
          const int ready = FClock.WaitFd(fd, POLLOUT, left < 0 ? 0 : left);
          if (ready < 0 && errno == EINTR) continue;
          if (ready < 0) {
            err = errno;
          } else if (ready == 0) {
            err = ETIMEDOUT;
          } else {
            socklen_t len = sizeof err;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
          }
          break;
        }
      }
    }
    if (err != 0) {
      ::close(fd);
      status = Errno(err);
      continue;
    }
    // One byte a round trip is the whole traffic: nothing may wait for more.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    FFd = fd;
    status = {};
    break;
  }
  ::freeaddrinfo(list);
  return status;
}

TDevStatus TRfc2217Device::Negotiate() {
  FTelnet.Start(FOut);
  const TClock::TDuration deadline = FClock.Now() + TClock::TDuration(Us(FOptions.ConfirmTimeoutMs));
  while (FTelnet.PortAgreement() == paPending) {
    Flush();
    // A server that ends a fresh connection at once (closed, or reset as
    // it drops our unread requests) has its port taken by another client.
    if (!FLost.Ok()) return Errno(EBUSY);
    const int64_t left = (deadline - FClock.Now()).count();
    if (left <= 0) return Failure(ofNoConfirmation);
    QuickAck(FFd);
    int ready = 0;
    TDevStatus status = Wait(0, left, ready);
    if (!status.Ok()) return status;
  }
  if (FTelnet.PortAgreement() == paRefused) return Failure(ofNoPortControl);
  // Servers exist that leave the line queries and the masks unanswered
  // (the line state then stays as assumed, DTR and RTS on as a port's open
  // leaves them). Those go first and are not waited for: a server answers
  // in order, so whatever answer they get has come once the settings'
  // answers after them have.
  Request(cpSetControl, ctRequestDtr, false);
  Request(cpSetControl, ctRequestRts, false);
  Request(cpSetModemStateMask, kModemMask, false);
  Request(cpSetLineStateMask, kLineMask, false);
  // The port's settings as they are, so that Default values keep them.
  Request32(cpSetBaudRate, kRequestCurrent);
  Request(cpSetDataSize, kRequestCurrent);
  Request(cpSetParity, kRequestCurrent);
  Request(cpSetStopSize, kRequestCurrent);
  Request(cpSetControl, ctRequestFlow);
  TDevStatus status = AwaitAnswers();
  // An unanswered one must not take the answer of a later request.
  FAwaited.clear();
  if (!status.Ok()) return FLost.Ok() ? status : Errno(EBUSY);
  FShadow.BaudRate = FConfirmed.Baud;
  FShadow.ByteSize = FConfirmed.DataSize;
  FShadow.Parity = DcbParity(FConfirmed.Parity);
  FShadow.StopBits = DcbStopBits(FConfirmed.StopSize);
  return {};
}

// ---- port commands -----------------------------------------------------------

void TRfc2217Device::Request(uint8_t command, uint8_t value, bool required) {
  AppendPortCommand(FOut, command, value);
  FAwaited.push_back({command, command == cpSetControl ? ControlGroup(value) : cgUnknown, required});
}

void TRfc2217Device::Request32(uint8_t command, uint32_t value) {
  AppendPortCommand32(FOut, command, value);
  FAwaited.push_back({command, cgUnknown, true});
}

TDevStatus TRfc2217Device::AwaitAnswers() {
  const TClock::TDuration deadline = FClock.Now() + TClock::TDuration(Us(FOptions.ConfirmTimeoutMs));
  for (;;) {
    Flush();
    if (!FLost.Ok()) {
      FAwaited.clear();
      return FLost;
    }
    if (std::none_of(FAwaited.begin(), FAwaited.end(), [](const TRequest& r) { return r.Required; })) return {};
    const int64_t left = (deadline - FClock.Now()).count();
    if (left <= 0) {
      const bool linesOnly = std::all_of(FAwaited.begin(), FAwaited.end(), [](const TRequest& r) {
        return !r.Required || (r.Command == cpSetControl && (r.Group == cgDtr || r.Group == cgRts));
      });
      // Answers that come late update the settings without matching.
      FAwaited.clear();
      return Failure(linesOnly ? ofNoLineControl : ofNoConfirmation);
    }
    QuickAck(FFd);
    int ready = 0;
    TDevStatus status = Wait(0, left, ready);
    if (!status.Ok()) {
      FAwaited.clear();
      return status;
    }
  }
}

void TRfc2217Device::OnPortCommand(uint8_t command, const uint8_t* value, size_t n) {
  const auto code = static_cast<uint8_t>(command - kServerCode);
  const uint8_t v = n > 0 ? value[0] : 0;
  const TControlGroup group = code == cpSetControl ? ControlGroup(v) : cgUnknown;
  auto match = std::find_if(FAwaited.begin(), FAwaited.end(),
                            [&](const TRequest& r) { return r.Command == code && r.Group == group; });
  if (match != FAwaited.end()) {
    // A server answers in order: requests before this one that were not
    // waited for and are still unanswered never will be. Dropping them keeps
    // the list short on a server that leaves every line request unanswered;
    // keeping them until then lets a late answer find its own request.
    auto end = std::remove_if(FAwaited.begin(), match, [](const TRequest& r) { return !r.Required; });
    FAwaited.erase(end, match + 1);
  }
  switch (code) {
    case cpSetBaudRate:
      if (const uint32_t baud = Be32(value); baud != 0) FConfirmed.Baud = baud;
      break;
    case cpSetDataSize:
      if (v >= 5 && v <= 8) FConfirmed.DataSize = v;
      break;
    case cpSetParity:
      if (v >= pyNone && v <= pySpace) FConfirmed.Parity = v;
      break;
    case cpSetStopSize:
      if (v >= ssOne && v <= ssOneAndHalf) FConfirmed.StopSize = v;
      break;
    case cpSetControl:
      switch (group) {
        case cgOutboundFlow:
          if (v != ctRequestFlow) FConfirmed.OutFlow = v;
          break;
        case cgInboundFlow:
          if (v != ctRequestInFlow) FConfirmed.InFlow = v;
          break;
        case cgDtr:
          if (v != ctRequestDtr) {
            FConfirmed.Dtr = v;
            FDtrAsked.Shown = true;
          }
          break;
        case cgRts:
          if (v != ctRequestRts) {
            FConfirmed.Rts = v;
            FRtsAsked.Shown = true;
          }
          break;
        default:
          break;
      }
      break;
    case cpNotifyLineState:
      if (v & lsOverrun) FLineErrors |= CE_OVERRUN;
      if (v & lsParity) FLineErrors |= CE_RXPARITY;
      if (v & lsFraming) FLineErrors |= CE_FRAME;
      if (v & lsBreak) FLineErrors |= CE_BREAK;
      if (v & (lsOverrun | lsParity | lsFraming)) Notice(EV_ERR);
      if (v & lsBreak) Notice(EV_BREAK);
      break;
    case cpNotifyModemState: {
      // A change shows as a line that differs from the last state, or as
      // a server's delta bit (a line that went and came back between two
      // notifications). The first state is where the lines start.
      const uint8_t changed = FModemKnown ? static_cast<uint8_t>(FModemState ^ v) : 0;
      if ((changed & mlCts) || (v & mlDeltaCts)) Notice(EV_CTS);
      if ((changed & mlDsr) || (v & mlDeltaDsr)) Notice(EV_DSR);
      if ((changed & mlDcd) || (v & mlDeltaDcd)) Notice(EV_RLSD);
      if ((changed & v & mlRi) || (v & mlRiTrailingEdge)) Notice(EV_RING);
      FModemState = v;
      FModemKnown = true;
      break;
    }
    case cpPurgeData:
      // What came before the answer left the server's buffer before the purge.
      if (v & pgReceive) {
        FRx.clear();
        FRxHead = 0;
      }
      break;
    default:
      break;
  }
}

void TRfc2217Device::OnData(const uint8_t* data, size_t n) {
  if (FRxHead >= kCompactAt) {
    FRx.erase(FRx.begin(), FRx.begin() + static_cast<std::ptrdiff_t>(FRxHead));
    FRxHead = 0;
  }
  FRx.insert(FRx.end(), data, data + n);
  if (FEventMask == 0 || n == 0) return;
  Notice(EV_RXCHAR);
  if ((FEventMask & EV_RXFLAG) && std::memchr(data, static_cast<unsigned char>(FShadow.EvtChar), n)) Notice(EV_RXFLAG);
  const uint64_t waiting = FRx.size() - FRxHead;
  if (FInQueueSize != 0 && waiting * 5 >= uint64_t{FInQueueSize} * 4) Notice(EV_RX80FULL);
}

void TRfc2217Device::Notice(uint32_t event) {
  // Only what the mask asks for counts, as with a driver.
  FEvents |= event & FEventMask;
}

void TRfc2217Device::WakeWaiters() {
  // Only a thread inside Wait (counted under the lock before it let go)
  // or the monitor's event wait can be asleep on the socket; a lone reader
  // pays no system call for this.
  if (FSocketWaits > 0) Signal(FWakeReader);
  if (FEventWait) Signal(FWakeMonitor);
}

void TRfc2217Device::Signal(int fd) {
  if (fd < 0) return;
  const uint64_t one = 1;
  static_cast<void>(::write(fd, &one, sizeof one));
}

void TRfc2217Device::Consume(int fd) {
  uint64_t count = 0;
  static_cast<void>(::read(fd, &count, sizeof count));
}

// ---- socket --------------------------------------------------------------------

TDevStatus TRfc2217Device::Lose(TDevStatus status) {
  if (FLost.Ok()) {
    FLost = std::move(status);
    FLost.Kind = ekDeviceLost;
  }
  return FLost;
}

TDevStatus TRfc2217Device::Flush() {
  while (FLost.Ok() && FOutHead < FOut.size()) {
    const ssize_t w = ::send(FFd, FOut.data() + FOutHead, FOut.size() - FOutHead, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      FOutHead += static_cast<size_t>(w);
      FSent += static_cast<uint64_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    Lose(Errno(w < 0 ? errno : EIO));
  }
  if (FOutHead == FOut.size()) {
    FOut.clear();
    FOutHead = 0;
  } else if (FOutHead >= kCompactAt) {
    FOut.erase(0, FOutHead);
    FOutHead = 0;
  }
  TrackWrite();
  return FLost;
}

TDevStatus TRfc2217Device::Drain() {
  while (FLost.Ok()) {
    const ssize_t r = ::recv(FFd, FRecvBuffer.data(), FRecvBuffer.size(), MSG_DONTWAIT);
    if (r > 0) {
      FTelnet.Feed(FRecvBuffer.data(), static_cast<size_t>(r), *FSink, FOut);
      // Whoever else waits on the socket would not see what was taken.
      WakeWaiters();
      // A short read has emptied the socket.
      if (static_cast<size_t>(r) < FRecvBuffer.size()) {
        FEmptiedAt = FClock.Now();
        break;
      }
      continue;
    }
    if (r == 0) {
      Lose(Errno(EIO));
      break;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      FEmptiedAt = FClock.Now();
      break;
    }
    Lose(Errno(errno));
  }
  if (!FLost.Ok()) WakeWaiters();
  // Answers the negotiation owes the server.
  if (FOutHead < FOut.size()) Flush();
  return FLost;
}

TDevStatus TRfc2217Device::Wait(short events, int64_t timeoutUs, int& ready) {
  short ask = static_cast<short>(POLLIN | events);
  if (FOutHead < FOut.size()) ask = static_cast<short>(ask | POLLOUT);
  // The caller holds the lock; the event monitor's thread works on the
  // device meanwhile.
  ++FSocketWaits;
  FMutex.unlock();
  int e = 0;
  for (;;) {
    ready = WaitOrWake(ask, timeoutUs);
    if (ready >= 0 || errno != EINTR) break;
  }
  if (ready < 0) e = errno;
  FMutex.lock();
  --FSocketWaits;
  if (ready < 0) return Errno(e);
  if (ready & POLLNVAL) {
    Lose(Errno(EBADF));
    return {};
  }
  if (ready & (POLLIN | POLLHUP | POLLERR)) Drain();
  if (ready & POLLOUT) Flush();
  return {};
}

int TRfc2217Device::WaitOrWake(short ask, int64_t timeoutUs) {
  // Another thread (the event monitor above all) may take from the socket
  // what this wait is for, even in the moment between the caller's unlock
  // and the poll: it says so on the reader's wake, which stays set until
  // consumed. A socket cannot be waited on in virtual time in any case, so
  // this wait is in real time.
  const int wake = FWakeReader;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeoutUs);
  for (;;) {
    int ms = -1;
    if (timeoutUs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
      ms = left.count() <= 0 ? 0 : static_cast<int>(std::min<int64_t>((left.count() + 999) / 1000, INT_MAX));
    }
    pollfd fds[2] = {{FFd, ask, 0}, {wake, POLLIN, 0}};
    const int r = ::poll(fds, 2, ms);
    if (r < 0) return -1;
    if (fds[1].revents) {
      Consume(wake);
      // Looked at as if the socket had been readable: the caller takes in
      // what there is and checks what the monitor left.
      return fds[0].revents | POLLIN;
    }
    if (r > 0) return fds[0].revents;
    if (timeoutUs >= 0 && std::chrono::steady_clock::now() >= deadline) return 0;
  }
}

// ---- line settings -------------------------------------------------------------

TDevStatus TRfc2217Device::GetState(TDCB& dcb) {
  std::lock_guard<std::mutex> lock(FMutex);
  if (!FLost.Ok()) return FLost;
  dcb = FShadow;
  dcb.BaudRate = FConfirmed.Baud;
  dcb.ByteSize = FConfirmed.DataSize;
  dcb.Parity = DcbParity(FConfirmed.Parity);
  dcb.StopBits = DcbStopBits(FConfirmed.StopSize);
  dcb.Flags &= ~(dcbOutxCtsFlow | dcbOutX | dcbInX);
  if (FConfirmed.OutFlow == ctFlowHardware) dcb.Flags |= dcbOutxCtsFlow;
  if (FConfirmed.OutFlow == ctFlowXonXoff) dcb.Flags |= dcbOutX;
  if (FConfirmed.InFlow == ctInFlowXonXoff) dcb.Flags |= dcbInX;
  if (Field(dcb, dcbDtrControlMask) != dcbDtrHandshake)
    SetField(dcb, dcbDtrControlMask, FConfirmed.Dtr == ctDtrOff ? dcbDtrDisable : dcbDtrEnable);
  if (FConfirmed.InFlow == ctInFlowHardware)
    SetField(dcb, dcbRtsControlMask, dcbRtsHandshake);
  else if (Field(dcb, dcbRtsControlMask) != dcbRtsToggle)
    SetField(dcb, dcbRtsControlMask, FConfirmed.Rts == ctRtsOff ? dcbRtsDisable : dcbRtsEnable);
  return {};
}

TDevStatus TRfc2217Device::SetState(const TDCB& dcb) {
  std::lock_guard<std::mutex> lock(FMutex);
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2) return Errno(EINVAL);
  if (!FLost.Ok()) return FLost;
  const uint8_t parity = ParityCode(dcb.Parity);
  const uint8_t stop = StopCode(dcb.StopBits);
  const uint8_t outFlow = OutFlowOf(dcb);
  const uint8_t inFlow = InFlowOf(dcb);
  // Without a DTR handshake on the wire the line stays on, as on a terminal.
  const uint8_t dtr = Field(dcb, dcbDtrControlMask) == dcbDtrDisable ? ctDtrOff : ctDtrOn;
  // RTS under handshake belongs to the inbound flow control; toggling is
  // off while nothing is sent.
  const uint32_t rtsField = Field(dcb, dcbRtsControlMask);
  const bool sendRts = rtsField != dcbRtsHandshake;
  const uint8_t rts = rtsField == dcbRtsEnable ? ctRtsOn : ctRtsOff;
  // Inbound flow control is sent only when it changes: servers that know
  // nothing of it then never meet it.
  const bool sendInFlow = inFlow != FConfirmed.InFlow;

  Request32(cpSetBaudRate, dcb.BaudRate);  // 0 keeps the rate: it only asks for it
  Request(cpSetDataSize, dcb.ByteSize);
  Request(cpSetParity, parity);
  Request(cpSetStopSize, stop);
  Request(cpSetControl, outFlow);
  if (sendInFlow) Request(cpSetControl, inFlow);
  // Servers exist that cannot drive DTR and RTS (ser2net in front of a
  // device without those lines): they confirm every other setting at once,
  // answer the line queries at open with the query itself and never answer
  // a line request. On such a server the open's update does not wait for
  // the lines, so that the port still serves data and settings; a line left
  // unconfirmed reads as last confirmed. A later change of a line may be
  // what the device needs (the dongle's reset pulse), so it must be
  // confirmed on every server or the update fails: the port never reports a
  // line change that did not happen. A line sent again unchanged with other
  // settings is not waited for.
  auto awaited = [](const TLineAsked& line, uint8_t value) {
    return line.Value != 0 ? value != line.Value : line.Shown;
  };
  const bool dtrChanges = awaited(FDtrAsked, dtr);
  const bool rtsChanges = sendRts && awaited(FRtsAsked, rts);
  Request(cpSetControl, dtr, dtrChanges);
  if (sendRts) Request(cpSetControl, rts, rtsChanges);
  TDevStatus status = AwaitAnswers();
  if (!status.Ok()) return status;

  const bool taken = (dcb.BaudRate == 0 || FConfirmed.Baud == dcb.BaudRate) && FConfirmed.DataSize == dcb.ByteSize &&
                     FConfirmed.Parity == parity && FConfirmed.StopSize == stop && FConfirmed.OutFlow == outFlow &&
                     (!sendInFlow || FConfirmed.InFlow == inFlow) && (!dtrChanges || FConfirmed.Dtr == dtr) &&
                     (!rtsChanges || FConfirmed.Rts == rts);
  if (!taken) return Failure(ofRefused);
  FShadow = dcb;
  FDtrAsked.Value = dtr;
  if (sendRts) FRtsAsked.Value = rts;
  return {};
}

TDevStatus TRfc2217Device::GetTimeouts(TCommTimeouts& t) {
  std::lock_guard<std::mutex> lock(FMutex);
  t = FTimeouts;
  return {};
}

TDevStatus TRfc2217Device::SetTimeouts(const TCommTimeouts& t) {
  std::lock_guard<std::mutex> lock(FMutex);
  FTimeouts = t;
  return {};
}

TDevStatus TRfc2217Device::SetupComm(uint32_t inQueue, uint32_t outQueue) {
  std::lock_guard<std::mutex> lock(FMutex);
  // The server sizes its buffers itself; the recommendation is only kept.
  FInQueueSize = inQueue;
  FOutQueueSize = outQueue;
  return {};
}

TDevStatus TRfc2217Device::SetEventMask(uint32_t mask) {
  std::lock_guard<std::mutex> lock(FMutex);
  FEventMask = mask;
  FEvents = 0;
  ++FMaskChanges;
  Signal(FWakeMonitor);
  return {};
}

TDevStatus TRfc2217Device::WaitCommEvent(uint32_t& eventMask, TOverlapped& ov) {
  std::lock_guard<std::mutex> lock(FMutex);
  FEventWait = &ov;
  FEventWord = &eventMask;
  FWaitMaskChanges = FMaskChanges;
  ov.InProgress = false;
  if (FEventMask == 0) {
    eventMask = 0;
    if (ov.Event) ov.Event->Set();
    return {};
  }
  ov.InProgress = true;
  if (ov.Event) ov.Event->Reset();
  return {};
}

TDevStatus TRfc2217Device::FinishEventWait(TOverlapped& ov) {
  for (;;) {
    if (FMaskChanges != FWaitMaskChanges) {
      *FEventWord = 0;
      EndOperation(ov, FEventWait);
      return {};
    }
    if (FEvents != 0) {
      *FEventWord = FEvents;
      FEvents = 0;
      EndOperation(ov, FEventWait);
      return {};
    }
    if (!FLost.Ok()) {
      EndOperation(ov, FEventWait);
      return FLost;
    }
    FMutex.unlock();
    pollfd fds[2] = {{FFd, POLLIN, 0}, {FWakeMonitor, POLLIN, 0}};
    const int r = ::poll(fds, 2, -1);
    const int e = errno;
    FMutex.lock();
    if (r < 0) {
      if (e == EINTR) continue;
      EndOperation(ov, FEventWait);
      return Errno(e);
    }
    if (fds[1].revents) Consume(FWakeMonitor);
    if (fds[0].revents & POLLNVAL) Lose(Errno(EBADF));
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) Drain();
  }
}

// ---- queues and lines ----------------------------------------------------------

void TRfc2217Device::EndOperation(TOverlapped& ov, TOverlapped*& current) {
  ov.InProgress = false;
  if (ov.Event) ov.Event->Set();
  if (current == &ov) current = nullptr;
}

TDevStatus TRfc2217Device::Purge(uint32_t flags) {
  std::lock_guard<std::mutex> lock(FMutex);
  if ((flags & PURGE_RXABORT) && FRead) EndOperation(*FRead, FRead);
  if ((flags & (PURGE_TXABORT | PURGE_TXCLEAR)) && FWrite) {
    CutWrite();
    EndOperation(*FWrite, FWrite);
  }
  uint8_t what = 0;
  if (flags & PURGE_RXCLEAR) what |= pgReceive;
  if (flags & PURGE_TXCLEAR) what |= pgTransmit;
  if (what == 0) return {};
  if (!FLost.Ok()) return FLost;
  if (what & pgReceive) {
    FRx.clear();
    FRxHead = 0;
  }
  Request(cpPurgeData, what);
  return AwaitAnswers();
}

TDevStatus TRfc2217Device::ClearError(uint32_t& errors, uint32_t& inQueue) {
  std::lock_guard<std::mutex> lock(FMutex);
  Drain();
  if (!FLost.Ok()) return FLost;
  errors = FLineErrors;
  FLineErrors = 0;
  inQueue = static_cast<uint32_t>(FRx.size() - FRxHead);
  return {};
}

TDevStatus TRfc2217Device::ClearLineErrors(uint32_t& errors) {
  std::lock_guard<std::mutex> lock(FMutex);
  // Checked around every read and write: only what has come already counts,
  // at no system call.
  errors = FLineErrors;
  FLineErrors = 0;
  return {};
}

TDevStatus TRfc2217Device::GetModemStatus(uint32_t& status) {
  std::lock_guard<std::mutex> lock(FMutex);
  Drain();
  if (!FLost.Ok()) return FLost;
  status = 0;
  if (FModemState & mlCts) status |= MS_CTS_ON;
  if (FModemState & mlDsr) status |= MS_DSR_ON;
  if (FModemState & mlRi) status |= MS_RING_ON;
  if (FModemState & mlDcd) status |= MS_RLSD_ON;
  return {};
}

// ---- reading -------------------------------------------------------------------

void TRfc2217Device::CopyOut(TOverlapped& ov) {
  bool took = false;
  while (FRxHead < FRx.size() && ov.Transferred < ov.Length) {
    const size_t n = std::min<size_t>(FRx.size() - FRxHead, ov.Length - ov.Transferred);
    uint8_t* at = ov.Buffer + ov.Transferred;
    std::memcpy(at, FRx.data() + FRxHead, n);
    FRxHead += n;
    took = true;
    uint8_t* end = at + n;
    if (FShadow.Flags & dcbNull) end = std::remove(at, end, uint8_t{0});
    ov.Transferred += static_cast<uint32_t>(end - at);
  }
  if (FRxHead == FRx.size()) {
    FRx.clear();
    FRxHead = 0;
  }
  if (took) ov.LastByte = FClock.Now();
}

TDevStatus TRfc2217Device::StartRead(TOverlapped& ov) {
  std::lock_guard<std::mutex> lock(FMutex);
  ov.Started = FClock.Now();
  ov.Transferred = 0;
  ov.InProgress = true;
  FRead = &ov;
  // A read that returns at once: an interval of MAXDWORD with no totals.
  const bool atOnce = ReadReturnsAtOnce(FTimeouts);
  // When the caller waits next, the wait takes in the socket; now only what
  // has come already is looked at.
  if (!ov.WaitFollows || atOnce) Drain();
  CopyOut(ov);
  if (ov.Transferred >= ov.Length || atOnce) {
    EndOperation(ov, FRead);
    return {};
  }
  if (!FLost.Ok()) {
    EndOperation(ov, FRead);
    return FLost;
  }
  if (ov.Event) ov.Event->Reset();
  return {};
}

TDevStatus TRfc2217Device::FinishRead(TOverlapped& ov) {
  for (;;) {
    CopyOut(ov);
    if (ov.Transferred >= ov.Length) {
      EndOperation(ov, FRead);
      return {};
    }
    if (!FLost.Ok()) {
      EndOperation(ov, FRead);
      return FLost;
    }
    // Past the deadline the wait still looks once, without blocking.
    int ready = 0;
    TDevStatus status = Wait(0, ReadDeadline(FTimeouts, ov).WaitUs(FClock.Now()), ready);
    if (!status.Ok()) {
      EndOperation(ov, FRead);
      return status;
    }
    if (ready == 0) {
      EndOperation(ov, FRead);
      return {};
    }
  }
}

// ---- writing -------------------------------------------------------------------

TDevStatus TRfc2217Device::StartWrite(TOverlapped& ov) {
  std::lock_guard<std::mutex> lock(FMutex);
  ov.Started = FClock.Now();
  ov.Transferred = 0;
  ov.Length = static_cast<uint32_t>(ov.Data.size());
  ov.InProgress = true;
  // A connection that ended while nothing was read shows here, so that a
  // write fails at once as on a hung-up terminal. Not when a look found the
  // socket empty just before (the read of a stop-and-wait exchange): there
  // it would be one system call per exchange more than a plain socket loop
  // makes, and an end in that moment fails the read that follows instead.
  if (FEmptiedAt + kFreshLook < ov.Started) Drain();
  if (!FLost.Ok()) {
    EndOperation(ov, FWrite);
    return FLost;
  }
  FWrite = &ov;
  const size_t before = FOut.size();
  FWriteStart = FSent + (before - FOutHead);
  AppendData(FOut, ov.Data.data(), ov.Data.size());
  FWriteEnd = FWriteStart + (FOut.size() - before);
  FWriteHasIac = FOut.size() - before != ov.Data.size();
  Flush();  // ends the operation once all of it is in the socket
  if (!ov.InProgress) return {};
  if (!FLost.Ok()) {
    EndOperation(ov, FWrite);
    return FLost;
  }
  if (ov.Event) ov.Event->Reset();
  return {};
}

void TRfc2217Device::TrackWrite() {
  if (!FWrite) return;
  TOverlapped& ov = *FWrite;
  if (FSent >= FWriteEnd) {
    ov.Transferred = ov.Length;
    EndOperation(ov, FWrite);
    // All of it has left for the server: the port's output queue is empty.
    Notice(EV_TXEMPTY);
    if (FEvents & EV_TXEMPTY) Signal(FWakeMonitor);
    return;
  }
  if (FSent <= FWriteStart) {
    ov.Transferred = 0;
    return;
  }
  if (!FWriteHasIac) {
    ov.Transferred = static_cast<uint32_t>(FSent - FWriteStart);
    return;
  }
  uint64_t wire = FWriteStart;
  uint32_t count = 0;
  for (uint8_t b : ov.Data) {
    const uint64_t next = wire + (b == tnIAC ? 2 : 1);
    if (next > FSent) break;
    wire = next;
    ++count;
  }
  ov.Transferred = count;
}

void TRfc2217Device::CutWrite() {
  if (!FWrite) return;
  TrackWrite();
  if (!FWrite) return;
  TOverlapped& ov = *FWrite;
  uint64_t cut = FWriteStart;
  for (uint32_t i = 0; i < ov.Transferred; ++i) cut += ov.Data[i] == tnIAC ? 2 : 1;
  // Half of a doubled IAC has left: the other half must follow it.
  if (FSent > cut) {
    cut += 2;
    ++ov.Transferred;
  }
  const size_t from = FOutHead + static_cast<size_t>(cut - FSent);
  FOut.erase(from, static_cast<size_t>(FWriteEnd - cut));
  FWriteEnd = cut;
}

TDevStatus TRfc2217Device::FinishWrite(TOverlapped& ov) {
  const TDeadline deadline = WriteDeadline(FTimeouts, ov);
  for (;;) {
    Flush();
    if (!ov.InProgress) return {};
    if (!FLost.Ok()) {
      EndOperation(ov, FWrite);
      return FLost;
    }
    const TClock::TDuration now = FClock.Now();
    if (deadline.Passed(now)) {
      CutWrite();
      EndOperation(ov, FWrite);
      return {};
    }
    int ready = 0;
    TDevStatus status = Wait(POLLOUT, deadline.WaitUs(now), ready);
    if (!status.Ok()) {
      EndOperation(ov, FWrite);
      return status;
    }
  }
}

TDevStatus TRfc2217Device::GetOverlappedResult(TOverlapped& ov, uint32_t& transferred) {
  std::lock_guard<std::mutex> lock(FMutex);
  TDevStatus status;
  if (ov.InProgress) {
    if (&ov == FEventWait)
      status = FinishEventWait(ov);
    else if (&ov == FRead)
      status = FinishRead(ov);
    else if (&ov == FWrite)
      status = FinishWrite(ov);
    else
      ov.InProgress = false;  // not an operation of this device: nothing to wait for
  }
  transferred = ov.Transferred;
  if (ov.Event) ov.Event->Set();
  return status;
}

}  // namespace qv
