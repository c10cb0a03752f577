// TComPort: one serial device of the operating system as a non-visual
// component. It holds the line settings as properties, applies them to the
// device (at once when open, at the next Open otherwise), reads and writes
// with time-outs, reports modem lines and line errors, and lists the serial
// devices the system knows. While device-event handlers are assigned to an
// open port, its event monitor (TComThread) waits for device events on a
// thread of its own and calls the handlers.
//
// Failures. Every failure of an operation is an EComError, raised through
// OnError first (which may turn it into the silent EAbort): ErrorCode is the
// platform's code where a platform call failed (errno, GetLastError) and 0
// for the component's own messages, Message the system's text or the
// component's, Kind the same on every platform and backend. A failure
// leaves the port where it got to: a failed Open closed with everything
// released, a failed read, write or setting open. The component's own:
//   "Can't perform this operation on a closed port"  ekNotOpen
//   "Can't perform this operation on an open port"   ekOpenPort
//   "Timeout"                                         ekTimeout
//   "Can't create thread"                             ekNoResources
// The backends add the kinds of their devices (ComDevice.h): ekNotFound,
// ekBusy or ekAccessDenied at open, ekDeviceLost after a hang-up or a lost
// connection, ekUnsupported for what a device cannot do, ekProtocol and
// ekTimeout from a port server.
//
// Threads. A port has no lock for its operations: one thread at a time
// opens, sets up, reads, writes and closes it (in this program the worker),
// here called the port's thread. One read and one write may be in progress
// at once. ListComDevices may be called from any thread. A device-event
// handler may assign handlers and close the port also when it runs on the
// monitor's thread: Close there is carried out on the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Clock.h"
#include "ComDevice.h"
#include "Component.h"

namespace qv {

enum TBaudRate {
  brDefault, br50, br75, br110, br150, br300, br600, br1200, br1800, br2000, br2400, br3600, br4800, br7200,
  br9600, br10400, br14400, br15625, br19200, br28800, br38400, br56000, br57600, br115200, br128000, br256000,
  brCustom
};
enum TDataBits { dbDefault, db4, db5, db6, db7, db8 };
enum TParity { paDefault, paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits { sbDefault, sb1, sb1_5, sb2 };
enum TDTRControl { dcDefault, dcDisable, dcEnable, dcHandshake };
enum TRTSControl { rcDefault, rcDisable, rcEnable, rcHandshake, rcToggle };
enum TXOnXOffControl { xcDefault, xcDisable, xcInput, xcOutput, xcInputOutput };
enum TPriorityClass { pcDefault, pcIdle, pcNormal, pcHigh, pcRealTime };
enum TComAction { caFail, caAbort };

enum TOption {
  opCheckParity, opOutputCTSFlow, opOutputDSRFlow, opDSRSensitivity, opTXContinueOnXOff, opUseErrorChar,
  opDiscardNullBytes, opAbortOnError
};
enum TModemStatusValue { msCTS, msDSR, msRing, msRLSD };
enum TLineError {
  leBreak, leDeviceNotSelected, leFrame, leIO, leMode, leOutOfPaper, leOverrun, leDeviceTimeOut, leRxOverflow,
  leParity, leTxFull
};

// A small set over an enumeration, one bit per ordinal.
template <class E>
class TSet {
public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> values) {
    for (E v : values) Bits |= 1u << v;
  }
  static constexpr TSet FromBits(uint32_t bits) {
    TSet s;
    s.Bits = bits;
    return s;
  }
  constexpr bool Contains(E v) const { return (Bits >> v) & 1u; }
  constexpr TSet& Include(E v) { Bits |= 1u << v; return *this; }
  constexpr TSet& Exclude(E v) { Bits &= ~(1u << v); return *this; }
  constexpr bool Empty() const { return Bits == 0; }
  constexpr bool operator==(const TSet&) const = default;
  uint32_t Bits = 0;
};

using TOptions = TSet<TOption>;
using TModemStatus = TSet<TModemStatusValue>;
using TLineErrors = TSet<TLineError>;

// Mapping tables onto the device control block.
uint32_t BaudRateValue(TBaudRate rate);  // 0 for brDefault and brCustom
uint8_t DataBitsValue(TDataBits bits);
uint8_t ParityValue(TParity parity);
uint8_t StopBitsValue(TStopBits bits);
uint32_t DTRControlBits(TDTRControl dtr);
uint32_t RTSControlBits(TRTSControl rts);
uint32_t XOnXOffBits(TXOnXOffControl x);
uint32_t OptionBit(TOption option);
uint32_t PriorityClassValue(TPriorityClass pc);  // 0 for pcDefault
uint32_t ModemStatusBit(TModemStatusValue v);
uint32_t LineErrorBit(TLineError e);
TModemStatus ModemStatusFromWord(uint32_t word);
TLineErrors LineErrorsFromWord(uint32_t word);

class TCustomComPort;

class EComError : public Exception {
public:
  EComError(int32_t code, const std::string& message, TComErrorKind kind = ekOther)
      : Exception(message), ErrorCode(code), Kind(kind) {}
  int32_t ErrorCode;
  TComErrorKind Kind;
};

using TNotifyEvent = TEvent<TCustomComPort* /*Sender*/>;
using TOpenCloseEvent = TEvent<TCustomComPort* /*ComPort*/>;
using TReadWriteEvent = TEvent<TCustomComPort* /*Sender*/, void* /*Buffer*/, int32_t /*Length*/, bool /*WaitOnCompletion*/>;
using TComErrorEvent = TEvent<TCustomComPort* /*ComPort*/, EComError& /*E*/, TComAction& /*Action*/>;
using TLineErrorEvent = TEvent<TCustomComPort* /*Sender*/, TLineErrors /*LineErrors*/>;

// The sub-objects: each setter stores a changed value and asks its port to
// re-apply the group it belongs to.
class TFlowControl {
public:
  explicit TFlowControl(TCustomComPort& port) : FPort(port) {}
  TFlowControl(const TFlowControl&) = delete;
  TFlowControl& operator=(const TFlowControl&) = delete;

