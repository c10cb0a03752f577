// The platform backend on POSIX systems: a terminal device (a real serial
// port or a pseudo-terminal) driven through termios and tty ioctls. The
// descriptor stays non-blocking; every wait goes through the clock given at
// open, so that reads and writes end exactly under the device's time-outs.
//
// Kernel-specific pieces (arbitrary rates, line-error counters, the receive
// queue count) are Linux's.
//
// Device events, for the port's event monitor:
// - EV_RXCHAR: new bytes have arrived (an edge-triggered wait on the
//   descriptor, which reads nothing) and bytes are waiting; EV_RX80FULL:
//   then the waiting bytes fill 80 percent of the recommended input queue.
// - EV_TXEMPTY: after a write, once the driver's output queue is empty.
// - EV_CTS, EV_DSR, EV_RLSD, EV_RING: from TIOCMIWAIT on a thread of the
//   device's own, where the driver has it (a UART or a USB adapter; a
//   pseudo-terminal has no modem lines at all). The driver's interrupt
//   counters tell changes apart from a line that went and came back.
// - EV_ERR, EV_BREAK: from the driver's error counters, looked at whenever
//   the wait wakes; a line error or a break comes with a received byte.
// - Never: EV_RXFLAG (the event character cannot be seen without reading
//   the bytes), EV_PERR, EV_EVENT1, EV_EVENT2. A pseudo-terminal has no
//   counters either, so it gives EV_RXCHAR, EV_RX80FULL and EV_TXEMPTY only.
// - A hang-up fails the wait as a lost device (EIO).
//
// Failures are the system's errno values; ErrnoKind in the source gives
// each its kind (EIO, a hang-up: device lost).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "serial/ComDevice.h"

namespace qv {

// The status for an errno value: the code, the system's text (or the
// backend's own text for it) and the kind the code stands for.
TDevStatus ErrnoStatus(int code, const char* text = nullptr);

class TTermiosDevice final : public TComDevice {
 public:
  // Opens path exclusively, in raw mode, keeping the device's line settings.
  static TDevStatus Open(const std::string& path, TClock& clock, std::unique_ptr<TComDevice>& device);

  ~TTermiosDevice() override;
  TTermiosDevice(const TTermiosDevice&) = delete;
  TTermiosDevice& operator=(const TTermiosDevice&) = delete;

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

  // For tests and tools that look at the terminal directly.
  int Fd() const { return FFd; }
  // False on devices without modem control (pseudo-terminals).
  bool HasModemLines() const { return FHasModemLines; }
  bool IsPseudoTerminal() const { return FIsPty; }
  // The driver holds received bytes back no longer than it must (asked for
  // at open where the driver supports it).
  bool LowLatency() const { return FLowLatency; }
  // The c_cflag the last SetState asked for, before the driver had its say
  // (a pseudo-terminal drops the data bits and parity enable).
  uint32_t AskedCflag() const { return FAskedCflag; }

 private:
  TTermiosDevice(int fd, TClock& clock);
  TDevStatus Init();

  // Moves whatever the device has now; rawBytes counts bytes taken from the
  // device (dcbNull may drop some of them).
  TDevStatus ReadAvailable(TOverlapped& ov, uint32_t& rawBytes);
  TDevStatus WriteAvailable(TOverlapped& ov, uint32_t& written);
  TDevStatus FinishRead(TOverlapped& ov);
  TDevStatus FinishWrite(TOverlapped& ov);
  void EndOperation(TOverlapped& ov, TOverlapped*& current);
  TDevStatus ReadCounters(uint32_t& errors);
  TDevStatus SetModemLines(const TDCB& dcb);

  // Event monitor pieces; FinishEventWait runs on the monitor's thread.
  TDevStatus PrepareEventWait();
  TDevStatus FinishEventWait(TOverlapped& ov);
  uint32_t PollEvents(uint32_t mask, bool rxEdge);
  void Wake();
  void StartLineWatcher();
  void StopLineWatcher();
  void WatchLines();

  int FFd;
  TClock& FClock;
  TCommTimeouts FTimeouts;
  // The last control block set (at first: the device's own settings), for
  // the fields termios cannot hold and for the lines of a device that has
  // none.
  TDCB FShadow;
  bool FHasModemLines = false;
  bool FIsPty = false;
  bool FLowLatency = false;
  bool FFrameSet = false;  // a SetState has been made
  uint32_t FAskedCflag = 0;
  uint32_t FGotFrame = 0;  // frame bits the terminal kept of it
  bool FHasCounters = false;
  // The error word's view of the counters; a line-error check may run on
  // the main thread while a read checks them on another.
  std::mutex FCounterMutex;
  int FFrame = 0, FOverrun = 0, FParity = 0, FBrk = 0, FBufOverrun = 0;
  std::atomic<uint32_t> FInQueueSize{0};
  uint32_t FOutQueueSize = 0;

  // The event wait, shared by the monitor's thread, the thread that sets
  // the mask and the writer (EV_TXEMPTY).
  std::mutex FEventMutex;
  uint32_t FEventMask = 0;
  unsigned FMaskChanges = 0;  // each SetEventMask ends a wait in progress
  bool FTxPending = false;    // written since the last EV_TXEMPTY
  std::atomic<bool> FWantsTxEmpty{false};
  uint32_t FLineEvents = 0;  // gathered by the line watcher
  bool FHungUp = false;
  TOverlapped* FEventWait = nullptr;
  uint32_t* FEventWord = nullptr;
  unsigned FWaitMaskChanges = 0;
  int FEpoll = -1;
  int FWake = -1;
  // The event wait's own view of the error counters (the monitor's thread).
  int FEvFrame = 0, FEvOverrun = 0, FEvParity = 0, FEvBrk = 0, FEvBufOverrun = 0;
  // Bytes reads have taken from the terminal, against which the wait tells
  // new bytes from old ones.
  std::atomic<uint64_t> FBytesTaken{0};
  std::atomic<bool> FRxPurged{false};
  uint64_t FSeenBytes = 0;  // the monitor's thread
  std::thread FLineWatcher;
  std::atomic<bool> FStopWatcher{false};
  std::atomic<bool> FWatcherDone{false};
  std::atomic<bool> FNoLineWait{false};
  TOverlapped* FRead = nullptr;   // read in progress
  TOverlapped* FWrite = nullptr;  // write in progress
};

}  // namespace qv
