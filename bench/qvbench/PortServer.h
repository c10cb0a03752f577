// One network serial port of the bench: a listening TCP socket on loopback
// that takes one client at a time and speaks the server side of the Telnet
// COM-PORT-OPTION to it, with a bench device at the far end of the line.
//
// The device is driven in real time: bench time is the monotonic clock in
// microseconds. Line settings and DTR/RTS from the client go to the device
// (changes made together in one piece of the stream reach it as one
// change), its output goes to the client as it finishes on the line, and
// its modem lines are sent as NOTIFY-MODEMSTATE as the client's mask asks.
// A paced port hands the client's bytes to the device one character time
// apart at the client's line format, as a UART would; an unpaced one at
// once.
//
// Connecting opens the port (DTR and RTS rise), disconnecting closes it
// (both drop), as a serial port of the system does. A second client while
// one is connected is closed at once. Each connection starts at 9600 8N1
// without flow control. The port queues little: a client that sends
// faster than the line carries, or does not read the answers, is held up
// by the connection.
#pragma once

#include <poll.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/Device.h"
#include "serial/rfc2217/Telnet.h"

namespace bench {

class TPortServer {
 public:
  using TTrace = std::function<void(const std::string&)>;

  TPortServer(std::string name, std::shared_ptr<TDevice> device, bool paced);
  ~TPortServer();
  TPortServer(const TPortServer&) = delete;
  TPortServer& operator=(const TPortServer&) = delete;

  // Listens on 127.0.0.1:port (0: a port the system picks).
  bool Listen(uint16_t port, std::string& error);
  uint16_t Port() const { return FPort; }
  const std::string& Name() const { return FName; }
  std::string Url() const;
  void SetTrace(TTrace trace) { FTrace = std::move(trace); }

  // The descriptors to poll and what for; then what poll found.
  void PollFds(std::vector<pollfd>& fds) const;
  void Handle(int fd, short revents, TTime now);
  // Moves the device's time on: due input, finished output, line changes.
  void Service(TTime now);
  // When Service has something to do next; -1: only when a socket wakes.
  TTime NextWake(TTime now) const;

  bool Connected() const { return FClient >= 0; }

 private:
  class TSink;
  friend class TSink;

  void Accept(TTime now);
  void ResetLine(TTime now);
  // How many bytes the client may send now.
  size_t ReadRoom() const;
  void Disconnect(TTime now, const char* why);
  void Receive(TTime now);
  void Flush();
  void OnData(const uint8_t* data, size_t n, TTime now);
  void OnPortCommand(uint8_t command, const uint8_t* value, size_t n, TTime now);
  void Reply(uint8_t command, uint8_t value);
  void ApplyChanges(TTime now);
  uint8_t ModemState(TTime now) const;
  void NotifyModem(TTime now, bool always);
  void Trace(const std::string& text);

  struct TInput {
    uint8_t Byte;
    TTime Due;
  };

  const std::string FName;
  std::shared_ptr<TDevice> FDevice;
  const bool FPaced;
  TTrace FTrace;
  int FListen = -1;
  int FClient = -1;
  uint16_t FPort = 0;
  std::unique_ptr<qv::rfc2217::TTelnet> FTelnet;
  std::unique_ptr<TSink> FSink;
  std::string FOut;
  size_t FOutHead = 0;
  std::vector<uint8_t> FRecvBuffer;

  struct TLineFormat {
    uint32_t Baud = 9600;
    uint8_t DataSize = 8;
    uint8_t Parity = qv::rfc2217::pyNone;
    uint8_t StopSize = qv::rfc2217::ssOne;
  };

  // The port's settings in the option's values, and what the device has
  // been told of them.
  uint32_t FBaud = TLineFormat().Baud;
  uint8_t FDataSize = TLineFormat().DataSize;
  uint8_t FParity = TLineFormat().Parity;
  uint8_t FStopSize = TLineFormat().StopSize;
  uint8_t FOutFlow = qv::rfc2217::ctFlowNone;
  uint8_t FInFlow = qv::rfc2217::ctInFlowNone;
  bool FBreak = false;
  bool FDtr = false, FRts = false;
  bool FToldDtr = false, FToldRts = false;
  bool FFormatChanged = true;
  // Masks as the option starts them: every modem line, no line state.
  uint8_t FModemMask = 0xFF;
  uint8_t FLineMask = 0;
  uint8_t FLastModem = 0;
  bool FSuspended = false;  // the client asked us to hold its data back
  bool FAgreed = false;     // the port option is on for this connection

  std::deque<TInput> FInput;  // paced bytes not yet complete on the line
  TTime FLineFree = 0;
  std::string FHeld;  // device output held while suspended
};

}  // namespace bench