  TDTRControl DTR() const { return FDTR; }
  TRTSControl RTS() const { return FRTS; }
  TXOnXOffControl XOnXOff() const { return FXOnXOff; }
  uint16_t XOnLimit() const { return FXOnLimit; }
  uint16_t XOffLimit() const { return FXOffLimit; }
  void SetDTR(TDTRControl v);
  void SetRTS(TRTSControl v);
  void SetXOnXOff(TXOnXOffControl v);
  void SetXOnLimit(uint16_t v);
  void SetXOffLimit(uint16_t v);

private:
  TCustomComPort& FPort;
  TDTRControl FDTR = dcDefault;
  TRTSControl FRTS = rcDefault;
  TXOnXOffControl FXOnXOff = xcDefault;
  uint16_t FXOnLimit = 0;
  uint16_t FXOffLimit = 0;
};

class TCharacters {
public:
  explicit TCharacters(TCustomComPort& port) : FPort(port) {}
  TCharacters(const TCharacters&) = delete;
  TCharacters& operator=(const TCharacters&) = delete;

  char XOn() const { return FXOn; }
  char XOff() const { return FXOff; }
  char Error() const { return FError; }
  char Eof() const { return FEof; }
  char Event() const { return FEvent; }
  void SetXOn(char v);
  void SetXOff(char v);
  void SetError(char v);
  void SetEof(char v);
  void SetEvent(char v);

private:
  void Change(char& field, char v);
  TCustomComPort& FPort;
  char FXOn = 0x11;
  char FXOff = 0x13;
  char FError = 0;
  char FEof = 0;
  char FEvent = 0;
};

class TBufferSizes {
public:
  explicit TBufferSizes(TCustomComPort& port) : FPort(port) {}
  TBufferSizes(const TBufferSizes&) = delete;
  TBufferSizes& operator=(const TBufferSizes&) = delete;

  int32_t Input() const { return FInput; }
  int32_t Output() const { return FOutput; }
  void SetInput(int32_t v);
  void SetOutput(int32_t v);

private:
  TCustomComPort& FPort;
  int32_t FInput = 4096;
  int32_t FOutput = 2048;
};

class TTimeouts {
public:
  explicit TTimeouts(TCustomComPort& port) : FPort(port) {}
  TTimeouts(const TTimeouts&) = delete;
  TTimeouts& operator=(const TTimeouts&) = delete;

