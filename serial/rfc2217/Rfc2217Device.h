// The network port backend: a serial port of a port server, reached over
// TCP as "rfc2217://host:port" and driven with the Telnet COM-PORT-OPTION.
// It behaves as the termios backend does, so that the port above cannot
// tell the two apart:
//
// - Line settings are sent to the server and count only once the server
//   has confirmed them: SetState returns after every answer has come (or
//   fails when one does not come in time, or names another value), and
//   GetState gives the settings last confirmed. At open the current
//   settings are asked for, so that Default values keep the server's.
//   DTR and RTS are the exception: a change of either must be confirmed,
//   but lines sent again unchanged, and the open's update on a server that
//   never showed their state, are not waited for: some servers cannot
//   drive the lines at all.
// - Purges are confirmed the same way; a receive purge also drops what has
//   been received here and not read yet.
// - The modem lines are those of the server's last NOTIFY-MODEMSTATE (the
//   first one is the initial state). Until one has come, every line reads
//   off: DSR absent, as for a device that is not there.
// - Reads and writes end under the five time-outs exactly as on a terminal,
//   every wait going through the clock given at open.
// - A lost connection (end of stream, reset) fails the operation waiting
//   and every later one at once, like a hang-up: end of stream gives EIO,
//   a socket error its own code, and either is a lost device.
// - What the server's answers make fail (a request not confirmed in time,
//   a setting answered with another value, no port control at all) has
//   code 0: no system call failed.
// - InputCount counts the bytes received and decoded but not read yet,
//   after taking in whatever the socket holds.
//
// - Device events, for the port's event monitor: NOTIFY-MODEMSTATE changes
//   (a line that differs from the last state, or the server's delta bit)
//   as EV_CTS, EV_DSR, EV_RLSD and EV_RING; NOTIFY-LINESTATE breaks as
//   EV_BREAK and overrun, parity and framing errors as EV_ERR; data as
//   EV_RXCHAR, EV_RXFLAG (the event character among it) and EV_RX80FULL;
//   EV_TXEMPTY once a write has all gone to the server. A lost connection
//   fails the wait as a lost device. The monitor's thread takes in from the
//   socket as a reader does, so both wait on the socket and on a wake of
//   their own, and every call holds the device's lock.
//
// Flow-control suspension from the server is not obeyed: TCP already holds
// back a writer the server does not read from.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/ComDevice.h"
#include "serial/rfc2217/Telnet.h"

namespace qv {

constexpr const char* kRfc2217Scheme = "rfc2217://";

struct TRfc2217Options {
  // How long the port waits for the server: connecting, the option
  // negotiation, and each confirmation.
  uint32_t ConnectTimeoutMs = 5000;
  uint32_t ConfirmTimeoutMs = 2000;
};

// Splits "rfc2217://host:port" (host may be a bracketed IPv6 address).
bool ParseRfc2217Name(const std::string& name, std::string& host, std::string& port);

// The factory the scheme table registers.
TDevStatus OpenRfc2217Device(const std::string& name, TClock& clock, std::unique_ptr<TComDevice>& device);

class TRfc2217Device final : public TComDevice {
 public:
  static TDevStatus Open(const std::string& name, TClock& clock, std::unique_ptr<TComDevice>& device,
                         const TRfc2217Options& options = {});

  ~TRfc2217Device() override;
  TRfc2217Device(const TRfc2217Device&) = delete;
  TRfc2217Device& operator=(const TRfc2217Device&) = delete;

  TDevStatus GetState(TDCB& dcb) override;
  TDevStatus SetState(const TDCB& dcb) override;
  TDevStatus GetTimeouts(TCommTimeouts& t) override;
  TDevStatus SetTimeouts(const TCommTimeouts& t) override;
  TDevStatus SetupComm(uint32_t inQueue, uint32_t outQueue) override;
  TDevStatus Purge(uint32_t flags) override;
  TDevStatus ClearError(uint32_t& errors, uint32_t& inQueue) override;
  TDevStatus ClearLineErrors(uint32_t& errors) override;
  TDevStatus GetModemStatus(uint32_t& status) override;
  TDevStatus SetEventMask(uint32_t mask) override;
  TDevStatus StartRead(TOverlapped& ov) override;
  TDevStatus StartWrite(TOverlapped& ov) override;
  TDevStatus GetOverlappedResult(TOverlapped& ov, uint32_t& transferred) override;
  TDevStatus WaitCommEvent(uint32_t& eventMask, TOverlapped& ov) override;

  int Fd() const { return FFd; }
  // True once a NOTIFY-MODEMSTATE has come.
  bool ModemStateKnown() const { return FModemKnown; }

 private:
  class TSink;
  friend class TSink;

