#include "bench/qvbench/PortServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bench {

using namespace qv::rfc2217;

namespace {

constexpr size_t kRecvChunk = 16384;
// What a port holds for the line and for the client. Past these it stops
// reading the client, which the connection then holds up, as a serial port
// holds up its writer once its buffers are full.
constexpr size_t kLineQueueLimit = 4096;
constexpr size_t kClientQueueLimit = 65536;
// Modem lines that change on their own (a fault at a time, a job ending)
// are looked at this often while a client is connected.
constexpr TTime kModemPollUs = 10000;

char ParityChar(uint8_t code) {
  switch (code) {
    case pyOdd:
      return 'O';
    case pyEven:
      return 'E';
    case pyMark:
      return 'M';
    case pySpace:
      return 'S';
    default:
      return 'N';
  }
}

std::string Hex(uint8_t v) {
  static const char digits[] = "0123456789ABCDEF";
  return {digits[v >> 4], digits[v & 15]};
}

}  // namespace

class TPortServer::TSink final : public TTelnetSink {
 public:
  explicit TSink(TPortServer& server) : FServer(server) {}
  TTime Now = 0;
  void OnData(const uint8_t* data, size_t n) override { FServer.OnData(data, n, Now); }
  void OnPortCommand(uint8_t command, const uint8_t* value, size_t n) override {
    FServer.OnPortCommand(command, value, n, Now);
  }
  void OnError(TTelnetError error) override { FServer.Trace(std::string("protocol error: ") + TelnetErrorName(error)); }

 private:
  TPortServer& FServer;
};

TPortServer::TPortServer(std::string name, std::shared_ptr<TDevice> device, bool paced)
    : FName(std::move(name)),
      FDevice(std::move(device)),
      FPaced(paced),
      FSink(std::make_unique<TSink>(*this)),
      FRecvBuffer(kRecvChunk) {}

TPortServer::~TPortServer() {
  if (FClient >= 0) ::close(FClient);
  if (FListen >= 0) ::close(FListen);
}

std::string TPortServer::Url() const {
  return "rfc2217://127.0.0.1:" + std::to_string(FPort);
}

void TPortServer::Trace(const std::string& text) {
  if (FTrace) FTrace(FName + " " + text);
}

bool TPortServer::Listen(uint16_t port, std::string& error) {
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (FListen < 0) {
    error = std::strerror(errno);
    return false;
  }
  int one = 1;
  ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(FListen, 4) != 0) {
    error = std::strerror(errno);
    return false;
  }
  socklen_t len = sizeof addr;
  ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len);
  FPort = ntohs(addr.sin_port);
  return true;
}

size_t TPortServer::ReadRoom() const {
  if (FOut.size() - FOutHead + FHeld.size() >= kClientQueueLimit) return 0;
  if (!FPaced) return kRecvChunk;
  return FInput.size() >= kLineQueueLimit ? 0 : std::min(kRecvChunk, kLineQueueLimit - FInput.size());
}

void TPortServer::PollFds(std::vector<pollfd>& fds) const {
  fds.push_back({FListen, POLLIN, 0});
  if (FClient >= 0) {
    short events = ReadRoom() > 0 ? POLLIN : 0;
    if (FOutHead < FOut.size()) events = static_cast<short>(events | POLLOUT);
    fds.push_back({FClient, events, 0});
  }
}

void TPortServer::Handle(int fd, short revents, TTime now) {
  if (fd == FListen && (revents & POLLIN)) Accept(now);
  if (fd == FClient && FClient >= 0) {
    // A connection that is gone while the port is not reading it would
    // wake every round.
    if ((revents & (POLLHUP | POLLERR)) && ReadRoom() == 0) {
      Disconnect(now, "hang-up");
      return;
    }
    if (revents & (POLLIN | POLLHUP | POLLERR)) Receive(now);
    if (FClient >= 0 && (revents & POLLOUT)) Flush();
  }
}

// ---- connection ----------------------------------------------------------------