  int32_t ReadInterval() const { return FReadInterval; }
  int32_t ReadMultiplier() const { return FReadMultiplier; }
  int32_t ReadConstant() const { return FReadConstant; }
  int32_t WriteMultiplier() const { return FWriteMultiplier; }
  int32_t WriteConstant() const { return FWriteConstant; }
  void SetReadInterval(int32_t v);
  void SetReadMultiplier(int32_t v);
  void SetReadConstant(int32_t v);
  void SetWriteMultiplier(int32_t v);
  void SetWriteConstant(int32_t v);

private:
  void Change(int32_t& field, int32_t v);
  TCustomComPort& FPort;
  int32_t FReadInterval = 0;
  int32_t FReadMultiplier = 0;
  int32_t FReadConstant = 0;
  int32_t FWriteMultiplier = 0;
  int32_t FWriteConstant = 0;
};

class TComThread;
struct TMonitorLink;

class TCustomComPort : public TComponent {
public:
  explicit TCustomComPort(TComponent* AOwner);
  ~TCustomComPort() override;

  // Properties, on the port's thread. A setter stores a changed value and,
  // on an open port, applies its group to the device before it returns,
  // raising what the device raises (the value stays stored). The
  // sub-objects' setters do the same.
  std::string About() const;
  void SetAbout(const std::string&) {}
  // True while open (in design mode: the value last assigned). Assigning
  // opens or closes, raising what Open and Close raise.
  bool Active() const;
  void SetActive(bool value);
  TBaudRate BaudRate() const { return FBaudRate; }
  void SetBaudRate(TBaudRate value);
  TBufferSizes& BufferSizes() { return *FBufferSizes; }
  TCharacters& Characters() { return *FCharacters; }
  int32_t CustomBaudRate() const;
  void SetCustomBaudRate(int32_t value);
  TDataBits DataBits() const { return FDataBits; }
  void SetDataBits(TDataBits value);
  // DeviceName, SynchronizeEvents and PriorityClass cannot change while the
  // port is open: a new value raises ekOpenPort and is not stored.
  const std::string& DeviceName() const { return FDeviceName; }
  void SetDeviceName(const std::string& value);
  TFlowControl& FlowControl() { return *FFlowControl; }
  // The modem input lines now; empty in design mode. Raises ekNotOpen on a
  // closed port, and the device's failure (ekUnsupported: a device without
  // modem lines; ekDeviceLost).
  TModemStatus ModemStatus();
  TOptions Options() const { return FOptions; }
  void SetOptions(TOptions value);
  TParity Parity() const { return FParity; }
  void SetParity(TParity value);
  TPriorityClass PriorityClass() const { return FPriorityClass; }
  void SetPriorityClass(TPriorityClass value);
  TStopBits StopBits() const { return FStopBits; }
  void SetStopBits(TStopBits value);
  // True: the handlers run on the main thread, through the application's
  // Synchronize, while the monitor waits. False: they run on the monitor
  // thread; closing or freeing the port on another thread then waits for a
  // handler that is running, so such a handler must not wait for that
  // thread (Close from a handler is handed over without waiting).
  bool SynchronizeEvents() const { return FSynchronizeEvents; }
  void SetSynchronizeEvents(bool value);
  // Given to a running monitor at once.
  TThreadPriority ThreadPriority() const { return FThreadPriority; }
  void SetThreadPriority(TThreadPriority value);
  TTimeouts& Timeouts() { return *FTimeouts; }

  // Operations, on the port's thread.