  // The server's port as confirmed, in the option's own values.
  struct TConfirmed {
    uint32_t Baud = 9600;
    uint8_t DataSize = 8;
    uint8_t Parity = rfc2217::pyNone;
    uint8_t StopSize = rfc2217::ssOne;
    uint8_t OutFlow = rfc2217::ctFlowNone;
    uint8_t InFlow = rfc2217::ctInFlowNone;
    uint8_t Dtr = rfc2217::ctDtrOn;
    uint8_t Rts = rfc2217::ctRtsOn;
  };

  // A request waiting for its answer: the command and, for SET-CONTROL, the
  // group of its value.
  struct TRequest {
    uint8_t Command;
    rfc2217::TControlGroup Group;
    bool Required;  // AwaitAnswers waits for it
  };

  TRfc2217Device(int fd, TClock& clock, const TRfc2217Options& options);
  TDevStatus Connect(const std::string& host, const std::string& port);
  TDevStatus Negotiate();

  // Queues a port command and notes that its answer is awaited.
  void Request(uint8_t command, uint8_t value, bool required = true);
  void Request32(uint8_t command, uint32_t value);
  // Sends and receives until every required answer has come.
  TDevStatus AwaitAnswers();

  // Socket pieces. Each returns the connection's status: lost or not.
  TDevStatus Flush();
  TDevStatus Drain();
  // One wait for the socket (events beside POLLIN, which is always asked
  // for), then whatever it allows; ready gets the poll bits, 0 on time-out.
  TDevStatus Wait(short events, int64_t timeoutUs, int& ready);
  TDevStatus Lose(TDevStatus status);
  int WaitOrWake(short ask, int64_t timeoutUs);
  TDevStatus FinishEventWait(TOverlapped& ov);
  void Notice(uint32_t event);
  void WakeWaiters();
  static void Signal(int fd);
  static void Consume(int fd);

  void OnPortCommand(uint8_t command, const uint8_t* value, size_t n);
  void OnData(const uint8_t* data, size_t n);

  // Moves received bytes into the read in progress.
  void CopyOut(TOverlapped& ov);
  TDevStatus FinishRead(TOverlapped& ov);
  TDevStatus FinishWrite(TOverlapped& ov);
  // Counts the bytes of the write in progress whose wire form has left.
  void TrackWrite();
  // Drops what of the write in progress has not been sent yet.
  void CutWrite();
  void EndOperation(TOverlapped& ov, TOverlapped*& current);

  std::mutex FMutex;
  int FFd;
  TClock& FClock;
  const TRfc2217Options FOptions;
  rfc2217::TTelnet FTelnet{rfc2217::trClient};
  std::unique_ptr<TSink> FSink;
  TDevStatus FLost;  // the connection's end, once it has come

  // Wire bytes not yet sent: FOut from FOutHead on. FSent counts all sent.
  std::string FOut;
  size_t FOutHead = 0;
  uint64_t FSent = 0;
  // Decoded data not yet read: FRx from FRxHead on.
  std::vector<uint8_t> FRx;
  size_t FRxHead = 0;
  std::vector<uint8_t> FRecvBuffer;
  TClock::TDuration FEmptiedAt = TClock::TDuration::min();  // when a look last found the socket empty

  std::vector<TRequest> FAwaited;
  TConfirmed FConfirmed;
  TDCB FShadow;  // the last control block set, for what the server does not hold
  // DTR and RTS: the value last asked for (0 until the open's update), and
  // whether the server has ever answered with the line's state.
  struct TLineAsked {
    uint8_t Value = 0;
    bool Shown = false;
  };
  TLineAsked FDtrAsked, FRtsAsked;
  TCommTimeouts FTimeouts;
  uint32_t FInQueueSize = 0, FOutQueueSize = 0;
  uint32_t FEventMask = 0;
  uint32_t FEvents = 0;  // events of the mask since the last wait ended
  unsigned FMaskChanges = 0;
  TOverlapped* FEventWait = nullptr;
  uint32_t* FEventWord = nullptr;
  unsigned FWaitMaskChanges = 0;
  // Made at open: each waiter on the socket is told when another thread has
  // taken in from it. FSocketWaits counts the threads inside Wait.
  int FWakeReader = -1;
  int FWakeMonitor = -1;
  int FSocketWaits = 0;
  uint32_t FLineErrors = 0;  // CE_ bits from NOTIFY-LINESTATE since the last look
  uint8_t FModemState = 0;
  bool FModemKnown = false;

  TOverlapped* FRead = nullptr;
  TOverlapped* FWrite = nullptr;
  // The write in progress on the wire: where its bytes begin in the sent
  // stream, and whether any of them is an IAC (then sent twice).
  uint64_t FWriteStart = 0;
  uint64_t FWriteEnd = 0;
  bool FWriteHasIac = false;
};

}  // namespace qv
