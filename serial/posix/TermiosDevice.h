// The platform backend on POSIX systems: a terminal device (a real serial
// port or a pseudo-terminal) driven through termios and tty ioctls. The
// descriptor stays non-blocking; every wait goes through the clock given at
// open, so that reads and writes end exactly under the device's time-outs.
//
// Kernel-specific pieces (arbitrary rates, line-error counters, the receive
// queue count) are Linux's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serial/ComDevice.h"

namespace qv {

// The status for an errno value: the code itself and the system's text.
TDevStatus ErrnoStatus(int code);

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
  int FFrame = 0, FOverrun = 0, FParity = 0, FBrk = 0, FBufOverrun = 0;
  uint32_t FInQueueSize = 0, FOutQueueSize = 0;
  uint32_t FEventMask = 0;
  TOverlapped* FRead = nullptr;   // read in progress
  TOverlapped* FWrite = nullptr;  // write in progress
};

}  // namespace qv