  // Opens DeviceName and applies every setting; nothing when open. Raises
  // the backend's failure to open (ekNotFound, ekBusy, ekAccessDenied;
  // from a port server also ekTimeout and ekProtocol), a setting the device
  // refuses (ekUnsupported), ekNoResources; the port is then closed.
  void Open();
  // Closes the device, dropping a read or write in progress; nothing when
  // closed. Raises only what BeforeClose and AfterClose raise.
  void Close();
  // Abort the read (write) in progress and empty the device's receive
  // (transmit) queue; nothing when closed. Raise the device's failure.
  void PurgeInput();
  void PurgeOutput();
  // The bytes waiting in the receive queue; reads and clears the device's
  // error word for OnLineError. No closed-port check: on a closed port the
  // platform's invalid-handle error (ekNotOpen).
  uint32_t InputCount();
  // Finish the read (write) started before, then start one of Length bytes
  // (none when Length <= 0), and with WaitOnCompletion wait for its end.
  // Write copies the bytes. Raise ekNotOpen on a closed port, ekTimeout
  // ("Timeout") when an operation waited for ended short under the
  // time-outs, and the device's failure (ekDeviceLost once it has gone).
  void Read(void* Buffer, int32_t Length, bool WaitOnCompletion);
  void Write(const void* Buffer, int32_t Length, bool WaitOnCompletion);
  // Read of one byte, waited for: raises "Timeout" when none comes within
  // the read time-outs.
  uint8_t ReadByte();
  // Write of one byte, not waited for: the next write waits for it and
  // raises "Timeout" if it did not go.
  void WriteByte(uint8_t Value);
  // Appends the serial devices the system reports; touches no port state,
  // raises nothing, any thread.
  void ListComDevices(std::vector<std::string>& List);

  // Events.
  TOpenCloseEvent AfterClose, AfterOpen, BeforeClose, BeforeOpen;
  TReadWriteEvent AfterRead, AfterWrite, BeforeRead, BeforeWrite;
  TComErrorEvent OnError;
  // The device-event handlers. On an open port the first one assigned
  // starts the monitor and the last one removed ends it, raising what the
  // device's event mask raises, or "Can't create thread".
  TLineErrorEvent OnLineError() const;
  void SetOnLineError(TLineErrorEvent value);
  // The twelve device events in dispatch order (OnLineError sits between
  // OnDSRChange and OnEvent1 in that order).
  enum TDeviceEvent {
    deBreak, deCTSChange, deDSRChange, deEvent1, deEvent2, dePrinterError, deRing, deRLSDChange, deRx80PercFull,
    deRxChar, deRxFlag, deTxEmpty
  };
  TNotifyEvent DeviceEvent(TDeviceEvent which) const;
  void SetDeviceEvent(TDeviceEvent which, TNotifyEvent handler);

  // The clock that read and write time-outs run on (the real one by
  // default); the device takes it at Open.
  TClock& Clock() const { return *FClock; }
  void SetClock(TClock& clock);

  // Run-time state.
  bool HandleValid() const { return FDevice != nullptr; }
  TComDevice* Device() const { return FDevice.get(); }
  bool StoredActive() const { return FStoredActive; }
  int64_t SavedPriorityClass() const { return FSavedPriorityClass; }
  int32_t PendingReadLength() const { return FPendingReadLength; }
  int32_t PendingWriteLength() const { return FPendingWriteLength; }
  // The word of the last completed event wait and the code of the last
  // failed one; the monitor writes them, so they are for its handlers.
  uint32_t EventMask() const { return FEventMask; }
  int32_t MonitorError() const { return FMonitorError; }
  // The running monitor, or null. Only for comparing: the thread frees
  // itself once the port has let go of it.
  TComThread* Monitor() const;

protected:
  virtual void DoOpen();
  void Loaded() override;

private:
  friend class TComThread;
  friend class TFlowControl;
  friend class TCharacters;
  friend class TBufferSizes;
  friend class TTimeouts;

  bool CanApply() const { return HandleValid() && !IsDesigning(); }
  // Raises EComError through OnError (which may turn it into EAbort).
  [[noreturn]] void RaiseComError(int32_t code, const std::string& message, TComErrorKind kind);
  // Raises when a guarded device call failed.
  void CheckResult(const TDevStatus& status);
  void CheckOpen();
  void CheckClosed();
  void CheckLineErrors();
  void CompleteRead();
  void CompleteWrite();
  void ReleaseDevice();
  void ApplyLineSettings();
  void ApplyTimeouts();
  void ApplyBufferSizes();
  void ApplyEventMask();
  // The event mask the assigned device-event handlers ask for.
  uint32_t WantedEventMask() const;
  void StartMonitor();
  void StopMonitor();

