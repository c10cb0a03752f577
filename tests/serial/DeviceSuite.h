// The behavioural suite every device backend passes: the device layer's
// reads and writes under the time-outs, purge and queue, hang-up and open
// failures with their kinds; the port on top; and the event monitor's
// device events. A backend takes part with a small set-up of its own (a
// TBackend: the port to open, the far end's bytes and lines) and says what
// it cannot do, which the suite shows as skipped with the reason:
//
//   using test::Backend;
//   INSTANTIATE_TEST_SUITE_P(Termios, Backend,
//                            ::testing::Values(test::TBackendCase{"Pty", MakeTermios}), test::TCaseName());
//
// where MakeTermios makes the set-up or, returning null, says why there is
// none here.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "tests/support/Cases.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/MainLoop.h"
#include "tests/support/Pty.h"
#include "tests/support/modemshim/ModemShim.h"

namespace qv::test {

// What a backend's set-up may be unable to do.
enum TAbility {
  abSend,               // the far end sends bytes of its own when told (else it only echoes)
  abSeeReceived,        // the test sees the bytes the far end has received
  abHangUp,             // the far end goes away while the port is open
  abStallWrite,         // the far end stops taking bytes, so that a large write stays in progress
  abBusy,               // a second open of the port is refused as busy
  abDenied,             // an open refused for want of permission
  abProtocol,           // a port server that does not keep to the protocol
  abLines,              // the far end drives CTS, DSR, DCD and RI and sees DTR and RTS
  abBreak,              // a break from the far end as a device event
  abFramingError,       // a framing error in the error word
  abDiscardNulls,       // dropping received zero bytes (dcbNull)
  abBadFrame,           // refusing a frame no line carries
  abPollRead,           // the read that returns at once (interval MAXDWORD, no totals)
  abEndsAtStart,        // a read of bytes already waiting ends when it starts
  abPurgeEndsRead,      // PURGE_RXABORT ends a read in progress
  abOneRxChar,          // one EV_RXCHAR for each arrival, none for bytes still waiting
  abRxCharBesideReads,  // EV_RXCHAR for bytes that a read on another thread takes at once
  abRxFlag,             // EV_RXFLAG for the event character
};

// Modem-line bits of the far end's view of the port's lines.
constexpr uint32_t kDtr = 1, kRts = 2;

class TBackend {
 public:
  virtual ~TBackend() = default;

  // Why the backend cannot do it; empty when it can.
  virtual std::string Cannot(TAbility) const { return {}; }
  // The name the port under test opens, and the clock its time-outs run on.
  virtual std::string PortName() = 0;
  virtual TClock& Clock() { return RealClock(); }
  // A name that no device answers to, and names whose open fails for want
  // of permission or through a server that breaks the protocol.
  virtual std::string MissingName() = 0;
  virtual std::string DeniedName() { return {}; }
  virtual std::string ProtocolFailureName() { return {}; }

  // The far end: bytes sent afterMs from now (0: at once), the bytes it has
  // received (waiting for n at most timeoutMs), an echo of every byte it
  // gets from now on, going away afterMs from now.
  virtual void Send(const std::string& bytes, int afterMs = 0) = 0;
  virtual std::string Received(size_t n, int timeoutMs = 2000) = 0;
  virtual void Echo() = 0;
  virtual void HangUp(int afterMs = 0) = 0;
  // Its lines (MS_CTS_ON, MS_DSR_ON, MS_RLSD_ON, MS_RING_ON), the port's
  // lines as it sees them (kDtr, kRts), a break, a framing error.
  virtual void SetLines(uint32_t) {}
  virtual uint32_t PortLines() { return 0; }
  virtual void Break() {}
  virtual void FramingError() {}

  // Lets the far end and the monitor settle after a change (a driver that
  // looks at the lines now and then), and lets time pass where only the
  // test moves it.
  virtual void Settle() {}
  virtual void Tick() {}

  // Runs fn afterMs from now on a thread of its own; Finish waits for all.
  void After(int afterMs, std::function<void()> fn);
  void Finish();

 private:
  std::mutex FMutex;
  std::vector<std::thread> FThreads;
};

// A far end that is the master of a pseudo-terminal: the termios and Win32
// ports open its slave, ser2net serves it. Going away closes the master.
class TPtyBackend : public TBackend {
 public:
  void Send(const std::string& bytes, int afterMs = 0) override;
  std::string Received(size_t n, int timeoutMs = 2000) override;
  void Echo() override;
  void HangUp(int afterMs = 0) override;

  TPty Pty;

