#include "serial/ComPort.h"

namespace qv {

const char* const ComPortAbout = "qvtune serial port component, version 1.0";

namespace {

constexpr const char* kClosedPort = "Can't perform this operation on a closed port";
constexpr const char* kOpenPort = "Can't perform this operation on an open port";
constexpr const char* kTimeout = "Timeout";

constexpr uint32_t kBaudRates[] = {0,     50,    75,    110,   150,   300,   600,    1200,   1800,
                                   2000,  2400,  3600,  4800,  7200,  9600,  10400,  14400,  15625,
                                   19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000, 0};
static_assert(sizeof kBaudRates / sizeof kBaudRates[0] == brCustom + 1);

constexpr uint32_t kOptionBits[] = {0x0002, 0x0004, 0x0008, 0x0040, 0x0080, 0x0400, 0x0800, 0x4000};
constexpr uint32_t kModemBits[] = {MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON};
constexpr uint32_t kLineErrorBits[] = {CE_BREAK, CE_DNS, CE_FRAME, CE_IOE,      CE_MODE,    CE_OOP,
                                       CE_OVERRUN, CE_PTO, CE_RXOVER, CE_RXPARITY, CE_TXFULL};
static_assert(sizeof kLineErrorBits / sizeof kLineErrorBits[0] == leTxFull + 1);

}  // namespace

uint32_t BaudRateValue(TBaudRate rate) { return kBaudRates[rate]; }
uint8_t DataBitsValue(TDataBits bits) { return bits == dbDefault ? 0 : static_cast<uint8_t>(bits + 3); }
uint8_t ParityValue(TParity parity) { return parity == paDefault ? 0 : static_cast<uint8_t>(parity - 1); }
uint8_t StopBitsValue(TStopBits bits) { return bits == sbDefault ? 0 : static_cast<uint8_t>(bits - 1); }

uint32_t DTRControlBits(TDTRControl dtr) {
  switch (dtr) {
    case dcEnable: return dcbDtrEnable;
    case dcHandshake: return dcbDtrHandshake;
    default: return dcbDtrDisable;
  }
}

uint32_t RTSControlBits(TRTSControl rts) {
  switch (rts) {
    case rcEnable: return dcbRtsEnable;
    case rcHandshake: return dcbRtsHandshake;
    case rcToggle: return dcbRtsToggle;
    default: return dcbRtsDisable;
  }
}

uint32_t XOnXOffBits(TXOnXOffControl x) {
  switch (x) {
    case xcInput: return dcbInX;
    case xcOutput: return dcbOutX;
    case xcInputOutput: return dcbInX | dcbOutX;
    default: return 0;
  }
}

uint32_t OptionBit(TOption option) { return kOptionBits[option]; }

uint32_t PriorityClassValue(TPriorityClass pc) {
  switch (pc) {
    case pcIdle: return IDLE_PRIORITY_CLASS;
    case pcNormal: return NORMAL_PRIORITY_CLASS;
    case pcHigh: return HIGH_PRIORITY_CLASS;
    case pcRealTime: return REALTIME_PRIORITY_CLASS;
    default: return 0;
  }
}

uint32_t ModemStatusBit(TModemStatusValue v) { return kModemBits[v]; }
uint32_t LineErrorBit(TLineError e) { return kLineErrorBits[e]; }

TModemStatus ModemStatusFromWord(uint32_t word) {
  TModemStatus s;
  for (int v = msCTS; v <= msRLSD; ++v)
    if (word & kModemBits[v]) s.Include(static_cast<TModemStatusValue>(v));
  return s;
}

TLineErrors LineErrorsFromWord(uint32_t word) {
  TLineErrors s;
  for (int e = leBreak; e <= leTxFull; ++e)
    if (word & kLineErrorBits[e]) s.Include(static_cast<TLineError>(e));
  return s;
}

// ---- sub-objects ---------------------------------------------------------

void TFlowControl::SetDTR(TDTRControl v) { FPort.ChangeLine(FDTR, v); }
void TFlowControl::SetRTS(TRTSControl v) { FPort.ChangeLine(FRTS, v); }
void TFlowControl::SetXOnXOff(TXOnXOffControl v) { FPort.ChangeLine(FXOnXOff, v); }
void TFlowControl::SetXOnLimit(uint16_t v) { FPort.ChangeLine(FXOnLimit, v); }
void TFlowControl::SetXOffLimit(uint16_t v) { FPort.ChangeLine(FXOffLimit, v); }

void TCharacters::Change(char& field, char v) { FPort.ChangeLine(field, v); }
void TCharacters::SetXOn(char v) { Change(FXOn, v); }
void TCharacters::SetXOff(char v) { Change(FXOff, v); }
void TCharacters::SetError(char v) { Change(FError, v); }
void TCharacters::SetEof(char v) { Change(FEof, v); }
void TCharacters::SetEvent(char v) { Change(FEvent, v); }

void TBufferSizes::SetInput(int32_t v) {
  if (FInput == v) return;
  FInput = v;
  FPort.ApplyBufferSizes();
}

void TBufferSizes::SetOutput(int32_t v) {
  if (FOutput == v) return;
  FOutput = v;
  FPort.ApplyBufferSizes();
}

void TTimeouts::Change(int32_t& field, int32_t v) {
  if (field == v) return;
  field = v;
  FPort.ApplyTimeouts();
}
void TTimeouts::SetReadInterval(int32_t v) { Change(FReadInterval, v); }
void TTimeouts::SetReadMultiplier(int32_t v) { Change(FReadMultiplier, v); }
void TTimeouts::SetReadConstant(int32_t v) { Change(FReadConstant, v); }
void TTimeouts::SetWriteMultiplier(int32_t v) { Change(FWriteMultiplier, v); }
void TTimeouts::SetWriteConstant(int32_t v) { Change(FWriteConstant, v); }

// ---- the port ------------------------------------------------------------

TCustomComPort::TCustomComPort(TComponent* AOwner)
    : TComponent(AOwner),
      FClock(&RealClock()),
      FFlowControl(std::make_unique<TFlowControl>(*this)),
      FCharacters(std::make_unique<TCharacters>(*this)),
      FBufferSizes(std::make_unique<TBufferSizes>(*this)),
      FTimeouts(std::make_unique<TTimeouts>(*this)) {}

TCustomComPort::~TCustomComPort() {
  try {
    Close();
  } catch (...) {
    // A close handler that throws must not stop the release of the device.
    ReleaseDevice();
  }
  FTimeouts.reset();
  FBufferSizes.reset();
  FCharacters.reset();
  FFlowControl.reset();
}

std::string TCustomComPort::About() const { return ComPortAbout; }

bool TCustomComPort::Active() const { return IsDesigning() ? FStoredActive : HandleValid(); }

void TCustomComPort::SetActive(bool value) {
  FStoredActive = value;
  if (IsLoading() || IsDesigning()) return;
  if (value != HandleValid()) {
    if (value)
      Open();
    else
      Close();
  }
}

void TCustomComPort::Loaded() {
  TComponent::Loaded();
  SetActive(FStoredActive);
}

void TCustomComPort::SetBaudRate(TBaudRate value) { ChangeLine(FBaudRate, value); }

int32_t TCustomComPort::CustomBaudRate() const {
  return FBaudRate == brCustom ? FCustomBaudRate : static_cast<int32_t>(BaudRateValue(FBaudRate));
}

void TCustomComPort::SetCustomBaudRate(int32_t value) {
  if (value == FCustomBaudRate) return;
  FCustomBaudRate = value;
  FBaudRate = brCustom;
  ApplyLineSettings();
}

void TCustomComPort::SetDataBits(TDataBits value) { ChangeLine(FDataBits, value); }
void TCustomComPort::SetOptions(TOptions value) { ChangeLine(FOptions, value); }
void TCustomComPort::SetParity(TParity value) { ChangeLine(FParity, value); }
void TCustomComPort::SetStopBits(TStopBits value) { ChangeLine(FStopBits, value); }

void TCustomComPort::SetDeviceName(const std::string& value) {
  if (value == FDeviceName) return;
  CheckClosed();
  FDeviceName = value;
}

void TCustomComPort::SetSynchronizeEvents(bool value) {
  if (value == FSynchronizeEvents) return;
  CheckClosed();
  FSynchronizeEvents = value;
}

void TCustomComPort::SetPriorityClass(TPriorityClass value) {
  if (value == FPriorityClass) return;
  CheckClosed();
  FPriorityClass = value;
}

void TCustomComPort::SetClock(TClock& clock) {
  // The device takes the clock at open; an open port keeps the one it has.
  FClock = &clock;
}

// ---- errors --------------------------------------------------------------

void TCustomComPort::RaiseComError(int32_t code, const std::string& message, TComErrorKind kind) {
  EComError error(code, message, kind);
  TComAction action = caFail;
  if (OnError) OnError(this, error, action);
  if (action == caAbort) throw EAbort();
  throw error;
}

void TCustomComPort::CheckResult(const TDevStatus& status) {
  // A backend that gives a code but no kind gives a failure all the same.
  if (!status.Ok()) RaiseComError(status.Code, status.Text, status.Kind == ekNone ? ekOther : status.Kind);
}

void TCustomComPort::CheckOpen() {
  if (IsDesigning() ? !FStoredActive : !HandleValid()) RaiseComError(0, kClosedPort, ekNotOpen);
}

void TCustomComPort::CheckClosed() {
  if (!IsDesigning() && HandleValid()) RaiseComError(0, kOpenPort, ekOpenPort);
}

// ---- open and close ------------------------------------------------------

void TCustomComPort::Open() {
  if (HandleValid()) return;
  if (BeforeOpen) BeforeOpen(this);
  DoOpen();
  if (HandleValid() && AfterOpen) AfterOpen(this);
}

void TCustomComPort::DoOpen() {
  ReleaseDevice();
  try {
    if (FPriorityClass != pcDefault) {
      FSavedPriorityClass = GetProcessPriorityClass();
      SetProcessPriorityClass(PriorityClassValue(FPriorityClass));
    }
    TDevStatus status;
    FEventOverlapped.Clear();
    FEventEvent = CreateComEvent(false, false, status);
    CheckResult(status);
    FEventOverlapped.Event = FEventEvent.get();
    FReadEvent = CreateComEvent(true, true, status);
    CheckResult(status);
    FWriteEvent = CreateComEvent(true, true, status);
    CheckResult(status);
    CheckResult(OpenComDevice(FDeviceName, *FClock, FDevice));
    PurgeInput();
    PurgeOutput();
    ApplyBufferSizes();
    ApplyLineSettings();
    ApplyTimeouts();
    ApplyEventMask();
  } catch (...) {
    ReleaseDevice();
    throw;
  }
}

void TCustomComPort::Close() {
  if (HandOverClose()) return;
  if (!HandleValid()) return;
  if (BeforeClose) BeforeClose(this);
  ReleaseDevice();
  if (!HandleValid() && AfterClose) AfterClose(this);
}

void TCustomComPort::ReleaseDevice() {
  StopMonitor();
  // An operation still in progress is dropped with its device.
  FDevice.reset();
  FReadOverlapped.Clear();
  FWriteOverlapped.Clear();
  FEventOverlapped.Clear();
  FReadOverlapped.Event = FWriteOverlapped.Event = FEventOverlapped.Event = nullptr;
  FWriteEvent.reset();
  FReadEvent.reset();
  FEventEvent.reset();
  if (FSavedPriorityClass != -1) {
    SetProcessPriorityClass(static_cast<uint32_t>(FSavedPriorityClass));
    FSavedPriorityClass = -1;
  }
}

// ---- applying settings ---------------------------------------------------

void TCustomComPort::ApplyLineSettings() {
  if (!CanApply()) return;
  TDCB dcb;
  dcb.DCBlength = 28;
  CheckResult(FDevice->GetState(dcb));
  if (FBaudRate == brCustom)
    dcb.BaudRate = static_cast<uint32_t>(FCustomBaudRate);
  else if (FBaudRate != brDefault)
    dcb.BaudRate = BaudRateValue(FBaudRate);
  if (FDataBits != dbDefault) dcb.ByteSize = DataBitsValue(FDataBits);
  if (FParity != paDefault) dcb.Parity = ParityValue(FParity);
  if (FStopBits != sbDefault) dcb.StopBits = StopBitsValue(FStopBits);
  dcb.XonChar = FCharacters->XOn();
  dcb.XoffChar = FCharacters->XOff();
  dcb.ErrorChar = FCharacters->Error();
  dcb.EofChar = FCharacters->Eof();
  dcb.EvtChar = FCharacters->Event();
  if (FFlowControl->DTR() != dcDefault)
    dcb.Flags = (dcb.Flags & ~dcbDtrControlMask) | DTRControlBits(FFlowControl->DTR());
  if (FFlowControl->RTS() != rcDefault)
    dcb.Flags = (dcb.Flags & ~dcbRtsControlMask) | RTSControlBits(FFlowControl->RTS());
  if (FFlowControl->XOnXOff() != xcDefault)
    dcb.Flags = (dcb.Flags & ~dcbXOnXOffMask) | XOnXOffBits(FFlowControl->XOnXOff());
  dcb.XonLim = FFlowControl->XOnLimit();
  dcb.XoffLim = FFlowControl->XOffLimit();
  for (int o = opCheckParity; o <= opAbortOnError; ++o) {
    if (FOptions.Contains(static_cast<TOption>(o)))
      dcb.Flags |= kOptionBits[o];
    else
      dcb.Flags &= ~kOptionBits[o];
  }
  CheckResult(FDevice->SetState(dcb));
}

void TCustomComPort::ApplyTimeouts() {
  if (!CanApply()) return;
  TCommTimeouts t;
  CheckResult(FDevice->GetTimeouts(t));
  t.ReadIntervalTimeout = static_cast<uint32_t>(FTimeouts->ReadInterval());
  t.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(FTimeouts->ReadMultiplier());
  t.ReadTotalTimeoutConstant = static_cast<uint32_t>(FTimeouts->ReadConstant());
  t.WriteTotalTimeoutMultiplier = static_cast<uint32_t>(FTimeouts->WriteMultiplier());
  t.WriteTotalTimeoutConstant = static_cast<uint32_t>(FTimeouts->WriteConstant());
  CheckResult(FDevice->SetTimeouts(t));
}

void TCustomComPort::ApplyBufferSizes() {
  if (!CanApply()) return;
  CheckResult(FDevice->SetupComm(static_cast<uint32_t>(FBufferSizes->Input()),
                                 static_cast<uint32_t>(FBufferSizes->Output())));
}

// ---- reading and writing -------------------------------------------------

void TCustomComPort::Read(void* Buffer, int32_t Length, bool WaitOnCompletion) {
  CheckOpen();
  if (BeforeRead) BeforeRead(this, Buffer, Length, WaitOnCompletion);
  CompleteRead();
  FPendingReadLength = Length;
  // A negative length is a caller's mistake; like 0 it starts nothing.
  if (Length > 0 && FDevice) {
    FReadOverlapped.Clear();
    FReadOverlapped.Event = FReadEvent.get();
    FReadEvent->Reset();
    FReadOverlapped.Buffer = static_cast<uint8_t*>(Buffer);
    FReadOverlapped.Length = static_cast<uint32_t>(Length);
    FReadOverlapped.WaitFollows = WaitOnCompletion;
    CheckResult(FDevice->StartRead(FReadOverlapped));
    if (WaitOnCompletion) CompleteRead();
  }
  if (AfterRead) AfterRead(this, Buffer, Length, WaitOnCompletion);
}

void TCustomComPort::Write(const void* Buffer, int32_t Length, bool WaitOnCompletion) {
  CheckOpen();
  if (BeforeWrite) BeforeWrite(this, const_cast<void*>(Buffer), Length, WaitOnCompletion);
  CompleteWrite();
  FPendingWriteLength = Length;
  if (Length > 0 && FDevice) {
    FWriteOverlapped.Clear();
    FWriteOverlapped.Event = FWriteEvent.get();
    FWriteEvent->Reset();
    const auto* bytes = static_cast<const uint8_t*>(Buffer);
    FWriteOverlapped.Data.assign(bytes, bytes + Length);
    FWriteOverlapped.Length = static_cast<uint32_t>(Length);
    CheckResult(FDevice->StartWrite(FWriteOverlapped));
    if (WaitOnCompletion) CompleteWrite();
  }
  if (AfterWrite) AfterWrite(this, const_cast<void*>(Buffer), Length, WaitOnCompletion);
}

void TCustomComPort::CompleteRead() {
  FinishOperation(FReadEvent.get(), FReadOverlapped, FPendingReadLength);
}

void TCustomComPort::CompleteWrite() {
  FinishOperation(FWriteEvent.get(), FWriteOverlapped, FPendingWriteLength);
}

void TCustomComPort::FinishOperation(TComEvent* event, TOverlapped& ov, int32_t pendingLength) {
  if (event && FDevice && !event->IsSignalled()) {
    uint32_t transferred = 0;
    TDevStatus status = FDevice->GetOverlappedResult(ov, transferred);
    // The wait is over either way; the next operation must not wait again.
    event->Set();
    CheckResult(status);
    if (transferred != static_cast<uint32_t>(pendingLength)) RaiseComError(0, kTimeout, ekTimeout);
  }
  CheckLineErrors();
}

uint8_t TCustomComPort::ReadByte() {
  uint8_t value = 0;
  Read(&value, 1, true);
  return value;
}

void TCustomComPort::WriteByte(uint8_t Value) { Write(&Value, 1, false); }

void TCustomComPort::ReportLineErrors(uint32_t errorWord) {
  if (errorWord == 0) return;
  const TLineErrorEvent handler = OnLineError();
  if (handler) handler(this, LineErrorsFromWord(errorWord));
}

void TCustomComPort::CheckLineErrors() {
  CheckOpen();
  uint32_t errors = 0;
  CheckResult(FDevice ? FDevice->ClearLineErrors(errors) : InvalidHandleStatus());
  ReportLineErrors(errors);
}

uint32_t TCustomComPort::InputCount() {
  uint32_t errors = 0, inQueue = 0;
  CheckResult(FDevice ? FDevice->ClearError(errors, inQueue) : InvalidHandleStatus());
  ReportLineErrors(errors);
  return inQueue;
}

TModemStatus TCustomComPort::ModemStatus() {
  if (IsDesigning()) return {};
  CheckOpen();
  uint32_t word = 0;
  CheckResult(FDevice->GetModemStatus(word));
  return ModemStatusFromWord(word);
}

void TCustomComPort::PurgeInput() {
  if (FDevice) CheckResult(FDevice->Purge(PURGE_RXABORT | PURGE_RXCLEAR));
}

void TCustomComPort::PurgeOutput() {
  if (FDevice) CheckResult(FDevice->Purge(PURGE_TXABORT | PURGE_TXCLEAR));
}

void TCustomComPort::ListComDevices(std::vector<std::string>& List) { ListPlatformComDevices(List); }

}  // namespace qv