  // The event monitor's steps: one wait and its dispatch (on the monitor
  // thread), the handlers for EventMask in the fixed order, and the failed
  // wait's error (on the main thread).
  void WaitForEvents(TComThread& thread);
  void DispatchEvents();
  [[noreturn]] void RaiseMonitorError();
  // The walk of DispatchEvents; with a link, it stops once the monitor has
  // been let go (a handler closed the port or removed the last handler).
  void Walk(TMonitorLink* link);
  void Dispatch(TMonitorLink& link);
  void MonitorFailed(TMonitorLink& link, bool lost);
  // Forgets the monitor of link, if it is still this port's.
  bool ForgetMonitor(TMonitorLink& link);
  // Close on the monitor's own thread is carried out on the main thread:
  // true when it has been.
  bool HandOverClose();
  void ReportLineErrors(uint32_t errorWord);
  // Waits for the operation of one direction to end, if it is in progress,
  // and checks its byte count; then the line errors.
  void FinishOperation(TComEvent* event, TOverlapped& ov, int32_t pendingLength);
  // Stores a changed line setting and re-applies the line settings.
  template <class T>
  void ChangeLine(T& field, T value) {
    if (field == value) return;
    field = value;
    ApplyLineSettings();
  }

  TClock* FClock;
  std::unique_ptr<TComDevice> FDevice;
  bool FStoredActive = false;
  TBaudRate FBaudRate = brDefault;
  int32_t FCustomBaudRate = 0;
  TDataBits FDataBits = dbDefault;
  std::string FDeviceName = "COM2";
  TOptions FOptions;
  TParity FParity = paDefault;
  TPriorityClass FPriorityClass = pcDefault;
  TStopBits FStopBits = sbDefault;
  bool FSynchronizeEvents = true;
  TThreadPriority FThreadPriority = tpTimeCritical;
  // The handlers are read by the monitor thread while another may assign
  // them.
  mutable std::mutex FHandlerMutex;
  TLineErrorEvent FOnLineError;
  TNotifyEvent FDeviceEvents[12];

  std::unique_ptr<TComEvent> FReadEvent, FWriteEvent, FEventEvent;
  TOverlapped FReadOverlapped, FWriteOverlapped, FEventOverlapped;
  int32_t FPendingReadLength = 0;
  int32_t FPendingWriteLength = 0;
  int64_t FSavedPriorityClass = -1;
  uint32_t FEventMask = 0;
  int32_t FMonitorError = 0;
  std::string FMonitorErrorText;
  TComErrorKind FMonitorErrorKind = ekOther;
  // The monitor and what it shares with the port; the monitor may let go
  // of the port from its own thread, hence the lock.
  mutable std::mutex FMonitorMutex;
  TComThread* FMonitor = nullptr;
  std::shared_ptr<TMonitorLink> FMonitorLink;

  // Declared last: their constructors need nothing of the port but its
  // address, and the destructor frees them in this reverse order.
  std::unique_ptr<TFlowControl> FFlowControl;
  std::unique_ptr<TCharacters> FCharacters;
  std::unique_ptr<TBufferSizes> FBufferSizes;
  std::unique_ptr<TTimeouts> FTimeouts;
};

// The event monitor of one port: created running by the port, it waits for
// device events and dispatches them until the port lets go of it or a wait
// fails, and then frees itself. It never touches the port after the port
// has let go of it, and the port never addresses it after that.
class TComThread {
public:
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  // The port it serves; only valid while that port still holds the monitor.
  TCustomComPort* const ComPort;
  bool Terminated() const;

private:
  friend class TCustomComPort;
  TComThread(TCustomComPort* port, std::shared_ptr<TMonitorLink> link);
  ~TComThread();
  void Execute();
  static void Run(TComThread* self);

  const std::shared_ptr<TMonitorLink> FLink;
};

// Publishes everything; adds no state.
class TComPort : public TCustomComPort {
public:
  using TCustomComPort::TCustomComPort;
};

// The text of the About property.
extern const char* const ComPortAbout;

}  // namespace qv