 private:
  bool Echoing = false;
};

// The pseudo-terminal with modem lines and error counters from the modem
// shim (in front of the termios backend's ioctl calls in
// serial_modem_tests, and of Wine's serial driver). Its lines go with the
// device. Defined here, as only the programs with the shim use it.
class TShimBackend : public TPtyBackend {
 public:
  // A change settles once the driver (or Wine, which looks every few
  // milliseconds) is back in its wait.
  explicit TShimBackend(int settleMs) : FSettleMs(settleMs) { Shim.Attach(Pty.SlavePath()); }
  void SetLines(uint32_t lines) override {
    Shim.SetLines(((lines & MS_CTS_ON) ? TIOCM_CTS : 0) | ((lines & MS_DSR_ON) ? TIOCM_DSR : 0) |
                  ((lines & MS_RLSD_ON) ? TIOCM_CD : 0) | ((lines & MS_RING_ON) ? TIOCM_RNG : 0));
  }
  uint32_t PortLines() override {
    const int host = Shim.HostLines();
    return ((host & TIOCM_DTR) ? kDtr : 0) | ((host & TIOCM_RTS) ? kRts : 0);
  }
  // A break arrives as a zero byte, a framing error with its character.
  void Break() override {
    Shim.AddErrors(0, 0, 0, 1);
    Pty.WriteMaster(std::string(1, '\0'));
  }
  void FramingError() override {
    Shim.AddErrors(1, 0, 0, 0);
    Pty.WriteMaster("x");
  }
  void HangUp(int afterMs = 0) override {
    const auto gone = [this] {
      Shim.Detach();
      Pty.CloseMaster();
    };
    if (afterMs == 0)
      gone();
    else
      After(afterMs, gone);
  }
  void Settle() override { std::this_thread::sleep_for(std::chrono::milliseconds(FSettleMs)); }

  TModemShim Shim;

 private:
  const int FSettleMs;
};

// One asynchronous operation the way the port drives it.
struct TOp {
  TOp();
  TDevStatus StartRead(TComDevice& dev, uint32_t n, bool waitFollows = false);
  TDevStatus StartWrite(TComDevice& dev, const std::string& bytes);
  TDevStatus Finish(TComDevice& dev) { return dev.GetOverlappedResult(Ov, Transferred); }
  // Start and finish.
  TDevStatus Read(TComDevice& dev, uint32_t n);
  TDevStatus Write(TComDevice& dev, const std::string& bytes);
  std::string Got() const { return std::string(Buffer.begin(), Buffer.begin() + Ov.Transferred); }

  std::unique_ptr<TComEvent> Event;
  TOverlapped Ov;
  std::vector<uint8_t> Buffer;
  uint32_t Transferred = 0;
};

TCommTimeouts ReadTimeouts(uint32_t interval, uint32_t multiplier, uint32_t constant);

// The window's settings on a port: 9600 8N1, DTR off, RTS on, no XON/XOFF.
void ProgramSettings(TComPort& port, const std::string& name, int32_t readConstant = 250);

// Makes a backend's set-up, or says why there is none here.
using TBackendMaker = std::function<std::unique_ptr<TBackend>(std::string& whyNot)>;

struct TBackendCase {
  const char* Name;
  TBackendMaker Make;
};
using test::PrintTo;

// The test thread is the main thread, with every device-event handler call
// recorded; Port has the program's settings (9600 8N1, DTR off, RTS on,
// ReadConstant 250) on the backend's port.
class Backend : public ::testing::TestWithParam<TBackendCase> {
 protected:
  void SetUp() override;
  void TearDown() override;

  TBackend& B() { return *FBackend; }
  void Setup(TComPort& port, int32_t readConstant = 250);
  // Opens Dev on the backend's port.
  bool OpenDevice();
  // Milliseconds since start on the backend's clock.
  int64_t MsSince(TClock::TDuration start) { return (B().Clock().Now() - start).count() / 1000; }
  TClock::TDuration Now() { return B().Clock().Now(); }
  // Makes the bytes arrive at the port: sent by the far end, or, where it
  // only echoes, written through the port and echoed; then waits for them
  // in the receive queue.
  void Arrive(TComDevice& dev, const std::string& bytes);
  void Arrive(TComPort& port, const std::string& bytes);
  uint32_t WaitInQueue(TComDevice& dev, uint32_t n);
  bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 3000);
  // Runs the main loop until the handlers have been called n times.
  bool AwaitCalls(size_t n);

 private:
  std::unique_ptr<TBackend> FBackend;  // first: the port runs on it to the end

 protected:
  TMainLoop Loop;
  TRecorder Rec{&Loop};
  TComPort Port{nullptr};
  std::unique_ptr<TComDevice> Dev;
};

// Skips the test unless the backend can do what it needs.
#define QV_NEED(ability) \
  if (const std::string why = B().Cannot(ability); !why.empty()) GTEST_SKIP() << why

}  // namespace qv::test
