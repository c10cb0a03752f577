// The device layer under TComPort: a thin set of operations on one open
// serial device, carried in a platform-neutral device control block. Each
// backend (termios, Win32, network ports, the in-process bench) implements
// it in a file of its own; the port never looks past this interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Clock.h"
#include "Component.h"

namespace qv {

// What kind of failure a device-layer call or a port operation met, the
// same on every platform and backend. The platform's code and text stay the
// account of what happened; the kind is what a caller may tell failures
// apart by. Each backend maps its platform's codes onto these in one place.
enum TComErrorKind {
  ekNone,          // no failure (a device-layer status only; never an EComError's)
  ekOther,         // none of the kinds below: the code and the text tell
  ekTimeout,       // a read or write ended short under its time-outs; a port server or a connection that did
                   // not answer in time
  ekNotOpen,       // the operation needs an open port or handle
  ekOpenPort,      // the setting cannot change while the port is open
  ekNotFound,      // no serial device under that name: no such path, no port of that name, no server
                   // listening at the address, a name that is no network port name
  ekAccessDenied,  // the system refuses the device to this process
  ekBusy,          // another handle or client holds the device
  ekDeviceLost,    // the device has gone while open: a hang-up, a removed adapter, an unplugged bench device,
                   // the end of the connection to the port server; every later call fails the same way
  ekUnsupported,   // the device cannot do what was asked: a frame it cannot make, a setting its server will
                   // not take, modem lines it does not have, a wait it cannot make
  ekProtocol,      // the port server does not keep to the protocol the port needs (it refuses port control)
  ekNoResources,   // the system could not give a thread, an event, memory or a descriptor
};

// Result of a device-layer call: Ok, or a failure with its kind and, where
// a platform call failed, the platform's error code (errno, GetLastError)
// with the system's text for it. A failure of the backend's own (a port
// server's wrong answer) has code 0 and a text of its own.
struct TDevStatus {
  int32_t Code = 0;
  std::string Text;
  // ekNone with a code other than 0 is a failure of no known kind.
  TComErrorKind Kind = ekNone;
  bool Ok() const { return Code == 0 && Kind == ekNone; }
  // The device is gone for good: a failed event wait that says so closes
  // the port.
  bool Lost() const { return Kind == ekDeviceLost; }
};

// The system's message with trailing control characters, blanks and full
// stops removed.
std::string TrimSystemMessage(std::string text);

struct TOverlapped;

// Device control block: the fields and flag bits of the Windows DCB, used
// by every backend as the one description of the line settings.
struct TDCB {
  uint32_t DCBlength = 28;
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  bool operator==(const TDCB&) const = default;
};

// Flag word bits of TDCB::Flags.
enum : uint32_t {
  dcbBinary = 0x0001,
  dcbParity = 0x0002,
  dcbOutxCtsFlow = 0x0004,
  dcbOutxDsrFlow = 0x0008,
  dcbDtrControlMask = 0x0030,
  dcbDtrDisable = 0x0000,
  dcbDtrEnable = 0x0010,
  dcbDtrHandshake = 0x0020,
  dcbDsrSensitivity = 0x0040,
  dcbTXContinueOnXoff = 0x0080,
  dcbOutX = 0x0100,
  dcbInX = 0x0200,
  dcbXOnXOffMask = 0x0300,
  dcbErrorChar = 0x0400,
  dcbNull = 0x0800,
  dcbRtsControlMask = 0x3000,
  dcbRtsDisable = 0x0000,
  dcbRtsEnable = 0x1000,
  dcbRtsHandshake = 0x2000,
  dcbRtsToggle = 0x3000,
  dcbAbortOnError = 0x4000,
};

struct TCommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
  bool operator==(const TCommTimeouts&) const = default;
};

// What every backend reads from the time-outs. A read returns at once with
// what has arrived when the interval is MAXDWORD and there are no totals.
bool ReadReturnsAtOnce(const TCommTimeouts& t);

// When an operation in progress ends by its time-outs if nothing else ends
// it first: At, when Limited.
struct TDeadline {
  bool Limited = false;
  TClock::TDuration At{};
  bool Passed(TClock::TDuration now) const { return Limited && now >= At; }
  // How long a wait from now may last, in microseconds: -1 without limit,
  // 0 once At has passed (a last look that does not block).
  int64_t WaitUs(TClock::TDuration now) const { return !Limited ? -1 : now >= At ? 0 : (At - now).count(); }
};