void TPortServer::Accept(TTime now) {
  const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  // A client that closes the port and opens it again at once: its hang-up
  // may wait in the same round as the new connection.
  if (FClient >= 0) {
    pollfd p{FClient, POLLRDHUP, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
      Receive(now);
      Disconnect(now, "hung up");
    }
  }
  if (FClient >= 0) {
    ::close(fd);
    Trace("refused a second client");
    return;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  FClient = fd;
  ResetLine(now);
  FTelnet = std::make_unique<TTelnet>(trServer);
  FAgreed = false;
  FOut.clear();
  FOutHead = 0;
  FHeld.clear();
  FSuspended = false;
  FModemMask = 0xFF;
  FLineMask = 0;
  FLastModem = ModemState(now);
  Trace("connected");
  // Opening a serial port raises both lines.
  FDtr = FRts = true;
  ApplyChanges(now);
  FTelnet->Start(FOut);
  Flush();
}

void TPortServer::Disconnect(TTime now, const char* why) {
  if (FClient < 0) return;
  ::close(FClient);
  FClient = -1;
  FTelnet.reset();
  // The queues go with their memory: a client that left them full must
  // not keep the bench big.
  FOut = std::string();
  FOutHead = 0;
  FHeld = std::string();
  // What has left the client by now reaches the device; the rest goes with
  // the connection. Closing the port drops both lines.
  while (!FInput.empty() && FInput.front().Due <= now) {
    FDevice->Receive(FInput.front().Byte, FInput.front().Due);
    FInput.pop_front();
  }
  FInput = std::deque<TInput>();
  FLineFree = now;
  // And what the device has sent by now went to a closed port.
  FDevice->Transmit(now);
  FDtr = FRts = false;
  ApplyChanges(now);
  Trace(std::string("disconnected: ") + why);
}

// Each connection starts at the port's own line settings, whatever the
// last client left behind, as a network serial server's ports do.
void TPortServer::ResetLine(TTime now) {
  const TLineFormat defaults;
  if (FBaud != defaults.Baud || FDataSize != defaults.DataSize || FParity != defaults.Parity ||
      FStopSize != defaults.StopSize)
    FFormatChanged = true;
  FBaud = defaults.Baud;
  FDataSize = defaults.DataSize;
  FParity = defaults.Parity;
  FStopSize = defaults.StopSize;
  FOutFlow = ctFlowNone;
  FInFlow = ctInFlowNone;
  FBreak = false;
  FLineFree = now;
}

void TPortServer::Receive(TTime now) {
  FSink->Now = now;
  // Data bytes never outnumber the bytes received, and an unpaced device's
  // answers reach the client queue only at the next service: the room is
  // taken once.
  size_t room = ReadRoom();
  while (FClient >= 0 && room > 0) {
    const ssize_t r = ::recv(FClient, FRecvBuffer.data(), std::min(room, FRecvBuffer.size()), MSG_DONTWAIT);
    if (r > 0) {
      room -= static_cast<size_t>(r);
      FTelnet->Feed(FRecvBuffer.data(), static_cast<size_t>(r), *FSink, FOut);
      if (!FAgreed && FTelnet->PortAgreement() == paAgreed) {
        FAgreed = true;
        Trace("port control agreed");
        // The client learns the lines as they are before anything changes.
        NotifyModem(now, true);
      }
      if (static_cast<size_t>(r) < FRecvBuffer.size()) break;
      continue;
    }
    if (r == 0) {
      Disconnect(now, "end of stream");
      return;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    Disconnect(now, std::strerror(errno));
    return;
  }
  ApplyChanges(now);
  Flush();
}

void TPortServer::Flush() {
  while (FClient >= 0 && FOutHead < FOut.size()) {
    const ssize_t w = ::send(FClient, FOut.data() + FOutHead, FOut.size() - FOutHead, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      FOutHead += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    Disconnect(FSink->Now, w < 0 ? std::strerror(errno) : "send failed");
    return;
  }
  FOut.clear();
  FOutHead = 0;
}

// ---- the line --------------------------------------------------------------------

void TPortServer::OnData(const uint8_t* data, size_t n, TTime now) {
  ApplyChanges(now);
  if (!FPaced) {
    for (size_t i = 0; i < n; ++i) FDevice->Receive(data[i], now);
    return;
  }
  // Half bits, for one and a half stop bits.
  const int halfBits = 2 * (1 + FDataSize + (FParity == pyNone ? 0 : 1)) + (FStopSize == ssOne          ? 2
                                                                            : FStopSize == ssOneAndHalf ? 3
                                                                                                        : 4);
  const TTime charUs = FBaud == 0 ? 0 : (static_cast<TTime>(halfBits) * 500000 + FBaud / 2) / FBaud;
  for (size_t i = 0; i < n; ++i) {
    FLineFree = std::max(now, FLineFree) + charUs;
    FInput.push_back({data[i], FLineFree});
  }
}

void TPortServer::ApplyChanges(TTime now) {
  if (FFormatChanged) {
    FFormatChanged = false;
    // The device knows one and a half stop bits only as more than one.
    const int stop = FStopSize == ssOne ? 1 : 2;
    FDevice->SetFormat(FBaud, FDataSize, ParityChar(FParity), stop, now);
    Trace("format " + std::to_string(FBaud) + " " + std::to_string(FDataSize) + ParityChar(FParity) +
          (FStopSize == ssOne   ? "1"
           : FStopSize == ssTwo ? "2"
                                : "1.5"));
  }
  if (FDtr != FToldDtr || FRts != FToldRts) {
    FToldDtr = FDtr;
    FToldRts = FRts;
    FDevice->SetLines(FDtr, FRts, now);
    Trace(std::string("lines DTR=") + (FDtr ? "1" : "0") + " RTS=" + (FRts ? "1" : "0"));
  }
}

uint8_t TPortServer::ModemState(TTime now) const {
  uint8_t state = 0;
  if (FDevice->Cts(now)) state |= mlCts;
  if (FDevice->Dsr(now)) state |= mlDsr;
  if (FDevice->Ring(now)) state |= mlRi;
  if (FDevice->Dcd(now)) state |= mlDcd;
  return state;
}

void TPortServer::NotifyModem(TTime now, bool always) {
  if (FClient < 0 || !FTelnet) return;
  const uint8_t state = ModemState(now);
  const uint8_t changed = (state ^ FLastModem) & 0xF0;
  uint8_t deltas = 0;
  if (changed & mlCts) deltas |= mlDeltaCts;
  if (changed & mlDsr) deltas |= mlDeltaDsr;
  if (changed & mlDcd) deltas |= mlDeltaDcd;
  if ((FLastModem & mlRi) && !(state & mlRi)) deltas |= mlRiTrailingEdge;
  FLastModem = state;
  if (!always && ((changed | deltas) & FModemMask) == 0) return;
  const auto value = static_cast<uint8_t>((state | deltas) & FModemMask);
  AppendPortCommand(FOut, cpNotifyModemState + kServerCode, value);
  Trace("modem state " + Hex(value));
}

void TPortServer::Service(TTime now) {
  FSink->Now = now;
  ApplyChanges(now);
  while (!FInput.empty() && FInput.front().Due <= now) {
    FDevice->Receive(FInput.front().Byte, FInput.front().Due);
    FInput.pop_front();
  }
  const std::string out = FDevice->Transmit(now);
  if (FClient >= 0) {
    if (FSuspended)
      FHeld += out;
    else if (!out.empty())
      AppendData(FOut, reinterpret_cast<const uint8_t*>(out.data()), out.size());
    if (FAgreed) NotifyModem(now, false);
    Flush();
  }
}

TTime TPortServer::NextWake(TTime now) const {
  TTime next = -1;
  auto take = [&next](TTime t) {
    if (t >= 0 && (next < 0 || t < next)) next = t;
  };
  if (!FInput.empty()) take(FInput.front().Due);
  take(FDevice->NextOutput());
  if (FClient >= 0) take(now + kModemPollUs);
  return next;
}

// ---- port commands -------------------------------------------------------------

void TPortServer::Reply(uint8_t command, uint8_t value) {
  AppendPortCommand(FOut, static_cast<uint8_t>(command + kServerCode), value);
}

void TPortServer::OnPortCommand(uint8_t command, const uint8_t* value, size_t n, TTime now) {
  const uint8_t v = n > 0 ? value[0] : 0;
  switch (command) {
    case cpSignature:
      if (n == 0) {
        const std::string text = "qvbench " + FName;
        AppendPortCommand(FOut, cpSignature + kServerCode, reinterpret_cast<const uint8_t*>(text.data()), text.size());
      }
      break;
    case cpSetBaudRate:
      if (const uint32_t baud = Be32(value); baud != 0 && baud != FBaud) {
        FBaud = baud;
        FFormatChanged = true;
      }
      AppendPortCommand32(FOut, cpSetBaudRate + kServerCode, FBaud);
      break;
    case cpSetDataSize:
      if (v >= 5 && v <= 8 && v != FDataSize) {
        FDataSize = v;
        FFormatChanged = true;
      }
      Reply(command, FDataSize);
      break;
    case cpSetParity:
      if (v >= pyNone && v <= pySpace && v != FParity) {
        FParity = v;
        FFormatChanged = true;
      }
      Reply(command, FParity);
      break;
    case cpSetStopSize:
      if (v >= ssOne && v <= ssOneAndHalf && v != FStopSize) {
        FStopSize = v;
        FFormatChanged = true;
      }
      Reply(command, FStopSize);
      break;
    case cpSetControl:
      switch (v) {
        case ctRequestFlow:
          Reply(command, FOutFlow);
          break;
        case ctRequestBreak:
          Reply(command, FBreak ? ctBreakOn : ctBreakOff);
          break;
        case ctBreakOn:
        case ctBreakOff:
          FBreak = v == ctBreakOn;
          Reply(command, v);
          break;
        case ctRequestDtr:
          Reply(command, FDtr ? ctDtrOn : ctDtrOff);
          break;
        case ctDtrOn:
        case ctDtrOff:
          FDtr = v == ctDtrOn;
          Reply(command, v);
          break;
        case ctRequestRts:
          Reply(command, FRts ? ctRtsOn : ctRtsOff);
          break;
        case ctRtsOn:
        case ctRtsOff:
          FRts = v == ctRtsOn;
          Reply(command, v);
          break;
        case ctRequestInFlow:
          Reply(command, FInFlow);
          break;
        default:
          if (ControlGroup(v) == cgOutboundFlow) {
            FOutFlow = v;
            Reply(command, v);
          } else if (ControlGroup(v) == cgInboundFlow) {
            FInFlow = v;
            Reply(command, v);
          }
          break;
      }
      break;
    case cpNotifyLineState:
      // The bench's lines never fail.
      Reply(command, 0);
      break;
    case cpNotifyModemState:
      NotifyModem(now, true);
      break;
    case cpFlowControlSuspend:
      FSuspended = true;
      break;
    case cpFlowControlResume:
      FSuspended = false;
      AppendData(FOut, reinterpret_cast<const uint8_t*>(FHeld.data()), FHeld.size());
      FHeld.clear();
      break;
    case cpSetLineStateMask:
      FLineMask = v;
      Reply(command, v);
      break;
    case cpSetModemStateMask:
      FModemMask = v;
      Reply(command, v);
      NotifyModem(now, true);
      break;
    case cpPurgeData:
      if (v < pgReceive || v > pgBoth) break;
      if (v & pgReceive) {
        // Output the device has finished but the client has not been sent.
        FHeld.clear();
        FDevice->Transmit(now);
      }
      if (v & pgTransmit) {
        FInput.clear();
        FLineFree = std::min(FLineFree, now);
      }
      Trace("purge " + std::to_string(v));
      Reply(command, v);
      break;
    default:
      break;
  }
}

}  // namespace bench