// A read of ov.Length bytes ends ReadMultiplier x n + ReadConstant ms after
// ov.Started when either is not 0, and, once a byte has come, ReadInterval
// ms after ov.LastByte when that is not 0, whichever is first; with all
// three 0 it waits for every byte. Looked at again after every arrival.
TDeadline ReadDeadline(const TCommTimeouts& t, const TOverlapped& ov);
// A write of ov.Length bytes ends WriteMultiplier x n + WriteConstant ms
// after ov.Started when either is not 0, and otherwise has no limit.
TDeadline WriteDeadline(const TCommTimeouts& t, const TOverlapped& ov);

// Purge flags.
enum : uint32_t { PURGE_TXABORT = 0x01, PURGE_RXABORT = 0x02, PURGE_TXCLEAR = 0x04, PURGE_RXCLEAR = 0x08 };

// Communication event bits (the event mask and the word a wait delivers).
enum : uint32_t {
  EV_RXCHAR = 0x0001,
  EV_RXFLAG = 0x0002,
  EV_TXEMPTY = 0x0004,
  EV_CTS = 0x0008,
  EV_DSR = 0x0010,
  EV_RLSD = 0x0020,
  EV_BREAK = 0x0040,
  EV_ERR = 0x0080,
  EV_RING = 0x0100,
  EV_PERR = 0x0200,
  EV_RX80FULL = 0x0400,
  EV_EVENT1 = 0x0800,
  EV_EVENT2 = 0x1000,
};

// Modem status word bits.
enum : uint32_t { MS_CTS_ON = 0x10, MS_DSR_ON = 0x20, MS_RING_ON = 0x40, MS_RLSD_ON = 0x80 };

// Device error word bits.
enum : uint32_t {
  CE_RXOVER = 0x0001,
  CE_OVERRUN = 0x0002,
  CE_RXPARITY = 0x0004,
  CE_FRAME = 0x0008,
  CE_BREAK = 0x0010,
  CE_TXFULL = 0x0100,
  CE_PTO = 0x0200,
  CE_IOE = 0x0400,
  CE_DNS = 0x0800,
  CE_OOP = 0x1000,
  CE_MODE = 0x8000,
};

// Process priority classes.
enum : uint32_t {
  IDLE_PRIORITY_CLASS = 0x0040,
  NORMAL_PRIORITY_CLASS = 0x0020,
  HIGH_PRIORITY_CLASS = 0x0080,
  REALTIME_PRIORITY_CLASS = 0x0100,
};

// An event object: signalled or not; manual-reset or auto-reset.
class TComEvent {
public:
  virtual ~TComEvent() = default;
  virtual void Set() = 0;
  virtual void Reset() = 0;
  // Zero-time wait: true when signalled (an auto-reset event is reset by it).
  virtual bool IsSignalled() = 0;
  // The platform object behind it, where there is one (Win32: the HANDLE).
  virtual void* NativeHandle() { return nullptr; }
};

// Creates an event of the platform; null with status set when that fails.
std::unique_ptr<TComEvent> CreateComEvent(bool manualReset, bool initialState, TDevStatus& status);

// The asynchronous-operation record of one read, write or event wait. The
// port zeroes it (Clear) before each operation and points it at the event of
// its direction; the backend signals that event when the operation has ended.
struct TOverlapped {
  TComEvent* Event = nullptr;
  uint8_t* Buffer = nullptr;    // read target
  uint32_t Length = 0;          // bytes requested
  uint32_t Transferred = 0;     // bytes moved so far
  bool InProgress = false;
  // The caller waits for the end right after starting: a backend may go
  // straight to its wait instead of trying the operation at once.
  bool WaitFollows = false;
  TClock::TDuration Started{};  // when the operation was started
  TClock::TDuration LastByte{}; // when the last byte arrived (interval time-out)
  std::vector<uint8_t> Data;    // write: the device layer's own copy of the bytes
  void* Native = nullptr;       // backend-private (Win32: its OVERLAPPED)

  // Zeroes the record; the write copy keeps its capacity so that writes do
  // not allocate.
  void Clear() {
    Buffer = nullptr;
    Length = Transferred = 0;
    InProgress = WaitFollows = false;
    Started = LastByte = {};
    Data.clear();
  }
};

// One open serial device.
class TComDevice {
public:
  virtual ~TComDevice() = default;

  virtual TDevStatus GetState(TDCB& dcb) = 0;
  virtual TDevStatus SetState(const TDCB& dcb) = 0;
  virtual TDevStatus GetTimeouts(TCommTimeouts& t) = 0;
  virtual TDevStatus SetTimeouts(const TCommTimeouts& t) = 0;
  virtual TDevStatus SetupComm(uint32_t inQueue, uint32_t outQueue) = 0;
  virtual TDevStatus Purge(uint32_t flags) = 0;
  // Gives and clears the error word (CE_ bits), gives the receive-queue count.
  virtual TDevStatus ClearError(uint32_t& errors, uint32_t& inQueue) = 0;
  // The error word alone. Every read and write checks it, so a backend whose
  // queue count costs a system call of its own overrides this.
  virtual TDevStatus ClearLineErrors(uint32_t& errors) {
    uint32_t inQueue = 0;
    return ClearError(errors, inQueue);
  }
  virtual TDevStatus GetModemStatus(uint32_t& status) = 0;
  virtual TDevStatus SetEventMask(uint32_t mask) = 0;

  // Start a read of ov.Length bytes into ov.Buffer, or a write of ov.Data.
  // An operation that cannot end at once stays in progress (ov.InProgress,
  // its event not signalled) and is no failure. ov.Started is set here.
  virtual TDevStatus StartRead(TOverlapped& ov) = 0;
  virtual TDevStatus StartWrite(TOverlapped& ov) = 0;
  // Waits, without limit of its own, for the operation to end under the
  // device's time-outs; gives the number of bytes transferred and signals
  // the record's event.
  virtual TDevStatus GetOverlappedResult(TOverlapped& ov, uint32_t& transferred) = 0;

  // Event monitor. WaitCommEvent starts the wait for the next device event
  // of the mask (EV_ bits) and writes the events into eventMask when it
  // ends; eventMask stays in place until then. A wait that cannot end at
  // once stays in progress and GetOverlappedResult on its record waits for
  // its end. Any SetEventMask ends a wait in progress with the word 0, and
  // a wait started with the mask 0 ends at once with 0. The wait runs on the
  // monitor's thread beside reads and writes on another thread and
  // SetEventMask on a third, so backends keep what these share consistent.
  virtual TDevStatus WaitCommEvent(uint32_t& eventMask, TOverlapped& ov) = 0;
};

// Opens a device by name: a port-map name stands for its target; a name
// with a registered scheme ("rfc2217://", the bench's in-process ports) goes
// to that backend; anything else to the platform's own backend.
TDevStatus OpenComDevice(const std::string& name, TClock& clock, std::unique_ptr<TComDevice>& device);

using TComDeviceFactory =
    std::function<TDevStatus(const std::string& name, TClock& clock, std::unique_ptr<TComDevice>& device)>;

// Registers a backend for names beginning with prefix (longest match wins).
void RegisterComDeviceScheme(const std::string& prefix, TComDeviceFactory factory);
void UnregisterComDeviceScheme(const std::string& prefix);

// The platform's backend (termios or Win32) and its pieces.
TDevStatus OpenPlatformDevice(const std::string& path, TClock& clock, std::unique_ptr<TComDevice>& device);
// The status a call on an invalid (closed) handle gives on this platform.
TDevStatus InvalidHandleStatus();
uint32_t GetProcessPriorityClass();
void SetProcessPriorityClass(uint32_t priorityClass);
// The system's id of the calling thread, and the scheduling priority of a
// thread of this process by that id (failures are ignored, as raising a
// priority may need privileges).
uint64_t CurrentPlatformThreadId();
void SetPlatformThreadPriority(uint64_t threadId, TThreadPriority priority);

// Serial devices the system reports, in the platform's own names.
void ListPlatformComDevices(std::vector<std::string>& list);

}  // namespace qv
